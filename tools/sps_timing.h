// The VUI timing and HRD presence of an SPS the library has accepted. The
// library reports only the whole frame rate, so the tool reads the RBSP
// (FrameInfo.sps_data) up to vcl_hrd_parameters_present_flag itself.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavrel_cli {

struct SpsTiming {
    int profile_idc = -1;
    int constraint_flags = 0;  // constraint_set0_flag .. reserved_zero_2bits
    int level_idc = -1;
    bool timing_info_present = false;
    uint32_t num_units_in_tick = 0;
    uint32_t time_scale = 0;
    bool hrd = false;  // NAL or VCL HRD parameters
};

// False when the RBSP ends before the fields it needs.
bool read_sps_timing(const uint8_t* rbsp, size_t size, SpsTiming* out);

}  // namespace kavrel_cli
