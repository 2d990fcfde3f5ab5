// What the syntax readers keep between NAL units: the stored and active
// parameter sets, the state carried from picture to picture and the last
// slice header, over the NAL unit being read.
#pragma once

#include "bitstream/nal_unit.h"
#include "syntax/param_set_store.h"
#include "syntax/picture_state.h"
#include "syntax/slice_header.h"

namespace kavrel {

struct SyntaxState : NalUnitState, ParamSetStore, PictureState {
    SliceHeader slice;                   // the last slice header
};

}  // namespace kavrel
