// Acquisition family: placeholder until the engine lands.
#include "sim.hpp"

using namespace vrexsim;

struct VrexAcquisition {
    LastError error;
};

namespace vrexsim {
void stop_acquisitions(VrexContext*) {}
}

extern "C" {

int vrex_acq_ch_count(vrex_ctx_t* ctx, int* count) {
    (void)count;
    return run(ctx, hook("vrex_acq_ch_count"), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_acq_ch_id(vrex_ctx_t* ctx, int index, const char** id) {
    (void)index;
    (void)id;
    return run(ctx, hook("vrex_acq_ch_id"), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_acq_begin(vrex_ctx_t* ctx, const char* channelId) {
    (void)channelId;
    return run(ctx, hook("vrex_acq_begin"), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_acq_end(vrex_ctx_t* ctx, const char* channelId) {
    (void)channelId;
    return run(ctx, hook("vrex_acq_end"), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_acq_abort(vrex_ctx_t* ctx, const char* channelId) {
    (void)channelId;
    return run(ctx, hook("vrex_acq_abort"), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_acq_set_data_callback(vrex_ctx_t* ctx, const char* channelId, vrex_acq_data_func callback, void* user) {
    (void)channelId;
    (void)callback;
    (void)user;
    return run(ctx, hook("vrex_acq_set_data_callback"), [&] { return fail_with(ctx->error, -2, "not implemented"); });
}

int vrex_acq_get_last_error(vrex_acq_t* acq, const char** message) {
    (void)message;
    return run(acq, hook("vrex_acq_get_last_error"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_tpx_get_frame_count(vrex_acq_t* acq, unsigned long long* count) {
    (void)count;
    return run(acq, hook("vrex_acq_tpx_get_frame_count"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_tpx_get_frames(vrex_acq_t* acq, void* out) {
    (void)out;
    return run(acq, hook("vrex_acq_tpx_get_frames"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_raw_get_data(vrex_acq_t* acq, void* out, unsigned long long* byteCount) {
    (void)out;
    (void)byteCount;
    return run(acq, hook("vrex_acq_raw_get_data"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_tpx3_get_packet_count(vrex_acq_t* acq, unsigned long long* count) {
    (void)count;
    return run(acq, hook("vrex_acq_tpx3_get_packet_count"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_tpx3_get_packets(vrex_acq_t* acq, void* out) {
    (void)out;
    return run(acq, hook("vrex_acq_tpx3_get_packets"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_tpx3_get_vec_length(vrex_acq_t* acq, unsigned long long* length) {
    (void)length;
    return run(acq, hook("vrex_acq_tpx3_get_vec_length"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_tpx3_get_pixel_address_vec(vrex_acq_t* acq, void* out) {
    (void)out;
    return run(acq, hook("vrex_acq_tpx3_get_pixel_address_vec"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_tpx3_get_toa_vec(vrex_acq_t* acq, void* out) {
    (void)out;
    return run(acq, hook("vrex_acq_tpx3_get_toa_vec"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_tpx3_get_tot_vec(vrex_acq_t* acq, void* out) {
    (void)out;
    return run(acq, hook("vrex_acq_tpx3_get_tot_vec"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_tpx3_get_event_vec(vrex_acq_t* acq, void* out) {
    (void)out;
    return run(acq, hook("vrex_acq_tpx3_get_event_vec"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_tpx3_get_itot_vec(vrex_acq_t* acq, void* out) {
    (void)out;
    return run(acq, hook("vrex_acq_tpx3_get_itot_vec"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_meta_get_shutter_rising_time_ticks(vrex_acq_t* acq, unsigned long long* ticks) {
    (void)ticks;
    return run(acq, hook("vrex_acq_meta_get_shutter_rising_time_ticks"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_meta_get_tdc_toas_count(vrex_acq_t* acq, int tdc, uint64_t* count) {
    (void)tdc;
    (void)count;
    return run(acq, hook("vrex_acq_meta_get_tdc_toas_count"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_meta_get_tdc_toas(vrex_acq_t* acq, int tdc, const uint64_t** toas) {
    (void)tdc;
    (void)toas;
    return run(acq, hook("vrex_acq_meta_get_tdc_toas"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_meta_get_bin_descriptor_count(vrex_acq_t* acq, unsigned long long* count) {
    (void)count;
    return run(acq, hook("vrex_acq_meta_get_bin_descriptor_count"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_meta_get_bin_descriptors(vrex_acq_t* acq, void* out) {
    (void)out;
    return run(acq, hook("vrex_acq_meta_get_bin_descriptors"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_tpx3_get_binned_hitcounters_count(vrex_acq_t* acq, unsigned long long* count) {
    (void)count;
    return run(acq, hook("vrex_acq_tpx3_get_binned_hitcounters_count"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_tpx3_get_binned_hitcounters(vrex_acq_t* acq, uint64_t** out) {
    (void)out;
    return run(acq, hook("vrex_acq_tpx3_get_binned_hitcounters"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_tpx3_get_binned_itots_count(vrex_acq_t* acq, unsigned long long* count) {
    (void)count;
    return run(acq, hook("vrex_acq_tpx3_get_binned_itots_count"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

int vrex_acq_tpx3_get_binned_itots(vrex_acq_t* acq, uint64_t** out) {
    (void)out;
    return run(acq, hook("vrex_acq_tpx3_get_binned_itots"), [&] { return fail_with(acq->error, -2, "not implemented"); });
}

}  // extern "C"
