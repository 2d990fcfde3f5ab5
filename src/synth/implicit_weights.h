// Implicit weighted bi-prediction (weighted_bipred_idc 2, ITU-T H.264
// clause 8.4.2.3.1) and the copy of a non-reference picture: the copy's
// count is one higher, so its implicit weights would differ. A picture
// whose every usable pair of references gets the weights 32/32 decodes
// exactly as with weighted_bipred_idc 0 (implicit weights apply only to
// bi-predicted blocks, and 32/32 with logWD 5 is the default average), so
// its copy is written with a PPS saying 0.
#pragma once

#include <cstdint>

#include "synth/slice_layout.h"

struct ParserHandle;

namespace kavrel {

// The implicit weight w1 of a block predicted from frames with counts
// poc0 (list 0) and poc1 (list 1) in the frame with count `poc`.
int32_t implicit_weight_l1(int32_t poc, int32_t poc0, int32_t poc1);

// Why B slice `slice` of the picture with count `poc`, whose PPS has
// weighted_bipred_idc 2, cannot be copied with weighted_bipred_idc 0, or
// null: every pair (refIdxL0, refIdxL1) of its reference lists (clause
// 8.2.4.2.3; all reference frames in both lists when the slice modifies
// them) must give 32/32.
const char* implicit_weights_refusal(const ParserHandle* handle, const SliceLayout& slice, int32_t poc);

}  // namespace kavrel
