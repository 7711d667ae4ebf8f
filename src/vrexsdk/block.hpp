// One data block as the SDK's getters report it, fetched in the order the deliveries call the getters.
//
// Two readers share these: the deliveries of vrexsdk.acquisition, which wrap the parts as NumPy arrays for a
// Python callable, and the native stages of vrexsdk._stages, which reduce them on the SDK's thread without the
// GIL. Each part's fetch() runs its getters in order and asks `got(status)` after each one whether to go on
// (the delivery raises and reports a failing status under the GIL; a stage records it without the GIL). Every
// pointer starts null and stays null when its getter leaves it so; counts start at zero.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "vrex_sdk.h"

namespace vrex::block {

// What a mode's blocks hold, and therefore which getters run.
enum class Shape {
    Frames,            // uint16 frames of 256 x 256 counters
    Raw,               // undecoded bytes (every raw registration)
    ToaTotRecords,     // toa_tot_struct records (sequential)
    ItotEventRecords,  // itot_event_struct records (sequential)
    ToaTotVectors,     // addresses u32, ToA u32, ToT u16 (sequential)
    ItotEventVectors,  // addresses u32, events u16, integrated ToT u16 (sequential)
    DdToaTotRecords,   // toa_tot_struct records, shutter and TDC stamps (data-driven, sorted or not)
    DdToaTotVectors,   // addresses u32, ToA u64, ToT u16, shutter and TDC stamps (data-driven)
    BinnedPackets,     // binned packets, bin descriptors, hit-count sums, integrated-ToT sums
    CountSums,         // hit-count sums
    ItotSums,          // integrated-ToT sums
};

// Which shape each chip mode delivers: the one table both the delivery's mode table and the stages derive from.
struct ModeShape {
    const char* mode;
    Shape shape;
};
inline constexpr ModeShape mode_shapes[] = {
    {"0:tpx3-seq-toa-tot", Shape::ToaTotRecords},
    {"0:tpx3-seq-toa-tot-vec", Shape::ToaTotVectors},
    {"0:tpx3-seq-itot-event", Shape::ItotEventRecords},
    {"0:tpx3-seq-itot-event-vec", Shape::ItotEventVectors},
    {"0:tpx3-dd-toa-tot-vec", Shape::DdToaTotVectors},
    {"0:tpx3-dd-toa-tot", Shape::DdToaTotRecords},
    {"0:tpx-medipix", Shape::Frames},
    {"0:raw-data", Shape::Raw},
    {"0:tpx3-sorted-dd-toa-tot", Shape::DdToaTotRecords},
    {"0:tpx3-binned-packets", Shape::BinnedPackets},
    {"0:tpx3-binned-count-sums", Shape::CountSums},
    {"0:tpx3-binned-itot-sums", Shape::ItotSums},
};

inline const ModeShape* find_mode(std::string_view mode) noexcept {
    for (const ModeShape& m : mode_shapes)
        if (mode == m.mode) return &m;
    return nullptr;
}

struct Frames {
    unsigned long long count = 0;  // frames, 65536 counters each
    void* data = nullptr;

    template <class Got>
    bool fetch(vrex_acq_t* acq, Got&& got) {
        return got(vrex_acq_tpx_get_frame_count(acq, &count)) && got(vrex_acq_tpx_get_frames(acq, &data));
    }
};

struct Raw {
    void* data = nullptr;
    unsigned long long bytes = 0;

    template <class Got>
    bool fetch(vrex_acq_t* acq, Got&& got) {
        return got(vrex_acq_raw_get_data(acq, &data, &bytes));
    }
};

// Hit records of the packet forms (toa_tot_struct or itot_event_struct, 16 bytes each).
struct Packets {
    unsigned long long count = 0;
    void* data = nullptr;

    template <class Got>
    bool fetch(vrex_acq_t* acq, Got&& got) {
        return got(vrex_acq_tpx3_get_packet_count(acq, &count)) && got(vrex_acq_tpx3_get_packets(acq, &data));
    }
};

// Hits as three vectors: addresses, then two quantities whose getters and widths depend on the mode.
struct Vectors {
    unsigned long long n = 0;
    void* addresses = nullptr;
    void* second = nullptr;
    void* third = nullptr;

