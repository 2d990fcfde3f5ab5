// (b) Kavrel_enc_h264Correct on one fuzzed frame. Control bytes (9): mode,
// SAR width and height (u16 each), a byte that pushes either past 16 bits,
// the output capacity (a selector and a u16); the rest is the frame.
#include "fuzz_harness.h"
#include "harness_support.h"

namespace kavrel_fuzz {

namespace {

constexpr int32_t kUnset = 7;  // `corrected` before the call

int32_t pick_mode(uint8_t m) {
    if (m % 8 < 3) return 1;
    if (m % 8 < 6) return 2;
    return m % 8 == 6 ? 0 : static_cast<int8_t>(m);  // 7, 15, .., -9, -1: modes that correct nothing
}

// Mostly a little above the frame, sometimes below it (refused), sometimes
// up to 64 KiB above.
uint32_t pick_capacity(uint8_t c, uint32_t extra, uint32_t org) {
    if (c < 240) return org + c;
    if (c < 255) return org > c - 239u ? org - (c - 239u) : 0;
    return org + extra;
}

struct Result {
    int32_t rc, corrected;
    std::vector<uint8_t> out;
};

Result correct(const uint8_t* frame, size_t size, uint32_t capacity, int32_t mode, uint32_t sar_w, uint32_t sar_h) {
    HeapBlock in(frame, size), out(capacity);
    const uint32_t length = static_cast<uint32_t>(size);
    CorrectionRequest req{length, 0, in.data(), capacity, 0, out.data(), kUnset, sar_w, sar_h, mode};
    Result r{Kavrel_enc_h264Correct(&req), req.corrected, {}};
    if (r.corrected == 1) r.out.assign(out.data(), out.data() + req.cureFrameLength);
    if (r.corrected != 1 && req.cureFrameLength != capacity) r.corrected = 99;  // a length without a frame
    if ((r.rc == -1 && r.corrected == kUnset && !out.untouched())) r.corrected = 98;
    return r;
}

}  // namespace

const char* fuzz_correction(const uint8_t* data, size_t size) {
    ControlBytes in(data, size);
    const int32_t mode = pick_mode(in.u8());
    uint32_t sar_w = in.u16();
    uint32_t sar_h = in.u16();
    const uint8_t wide = in.u8();
    if (wide & 1) sar_w |= 0x10000;  // beyond the 16-bit field: refused in mode 2
    if (wide & 2) sar_h |= 0x10000;
    const uint8_t capacity_sel = in.u8();
    const uint32_t capacity_extra = in.u16();
    const uint32_t org = static_cast<uint32_t>(in.rest_size());
    const uint32_t capacity = pick_capacity(capacity_sel, capacity_extra, org);
    const Result r = correct(in.rest(), org, capacity, mode, sar_w, sar_h);
    FUZZ_CHECK(r.corrected != 99, "correction: length changed with nothing written");
    FUZZ_CHECK(r.corrected != 98, "refused correction request wrote");
    if (capacity < org || (mode == 2 && (sar_w > 0xffff || sar_h > 0xffff))) {
        FUZZ_CHECK(r.rc == -1 && r.corrected == kUnset, "refused correction request changed something");
        return nullptr;
    }
    // The same frame through Kavrel_Start: the correction's walk is the same.
    const int32_t start_rc = parse_once(in.rest(), org);
    switch (r.corrected) {
    case -1:
        FUZZ_CHECK(r.rc < 0 && is_parse_result(r.rc), "correction: parse failure with another result");
        FUZZ_CHECK(r.rc == start_rc || (mode == 2 && r.rc == -20), "correction and Kavrel_Start disagree on the frame");
        return nullptr;
    case 0:
        FUZZ_CHECK(start_rc == 0, "correction parsed a frame that Kavrel_Start refuses");
        FUZZ_CHECK(r.rc == 0 || r.rc == -1 || (mode == 2 && r.rc == static_cast<int32_t>(org)),
                   "correction: nothing written with another result");
        return nullptr;
    case 1: {
        FUZZ_CHECK(start_rc == 0, "correction parsed a frame that Kavrel_Start refuses");
        FUZZ_CHECK(r.rc == 0 && (mode == 1 || mode == 2), "correction written with a non-zero result");
        FUZZ_CHECK(!r.out.empty() && r.out.size() <= capacity, "correction: written length beyond the capacity");
        FUZZ_CHECK(parse_once(r.out.data(), r.out.size()) == 0, "corrected frame does not parse");
        // Correcting the corrected frame again: nothing left to do for the
        // PPS tail; the same frame again for the aspect ratio.
        const uint32_t room = static_cast<uint32_t>(r.out.size()) + 64;
        const Result again = correct(r.out.data(), r.out.size(), room, mode, sar_w, sar_h);
        FUZZ_CHECK(mode == 2 || (again.rc == 0 && again.corrected == 0), "mode 1 correction is not idempotent");
        FUZZ_CHECK(mode == 1 || (again.corrected == 1 && again.out == r.out), "mode 2 correction is not idempotent");
        return nullptr;
    }
    default:
        return "correction: corrected outside -1..1";
    }
}

}  // namespace kavrel_fuzz
