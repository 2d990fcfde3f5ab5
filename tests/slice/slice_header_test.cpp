// Slice header (ITU-T H.264 clause 7.3.3): members, ranges and codes, the
// switch of the active parameter sets, and frame_num continuity.
#include "slice/slice_fixture.h"

namespace slice_test {
namespace {

constexpr char kTag[] = "[VsKavrel]:";

std::string msg(const std::string& text) { return kTag + text; }

TEST_F(SliceTest, IdrIntraSliceFillsTheMembersAndReadsEveryBit) {
    pps(0).deblocking_filter_control_present_flag = 1;
    h->slice.prev_frame_num = 9;  // an IDR frame resets it
    Slice s;
    s.slice_type = 7;  // I, all slices of the picture alike: same as 2
    s.idr_pic_id = 3;
    s.poc_lsb = 63;
    s.qp_delta = -4;
    s.deblocking_idc = 0;
    s.alpha_div2 = -3;
    s.beta_div2 = 6;
    const Parsed r = parse(s, 5, 3);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.log, "");
    EXPECT_EQ(r.bit_pos, r.bit_count);
    const kavrel::SliceHeader& m = h->slice;
    EXPECT_EQ(m.pic_type, 1);
    EXPECT_EQ(m.parity_pic_type[1], 1);
    EXPECT_EQ(m.prev_frame_num, 0);
    EXPECT_EQ(m.prev_nal_ref_idc, 3);
    EXPECT_EQ(m.picture_structure, 3);
    EXPECT_EQ(m.pic_order_cnt_lsb, 63);
    EXPECT_EQ(m.qp, 22);
    EXPECT_EQ(m.deblocking_mode, 1);  // idc 0: filter on
    EXPECT_EQ(m.slice_alpha_c0_offset, -6);
    EXPECT_EQ(m.slice_beta_offset, 12);

    // slice_type 8 (SP) and 9 (SI) are refused, naming the mapped type.
    s.slice_type = 8;
    Parsed sp = parse(s, 1, 2);
    EXPECT_EQ(sp.rc, -4);
    EXPECT_EQ(sp.log, msg("slice_type(6) not supported\n"));
    s.slice_type = 9;
    sp = parse(s, 1, 2);
    EXPECT_EQ(sp.rc, -4);
    EXPECT_EQ(sp.log, msg("slice_type(5) not supported\n"));
}

TEST_F(SliceTest, HeadOfTheHeaderIsRangeChecked) {
    // 16 leading zeros: a code without a value.
    BitBuilder no_value;
    no_value.u(16, 0).u(17, 1);
    Parsed r = parse_bits(no_value, 1, 2);
    EXPECT_EQ(r.rc, -18);
    EXPECT_EQ(r.log, msg("first_mb_in_slice is out of range, the value is -1\n"));

    BitBuilder b;
    b.ue(0).ue(10);
    r = parse_bits(b, 1, 2);
    EXPECT_EQ(r.rc, -6);
    EXPECT_EQ(r.log, msg("slice_type is out of range [0, 9], the value is 10\n"));

    // An IDR unit may carry only I slices; this is tested before SI/SP.
    for (uint32_t type : {0u, 1u, 4u}) {
        Slice s;
        s.slice_type = type;
        r = parse(s, 5, 3);
        EXPECT_EQ(r.rc, -5) << type;
        EXPECT_EQ(r.log, msg("IDR Nal containing Non-IDR slice\n"));
    }

    BitBuilder big;
    big.ue(0).ue(2).ue(256);
    r = parse_bits(big, 1, 2);
    EXPECT_EQ(r.rc, -9);
    EXPECT_EQ(r.log, msg("pps_id out of range[0, 255], the value is 256\n"));

    BitBuilder unknown;  // pps_id 255: in range, but never received
    unknown.ue(0).ue(2).ue(255);
    r = parse_bits(unknown, 1, 2);
    EXPECT_EQ(r.rc, -3);
    EXPECT_EQ(r.log, msg("PPS referenced in slice header is invalid\n"));
}

TEST_F(SliceTest, TheSliceSwitchesTheActiveParameterSets) {
    // SPS 5 with log2_max_frame_num 8, PPS 7 referring to it.
    sps(5) = sps(0);
    sps(5).log2_max_frame_num = 8;
    sps(5).max_ref_frame_count = 4;
    pps(7) = pps(0);
    pps(7).sps_id = 5;
    pps(7).init_qp = 30;
    Slice s;
    s.pps_id = 7;
    s.frame_num = 200;  // needs the 8 bits of SPS 5
    s.qp_delta = 1;
    Parsed r = parse(s, 1, 2);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.bit_pos, r.bit_count);
    EXPECT_EQ(h->slice.frame_num, 200);
    EXPECT_EQ(h->slice.qp, 31);
    EXPECT_EQ(h->active_sps.max_ref_frame_count, 4);
    EXPECT_EQ(h->active_pps.pps_id, 7);
    EXPECT_EQ(pps(7).pps_id, 7);

