// The SPS unit that announces a new frame rate: the active SPS written back
// with only its VUI timing changed (ITU-T H.264 clause E.2.1).
#pragma once

#include <cstdint>

#include "stream/parser_handle.h"

namespace kavrel {

// An SPS was parsed and the active set passed its checks.
bool has_active_sps(const ParserHandle* handle);

// H264_Enc_Iframe: the active SPS with time_scale = 2 * fps *
// num_units_in_tick (1 when the set has none) into `out`, which must hold
// the whole unit; the active set keeps the new time_scale. The unit's
// length, or -1 (nothing written).
int32_t write_frame_rate_sps(ParserHandle* handle, uint32_t fps, uint8_t* out);

constexpr int32_t kKeepLevel = -1;

// H264_Enc_Iframe_Rate: the active SPS with the frame rate fps_num / fps_den
// into `out` of `capacity` bytes; the handle is left as it was. The unit's
// length, or -1 (nothing written). With a `level_idc` other than
// kKeepLevel the unit carries that level_idc instead (a Baseline, Main or
// Extended set coded as level 1b loses the constraint_set3_flag that marked it).
int32_t write_frame_rate_sps(ParserHandle* handle, uint8_t* out, uint32_t capacity, uint32_t fps_num,
                             uint32_t fps_den, int32_t level_idc = kKeepLevel);

}  // namespace kavrel
