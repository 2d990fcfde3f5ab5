// The parameter sets a stream has given: the tables of stored SPSs and
// PPSs (ITU-T H.264 clause 7.4.1.2.1), the pair a slice made active, and
// what the last SPS and PPS read gave besides their records.
#pragma once

#include <cstdint>

#include "syntax/pic_param_set.h"
#include "syntax/seq_param_set.h"

namespace kavrel {

constexpr int kMaxSps = 32;
constexpr int kMaxPps = 256;

struct ParamSetStore {
    SeqParamSet sps_table[kMaxSps];
    PicParamSet pps_table[kMaxPps];
    SeqParamSet active_sps;              // also follows every SPS parsed after the last slice
    PicParamSet active_pps;
    SeqParamSet slice_sps;               // the SPS the last slice was parsed with

    // Picture geometry of the most recently parsed SPS.
    int16_t pic_width_mbs;               // PicWidthInMbs
    int16_t pic_height_mbs;              // FrameHeightInMbs
    int16_t display_width;               // cropped size in luma samples
    int16_t display_height;
    uint32_t frame_rate;                 // whole frames per second from its VUI
    int32_t last_sps_profile_idc;

    // Of the last PPS read.
    int32_t pps_tail_bit_pos;            // bit index of redundant_pic_cnt_present_flag
    int32_t pps_has_tail;                // it carries transform_8x8_mode_flag
    int32_t pps_chroma_qp_index_offset;
    int32_t pps_sps_profile_idc;         // profile_idc of the SPS it named, as it was checked

    // The sets the last slice made active, so that the next slice naming
    // the same PPS need not copy them again: a count bumped whenever a
    // table entry or an active set changes, and its value and the pps_id
    // when the active sets were copied (0: never).
    uint32_t param_generation;
    uint32_t active_generation;
    int32_t active_pps_index;
};

}  // namespace kavrel
