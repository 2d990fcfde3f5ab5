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

// The same, with the most common unit settled inline: a further slice of
// the picture begun (nal_unit_type 1 or 5 after a slice, first_mb_in_slice
// not 0, so the first bit of its payload is 0).
inline bool begins_next_access_unit_fast(const SyntaxState* handle, const uint8_t* data, int32_t pos,
                                         int32_t size, AccessUnitWalk& walk) {
    const int t = data[pos + 3] & 0x1f;
    if (walk.vcl_seen && (t == 1 || t == 5) && pos + 4 < size && (data[pos + 4] & 0x80) == 0) return false;
    return begins_next_access_unit(handle, data, pos, size, walk);
}

}  // namespace kavrel
