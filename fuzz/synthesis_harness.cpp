// (c) A fuzzed stream parsed frame by frame; after every frame the two
// sized synthesis calls (and the unsized ones with the room they assume)
// write into blocks of exactly their stated capacity. Control bytes: the
// rate, and how the capacities are chosen; the rest is the stream.
#include <cstring>
#include <vector>

#include "stream/parser_handle.h"
#include "fuzz_harness.h"
#include "harness_support.h"
#include "synth/repeat_frame.h"
#include "synth/sps_writer.h"

namespace kavrel_fuzz {

namespace {

// Room the unsized frame-rate call assumes: any SPS unit stays below it.
constexpr uint32_t kRateRoom = 2 * kavrel::kSpsRbspCapacity;

struct Control {
    uint32_t fps_num;
    uint32_t fps_den;
    uint8_t rate_capacity;    // how the third rate call's capacity is chosen
    uint8_t repeat_capacity;  // the same for the repeat frame
};

// A capacity around the needed size n: n, n - 1, a small fixed size or n + a few.
uint32_t capacity_near(uint8_t sel, uint32_t n) {
    switch (sel % 4) {
    case 0:
        return n;
    case 1:
        return n > 0 ? n - 1 : 0;
    case 2:
        return sel >> 2;  // 0..63
    default:
        return n + (sel >> 2);
    }
}

bool starts_unit(const uint8_t* p, int32_t n, uint8_t header) {
    return n >= 5 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1 && p[4] == header;
}

// Calls `write(out, capacity)` with blocks of exactly n, n - 1 and a fuzzed
// capacity: the first writes `expected` again, the second nothing, the
// third one of the two as its size allows.
template <typename Write>
const char* check_capacities(Write&& write, const uint8_t* expected, int32_t n, uint8_t sel) {
    const uint32_t sizes[3] = {static_cast<uint32_t>(n), static_cast<uint32_t>(n - 1),
                               capacity_near(sel, static_cast<uint32_t>(n))};
    for (uint32_t capacity : sizes) {
        HeapBlock out(capacity);
        const int32_t rc = write(out.data(), capacity);
        if (capacity >= static_cast<uint32_t>(n)) {
            FUZZ_CHECK(rc == n && std::memcmp(out.data(), expected, static_cast<size_t>(n)) == 0,
                       "synthesis: another unit with room enough");
        } else {
            FUZZ_CHECK(rc == -1 && out.untouched(), "synthesis: wrote into a block too small");
        }
    }
    return nullptr;
}

// Parses `unit` on the probe handle (which sees nothing but these units):
// the SPS written for a new rate must read back with that rate and the
// active set's picture.
const char* check_rate_unit(const ParserHandle* handle, ParserHandle* probe, const uint8_t* unit, int32_t n,
                            const Control& c) {
    std::vector<uint8_t> copy(unit, unit + n);
    FrameInput input{copy.data(), static_cast<uint32_t>(n)};
    FrameInfo info;
    const int32_t rc = Kavrel_Start(probe, &input, &info);
    // An active set read past its data may not read back (the SPS harness
    // checks the writer on sets that were read whole); the rate must.
    FUZZ_CHECK(is_parse_result(rc), "rate SPS: result outside the documented codes");
    if (rc != 0) return nullptr;
    FUZZ_CHECK(info.frame_rate == c.fps_num / c.fps_den, "rate SPS reads back with another rate");
    const kavrel::SeqParamSet& sps = handle->active_sps;
    FUZZ_CHECK(info.coded_width == 16 * sps.mb_width && info.ref_frame_count == uint32_t(sps.max_ref_frame_count),
               "rate SPS reads back with another picture");
    return nullptr;
}

// Parses the repeat frame on a copy of the handle (own scratch, no stored
// sets): it must be one P picture of the last picture's structure with
// the frame_num the repeat promises.
const char* check_repeat_unit(const ParserHandle* handle, const uint8_t* unit, int32_t n) {
    auto* copy = static_cast<ParserHandle*>(std::malloc(sizeof(ParserHandle)));
    if (!copy) return nullptr;
    std::memcpy(static_cast<void*>(copy), handle, sizeof(ParserHandle));
    copy->scratch = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(n)));
    copy->scratch_capacity = n;
    copy->ps_data[0] = copy->ps_data[1] = nullptr;
    std::vector<uint8_t> bytes(unit, unit + n);
    FrameInput input{bytes.data(), static_cast<uint32_t>(n)};
    FrameInfo info;
    const int32_t rc = copy->scratch ? Kavrel_Start(copy, &input, &info) : 0;
    const bool same = rc == 0 && copy->slice.pic_type == 2 &&
                      copy->slice.picture_structure == handle->slice.picture_structure &&
                      copy->slice.frame_num == kavrel::repeat_frame_num(handle) && info.consumed == uint32_t(n);
    std::free(copy->scratch);
    std::free(copy);
    FUZZ_CHECK(rc == 0, "repeat frame does not parse after a clean stream");
    FUZZ_CHECK(same, "repeat frame reads back as another picture");
    return nullptr;
}

