// Device services: cooling, board power, trigger and shutter, external synchronisation, hardware revisions
// and the AXI register file.
// Not modelled yet: each call is logged and fails with -2 "not implemented".
#include "sim.hpp"

using namespace vrexsim;

extern "C" {

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
