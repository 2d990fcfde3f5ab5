// (b) Kavrel_enc_h264Correct on one fuzzed frame. Control bytes (9): mode,
// SAR width and height (u16 each), a byte that pushes either past 16 bits,
// the output capacity (a selector and a u16); the rest is the frame.
#include <cstring>
#include <numeric>
#include <vector>

#include "stream/parser_handle.h"
#include "fuzz_harness.h"
#include "harness_support.h"
#include "syntax/seq_param_set.h"

namespace kavrel_fuzz {

namespace {

constexpr int32_t kUnset = 7;  // `corrected` before the call

int32_t pick_mode(ControlBytes& in) {
    const uint8_t m = in.u8();
    switch (m % 8) {
    case 0:
    case 1:
    case 2:
        return 1;
    case 3:
    case 4:
    case 5:
        return 2;
    case 6:
        return 0;
    default:
        return static_cast<int8_t>(m);  // 7, 15, .., -9, -1: modes that correct nothing
    }
}

// Output capacity: mostly a little above the frame, sometimes below it
// (refused), sometimes up to 64 KiB above.
uint32_t pick_capacity(uint8_t c, uint32_t extra, uint32_t org) {
    if (c < 240) return org + c;
    if (c < 255) return org > c - 239u ? org - (c - 239u) : 0;
    return org + extra;
}

// Result of Kavrel_Start on a fresh handle for `size` bytes at `data`, and
// a copy of the record of the last SPS it parsed (when `sps_out` is given).
int32_t parse_once(const uint8_t* data, size_t size, kavrel::SeqParamSet* sps_out, bool* had_sps) {
    ParserHandle* handle = Kavrel_Open();
    if (!handle) return INT32_MIN;
    FrameInput input{data, static_cast<uint32_t>(size)};
    FrameInfo info;
    const int32_t rc = Kavrel_Start(handle, &input, &info);
    if (had_sps) *had_sps = false;
    if (sps_out && rc == 0 && info.sps_size > 0) {
        // Parse the stored copy of the last SPS again on its own.
        ParserHandle* single = Kavrel_Open();
        if (single) {
            kavrel::bit_reader_init(single->reader, info.sps_data, static_cast<int32_t>(info.sps_size),
                                    static_cast<int32_t>(info.sps_size) * 8);
            if (kavrel::decode_seq_parameter_set(single) == 0) {
                *sps_out = single->active_sps;
                if (had_sps) *had_sps = true;
            }
            Kavrel_Close(single);
        }
    }
    Kavrel_Close(handle);
    return rc;
}

// What must hold of a corrected frame: it parses, and it carries what the
// mode put in.
const char* check_corrected(const CorrectionRequest& req, const uint8_t* out, uint32_t sar_w, uint32_t sar_h) {
    // Exactly the written bytes, so that a parse reading beyond is seen.
    std::vector<uint8_t> frame(out, out + req.cureFrameLength);
    kavrel::SeqParamSet sps{};
    bool had_sps = false;
    const int32_t rc = parse_once(frame.data(), frame.size(), &sps, &had_sps);
    FUZZ_CHECK(rc == 0, "corrected frame does not parse");
    if (req.correction_mode == 1) {
        // The PPS now has its tail: a second correction finds nothing to do.
        HeapBlock again_out(req.cureFrameLength + 64);
        CorrectionRequest again{};
        again.OrgFrameLength = req.cureFrameLength;
        again.org_frame = frame.data();
        again.cureFrameLength = static_cast<uint32_t>(again_out.size());
        again.cure_frame = again_out.data();
        again.correction_mode = 1;
        const int32_t again_rc = Kavrel_enc_h264Correct(&again);
        FUZZ_CHECK(again_rc == 0 && again.corrected == 0, "mode 1 correction is not idempotent");
    } else if (had_sps) {
        FUZZ_CHECK(sps.vui_parameters_present_flag == 1 && sps.aspect_ratio_info_present_flag == 1 &&
                       sps.aspect_ratio_idc == 255,
                   "mode 2: corrected SPS lacks Extended_SAR");
        if (sar_w && sar_h) {
            const uint32_t g = std::gcd(sar_w, sar_h);
            FUZZ_CHECK(static_cast<uint32_t>(sps.vui_sar_width) == sar_w / g &&
                           static_cast<uint32_t>(sps.vui_sar_height) == sar_h / g,
                       "mode 2: corrected SPS carries another SAR than requested");
        }
    }
    return nullptr;
}

}  // namespace

const char* fuzz_correction(const uint8_t* data, size_t size) {
    ControlBytes in(data, size);
    const int32_t mode = pick_mode(in);
    uint32_t sar_w = in.u16();
    uint32_t sar_h = in.u16();
    const uint8_t wide = in.u8();
    if (wide & 1) sar_w |= 0x10000;  // beyond the 16-bit field: refused in mode 2
    if (wide & 2) sar_h |= 0x10000;
    const uint8_t capacity_sel = in.u8();
    const uint32_t capacity_extra = in.u16();
    // The frame, in a block of its own of exactly its size (never null, also
    // for an empty frame).
    HeapBlock frame(in.rest(), in.rest_size());
    const uint32_t org = static_cast<uint32_t>(frame.size());
    const uint32_t capacity = pick_capacity(capacity_sel, capacity_extra, org);
    HeapBlock out(capacity);

    CorrectionRequest req{};
    req.OrgFrameLength = org;
    req.org_frame = frame.data();
    req.cureFrameLength = capacity;
    req.cure_frame = out.data();
    req.corrected = kUnset;
    req.sar_width = sar_w;
    req.sar_height = sar_h;
    req.correction_mode = mode;
    const int32_t rc = Kavrel_enc_h264Correct(&req);

    const bool refused = capacity < org || (mode == 2 && (sar_w > 0xffff || sar_h > 0xffff));
    if (refused) {
        FUZZ_CHECK(rc == -1 && req.corrected == kUnset && out.untouched(),
                   "refused correction request changed something");
        return nullptr;
    }
    // The same frame through Kavrel_Start: the correction's walk is the same.
    const int32_t start_rc = parse_once(frame.data(), frame.size(), nullptr, nullptr);
    switch (req.corrected) {
    case -1:
        FUZZ_CHECK(rc < 0 && is_parse_result(rc), "correction: parse failure with another result");
        FUZZ_CHECK(rc == start_rc || (mode == 2 && rc == -20), "correction and Kavrel_Start disagree on the frame");
        return nullptr;
    case 0:
        FUZZ_CHECK(start_rc == 0, "correction parsed a frame that Kavrel_Start refuses");
        FUZZ_CHECK(rc == 0 || rc == -1 || (mode == 2 && rc == static_cast<int32_t>(org)),
                   "correction: nothing written with another result");
        FUZZ_CHECK(req.cureFrameLength == capacity, "correction: length changed with nothing written");
        return nullptr;
    case 1:
        FUZZ_CHECK(start_rc == 0, "correction parsed a frame that Kavrel_Start refuses");
        FUZZ_CHECK(rc == 0 && (mode == 1 || mode == 2), "correction written with a non-zero result");
        FUZZ_CHECK(req.cureFrameLength > 0 && req.cureFrameLength <= capacity,
                   "correction: written length beyond the capacity");
        return check_corrected(req, out.data(), sar_w, sar_h);
    default:
        return "correction: corrected outside -1..1";
    }
}

}  // namespace kavrel_fuzz
