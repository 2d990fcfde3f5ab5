// Picture parameter set: the slice-group maps, every refusal with its code
// and message, the rules per SPS profile and what failures leave.
#include <gtest/gtest.h>

#include <string>

#include "param_set_builders.h"

using namespace params_test;
using kavrel_test::StdoutCapture;

namespace {

const std::string kTag = "[VsKavrel]:";
const std::string kInvalid = kTag + "Warnning: pps exists invalid sytnax\n";

TEST(PicParamSet, SliceGroupMapsAreSteppedOver) {
    const std::pair<uint64_t, Writer> maps[] = {
        {2, [](BitBuilder& b) { b.ue(0).ue(5).ue(6).ue(7); }},          // run lengths
        {1, [](BitBuilder& b) { b.ue(1); }},                            // dispersed
        {2, [](BitBuilder& b) { b.ue(2).ue(1).ue(9).ue(3).ue(300); }},  // rectangles
        {1, [](BitBuilder& b) { b.ue(4).u(1, 1).ue(12); }},             // box-out
        // Explicit ids, 3 groups: 2 bits each for 4 map units.
        {2, [](BitBuilder& b) { b.ue(6).ue(3).u(2, 2).u(2, 1).u(2, 0).u(2, 2); }},
    };
    for (const auto& [groups_minus1, map] : maps) {
        Handle h;
        const PpsSpec p{.slice_groups_minus1 = groups_minus1, .slice_group_map = map, .l0_minus1 = 4, .qp_minus26 = 5};
        ASSERT_EQ(parse_pps(h.h, build_pps(p)), 0);
        EXPECT_EQ(h->pps_table[0].ref_count[0], 5);
        EXPECT_EQ(h->pps_table[0].init_qp, 31);
        EXPECT_EQ(h->reader.bit_pos, static_cast<int32_t>(build_pps(p).bit_length()));
    }
}

TEST(PicParamSet, EveryRefusalHasItsCodeAndMessage) {
    struct Case {
        int sps_profile;
        std::function<void(PpsSpec&)> set;
        int32_t code;
        std::string message;
    };
    auto tail = [](PpsSpec& p) { p.tail = true; };
    auto matrix = [](BitBuilder& b) { b.u(1, 1).u(6, 0); };   // six lists, none present
    auto matrix8 = [](BitBuilder& b) { b.u(1, 1).u(8, 0); };  // with the 8x8 lists
    const Case cases[] = {
        {0, [](PpsSpec& p) { p.pps_id = 256; }, -9, kTag + "pps_id is out of range[0, 255], the value is 256\n"},
        {0, [](PpsSpec& p) { p.sps_id = 32; }, -12, kTag + "sps_id is out of range[0, 31], the value is 32\n"},
        {0, [](PpsSpec& p) { p.slice_groups_minus1 = 128; }, -19, kTag + "slice_group_count is out of range\n"},
        {0, [](PpsSpec& p) { p.slice_groups_minus1 = 1, p.slice_group_map = [](BitBuilder& b) { b.ue(7); }; }, -19,
         kTag + "slice_group_map_type is out of range[0, 6], the value is 7\n"},
        {0, [](PpsSpec& p) { p.slice_groups_minus1 = 2, p.slice_group_map = [](BitBuilder& b) { b.ue(3); }; }, -19,
         kTag + "num_slice_groups_minus1 is not equal to 1, slice_group_map_type shall not be equal to 3,4,or 5\n"},
        // More map units than 511 x 511 macroblocks.
        {0,
         [](PpsSpec& p) {
             p.slice_groups_minus1 = 1;
             p.slice_group_map = [](BitBuilder& b) { b.ue(6).ue(261121); };
         },
         -19, kTag + "pic_size_in_map_units_minus1 is out of range\n"},
        {0, [](PpsSpec& p) { p.l0_minus1 = 31, p.l1_minus1 = 287; }, -19,
         kTag + "pps->ref_count[0] or pps->ref_count[1] are out of range[1, 32], the values are 32  288\n"},
        {0, [](PpsSpec& p) { p.l0_minus1 = 32; }, -19,
         kTag + "pps->ref_count[0] or pps->ref_count[1] are out of range[1, 32], the values are 33  1\n"},
        {0, [](PpsSpec& p) { p.l1_minus1 = 255; }, -19,
         kTag + "pps->ref_count[0] or pps->ref_count[1] are out of range[1, 32], the values are 1  256\n"},
        {0, [](PpsSpec& p) { p.weighted_bipred = 3; }, -19,
         kTag + "weighted_bipred_idc is out of range[0,2], the value is 3\n"},
        // Baseline.
        {66, [](PpsSpec& p) { p.slice_groups_minus1 = 1, p.slice_group_map = [](BitBuilder& b) { b.ue(1); }; }, 0, ""},
        {66, [](PpsSpec& p) { p.redundant = 1; }, 0, ""},
        {66, [](PpsSpec& p) { p.entropy = 1; }, -22, kTag + "CABAC is not valid for BASELINE\n" + kInvalid},
        {66, [](PpsSpec& p) { p.weighted_pred = 1; }, -22,
         kTag + "Weighted predition is invalid for BASELINE\n" + kInvalid},
        {66, [](PpsSpec& p) { p.weighted_bipred = 1; }, -22,
         kTag + "Weighted predition is invalid for BASELINE\n" + kInvalid},
        {66, [&](PpsSpec& p) { tail(p), p.transform_8x8 = 1; }, -22, kTag + "Invalid syntax for BASELINE\n" + kInvalid},
        {66, [&](PpsSpec& p) { tail(p), p.scaling = matrix; }, -22, kTag + "Invalid syntax for BASELINE\n" + kInvalid},
        {66, [&](PpsSpec& p) { tail(p), p.second_chroma_qp_offset = -1; }, -22,
         kTag + "Invalid syntax for BASELINE\n" + kInvalid},
        // Main.
        {77, [](PpsSpec& p) { p.entropy = 1, p.weighted_pred = 1, p.weighted_bipred = 2; }, 0, ""},
        {77, [&](PpsSpec& p) { tail(p); }, 0, ""},
        {77, [](PpsSpec& p) { p.slice_groups_minus1 = 1, p.slice_group_map = [](BitBuilder& b) { b.ue(1); }; }, -22,
         kTag + "Invalid num_slice_groups_minus1(1) for MAIN\n" + kInvalid},
        {77, [](PpsSpec& p) { p.redundant = 1; }, -22, kTag + "Invalid redundant_pic_cnt_present(1) for MAIN\n" + kInvalid},
        {77, [&](PpsSpec& p) { tail(p), p.second_chroma_qp_offset = 1; }, -22,
         kTag + "Invalid syntax for MAIN\n" + kInvalid},
        {77, [&](PpsSpec& p) { tail(p), p.transform_8x8 = 1; }, -22, kTag + "Invalid syntax for MAIN\n" + kInvalid},
        // High.
        {100, [&](PpsSpec& p) { tail(p), p.transform_8x8 = 1, p.scaling = matrix8, p.second_chroma_qp_offset = 3; }, 0,
         ""},
        {100, [](PpsSpec& p) { p.slice_groups_minus1 = 2, p.slice_group_map = [](BitBuilder& b) { b.ue(1); }; }, -22,
         kTag + "Invalid num_slice_groups_minus1(2) for HP\n" + kInvalid},
        {100, [](PpsSpec& p) { p.redundant = 1; }, -22, kTag + "Invalid redundant_pic_cnt_present(1) for HP\n" + kInvalid},
        // Other profiles, and an SPS not received yet (profile 0).
        {122, [](PpsSpec& p) { p.redundant = 1; }, 0, ""},
        {0, [&](PpsSpec& p) { p.entropy = 1, tail(p), p.transform_8x8 = 1; }, 0, ""},
    };
    int row = 0;
    for (const Case& c : cases) {
        Handle h;
        h->sps_table[0].profile_idc = c.sps_profile;
        PpsSpec p;
        c.set(p);
        StdoutCapture cap;
        EXPECT_EQ(parse_pps(h.h, build_pps(p)), c.code) << "row " << row;
        EXPECT_EQ(cap.take(), c.message) << "row " << row;
        ++row;
    }
}

TEST(PicParamSet, WhatAFailureLeavesBehind) {
    Handle h;
    const PpsSpec good{.pps_id = 4, .l0_minus1 = 3};
    ASSERT_EQ(parse_pps(h.h, build_pps(good)), 0);
    StdoutCapture cap;

    EXPECT_EQ(parse_pps(h.h, build_pps({.pps_id = 300, .l0_minus1 = 3})), -9);
    EXPECT_EQ(h->pps_table[4].ref_count[0], 4);  // untouched
    EXPECT_EQ(h->pps_table[4].valid, 1);

    EXPECT_EQ(parse_pps(h.h, build_pps({.pps_id = 4, .entropy = 1, .l0_minus1 = 3, .weighted_bipred = 3})), -19);
    EXPECT_EQ(h->pps_table[4].entropy_coding_mode_flag, 1);  // filled up to the failure
    EXPECT_EQ(h->pps_table[4].ref_count[0], 4);
    EXPECT_EQ(h->pps_table[4].valid, 0);

    // Refused by the profile: the entry is wiped, transform_8x8_mode kept.
    h->sps_table[0].profile_idc = 77;
    EXPECT_EQ(parse_pps(h.h, build_pps({.pps_id = 4, .l0_minus1 = 3, .tail = true, .transform_8x8 = 1})), -22);
    EXPECT_EQ(h->pps_table[4].ref_count[0], 0);
    EXPECT_EQ(h->pps_table[4].transform_8x8_mode_flag, 0);
    EXPECT_EQ(h->transform_8x8_mode, 1);
}

TEST(PicParamSet, EntropyFlagPastTheData) {
    // pps_id 63 (13 bits), sps_id 1 (3 bits) fill the two bytes; with one
    // syntax byte the flag lies past the reader's data and reads -1.
    Handle h;
    const Bytes bytes = kavrel_test::hex("02 02");
    kavrel::bit_reader_init(h->reader, bytes.data(), 2, 8);
    StdoutCapture cap;
    EXPECT_EQ(kavrel::decode_picture_parameter_set(h.h, 8), -19);
    EXPECT_EQ(cap.take(), kTag + "entropy_coding_mode_flag is out of range[0, 1], the value is -1\n");
    EXPECT_EQ(h->pps_table[63].sps_id, 1);
}

}  // namespace