const char* after_frame(ParserHandle* handle, ParserHandle* probe, const Control& c, bool clean) {
    // H264_Enc_Iframe_Rate: -1 exactly when there is nothing to write from.
    {
        const kavrel::SeqParamSet before = handle->active_sps;
        HeapBlock room(kRateRoom);
        const int32_t n = H264_Enc_Iframe_Rate(handle, room.data(), kRateRoom, c.fps_num, c.fps_den);
        FUZZ_CHECK(std::memcmp(&before, &handle->active_sps, sizeof before) == 0,
                   "H264_Enc_Iframe_Rate changed the handle");
        const bool refusable = !handle->sps_received || c.fps_num == 0 || c.fps_den == 0 || c.fps_num > 0x7fffffffu;
        if (n < 0) {
            FUZZ_CHECK(n == -1 && room.untouched(), "H264_Enc_Iframe_Rate: refusal wrote");
            FUZZ_CHECK(refusable || !handle->active_sps.valid, "H264_Enc_Iframe_Rate refused a parsed SPS");
        } else {
            FUZZ_CHECK(!refusable && starts_unit(room.data(), n, 0x67) && uint32_t(n) <= kRateRoom,
                       "H264_Enc_Iframe_Rate: not one SPS unit");
            auto write = [&](uint8_t* out, uint32_t capacity) {
                return H264_Enc_Iframe_Rate(handle, out, capacity, c.fps_num, c.fps_den);
            };
            if (const char* failed = check_capacities(write, room.data(), n, c.rate_capacity)) return failed;
            if (codes_fit_window(handle->active_sps)) {
                if (const char* failed = check_rate_unit(handle, probe, room.data(), n, c)) return failed;
            }
        }
    }
    // H264_Enc_Iframe (unsized) into the room it assumes. It keeps the new
    // time_scale in the active set, so it runs after the sized call.
    {
        HeapBlock room(kRateRoom);
        FrameRateRequest request{room.data(), 0, c.fps_num};
        const int32_t n = H264_Enc_Iframe(handle, &request);
        if (n < 0) {
            FUZZ_CHECK(n == -1 && room.untouched(), "H264_Enc_Iframe: refusal wrote");
        } else {
            FUZZ_CHECK(starts_unit(room.data(), n, 0x67) && uint32_t(n) <= kRateRoom,
                       "H264_Enc_Iframe: not one SPS unit");
        }
    }
    // H264_Enc_Double_Frame_Sized, and the unsized call with the room it assumes.
    const int32_t bound = kavrel::repeat_payload_bound(handle);
    const uint32_t room_size = bound < 0 ? 64 : static_cast<uint32_t>(bound) + 5;
    HeapBlock room(room_size);
    const int32_t n = H264_Enc_Double_Frame_Sized(handle, room.data(), room_size);
    if (n < 0) {
        FUZZ_CHECK(n == -1 && room.untouched(), "H264_Enc_Double_Frame_Sized: refusal wrote");
        return nullptr;
    }
    FUZZ_CHECK(starts_unit(room.data(), n, 0x01) && uint32_t(n) <= room_size,
               "H264_Enc_Double_Frame_Sized: not one slice unit");
    auto write = [&](uint8_t* out, uint32_t capacity) { return H264_Enc_Double_Frame_Sized(handle, out, capacity); };
    if (const char* failed = check_capacities(write, room.data(), n, c.repeat_capacity)) return failed;
    HeapBlock assumed(room_size);
    FUZZ_CHECK(H264_Enc_Double_Frame(handle, assumed.data()) == n &&
                   std::memcmp(assumed.data(), room.data(), static_cast<size_t>(n)) == 0,
               "H264_Enc_Double_Frame differs from the sized call");
    if (clean) return check_repeat_unit(handle, room.data(), n);
    return nullptr;
}

}  // namespace

const char* fuzz_synthesis(const uint8_t* data, size_t size) {
    ControlBytes in(data, size);
    Control c{};
    const uint8_t flags = in.u8();
    c.fps_num = (flags & 1) ? in.u32() : in.u16();
    c.fps_den = (flags & 2) ? in.u32() : in.u8();
    c.rate_capacity = in.u8();
    c.repeat_capacity = in.u8();

    ParserHandle* handle = Kavrel_Open();
    ParserHandle* probe = Kavrel_Open();
    if (!handle || !probe) {
        if (handle) Kavrel_Close(handle);
        if (probe) Kavrel_Close(probe);
        return "Kavrel_Open failed";
    }
    bool clean = true;
    const char* failed = walk_frames(handle, in.rest(), in.rest_size(), 256,
                                     [&](int32_t rc, const FrameInfo&, size_t, size_t) -> const char* {
                                         clean = clean && rc == 0;
                                         return after_frame(handle, probe, c, clean);
                                     });
    Kavrel_Close(probe);
    Kavrel_Close(handle);
    return failed;
}

}  // namespace kavrel_fuzz
