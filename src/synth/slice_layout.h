// The slice header of a non-reference picture read to its end (ITU-T H.264
// clause 7.3.3): where the elements a copy of the picture rewrites lie in
// its RBSP, and what decides how the copy decodes. And the copy itself,
// its header rewritten and its slice data carried over: byte-aligned
// behind cabac_alignment_one_bits with CABAC, bit for bit with CAVLC.
#pragma once

#include <cstdint>

#include "bitstream/bit_writer.h"
#include "syntax/pic_param_set.h"

struct ParserHandle;

namespace kavrel {

// RBSP bytes of a slice header a copy can take (the header must end within them).
constexpr int32_t kSlicePrefix = 1024;

struct SliceLayout {
    int32_t slice_type = 0;     // 0..4 (slice_type % 5), -1 for a code too long
    int32_t frame_num = 0;
    const PicParamSet* pps = nullptr;  // the set it names, in the handle's table
    int32_t pps_id = 0;
    int32_t pps_id_bit = 0;     // first bit of pic_parameter_set_id
    int32_t pps_id_end = 0;
    int32_t lsb_bit = 0;        // first bit of pic_order_cnt_lsb
    int32_t lsb_bits = 0;
    uint32_t lsb = 0;
    int32_t delta_bit = -1;     // first bit of delta_pic_order_cnt_bottom, -1 when absent
    int32_t delta_end = -1;
    int64_t delta_bottom = 0;
    int32_t ref_count[2] = {0, 0};  // num_ref_idx_lX_active_minus1 + 1 (P and B)
    bool modified = false;      // a ref_pic_list_modification_flag_lX is 1
    int32_t header_end = 0;     // first bit after the header
    const char* refusal = nullptr;
};

// Reads the header of the slice NAL unit whose payload (after the header
// byte) is `len` bytes at `payload`; its first RBSP bytes are left in
// `rbsp` (kSlicePrefix bytes).
SliceLayout read_slice_layout(const ParserHandle* handle, const uint8_t* payload, int32_t len, uint8_t* rbsp);

// pic_order_cnt_lsb of the copy: both fields one above the frame's count,
// PicOrderCnt + 1 (delta_pic_order_cnt_bottom, if present, becomes 0).
uint32_t copy_lsb(const SliceLayout& layout);

// Writes the slice NAL unit of `len` bytes at `nal` (header byte first),
// read as `layout` into `rbsp`, behind a four-byte start code with
// pic_order_cnt_lsb copy_lsb(), delta_pic_order_cnt_bottom 0 and
// pic_parameter_set_id `pps_id`, to `stream` (NAL payload escaping on).
void write_slice_copy(const uint8_t* nal, int32_t len, const SliceLayout& layout, const uint8_t* rbsp, int32_t pps_id,
                      Bitstream* stream);

// Writes a PPS NAL unit behind a four-byte start code: `pps` with
// pic_parameter_set_id `pps_id` and weighted_bipred_idc `bipred_idc`.
void write_pps_copy(const PicParamSet& pps, int32_t pps_id, int32_t bipred_idc, Bitstream* stream);

// Stores `nal` (`len` bytes) behind a four-byte start code as it is.
void write_nal_as_is(const uint8_t* nal, int32_t len, Bitstream* stream);

}  // namespace kavrel
