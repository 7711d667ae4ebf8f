/*
 * libVrexSdk: the detector SDK's C interface.
 *
 * Conventions shared by every function:
 * - Every function returns an int status but vrex_version and vrex_log_set_func. Negative is failure,
 *   0 and positive are success; only the AXI calls also fail with 102 and 103.
 * - After a failure the handle's last error text describes it (vrex_ctx_get_last_error,
 *   vrex_enum_get_last_error, vrex_acq_get_last_error).
 * - A const char* out-parameter receives library-owned NUL-terminated UTF-8 text; callers never free it and
 *   convert it before their next call on that handle.
 * - Log and data callbacks may come on the library's own threads.
 */
#ifndef VREX_SDK_H
#define VREX_SDK_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define VREX_API __declspec(dllimport)
#elif defined(VREX_BUILDING_SDK)
#define VREX_API __attribute__((visibility("default")))
#else
#define VREX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Version of the interface this header declares. */
#define VREX_SDK_VERSION_MAJOR 0
#define VREX_SDK_VERSION_MINOR 2
#define VREX_SDK_VERSION_PATCH 1

/* ---- handles -------------------------------------------------------------------------------------------- */
typedef struct VrexContext vrex_ctx_t;         /* one per SDK context */
typedef struct VrexEnumeration vrex_enum_t;    /* one device, valid inside the enumeration callback only */
typedef struct VrexAcquisition vrex_acq_t;     /* one data block, valid inside the data callback only */

/* ---- log -------------------------------------------------------------------------------------------------- */
/* The SDK may report other values; the two bounds make every int a valid Severity. */
typedef enum Severity {
    Debug = 9,
    Info = 0,
    Warning = -1,
    Error = -2,
    Fatal = -3,
    Severity_min_ = -2147483647 - 1,
    Severity_max_ = 2147483647
} Severity;

typedef struct vrex_log_frmt {
    bool preamble_;
    bool indentation_;
    bool prefix_;
    bool message_;
} vrex_log_frmt;

typedef void (*vrex_log_func)(const char* message, Severity severity, void* user);
typedef void (*vrex_enum_func)(vrex_enum_t* enumeration, void* user);
typedef void (*vrex_acq_data_func)(vrex_acq_t* acq, void* user);

/* ---- chip types ------------------------------------------------------------------------------------------- */
typedef enum vrex_chip_polarity { positive_polarity = 0, negative_polarity = 1 } vrex_chip_polarity_t;

typedef struct scan_params {
    uint32_t width_;
    uint32_t height_;
    uint64_t dwell_time_;
} scan_params;

/* ---- pixel mask types ------------------------------------------------------------------------------------- */
typedef struct pixel_mask_size {
    size_t width;
    size_t height;
} pixel_mask_size;

typedef struct pixel_mask {
    uint8_t* data;
    size_t data_len;
} pixel_mask;

/* ---- context, version, log ------------------------------------------------------------------------------- */
VREX_API int vrex_ctx_create(vrex_ctx_t** ctx);
/* Stops every running acquisition of the context, closes its device and joins the SDK's threads. */
VREX_API int vrex_ctx_destroy(vrex_ctx_t* ctx);
VREX_API int vrex_ctx_get_last_error(vrex_ctx_t* ctx, const char** message);
VREX_API void vrex_version(int* major, int* minor, int* patch);
/* The format is copied; the pointer is not kept. */
VREX_API void vrex_log_set_func(vrex_ctx_t* ctx, vrex_log_func func, void* user, const vrex_log_frmt* format);

/* ---- devices and enumeration ---------------------------------------------------------------------------- */
VREX_API int vrex_dev_open(vrex_ctx_t* ctx, const char* locator);
VREX_API int vrex_dev_close(vrex_ctx_t* ctx);
VREX_API int vrex_dev_is_opened(vrex_ctx_t* ctx, int* opened);
VREX_API int vrex_dev_enumerate(vrex_ctx_t* ctx, vrex_enum_func func, void* user, int* count);

VREX_API int vrex_enum_get_last_error(vrex_enum_t* e, const char** message);
VREX_API int vrex_enum_get_connection_string(vrex_enum_t* e, const char** value);
VREX_API int vrex_enum_get_product(vrex_enum_t* e, const char** value);
VREX_API int vrex_enum_get_manufacturer(vrex_enum_t* e, const char** value);
VREX_API int vrex_enum_get_serial_number(vrex_enum_t* e, const char** value);
VREX_API int vrex_enum_usb_get_vid_pid(vrex_enum_t* e, unsigned short* vid, unsigned short* pid);
VREX_API int vrex_enum_usb_get_instance_path(vrex_enum_t* e, const char** value);
VREX_API int vrex_enum_usb_is_high_speed(vrex_enum_t* e, int* flag);
VREX_API int vrex_enum_usb_is_super_speed(vrex_enum_t* e, int* flag);

