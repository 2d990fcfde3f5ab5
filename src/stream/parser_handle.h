// The parser handle: everything the library keeps about one stream, made of
// the records of the layers below (the NAL unit being read, the syntax
// state, the parameter-set copies) and the frame walk's own members (its
// RBSP work area among them).
// Defined at global scope because the public header names it as an opaque
// C type; all other internal types live in namespace kavrel.
#pragma once

#include <cstdint>

#include "bitstream/nal_unit.h"
#include "stream/rbsp_scratch.h"
#include "syntax/syntax_state.h"

namespace kavrel {
struct RepeatPlan;
}  // namespace kavrel

struct ParserHandle : kavrel::SyntaxState, kavrel::ParamSetCopies {
    kavrel::RbspScratch scratch;         // the frame walk's RBSP work area
    int32_t sps_received;                // an SPS parsed well with this handle
    kavrel::RepeatPlan* repeat_plan;     // from the first Kavrel_Repeat_Picture on, else null
};

namespace kavrel {
using ::ParserHandle;
}  // namespace kavrel