    // Back to PPS 0 / SPS 0.
    r = parse(Slice{}, 1, 2);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(h->active_sps.max_ref_frame_count, 2);

    // A PPS whose SPS is gone: the active pair stays as it was.
    pps(9) = pps(0);
    pps(9).sps_id = 3;
    pps(9).init_qp = 40;
    BitBuilder b;
    b.ue(0).ue(2).ue(9);
    r = parse_bits(b, 1, 2);
    EXPECT_EQ(r.rc, -8);
    EXPECT_EQ(r.log, msg("non existing SPS referenced\n\n"));
    EXPECT_NE(h->active_pps.init_qp, 40);
    EXPECT_EQ(h->active_sps.valid, 1);
    EXPECT_EQ(h->active_sps.max_ref_frame_count, 2);
}

TEST_F(SliceTest, InitialQpIsTestedOnlyAfterAHighProfileSet) {
    pps(0).init_qp = -14;  // pic_init_qp_minus26 = -40
    Slice s;
    s.qp_delta = 0;
    Parsed r = parse(s, 1, 2);  // Main profile: passes the PPS test, fails the slice QP
    EXPECT_EQ(r.rc, -2);
    EXPECT_EQ(r.log, msg("QP out of range [0, 51], the value is -14\n"));
    s.qp_delta = 20;
    r = parse(s, 1, 2);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(h->slice.qp, 6);

    h->last_sps_profile_idc = 100;  // the latest SPS of any id decides
    r = parse(s, 1, 2);
    EXPECT_EQ(r.rc, -19);
    EXPECT_EQ(r.log, msg("the init_qp or init_qs is out of range: -14,26\n"));

    // 10-bit luma widens the lower bound to -12.
    sps(0).bit_depth_luma_minus8 = 2;
    pps(0).init_qp = -12;
    s.qp_delta = 12;
    r = parse(s, 1, 2);
    EXPECT_EQ(r.rc, 1);
    pps(0).init_qp = -13;
    EXPECT_EQ(parse(s, 1, 2).rc, -19);
    pps(0).init_qp = 26;
    pps(0).init_qs = 52;
    r = parse(s, 1, 2);
    EXPECT_EQ(r.rc, -19);
    EXPECT_EQ(r.log, msg("the init_qp or init_qs is out of range: 26,52\n"));

    pps(0).init_qs = 26;
    pps(0).chroma_qp_index_offset = -13;
    r = parse(s, 1, 2);
    EXPECT_EQ(r.rc, -19);
    EXPECT_EQ(r.log, msg("the chroma_qp_index_offset is out of range:-13\n"));
    pps(0).chroma_qp_index_offset = 12;
    s.qp_delta = 25;
    r = parse(s, 1, 2);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(h->slice.qp, 51);
    s.qp_delta = 26;
    r = parse(s, 1, 2);
    EXPECT_EQ(r.rc, -2);
    EXPECT_EQ(r.log, msg("QP out of range [0, 51], the value is 52\n"));
}

