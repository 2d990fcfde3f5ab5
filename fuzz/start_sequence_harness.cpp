// (a) One handle, Kavrel_Start over the whole input frame by frame; a second
// one given the same frames through Kavrel_Start_Stream in pieces.
#include "fuzz_harness.h"
#include "harness_support.h"

namespace kavrel_fuzz {

namespace {

bool same_frame_info(const FrameInfo& a, const FrameInfo& b) {
    return a.width == b.width && a.height == b.height && a.picture_type == b.picture_type &&
           a.consumed == b.consumed && a.frame_rate == b.frame_rate && a.ref_frame_count == b.ref_frame_count &&
           a.picture_structure == b.picture_structure && a.coded_width == b.coded_width &&
           a.coded_height == b.coded_height && a.field_pic_flag == b.field_pic_flag && a.sps_size == b.sps_size &&
           a.pps_size == b.pps_size && (a.sps_size == 0 || std::memcmp(a.sps_data, b.sps_data, a.sps_size) == 0) &&
           (a.pps_size == 0 || std::memcmp(a.pps_data, b.pps_data, a.pps_size) == 0);
}

// The frame at `pos` given to `live` as a host reading a pipe would: more
// bytes after each "need more data", each call on an exact copy of them.
const char* compare_live(ParserHandle* live, const uint8_t* data, size_t size, size_t pos, int32_t rc,
                         const FrameInfo& whole) {
    const size_t piece = 1 + (size + pos * 7) % 97;
    for (size_t have = pos;;) {
        have = have + piece < size ? have + piece : size;
        HeapBlock bytes(data + pos, have - pos);
        FrameInput input{bytes.data(), static_cast<uint32_t>(have - pos)};
        FrameInfo info;
        const int32_t live_rc = Kavrel_Start_Stream(live, &input, &info, have < size);
        if (live_rc != KAVREL_NEED_MORE_DATA) {
            FUZZ_CHECK(live_rc == rc && same_frame_info(info, whole),
                       "Kavrel_Start_Stream: not what Kavrel_Start gave");
            return nullptr;
        }
        FUZZ_CHECK(have < size && info.consumed == 0, "Kavrel_Start_Stream: more data asked at the end");
    }
}

}  // namespace

const char* fuzz_start_sequence(const uint8_t* data, size_t size) {
    ParserHandle* handle = Kavrel_Open();
    if (!handle) return "Kavrel_Open failed";
    ParserHandle* live = Kavrel_Open();
    if (!live) {
        Kavrel_Close(handle);
        return "Kavrel_Open failed";
    }
    // Every result is checked inside the walk.
    const char* failed = walk_frames(handle, data, size, 4096,
                                     [&](int32_t rc, const FrameInfo& info, size_t pos, size_t) -> const char* {
                                         return compare_live(live, data, size, pos, rc, info);
                                     });
    Kavrel_Close(live);
    Kavrel_Close(handle);
    return failed;
}

}  // namespace kavrel_fuzz
