// The repeat frame: an all-skipped non-reference P slice after the last
// parsed picture. Headers are checked against slices written by the tests'
// own clause 7.3.3 writer, CABAC slice data against the independent decoder
// of cabac_test_decoder.h.
#include <gtest/gtest.h>

#include <vector>

#include "kavrel.h"
#include "slice/slice_fixture.h"
#include "synth/cabac_test_decoder.h"
#include "synth/repeat_frame.h"

using kavrel_test::BitBuilder;
using kavrel_test::Bytes;
using slice_test::Slice;

namespace {

class RepeatFrame : public ::testing::Test {
protected:
    kavrel_test::BareHandle owner = kavrel_test::bare_handle();
    ParserHandle* h = owner.get();

    void SetUp() override {
        // 176x144 (11 x 9 macroblocks), log2_max_frame_num 4, POC type 0
        // with 4 lsb bits, PPS 0 without optional elements, init_qp 26; the
        // last picture was a reference frame with frame_num 0 and lsb 0.
        kavrel::SeqParamSet& s = h->active_sps;
        s.valid = s.frame_mbs_only_flag = s.chroma_format_idc = s.max_ref_frame_count = 1;
        s.log2_max_frame_num = s.log2_max_poc_lsb = 4;
        s.mb_width = 11;
        s.mb_height = 9;
        h->active_pps.valid = 1;
        h->active_pps.init_qp = 26;
        h->sps_received = h->slice_received = 1;
        h->display_width = 176;
        h->display_height = 144;
        h->slice.picture_structure = 3;
        h->slice.prev_nal_ref_idc = 1;
        h->slice.qp = 26;
        h->slice.deblocking_mode = 1;
    }

    // The unit written with room to spare; empty when the call refused.
    Bytes repeat(int32_t* result = nullptr) {
        std::vector<uint8_t> out(1 << 20, 0xEE);
        const int32_t n = H264_Enc_Double_Frame_Sized(h, out.data(), static_cast<uint32_t>(out.size()));
        if (result) *result = n;
        return n > 0 ? Bytes(out.begin(), out.begin() + n) : Bytes{};
    }

    // The header `s` should have as a non-reference P slice with one
    // reference (override) for the handle's active sets.
    BitBuilder header(Slice s) {
        s.slice_type = 5;
        s.override_counts = true;
        BitBuilder b;
        slice_test::write_slice_header(b, s, 1, 0, h->active_pps, h->active_sps);
        return b;
    }
    // The whole CAVLC unit: header, mb_skip_run, trailing bits.
    Bytes cavlc_unit(const Slice& s, uint64_t skip_run = 99) {
        return kavrel_test::nal(0x01, header(s).ue(skip_run).trailing().bytes());
    }

    // Decodes the CABAC slice data of the repeat for the header `s`:
    // expects mb_skip_flag 1 for `mbs` macroblocks with end_of_slice_flag
    // after every `per_flag` of them, and the rbsp_stop_one_bit right where
    // decoding ends.
    void expect_skipped_cabac(const Slice& s, int mbs, int per_flag, int qp, size_t min_size = 0) {
        const size_t header_bits = header(s).bit_length();
        int32_t n = 0;
        const Bytes unit = repeat(&n);
        ASSERT_GE(unit.size(), std::max<size_t>(min_size, 6));
        const Bytes rbsp = kavrel_test::unescape(unit.data() + 5, unit.size() - 5);
        // cabac_alignment_one_bits up to the byte boundary.
        for (size_t bit = header_bits; bit % 8 != 0; ++bit)
            ASSERT_EQ((rbsp[bit / 8] >> (7 - bit % 8)) & 1, 1) << "alignment bit " << bit;
        kavrel::CabacContext skip = kavrel::init_context(23, 33, qp);  // ctxIdx 11
        cabac_test::Decoder d(rbsp, (header_bits + 7) / 8);
        for (int mb = 0; mb < mbs; ++mb) {
            ASSERT_EQ(d.decision(skip), 1) << "mb_skip_flag of macroblock " << mb;
            if ((mb + 1) % per_flag != 0) continue;
            ASSERT_EQ(d.terminate(), mb + 1 == mbs ? 1 : 0) << "end_of_slice_flag after " << mb;
        }
        const size_t stop = d.pos - 1;
        EXPECT_EQ((rbsp[stop / 8] >> (7 - stop % 8)) & 1, 1);
        // Only alignment zeros and cabac_zero_words follow the stop bit.
        EXPECT_EQ(rbsp[stop / 8] & ((1u << (7 - stop % 8)) - 1), 0u);
        for (size_t i = stop / 8 + 1; i < rbsp.size(); ++i) EXPECT_EQ(rbsp[i], 0) << "byte " << i;
    }
};

TEST_F(RepeatFrame, WorkedExamplesByteForByte) {
    const Bytes cavlc = kavrel_test::hex("00 00 00 01 01 9A 23 A0 64 80");
    int32_t n = 0;
    EXPECT_EQ(repeat(&n), cavlc);
    EXPECT_EQ(n, 10);
    EXPECT_EQ(repeat(), cavlc);  // the handle is not changed: a second call writes the same
    std::vector<uint8_t> out(64, 0xEE);
    EXPECT_EQ(H264_Enc_Double_Frame(h, out.data()), 10);  // the unsized call writes the same
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 10), cavlc);

    h->active_pps.entropy_coding_mode_flag = 1;
    EXPECT_EQ(repeat(&n), kavrel_test::hex("00 00 00 01 01 9A 23 BF 00 06 7C"));
    EXPECT_EQ(n, 11);
}

