// Slice header (ITU-T H.264 clause 7.3.3): members, ranges and codes, the
// switch of the active parameter sets, and frame_num continuity.
#include "slice/slice_fixture.h"

namespace slice_test {
namespace {

TEST_F(SliceTest, IdrIntraSliceFillsTheMembersAndReadsEveryBit) {
    pps(0).deblocking_filter_control_present_flag = 1;
    h->slice.prev_frame_num = 9;  // an IDR frame resets it
    // slice_type 7: I, all slices of the picture alike, same as 2.
    const Parsed r = parse({.slice_type = 7, .idr_pic_id = 3, .poc_lsb = 63, .qp_delta = -4, .deblocking_idc = 0,
                            .alpha_div2 = -3, .beta_div2 = 6},
                           5, 3);
    EXPECT_EQ(r.said(), "1 ");
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
}

TEST_F(SliceTest, RefusalsOfTheHeadOfTheHeader) {
    // 16 leading zeros: a code without a value.
    EXPECT_EQ(parse_bits(BitBuilder().u(16, 0).u(17, 1), 1, 2).said(),
              "-18 " + msg("first_mb_in_slice is out of range, the value is -1\n"));
    EXPECT_EQ(parse_bits(BitBuilder().ue(0).ue(10), 1, 2).said(),
              "-6 " + msg("slice_type is out of range [0, 9], the value is 10\n"));
    EXPECT_EQ(parse_bits(BitBuilder().ue(0).ue(2).ue(256), 1, 2).said(),
              "-9 " + msg("pps_id out of range[0, 255], the value is 256\n"));
    // pps_id 255: in range, but never received.
    EXPECT_EQ(parse_bits(BitBuilder().ue(0).ue(2).ue(255), 1, 2).said(),
              "-3 " + msg("PPS referenced in slice header is invalid\n"));
    // An IDR unit may carry only I slices, tested before SI/SP; those are
    // refused naming the mapped type.
    const struct {
        uint32_t slice_type;
        int nal_unit_type;
        std::string said;
    } cases[] = {
        {0, 5, "-5 " + msg("IDR Nal containing Non-IDR slice\n")},
        {1, 5, "-5 " + msg("IDR Nal containing Non-IDR slice\n")},
        {4, 5, "-5 " + msg("IDR Nal containing Non-IDR slice\n")},
        {8, 1, "-4 " + msg("slice_type(6) not supported\n")},
        {9, 1, "-4 " + msg("slice_type(5) not supported\n")},
    };
    for (const auto& c : cases) EXPECT_EQ(parse({.slice_type = c.slice_type}, c.nal_unit_type, 3).said(), c.said);
}

TEST_F(SliceTest, TheSliceSwitchesTheActiveParameterSets) {
    // SPS 5 with log2_max_frame_num 8, PPS 7 referring to it.
    sps(5) = sps(0);
    sps(5).log2_max_frame_num = 8;
    sps(5).max_ref_frame_count = 4;
    pps(7) = pps(0);
    pps(7).sps_id = 5;
    pps(7).init_qp = 30;
    const Parsed r = parse({.pps_id = 7, .frame_num = 200, .qp_delta = 1});  // frame_num needs the 8 bits of SPS 5
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.bit_pos, r.bit_count);
    EXPECT_EQ(h->slice.frame_num, 200);
    EXPECT_EQ(h->slice.qp, 31);
    EXPECT_EQ(h->active_sps.max_ref_frame_count, 4);
    EXPECT_EQ(h->active_pps.pps_id, 7);
    EXPECT_EQ(pps(7).pps_id, 7);

    // Back to PPS 0 / SPS 0.
    EXPECT_EQ(parse({}).rc, 1);
    EXPECT_EQ(h->active_sps.max_ref_frame_count, 2);

