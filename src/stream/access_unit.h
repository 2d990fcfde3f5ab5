// Where one access unit ends: the first NAL unit of the next one (ITU-T
// H.264 clause 7.4.1.2.3) and the pairing of field pictures into frames
// (clause 3, complementary field pairs; clause 7.4.1.2.4).
#pragma once

#include <cstdint>

#include "syntax/syntax_state.h"

namespace kavrel {

// What the walk of one access unit has seen so far.
struct AccessUnitWalk {
    bool vcl_seen = false;  // a slice of this access unit was met
    int32_t pictures = 0;   // coded pictures (frames or fields) begun in it
};

// True when the NAL unit whose start code 00 00 01 begins at data[pos]
// (with its header byte inside `size`) belongs to the next access unit;
// prints the boundary message where one is due. Otherwise records the
// unit in `walk` and returns false.
bool begins_next_access_unit(const SyntaxState* handle, const uint8_t* data, int32_t pos, int32_t size,
                             AccessUnitWalk& walk);

}  // namespace kavrel
