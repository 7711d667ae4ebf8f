// Pixel configuration and non-volatile memories: configuration loading, the pixel mask, flash memories.
// Not modelled yet: each call is logged and fails with -2 "not implemented".
#include "sim.hpp"

using namespace vrexsim;

extern "C" {

int vrex_load_configuration(vrex_ctx_t* ctx, const char* configType, const char* content) {
    return run(ctx, hook("vrex_load_configuration", configType, content), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_get_pixel_mask_size(vrex_ctx_t* ctx, pixel_mask_size* size) {
    (void)size;
    return run(ctx, hook("vrex_get_pixel_mask_size"), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_get_pixel_mask(vrex_ctx_t* ctx, pixel_mask* mask, size_t* retrieved) {
    (void)mask;
    (void)retrieved;
    return run(ctx, hook("vrex_get_pixel_mask"), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_set_pixel_mask(vrex_ctx_t* ctx, const pixel_mask* mask) {
    (void)mask;
    return run(ctx, hook("vrex_set_pixel_mask"), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_flash_count(vrex_ctx_t* ctx, int* count) {
    (void)count;
    return run(ctx, hook("vrex_flash_count"), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_flash_id(vrex_ctx_t* ctx, int index, const char** id) {
    (void)id;
    return run(ctx, hook("vrex_flash_id", index), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_flash_part_nr(vrex_ctx_t* ctx, const char* flashId, const char** partNumber) {
    (void)partNumber;
    return run(ctx, hook("vrex_flash_part_nr", flashId), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_flash_regions(vrex_ctx_t* ctx, const char* flashId, int* count) {
    (void)count;
    return run(ctx, hook("vrex_flash_regions", flashId), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_flash_sector_count(vrex_ctx_t* ctx, const char* flashId, int regionIdx, int* count) {
    (void)count;
    return run(ctx, hook("vrex_flash_sector_count", flashId, regionIdx), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_flash_sector_size(vrex_ctx_t* ctx, const char* flashId, int regionIdx, int* size) {
    (void)size;
    return run(ctx, hook("vrex_flash_sector_size", flashId, regionIdx), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_flash_sector_address_range(vrex_ctx_t* ctx, const char* flashId, int sectorIdx, uint32_t* start, uint32_t* end) {
    (void)start;
    (void)end;
    return run(ctx, hook("vrex_flash_sector_address_range", flashId, sectorIdx), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_flash_read(vrex_ctx_t* ctx, const char* flashId, uint32_t address, void* data, size_t* length) {
    (void)data;
    (void)length;
    return run(ctx, hook("vrex_flash_read", flashId, address), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_flash_program(vrex_ctx_t* ctx, const char* flashId, uint32_t address, const void* data, size_t* length) {
    (void)data;
    (void)length;
    return run(ctx, hook("vrex_flash_program", flashId, address), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

}  // extern "C"