/* ---- device properties ---------------------------------------------------------------------------------- */
VREX_API int vrex_dev_prop_get_manufacturer(vrex_ctx_t* ctx, const char** value);
VREX_API int vrex_dev_prop_get_product(vrex_ctx_t* ctx, const char** value);
VREX_API int vrex_dev_prop_get_serial_number(vrex_ctx_t* ctx, const char** value);
VREX_API int vrex_dev_prop_get_connection_string(vrex_ctx_t* ctx, const char** value);
VREX_API int vrex_dev_prop_usb_get_vid_pid(vrex_ctx_t* ctx, unsigned short* vid, unsigned short* pid);
VREX_API int vrex_dev_prop_usb_get_instance_path(vrex_ctx_t* ctx, const char** value);
VREX_API int vrex_dev_prop_usb_is_high_speed(vrex_ctx_t* ctx, int* flag);
VREX_API int vrex_dev_prop_usb_is_super_speed(vrex_ctx_t* ctx, int* flag);

/* ---- acquisition ------------------------------------------------------------------------------------------ */
VREX_API int vrex_acq_ch_count(vrex_ctx_t* ctx, int* count);
VREX_API int vrex_acq_ch_id(vrex_ctx_t* ctx, int index, const char** id);
VREX_API int vrex_acq_begin(vrex_ctx_t* ctx, const char* channelId);
VREX_API int vrex_acq_end(vrex_ctx_t* ctx, const char* channelId);
VREX_API int vrex_acq_abort(vrex_ctx_t* ctx, const char* channelId);
VREX_API int vrex_acq_set_data_callback(vrex_ctx_t* ctx, const char* channelId, vrex_acq_data_func callback,
                                        void* user);

VREX_API int vrex_acq_get_last_error(vrex_acq_t* acq, const char** message);
VREX_API int vrex_acq_tpx_get_frame_count(vrex_acq_t* acq, unsigned long long* count);
VREX_API int vrex_acq_tpx_get_frames(vrex_acq_t* acq, void* out);
VREX_API int vrex_acq_raw_get_data(vrex_acq_t* acq, void* out, unsigned long long* byteCount);
VREX_API int vrex_acq_tpx3_get_packet_count(vrex_acq_t* acq, unsigned long long* count);
VREX_API int vrex_acq_tpx3_get_packets(vrex_acq_t* acq, void* out);
VREX_API int vrex_acq_tpx3_get_vec_length(vrex_acq_t* acq, unsigned long long* length);
VREX_API int vrex_acq_tpx3_get_pixel_address_vec(vrex_acq_t* acq, void* out);
VREX_API int vrex_acq_tpx3_get_toa_vec(vrex_acq_t* acq, void* out);
VREX_API int vrex_acq_tpx3_get_tot_vec(vrex_acq_t* acq, void* out);
VREX_API int vrex_acq_tpx3_get_event_vec(vrex_acq_t* acq, void* out);
VREX_API int vrex_acq_tpx3_get_itot_vec(vrex_acq_t* acq, void* out);
VREX_API int vrex_acq_meta_get_shutter_rising_time_ticks(vrex_acq_t* acq, unsigned long long* ticks);
VREX_API int vrex_acq_meta_get_tdc_toas_count(vrex_acq_t* acq, int tdc, uint64_t* count);
VREX_API int vrex_acq_meta_get_tdc_toas(vrex_acq_t* acq, int tdc, const uint64_t** toas);
VREX_API int vrex_acq_meta_get_bin_descriptor_count(vrex_acq_t* acq, unsigned long long* count);
VREX_API int vrex_acq_meta_get_bin_descriptors(vrex_acq_t* acq, void* out);
VREX_API int vrex_acq_tpx3_get_binned_hitcounters_count(vrex_acq_t* acq, unsigned long long* count);
VREX_API int vrex_acq_tpx3_get_binned_hitcounters(vrex_acq_t* acq, uint64_t** out);
VREX_API int vrex_acq_tpx3_get_binned_itots_count(vrex_acq_t* acq, unsigned long long* count);
VREX_API int vrex_acq_tpx3_get_binned_itots(vrex_acq_t* acq, uint64_t** out);

