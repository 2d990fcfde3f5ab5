// (c) A fuzzed stream parsed frame by frame; after every frame the sized
// synthesis calls (and the unsized ones with the room they assume) write
// into blocks of exactly their stated capacity. Control bytes: the rate,
// and how the capacities are chosen; the rest is the stream.
#include "fuzz_harness.h"
#include "harness_support.h"

namespace kavrel_fuzz {

namespace {

constexpr uint32_t kRateRoom = 16384;  // an SPS unit stays below it

struct Control {
    uint32_t fps_num, fps_den;
    uint8_t rate_capacity, repeat_capacity;  // how the third capacity of each is chosen
};

// n, n - 1, a small fixed size, or n + a few.
uint32_t capacity_near(uint8_t sel, uint32_t n) {
    const uint32_t small = sel >> 2u;
    const uint32_t sizes[4] = {n, n > 0 ? n - 1 : 0, small, n + small};
    return sizes[sel % 4];
}

bool starts_unit(const uint8_t* p, int32_t n, uint8_t header) {
    return n >= 5 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1 && p[4] == header;
}

// write(out, capacity) into `room` bytes, then into exactly n, n - 1 and a
// fuzzed capacity: the same unit when it fits, nothing otherwise. The unit
// in *unit, empty when refused.
template <typename Write>
const char* check_writer(Write&& write, uint32_t room, uint8_t sel, uint8_t header, std::vector<uint8_t>* unit) {
    HeapBlock first(room);
    const int32_t n = write(first.data(), room);
    unit->clear();
    if (n < 0) {
        FUZZ_CHECK(n == -1 && first.untouched(), "synthesis: a refusal wrote");
        return nullptr;
    }
    FUZZ_CHECK(starts_unit(first.data(), n, header) && static_cast<uint32_t>(n) <= room, "synthesis: not one unit");
    unit->assign(first.data(), first.data() + n);
    for (uint32_t capacity : {static_cast<uint32_t>(n), static_cast<uint32_t>(n - 1), capacity_near(sel, n)}) {
        HeapBlock out(capacity);
        const int32_t rc = write(out.data(), capacity);
        if (capacity >= static_cast<uint32_t>(n)) {
            FUZZ_CHECK(rc == n && std::memcmp(out.data(), unit->data(), unit->size()) == 0,
                       "synthesis: another unit with room enough");
        } else {
            FUZZ_CHECK(rc == -1 && out.untouched(), "synthesis: wrote into a block too small");
        }
    }
    return nullptr;
}

const char* after_frame(ParserHandle* handle, const Control& c, const FrameInfo& info, std::vector<uint8_t>* repeat) {
    std::vector<uint8_t> unit;
    auto rate = [&](uint8_t* out, uint32_t capacity) {
        return H264_Enc_Iframe_Rate(handle, out, capacity, c.fps_num, c.fps_den);
    };
    if (const char* failed = check_writer(rate, kRateRoom, c.rate_capacity, 0x67, &unit)) return failed;
    const bool bad_rate = c.fps_num == 0 || c.fps_den == 0 || c.fps_num > 0x7fffffffu;
    FUZZ_CHECK(unit.empty() || !bad_rate, "H264_Enc_Iframe_Rate wrote for a rate out of range");
    if (!unit.empty()) {
        // The unit alone reads back with the rate asked for, or not at all
        // when the active set was itself read past its data.
        FrameInfo again;
        const int32_t rc = parse_once(unit.data(), unit.size(), &again);
        FUZZ_CHECK(is_parse_result(rc), "rate SPS: result outside the documented codes");
        FUZZ_CHECK(rc != 0 || again.frame_rate == c.fps_num / c.fps_den,
                   "rate SPS reads back with another rate");
    }
    // The unsized call into the room it assumes; it keeps the new time_scale,
    // so it runs after the sized one.
    HeapBlock room(kRateRoom);
    FrameRateRequest request{room.data(), 0, c.fps_num};
    const int32_t n = H264_Enc_Iframe(handle, &request);
    FUZZ_CHECK(n < 0 ? n == -1 && room.untouched() : starts_unit(room.data(), n, 0x67),
               "H264_Enc_Iframe: not one SPS unit");

    // The repeat frame: bounded by 1.5 (macroblocks + 104) + macroblocks / 32 + 9.
    const uint32_t mbs = static_cast<uint32_t>(info.coded_width / 16) * static_cast<uint32_t>(info.coded_height / 16);
    const uint32_t bound = 2 * (mbs + 104) + 16;
    auto sized = [&](uint8_t* out, uint32_t capacity) { return H264_Enc_Double_Frame_Sized(handle, out, capacity); };
    if (const char* failed = check_writer(sized, bound, c.repeat_capacity, 0x01, repeat)) return failed;
    if (repeat->empty()) return nullptr;
    HeapBlock assumed(bound);
    FUZZ_CHECK(H264_Enc_Double_Frame(handle, assumed.data()) == static_cast<int32_t>(repeat->size()) &&
                   std::memcmp(assumed.data(), repeat->data(), repeat->size()) == 0,
               "H264_Enc_Double_Frame differs from the sized call");
    return nullptr;
}

// The repeat plan after a frame parsed well: a documented result, and the
// units of each place within the room their measure asks for.
const char* plan_frame(ParserHandle* handle, const uint8_t* unit, size_t len) {
    const FrameInput in{unit, static_cast<uint32_t>(len)};
    const int32_t rc = Kavrel_Repeat_Picture(handle, &in, 1);
    FUZZ_CHECK(rc == 0 || rc == KAVREL_E_REPEAT_REFUSED || rc == KAVREL_E_REPEAT_BROKEN,
               "Kavrel_Repeat_Picture: a result outside the documented ones");
    for (const int32_t place : {KAVREL_REPEAT_BEFORE, KAVREL_REPEAT_AFTER}) {
        const int32_t need = Kavrel_Repeat_Units(handle, place, nullptr, 0);
        FUZZ_CHECK(need >= 0, "Kavrel_Repeat_Units: no measure");
        HeapBlock out(static_cast<uint32_t>(need));
        const int32_t n = Kavrel_Repeat_Units(handle, place, out.data(), static_cast<uint32_t>(need));
        FUZZ_CHECK(n >= 0 && n <= need, "Kavrel_Repeat_Units: more than its measure");
    }
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
    if (!handle) return "Kavrel_Open failed";
    bool clean = true;
    size_t end = 0;
    FrameInfo last{};
    std::vector<uint8_t> repeat;
    const char* failed = walk_frames(handle, in.rest(), in.rest_size(), 256,
                                     [&](int32_t rc, const FrameInfo& info, size_t pos, size_t len) -> const char* {
                                         clean = clean && rc == 0;
                                         end = pos + len;
                                         last = info;
                                         if (const char* f = rc == 0 ? plan_frame(handle, in.rest() + pos, len) : nullptr)
                                             return f;
                                         return after_frame(handle, c, info, &repeat);
                                     });
    Kavrel_Close(handle);
    if (failed || !clean || repeat.empty()) return failed;
    // After a clean stream the last repeat reads as one P picture of the
    // last picture's structure, taken whole.
    std::vector<uint8_t> stream(in.rest(), in.rest() + end);
    stream.insert(stream.end(), repeat.begin(), repeat.end());
    ParserHandle* again = Kavrel_Open();
    FrameInfo info{};
    int32_t rc = 0;
    walk_frames(again, stream.data(), stream.size(), 257,
                [&](int32_t r, const FrameInfo& i, size_t, size_t) -> const char* {
                    rc = r;
                    info = i;
                    return nullptr;
                });
    Kavrel_Close(again);
    FUZZ_CHECK(rc == 0, "repeat frame does not parse after a clean stream");
    FUZZ_CHECK(info.picture_type == 1 && info.picture_structure == last.picture_structure,
               "repeat frame reads back as another picture");
    return nullptr;
}

}  // namespace kavrel_fuzz