TEST_F(RepeatFrame, HeaderCarriesTheLastSlicesElements) {
    // frame_num and pic_order_cnt_lsb wrap at their maximum.
    h->slice.frame_num = h->slice.pic_order_cnt_lsb = 15;
    EXPECT_EQ(repeat(), cavlc_unit({.frame_num = 0, .poc_lsb = 0}));

    // PPS id, QP, redundant_pic_cnt (written as 0: a primary picture of its
    // own) and deblocking: idc 2 with offsets -3, 2.
    h->active_pps.pps_id = 5;
    h->slice.qp = 30;
    h->active_pps.redundant_pic_cnt_present_flag = h->active_pps.deblocking_filter_control_present_flag = 1;
    h->slice.redundant_pic_cnt = 3;
    h->slice.deblocking_mode = 2;
    h->slice.slice_alpha_c0_offset = -6;
    h->slice.slice_beta_offset = 4;
    Slice e{.pps_id = 5, .qp_delta = 4, .deblocking_idc = 2, .alpha_div2 = -3, .beta_div2 = 2};
    EXPECT_EQ(repeat(), cavlc_unit(e));
    // Filter off (idc 1): no offsets.
    h->slice.deblocking_mode = 0;
    e.deblocking_idc = 1;
    EXPECT_EQ(repeat(), cavlc_unit(e));
    // Filter on (idc 0) with offsets of 0.
    h->slice.deblocking_mode = 1;
    h->slice.slice_alpha_c0_offset = h->slice.slice_beta_offset = 0;
    e.deblocking_idc = e.alpha_div2 = e.beta_div2 = 0;
    EXPECT_EQ(repeat(), cavlc_unit(e));

    // Weighted prediction: a pred_weight_table with default weights, with
    // chroma entries for 4:2:0 and none for 4:0:0.
    h->active_pps.weighted_pred_flag = 1;
    EXPECT_EQ(repeat(), cavlc_unit(e));
    h->active_sps.chroma_format_idc = 0;
    EXPECT_EQ(repeat(), cavlc_unit(e));
}

TEST_F(RepeatFrame, PictureOrderCountElements) {
    // POC type 0 with delta_pic_order_cnt_bottom in frames.
    h->active_pps.bottom_field_pic_order_in_frame_present_flag = 1;
    h->slice.delta_pic_order_cnt_bottom = -70000;
    EXPECT_EQ(repeat(), cavlc_unit({.frame_num = 1, .poc_lsb = 1, .delta_poc_bottom = -70000}));
    // POC type 1: refused (the repeat would not be output after the picture).
    h->active_sps.pic_order_cnt_type = 1;
    EXPECT_EQ(repeat(), Bytes{});
    // POC type 2: no picture order count element at all.
    h->active_sps.pic_order_cnt_type = 2;
    EXPECT_EQ(repeat(), cavlc_unit({.frame_num = 1}));
}

TEST_F(RepeatFrame, FrameNumFollowsTheLastReferencePicture) {
    // After a reference picture, its frame_num + 1 modulo MaxFrameNum; after
    // a non-reference picture none (the repeat would show another picture).
    const struct {
        int ref_idc, frame_num, prev_frame_num;
        uint32_t repeat;
    } cases[] = {{2, 6, 5, 7}, {1, 15, 14, 0}};
    for (const auto& c : cases) {
        h->slice.prev_nal_ref_idc = static_cast<uint8_t>(c.ref_idc);
        h->slice.frame_num = c.frame_num;
        h->slice.prev_frame_num = c.prev_frame_num;
        EXPECT_EQ(repeat(), cavlc_unit({.frame_num = c.repeat, .poc_lsb = 1})) << c.ref_idc << " " << c.frame_num;
    }
    h->slice.prev_nal_ref_idc = 0;
    EXPECT_EQ(repeat(), Bytes{});
}