    template <class Got>
    bool fetch(vrex_acq_t* acq, Got&& got, int (*second_getter)(vrex_acq_t*, void*),
               int (*third_getter)(vrex_acq_t*, void*)) {
        return got(vrex_acq_tpx3_get_vec_length(acq, &n)) &&
               got(vrex_acq_tpx3_get_pixel_address_vec(acq, &addresses)) && got(second_getter(acq, &second)) &&
               got(third_getter(acq, &third));
    }
    template <class Got>
    bool fetch_toa_tot(vrex_acq_t* acq, Got&& got) {
        return fetch(acq, got, vrex_acq_tpx3_get_toa_vec, vrex_acq_tpx3_get_tot_vec);
    }
    template <class Got>
    bool fetch_event_itot(vrex_acq_t* acq, Got&& got) {
        return fetch(acq, got, vrex_acq_tpx3_get_event_vec, vrex_acq_tpx3_get_itot_vec);
    }
};

// The metadata of the data-driven modes: the shutter's rising edge and the stamps of the three TDC channels.
struct Metadata {
    static constexpr int tdc_channels = 3;
    unsigned long long shutter = 0;
    std::uint64_t count[tdc_channels] = {};
    const std::uint64_t* toas[tdc_channels] = {};

    template <class Got>
    bool fetch(vrex_acq_t* acq, Got&& got) {
        if (!got(vrex_acq_meta_get_shutter_rising_time_ticks(acq, &shutter))) return false;
        for (int tdc = 0; tdc < tdc_channels; ++tdc) {
            if (!got(vrex_acq_meta_get_tdc_toas_count(acq, tdc, &count[tdc]))) return false;
            if (!got(vrex_acq_meta_get_tdc_toas(acq, tdc, &toas[tdc]))) return false;
        }
        return true;
    }
};

// One array of per-bin sums.
struct Sums {
    unsigned long long count = 0;
    std::uint64_t* data = nullptr;

    template <class Got>
    bool fetch_counts(vrex_acq_t* acq, Got&& got) {
        return got(vrex_acq_tpx3_get_binned_hitcounters_count(acq, &count)) &&
               got(vrex_acq_tpx3_get_binned_hitcounters(acq, &data));
    }
    template <class Got>
    bool fetch_itots(vrex_acq_t* acq, Got&& got) {
        return got(vrex_acq_tpx3_get_binned_itots_count(acq, &count)) &&
               got(vrex_acq_tpx3_get_binned_itots(acq, &data));
    }
};

// Binned packets, bin descriptors, hit-count sums and integrated-ToT sums, each of its own length.
struct Binned {
    unsigned long long packet_count = 0, descr_count = 0;
    void *packets = nullptr, *descriptors = nullptr;
    Sums hits, itots;

    template <class Got>
    bool fetch(vrex_acq_t* acq, Got&& got) {
        return got(vrex_acq_tpx3_get_packet_count(acq, &packet_count)) &&
               got(vrex_acq_tpx3_get_packets(acq, &packets)) &&
               got(vrex_acq_meta_get_bin_descriptor_count(acq, &descr_count)) &&
               got(vrex_acq_meta_get_bin_descriptors(acq, &descriptors)) && hits.fetch_counts(acq, got) &&
               itots.fetch_itots(acq, got);
    }
};

// What vrexsdk.acquisition lends the native data path, as the capsule vrexsdk.acquisition._delivery_api: the
// delivery of the chip's selected mode and the holding of a Python callable, both with the GIL held.
struct DeliveryApi {
    static constexpr int current = 2;
    static constexpr const char* capsule_name = "vrexsdk.acquisition._delivery_api";
    int version;
    // The delivery function of `acq`'s selected mode (raw: the raw delivery) and its shape; null with the
    // exception set when the mode cannot be delivered.
    vrex_acq_data_func (*select)(PyObject* acq, int raw, Shape* shape);
    // Registers `function` with `user` on `channel` as setDataCallback does, holding `func` (the callable the
    // registration delivers to beside its own work, or null) as setDataCallback holds its callable: the
    // registration it replaces is released once the channel is idle, and Device.finalize releases this one.
    // -1 with the exception set.
    int (*register_channel)(PyObject* acq, const char* channel, vrex_acq_data_func function, void* user,
                            PyObject* func);
};

}  // namespace vrex::block