/* ---- chips, modes, DACs, thresholds ------------------------------------------------------------------------ */
VREX_API int vrex_chip_refresh(vrex_ctx_t* ctx);
VREX_API int vrex_chip_count(vrex_ctx_t* ctx, int* count);
VREX_API int vrex_chip_id(vrex_ctx_t* ctx, int index, const char** id);
VREX_API int vrex_chip_get_polarity(vrex_ctx_t* ctx, int chipIdx, vrex_chip_polarity_t* polarity);
VREX_API int vrex_chip_set_polarity(vrex_ctx_t* ctx, int chipIdx, vrex_chip_polarity_t polarity);
VREX_API int vrex_chip_mode_count(vrex_ctx_t* ctx, int* count);
VREX_API int vrex_chip_mode_id(vrex_ctx_t* ctx, int index, const char** id);
VREX_API int vrex_chip_mode_select(vrex_ctx_t* ctx, const char* modeId);
VREX_API int vrex_chip_mode_select_ex(vrex_ctx_t* ctx, const char* modeId, void* params);
VREX_API int vrex_chip_sense_dac_count(vrex_ctx_t* ctx, int* count);
VREX_API int vrex_chip_sense_dac_name(vrex_ctx_t* ctx, int index, const char** id);
VREX_API int vrex_chip_sense_dac_sel(vrex_ctx_t* ctx, const char* senseDacId);
VREX_API int vrex_chip_dac_count(vrex_ctx_t* ctx, int* count);
VREX_API int vrex_chip_dac_name(vrex_ctx_t* ctx, int index, const char** id);
VREX_API int vrex_chip_dac_value_get(vrex_ctx_t* ctx, const char* dacId, int* value);
VREX_API int vrex_chip_dac_value_set(vrex_ctx_t* ctx, const char* dacId, int value);
VREX_API int vrex_chip_dac_limits(vrex_ctx_t* ctx, const char* dacId, int* minimum, int* maximum);
VREX_API int vrex_chip_threshold_count(vrex_ctx_t* ctx, int* count);
VREX_API int vrex_chip_threshold_id(vrex_ctx_t* ctx, int index, const char** id);
VREX_API int vrex_chip_threshold_is_calibrated(vrex_ctx_t* ctx, const char* threshId, int* calibrated);
VREX_API int vrex_chip_threshold_get(vrex_ctx_t* ctx, const char* threshId, float* value);
VREX_API int vrex_chip_threshold_set(vrex_ctx_t* ctx, const char* threshId, float value);
VREX_API int vrex_chip_threshold_range(vrex_ctx_t* ctx, const char* threshId, float* minimum, float* maximum,
                                       float* noise);
VREX_API int vrex_chip_threshold_raw_get(vrex_ctx_t* ctx, const char* threshId, int* value);
VREX_API int vrex_chip_threshold_raw_set(vrex_ctx_t* ctx, const char* threshId, int value);
VREX_API int vrex_chip_threshold_raw_range(vrex_ctx_t* ctx, const char* threshId, int* minimum, int* maximum);

/* ---- configuration and pixel mask ------------------------------------------------------------------------ */
VREX_API int vrex_load_configuration(vrex_ctx_t* ctx, const char* configType, const char* content);
VREX_API int vrex_get_pixel_mask_size(vrex_ctx_t* ctx, pixel_mask_size* size);
VREX_API int vrex_get_pixel_mask(vrex_ctx_t* ctx, pixel_mask* mask, size_t* retrieved);
VREX_API int vrex_set_pixel_mask(vrex_ctx_t* ctx, const pixel_mask* mask);

/* ---- non-volatile memories --------------------------------------------------------------------------------- */
VREX_API int vrex_flash_count(vrex_ctx_t* ctx, int* count);
VREX_API int vrex_flash_id(vrex_ctx_t* ctx, int index, const char** id);
VREX_API int vrex_flash_part_nr(vrex_ctx_t* ctx, const char* flashId, const char** partNumber);
VREX_API int vrex_flash_regions(vrex_ctx_t* ctx, const char* flashId, int* count);
VREX_API int vrex_flash_sector_count(vrex_ctx_t* ctx, const char* flashId, int regionIdx, int* count);
VREX_API int vrex_flash_sector_size(vrex_ctx_t* ctx, const char* flashId, int regionIdx, int* size);
VREX_API int vrex_flash_sector_address_range(vrex_ctx_t* ctx, const char* flashId, int sectorIdx, uint32_t* start,
                                             uint32_t* end);
