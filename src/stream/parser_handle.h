// The parser handle: everything the library keeps about one stream.
// Defined at global scope because the public header names it as an opaque
// C type; all other internal types live in namespace kavrel.
#pragma once

#include <cstdint>

#include "bitstream/bit_reader.h"
#include "syntax/pic_param_set.h"
#include "syntax/seq_param_set.h"
#include "syntax/slice_header.h"

namespace kavrel {
constexpr int32_t kScratchInitialSize = 1 << 20;  // RBSP scratch at open
constexpr int32_t kParamSetInitialSize = 1024;    // each ps_data buffer at open
constexpr int kMaxSps = 32;
constexpr int kMaxPps = 256;
}  // namespace kavrel

struct ParserHandle {
    kavrel::BitReader reader;            // over the current NAL unit's RBSP

    // Picture geometry of the most recently parsed SPS.
    int16_t pic_width_mbs;               // PicWidthInMbs
    int16_t pic_height_mbs;              // FrameHeightInMbs
    int16_t display_width;               // cropped size in luma samples
    int16_t display_height;

    kavrel::SliceHeader slice;           // the last slice header

    uint8_t nal_ref_idc;                 // header of the NAL unit last read
    uint8_t nal_unit_type;

    int32_t scratch_capacity;            // bytes in scratch
    uint8_t* scratch;                    // RBSP work buffer

    kavrel::SeqParamSet active_sps;
    kavrel::SeqParamSet sps_table[kavrel::kMaxSps];
    kavrel::PicParamSet active_pps;
    kavrel::PicParamSet pps_table[kavrel::kMaxPps];

    int32_t pps_tail_bit_pos;            // bit index of redundant_pic_cnt_present_flag
    int32_t transform_8x8_mode;          // of the last PPS; -1 when it has no tail
    int32_t pps_chroma_qp_index_offset;  // of the last PPS
    int32_t last_sps_profile_idc;
    int32_t correction_mode;             // 0 except in the correction's own handle
    int32_t sps_received;                // an SPS parsed well with this handle
    int32_t slice_received;              // a slice header parsed well with this handle
    uint32_t frame_rate;                 // whole frames per second from the VUI

    uint8_t* ps_data[2];                 // RBSP copies: [0] SPS, [1] PPS
    uint32_t ps_size[2];

    int32_t pps_sps_profile_idc;         // profile_idc of the SPS the last PPS named, as it was checked
    kavrel::SeqParamSet slice_sps;       // the SPS the last slice was parsed with (active_sps follows
                                         // every SPS parsed after it)

    // The sets the last slice made active, so that the next slice naming
    // the same PPS need not copy them again: a count bumped whenever a
    // table entry or an active set changes, and its value and the pps_id
    // when the active sets were copied (0: never).
    uint32_t param_generation;
    uint32_t active_generation;
    int32_t active_pps_index;
};

namespace kavrel {
using ::ParserHandle;
}  // namespace kavrel
