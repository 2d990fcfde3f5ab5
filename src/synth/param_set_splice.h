// The bit splices of the stream correction: a PPS given the High-profile
// tail (transform_8x8_mode_flag), an SPS given an explicit sample aspect
// ratio (VUI aspect_ratio_idc 255, Annex E.1.1).
#pragma once

#include <cstdint>

#include "syntax/seq_param_set.h"

namespace kavrel {

// Writes the SPS RBSP `sps` (sps_bits syntax bits) again with aspect ratio
// sar_width:sar_height (reduced) as Extended_SAR, adding a VUI when the set
// has none; rbsp_trailing_bits are written anew. Returns the new RBSP length,
// or -1 when the set's VUI flag is unreadable or lies past its sps_bits, or
// `out` is too small.
int32_t rewrite_sps_sar(const uint8_t* sps, int32_t sps_bits, const SeqParamSet& record, uint32_t sar_width,
                        uint32_t sar_height, uint8_t* out, int32_t capacity);

// The High-profile PPS tail (7.3.2.2) after redundant_pic_cnt_present_flag
// at bit `tail_bit_pos`: transform_8x8_mode_flag 1,
// pic_scaling_matrix_present_flag 0, second_chroma_qp_index_offset equal to
// chroma_qp_index_offset (the value a decoder inferred for the set without
// its tail, 7.4.2.2) and a new rbsp_trailing_bits, at whatever bit the flag
// lies. Returns the new RBSP length written to `out`, or 0 when the flag is
// not inside `pps_len` bytes or `out` is too small.
int32_t extend_pps(const uint8_t* pps, int32_t pps_len, int32_t tail_bit_pos, int32_t chroma_qp_index_offset,
                   uint8_t* out, int32_t capacity);

}  // namespace kavrel