// log2_max_frame_num 4: MaxFrameNum - 1 = 15.
TEST_F(SliceTest, FrameNumContinuityBetweenReferencePictures) {
    const auto ref_frame = [&](uint32_t frame_num) {
        Slice s;
        s.frame_num = frame_num;
        return parse(s, 1, 2).rc;  // a reference I frame: never checked itself
    };
    // After frame_num 15 only 0 may follow.
    ASSERT_EQ(ref_frame(15), 1);
    EXPECT_EQ(parse(p_slice(0)).rc, 2);
    ASSERT_EQ(ref_frame(15), 1);
    Parsed r = parse(p_slice(1));
    EXPECT_EQ(r.rc, -16);
    EXPECT_EQ(r.log, msg("ERROR: frame_num start from 1, prev_frame_num(15)\n"));

    // After 5: 5, 6 and 0 pass; 7 and 3 are refused.
    for (uint32_t next : {5u, 6u, 0u}) {
        ASSERT_EQ(ref_frame(5), 1);
        EXPECT_EQ(parse(p_slice(next)).rc, 2) << next;
    }
    for (uint32_t next : {7u, 3u}) {
        ASSERT_EQ(ref_frame(5), 1);
        r = parse(p_slice(next));
        EXPECT_EQ(r.rc, -16) << next;
        EXPECT_EQ(r.log, msg("ERROR: frame_num start from " + std::to_string(next) + ", prev_frame_num(5)\n"));
    }

    // A B slice is held to the same rule.
    ASSERT_EQ(ref_frame(5), 1);
    Slice b;
    b.slice_type = 6;
    b.frame_num = 9;
    EXPECT_EQ(parse(b, 1, 0).rc, -16);
}

TEST_F(SliceTest, FrameNumContinuityFollowsOnlyReferencePictures) {
    // Reference 5, then a non-reference B with 6, then a P with 6: the P
    // is measured against 5, not 6.
    Slice i5;
    i5.frame_num = 5;
    ASSERT_EQ(parse(i5, 1, 2).rc, 1);
    Slice b6;
    b6.slice_type = 1;
    b6.frame_num = 6;
    ASSERT_EQ(parse(b6, 1, 0).rc, 3);
    ASSERT_EQ(parse(p_slice(6), 1, 2).rc, 2);
    EXPECT_EQ(h->slice.prev_frame_num, 5);
    // The P with 6 was a reference: 7 follows it.
    EXPECT_EQ(parse(p_slice(7), 1, 2).rc, 2);
    EXPECT_EQ(h->slice.prev_frame_num, 6);

    // A second slice of a picture (first_mb_in_slice > 0) is measured
    // against the same prev_frame_num as the first.
    Slice second = p_slice(7);
    second.first_mb = 40;
    EXPECT_EQ(parse(second, 1, 2).rc, 2);
    EXPECT_EQ(h->slice.prev_frame_num, 6);
    Slice stray = p_slice(8);
    stray.first_mb = 80;  // still measured against 6: 8 is a jump of two
    EXPECT_EQ(parse(stray, 1, 2).rc, -16);
}

TEST_F(SliceTest, FrameNumAtTheStartOfAStreamAndItsExemptions) {
    // A fresh handle: prev_frame_num 0, prev_nal_ref_idc 0.
    Parsed r = parse(p_slice(7));
    EXPECT_EQ(r.rc, -16);
    EXPECT_EQ(r.log, msg("ERROR: frame_num start from 7, prev_frame_num(0)\n"));

    h->slice = kavrel::SliceHeader{};
    Slice i7;
    i7.frame_num = 7;
    EXPECT_EQ(parse(i7, 1, 1).rc, 1);  // non-IDR I: no check
    EXPECT_EQ(parse(p_slice(8), 1, 1).rc, 2);

    // IDR frames must start at 0; IDR fields are not checked.
    Slice idr;
    idr.frame_num = 3;
    r = parse(idr, 5, 3);
    EXPECT_EQ(r.rc, -16);
    EXPECT_EQ(r.log, msg("ERROR: IDR frame_num start with 3\n"));
    sps(0).frame_mbs_only_flag = 0;
    idr.structure = 1;
    r = parse(idr, 5, 3);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.log, "");

    // Gaps allowed: nothing is checked.
    sps(0).frame_mbs_only_flag = 1;
    sps(0).gaps_in_frame_num_value_allowed_flag = 1;
    Slice i2;
    i2.frame_num = 2;
    ASSERT_EQ(parse(i2, 1, 2).rc, 1);
    EXPECT_EQ(parse(p_slice(11)).rc, 2);
    EXPECT_EQ(parse(p_slice(1)).rc, 2);

    // A prev_frame_num above MaxFrameNum - 1, left by a set with a longer
    // frame_num, lets everything pass.
    sps(0).gaps_in_frame_num_value_allowed_flag = 0;
    h->slice.prev_frame_num = 200;
    h->slice.prev_nal_ref_idc = 0;
    EXPECT_EQ(parse(p_slice(9)).rc, 2);
}

