// A second copy of a non-reference picture's access unit that differs only
// in pic_order_cnt_lsb (one higher): a fixed-width field of the slice
// header, so the slice data is copied untouched (ITU-T H.264 clauses
// 7.3.3, 7.4.1).
#pragma once

#include <cstdint>

struct ParserHandle;

namespace kavrel {

// Why the access unit of `size` bytes at `unit`, just parsed with
// `handle`, cannot be copied so that the copy decodes to the same picture
// (temporal direct prediction or implicit weights in a B slice, data
// partitioning, a field, an end of sequence or stream, ...), or null.
const char* picture_copy_refusal(const ParserHandle* handle, const uint8_t* unit, int32_t size);

// Writes the copy (its delimiter, if any, and its slices behind four-byte
// start codes) to out, at most `capacity` bytes; out null: measures it.
// The length, or -1 with nothing written when it does not fit.
int32_t write_picture_copy(const ParserHandle* handle, const uint8_t* unit, int32_t size, uint8_t* out,
                           int32_t capacity);

// The NAL units of an access unit: calls fn(header position, length) for
// each, the length from the header byte to the next start code, trailing
// zero bytes left out.
template <typename Fn>
void for_each_nal(const uint8_t* unit, int32_t size, Fn&& fn);

}  // namespace kavrel

#include "synth/picture_copy_walk.h"
