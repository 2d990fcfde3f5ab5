// ref_pic_list_reordering(), pred_weight_table() and dec_ref_pic_marking()
// (ITU-T H.264 clauses 7.3.3.1-7.3.3.3): how far each reader walks, and the
// first violation it reports.
#include "slice/slice_fixture.h"

namespace slice_test {
namespace {

using Reader = std::function<int32_t(kavrel::BitReader*)>;

// The reader takes the bits of `syntax`; `rest` follows them, then the
// stop bit. With `at_end` the reader must stop right after `syntax`.
struct Walk {
    Writer syntax;
    Writer rest;
    int32_t rc;
    std::string message;  // without the tag
    bool at_end;
};

void expect_walks(ParserHandle* h, const Reader& reader, const std::vector<Walk>& walks) {
    for (size_t i = 0; i < walks.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        const Walk& w = walks[i];
        BitBuilder b;
        w.syntax(b);
        const int32_t syntax_bits = static_cast<int32_t>(b.bit_length());
        if (w.rest) w.rest(b);
        const int32_t bits = static_cast<int32_t>(b.bit_length());
        const Bytes data = b.trailing().bytes();
        kavrel::bit_reader_init(h->reader, data.data(), static_cast<int32_t>(data.size()), bits);
        kavrel_test::StdoutCapture cap;
        EXPECT_EQ(reader(&h->reader), w.rc);
        EXPECT_EQ(cap.take(), w.message.empty() ? "" : msg(w.message + "\n"));
        if (w.at_end) {
            EXPECT_EQ(h->reader.bit_pos, syntax_bits);
        }
    }
}

TEST_F(SliceTest, ReorderingEntriesAreWalkedToTheirEnd) {
    expect_walks(h, kavrel::decode_ref_pic_list_reordering, {
        {[](BitBuilder& b) { b.flag(false); }, [](BitBuilder& b) { b.u(3, 7); }, 0, "", true},
        // idc 0 diff 7, idc 2 long-term 1, end.
        {[](BitBuilder& b) { b.flag(true).ue(0).ue(6).ue(2).ue(1).ue(3); }, [](BitBuilder& b) { b.u(2, 3); }, 0, "",
         true},
        {[](BitBuilder& b) { b.flag(true).ue(1).ue(0).ue(4); }, {}, -18,
         "reordering_of_pic_nums_idc shall be in the range of [0, 3]", false},
        // Entries that run off the end of the payload, with no idc 3.
        {[](BitBuilder& b) { b.flag(true).ue(0).ue(0).ue(1).ue(0); }, {}, -18,
         "reordering_of_pic_nums_idc shall be in the range of [0, 3]", false},
        // abs_diff_pic_num_minus1 / long_term_pic_num that end past the
        // payload: the first bits of a 3-bit code, then the stop bit.
        {[](BitBuilder& b) { b.flag(true).ue(1).u(1, 0); }, {}, -18, "abs_diff_pic_num_minus1 shall be in the range",
         false},
        {[](BitBuilder& b) { b.flag(true).ue(2).u(2, 0); }, {}, -18, "long_term_pic_num shall be in the range", false},
    });
}

TEST_F(SliceTest, WeightTablesFollowTheChromaFormatAndRanges) {
    const auto table = [this](int chroma_format_idc, int count, int list) -> Reader {
        return [this, chroma_format_idc, count, list](kavrel::BitReader* r) {
            h->active_sps.chroma_format_idc = chroma_format_idc;
            return kavrel::decode_pred_weight_table(h, r, count, list);
        };
    };
    // Monochrome: no chroma at all.
    expect_walks(h, table(0, 2, 0), {
        {[](BitBuilder& b) { b.ue(3).flag(true).se(-128).se(127).flag(false); }, [](BitBuilder& b) { b.u(4, 15); }, 0,
         "", true},
    });
    // List 1 has no denominators.
    expect_walks(h, table(1, 1, 1), {
        {[](BitBuilder& b) { b.flag(false).flag(true).se(5).se(-5).se(6).se(-6); }, [](BitBuilder& b) { b.u(3, 7); },
         0, "", true},
        // Weight 128 (the message names list 0 also for list 1).
        {[](BitBuilder& b) { b.flag(true).se(128).se(0).flag(false); }, {}, -18,
         "luma_weight_l0[i] or luma_offset_l0[i] shall be in the range of[-128, 127]", false},
        // The luma weight flag is the last bit.
        {[](BitBuilder& b) { b.flag(true); }, {}, -18, "luma_weight_l0 out of the range", false},
        {[](BitBuilder& b) { b.flag(false).flag(true).se(0).se(0).se(0).se(-129); }, {}, -18,
         "chroma_weight_l0[i][j] or chroma_offset_l0[i][j] shall be in the range of[-128, 127]", false},
        {[](BitBuilder& b) { b.flag(false).flag(true); }, {}, -18, "chroma_weight_l0[i][j] out of the range", false},
    });
    // Count 0: only the denominators.
    expect_walks(h, table(1, 0, 0), {
        {[](BitBuilder& b) { b.ue(7).ue(7); }, [](BitBuilder& b) { b.u(2, 3); }, 0, "", true},
    });
    expect_walks(h, table(1, 1, 0), {
        // 8: chroma denominator not read, luma refused.
        {[](BitBuilder& b) { b.ue(8); }, [](BitBuilder& b) { b.ue(9); }, -18,
         "luma_log2_weight_denom shall be in the range of[0, 7]", true},
        {[](BitBuilder& b) { b.ue(0).ue(8).flag(false).flag(false); }, {}, -18,
         "chroma_log2_weight_denom shall be in the range of[0, 7]", false},
    });
}

TEST_F(SliceTest, ReferenceMarkingOperationsTakeTheirOperands) {
    const auto marking = [this](int nal_unit_type) -> Reader {
        return [this, nal_unit_type](kavrel::BitReader* r) {
            h->nal_unit_type = static_cast<uint8_t>(nal_unit_type);
            return kavrel::decode_ref_pic_marking(h, r);
        };
    };
    expect_walks(h, marking(5), {{[](BitBuilder& b) { b.u(2, 3); }, [](BitBuilder& b) { b.u(5, 31); }, 0, "", true}});
    // An operand cut by the end of the payload (two zeros of a longer
    // code), one case per message; operation 3 has its first operand whole.
    const std::string cut = "long_term_frame_idx is out of range";
    expect_walks(h, marking(1), {
        {[](BitBuilder& b) { b.flag(false); }, [](BitBuilder& b) { b.u(3, 7); }, 0, "", true},
        // Operations 1 (one operand), 3 (two), 2 (one), 6 (one), 4 (one), 5 (none), 0.
        {[](BitBuilder& b) { b.flag(true).ue(1).ue(9).ue(3).ue(2).ue(1).ue(2).ue(4).ue(6).ue(0).ue(4).ue(2).ue(5).ue(0); },
         [](BitBuilder& b) { b.u(4, 15); }, 0, "", true},
        {[](BitBuilder& b) { b.flag(true).ue(7).ue(0); }, {}, -18,
         "memory_management_control_operation is out of range[0,6], the value is 7", false},
        // Operations without a closing 0 run off the payload: the stop bit
        // reads as operation 0, but past the payload.
        {[](BitBuilder& b) { b.flag(true).ue(5).ue(5); }, {}, -18,
         "memory_management_control_operation is out of range[0,6], the value is 0", false},
        {[](BitBuilder& b) { b.flag(true).ue(1).u(2, 0); }, {}, -18, "difference_of_pic_nums_minus1 is out of range",
         false},
        {[](BitBuilder& b) { b.flag(true).ue(2).u(2, 0); }, {}, -18, "long_term_pic_num is out of range", false},
        {[](BitBuilder& b) { b.flag(true).ue(6).u(2, 0); }, {}, -18, cut, false},
        {[](BitBuilder& b) { b.flag(true).ue(4).u(2, 0); }, {}, -18, cut, false},
        {[](BitBuilder& b) { b.flag(true).ue(3).ue(0).u(2, 0); }, {}, -18, cut, false},
    });
}

}  // namespace
}  // namespace slice_test
