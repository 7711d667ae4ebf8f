// SDK families the simulator does not model yet: each call is logged and fails with -2 "not implemented".
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

int vrex_cooling_count(vrex_ctx_t* ctx, int* count) {
    (void)count;
    return run(ctx, hook("vrex_cooling_count"), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_cooling_id(vrex_ctx_t* ctx, int index, const char** id) {
    (void)id;
    return run(ctx, hook("vrex_cooling_id", index), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_cooling_value_unit(vrex_ctx_t* ctx, const char* coolingId, const char** unit) {
    (void)unit;
    return run(ctx, hook("vrex_cooling_value_unit", coolingId), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_cooling_get_actual(vrex_ctx_t* ctx, const char* coolingId, float* temperature) {
    (void)temperature;
    return run(ctx, hook("vrex_cooling_get_actual", coolingId), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_cooling_get_desired(vrex_ctx_t* ctx, const char* coolingId, float* temperature) {
    (void)temperature;
    return run(ctx, hook("vrex_cooling_get_desired", coolingId), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_cooling_set_desired(vrex_ctx_t* ctx, const char* coolingId, float temperature) {
    return run(ctx, hook("vrex_cooling_set_desired", coolingId, temperature), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_cooling_limits(vrex_ctx_t* ctx, const char* coolingId, float* minimum, float* maximum) {
    (void)minimum;
    (void)maximum;
    return run(ctx, hook("vrex_cooling_limits", coolingId), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_board_count(vrex_ctx_t* ctx, int* count) {
    (void)count;
    return run(ctx, hook("vrex_board_count"), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_board_id(vrex_ctx_t* ctx, int index, const char** id) {
    (void)id;
    return run(ctx, hook("vrex_board_id", index), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_board_power_on(vrex_ctx_t* ctx, const char* boardId) {
    return run(ctx, hook("vrex_board_power_on", boardId), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_board_power_off(vrex_ctx_t* ctx, const char* boardId) {
    return run(ctx, hook("vrex_board_power_off", boardId), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_board_is_powered(vrex_ctx_t* ctx, const char* boardId, int* powered) {
    (void)powered;
    return run(ctx, hook("vrex_board_is_powered", boardId), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_trigger_mode_count(vrex_ctx_t* ctx, int* count) {
    (void)count;
    return run(ctx, hook("vrex_trigger_mode_count"), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_trigger_mode_id(vrex_ctx_t* ctx, int index, const char** id) {
    (void)id;
    return run(ctx, hook("vrex_trigger_mode_id", index), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_trigger_mode_select(vrex_ctx_t* ctx, const char* modeId) {
    return run(ctx, hook("vrex_trigger_mode_select", modeId), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_trigger_set_shutter_duration(vrex_ctx_t* ctx, float seconds) {
    return run(ctx, hook("vrex_trigger_set_shutter_duration", seconds), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_trigger(vrex_ctx_t* ctx) {
    return run(ctx, hook("vrex_trigger"), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_lockstep_option_count(vrex_ctx_t* ctx, int* count) {
    (void)count;
    return run(ctx, hook("vrex_lockstep_option_count"), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_lockstep_option_id(vrex_ctx_t* ctx, int index, const char** id) {
    (void)id;
    return run(ctx, hook("vrex_lockstep_option_id", index), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_lockstep_option_select(vrex_ctx_t* ctx, const char* optionId) {
    return run(ctx, hook("vrex_lockstep_option_select", optionId), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_revisions_count(vrex_ctx_t* ctx, int* count) {
    (void)count;
    return run(ctx, hook("vrex_revisions_count"), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_revisions_id(vrex_ctx_t* ctx, int index, const char** id) {
    (void)id;
    return run(ctx, hook("vrex_revisions_id", index), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_revisions_string(vrex_ctx_t* ctx, const char* revisionId, const char** version) {
    (void)version;
    return run(ctx, hook("vrex_revisions_string", revisionId), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_axi_read(vrex_ctx_t* ctx, uint32_t address, uint32_t* data) {
    (void)data;
    return run(ctx, hook("vrex_axi_read", address), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_axi_write(vrex_ctx_t* ctx, uint32_t address, uint32_t data) {
    return run(ctx, hook("vrex_axi_write", address, data), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

}  // extern "C"