VREX_API int vrex_flash_read(vrex_ctx_t* ctx, const char* flashId, uint32_t address, void* data, size_t* length);
VREX_API int vrex_flash_program(vrex_ctx_t* ctx, const char* flashId, uint32_t address, const void* data,
                                size_t* length);

/* ---- cooling ------------------------------------------------------------------------------------------------ */
VREX_API int vrex_cooling_count(vrex_ctx_t* ctx, int* count);
VREX_API int vrex_cooling_id(vrex_ctx_t* ctx, int index, const char** id);
VREX_API int vrex_cooling_value_unit(vrex_ctx_t* ctx, const char* coolingId, const char** unit);
VREX_API int vrex_cooling_get_actual(vrex_ctx_t* ctx, const char* coolingId, float* temperature);
VREX_API int vrex_cooling_get_desired(vrex_ctx_t* ctx, const char* coolingId, float* temperature);
VREX_API int vrex_cooling_set_desired(vrex_ctx_t* ctx, const char* coolingId, float temperature);
VREX_API int vrex_cooling_limits(vrex_ctx_t* ctx, const char* coolingId, float* minimum, float* maximum);

/* ---- boards -------------------------------------------------------------------------------------------------- */
VREX_API int vrex_board_count(vrex_ctx_t* ctx, int* count);
VREX_API int vrex_board_id(vrex_ctx_t* ctx, int index, const char** id);
VREX_API int vrex_board_power_on(vrex_ctx_t* ctx, const char* boardId);
VREX_API int vrex_board_power_off(vrex_ctx_t* ctx, const char* boardId);
VREX_API int vrex_board_is_powered(vrex_ctx_t* ctx, const char* boardId, int* powered);

/* ---- trigger and shutter ------------------------------------------------------------------------------------ */
VREX_API int vrex_trigger_mode_count(vrex_ctx_t* ctx, int* count);
VREX_API int vrex_trigger_mode_id(vrex_ctx_t* ctx, int index, const char** id);
VREX_API int vrex_trigger_mode_select(vrex_ctx_t* ctx, const char* modeId);
VREX_API int vrex_trigger_set_shutter_duration(vrex_ctx_t* ctx, float seconds);
VREX_API int vrex_trigger(vrex_ctx_t* ctx);

/* ---- external synchronisation ------------------------------------------------------------------------------ */
VREX_API int vrex_lockstep_option_count(vrex_ctx_t* ctx, int* count);
VREX_API int vrex_lockstep_option_id(vrex_ctx_t* ctx, int index, const char** id);
VREX_API int vrex_lockstep_option_select(vrex_ctx_t* ctx, const char* optionId);

/* ---- hardware versions --------------------------------------------------------------------------------------- */
VREX_API int vrex_revisions_count(vrex_ctx_t* ctx, int* count);
VREX_API int vrex_revisions_id(vrex_ctx_t* ctx, int index, const char** id);
VREX_API int vrex_revisions_string(vrex_ctx_t* ctx, const char* revisionId, const char** version);

/* ---- AXI registers ----------------------------------------------------------------------------------------- */
VREX_API int vrex_axi_read(vrex_ctx_t* ctx, uint32_t address, uint32_t* data);
VREX_API int vrex_axi_write(vrex_ctx_t* ctx, uint32_t address, uint32_t data);

/* ---- sensor bias ------------------------------------------------------------------------------------------
 * A bias source is the high-voltage supply of a sensor. Voltages are in volts, signed: a source's polarity is
 * the sign of every voltage it accepts, and its limits bound the set point. Currents are in microamperes, as
 * magnitudes. Setting a voltage (or switching the output on) starts a ramp at the source's rate; the measured
 * voltage follows it. When the measured current exceeds the current limit the source trips: its output is
 * switched off at once and stays off (set points are refused) until the trip is cleared. */
