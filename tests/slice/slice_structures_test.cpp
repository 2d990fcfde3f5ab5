// ref_pic_list_reordering(), pred_weight_table() and dec_ref_pic_marking()
// (ITU-T H.264 clauses 7.3.3.1-7.3.3.3): how far each reader walks, and the
// first violation it reports.
#include "slice/slice_fixture.h"

namespace slice_test {
namespace {

struct Walk {
    int32_t rc;
    int32_t bit_pos;
    std::string log;
};

// Runs `reader` over the bits of `b` (bit_count = those bits) followed by
// rbsp_trailing_bits().
template <typename Fn>
Walk walk(ParserHandle* h, BitBuilder b, Fn reader) {
    const int32_t bits = static_cast<int32_t>(b.bit_length());
    b.trailing();
    const Bytes data = b.bytes();
    kavrel::bit_reader_init(h->reader, data.data(), static_cast<int32_t>(data.size()), bits);
    kavrel_test::StdoutCapture cap;
    Walk w{};
    w.rc = reader(&h->reader);
    w.log = cap.take();
    w.bit_pos = h->reader.bit_pos;
    return w;
}

std::string msg(const std::string& text) { return "[VsKavrel]:" + text; }

TEST_F(SliceTest, ReorderingEntriesAreWalkedToTheirEnd) {
    const auto reorder = [](kavrel::BitReader* r) { return kavrel::decode_ref_pic_list_reordering(r); };
    BitBuilder off;
    off.flag(false).u(3, 7);  // flag 0, then unrelated bits
    Walk w = walk(h, off, reorder);
    EXPECT_EQ(w.rc, 0);
    EXPECT_EQ(w.bit_pos, 1);

    BitBuilder three;
    three.flag(true).ue(0).ue(6).ue(2).ue(1).ue(3);  // idc 0 diff 7, idc 2 long-term 1, end
    const int32_t len = static_cast<int32_t>(three.bit_length());
    three.u(2, 3);
    w = walk(h, three, reorder);
    EXPECT_EQ(w.rc, 0);
    EXPECT_EQ(w.log, "");
    EXPECT_EQ(w.bit_pos, len);

    BitBuilder bad_idc;
    bad_idc.flag(true).ue(1).ue(0).ue(4);
    w = walk(h, bad_idc, reorder);
    EXPECT_EQ(w.rc, -18);
    EXPECT_EQ(w.log, msg("reordering_of_pic_nums_idc shall be in the range of [0, 3]\n"));

    // Entries that run off the end of the payload, with no idc 3.
    BitBuilder endless;
    endless.flag(true).ue(0).ue(0).ue(1).ue(0);
    w = walk(h, endless, reorder);
    EXPECT_EQ(w.rc, -18);
    EXPECT_EQ(w.log, msg("reordering_of_pic_nums_idc shall be in the range of [0, 3]\n"));

    // abs_diff_pic_num_minus1 / long_term_pic_num that end past the payload.
    BitBuilder cut_diff;
    cut_diff.flag(true).ue(1);
    cut_diff.u(1, 0);  // the first bit of a 3-bit code; the stop bit follows
    w = walk(h, cut_diff, reorder);
    EXPECT_EQ(w.rc, -18);
    EXPECT_EQ(w.log, msg("abs_diff_pic_num_minus1 shall be in the range\n"));
    BitBuilder cut_long;
    cut_long.flag(true).ue(2).u(2, 0);
    w = walk(h, cut_long, reorder);
    EXPECT_EQ(w.rc, -18);
    EXPECT_EQ(w.log, msg("long_term_pic_num shall be in the range\n"));
}

TEST_F(SliceTest, WeightTablesFollowTheChromaFormatAndRanges) {
    const auto table = [this](int count, int list) {
        return [this, count, list](kavrel::BitReader* r) {
            return kavrel::decode_pred_weight_table(h, r, count, list);
        };
    };
    h->active_sps.chroma_format_idc = 0;  // monochrome: no chroma at all
    BitBuilder mono;
    mono.ue(3).flag(true).se(-128).se(127).flag(false);
    int32_t len = static_cast<int32_t>(mono.bit_length());
    mono.u(4, 15);
    Walk w = walk(h, mono, table(2, 0));
    EXPECT_EQ(w.rc, 0);
    EXPECT_EQ(w.log, "");
    EXPECT_EQ(w.bit_pos, len);

    h->active_sps.chroma_format_idc = 1;
    BitBuilder list1;  // list 1 has no denominators
    list1.flag(false).flag(true).se(5).se(-5).se(6).se(-6);
    len = static_cast<int32_t>(list1.bit_length());
    list1.u(3, 7);
    w = walk(h, list1, table(1, 1));
    EXPECT_EQ(w.rc, 0);
    EXPECT_EQ(w.bit_pos, len);

    BitBuilder none;  // count 0: only the denominators
    none.ue(7).ue(7).u(2, 3);
    w = walk(h, none, table(0, 0));
    EXPECT_EQ(w.rc, 0);
    EXPECT_EQ(w.bit_pos, 2 * 7);

    BitBuilder luma_denom;  // 8: chroma denominator not read, luma refused
    luma_denom.ue(8).ue(9);
    w = walk(h, luma_denom, table(1, 0));
    EXPECT_EQ(w.rc, -18);
    EXPECT_EQ(w.log, msg("luma_log2_weight_denom shall be in the range of[0, 7]\n"));
    EXPECT_EQ(w.bit_pos, 7);

    BitBuilder chroma_denom;
    chroma_denom.ue(0).ue(8).flag(false).flag(false);
    w = walk(h, chroma_denom, table(1, 0));
    EXPECT_EQ(w.rc, -18);
    EXPECT_EQ(w.log, msg("chroma_log2_weight_denom shall be in the range of[0, 7]\n"));

    BitBuilder luma_weight;  // weight 128 (the message names list 0 also for list 1)
    luma_weight.flag(true).se(128).se(0).flag(false);
    w = walk(h, luma_weight, table(1, 1));
    EXPECT_EQ(w.rc, -18);
    EXPECT_EQ(w.log, msg("luma_weight_l0[i] or luma_offset_l0[i] shall be in the range of[-128, 127]\n"));

    BitBuilder luma_cut;  // the luma weight flag is the last bit
    luma_cut.flag(true);
    w = walk(h, luma_cut, table(1, 1));
    EXPECT_EQ(w.rc, -18);
    EXPECT_EQ(w.log, msg("luma_weight_l0 out of the range\n"));

    BitBuilder chroma_offset;
    chroma_offset.flag(false).flag(true).se(0).se(0).se(0).se(-129);
    w = walk(h, chroma_offset, table(1, 1));
    EXPECT_EQ(w.rc, -18);
    EXPECT_EQ(w.log, msg("chroma_weight_l0[i][j] or chroma_offset_l0[i][j] shall be in the range of[-128, 127]\n"));

    BitBuilder chroma_cut;
    chroma_cut.flag(false).flag(true);
    w = walk(h, chroma_cut, table(1, 1));
    EXPECT_EQ(w.rc, -18);
    EXPECT_EQ(w.log, msg("chroma_weight_l0[i][j] out of the range\n"));
}

TEST_F(SliceTest, ReferenceMarkingOperationsTakeTheirOperands) {
    const auto marking = [this](kavrel::BitReader* r) { return kavrel::decode_ref_pic_marking(h, r); };
    h->nal_unit_type = 5;
    BitBuilder idr;
    idr.u(2, 3).u(5, 31);
    Walk w = walk(h, idr, marking);
    EXPECT_EQ(w.rc, 0);
    EXPECT_EQ(w.bit_pos, 2);

    h->nal_unit_type = 1;
    BitBuilder sliding;
    sliding.flag(false).u(3, 7);
    w = walk(h, sliding, marking);
    EXPECT_EQ(w.rc, 0);
    EXPECT_EQ(w.bit_pos, 1);

    // Operations 1 (one operand), 3 (two), 2 (one), 6 (one), 4 (one), 5 (none), 0.
    BitBuilder ops;
    ops.flag(true).ue(1).ue(9).ue(3).ue(2).ue(1).ue(2).ue(4).ue(6).ue(0).ue(4).ue(2).ue(5).ue(0);
    const int32_t len = static_cast<int32_t>(ops.bit_length());
    ops.u(4, 15);
    w = walk(h, ops, marking);
    EXPECT_EQ(w.rc, 0);
    EXPECT_EQ(w.log, "");
    EXPECT_EQ(w.bit_pos, len);

    BitBuilder seven;
    seven.flag(true).ue(7).ue(0);
    w = walk(h, seven, marking);
    EXPECT_EQ(w.rc, -18);
    EXPECT_EQ(w.log, msg("memory_management_control_operation is out of range[0,6], the value is 7\n"));

    // Operations without a closing 0: the list runs off the payload.
    BitBuilder endless;
    endless.flag(true).ue(5).ue(5);
    w = walk(h, endless, marking);
    EXPECT_EQ(w.rc, -18);
    // The stop bit reads as operation 0, but past the payload.
    EXPECT_EQ(w.log, msg("memory_management_control_operation is out of range[0,6], the value is 0\n"));

    // An operand cut by the end of the payload, one case per message.
    const std::pair<uint32_t, const char*> cut[] = {
        {1, "difference_of_pic_nums_minus1 is out of range\n"},
        {2, "long_term_pic_num is out of range\n"},
        {6, "long_term_frame_idx is out of range\n"},
        {4, "long_term_frame_idx is out of range\n"},
    };
    for (const auto& [op, text] : cut) {
        BitBuilder b;
        b.flag(true).ue(op).u(2, 0);  // two zeros of a longer code
        w = walk(h, b, marking);
        EXPECT_EQ(w.rc, -18) << op;
        EXPECT_EQ(w.log, msg(text)) << op;
    }
    // Operation 3: the first operand is whole, the second is cut.
    BitBuilder op3;
    op3.flag(true).ue(3).ue(0).u(2, 0);
    w = walk(h, op3, marking);
    EXPECT_EQ(w.rc, -18);
    EXPECT_EQ(w.log, msg("long_term_frame_idx is out of range\n"));
}

}  // namespace
}  // namespace slice_test
