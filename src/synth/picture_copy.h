// A second copy of a non-reference picture's access unit shown right after
// it: pic_order_cnt_lsb one above the frame's count (both fields at it when
// the frame's fields take two counts), everything else as it was, the
// slice data carried over untouched (ITU-T H.264 clauses 7.3.3, 7.4.1).
// Where the picture's B slices use implicit weights that are all 32/32,
// the copy names a PPS of its own with weighted_bipred_idc 0.
#pragma once

#include <cstdint>

struct ParserHandle;

namespace kavrel {

// The PPS a copy's slices name instead of the stream's: `from` (with
// weighted_bipred_idc 2) is written again as `to` with 0; -1: none.
struct CopyPps {
    int32_t from = -1;
    int32_t to = -1;
};

// Why the access unit of `size` bytes at `unit`, just parsed with
// `handle`, whose picture has count `poc`, cannot be copied so that the
// copy decodes to the same picture (temporal direct prediction, implicit
// weights other than 32/32, data partitioning, a field, an end of sequence
// or stream, ...), or null; then *pps says which PPS the copy needs.
const char* picture_copy_refusal(const ParserHandle* handle, const uint8_t* unit, int32_t size, int32_t poc,
                                 CopyPps* pps);

// Writes the copy (its delimiter, if any, the PPS of `pps`, if any, and its
// slices behind four-byte start codes) to out, at most `capacity` bytes;
// out null: measures it. The length, or -1 with nothing written when it
// does not fit.
int32_t write_picture_copy(const ParserHandle* handle, const uint8_t* unit, int32_t size, const CopyPps& pps,
                           uint8_t* out, int32_t capacity);

// The NAL units of an access unit: calls fn(header position, length) for
// each, the length from the header byte to the next start code, trailing
// zero bytes left out.
template <typename Fn>
void for_each_nal(const uint8_t* unit, int32_t size, Fn&& fn);

}  // namespace kavrel

#include "synth/picture_copy_walk.h"
