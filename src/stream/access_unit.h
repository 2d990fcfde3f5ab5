// Where one access unit ends: the first NAL unit of the next one (ITU-T
// H.264 clause 7.4.1.2.3) and the pairing of field pictures into frames
// (clause 3, complementary field pairs; clause 7.4.1.2.4).
#pragma once

#include <cstdint>

#include "syntax/syntax_state.h"

namespace kavrel {

// Slices (coded slice, data partition A, IDR slice) begin a picture's
// units.
inline bool is_slice_unit(int t) { return t == 1 || t == 2 || t == 5; }

// Units that, after a slice of the current picture, begin the next access
// unit: SEI, SPS, PPS, access unit delimiter and the reserved types 14-18.
inline bool is_prefix_unit(int t) { return (t >= 6 && t <= 9) || (t >= 14 && t <= 18); }

// The start of a slice header: picture structure and frame_num.
struct SliceStart {
    int16_t picture_structure = 3;  // 1 top, 2 bottom, 3 frame
    int32_t frame_num = -1;
    int32_t bits = 0;               // RBSP bits read up to bottom_field_flag
};

// Reads first_mb_in_slice to bottom_field_flag from a slice payload (the
// bytes behind its header byte, at most the first 16 RBSP bytes of the
// `len` given) with the parameter sets the slice names. False when they
// are not stored or the bytes run out.
bool peek_slice_start(const ParamSetStore* h, const uint8_t* payload, int32_t len, SliceStart* out);

// A new picture follows a field: it completes the frame only as the
// opposite-parity partner of the first field (`first`) with the same
// frame_num. `payload` as for peek_slice_start.
bool completes_field_pair(const ParamSetStore* h, const SliceStart& first, const uint8_t* payload, int32_t len);

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
