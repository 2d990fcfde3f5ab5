// The VUI timing and HRD presence of an SPS the library has accepted, and
// the format of one it refused. The library reports only the whole frame
// rate, so the tool reads the RBSP (FrameInfo.sps_data, or the NAL unit
// itself) up to vcl_hrd_parameters_present_flag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kavrel_cli {

struct SpsTiming {
    int profile_idc = -1;
    int constraint_flags = 0;  // constraint_set0_flag .. reserved_zero_2bits
    int level_idc = -1;
    uint32_t seq_parameter_set_id = 0;
    uint32_t chroma_format_idc = 1;
    uint32_t bit_depth_luma = 8;
    uint32_t bit_depth_chroma = 8;
    bool lossless = false;  // qpprime_y_zero_transform_bypass_flag
    uint32_t width_mbs = 0;
    uint32_t height_map_units = 0;
    bool frame_mbs_only = true;
    bool timing_info_present = false;
    uint32_t num_units_in_tick = 0;
    uint32_t time_scale = 0;
    bool hrd = false;  // NAL or VCL HRD parameters
};

// False when the RBSP ends before the fields it needs.
bool read_sps_timing(const uint8_t* rbsp, size_t size, SpsTiming* out);
// The same from the SPS NAL unit whose header byte is p[header], ending at p[end].
bool read_sps_nal(const uint8_t* p, size_t header, size_t end, SpsTiming* out);
// seq_parameter_set_id of the PPS NAL unit [header, end); -1 when unreadable.
int pps_sps_id(const uint8_t* p, size_t header, size_t end);

// Why the library does not take a stream with this SPS, in the user's
// words ("High 10 (profile_idc 110), bit depth 10: kavrel takes 8-bit 4:2:0
// only"), or empty when its format is one the library takes.
std::string unsupported_format(const SpsTiming& sps);

}  // namespace kavrel_cli
