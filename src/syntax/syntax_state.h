// What the syntax readers keep between NAL units: the parameter-set tables
// and active sets, the picture geometry of the last SPS and the last slice
// header, over the NAL unit being read.
#pragma once

#include <cstdint>

#include "bitstream/nal_unit.h"
#include "syntax/pic_param_set.h"
#include "syntax/seq_param_set.h"
#include "syntax/slice_header.h"

namespace kavrel {

constexpr int kMaxSps = 32;
constexpr int kMaxPps = 256;

struct SyntaxState : NalUnitState {
    // Picture geometry of the most recently parsed SPS.
    int16_t pic_width_mbs;               // PicWidthInMbs
    int16_t pic_height_mbs;              // FrameHeightInMbs
    int16_t display_width;               // cropped size in luma samples
    int16_t display_height;

    SliceHeader slice;                   // the last slice header

    SeqParamSet active_sps;
    SeqParamSet sps_table[kMaxSps];
    PicParamSet active_pps;
    PicParamSet pps_table[kMaxPps];

    int32_t pps_tail_bit_pos;            // bit index of redundant_pic_cnt_present_flag
    int32_t pps_has_tail;                // the last PPS carries transform_8x8_mode_flag
    int32_t pps_chroma_qp_index_offset;  // of the last PPS
    int32_t last_sps_profile_idc;
    int32_t slice_received;              // a slice header parsed well with this handle
    uint32_t frame_rate;                 // whole frames per second from the VUI

    int32_t pps_sps_profile_idc;         // profile_idc of the SPS the last PPS named, as it was checked
    SeqParamSet slice_sps;               // the SPS the last slice was parsed with (active_sps follows
                                         // every SPS parsed after it)

    // The sets the last slice made active, so that the next slice naming
    // the same PPS need not copy them again: a count bumped whenever a
    // table entry or an active set changes, and its value and the pps_id
    // when the active sets were copied (0: never).
    uint32_t param_generation;
    uint32_t active_generation;
    int32_t active_pps_index;
};

}  // namespace kavrel