    // A PPS whose SPS is gone: the active pair stays as it was.
    pps(9) = pps(0);
    pps(9).sps_id = 3;
    pps(9).init_qp = 40;
    EXPECT_EQ(parse_bits(BitBuilder().ue(0).ue(2).ue(9), 1, 2).said(), "-8 " + msg("non existing SPS referenced\n\n"));
    EXPECT_NE(h->active_pps.init_qp, 40);
    EXPECT_EQ(h->active_sps.valid, 1);
    EXPECT_EQ(h->active_sps.max_ref_frame_count, 2);
}

TEST_F(SliceTest, InitialQpIsTestedOnlyAfterAHighProfileSet) {
    // Each row changes the sets, then parses an I slice with its QP delta.
    const struct {
        std::function<void(ParserHandle*)> set;
        int32_t qp_delta;
        std::string said;
        int qp;  // SliceQP when the slice passes
    } steps[] = {
        // init_qp -14 (pic_init_qp_minus26 -40) after a Main profile set
        // passes the PPS test and fails the slice QP, unless the delta helps.
        {[](ParserHandle* p) { p->pps_table[0].init_qp = -14; }, 0,
         "-2 " + msg("QP out of range [0, 51], the value is -14\n"), 0},
        {[](ParserHandle*) {}, 20, "1 ", 6},
        // The latest SPS of any id decides.
        {[](ParserHandle* p) { p->last_sps_profile_idc = 100; }, 20,
         "-19 " + msg("the init_qp or init_qs is out of range: -14,26\n"), 0},
        // 10-bit luma widens the lower bound to -12.
        {[](ParserHandle* p) { p->sps_table[0].bit_depth_luma_minus8 = 2, p->pps_table[0].init_qp = -12; }, 12, "1 ", 0},
        {[](ParserHandle* p) { p->pps_table[0].init_qp = -13; }, 12,
         "-19 " + msg("the init_qp or init_qs is out of range: -13,26\n"), 0},
        {[](ParserHandle* p) { p->pps_table[0].init_qp = 26, p->pps_table[0].init_qs = 52; }, 12,
         "-19 " + msg("the init_qp or init_qs is out of range: 26,52\n"), 0},
        {[](ParserHandle* p) { p->pps_table[0].init_qs = 26, p->pps_table[0].chroma_qp_index_offset = -13; }, 12,
         "-19 " + msg("the chroma_qp_index_offset is out of range:-13\n"), 0},
        {[](ParserHandle* p) { p->pps_table[0].chroma_qp_index_offset = 12; }, 25, "1 ", 51},
        {[](ParserHandle*) {}, 26, "-2 " + msg("QP out of range [0, 51], the value is 52\n"), 0},
    };
    int row = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(row++);
        step.set(h);
        EXPECT_EQ(parse({.qp_delta = step.qp_delta}).said(), step.said);
        if (step.qp) {
            EXPECT_EQ(h->slice.qp, step.qp);
        }
    }
}

// log2_max_frame_num 4: MaxFrameNum - 1 = 15.
TEST_F(SliceTest, FrameNumContinuityBetweenReferencePictures) {
    // After a reference I frame with frame_num `prev` (never checked
    // itself), a P slice with `next`: after 15 only 0 may follow; after 5,
    // 5, 6 and 0 pass and 7, 3 and 1 are refused.
    const std::pair<uint32_t, uint32_t> passes[] = {{15, 0}, {5, 5}, {5, 6}, {5, 0}};
    const std::pair<uint32_t, uint32_t> refused[] = {{15, 1}, {5, 7}, {5, 3}, {5, 1}};
    for (const auto& [prev, next] : passes) {
        ASSERT_EQ(parse({.frame_num = prev}).rc, 1);
        EXPECT_EQ(parse(p_slice(next)).rc, 2) << prev << " -> " << next;
    }
    for (const auto& [prev, next] : refused) {
        ASSERT_EQ(parse({.frame_num = prev}).rc, 1);
        EXPECT_EQ(parse(p_slice(next)).said(), "-16 " + msg("ERROR: frame_num start from " + std::to_string(next) +
                                                            ", prev_frame_num(" + std::to_string(prev) + ")\n"));
    }
    // A B slice is held to the same rule.
    ASSERT_EQ(parse({.frame_num = 5}).rc, 1);
    EXPECT_EQ(parse({.slice_type = 6, .frame_num = 9}, 1, 0).rc, -16);
}

TEST_F(SliceTest, FrameNumContinuityFollowsOnlyReferencePictures) {
    // Reference 5, then a non-reference B with 6, then a P with 6: the P
    // is measured against 5, not 6.
    ASSERT_EQ(parse({.frame_num = 5}).rc, 1);
    ASSERT_EQ(parse({.slice_type = 1, .frame_num = 6}, 1, 0).rc, 3);
    ASSERT_EQ(parse(p_slice(6)).rc, 2);
    EXPECT_EQ(h->slice.prev_frame_num, 5);
    // The P with 6 was a reference: 7 follows it.
    EXPECT_EQ(parse(p_slice(7)).rc, 2);
    EXPECT_EQ(h->slice.prev_frame_num, 6);
    // A second slice of a picture (first_mb_in_slice > 0) is measured
    // against the same prev_frame_num as the first; 8 is a jump of two.
    EXPECT_EQ(parse({.first_mb = 40, .slice_type = 5, .frame_num = 7}).rc, 2);
    EXPECT_EQ(h->slice.prev_frame_num, 6);
    EXPECT_EQ(parse({.first_mb = 80, .slice_type = 5, .frame_num = 8}).rc, -16);
}

