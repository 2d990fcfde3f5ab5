// SPS writer: seq_parameter_set_data() with scaling lists, POC fields,
// cropping and the whole VUI with HRD (ITU-T H.264 7.3.2.1.1, E.1.1, E.1.2).
// Expected bits are built element by element from the syntax tables.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "api/parser_handle.h"
#include "kavrel.h"
#include "support/test_support.h"
#include "synth/sps_writer.h"

using kavrel::SeqParamSet;
using kavrel_test::BitBuilder;
using kavrel_test::Bytes;
using kavrel_test::hex;
using kavrel_test::to_hex;

namespace {

// Baseline, 352x288, POC type 2, one reference frame, no VUI.
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

std::string written(const SeqParamSet& s, std::string* printed = nullptr) {
    uint8_t buf[kavrel::kSpsRbspCapacity];
    kavrel_test::StdoutCapture capture;
    const int32_t n = kavrel::write_sps_rbsp(&s, buf, sizeof buf);
    if (printed) *printed = capture.take();
    if (n < 0) return "refused";
    return to_hex(buf, static_cast<size_t>(n));
}

// The head shared by the 66/77/88 samples: everything up to the id.
BitBuilder head(int profile, int flags, int level) {
    BitBuilder b;
    b.u(8, profile).u(4, flags).u(4, 0).u(8, level).ue(0);
    return b;
}

// The tail of the baseline sample after seq_parameter_set_id, without VUI.
BitBuilder& baseline_tail(BitBuilder& b, bool vui) {
    // log2_max_frame_num_minus4 0, POC type 2, 1 ref, no gaps, 22x18 MBs,
    // frame_mbs_only 1, direct_8x8 1, no cropping.
    return b.ue(0).ue(2).ue(1).u(1, 0).ue(21).ue(17).u(1, 1).u(1, 1).u(1, 0).u(1, vui ? 1 : 0);
}

TEST(SpsWriter, WorkedBaselineExamples) {
    SeqParamSet s = baseline();
    std::string printed;
    EXPECT_EQ(written(s, &printed), "42 c0 1e da 05 82 59");
    EXPECT_EQ(printed, "");
    // Timing fields without the VUI flag are not written.
    s.num_units_in_tick = 1;
    s.time_scale = 50;
    s.timing_info_present_flag = 1;
    EXPECT_EQ(written(s), "42 c0 1e da 05 82 59");

    // A VUI with only timing: 74 bits after the flag, the 00 00 03 is data.
    s.vui_parameters_present_flag = 1;
    EXPECT_EQ(written(s, &printed), "42 c0 1e da 05 82 5a 10 00 00 00 10 00 00 03 20 40");
    EXPECT_EQ(printed, "test: writing Sequence Parameter VUI to signal RGB format\n");

    // The same for a monochrome High set: the VUI does not depend on
    // chroma_format_idc.
    SeqParamSet mono = s;
    mono.profile_idc = 100;
    mono.constraint_set0_flag = mono.constraint_set1_flag = 0;
    mono.chroma_format_idc = 0;
    BitBuilder b = head(100, 0, 30);
    b.ue(0).ue(0).ue(0).u(1, 0).u(1, 0);  // chroma 0, depths, bypass, no matrix
    baseline_tail(b, true);
    b.u(4, 0).u(1, 1).u(32, 1).u(32, 50).u(1, 0).u(4, 0).trailing();
    EXPECT_EQ(written(mono), to_hex(b.bytes()));
}

TEST(SpsWriter, ProfileDependentFields) {
    for (int profile : {77, 88}) {
        SeqParamSet s = baseline();
        s.profile_idc = profile;
        s.constraint_set0_flag = 0;
        BitBuilder b = head(profile, 0x4, 30);  // only constraint_set1_flag
        baseline_tail(b, false).trailing();
        EXPECT_EQ(written(s), to_hex(b.bytes())) << profile;
    }
    // The chroma fields follow the parser's rule, profile_idc >= 100; an
    // unknown profile such as 118 keeps them, profile 83 has none.
    for (int profile : {100, 110, 118, 122, 128, 244}) {
        SeqParamSet s = baseline();
        s.profile_idc = profile;
        s.constraint_set0_flag = s.constraint_set1_flag = 0;
        s.constraint_set3_flag = 1;
        s.reserved_zero_4bits = 0xA;  // written as read
        s.bit_depth_luma_minus8 = 2;
        s.bit_depth_chroma_minus8 = 1;
        s.qpprime_y_zero_transform_bypass_flag = 1;
        BitBuilder b;
        b.u(8, profile).u(4, 0x1).u(4, 0xA).u(8, 30).ue(0);
        b.ue(1).ue(2).ue(1).u(1, 1).u(1, 0);
        baseline_tail(b, false).trailing();
        EXPECT_EQ(written(s), to_hex(b.bytes())) << profile;
    }
    {
        SeqParamSet s = baseline();
        s.profile_idc = 83;
        BitBuilder b = head(83, 0xC, 30);
        baseline_tail(b, false).trailing();
        EXPECT_EQ(written(s), to_hex(b.bytes()));
    }
    {
        // 4:4:4 carries separate_colour_plane_flag after chroma_format_idc.
        SeqParamSet s = baseline();
        s.profile_idc = 244;
        s.constraint_set0_flag = s.constraint_set1_flag = 0;
        s.chroma_format_idc = 3;
        s.separate_colour_plane_flag = 1;
        BitBuilder b = head(244, 0, 30);
        b.ue(3).u(1, 1).ue(0).ue(0).u(1, 0).u(1, 0);
        baseline_tail(b, false).trailing();
        EXPECT_EQ(written(s), to_hex(b.bytes()));
    }
}

TEST(SpsWriter, ScalingLists) {
    SeqParamSet s = baseline();
    s.profile_idc = 100;
    s.constraint_set0_flag = s.constraint_set1_flag = 0;
    s.seq_scaling_matrix_present_flag = 1;
    // List 0 flat 16: delta 8, then fifteen deltas of 0.
    std::memset(s.scaling_list_4x4[0], 16, 16);
    s.scaling_list_present_flag[0] = 1;
    // List 2 starts with a stored 0: a single delta -8 selects the default.
    s.scaling_list_present_flag[2] = 1;
    // List 4: 208 at the first scan position, after last = 8: delta 200
    // wraps to -56; then 6 (raster 1) wraps 6 - 208 = -202 to 54, the rest 6.
    std::memset(s.scaling_list_4x4[4], 6, 16);
    s.scaling_list_4x4[4][0] = 208;
    s.scaling_list_present_flag[4] = 1;
    // List 7 (8x8 inter): the value 20 + j at scan position j.
    for (int j = 0; j < 64; ++j) s.scaling_list_8x8[1][kavrel::kZigzag8x8[j]] = static_cast<uint8_t>(20 + j);
    s.scaling_list_present_flag[7] = 1;

    BitBuilder b = head(100, 0, 30);
    b.ue(1).ue(0).ue(0).u(1, 0).u(1, 1);
    b.u(1, 1).se(8);
    for (int j = 1; j < 16; ++j) b.se(0);
    b.u(1, 0);                                 // list 1
    b.u(1, 1).se(-8);                          // list 2
    b.u(1, 0);                                 // list 3
    b.u(1, 1).se(-56).se(54);                  // list 4
    for (int j = 2; j < 16; ++j) b.se(0);
    b.u(1, 0).u(1, 0);                         // lists 5, 6
    b.u(1, 1).se(12);                          // list 7: 20 - 8
    for (int j = 1; j < 64; ++j) b.se(1);
    baseline_tail(b, false).trailing();
    EXPECT_EQ(written(s), to_hex(b.bytes()));

    // With the matrix flag clear no list is written, whatever they hold.
    s.seq_scaling_matrix_present_flag = 0;
    BitBuilder c = head(100, 0, 30);
    c.ue(1).ue(0).ue(0).u(1, 0).u(1, 0);
    baseline_tail(c, false).trailing();
    EXPECT_EQ(written(s), to_hex(c.bytes()));
}

TEST(SpsWriter, PocCroppingAndInterlace) {
    {
        // POC type 0 carries log2_max_pic_order_cnt_lsb_minus4 only.
        SeqParamSet s = baseline();
        s.pic_order_cnt_type = 0;
        s.log2_max_poc_lsb = 16;
        s.log2_max_frame_num = 9;
        BitBuilder b = head(66, 0xC, 30);
        b.ue(5).ue(0).ue(12).ue(1).u(1, 0).ue(21).ue(17).u(1, 1).u(1, 1).u(1, 0).u(1, 0).trailing();
        EXPECT_EQ(written(s), to_hex(b.bytes()));
    }
    {
        // POC type 1 with negative and large offsets, kept at full width:
        // -1 is 011, and values far outside 8 bits survive.
        SeqParamSet s = baseline();
        s.pic_order_cnt_type = 1;
        s.delta_pic_order_always_zero_flag = 1;
        s.offset_for_non_ref_pic = -1000000;
        s.offset_for_top_to_bottom_field = 2147483647;
        s.poc_cycle_length = 3;
        s.offset_for_ref_frame[0] = -1;
        s.offset_for_ref_frame[1] = 300;
        s.offset_for_ref_frame[2] = -2147483647;
        s.gaps_in_frame_num_value_allowed_flag = 1;
        BitBuilder b = head(66, 0xC, 30);
        b.ue(0).ue(1).u(1, 1).se(-1000000).se(2147483647).ue(3).se(-1).se(300).se(-2147483647);
        b.ue(1).u(1, 1).ue(21).ue(17).u(1, 1).u(1, 1).u(1, 0).u(1, 0).trailing();
        EXPECT_EQ(written(s), to_hex(b.bytes()));
    }
    {
        // Interlaced Main with MBAFF and cropping 1920x1080 in map units.
        SeqParamSet s = baseline();
        s.profile_idc = 77;
        s.constraint_set0_flag = s.constraint_set1_flag = 0;
        s.mb_width = 120;
        s.mb_height = 34;
        s.frame_mbs_only_flag = 0;
        s.mb_adaptive_frame_field_flag = 1;
        s.frame_cropping_flag = 1;
        s.crop_left = 1;
        s.crop_right = 3;
        s.crop_top = 0;
        s.crop_bottom = 2;
        BitBuilder b = head(77, 0, 30);
        b.ue(0).ue(2).ue(1).u(1, 0).ue(119).ue(33).u(1, 0).u(1, 1).u(1, 1);
        b.u(1, 1).ue(1).ue(3).ue(0).ue(2).u(1, 0).trailing();
        EXPECT_EQ(written(s), to_hex(b.bytes()));
    }
}

TEST(SpsWriter, WholeVuiWithHrdIsWrittenBack) {
    SeqParamSet s = baseline();
    s.vui_parameters_present_flag = 1;
    s.aspect_ratio_info_present_flag = 1;
    s.aspect_ratio_idc = 255;
    s.sar_width = 4;  // carried over from an earlier set: not the VUI's
    s.sar_height = 3;
    s.vui_sar_width = 16;
    s.vui_sar_height = 11;
    s.overscan_info_present_flag = 1;
    s.overscan_appropriate_flag = 1;
    s.video_signal_type_present_flag = 1;
    s.video_format = 5;
    s.video_full_range_flag = 1;
    s.colour_description_present_flag = 1;
    s.colour_primaries = 1;
    s.transfer_characteristics = 6;
    s.matrix_coefficients = 9;
    s.chroma_loc_info_present_flag = 1;
    s.chroma_sample_loc_type_top_field = 2;
    s.chroma_sample_loc_type_bottom_field = 5;
    s.timing_info_present_flag = 1;
    s.num_units_in_tick = 1001;
    s.time_scale = 60000;
    s.fixed_frame_rate_flag = 1;
    s.nal_hrd_parameters_present_flag = 1;
    s.nal_hrd.cpb_cnt_minus1 = 1;
    s.nal_hrd.bit_rate_scale = 4;
    s.nal_hrd.cpb_size_scale = 3;
    s.nal_hrd.bit_rate_value_minus1[0] = 1999;
    s.nal_hrd.cpb_size_value_minus1[0] = 0xFFFFFFFEu;  // the largest ue(v)
    s.nal_hrd.cbr_flag[0] = 1;
    s.nal_hrd.bit_rate_value_minus1[1] = 0x80000000u;
    s.nal_hrd.cpb_size_value_minus1[1] = 7;
    s.nal_hrd.initial_cpb_removal_delay_length_minus1 = 23;
    s.nal_hrd.cpb_removal_delay_length_minus1 = 31;
    s.nal_hrd.dpb_output_delay_length_minus1 = 4;
    s.nal_hrd.time_offset_length = 24;
    s.vcl_hrd_parameters_present_flag = 1;
    s.vcl_hrd.cpb_cnt_minus1 = 0;
    s.vcl_hrd.bit_rate_value_minus1[0] = 5;
    s.vcl_hrd.cpb_size_value_minus1[0] = 6;
    s.vcl_hrd.initial_cpb_removal_delay_length_minus1 = 1;
    s.vcl_hrd.cpb_removal_delay_length_minus1 = 2;
    s.vcl_hrd.dpb_output_delay_length_minus1 = 3;
    s.vcl_hrd.time_offset_length = 0;
    s.low_delay_hrd_flag = 1;
    s.pic_struct_present_flag = 1;
    s.bitstream_restriction_flag = 1;
    s.motion_vectors_over_pic_boundaries_flag = 1;
    s.max_bytes_per_pic_denom = 2;
    s.max_bits_per_mb_denom = 1;
    s.log2_max_mv_length_horizontal = 15;
    s.log2_max_mv_length_vertical = 16;
    s.num_reorder_frames = 2;
    s.max_dec_frame_buffering = 4;

    BitBuilder b = head(66, 0xC, 30);
    baseline_tail(b, true);
    b.u(1, 1).u(8, 255).u(16, 16).u(16, 11);        // aspect ratio
    b.u(1, 1).u(1, 1);                              // overscan
    b.u(1, 1).u(3, 5).u(1, 1).u(1, 1).u(8, 1).u(8, 6).u(8, 9);
    b.u(1, 1).ue(2).ue(5);                          // chroma location
    b.u(1, 1).u(32, 1001).u(32, 60000).u(1, 1);     // timing
    b.u(1, 1).ue(1).u(4, 4).u(4, 3);                // NAL HRD, two CPBs
    b.ue(1999).ue(0xFFFFFFFEu).u(1, 1).ue(0x80000000u).ue(7).u(1, 0);
    b.u(5, 23).u(5, 31).u(5, 4).u(5, 24);
    b.u(1, 1).ue(0).u(4, 0).u(4, 0).ue(5).ue(6).u(1, 0).u(5, 1).u(5, 2).u(5, 3).u(5, 0);  // VCL HRD
    b.u(1, 1).u(1, 1);                              // low_delay_hrd, pic_struct_present
    b.u(1, 1).u(1, 1).ue(2).ue(1).ue(15).ue(16).ue(2).ue(4);
    b.trailing();
    EXPECT_EQ(written(s), to_hex(b.bytes()));

    // Aspect ratio idc other than Extended_SAR: no sar fields; a VUI without
    // timing, HRD or restriction.
    SeqParamSet t = baseline();
    t.vui_parameters_present_flag = 1;
    t.aspect_ratio_info_present_flag = 1;
    t.aspect_ratio_idc = 1;
    t.sar_width = 4;  // a pair carried over by the parser is not the VUI's
    t.sar_height = 3;
    t.num_units_in_tick = 1;  // not written: timing_info_present_flag 0
    BitBuilder c = head(66, 0xC, 30);
    baseline_tail(c, true);
    c.u(1, 1).u(8, 1).u(4, 0).u(4, 0).trailing();  // no overscan..timing, no HRD..restriction
    EXPECT_EQ(written(t), to_hex(c.bytes()));
}

TEST(SpsWriter, RefusesWhatDoesNotFit) {
    SeqParamSet s = baseline();
    uint8_t buf[8];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(kavrel::write_sps_rbsp(&s, buf, 7), 7);
    EXPECT_EQ(buf[7], 0xEE);
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(kavrel::write_sps_rbsp(&s, buf, 6), -1);
    EXPECT_EQ(buf[6], 0xEE);
}

// ---- Round trip through the project's own parser ----

uint32_t pick(std::mt19937& rng, uint32_t lo, uint32_t hi) {
    return lo + static_cast<uint32_t>(rng() % (uint64_t{hi} - lo + 1));
}

// Longest Exp-Golomb code values the round trip uses: codeNum below 2^24.
// (The project's bit reader loses codes with more than 24 leading zeros
// that do not start on a byte boundary; the writer's longer codes are
// checked bit by bit above.)
constexpr uint32_t kLargestCodeNum = (1u << 24) - 2;

// A large value now and then, else a small one.
uint32_t wide(std::mt19937& rng, uint32_t max) { return rng() % 4 == 0 ? pick(rng, 0, max) : pick(rng, 0, 20); }

void random_hrd(std::mt19937& rng, kavrel::HrdParameters* h) {
    h->cpb_cnt_minus1 = static_cast<int32_t>(rng() % 3 == 0 ? 31 : pick(rng, 0, 3));
    h->bit_rate_scale = static_cast<int32_t>(pick(rng, 0, 15));
    h->cpb_size_scale = static_cast<int32_t>(pick(rng, 0, 15));
    for (int i = 0; i <= h->cpb_cnt_minus1; ++i) {
        h->bit_rate_value_minus1[i] = wide(rng, kLargestCodeNum);
        h->cpb_size_value_minus1[i] = wide(rng, kLargestCodeNum);
        h->cbr_flag[i] = static_cast<uint8_t>(rng() & 1);
    }
    h->initial_cpb_removal_delay_length_minus1 = static_cast<int32_t>(pick(rng, 0, 31));
    h->cpb_removal_delay_length_minus1 = static_cast<int32_t>(pick(rng, 0, 31));
    h->dpb_output_delay_length_minus1 = static_cast<int32_t>(pick(rng, 0, 31));
    h->time_offset_length = static_cast<int32_t>(pick(rng, 0, 31));
}

// A set that the parser accepts, every optional structure drawn at random;
// fields of absent structures are 0, as the parser leaves them.
SeqParamSet random_sps(std::mt19937& rng) {
    static const int kProfiles[] = {66, 77, 88, 100, 110, 122, 244, 118, 44};
    SeqParamSet s;
    std::memset(&s, 0, sizeof s);
    s.profile_idc = kProfiles[rng() % 9];
    const bool high = s.profile_idc >= 100 || s.profile_idc == 44;
    if (!high || s.profile_idc == 118) {
        s.constraint_set0_flag = static_cast<int32_t>(rng() & 1);
        s.constraint_set1_flag = static_cast<int32_t>(rng() & 1);
        s.constraint_set2_flag = static_cast<int32_t>(rng() & 1);
    }
    s.constraint_set3_flag = static_cast<int32_t>(rng() & 1);
    s.reserved_zero_4bits = static_cast<int32_t>(pick(rng, 0, 15));
    s.level_idc = static_cast<int32_t>(pick(rng, 0, 255));
    s.seq_parameter_set_id = static_cast<int32_t>(pick(rng, 0, 31));
    s.chroma_format_idc = 1;
    if (s.profile_idc >= 100) {
        s.chroma_format_idc = static_cast<int32_t>(pick(rng, 0, 1));
        if (rng() & 1) {
            s.seq_scaling_matrix_present_flag = 1;
            for (int i = 0; i < 8; ++i) {
                s.scaling_list_present_flag[i] = static_cast<int32_t>(rng() % 3 != 0);
                if (!s.scaling_list_present_flag[i]) continue;
                uint8_t* list = i < 6 ? s.scaling_list_4x4[i] : s.scaling_list_8x8[i - 6];
                const bool flat = rng() % 4 == 0;
                for (int j = 0; j < (i < 6 ? 16 : 64); ++j)
                    list[j] = static_cast<uint8_t>(flat ? 16 : pick(rng, 1, 255));
            }
        }
    }
    s.log2_max_frame_num = static_cast<int32_t>(pick(rng, 4, 16));
    s.pic_order_cnt_type = static_cast<int32_t>(pick(rng, 0, 2));
    if (s.pic_order_cnt_type == 0) {
        s.log2_max_poc_lsb = static_cast<int32_t>(pick(rng, 4, 16));
    } else if (s.pic_order_cnt_type == 1) {
        auto offset = [&]() {
            const uint32_t k = rng() % 4;
            constexpr int32_t kLargest = static_cast<int32_t>(kLargestCodeNum / 2);
            if (k == 0) return static_cast<int32_t>(pick(rng, 0, 2 * kLargest)) - kLargest;
            if (k == 1) return rng() & 1 ? kLargest : -kLargest;
            return static_cast<int32_t>(pick(rng, 0, 600)) - 300;
        };
        s.delta_pic_order_always_zero_flag = static_cast<int32_t>(rng() & 1);
        s.offset_for_non_ref_pic = offset();
        s.offset_for_top_to_bottom_field = offset();
        s.poc_cycle_length = static_cast<int32_t>(rng() % 5 == 0 ? 255 : pick(rng, 0, 4));
        for (int i = 0; i < s.poc_cycle_length; ++i) s.offset_for_ref_frame[i] = offset();
    }
    s.max_ref_frame_count = static_cast<int32_t>(pick(rng, 0, 16));
    s.gaps_in_frame_num_value_allowed_flag = static_cast<int32_t>(rng() & 1);
    s.mb_width = static_cast<int16_t>(rng() % 4 == 0 ? 511 : pick(rng, 1, 120));
    s.mb_height = static_cast<int16_t>(rng() % 4 == 0 ? 511 : pick(rng, 1, 68));
    s.frame_mbs_only_flag = static_cast<int16_t>(s.profile_idc == 66 ? 1 : rng() & 1);
    if (s.frame_mbs_only_flag == 0) {
        s.mb_adaptive_frame_field_flag = static_cast<int16_t>(rng() & 1);
        s.direct_8x8_inference_flag = 1;
    } else {
        s.direct_8x8_inference_flag = static_cast<int32_t>(rng() & 1);
    }
    if (rng() & 1) {
        s.frame_cropping_flag = 1;
        s.crop_left = static_cast<int32_t>(rng() % (4 * s.mb_width));
        s.crop_right = static_cast<int32_t>(rng() % (4 * s.mb_width));
        s.crop_top = static_cast<int32_t>(rng() % (4 * s.mb_height));
        s.crop_bottom = static_cast<int32_t>(rng() % (4 * s.mb_height));
    }
    if (rng() % 4 == 0) return s;  // no VUI

    s.vui_parameters_present_flag = 1;
    if (rng() & 1) {
        s.aspect_ratio_info_present_flag = 1;
        s.aspect_ratio_idc = static_cast<int32_t>(rng() & 1 ? 255 : pick(rng, 0, 254));
        if (s.aspect_ratio_idc == 255) {
            s.sar_width = s.vui_sar_width = static_cast<int32_t>(pick(rng, 0, 65535));
            s.sar_height = s.vui_sar_height = static_cast<int32_t>(pick(rng, 0, 65535));
        }
    }
    if (rng() & 1) {
        s.overscan_info_present_flag = 1;
        s.overscan_appropriate_flag = static_cast<int32_t>(rng() & 1);
    }
    if (rng() & 1) {
        s.video_signal_type_present_flag = 1;
        s.video_format = static_cast<int32_t>(pick(rng, 0, 7));
        s.video_full_range_flag = static_cast<int32_t>(rng() & 1);
        if (rng() & 1) {
            s.colour_description_present_flag = 1;
            s.colour_primaries = static_cast<int32_t>(pick(rng, 0, 255));
            s.transfer_characteristics = static_cast<int32_t>(pick(rng, 0, 255));
            s.matrix_coefficients = static_cast<int32_t>(pick(rng, 0, 255));
        }
    }
    if (rng() & 1) {
        s.chroma_loc_info_present_flag = 1;
        s.chroma_sample_loc_type_top_field = static_cast<int32_t>(pick(rng, 0, 5));
        s.chroma_sample_loc_type_bottom_field = static_cast<int32_t>(pick(rng, 0, 5));
    }
    if (rng() & 1) {
        s.timing_info_present_flag = 1;
        s.num_units_in_tick = pick(rng, 1, 0xFFFFFFFFu);
        s.time_scale = pick(rng, 1, 0xFFFFFFFFu);
        s.fixed_frame_rate_flag = static_cast<uint8_t>(rng() & 1);
    }
    if (rng() & 1) {
        s.nal_hrd_parameters_present_flag = 1;
        random_hrd(rng, &s.nal_hrd);
    }
    if (rng() & 1) {
        s.vcl_hrd_parameters_present_flag = 1;
        random_hrd(rng, &s.vcl_hrd);
    }
    if (s.nal_hrd_parameters_present_flag || s.vcl_hrd_parameters_present_flag)
        s.low_delay_hrd_flag = static_cast<int32_t>(rng() & 1);
    s.pic_struct_present_flag = static_cast<int32_t>(rng() & 1);
    if (rng() & 1) {
        s.bitstream_restriction_flag = 1;
        s.motion_vectors_over_pic_boundaries_flag = static_cast<int32_t>(rng() & 1);
        s.max_bytes_per_pic_denom = static_cast<int32_t>(pick(rng, 0, 16));
        s.max_bits_per_mb_denom = static_cast<int32_t>(pick(rng, 0, 16));
        s.log2_max_mv_length_horizontal = static_cast<int32_t>(pick(rng, 0, 16));
        s.log2_max_mv_length_vertical = static_cast<int32_t>(pick(rng, 0, 16));
        s.num_reorder_frames = static_cast<uint16_t>(pick(rng, 0, 16));
        s.max_dec_frame_buffering = static_cast<int32_t>(pick(rng, 0, 16));
    }
    return s;
}

// Parses `unit` (an SPS NAL unit behind a start code) with a fresh handle.
bool parse(const Bytes& unit, SeqParamSet* out) {
    kavrel_test::StdoutCapture quiet;  // the parser's warnings
    ParserHandle* h = Kavrel_Open();
    FrameInput input{unit.data(), static_cast<uint32_t>(unit.size())};
    FrameInfo info{};
    const int32_t rc = Kavrel_Start(h, &input, &info);
    *out = h->active_sps;
    const bool ok = rc == 0 && h->sps_received && h->active_sps.valid == 1;
    Kavrel_Close(h);
    return ok;
}

#define SAME(field) EXPECT_EQ(got.field, want.field) << #field
#define SAME_HRD(h)                                                                                  \
    do {                                                                                             \
        SAME(h.cpb_cnt_minus1);                                                                      \
        SAME(h.bit_rate_scale);                                                                      \
        SAME(h.cpb_size_scale);                                                                      \
        for (int i = 0; i <= want.h.cpb_cnt_minus1; ++i) {                                           \
            SAME(h.bit_rate_value_minus1[i]);                                                        \
            SAME(h.cpb_size_value_minus1[i]);                                                        \
            SAME(h.cbr_flag[i]);                                                                     \
        }                                                                                            \
        SAME(h.initial_cpb_removal_delay_length_minus1);                                             \
        SAME(h.cpb_removal_delay_length_minus1);                                                     \
        SAME(h.dpb_output_delay_length_minus1);                                                      \
        SAME(h.time_offset_length);                                                                  \
    } while (0)

// Every syntax field of `want` came back in `got`; with timing false the
// VUI timing (and a VUI presence the rate writer adds) is not compared.
void expect_same_fields(const SeqParamSet& got, const SeqParamSet& want, bool timing) {
    SAME(profile_idc);
    SAME(constraint_set0_flag);
    SAME(constraint_set1_flag);
    SAME(constraint_set2_flag);
    SAME(constraint_set3_flag);
    SAME(reserved_zero_4bits);
    SAME(level_idc);
    SAME(seq_parameter_set_id);
    SAME(chroma_format_idc);
    SAME(separate_colour_plane_flag);
    SAME(bit_depth_luma_minus8);
    SAME(bit_depth_chroma_minus8);
    SAME(qpprime_y_zero_transform_bypass_flag);
    SAME(seq_scaling_matrix_present_flag);
    for (int i = 0; i < 8; ++i) {
        SAME(scaling_list_present_flag[i]);
        if (!want.scaling_list_present_flag[i]) continue;
        if (i < 6) {
            for (int j = 0; j < 16; ++j) SAME(scaling_list_4x4[i][j]);
        } else {
            for (int j = 0; j < 64; ++j) SAME(scaling_list_8x8[i - 6][j]);
        }
    }
    SAME(log2_max_frame_num);
    SAME(pic_order_cnt_type);
    SAME(log2_max_poc_lsb);
    SAME(delta_pic_order_always_zero_flag);
    SAME(offset_for_non_ref_pic);
    SAME(offset_for_top_to_bottom_field);
    SAME(poc_cycle_length);
    for (int i = 0; i < want.poc_cycle_length; ++i) SAME(offset_for_ref_frame[i]);
    SAME(max_ref_frame_count);
    SAME(gaps_in_frame_num_value_allowed_flag);
    SAME(mb_width);
    SAME(mb_height);
    SAME(frame_mbs_only_flag);
    SAME(mb_adaptive_frame_field_flag);
    SAME(direct_8x8_inference_flag);
    SAME(frame_cropping_flag);
    SAME(crop_left);
    SAME(crop_right);
    SAME(crop_top);
    SAME(crop_bottom);
    if (timing) {
        SAME(vui_parameters_present_flag);
    }
    SAME(aspect_ratio_info_present_flag);
    SAME(aspect_ratio_idc);
    SAME(vui_sar_width);
    SAME(vui_sar_height);
    SAME(overscan_info_present_flag);
    SAME(overscan_appropriate_flag);
    SAME(video_signal_type_present_flag);
    SAME(video_format);
    SAME(video_full_range_flag);
    SAME(colour_description_present_flag);
    SAME(colour_primaries);
    SAME(transfer_characteristics);
    SAME(matrix_coefficients);
    SAME(chroma_loc_info_present_flag);
    SAME(chroma_sample_loc_type_top_field);
    SAME(chroma_sample_loc_type_bottom_field);
    if (timing) {
        SAME(timing_info_present_flag);
        SAME(num_units_in_tick);
        SAME(time_scale);
        SAME(fixed_frame_rate_flag);
    }
    SAME(nal_hrd_parameters_present_flag);
    if (want.nal_hrd_parameters_present_flag) {
        SAME_HRD(nal_hrd);
    }
    SAME(vcl_hrd_parameters_present_flag);
    if (want.vcl_hrd_parameters_present_flag) {
        SAME_HRD(vcl_hrd);
    }
    SAME(low_delay_hrd_flag);
    SAME(pic_struct_present_flag);
    SAME(bitstream_restriction_flag);
    SAME(motion_vectors_over_pic_boundaries_flag);
    SAME(max_bytes_per_pic_denom);
    SAME(max_bits_per_mb_denom);
    SAME(log2_max_mv_length_horizontal);
    SAME(log2_max_mv_length_vertical);
    SAME(num_reorder_frames);
    SAME(max_dec_frame_buffering);
}

// Writes `sps` with the VUI note kept off the test's output.
int32_t write_quietly(const SeqParamSet& sps, uint8_t* buf, int32_t capacity) {
    kavrel_test::StdoutCapture quiet;
    return kavrel::write_sps_rbsp(&sps, buf, capacity);
}

TEST(SpsWriter, RoundTripThroughTheParser) {
    std::mt19937 rng(2026);
    uint8_t rbsp[kavrel::kSpsRbspCapacity];
    uint8_t again[kavrel::kSpsRbspCapacity];
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const SeqParamSet want = random_sps(rng);
        const int32_t n = write_quietly(want, rbsp, sizeof rbsp);
        ASSERT_GT(n, 0);
        SeqParamSet got;
        ASSERT_TRUE(parse(kavrel_test::nal(0x67, Bytes(rbsp, rbsp + n)), &got));
        expect_same_fields(got, want, true);
        // Written again from what the parser kept: the same bytes.
        const int32_t m = write_quietly(got, again, sizeof again);
        ASSERT_EQ(to_hex(again, static_cast<size_t>(m)), to_hex(rbsp, static_cast<size_t>(n)));

        // The frame-rate unit of the parsed set: the same fields, new timing.
        ParserHandle* h = Kavrel_Open();
        h->active_sps = got;
        h->sps_received = 1;
        uint8_t unit[2 * kavrel::kSpsRbspCapacity];
        int32_t u;
        {
            kavrel_test::StdoutCapture quiet;
            u = H264_Enc_Iframe_Rate(h, unit, sizeof unit, 30000, 1001);
        }
        Kavrel_Close(h);
        ASSERT_GT(u, 0);
        SeqParamSet rated;
        ASSERT_TRUE(parse(Bytes(unit, unit + u), &rated));
        expect_same_fields(rated, want, false);
        EXPECT_EQ(rated.vui_parameters_present_flag, 1);
        EXPECT_EQ(rated.timing_info_present_flag, 1);
        EXPECT_EQ(rated.num_units_in_tick, 1001u);
        EXPECT_EQ(rated.time_scale, 60000u);
        EXPECT_EQ(rated.fixed_frame_rate_flag, want.fixed_frame_rate_flag);
        if (HasFailure()) break;
    }
}

}  // namespace
