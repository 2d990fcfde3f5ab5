// VUI and HRD (ITU-T H.264 Annex E.1): the reader ending where the syntax
// ends, frame rate, warnings, and bounded CPB tables. That every field is
// kept, values beyond 16 bits included, the writer's round trip over random
// sets shows; x264's VUIs are compared with FFmpeg in the interop tests.
#include <gtest/gtest.h>

#include <string>

#include "param_set_builders.h"

using namespace params_test;
using kavrel_test::StdoutCapture;

namespace {

const std::string kTag = "[VsKavrel]:";

// hrd_parameters() with cpb_cnt_minus1 + 1 entries (bit rate i * 7 + base).
void hrd(BitBuilder& b, uint64_t cpb_cnt_minus1, uint64_t base, int delay_len) {
    b.ue(cpb_cnt_minus1).u(4, 4).u(4, 3);
    for (uint64_t i = 0; i <= cpb_cnt_minus1; ++i) b.ue(base + i * 7).ue(base + i * 11).u(1, i & 1);
    b.u(5, delay_len).u(5, 22).u(5, 21).u(5, 24);
}

// Parses an SPS whose VUI `vui` writes; the reader must end at the stop bit.
int32_t parse_with_vui(Handle& h, const Writer& vui, std::string* out) {
    SpsSpec s;
    s.vui = vui;
    const BitBuilder b = build_sps(s);
    StdoutCapture cap;
    const int32_t rc = parse_sps(h.h, b);
    *out = cap.take();
    EXPECT_EQ(h->reader.bit_pos, static_cast<int32_t>(b.bit_length()));
    return rc;
}

TEST(VuiParameters, AspectEndTimingAndEarlyEnd) {
    Handle h;
    std::string out;
    // No aspect ratio; timing 1/50 gives 25 fps; no restriction: the VUI
    // ends right after pic_struct_present_flag.
    ASSERT_EQ(parse_with_vui(h, [](BitBuilder& b) { b.u(5, 1).u(32, 1).u(32, 50).u(1, 0).u(4, 0); }, &out), 0);
    EXPECT_EQ(h->active_sps.aspect_info_end_bit_pos, h->active_sps.vui_flag_bit_pos + 2);
    EXPECT_EQ(h->frame_rate, 25u);
    EXPECT_EQ(h->active_sps.bitstream_restriction_flag, 0);
    // Extended_SAR: 8 + 32 bits more.
    ASSERT_EQ(parse_with_vui(h, [](BitBuilder& b) { b.u(1, 1).u(8, 255).u(16, 40).u(16, 33).u(8, 0); }, &out), 0);
    EXPECT_EQ(h->active_sps.aspect_info_end_bit_pos, h->active_sps.vui_flag_bit_pos + 42);

    // aspect_ratio_idc 1: 8 bits more; time_scale 0 keeps the frame rate.
    ASSERT_EQ(parse_with_vui(h, [](BitBuilder& b) { b.u(1, 1).u(8, 1).u(4, 1).u(32, 1).u(32, 0).u(5, 0); }, &out), 0);
    EXPECT_EQ(h->active_sps.aspect_info_end_bit_pos, h->active_sps.vui_flag_bit_pos + 10);
    EXPECT_EQ(out, kTag + "num_units_in_tick and time_scale which are in sps is equal 0!!\n");
    EXPECT_EQ(h->frame_rate, 25u);

    ASSERT_EQ(parse_with_vui(h, [](BitBuilder& b) { b.u(5, 1).u(32, 0).u(32, 30).u(5, 0); }, &out), 0);
    EXPECT_EQ(out, kTag + "sps->num_units_in_tick: 0\n" + kTag +
                       "num_units_in_tick and time_scale which are in sps is equal 0!!\n");
    EXPECT_EQ(h->active_sps.time_scale, 30u);
    EXPECT_EQ(h->frame_rate, 25u);

    // num_reorder_frames beyond 15 bits warns and goes on (its code + 1 is
    // 0xa000, whole whatever the alignment of this 31-bit code).
    ASSERT_EQ(parse_with_vui(h, [](BitBuilder& b) { b.u(8, 0).u(1, 1).u(1, 1).ue(0).ue(0).ue(0).ue(0).ue(40959).ue(7); },
                             &out),
              0);
    EXPECT_EQ(out, kTag + "time_scale which is in vui is less than 0\n");
    EXPECT_EQ(h->active_sps.num_reorder_frames, 40959);
    EXPECT_EQ(h->active_sps.max_dec_frame_buffering, 7);
}

TEST(VuiParameters, MoreThan32CpbsAreSteppedOverAndNotStored) {
    Handle h;
    std::string out;
    const Writer vui = [](BitBuilder& b) {
        b.u(5, 0).u(1, 1);
        hrd(b, 39, 100, 9);
        b.u(1, 0).u(1, 1).u(1, 1).u(1, 1).u(1, 1).ue(0).ue(0).ue(1).ue(1).ue(2).ue(2);
    };
    ASSERT_EQ(parse_with_vui(h, vui, &out), 0);
    EXPECT_EQ(out, kTag + "cpb_cnt is out of range[1, 32], the value is 40\n");
    const kavrel::SeqParamSet& a = h->active_sps;
    EXPECT_EQ(a.nal_hrd.cpb_cnt_minus1, 39);
    EXPECT_EQ(a.nal_hrd.bit_rate_value_minus1[31], 100u + 31 * 7);
    EXPECT_EQ(a.nal_hrd.cpb_size_value_minus1[31], 100u + 31 * 11);
    EXPECT_EQ(a.nal_hrd.cpb_size_value_minus1[0], 100u);
    EXPECT_EQ(a.nal_hrd.cbr_flag[0], 0);
    EXPECT_EQ(a.nal_hrd.cbr_flag[31], 1);
    EXPECT_EQ(a.nal_hrd.initial_cpb_removal_delay_length_minus1, 9);
    EXPECT_EQ(a.nal_hrd.time_offset_length, 24);
    // Nothing spilled into the members behind the 32-entry arrays.
    EXPECT_EQ(a.vcl_hrd.cpb_cnt_minus1, 0);
    EXPECT_EQ(a.vcl_hrd.bit_rate_value_minus1[0], 0u);
    EXPECT_EQ(a.low_delay_hrd_flag, 1);
    EXPECT_EQ(a.num_reorder_frames, 2);
}

}  // namespace
