// Scaling matrices (ITU-T H.264 7.3.2.1.1.1, 7.4.2.1.1, Tables 7-2 to 7-4):
// the constant tables, one list's decoding, and fall-back rules A and B in
// the SPS and the PPS.
#include <gtest/gtest.h>

#include <vector>

#include "param_set_builders.h"
#include "params/standard_scaling.h"

using namespace params_test;
using namespace standard_scaling;

namespace {

List of(const uint8_t* p, int n) { return List(p, p + n); }
List flat(int n, int v) { return List(n, v); }

TEST(ScalingList, ConstantTablesFollowTheStandard) {
    EXPECT_EQ(of(kavrel::kZigzag4x4, 16), zigzag(4));
    EXPECT_EQ(of(kavrel::kZigzag8x8, 64), zigzag(8));
    EXPECT_EQ(of(kavrel::kDefault4x4Intra, 16), raster(kIntra4));
    EXPECT_EQ(of(kavrel::kDefault4x4Inter, 16), raster(kInter4));
    EXPECT_EQ(of(kavrel::kDefault8x8Intra, 64), raster(kIntra8));
    EXPECT_EQ(of(kavrel::kDefault8x8Inter, 64), raster(kInter8));
}

TEST(ScalingList, OneListFallsBackDefaultsWrapsAndRepeats) {
    BitBuilder b;
    b.u(1, 0);                                     // absent: the fall-back
    b.u(1, 1).se(-8);                              // next 0 at once: the default
    b.u(1, 1).se(8).se(127).se(127).se(-14);       // 16, 143, 270 mod 256 = 14, then 0: repeat 14
    Rbsp rbsp(b);
    Handle h;
    rbsp.point(h.h);
    const List fallback_scan = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const List fallback = raster(fallback_scan);
    uint8_t fb[16];
    for (int i = 0; i < 16; ++i) fb[i] = static_cast<uint8_t>(fallback[i]);
    uint8_t dest[16];
    int32_t present = -5;
    kavrel::Kavrel_decode_scaling_list(h.h, dest, 16, kavrel::kDefault4x4Intra, fb, &present);
    EXPECT_EQ(present, 0);
    EXPECT_EQ(of(dest, 16), fallback);
    kavrel::Kavrel_decode_scaling_list(h.h, dest, 16, kavrel::kDefault4x4Intra, fb, &present);
    EXPECT_EQ(present, 1);
    EXPECT_EQ(of(dest, 16), raster(kIntra4));
    kavrel::Kavrel_decode_scaling_list(h.h, dest, 16, kavrel::kDefault4x4Intra, fb, &present);
    List expected = flat(16, 14);
    expected[0] = 16;
    expected[1] = 143;
    EXPECT_EQ(of(dest, 16), raster(expected));
    EXPECT_EQ(h->reader.bit_pos, rbsp.bit_count);
}

TEST(ScalingList, FallbackRulesInSpsAndPps) {
    Handle h;
    SpsSpec s;
    s.profile_idc = 100;
    s.scaling = [](BitBuilder& b) {
        b.u(1, 1);
        b.u(1, 1).se(8);
        for (int k = 1; k < 16; ++k) b.se(0);  // list 0: flat 16
        b.u(1, 0);                             // list 1: list 0
        b.u(1, 1).se(-8);                      // list 2: default intra
        b.u(1, 1).se(4).se(-12);               // list 3: flat 12
        b.u(1, 0);                             // list 4: list 3
        b.u(1, 1).se(2).se(-10);               // list 5: flat 10
        b.u(1, 0);                             // list 6: default 8x8 intra
        b.u(1, 1).se(12).se(-20);              // list 7: flat 20
    };
    ASSERT_EQ(parse_sps(h.h, build_sps(s)), 0);
    const kavrel::SeqParamSet& sps = h->sps_table[0];
    EXPECT_EQ(sps.seq_scaling_matrix_present_flag, 1);
    const std::vector<List> sps4 = {flat(16, 16), flat(16, 16), raster(kIntra4), flat(16, 12), flat(16, 12),
                                    flat(16, 10)};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(of(sps.scaling_list_4x4[i], 16), sps4[i]) << i;
    EXPECT_EQ(of(sps.scaling_list_8x8[0], 64), raster(kIntra8));
    EXPECT_EQ(of(sps.scaling_list_8x8[1], 64), flat(64, 20));
    const List sps_flags = {1, 0, 1, 1, 0, 1, 0, 1};
    EXPECT_EQ(List(sps.scaling_list_present_flag, sps.scaling_list_present_flag + 8), sps_flags);

    // An SPS without a matrix keeps all-zero lists.
    s.id = 1;
    s.scaling = [](BitBuilder& b) { b.u(1, 0); };
    ASSERT_EQ(parse_sps(h.h, build_sps(s)), 0);
    EXPECT_EQ(of(h->sps_table[1].scaling_list_8x8[1], 64), flat(64, 0));

    // Rule B: a PPS without a matrix takes the SPS's lists.
    PpsSpec p;
    p.tail = true;
    p.transform_8x8 = 1;
    p.second_chroma_qp_offset = 4;
    ASSERT_EQ(parse_pps(h.h, build_pps(p)), 0);
    EXPECT_EQ(h->pps_table[0].pic_scaling_matrix_present_flag, 0);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(of(h->pps_table[0].scaling_list_4x4[i], 16), sps4[i]) << i;
    EXPECT_EQ(of(h->pps_table[0].scaling_list_8x8[1], 64), flat(64, 20));

    // Rule B with a matrix: absent lists 0, 3, 6, 7 take the SPS's.
    p.scaling = [](BitBuilder& b) { b.u(1, 1).u(1, 0).u(1, 1).se(1).se(-9).u(6, 0); };
    ASSERT_EQ(parse_pps(h.h, build_pps(p)), 0);
    const kavrel::PicParamSet& pps = h->pps_table[0];
    const std::vector<List> pps4 = {flat(16, 16), flat(16, 9), flat(16, 9), flat(16, 12), flat(16, 12),
                                    flat(16, 12)};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(of(pps.scaling_list_4x4[i], 16), pps4[i]) << i;
    EXPECT_EQ(of(pps.scaling_list_8x8[0], 64), raster(kIntra8));
    EXPECT_EQ(of(pps.scaling_list_8x8[1], 64), flat(64, 20));
    EXPECT_EQ(pps.second_chroma_qp_index_offset, 4);
    // The PPS's per-list flags are its own; the SPS keeps what it read.
    EXPECT_EQ(List(pps.scaling_list_present_flag, pps.scaling_list_present_flag + 8), List({0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(List(sps.scaling_list_present_flag, sps.scaling_list_present_flag + 8), sps_flags);

    // Without transform_8x8_mode_flag only six lists are read.
    p.transform_8x8 = 0;
    p.second_chroma_qp_offset = -3;
    p.scaling = [](BitBuilder& b) { b.u(1, 1).u(6, 0); };
    ASSERT_EQ(parse_pps(h.h, build_pps(p)), 0);
    EXPECT_EQ(h->pps_table[0].second_chroma_qp_index_offset, -3);
    EXPECT_EQ(of(h->pps_table[0].scaling_list_8x8[0], 64), flat(64, 0));

    // Rule A: on an SPS without a matrix, absent lists are the defaults.
    p.sps_id = 1;
    p.transform_8x8 = 1;
    p.scaling = [](BitBuilder& b) { b.u(1, 1).u(8, 0); };
    ASSERT_EQ(parse_pps(h.h, build_pps(p)), 0);
    EXPECT_EQ(of(h->pps_table[0].scaling_list_4x4[2], 16), raster(kIntra4));
    EXPECT_EQ(of(h->pps_table[0].scaling_list_4x4[5], 16), raster(kInter4));
    EXPECT_EQ(of(h->pps_table[0].scaling_list_8x8[1], 64), raster(kInter8));
}

}  // namespace