TEST_F(SliceTest, FrameNumAtTheStartOfAStreamAndItsExemptions) {
    // A fresh handle: prev_frame_num 0, prev_nal_ref_idc 0.
    EXPECT_EQ(parse(p_slice(7)).said(), "-16 " + msg("ERROR: frame_num start from 7, prev_frame_num(0)\n"));
    h->slice = kavrel::SliceHeader{};
    EXPECT_EQ(parse({.frame_num = 7}, 1, 1).rc, 1);  // non-IDR I: no check
    EXPECT_EQ(parse(p_slice(8), 1, 1).rc, 2);

    // IDR frames must start at 0; IDR fields are not checked.
    EXPECT_EQ(parse({.frame_num = 3}, 5, 3).said(), "-16 " + msg("ERROR: IDR frame_num start with 3\n"));
    sps(0).frame_mbs_only_flag = 0;
    EXPECT_EQ(parse({.frame_num = 3, .structure = 1}, 5, 3).said(), "1 ");

    // Gaps allowed: nothing is checked.
    sps(0).frame_mbs_only_flag = 1;
    sps(0).gaps_in_frame_num_value_allowed_flag = 1;
    ASSERT_EQ(parse({.frame_num = 2}).rc, 1);
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
    // delta_pic_order_cnt_bottom beyond 16 bits; for POC type 1 deltas
    // beyond 16 and 8 bits (a code with 17 leading zeros), then with 24.
    const struct {
        int poc_type;
        int64_t bottom, delta0, delta1;
    } cases[] = {{0, -100000, 0, 0}, {1, 0, 70000, -300}, {1, 0, -8000000, 8000000}};
    for (const auto& c : cases) {
        sps(0).pic_order_cnt_type = c.poc_type;
        const Parsed r = parse({.poc_lsb = 17, .delta_poc_bottom = c.bottom, .delta_poc = {c.delta0, c.delta1}});
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.bit_pos, r.bit_count);
        if (c.poc_type == 0) {
            EXPECT_EQ(h->slice.pic_order_cnt_lsb, 17);
            EXPECT_EQ(h->slice.delta_pic_order_cnt_bottom, c.bottom);
        } else {
            EXPECT_EQ(h->slice.delta_pic_order_cnt[0], c.delta0);
            EXPECT_EQ(h->slice.delta_pic_order_cnt[1], c.delta1);
        }
    }
    // delta_pic_order_always_zero_flag: nothing read.
    sps(0).delta_pic_order_always_zero_flag = 1;
    const Parsed r = parse({.delta_poc = {5, 5}});
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

