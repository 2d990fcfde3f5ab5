// Sequence parameter set: every refusal with its code and message, what a
// failure leaves behind and the carried SAR. Full-width POC offsets and
// every other field are checked by the writer's round trip over random sets.
#include <gtest/gtest.h>

#include <string>

#include "param_set_builders.h"

using namespace params_test;
using kavrel_test::StdoutCapture;

namespace {

const std::string kTag = "[VsKavrel]:";
const std::string kInvalid = kTag + "Warnning: sps exists invalid sytnax\n";

// Parses `s` on a fresh handle; returns the code, puts the output in *out.
int32_t parse_alone(const SpsSpec& s, std::string* out, Handle* keep = nullptr) {
    Handle local;
    Handle& h = keep ? *keep : local;
    StdoutCapture cap;
    const int32_t rc = parse_sps(h.h, build_sps(s));
    *out = cap.take();
    return rc;
}

TEST(SeqParamSet, EveryRefusalHasItsCodeAndMessage) {
    struct Case {
        std::function<void(SpsSpec&)> set;
        int32_t code;
        std::string message;
    };
    auto high = [](SpsSpec& s) { s.profile_idc = 100; };
    const std::string constraint =
        kTag + "profile_idc is equal to 44, 100, 122, or 244, the values of constraint_set0_flag, "
               "constraint_set1_flag, and constraint_set2_flag must all be equal to 0\n";
    const Case cases[] = {
        {[](SpsSpec& s) { s.id = 32; }, -12, kTag + "Invalid sps id: 32\n"},
        {[](SpsSpec& s) { s.id = 31; }, 0, ""},
        {[](SpsSpec& s) { s.profile_idc = 100, s.cs1 = 1; }, -22, constraint},
        {[](SpsSpec& s) { s.profile_idc = 110, s.cs0 = 1; }, -22, constraint},
        {[](SpsSpec& s) { s.profile_idc = 44, s.cs2 = 1; }, -22, constraint},
        {[](SpsSpec& s) { s.profile_idc = 100, s.cs3 = 1; }, 0, ""},
        {[](SpsSpec& s) { s.profile_idc = 77, s.cs1 = 1; }, 0, ""},
        {[&](SpsSpec& s) { high(s), s.chroma_format_idc = 4; }, -20,
         kTag + "chroma_format_idc is out of range [0, 3], the value is 4\n"},
        {[](SpsSpec& s) { s.profile_idc = 183; }, -22,
         kTag + "profile_idc is equal to 183, chroma_format_idc shall be equal to 0\n"},
        {[&](SpsSpec& s) { high(s), s.bit_depth_luma = 7; }, -20,
         kTag + "the luma or chroma bit_depth_minus8 out of rang is 7,0\n"},
        {[&](SpsSpec& s) { high(s), s.bit_depth_chroma = 7; }, -20,
         kTag + "the luma or chroma bit_depth_minus8 out of rang is 0,7\n"},
        {[](SpsSpec& s) { s.log2_max_frame_num_minus4 = 12; }, 0, ""},
        {[](SpsSpec& s) { s.log2_max_frame_num_minus4 = 13; }, -20,
         kTag + "the log2_max_frame_num is out of range [0,16],which is 17\n"},
        {[](SpsSpec& s) { s.poc_type = 3; }, -20, kTag + "poc value out of range[0,2],current poc value is 3\n"},
        {[](SpsSpec& s) { s.log2_max_poc_lsb_minus4 = 13; }, -20,
         kTag + "the log2_max_poc_lsb is out of range [4, 16], which is 17\n"},
        {[](SpsSpec& s) { s.poc_type = 1, s.offset_for_ref_frame.assign(256, 0); }, -20,
         kTag + "poc_cycle_length is out of range [0, 255],the value is 256\n"},
        {[](SpsSpec& s) { s.max_num_ref_frames = 16; }, 0, ""},
        {[](SpsSpec& s) { s.max_num_ref_frames = 17; }, -20,
         kTag + "max_ref_frame_count is greater than 16, the value is 17\n"},
        // 32768 does not fit a signed 16-bit count.
        {[](SpsSpec& s) { s.width_mbs_minus1 = 32767; }, -20, kTag + "mb_width is less than 0, \n"},
        {[](SpsSpec& s) { s.height_map_units_minus1 = 32767; }, -20, kTag + "mb_height is less than 0, \n"},
        {[](SpsSpec& s) { s.frame_mbs_only = 0, s.direct_8x8 = 0; }, -20,
         kTag + "When frame_mbs_only_flag is equal to 0, direct_8x8_inference_flag shall be equal to 1\n"},
        // 11 x 9 macroblocks: 88 column units and 72 row units of 4:2:0 crop.
        {[](SpsSpec& s) { s.cropping = 1, s.crop_right = 2, s.crop_left = 85; }, 0, ""},
        {[](SpsSpec& s) { s.cropping = 1, s.crop_right = 2, s.crop_left = 86; }, -20,
         kTag + "crop_left shall be in range of[0, max_frame_widht]\n"},
        {[](SpsSpec& s) { s.cropping = 1, s.crop_bottom = 1, s.crop_top = 70; }, 0, ""},
        {[](SpsSpec& s) { s.cropping = 1, s.crop_bottom = 1, s.crop_top = 71; }, -20,
         kTag + "crop_top shall be in range of[0, max_frame_high]\n"},
        // Interlaced: 9 map units are 18 MB rows = 72 units of 4 rows.
        {[](SpsSpec& s) { s.frame_mbs_only = 0, s.cropping = 1, s.crop_top = 71; }, 0, ""},
        {[](SpsSpec& s) { s.frame_mbs_only = 0, s.cropping = 1, s.crop_top = 72; }, -20,
         kTag + "crop_top shall be in range of[0, max_frame_high]\n"},
        // Monochrome: the offsets are not tested.
        {[&](SpsSpec& s) { high(s), s.chroma_format_idc = 0, s.cropping = 1, s.crop_left = 500; }, 0, ""},
        // check_sps_profile.
        {[](SpsSpec& s) { s.profile_idc = 88; }, 0, ""},
        {[](SpsSpec& s) { s.profile_idc = 83; }, 0, kTag + "Unknown profile: 83\n"},
        {[&](SpsSpec& s) { high(s), s.chroma_format_idc = 2; }, -22,
         kTag + "Only support 8-bit 4:2:0 format\n" + kInvalid},
        {[&](SpsSpec& s) { high(s), s.bit_depth_chroma = 1; }, -22,
         kTag + "Only support 8-bit 4:2:0 format\n" + kInvalid},
        {[&](SpsSpec& s) { high(s), s.qpprime = 1; }, -22, kTag + "Only support 8-bit 4:2:0 format\n" + kInvalid},
        {[](SpsSpec& s) { s.width_mbs_minus1 = 509; }, 0, ""},
        {[](SpsSpec& s) { s.width_mbs_minus1 = 511; }, -22, kTag + "Invalid Dimension(512x9)\n" + kInvalid},
        {[](SpsSpec& s) { s.height_map_units_minus1 = 511; }, -22, kTag + "Invalid Dimension(11x512)\n" + kInvalid},
        {[](SpsSpec& s) { s.profile_idc = 66, s.frame_mbs_only = 0; }, -22,
         kTag + "Interlace is not support for BASELINE\n" + kInvalid},
    };
    int row = 0;
    for (const Case& c : cases) {
        SpsSpec s;
        c.set(s);
        std::string out;
        EXPECT_EQ(parse_alone(s, &out), c.code) << "row " << row;
        EXPECT_EQ(out, c.message) << "row " << row;
        ++row;
    }
}

TEST(SeqParamSet, WhatAFailureLeavesBehind) {
    Handle h;
    std::string out;
    ASSERT_EQ(parse_alone({}, &out, &h), 0);
    ASSERT_EQ(h->active_sps.mb_width, 11);

    // Refused before anything is written: the earlier set still serves.
    EXPECT_EQ(parse_alone({.profile_idc = 100, .cs0 = 1}, &out, &h), -22);
    EXPECT_EQ(h->sps_table[0].profile_idc, 77);
    EXPECT_EQ(h->sps_table[0].valid, 1);
    EXPECT_EQ(h->last_sps_profile_idc, 77);

    // A range failure: the entry holds what was read before it, not valid.
    EXPECT_EQ(parse_alone({.profile_idc = 66, .log2_max_frame_num_minus4 = 5, .max_num_ref_frames = 17}, &out, &h),
              -20);
    EXPECT_EQ(h->sps_table[0].profile_idc, 66);
    EXPECT_EQ(h->sps_table[0].log2_max_frame_num, 9);
    EXPECT_EQ(h->sps_table[0].max_ref_frame_count, 17);
    EXPECT_EQ(h->sps_table[0].mb_width, 0);
    EXPECT_EQ(h->sps_table[0].valid, 0);
    EXPECT_EQ(h->last_sps_profile_idc, 66);
    EXPECT_EQ(h->active_sps.profile_idc, 77);

    // A validity failure: fully parsed, sizes already in the handle.
    EXPECT_EQ(parse_alone({.id = 3, .width_mbs_minus1 = 599}, &out, &h), -22);
    EXPECT_EQ(h->sps_table[3].direct_8x8_inference_flag, 1);
    EXPECT_EQ(h->sps_table[3].valid, 0);
    EXPECT_EQ(h->pic_width_mbs, 600);
    EXPECT_EQ(h->display_width, 9600);
    EXPECT_EQ(h->active_sps.mb_width, 11);
}

TEST(SeqParamSet, AnAspectRatioInTheActiveSetIsCarriedOver) {
    auto sar_vui = [](int idc) {
        return [idc](BitBuilder& b) {
            b.u(1, 1).u(8, idc);
            if (idc == 255) b.u(16, 16).u(16, 11);
            b.u(8, 0);  // overscan .. bitstream_restriction_flag all 0
        };
    };
    Handle h;
    std::string out;
    SpsSpec s;
    s.vui = sar_vui(255);
    ASSERT_EQ(parse_alone(s, &out, &h), 0);
    EXPECT_EQ(h->active_sps.sar_width, 16);
    EXPECT_EQ(h->active_sps.sar_height, 11);

    h->active_sps.sar_width = 4;  // as a correction request places it
    h->active_sps.sar_height = 3;
    ASSERT_EQ(parse_alone(s, &out, &h), 0);
    EXPECT_EQ(h->active_sps.sar_width, 4);
    EXPECT_EQ(h->active_sps.sar_height, 3);
    EXPECT_EQ(h->active_sps.vui_sar_width, 16);  // what the stream said
    EXPECT_EQ(h->active_sps.vui_sar_height, 11);
    s.vui = sar_vui(1);
    ASSERT_EQ(parse_alone(s, &out, &h), 0);
    EXPECT_EQ(h->active_sps.aspect_ratio_idc, 1);
    EXPECT_EQ(h->active_sps.sar_width, 4);
    EXPECT_EQ(h->active_sps.vui_sar_width, 0);
}

}  // namespace
