// The frame-rate SPS unit: the active SPS written back with only its VUI
// timing changed (ITU-T H.264 E.2.1: rate = time_scale / (2 num_units_in_tick)).
#include <gtest/gtest.h>

#include <cstring>

#include "api/parser_handle.h"
#include "kavrel.h"
#include "support/test_support.h"
#include "synth/sps_writer.h"

using kavrel::SeqParamSet;
using kavrel_test::BitBuilder;
using kavrel_test::Bytes;
using kavrel_test::to_hex;

namespace {

// Baseline 352x288, POC type 2, one reference frame, no VUI.
SeqParamSet baseline() {
    SeqParamSet s;
    std::memset(&s, 0, sizeof s);
    s.profile_idc = 66;
    s.constraint_set0_flag = 1;
    s.constraint_set1_flag = 1;
    s.level_idc = 30;
    s.chroma_format_idc = 1;
    s.log2_max_frame_num = 4;
    s.pic_order_cnt_type = 2;
    s.max_ref_frame_count = 1;
    s.mb_width = 22;
    s.mb_height = 18;
    s.frame_mbs_only_flag = 1;
    s.direct_8x8_inference_flag = 1;
    return s;
}

// The baseline RBSP up to and including vui_parameters_present_flag = 1.
BitBuilder baseline_head() {
    BitBuilder b;
    b.u(8, 66).u(4, 0xC).u(4, 0).u(8, 30).ue(0);
    b.ue(0).ue(2).ue(1).u(1, 0).ue(21).ue(17).u(1, 1).u(1, 1).u(1, 0).u(1, 1);
    return b;
}

// A handle whose parser has (as far as these calls can tell) read `sps`.
struct Parsed {
    ParserHandle* handle;
    explicit Parsed(const SeqParamSet& sps) : handle(Kavrel_Open()) {
        handle->active_sps = sps;
        handle->sps_received = 1;
    }
    ~Parsed() { Kavrel_Close(handle); }
    // H264_Enc_Iframe into a guarded buffer; the bytes, or "refused".
    std::string iframe(uint32_t fps) {
        uint8_t out[256];
        std::memset(out, 0xEE, sizeof out);
        FrameRateRequest req{out, 0, fps};
        kavrel_test::StdoutCapture quiet;
        const int32_t n = H264_Enc_Iframe(handle, &req);
        if (n < 0) {
            EXPECT_EQ(out[0], 0xEE);
            return "refused";
        }
        EXPECT_EQ(out[n], 0xEE);
        return to_hex(out, static_cast<size_t>(n));
    }
    std::string rate(uint32_t capacity, uint32_t num, uint32_t den) {
        uint8_t out[256];
        std::memset(out, 0xEE, sizeof out);
        kavrel_test::StdoutCapture quiet;
        const int32_t n = H264_Enc_Iframe_Rate(handle, out, capacity, num, den);
        if (n < 0) {
            EXPECT_EQ(out[0], 0xEE);
            return "refused";
        }
        EXPECT_LE(static_cast<uint32_t>(n), capacity);
        EXPECT_EQ(out[n], 0xEE);
        return to_hex(out, static_cast<size_t>(n));
    }
};

std::string unit(const BitBuilder& rbsp) { return to_hex(kavrel_test::nal(0x67, rbsp.bytes())); }

TEST(FrameRateSps, WorkedExamples) {
    SeqParamSet s = baseline();
    s.vui_parameters_present_flag = 1;
    s.timing_info_present_flag = 1;
    s.num_units_in_tick = 1;
    {
        // 25 fps: time_scale 50; two escapes in the 17-byte RBSP.
        Parsed p(s);
        EXPECT_EQ(p.iframe(25), "00 00 00 01 67 42 c0 1e da 05 82 5a 10 00 00 03 00 10 00 00 03 03 20 40");
        EXPECT_EQ(p.handle->active_sps.time_scale, 50u);
        // A second call gives the same bytes.
        EXPECT_EQ(p.iframe(25), "00 00 00 01 67 42 c0 1e da 05 82 5a 10 00 00 03 00 10 00 00 03 03 20 40");
    }
    {
        // num_units_in_tick 1001, fixed rate, 30 fps: time_scale 60060, 22 bytes.
        SeqParamSet t = s;
        t.num_units_in_tick = 1001;
        t.fixed_frame_rate_flag = 1;
        Parsed p(t);
        const std::string out = p.iframe(30);
        BitBuilder b = baseline_head();
        b.u(4, 0).u(1, 1).u(32, 1001).u(32, 60060).u(1, 1).u(4, 0).trailing();
        EXPECT_EQ(out, unit(b));
        EXPECT_EQ(out.size(), 22u * 3 - 1);
        EXPECT_EQ(p.handle->active_sps.time_scale, 60060u);
    }
    {
        // A set without VUI gets a VUI carrying only timing: the same bytes
        // as the set whose VUI had nothing else.
        SeqParamSet t = baseline();
        t.sar_width = 4;  // stale fields of an absent VUI are not written
        t.aspect_ratio_idc = 255;
        t.bitstream_restriction_flag = 0;
        t.fixed_frame_rate_flag = 0;
        Parsed p(t);
        EXPECT_EQ(p.iframe(25), "00 00 00 01 67 42 c0 1e da 05 82 5a 10 00 00 03 00 10 00 00 03 03 20 40");
    }
    {
        // A VUI without timing: timing with num_units_in_tick 1 is added,
        // the rest of the VUI stays.
        SeqParamSet t = baseline();
        t.vui_parameters_present_flag = 1;
        t.video_signal_type_present_flag = 1;
        t.video_format = 2;
        t.bitstream_restriction_flag = 1;
        t.motion_vectors_over_pic_boundaries_flag = 1;
        t.num_reorder_frames = 0;
        t.max_dec_frame_buffering = 1;
        t.log2_max_mv_length_horizontal = 16;
        t.log2_max_mv_length_vertical = 16;
        Parsed p(t);
        BitBuilder b = baseline_head();
        b.u(1, 0).u(1, 0).u(1, 1).u(3, 2).u(1, 0).u(1, 0).u(1, 0);
        b.u(1, 1).u(32, 1).u(32, 24).u(1, 0);
        b.u(1, 0).u(1, 0).u(1, 0).u(1, 1).u(1, 1).ue(0).ue(0).ue(16).ue(16).ue(0).ue(1).trailing();
        EXPECT_EQ(p.iframe(12), unit(b));
    }
}

TEST(FrameRateSps, EveryOtherFieldIsKept) {
    // A High set with a scaling matrix, POC type 1, cropping and a VUI with
    // aspect ratio, colour description, NAL HRD and pic_struct.
    SeqParamSet s = baseline();
    s.profile_idc = 100;
    s.constraint_set0_flag = s.constraint_set1_flag = 0;
    s.level_idc = 40;
    s.seq_parameter_set_id = 3;
    s.seq_scaling_matrix_present_flag = 1;
    s.scaling_list_present_flag[3] = 1;
    std::memset(s.scaling_list_4x4[3], 16, 16);
    s.pic_order_cnt_type = 1;
    s.offset_for_non_ref_pic = -2;
    s.poc_cycle_length = 1;
    s.offset_for_ref_frame[0] = 2;
    s.frame_cropping_flag = 1;
    s.crop_bottom = 4;
    s.vui_parameters_present_flag = 1;
    s.aspect_ratio_info_present_flag = 1;
    s.aspect_ratio_idc = 255;
    s.vui_sar_width = 64;
    s.vui_sar_height = 45;
    s.video_signal_type_present_flag = 1;
    s.video_format = 5;
    s.colour_description_present_flag = 1;
    s.colour_primaries = 1;
    s.transfer_characteristics = 1;
    s.matrix_coefficients = 1;
    s.timing_info_present_flag = 1;
    s.num_units_in_tick = 1;
    s.time_scale = 50;
    s.fixed_frame_rate_flag = 1;
    s.nal_hrd_parameters_present_flag = 1;
    s.nal_hrd.bit_rate_value_minus1[0] = 31249;
    s.nal_hrd.cpb_size_value_minus1[0] = 62499;
    s.nal_hrd.initial_cpb_removal_delay_length_minus1 = 23;
    s.nal_hrd.cpb_removal_delay_length_minus1 = 23;
    s.nal_hrd.dpb_output_delay_length_minus1 = 23;
    s.nal_hrd.time_offset_length = 24;
    s.pic_struct_present_flag = 1;
    Parsed p(s);

    BitBuilder b;
    b.u(8, 100).u(4, 0).u(4, 0).u(8, 40).ue(3);
    b.ue(1).ue(0).ue(0).u(1, 0).u(1, 1);
    b.u(1, 0).u(1, 0).u(1, 0).u(1, 1).se(8);
    for (int j = 1; j < 16; ++j) b.se(0);
    b.u(1, 0).u(1, 0).u(1, 0).u(1, 0);
    b.ue(0).ue(1).u(1, 0).se(-2).se(0).ue(1).se(2);
    b.ue(1).u(1, 0).ue(21).ue(17).u(1, 1).u(1, 1).u(1, 1).ue(0).ue(0).ue(0).ue(4).u(1, 1);
    b.u(1, 1).u(8, 255).u(16, 64).u(16, 45).u(1, 0);
    b.u(1, 1).u(3, 5).u(1, 0).u(1, 1).u(8, 1).u(8, 1).u(8, 1).u(1, 0);
    b.u(1, 1).u(32, 1001).u(32, 60000).u(1, 1);  // the only change
    b.u(1, 1).ue(0).u(4, 0).u(4, 0).ue(31249).ue(62499).u(1, 0).u(5, 23).u(5, 23).u(5, 23).u(5, 24);
    b.u(1, 0).u(1, 0).u(1, 1).u(1, 0).trailing();
    EXPECT_EQ(p.rate(256, 30000, 1001), unit(b));
    // The rate call leaves the handle's set alone.
    EXPECT_EQ(p.handle->active_sps.time_scale, 50u);
    EXPECT_EQ(p.handle->active_sps.num_units_in_tick, 1u);
}

TEST(FrameRateSps, RefusalsWriteNothing) {
    SeqParamSet s = baseline();
    s.vui_parameters_present_flag = 1;
    s.timing_info_present_flag = 1;
    s.num_units_in_tick = 1000000;
    s.time_scale = 7;
    {
        Parsed p(s);
        // 1,000,000 x 3000 x 2 does not fit 32 bits.
        EXPECT_EQ(p.iframe(3000), "refused");
        EXPECT_EQ(p.handle->active_sps.time_scale, 7u);
        // 2147 fits: 4,294,000,000.
        EXPECT_NE(p.iframe(2147), "refused");
        EXPECT_EQ(p.handle->active_sps.time_scale, 4294000000u);
        EXPECT_EQ(p.iframe(0), "refused");
    }
    {
        Parsed p(baseline());
        // The unit is 24 bytes: a capacity of 23 is refused, 24 is enough.
        EXPECT_EQ(p.rate(23, 25, 1), "refused");
        EXPECT_EQ(p.rate(24, 25, 1), "00 00 00 01 67 42 c0 1e da 05 82 5a 10 00 00 03 00 10 00 00 03 03 20 40");
        EXPECT_EQ(p.rate(256, 0x80000000u, 1), "refused");  // time_scale 2^32
        EXPECT_NE(p.rate(256, 0x7FFFFFFFu, 1), "refused");
        EXPECT_EQ(p.rate(256, 25, 0), "refused");
        EXPECT_EQ(p.rate(256, 0, 1), "refused");
    }
    {
        // Null arguments and a handle that has parsed no SPS.
        const std::string null_msg = "Error: NULL Pointer\n\n";
        uint8_t out[64];
        FrameRateRequest req{out, 0, 25};
        FrameRateRequest no_buf{nullptr, 0, 25};
        ParserHandle* fresh = Kavrel_Open();
        kavrel_test::StdoutCapture capture;
        EXPECT_EQ(H264_Enc_Iframe(nullptr, &req), -1);
        EXPECT_EQ(H264_Enc_Iframe(fresh, nullptr), -1);
        EXPECT_EQ(H264_Enc_Iframe(fresh, &no_buf), -1);
        EXPECT_EQ(H264_Enc_Iframe(fresh, &req), -1);
        EXPECT_EQ(H264_Enc_Iframe_Rate(nullptr, out, 64, 25, 1), -1);
        EXPECT_EQ(H264_Enc_Iframe_Rate(fresh, nullptr, 64, 25, 1), -1);
        EXPECT_EQ(H264_Enc_Iframe_Rate(fresh, out, 64, 25, 1), -1);
        const std::string text = capture.take();
        size_t count = 0;
        for (size_t pos = text.find(null_msg); pos != std::string::npos; pos = text.find(null_msg, pos + 1)) ++count;
        EXPECT_EQ(count, 7u) << text;
        EXPECT_EQ(text.rfind("[VsKavrel]:H264_Enc_Iframe", 0), 0u) << text;
        Kavrel_Close(fresh);
    }
}

}  // namespace