TEST_F(SliceTest, RangesOfTheCountsAndFieldsAfterTheStructures) {
    pps(0).ref_count[1] = 2;
    pps(0).entropy_coding_mode_flag = 1;
    pps(0).deblocking_filter_control_present_flag = 1;
    ASSERT_EQ(parse({}, 5, 3).rc, 1);  // an I slice reads no cabac_init_idc
    h->slice.slice_alpha_c0_offset = 4;
    // P slices after the IDR (frame_num 1) unless a row says otherwise.
    const struct {
        Slice s;
        int ref_idc;
        std::string said;
        int deblocking_mode = 0, alpha = 0, beta = 0;  // when the slice passes
    } cases[] = {
        // An override count of 33 is refused; a P slice reads no list-1
        // count and reports the PPS's.
        {{.slice_type = 5, .frame_num = 1, .override_counts = true, .l0_minus1 = 32}, 2,
         "-18 " + msg("h->ref_count[0] or h->ref_count[1] are out of range[1, 32], the values are 33  2\n")},
        {{.slice_type = 1, .frame_num = 2, .override_counts = true, .l0_minus1 = 4, .l1_minus1 = 40}, 0,
         "-18 " + msg("h->ref_count[0] or h->ref_count[1] are out of range[1, 32], the values are 5  41\n")},
        {{.slice_type = 5, .frame_num = 1, .cabac_init_idc = 3}, 2,
         "-18 " + msg("the cabac_init_idc is out of range [0,2], which is 3\n")},
        // Kept in 8 bits: -1 as a signed value.
        {{.slice_type = 5, .frame_num = 1, .cabac_init_idc = 255}, 2,
         "-18 " + msg("the cabac_init_idc is out of range [0,2], which is -1\n")},
        // idc 1: filter off, no offsets read, offsets cleared.
        {{.slice_type = 5, .frame_num = 1, .deblocking_idc = 1}, 2, "2 ", 0, 0, 0},
        // idc 2: on except across slice edges, offsets read.
        {{.slice_type = 5, .frame_num = 1, .deblocking_idc = 2, .alpha_div2 = 6, .beta_div2 = -6}, 2, "2 ", 2, 12, -12},
        {{.slice_type = 5, .frame_num = 1, .deblocking_idc = 2, .alpha_div2 = 7, .beta_div2 = -6}, 2,
         "-1 " + msg("Invalid slice_alpha_c0_offset(14), slice_beta_offset(-12)\n")},
        {{.slice_type = 5, .frame_num = 1, .deblocking_idc = 3}, 2,
         "-18 " + msg("deblocking_filter_idc is 3 out of range[0,2]\n")},
    };
    for (const auto& c : cases) {
        const Parsed r = parse(c.s, 1, c.ref_idc);
        EXPECT_EQ(r.said(), c.said);
        if (r.rc < 0) continue;
        EXPECT_EQ(r.bit_pos, r.bit_count);
        EXPECT_EQ(h->slice.deblocking_mode, c.deblocking_mode);
        EXPECT_EQ(h->slice.slice_alpha_c0_offset, c.alpha);
        EXPECT_EQ(h->slice.slice_beta_offset, c.beta);
    }
    // Without the PPS flag: filter on, offsets 0, nothing read.
    pps(0).deblocking_filter_control_present_flag = 0;
    const Parsed r = parse({.slice_type = 5, .frame_num = 1, .deblocking_idc = 2, .alpha_div2 = 7});
    EXPECT_EQ(r.bit_pos, r.bit_count);
    EXPECT_EQ(h->slice.deblocking_mode, 1);
    EXPECT_EQ(h->slice.slice_alpha_c0_offset, 0);

    // redundant_pic_cnt up to 127.
    pps(0).redundant_pic_cnt_present_flag = 1;
    EXPECT_EQ(parse({.redundant_pic_cnt = 127}).rc, 1);
    EXPECT_EQ(parse({.redundant_pic_cnt = 128}).said(),
              "-18 " + msg("redundant_pic_cnt shall be in the range of [0, 127]\n"));
}

TEST_F(SliceTest, InnerStructuresAreReadInOrderAndTheirFaultsOnlyReported) {
    // P with weighted prediction and two references.
    pps(0).weighted_pred_flag = 1;
    pps(0).ref_count[0] = 2;
    ASSERT_EQ(parse({}, 5, 3).rc, 1);
    // A luma weight of 128 in the last entry breaks the table: a message,
    // and the header goes on from where the reader stopped (after the luma
    // offset, before the chroma flag, which is left out here so that the
    // rest of the header is read in step).
    Parsed r = parse({.slice_type = 5,
                      .frame_num = 1,
                      .structures =
                          [](BitBuilder& b) {
                              b.flag(false).ue(0).ue(0);       // no reordering; denominators
                              b.flag(false).flag(false);       // ref 0
                              b.flag(true).se(128).se(0);      // ref 1: weight out of range
                              b.flag(false);                   // adaptive_ref_pic_marking_mode_flag
                          },
                      .qp_delta = -5});
    EXPECT_EQ(r.said(), "2 " + msg("luma_weight_l0[i] or luma_offset_l0[i] shall be in the range of[-128, 127]\n"));
    EXPECT_EQ(r.bit_pos, r.bit_count);
    EXPECT_EQ(h->slice.qp, 21);

    // B with weighted_bipred_idc 1: denominators once, list 0 then list 1.
    // Non-reference: no marking.
    pps(0).weighted_bipred_idc = 1;
    pps(0).ref_count[1] = 1;
    r = parse({.slice_type = 1,
               .frame_num = 2,
               .structures =
                   [](BitBuilder& b) {
                       b.flag(false).flag(false);                           // no reordering in either list
                       b.ue(2).ue(3);                                       // denominators
                       b.flag(false).flag(false);                           // list 0, ref 0
                       b.flag(false).flag(true).se(64).se(0).se(64).se(0);  // list 0, ref 1
                       b.flag(true).se(32).se(-5).flag(false);              // list 1, ref 0
                   }},
              1, 0);
    EXPECT_EQ(r.said(), "3 ");
    EXPECT_EQ(r.bit_pos, r.bit_count);

    // weighted_bipred_idc 2 (implicit): no table.
    pps(0).weighted_bipred_idc = 2;
    r = parse({.slice_type = 1, .frame_num = 2, .structures = [](BitBuilder& b) { b.flag(false).flag(false); }}, 1, 0);
    EXPECT_EQ(r.rc, 3);
    EXPECT_EQ(r.bit_pos, r.bit_count);
}

}  // namespace
}  // namespace slice_test