TEST_F(SliceTest, PictureOrderCountDeltasKeepTheirFullValues) {
    pps(0).bottom_field_pic_order_in_frame_present_flag = 1;
    Slice s;
    s.poc_lsb = 17;
    s.delta_poc_bottom = -100000;  // beyond 16 bits
    Parsed r = parse(s, 1, 2);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.bit_pos, r.bit_count);
    EXPECT_EQ(h->slice.pic_order_cnt_lsb, 17);
    EXPECT_EQ(h->slice.delta_pic_order_cnt_bottom, -100000);

    sps(0).pic_order_cnt_type = 1;
    s.delta_poc[0] = 70000;   // beyond 16 bits: a code with 17 leading zeros
    s.delta_poc[1] = -300;    // beyond 8 bits
    r = parse(s, 1, 2);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.bit_pos, r.bit_count);
    EXPECT_EQ(h->slice.delta_pic_order_cnt[0], 70000);
    EXPECT_EQ(h->slice.delta_pic_order_cnt[1], -300);
    s.delta_poc[0] = -8000000;  // 24 leading zeros
    s.delta_poc[1] = 8000000;
    r = parse(s, 1, 2);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.bit_pos, r.bit_count);
    EXPECT_EQ(h->slice.delta_pic_order_cnt[0], -8000000);
    EXPECT_EQ(h->slice.delta_pic_order_cnt[1], 8000000);

    // delta_pic_order_always_zero_flag: nothing read.
    sps(0).delta_pic_order_always_zero_flag = 1;
    r = parse(s, 1, 2);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.bit_pos, r.bit_count);

    // A header that ends inside a 16-bit frame_num: pic_order_cnt_lsb lies
    // wholly past the data.
    sps(0).pic_order_cnt_type = 0;
    sps(0).log2_max_frame_num = 16;
    rbsp = kavrel_test::hex("b8");  // 1 011 1 000: first_mb 0, I, PPS 0, then frame_num
    h->nal_unit_type = 1;
    h->nal_ref_idc = 2;
    kavrel::bit_reader_init(h->reader, rbsp.data(), 1, 8);
    kavrel_test::StdoutCapture cap;
    EXPECT_EQ(kavrel::decode_slice_header(h), -18);
    EXPECT_EQ(cap.take(), msg("pic_order_cnt_lsb shall be in the range of [0, MaxPicOrderCntLsb-1]\n"));
}

TEST_F(SliceTest, RedundantPictureCountAndReferenceCounts) {
    pps(0).redundant_pic_cnt_present_flag = 1;
    Slice s;
    s.redundant_pic_cnt = 127;
    EXPECT_EQ(parse(s, 1, 2).rc, 1);
    s.redundant_pic_cnt = 128;
    Parsed r = parse(s, 1, 2);
    EXPECT_EQ(r.rc, -18);
    EXPECT_EQ(r.log, msg("redundant_pic_cnt shall be in the range of [0, 127]\n"));
    pps(0).redundant_pic_cnt_present_flag = 0;

    // An override count of 33 is refused; a P slice reads no list-1 count
    // and reports the PPS's.
    pps(0).ref_count[1] = 2;
    Slice i0;
    ASSERT_EQ(parse(i0, 5, 3).rc, 1);
    Slice p = p_slice(1);
    p.override_counts = true;
    p.l0_minus1 = 32;
    r = parse(p);
    EXPECT_EQ(r.rc, -18);
    EXPECT_EQ(r.log, msg("h->ref_count[0] or h->ref_count[1] are out of range[1, 32], the values are 33  2\n"));
    Slice b;
    b.slice_type = 1;
    b.frame_num = 2;
    b.override_counts = true;
    b.l0_minus1 = 4;
    b.l1_minus1 = 40;
    r = parse(b, 1, 0);
    EXPECT_EQ(r.rc, -18);
    EXPECT_EQ(r.log, msg("h->ref_count[0] or h->ref_count[1] are out of range[1, 32], the values are 5  41\n"));
}