VREX_API int vrex_bias_count(vrex_ctx_t* ctx, int* count);
VREX_API int vrex_bias_id(vrex_ctx_t* ctx, int index, const char** id);
/* "positive" or "negative". */
VREX_API int vrex_bias_polarity(vrex_ctx_t* ctx, const char* biasId, const char** polarity);
VREX_API int vrex_bias_limits(vrex_ctx_t* ctx, const char* biasId, float* minimum, float* maximum);
VREX_API int vrex_bias_get_voltage(vrex_ctx_t* ctx, const char* biasId, float* volts);
VREX_API int vrex_bias_get_target(vrex_ctx_t* ctx, const char* biasId, float* volts);
VREX_API int vrex_bias_set_voltage(vrex_ctx_t* ctx, const char* biasId, float volts);
VREX_API int vrex_bias_get_ramp_rate(vrex_ctx_t* ctx, const char* biasId, float* voltsPerSecond);
VREX_API int vrex_bias_set_ramp_rate(vrex_ctx_t* ctx, const char* biasId, float voltsPerSecond);
VREX_API int vrex_bias_get_current(vrex_ctx_t* ctx, const char* biasId, float* microamperes);
VREX_API int vrex_bias_get_current_limit(vrex_ctx_t* ctx, const char* biasId, float* microamperes);
VREX_API int vrex_bias_set_current_limit(vrex_ctx_t* ctx, const char* biasId, float microamperes);
VREX_API int vrex_bias_on(vrex_ctx_t* ctx, const char* biasId);
/* Ramps the output down to 0 V at the ramp rate. */
VREX_API int vrex_bias_off(vrex_ctx_t* ctx, const char* biasId);
VREX_API int vrex_bias_is_on(vrex_ctx_t* ctx, const char* biasId, int* on);
VREX_API int vrex_bias_is_ramping(vrex_ctx_t* ctx, const char* biasId, int* ramping);
VREX_API int vrex_bias_is_tripped(vrex_ctx_t* ctx, const char* biasId, int* tripped);
VREX_API int vrex_bias_clear_trip(vrex_ctx_t* ctx, const char* biasId);
/* Waits up to timeout seconds for the ramp to end: reached is 1 when the output is at its set point, 0 on timeout.
 * Fails with -2 when the source trips before or while waiting. */
VREX_API int vrex_bias_wait(vrex_ctx_t* ctx, const char* biasId, float timeout, int* reached);
/* Ends a ramp where it is: the set point becomes the voltage reached. */
VREX_API int vrex_bias_stop_ramp(vrex_ctx_t* ctx, const char* biasId);

/* ---- monitored quantities -------------------------------------------------------------------------------------
 * Temperatures, voltages and currents the device reports, each with its unit. A quantity whose board is powered
 * off is unavailable: reading it fails with -2. The callbacks come on an SDK thread whenever a quantity's value
 * or availability changes after registration; a null function unregisters. */
typedef void (*vrex_monitor_value_func)(const char* monitorId, float value, void* user);
typedef void (*vrex_monitor_avail_func)(const char* monitorId, int available, void* user);
VREX_API int vrex_monitor_count(vrex_ctx_t* ctx, int* count);
VREX_API int vrex_monitor_id(vrex_ctx_t* ctx, int index, const char** id);
VREX_API int vrex_monitor_unit(vrex_ctx_t* ctx, const char* monitorId, const char** unit);
VREX_API int vrex_monitor_get_value(vrex_ctx_t* ctx, const char* monitorId, float* value);
VREX_API int vrex_monitor_is_available(vrex_ctx_t* ctx, const char* monitorId, int* available);
VREX_API int vrex_monitor_set_value_callback(vrex_ctx_t* ctx, const char* monitorId, vrex_monitor_value_func func,
                                             void* user);
VREX_API int vrex_monitor_set_avail_callback(vrex_ctx_t* ctx, const char* monitorId, vrex_monitor_avail_func func,
                                             void* user);

/* ---- read-back of selections ----------------------------------------------------------------------------------
 * What the device was last told to select; "" (and 0.0 for the shutter) when nothing was selected since the
 * device was attached. */
VREX_API int vrex_chip_mode_get(vrex_ctx_t* ctx, const char** modeId);
/* The parameters given with the selected mode: hasParams 0 when it was selected without any. */
VREX_API int vrex_chip_mode_get_params(vrex_ctx_t* ctx, int* hasParams, uint32_t* width, uint32_t* height,
                                       uint64_t* dwellTime);
VREX_API int vrex_trigger_mode_get(vrex_ctx_t* ctx, const char** modeId);
VREX_API int vrex_trigger_get_shutter_duration(vrex_ctx_t* ctx, float* seconds);
VREX_API int vrex_lockstep_option_get(vrex_ctx_t* ctx, const char** optionId);

#ifdef __cplusplus
}
#endif

#endif /* VREX_SDK_H */
