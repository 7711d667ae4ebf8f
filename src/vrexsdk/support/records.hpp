// The record layouts of the SDK's data buffers, without NumPy: the arrays made over them (arrays.hpp) and the
// native stages reading them (stages.hpp) share these.
#pragma once

#include <cstdint>

namespace vrex {

// The record layouts of the SDK's buffers.
struct toa_tot_struct {
    std::uint32_t address;
    std::uint32_t tot;
    std::uint64_t toa;
};
struct itot_event_struct {
    std::uint32_t address;
    std::uint32_t itot;
    std::uint64_t event;
};
struct binned_dd_toa_tot_struct {
    std::uint32_t address;
    std::uint32_t count;
    std::uint32_t itot;
};
struct binning_metadata_struct {
    std::uint32_t offset;
    std::uint32_t packet_count;
};

}  // namespace vrex