TEST_F(RepeatFrame, InterlacedPicturesCountTheirOwnMacroblocks) {
    h->active_sps.frame_mbs_only_flag = 0;
    h->active_pps.bottom_field_pic_order_in_frame_present_flag = 1;
    // Fields are refused.
    for (int structure : {2, 1}) {
        h->slice.picture_structure = static_cast<int16_t>(structure);
        EXPECT_EQ(repeat(), Bytes{});
    }
    // A frame: field_pic_flag 0 and 11 x 18 macroblocks, MBAFF or not.
    h->slice.picture_structure = 3;
    EXPECT_EQ(repeat(), cavlc_unit({.frame_num = 1, .poc_lsb = 1}, 198));
    h->active_sps.mb_adaptive_frame_field_flag = 1;
    EXPECT_EQ(repeat(), cavlc_unit({.frame_num = 1, .poc_lsb = 1}, 198));

    // CABAC: an MBAFF frame codes end_of_slice_flag only after the bottom
    // macroblock of each pair; a frame after each macroblock.
    h->active_pps.entropy_coding_mode_flag = 1;
    h->slice.qp = 20;
    expect_skipped_cabac({.frame_num = 1, .poc_lsb = 1, .qp_delta = -6}, 198, 2, 20);
    h->active_sps.mb_adaptive_frame_field_flag = 0;
    expect_skipped_cabac({.frame_num = 1, .poc_lsb = 1, .qp_delta = -6}, 198, 1, 20);
}

TEST_F(RepeatFrame, LargePictures) {
    // 511 x 511 macroblocks: an mb_skip_run of 261121, past the 65534 of
    // 31-bit codes, takes the 35-bit Exp-Golomb code.
    h->active_sps.mb_width = h->active_sps.mb_height = 511;
    h->display_width = 0;  // the picture size alone sizes the buffers
    h->display_height = -8;
    EXPECT_EQ(repeat(), cavlc_unit({.frame_num = 1, .poc_lsb = 1}, 261121));

    // CABAC at 1920x1088 (8160 macroblocks): the payload is stuffed with
    // 00 00 03 groups to (16320 - 8160 + 31) >> 5 = 255 bytes at least.
    h->active_sps.mb_width = 120;
    h->active_sps.mb_height = 68;
    h->active_pps.entropy_coding_mode_flag = 1;
    const Bytes hd = repeat();
    ASSERT_GE(hd.size(), 5u + 255);
    EXPECT_LE(hd.size(), 5u + 255 + 2);
    EXPECT_EQ(kavrel_test::to_hex(hd.data() + hd.size() - 3, 3), "00 00 03");
    expect_skipped_cabac({.frame_num = 1, .poc_lsb = 1}, 8160, 1, 26);
    // 511 x 511 with CABAC.
    h->active_sps.mb_width = h->active_sps.mb_height = 511;
    expect_skipped_cabac({.frame_num = 1, .poc_lsb = 1}, 261121, 1, 26, 5 + (261121 + 31) / 32);
}

TEST_F(RepeatFrame, RefusedCallsWriteNothing) {
    std::vector<uint8_t> out(64, 0xEE);
    const std::vector<uint8_t> untouched = out;
    kavrel_test::StdoutCapture cap;
    EXPECT_EQ(H264_Enc_Double_Frame(nullptr, out.data()), -1);
    EXPECT_EQ(H264_Enc_Double_Frame_Sized(nullptr, out.data(), 64), -1);
    EXPECT_EQ(H264_Enc_Double_Frame_Sized(h, nullptr, 64), -1);
    EXPECT_NE(cap.take().find("Error: NULL Pointer\n\n"), std::string::npos);
    // Too small by one byte: refused; exactly the size: written.
    EXPECT_EQ(H264_Enc_Double_Frame_Sized(h, out.data(), 9), -1);
    EXPECT_EQ(out, untouched);
    EXPECT_EQ(H264_Enc_Double_Frame_Sized(h, out.data(), 10), 10);
    out = untouched;

    // Before an SPS, a PPS and a slice were parsed; without a slice or a
    // valid PPS; more than one slice group; a stream without reference frames.
    kavrel_test::Parser fresh;
    kavrel_test::StdoutCapture quiet;
    EXPECT_EQ(H264_Enc_Double_Frame(fresh.h, out.data()), -1);
    EXPECT_EQ(H264_Enc_Double_Frame_Sized(fresh.h, out.data(), 64), -1);
    const std::function<void(ParserHandle*, int)> spoil[] = {
        [](ParserHandle* p, int v) { p->slice_received = v; },
        [](ParserHandle* p, int v) { p->active_pps.valid = v; },
        [](ParserHandle* p, int v) { p->active_pps.num_slice_groups_minus1 = 1 - v; },
        [](ParserHandle* p, int v) { p->active_sps.max_ref_frame_count = v; },
    };
    for (const auto& set : spoil) {
        set(h, 0);
        EXPECT_EQ(H264_Enc_Double_Frame_Sized(h, out.data(), 64), -1);
        set(h, 1);
    }
    EXPECT_EQ(out, untouched);
}

}  // namespace
