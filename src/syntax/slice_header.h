// Slice header (ITU-T H.264 clause 7.3.3) with ref_pic_list_reordering()
// (7.3.3.1), pred_weight_table() (7.3.3.2) and dec_ref_pic_marking()
// (7.3.3.3).
#pragma once

#include <cstdint>

#include "common/status.h"

namespace kavrel {

struct BitReader;
struct SyntaxState;
struct RbspSource;

// MaxPicNum at its largest: 2 * MaxFrameNum for field pictures, with
// log2_max_frame_num 16 (clause 7.4.3).
constexpr int64_t kMaxPicNum = int64_t{1} << 17;

// The last parsed slice header, kept in the handle.
struct SliceHeader {
    int32_t first_mb_in_slice;
    uint8_t pic_type;             // 1 I, 2 P, 3 B
    uint8_t parity_pic_type[2];   // [1] frame / top field, [0] bottom field
    int32_t frame_num;
    uint32_t field_pic_flag;
    int16_t picture_structure;    // 1 top, 2 bottom, 3 frame
    int32_t pic_order_cnt_lsb;
    int32_t delta_pic_order_cnt_bottom;  // full values, written back by the repeat frame
    int32_t delta_pic_order_cnt[2];
    int32_t redundant_pic_cnt;
    int32_t direct_spatial_mv_pred_flag;
    int32_t num_ref_idx_active_override_flag;
    int16_t ref_count[2];
    int32_t cabac_init_idc;
    int32_t qp;                   // SliceQPY = 26 + pic_init_qp_minus26 + slice_qp_delta
    int32_t disable_deblocking_filter_idc;  // 0 when the PPS has no deblocking control
    int32_t slice_alpha_c0_offset;  // 2 * slice_alpha_c0_offset_div2
    int32_t slice_beta_offset;      // 2 * slice_beta_offset_div2
    // What the repeat frame must know of the last picture.
    uint8_t idr_pic_flag;           // it was an IDR picture
    uint8_t marked_long_term;       // long_term_reference_flag 1 or memory_management_control_operation 6
    uint8_t mmco5;                  // memory_management_control_operation 5
    // How it marks reference pictures: memory_management_control_operation
    // 1 entries (difference_of_pic_nums_minus1 + 1), and whether it carries
    // other operations (2, 3, 4, 6) or more operations 1 than are kept.
    uint8_t mmco_unmark_count;
    uint8_t mmco_other;
    int32_t mmco_unmark[8];
};

// Parses one slice header from the start of an RBSP of `rbsp_len` valid
// bytes and `bit_count` syntax bits, unescaped on demand by `source` where
// it is not null (bit_reader_init, bit_reader_attach), into handle->slice
// (the picture type in pic_type: 1 I, 2 P, 3 B). A refused header is
// stored up to the element that failed (slice_header.cpp says why).
Status decode_slice_header(SyntaxState* handle, const uint8_t* rbsp, int32_t rbsp_len, int32_t bit_count,
                            RbspSource* source);
// The structures inside the header: kOk, or kSliceRange after the fault's
// message (the header goes on from wherever the reader stopped).
Status decode_ref_pic_list_reordering(BitReader* reader);
// `chroma`: the SPS has a chroma array (chroma_format_idc other than 0).
Status decode_pred_weight_table(BitReader* reader, bool chroma, int32_t count, int32_t list);
// Notes in `slice` how the picture marks reference pictures.
Status decode_ref_pic_marking(SliceHeader& slice, int32_t nal_unit_type, BitReader* reader);

}  // namespace kavrel
