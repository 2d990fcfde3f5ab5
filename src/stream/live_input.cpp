#include "stream/live_input.h"

#include "bitstream/nal_unit.h"
#include "stream/access_unit.h"
#include "stream/parse_frame.h"

namespace kavrel {

namespace {

// The frame walk's boundary decisions (access_unit.cpp) replayed without
// parsing: what they depend on besides the bytes is the picture structure
// and frame_num of the last slice parsed before the decision, and the
// stored parameter sets.
struct LiveWalk {
    const SyntaxState* handle;
    const uint8_t* data;
    int32_t size;
    bool vcl_seen = false;
    bool sets_seen = false;     // an SPS or PPS unit is part of the access unit: the sets may change
    int new_pictures = 0;       // slices with first_mb_in_slice 0 after the first VCL unit
    int32_t last_slice = -1;    // header position of the last unit of type 1 or 5
    NalExtent last_slice_extent;
};

// The picture structure and frame_num the slice header parser leaves in
// the handle after the last slice unit walked, taken from the same bits of
// that unit (all before its rbsp_stop_one_bit) or, without such a unit,
// from the handle. False when they cannot be known without parsing.
bool last_slice_start(const LiveWalk& w, SliceStart* out) {
    out->picture_structure = w.handle->slice.picture_structure;
    out->frame_num = w.handle->slice.frame_num;
    if (w.last_slice < 0) return true;
    const uint8_t* payload = w.data + w.last_slice + 1;
    const NalExtent& extent = w.last_slice_extent;
    return peek_slice_start(w.handle, payload, extent.payload_len, out) &&
           out->bits <= rbsp_bit_count(payload, extent);
}

// True when the slice at start code q, which begins a new picture after a
// slice of this access unit, surely ends it: the frame walk ends there, or
// already ended, or failed, before it.
bool new_picture_ends_unit(const LiveWalk& w, int32_t q) {
    if (w.new_pictures > 0) return true;  // the walk never takes a third picture
    SliceStart last;
    if (w.sets_seen || !last_slice_start(w, &last)) return false;
    if (last.picture_structure == 3) return true;
    return !completes_field_pair(w.handle, last, w.data + q + 4, w.size - q - 4);
}

// The decision of begins_next_access_unit at start code p: true when the
// access unit surely ends there.
bool ends_access_unit(LiveWalk& w, int32_t p) {
    const int t = w.data[p + 3] & 0x1f;
    if (is_prefix_unit(t)) return w.vcl_seen;
    if (!is_slice_unit(t)) return false;
    if (!w.vcl_seen) {
        w.vcl_seen = true;
        return false;
    }
    if ((w.data[p + 4] & 0x80) == 0) return false;  // another slice of the same picture
    if (new_picture_ends_unit(w, p)) return true;
    ++w.new_pictures;
    return false;
}

}  // namespace

int32_t proven_access_unit_extent(const SyntaxState* handle, const uint8_t* data, int32_t size) {
    LiveWalk w{handle, data, size, false, false, 0, -1, NalExtent{}};
    int32_t pos = 0;
    for (;;) {
        // The walk steps from start code to start code as the frame walk
        // does (find_unit, nal_header_position, the payload's end); every
        // byte it looks at lies before the last start code plus the
        // look-ahead, which the buffer must hold.
        const int32_t p = find_start_code(data, size, pos);
        if (p > size - kAccessUnitEndLookahead) return -1;
        if (ends_access_unit(w, p)) return p + kAccessUnitEndLookahead;
        const int32_t h = nal_header_position(data, size, p);
        const NalExtent extent = scan_nal_payload(data + h + 1, size - h - 1);
        const int type = data[h] & 0x1f;
        if (type == 7 || type == 8) w.sets_seen = true;
        if (type == 1 || type == 5) {
            // Its payload ends where the frame walk finds it ending: a
            // slice it parses is followed by a start code in the buffer.
            w.last_slice = h;
            w.last_slice_extent = extent;
        }
        pos = h + 1 + extent.payload_len;
    }
}

Status parse_frame_live(ParserHandle* handle, const uint8_t* data, int32_t size, bool more_follows,
                         uint32_t* out_length) {
    if (more_follows && data) {
        const int32_t extent = proven_access_unit_extent(handle, data, size);
        if (extent < 0) return Status::kNeedMoreData;
        size = extent;
    }
    return parse_frame(handle, data, size, out_length);
}

}  // namespace kavrel