TEST_F(SliceTest, CabacInitAndDeblockingFields) {
    pps(0).entropy_coding_mode_flag = 1;
    pps(0).deblocking_filter_control_present_flag = 1;
    Slice i0;
    ASSERT_EQ(parse(i0, 5, 3).rc, 1);  // an I slice reads no cabac_init_idc
    Slice p = p_slice(1);
    p.cabac_init_idc = 3;
    Parsed r = parse(p);
    EXPECT_EQ(r.rc, -18);
    EXPECT_EQ(r.log, msg("the cabac_init_idc is out of range [0,2], which is 3\n"));
    p.cabac_init_idc = 255;  // kept in 8 bits: -1 as a signed value
    r = parse(p);
    EXPECT_EQ(r.rc, -18);
    EXPECT_EQ(r.log, msg("the cabac_init_idc is out of range [0,2], which is -1\n"));
    p.cabac_init_idc = 0;

    // idc 1: filter off, no offsets read, offsets cleared.
    h->slice.slice_alpha_c0_offset = 4;
    p.deblocking_idc = 1;
    r = parse(p);
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.bit_pos, r.bit_count);
    EXPECT_EQ(h->slice.deblocking_mode, 0);
    EXPECT_EQ(h->slice.slice_alpha_c0_offset, 0);
    // idc 2: on except across slice edges, offsets read.
    p.deblocking_idc = 2;
    p.alpha_div2 = 6;
    p.beta_div2 = -6;
    r = parse(p);
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.bit_pos, r.bit_count);
    EXPECT_EQ(h->slice.deblocking_mode, 2);
    EXPECT_EQ(h->slice.slice_alpha_c0_offset, 12);
    EXPECT_EQ(h->slice.slice_beta_offset, -12);
    p.alpha_div2 = 7;
    r = parse(p);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.log, msg("Invalid slice_alpha_c0_offset(14), slice_beta_offset(-12)\n"));
    p.deblocking_idc = 3;
    r = parse(p);
    EXPECT_EQ(r.rc, -18);
    EXPECT_EQ(r.log, msg("deblocking_filter_idc is 3 out of range[0,2]\n"));

    // Without the PPS flag: filter on, offsets 0, nothing read.
    pps(0).deblocking_filter_control_present_flag = 0;
    r = parse(p);
    EXPECT_EQ(r.bit_pos, r.bit_count);
    EXPECT_EQ(h->slice.deblocking_mode, 1);
    EXPECT_EQ(h->slice.slice_alpha_c0_offset, 0);
}

TEST_F(SliceTest, InnerStructuresAreReadInOrderAndTheirFaultsOnlyReported) {
    // P with weighted prediction and two references.
    pps(0).weighted_pred_flag = 1;
    pps(0).ref_count[0] = 2;
    Slice i0;
    ASSERT_EQ(parse(i0, 5, 3).rc, 1);
    Slice p = p_slice(1);
    Parsed r;
    // A luma weight of 128 in the last entry breaks the table: a message,
    // and the header goes on from where the reader stopped (after the luma
    // offset, before the chroma flag, which is left out here so that the
    // rest of the header is read in step).
    p.structures = [](BitBuilder& b) {
        b.flag(false);
        b.ue(0).ue(0);
        b.flag(false).flag(false);           // ref 0
        b.flag(true).se(128).se(0);          // ref 1: weight out of range
        b.flag(false);                       // adaptive_ref_pic_marking_mode_flag
    };
    p.qp_delta = -5;
    r = parse(p);
    EXPECT_EQ(r.log, msg("luma_weight_l0[i] or luma_offset_l0[i] shall be in the range of[-128, 127]\n"));
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.bit_pos, r.bit_count);
    EXPECT_EQ(h->slice.qp, 21);

    // B with weighted_bipred_idc 1: denominators once, list 0 then list 1.
    pps(0).weighted_bipred_idc = 1;
    pps(0).ref_count[1] = 1;
    Slice b;
    b.slice_type = 1;
    b.frame_num = 2;
    b.structures = [](BitBuilder& bb) {
        bb.flag(false).flag(false);            // no reordering in either list
        bb.ue(2).ue(3);                         // denominators
        bb.flag(false).flag(false);            // list 0, ref 0
        bb.flag(false).flag(true).se(64).se(0).se(64).se(0);  // list 0, ref 1
        bb.flag(true).se(32).se(-5).flag(false);              // list 1, ref 0
    };
    r = parse(b, 1, 0);  // non-reference: no marking
    EXPECT_EQ(r.rc, 3);
    EXPECT_EQ(r.log, "");
    EXPECT_EQ(r.bit_pos, r.bit_count);

    // weighted_bipred_idc 2 (implicit): no table.
    pps(0).weighted_bipred_idc = 2;
    b.structures = [](BitBuilder& bb) { bb.flag(false).flag(false); };
    r = parse(b, 1, 0);
    EXPECT_EQ(r.rc, 3);
    EXPECT_EQ(r.bit_pos, r.bit_count);
}

}  // namespace
}  // namespace slice_test
