// The frame-rate SPS unit: the active SPS written back with only its VUI
// timing changed (ITU-T H.264 E.2.1: rate = time_scale / (2 num_units_in_tick)).
#include <gtest/gtest.h>

#include <cstring>

#include "stream/parser_handle.h"
#include "kavrel.h"
#include "support/test_support.h"
#include "synth/sps_fixture.h"

using kavrel::SeqParamSet;
using kavrel_test::BitBuilder;
using kavrel_test::to_hex;

namespace {

SeqParamSet baseline() { return kavrel_test::baseline_sps(); }

// The baseline unit for 25 fps with a VUI carrying only timing (1, 50).
const char kBaseline25[] = "00 00 00 01 67 42 c0 1e da 05 82 5a 10 00 00 03 00 10 00 00 03 03 20 40";

// A handle that has parsed `sps`, as far as these calls can tell.
struct Parsed {
    ParserHandle* handle = Kavrel_Open();
    explicit Parsed(const SeqParamSet& sps) {
        handle->active_sps = sps;
        handle->active_sps.valid = 1;
        handle->sps_received = 1;
    }
    ~Parsed() { Kavrel_Close(handle); }
    // The unit written into a guarded buffer, or "refused" (nothing written).
    std::string unit(bool rate_call, uint32_t a, uint32_t b = 1, uint32_t capacity = 256) {
        uint8_t out[256];
        std::memset(out, 0xEE, sizeof out);
        FrameRateRequest req{out, 0, a};
        kavrel_test::StdoutCapture quiet;
        const int32_t n = rate_call ? H264_Enc_Iframe_Rate(handle, out, capacity, a, b) : H264_Enc_Iframe(handle, &req);
        if (n < 0) return out[0] == 0xEE ? "refused" : "refused, but wrote";
        return out[n] == 0xEE ? to_hex(out, static_cast<size_t>(n)) : "wrote past the unit";
    }
};

TEST(FrameRateSps, WorkedExamples) {
    SeqParamSet s = baseline();
    s.vui_parameters_present_flag = s.timing_info_present_flag = 1;
    s.num_units_in_tick = 1;
    {
        Parsed p(s);  // 25 fps: time_scale 50, two escapes in the 17-byte RBSP
        EXPECT_EQ(p.unit(false, 25), kBaseline25);
        EXPECT_EQ(p.handle->active_sps.time_scale, 50u);
        EXPECT_EQ(p.unit(false, 25), kBaseline25);  // a second call writes the same
    }
    {
        Parsed p(baseline());  // no VUI: one with timing only, the same bytes
        EXPECT_EQ(p.unit(false, 25), kBaseline25);
        EXPECT_EQ(p.unit(true, 25, 1, 24), kBaseline25);  // exactly enough room
        EXPECT_EQ(p.unit(true, 25, 1, 23), "refused");
    }
    BitBuilder head;  // the baseline set up to vui_parameters_present_flag = 1
    head.u(8, 66).u(8, 0xC0).u(8, 30).ue(0).ue(0).ue(2).ue(1).u(1, 0).ue(21).ue(17).u(4, 0xD);
    {
        SeqParamSet t = s;  // num_units_in_tick 1001, fixed rate, 30 fps: 60060
        t.num_units_in_tick = 1001;
        t.fixed_frame_rate_flag = 1;
        Parsed p(t);
        BitBuilder b = head;
        b.u(4, 0).u(1, 1).u(32, 1001).u(32, 60060).u(1, 1).u(4, 0).trailing();
        EXPECT_EQ(p.unit(false, 30), to_hex(kavrel_test::nal(0x67, b.bytes())));
        EXPECT_EQ(p.unit(false, 30).size(), 22u * 3 - 1);
    }
    {
        SeqParamSet t = baseline();  // a VUI without timing: timing with tick 1 added
        t.vui_parameters_present_flag = t.video_signal_type_present_flag = 1;
        t.video_format = 2;
        t.pic_struct_present_flag = 1;
        Parsed p(t);
        BitBuilder b = head;
        b.u(2, 0).u(1, 1).u(3, 2).u(2, 0).u(1, 0).u(1, 1).u(32, 1).u(32, 24).u(1, 0).u(2, 0).u(1, 1).u(1, 0);
        EXPECT_EQ(p.unit(false, 12), to_hex(kavrel_test::nal(0x67, b.trailing().bytes())));
    }
}

TEST(FrameRateSps, Refusals) {
    SeqParamSet s = baseline();
    s.vui_parameters_present_flag = s.timing_info_present_flag = 1;
    s.num_units_in_tick = 1000000;
    s.time_scale = 7;
    {
        Parsed p(s);
        EXPECT_EQ(p.unit(false, 3000), "refused");  // 6,000,000,000 does not fit 32 bits
        EXPECT_EQ(p.handle->active_sps.time_scale, 7u);
        EXPECT_NE(p.unit(false, 2147), "refused");  // 4,294,000,000 does
        EXPECT_EQ(p.handle->active_sps.time_scale, 4294000000u);
        EXPECT_EQ(p.unit(false, 0), "refused");
        EXPECT_EQ(p.unit(true, 0x80000000u, 1), "refused");  // time_scale 2^32
        EXPECT_NE(p.unit(true, 0x7FFFFFFFu, 1), "refused");
        EXPECT_EQ(p.unit(true, 25, 0), "refused");
        EXPECT_EQ(p.unit(true, 0, 1), "refused");
        EXPECT_EQ(p.handle->active_sps.num_units_in_tick, 1000000u);  // the rate call changes nothing
        EXPECT_EQ(p.handle->active_sps.time_scale, 4294000000u);
    }
    EXPECT_EQ(Parsed(baseline()).unit(false, 0x80000000u), "refused");  // tick 1: time_scale 2^32
    // Null arguments, and a handle that has parsed no SPS: the NULL-pointer message.
    uint8_t out[64];
    FrameRateRequest req{out, 0, 25}, no_buf{nullptr, 0, 25};
    ParserHandle* fresh = Kavrel_Open();
    kavrel_test::StdoutCapture capture;
    EXPECT_EQ(H264_Enc_Iframe(nullptr, &req), -1);
    EXPECT_EQ(H264_Enc_Iframe(fresh, nullptr), -1);
    EXPECT_EQ(H264_Enc_Iframe(fresh, &no_buf), -1);
    EXPECT_EQ(H264_Enc_Iframe(fresh, &req), -1);
    EXPECT_EQ(H264_Enc_Iframe_Rate(nullptr, out, 64, 25, 1), -1);
    EXPECT_EQ(H264_Enc_Iframe_Rate(fresh, nullptr, 64, 25, 1), -1);
    EXPECT_EQ(H264_Enc_Iframe_Rate(fresh, out, 64, 25, 1), -1);
    fresh->sps_received = 1;  // a set was parsed, but the active copy is not a valid one
    EXPECT_EQ(H264_Enc_Iframe(fresh, &req), -1);
    const std::string text = capture.take();
    size_t count = 0;
    for (size_t pos = 0; (pos = text.find(": Error: NULL Pointer\n\n", pos)) != std::string::npos; ++pos) ++count;
    EXPECT_EQ(count, 8u) << text;
    EXPECT_EQ(text.rfind("[VsKavrel]:H264_Enc_Iframe:", 0), 0u) << text;
    Kavrel_Close(fresh);
}

}  // namespace
