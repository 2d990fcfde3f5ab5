// SPS writer (ITU-T H.264 7.3.2.1.1, E.1.1, E.1.2): expected bits built
// element by element from the syntax tables, and a write -> parse -> write
// round trip through the project's own SPS parser over random sets (the
// whole VUI against an independent reader: FFmpeg, in the interop tests).
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "stream/parser_handle.h"
#include "params/sps_elements.h"
#include "support/test_support.h"
#include "synth/sps_fixture.h"
#include "synth/sps_writer.h"

using kavrel::SeqParamSet;
using kavrel_test::BitBuilder;
using kavrel_test::Bytes;
using kavrel_test::to_hex;

namespace {

SeqParamSet baseline() { return kavrel_test::baseline_sps(); }

std::string written(const SeqParamSet& s, std::string* printed = nullptr) {
    uint8_t buf[kavrel::kSpsRbspCapacity];
    kavrel_test::StdoutCapture capture;
    const int32_t n = kavrel::write_sps_rbsp(&s, buf, sizeof buf);
    if (printed) *printed = capture.take();
    return n < 0 ? "refused" : to_hex(buf, static_cast<size_t>(n));
}

// The baseline set's elements from log2_max_frame_num_minus4 on.
BitBuilder& baseline_tail(BitBuilder& b, bool vui) {
    return b.ue(0).ue(2).ue(1).u(1, 0).ue(21).ue(17).u(1, 1).u(1, 1).u(1, 0).u(1, vui);
}

TEST(SpsWriter, WorkedBaselineExamplesAndCapacity) {
    SeqParamSet s = baseline();
    std::string printed;
    EXPECT_EQ(written(s, &printed), "42 c0 1e da 05 82 59");
    EXPECT_EQ(printed, "");
    s.timing_info_present_flag = 1;  // not written without the VUI flag
    s.num_units_in_tick = 1;
    s.time_scale = 50;
    EXPECT_EQ(written(s), "42 c0 1e da 05 82 59");
    // A VUI with timing only; the 00 00 03 is RBSP data.
    s.vui_parameters_present_flag = 1;
    EXPECT_EQ(written(s, &printed), "42 c0 1e da 05 82 5a 10 00 00 00 10 00 00 03 20 40");
    EXPECT_EQ(printed, "test: writing Sequence Parameter VUI to signal RGB format\n");
    // Extended_SAR: the pair the VUI carried, not one carried over into sar_*.
    s.aspect_ratio_info_present_flag = 1;
    s.aspect_ratio_idc = 255;
    s.vui_sar_width = 16;
    s.vui_sar_height = 11;
    s.sar_width = 4;
    s.sar_height = 3;
    BitBuilder b;
    b.u(8, 66).u(8, 0xC0).u(8, 30).ue(0);
    baseline_tail(b, true).u(1, 1).u(8, 255).u(16, 16).u(16, 11).u(3, 0);
    BitBuilder c = b;
    EXPECT_EQ(written(s), to_hex(b.u(1, 1).u(32, 1).u(32, 50).u(1, 0).u(4, 0).trailing().bytes()));
    // A NAL HRD whose rates need codes past 31 bits (up to 2^32 - 2).
    s.nal_hrd_parameters_present_flag = 1;
    s.nal_hrd.cpb_cnt_minus1 = 1;
    s.nal_hrd.bit_rate_value_minus1[0] = 0xFFFFFFFEu;
    s.nal_hrd.cpb_size_value_minus1[1] = 0x80000000u;
    s.nal_hrd.cbr_flag[1] = 1;
    s.nal_hrd.time_offset_length = 24;
    c.u(1, 1).u(32, 1).u(32, 50).u(1, 0).u(1, 1).ue(1).u(8, 0);
    c.ue(0xFFFFFFFEu).ue(0).u(1, 0).ue(0).ue(0x80000000u).u(1, 1).u(15, 0).u(5, 24);
    EXPECT_EQ(written(s), to_hex(c.u(1, 0).u(1, 0).u(1, 0).u(1, 0).trailing().bytes()));

    uint8_t buf[24];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(kavrel::write_sps_rbsp(&s, buf, 16), -1);  // 17 bytes do not fit 16
    EXPECT_EQ(buf[16], 0xEE);
    s.vui_parameters_present_flag = 0;
    EXPECT_EQ(kavrel::write_sps_rbsp(&s, buf, 7), 7);
}

TEST(SpsWriter, ScalingLists) {
    SeqParamSet s = baseline();
    s.profile_idc = 100;
    s.constraint_set0_flag = s.constraint_set1_flag = 0;
    s.seq_scaling_matrix_present_flag = 1;
    s.scaling_list_present_flag[0] = 1;  // flat 16: delta 8, then fifteen 0
    std::memset(s.scaling_list_4x4[0], 16, 16);
    s.scaling_list_present_flag[2] = 1;  // a stored 0 first: one delta -8, nothing more
    s.scaling_list_present_flag[4] = 1;  // 208 after last = 8: delta 200 -> -56; 6 - 208 -> 54
    std::memset(s.scaling_list_4x4[4], 6, 16);
    s.scaling_list_4x4[4][0] = 208;
    s.scaling_list_present_flag[7] = 1;  // 8x8: 20 + j at scan position j
    for (int j = 0; j < 64; ++j) s.scaling_list_8x8[1][kavrel::kZigzag8x8[j]] = static_cast<uint8_t>(20 + j);

    BitBuilder b;
    b.u(8, 100).u(8, 0).u(8, 30).ue(0).ue(1).ue(0).ue(0).u(1, 0).u(1, 1);
    b.u(1, 1).se(8);
    for (int j = 1; j < 16; ++j) b.se(0);
    b.u(1, 0).u(1, 1).se(-8).u(1, 0).u(1, 1).se(-56).se(54);
    for (int j = 2; j < 16; ++j) b.se(0);
    b.u(1, 0).u(1, 0).u(1, 1).se(12);
    for (int j = 1; j < 64; ++j) b.se(1);
    baseline_tail(b, false).trailing();
    EXPECT_EQ(written(s), to_hex(b.bytes()));
}

// ---- Round trip through the project's own parser ----

uint32_t pick(std::mt19937& rng, uint32_t lo, uint32_t hi) {
    return lo + static_cast<uint32_t>(rng() % (uint64_t{hi} - lo + 1));
}
int32_t coin(std::mt19937& rng) { return static_cast<int32_t>(rng() & 1); }

// Largest codeNum the round trip uses: the project's bit reader loses codes
// with more than 24 leading zeros that do not start on a byte boundary (the
// writer's longer codes are checked bit by bit in bit_writer_test).
constexpr uint32_t kLargestCodeNum = (1u << 24) - 2;

void random_hrd(std::mt19937& rng, kavrel::HrdParameters* h) {
    h->cpb_cnt_minus1 = static_cast<int32_t>(rng() % 3 == 0 ? 31 : pick(rng, 0, 3));
    h->bit_rate_scale = static_cast<int32_t>(pick(rng, 0, 15));
    h->cpb_size_scale = static_cast<int32_t>(pick(rng, 0, 15));
    for (int i = 0; i <= h->cpb_cnt_minus1; ++i) {
        h->bit_rate_value_minus1[i] = pick(rng, 0, rng() % 4 ? 20 : kLargestCodeNum);
        h->cpb_size_value_minus1[i] = pick(rng, 0, rng() % 4 ? 20 : kLargestCodeNum);
        h->cbr_flag[i] = static_cast<uint8_t>(coin(rng));
    }
    h->initial_cpb_removal_delay_length_minus1 = static_cast<int32_t>(pick(rng, 0, 31));
    h->cpb_removal_delay_length_minus1 = static_cast<int32_t>(pick(rng, 0, 31));
    h->dpb_output_delay_length_minus1 = static_cast<int32_t>(pick(rng, 0, 31));
    h->time_offset_length = static_cast<int32_t>(pick(rng, 0, 31));
}

// A set the parser accepts, each optional structure drawn at random; the
// fields of absent structures are 0, as the parser leaves them.
SeqParamSet random_sps(std::mt19937& rng) {
    static const int kProfiles[] = {66, 77, 88, 100, 110, 122, 244, 118, 44};
    SeqParamSet s;
    std::memset(&s, 0, sizeof s);
    s.profile_idc = kProfiles[rng() % 9];
    if (s.profile_idc < 100 && s.profile_idc != 44) {
        s.constraint_set0_flag = coin(rng);
        s.constraint_set1_flag = coin(rng);
        s.constraint_set2_flag = coin(rng);
    }
    s.constraint_set3_flag = coin(rng);
    s.reserved_zero_4bits = static_cast<int32_t>(pick(rng, 0, 15));
    s.level_idc = static_cast<int32_t>(pick(rng, 0, 255));
    s.seq_parameter_set_id = static_cast<int32_t>(pick(rng, 0, 31));
    s.chroma_format_idc = s.profile_idc >= 100 ? coin(rng) : 1;
    if (s.profile_idc >= 100 && coin(rng)) {
        s.seq_scaling_matrix_present_flag = 1;
        for (int i = 0; i < 8; ++i) {
            if (!(s.scaling_list_present_flag[i] = rng() % 3 != 0)) continue;
            uint8_t* list = i < 6 ? s.scaling_list_4x4[i] : s.scaling_list_8x8[i - 6];
            const bool flat = rng() % 4 == 0;
            for (int j = 0; j < (i < 6 ? 16 : 64); ++j) list[j] = static_cast<uint8_t>(flat ? 16 : pick(rng, 1, 255));
        }
    }
    s.log2_max_frame_num = static_cast<int32_t>(pick(rng, 4, 16));
    s.pic_order_cnt_type = static_cast<int32_t>(pick(rng, 0, 2));
    if (s.pic_order_cnt_type == 0) s.log2_max_poc_lsb = static_cast<int32_t>(pick(rng, 4, 16));
    if (s.pic_order_cnt_type == 1) {
        constexpr int32_t kLargest = static_cast<int32_t>(kLargestCodeNum / 2);
        auto offset = [&]() {
            const uint32_t k = rng() % 4;
            if (k == 0) return static_cast<int32_t>(pick(rng, 0, 2 * kLargest)) - kLargest;
            if (k == 1) return coin(rng) ? kLargest : -kLargest;
            return static_cast<int32_t>(pick(rng, 0, 600)) - 300;
        };
        s.delta_pic_order_always_zero_flag = coin(rng);
        s.offset_for_non_ref_pic = offset();
        s.offset_for_top_to_bottom_field = offset();
        s.poc_cycle_length = static_cast<int32_t>(rng() % 5 == 0 ? 255 : pick(rng, 0, 4));
        for (int i = 0; i < s.poc_cycle_length; ++i) s.offset_for_ref_frame[i] = offset();
    }
    s.max_ref_frame_count = static_cast<int32_t>(pick(rng, 0, 16));
    s.gaps_in_frame_num_value_allowed_flag = coin(rng);
    s.mb_width = static_cast<int16_t>(rng() % 4 == 0 ? 511 : pick(rng, 1, 120));
    s.mb_height = static_cast<int16_t>(rng() % 4 == 0 ? 511 : pick(rng, 1, 68));
    s.frame_mbs_only_flag = static_cast<int16_t>(s.profile_idc == 66 ? 1 : coin(rng));
    s.mb_adaptive_frame_field_flag = static_cast<int16_t>(s.frame_mbs_only_flag ? 0 : coin(rng));
    s.direct_8x8_inference_flag = s.frame_mbs_only_flag ? coin(rng) : 1;
    if ((s.frame_cropping_flag = coin(rng))) {
        s.crop_left = static_cast<int32_t>(rng() % (4 * s.mb_width));
        s.crop_right = static_cast<int32_t>(rng() % (4 * s.mb_width));
        s.crop_top = static_cast<int32_t>(rng() % (4 * s.mb_height));
        s.crop_bottom = static_cast<int32_t>(rng() % (4 * s.mb_height));
    }
    if (rng() % 4 == 0) return s;  // no VUI
    s.vui_parameters_present_flag = 1;
    if ((s.aspect_ratio_info_present_flag = coin(rng))) {
        s.aspect_ratio_idc = static_cast<int32_t>(coin(rng) ? 255 : pick(rng, 0, 254));
        if (s.aspect_ratio_idc == 255) {
            s.sar_width = s.vui_sar_width = static_cast<int32_t>(pick(rng, 0, 65535));
            s.sar_height = s.vui_sar_height = static_cast<int32_t>(pick(rng, 0, 65535));
        }
    }
    if ((s.overscan_info_present_flag = coin(rng))) s.overscan_appropriate_flag = coin(rng);
    if ((s.video_signal_type_present_flag = coin(rng))) {
        s.video_format = static_cast<int32_t>(pick(rng, 0, 7));
        s.video_full_range_flag = coin(rng);
        if ((s.colour_description_present_flag = coin(rng))) {
            s.colour_primaries = static_cast<int32_t>(pick(rng, 0, 255));
            s.transfer_characteristics = static_cast<int32_t>(pick(rng, 0, 255));
            s.matrix_coefficients = static_cast<int32_t>(pick(rng, 0, 255));
        }
    }
    if ((s.chroma_loc_info_present_flag = coin(rng))) {
        s.chroma_sample_loc_type_top_field = static_cast<int32_t>(pick(rng, 0, 5));
        s.chroma_sample_loc_type_bottom_field = static_cast<int32_t>(pick(rng, 0, 5));
    }
    if ((s.timing_info_present_flag = static_cast<uint8_t>(coin(rng)))) {
        s.num_units_in_tick = pick(rng, 1, 0xFFFFFFFFu);
        s.time_scale = pick(rng, 1, 0xFFFFFFFFu);
        s.fixed_frame_rate_flag = static_cast<uint8_t>(coin(rng));
    }
    if ((s.nal_hrd_parameters_present_flag = coin(rng))) random_hrd(rng, &s.nal_hrd);
    if ((s.vcl_hrd_parameters_present_flag = coin(rng))) random_hrd(rng, &s.vcl_hrd);
    if (s.nal_hrd_parameters_present_flag || s.vcl_hrd_parameters_present_flag) s.low_delay_hrd_flag = coin(rng);
    s.pic_struct_present_flag = coin(rng);
    if ((s.bitstream_restriction_flag = static_cast<uint16_t>(coin(rng)))) {
        s.motion_vectors_over_pic_boundaries_flag = coin(rng);
        s.max_bytes_per_pic_denom = static_cast<int32_t>(pick(rng, 0, 16));
        s.max_bits_per_mb_denom = static_cast<int32_t>(pick(rng, 0, 16));
        s.log2_max_mv_length_horizontal = static_cast<int32_t>(pick(rng, 0, 16));
        s.log2_max_mv_length_vertical = static_cast<int32_t>(pick(rng, 0, 16));
        s.num_reorder_frames = static_cast<uint16_t>(pick(rng, 0, 16));
        s.max_dec_frame_buffering = static_cast<int32_t>(pick(rng, 0, 16));
    }
    return s;
}

// Parses one SPS unit with a fresh handle.
bool parse(const Bytes& unit, SeqParamSet* out) {
    kavrel_test::Parser p;
    const bool ok = p.start(unit).rc == 0 && p->sps_received && p->active_sps.valid == 1;
    *out = p->active_sps;
    return ok;
}

// Every syntax element of `want` is back in `got`, and the scaling lists it
// sent; with timing false, the timing and the VUI presence (which the rate
// unit adds) are left out.
void expect_same_fields(const SeqParamSet& got, const SeqParamSet& want, bool timing) {
    std::map<std::string, int64_t> a = params_test::sps_elements(got), b = params_test::sps_elements(want);
    if (!timing) {
        for (const char* k : {"vui_parameters_present_flag", "timing_info_present_flag", "num_units_in_tick",
                              "time_scale"}) {
            a.erase(k);
            b.erase(k);
        }
    }
    EXPECT_EQ(a, b);
    const auto list = [](const SeqParamSet& s, int i) {
        const uint8_t* l = i < 6 ? s.scaling_list_4x4[i] : s.scaling_list_8x8[i - 6];
        return Bytes(l, l + (i < 6 ? 16 : 64));
    };
    for (int i = 0; i < 8; ++i) {
        if (want.scaling_list_present_flag[i]) {
            EXPECT_EQ(list(got, i), list(want, i)) << "scaling list " << i;
        }
    }
}

TEST(SpsWriter, RoundTripThroughTheParser) {
    std::mt19937 rng(2026);
    for (int round = 0; round < 300 && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const SeqParamSet want = random_sps(rng);
        SeqParamSet got;
        ASSERT_TRUE(parse(kavrel_test::nal(0x67, kavrel_test::hex(written(want))), &got));
        expect_same_fields(got, want, true);
        EXPECT_EQ(written(got), written(want));  // written again from what the parser kept

        // The rate unit of the parsed set carries the same fields, new timing.
        kavrel_test::Parser p;
        p->active_sps = got;  // valid: parse() checked it
        p->sps_received = 1;
        uint8_t unit[2 * kavrel::kSpsRbspCapacity];
        kavrel_test::StdoutCapture quiet;
        const int32_t n = H264_Enc_Iframe_Rate(p.h, unit, sizeof unit, 30000, 1001);
        quiet.take();
        SeqParamSet rated;
        ASSERT_TRUE(n > 0 && parse(Bytes(unit, unit + n), &rated));
        expect_same_fields(rated, want, false);
        EXPECT_EQ(rated.vui_parameters_present_flag, 1);
        EXPECT_EQ(rated.timing_info_present_flag, 1);
        EXPECT_EQ(rated.num_units_in_tick, 1001u);
        EXPECT_EQ(rated.time_scale, 60000u);
    }
}

}  // namespace
