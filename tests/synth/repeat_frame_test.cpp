// The repeat frame: an all-skipped non-reference P slice after the last
// parsed picture. Headers are checked against slices written here from the
// syntax of ITU-T H.264 clause 7.3.3, CABAC slice data against the
// independent decoder of cabac_test_decoder.h.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "api/parser_handle.h"
#include "kavrel.h"
#include "support/test_support.h"
#include "synth/cabac_test_decoder.h"
#include "synth/repeat_frame.h"

using kavrel_test::BitBuilder;
using kavrel_test::Bytes;

namespace {

struct HandleFree {
    void operator()(ParserHandle* h) const { std::free(h); }
};

// What the repeat's slice header should carry, in clause 7.3.3 order.
struct Header {
    uint32_t pps_id = 0;
    int frame_num_bits = 4;
    uint32_t frame_num = 1;
    bool frame_mbs_only = true;
    int field = 0;  // 0 frame, 1 top, 2 bottom
    int poc_type = 0;
    int poc_bits = 4;
    uint32_t poc_lsb = 1;
    bool delta_bottom_present = false;
    int64_t delta_bottom = 0;
    bool poc1_deltas = false;
    bool poc1_second = false;
    int64_t delta_poc[2] = {0, 0};
    bool redundant = false;
    bool weights = false;
    bool chroma_weights = true;
    bool cabac = false;
    int64_t qp_delta = 0;
    bool deblocking_control = false;
    uint32_t deblocking_idc = 0;
    int64_t alpha_div2 = 0;
    int64_t beta_div2 = 0;
};

void write_header(BitBuilder& b, const Header& e) {
    b.ue(0).ue(5).ue(e.pps_id).u(e.frame_num_bits, e.frame_num);  // first_mb, P, pps, frame_num
    if (!e.frame_mbs_only) {
        b.flag(e.field != 0);
        if (e.field != 0) b.flag(e.field == 2);
    }
    if (e.poc_type == 0) {
        b.u(e.poc_bits, e.poc_lsb);
        if (e.delta_bottom_present) b.se(e.delta_bottom);
    }
    if (e.poc1_deltas) {
        b.se(e.delta_poc[0]);
        if (e.poc1_second) b.se(e.delta_poc[1]);
    }
    if (e.redundant) b.ue(0);
    b.flag(true).ue(0).flag(false);  // override, one reference, no list modification
    if (e.weights) {
        b.ue(0);  // luma_log2_weight_denom
        if (e.chroma_weights) b.ue(0);
        b.flag(false);
        if (e.chroma_weights) b.flag(false);
    }
    if (e.cabac) b.ue(0);
    b.se(e.qp_delta);
    if (e.deblocking_control) {
        b.ue(e.deblocking_idc);
        if (e.deblocking_idc != 1) b.se(e.alpha_div2).se(e.beta_div2);
    }
}

// The whole CAVLC unit: header, mb_skip_run, trailing bits.
Bytes cavlc_unit(const Header& e, uint64_t skip_run) {
    BitBuilder b;
    write_header(b, e);
    b.ue(skip_run).trailing();
    return kavrel_test::nal(0x01, b.bytes());
}

class RepeatFrame : public ::testing::Test {
protected:
    std::unique_ptr<ParserHandle, HandleFree> owner{static_cast<ParserHandle*>(std::calloc(1, sizeof(ParserHandle)))};
    ParserHandle* h = owner.get();

    void SetUp() override {
        // 176x144 (11 x 9 macroblocks), log2_max_frame_num 4, POC type 0
        // with 4 lsb bits, PPS 0 without optional elements, init_qp 26; the
        // last picture was a reference frame with frame_num 0 and lsb 0.
        kavrel::SeqParamSet& s = h->active_sps;
        s.valid = 1;
        s.chroma_format_idc = 1;
        s.log2_max_frame_num = 4;
        s.log2_max_poc_lsb = 4;
        s.frame_mbs_only_flag = 1;
        s.mb_width = 11;
        s.mb_height = 9;
        s.max_ref_frame_count = 1;
        kavrel::PicParamSet& p = h->active_pps;
        p.valid = 1;
        p.init_qp = 26;
        h->sps_received = 1;
        h->slice_received = 1;
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

    // Decodes the CABAC slice data of `unit` behind a header of
    // header_bits bits: expects mb_skip_flag 1 for `mbs` macroblocks with
    // end_of_slice_flag after every `per_flag` of them, and the
    // rbsp_stop_one_bit right where decoding ends.
    void expect_skipped_cabac(const Bytes& unit, size_t header_bits, int mbs, int per_flag, int qp) {
        ASSERT_GT(unit.size(), 5u);
        const Bytes rbsp = cabac_test::unescape(unit.data() + 5, unit.size() - 5);
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
    int32_t n = 0;
    EXPECT_EQ(repeat(&n), kavrel_test::hex("00 00 00 01 01 9A 23 A0 64 80"));
    EXPECT_EQ(n, 10);
    // The handle is not changed: a second call writes the same bytes.
    EXPECT_EQ(repeat(), kavrel_test::hex("00 00 00 01 01 9A 23 A0 64 80"));
    // The unsized call writes the same.
    std::vector<uint8_t> out(64, 0xEE);
    EXPECT_EQ(H264_Enc_Double_Frame(h, out.data()), 10);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 10), kavrel_test::hex("00 00 00 01 01 9A 23 A0 64 80"));

    h->active_pps.entropy_coding_mode_flag = 1;
    EXPECT_EQ(repeat(&n), kavrel_test::hex("00 00 00 01 01 9A 23 BF 00 06 7C"));
    EXPECT_EQ(n, 11);
}

TEST_F(RepeatFrame, HeaderCarriesTheLastSlicesElements) {
    Header e;
    // frame_num and pic_order_cnt_lsb wrap at their maximum.
    h->slice.frame_num = 15;
    h->slice.pic_order_cnt_lsb = 15;
    e.frame_num = 0;
    e.poc_lsb = 0;
    EXPECT_EQ(repeat(), cavlc_unit(e, 99));

    // PPS id, QP, redundant_pic_cnt and deblocking: idc 2 with offsets -3, 2.
    h->active_pps.pps_id = 5;
    h->slice.qp = 30;
    h->active_pps.redundant_pic_cnt_present_flag = 1;
    h->slice.redundant_pic_cnt = 3;
    h->active_pps.deblocking_filter_control_present_flag = 1;
    h->slice.deblocking_mode = 2;
    h->slice.slice_alpha_c0_offset = -6;
    h->slice.slice_beta_offset = 4;
    e.pps_id = 5;
    e.qp_delta = 4;
    e.redundant = true;  // written as 0: a primary picture of its own
    e.deblocking_control = true;
    e.deblocking_idc = 2;
    e.alpha_div2 = -3;
    e.beta_div2 = 2;
    EXPECT_EQ(repeat(), cavlc_unit(e, 99));
    // Filter off (idc 1): no offsets.
    h->slice.deblocking_mode = 0;
    e.deblocking_idc = 1;
    EXPECT_EQ(repeat(), cavlc_unit(e, 99));
    // Filter on (idc 0) with offsets of 0.
    h->slice.deblocking_mode = 1;
    h->slice.slice_alpha_c0_offset = 0;
    h->slice.slice_beta_offset = 0;
    e.deblocking_idc = 0;
    e.alpha_div2 = 0;
    e.beta_div2 = 0;
    EXPECT_EQ(repeat(), cavlc_unit(e, 99));

    // Weighted prediction: a pred_weight_table with default weights, with
    // chroma entries for 4:2:0 and none for 4:0:0.
    h->active_pps.weighted_pred_flag = 1;
    e.weights = true;
    EXPECT_EQ(repeat(), cavlc_unit(e, 99));
    h->active_sps.chroma_format_idc = 0;
    e.chroma_weights = false;
    EXPECT_EQ(repeat(), cavlc_unit(e, 99));
}

TEST_F(RepeatFrame, PictureOrderCountElements) {
    // POC type 0 with delta_pic_order_cnt_bottom in frames.
    h->active_pps.bottom_field_pic_order_in_frame_present_flag = 1;
    h->slice.delta_pic_order_cnt_bottom = -70000;
    Header e;
    e.delta_bottom_present = true;
    e.delta_bottom = -70000;
    EXPECT_EQ(repeat(), cavlc_unit(e, 99));
    // POC type 1: both deltas; with delta_pic_order_always_zero_flag none.
    h->active_sps.pic_order_cnt_type = 1;
    h->slice.delta_pic_order_cnt[0] = 300;
    h->slice.delta_pic_order_cnt[1] = -2;
    Header one;
    one.poc_type = 1;
    one.poc1_deltas = true;
    one.poc1_second = true;
    one.delta_poc[0] = 300;
    one.delta_poc[1] = -2;
    EXPECT_EQ(repeat(), cavlc_unit(one, 99));
    h->active_sps.delta_pic_order_always_zero_flag = 1;
    one.poc1_deltas = false;
    EXPECT_EQ(repeat(), cavlc_unit(one, 99));
    // POC type 2: no picture order count element at all.
    h->active_sps.pic_order_cnt_type = 2;
    Header two;
    two.poc_type = 2;
    EXPECT_EQ(repeat(), cavlc_unit(two, 99));
}

TEST_F(RepeatFrame, FrameNumFollowsTheLastReferencePicture) {
    // After a non-reference picture with frame_num 6 whose reference
    // predecessor had 5, the repeat takes 6 as well.
    h->slice.prev_nal_ref_idc = 0;
    h->slice.frame_num = 6;
    h->slice.prev_frame_num = 5;
    Header e;
    e.frame_num = 6;
    EXPECT_EQ(repeat(), cavlc_unit(e, 99));
    // After a reference picture, its frame_num + 1.
    h->slice.prev_nal_ref_idc = 2;
    e.frame_num = 7;
    EXPECT_EQ(repeat(), cavlc_unit(e, 99));
    // Modulo MaxFrameNum after a non-reference picture too.
    h->slice.prev_nal_ref_idc = 0;
    h->slice.frame_num = 0;
    h->slice.prev_frame_num = 15;
    e.frame_num = 0;
    EXPECT_EQ(repeat(), cavlc_unit(e, 99));
}

TEST_F(RepeatFrame, InterlacedPicturesCountTheirOwnMacroblocks) {
    h->active_sps.frame_mbs_only_flag = 0;
    h->active_pps.bottom_field_pic_order_in_frame_present_flag = 1;
    // A bottom field: field_pic_flag 1, bottom_field_flag 1, no
    // delta_pic_order_cnt_bottom, 11 x 9 macroblocks (map units).
    h->slice.picture_structure = 2;
    Header field;
    field.frame_mbs_only = false;
    field.field = 2;
    EXPECT_EQ(repeat(), cavlc_unit(field, 99));
    h->slice.picture_structure = 1;
    field.field = 1;
    EXPECT_EQ(repeat(), cavlc_unit(field, 99));

    // A frame: field_pic_flag 0 and 11 x 18 macroblocks, MBAFF or not.
    h->slice.picture_structure = 3;
    Header frame;
    frame.frame_mbs_only = false;
    frame.delta_bottom_present = true;
    EXPECT_EQ(repeat(), cavlc_unit(frame, 198));
    h->active_sps.mb_adaptive_frame_field_flag = 1;
    EXPECT_EQ(repeat(), cavlc_unit(frame, 198));

    // CABAC: a frame codes end_of_slice_flag after each macroblock; an MBAFF
    // frame only after the bottom macroblock of each pair; a field picture
    // codes its 99 macroblocks.
    h->active_pps.entropy_coding_mode_flag = 1;
    h->slice.qp = 20;
    BitBuilder b;
    frame.cabac = true;
    frame.qp_delta = -6;
    write_header(b, frame);
    expect_skipped_cabac(repeat(), b.bit_length(), 198, 2, 20);
    h->active_sps.mb_adaptive_frame_field_flag = 0;
    expect_skipped_cabac(repeat(), b.bit_length(), 198, 1, 20);
    h->slice.picture_structure = 2;
    BitBuilder fb;
    field.cabac = true;
    field.field = 2;
    field.qp_delta = -6;
    write_header(fb, field);
    expect_skipped_cabac(repeat(), fb.bit_length(), 99, 1, 20);
}

TEST_F(RepeatFrame, LargePictures) {
    // 511 x 511 macroblocks: an mb_skip_run of 261121, past the 65534 of
    // 31-bit codes, takes the 35-bit Exp-Golomb code.
    h->active_sps.mb_width = 511;
    h->active_sps.mb_height = 511;
    h->display_width = 0;  // the picture size alone sizes the buffers
    h->display_height = -8;
    EXPECT_EQ(repeat(), cavlc_unit(Header{}, 261121));

    // CABAC at 1920x1088 (8160 macroblocks): the payload is stuffed with
    // 00 00 03 groups to (16320 - 8160 + 31) >> 5 = 255 bytes at least.
    h->active_sps.mb_width = 120;
    h->active_sps.mb_height = 68;
    h->active_pps.entropy_coding_mode_flag = 1;
    int32_t n = 0;
    const Bytes hd = repeat(&n);
    ASSERT_GE(n, 5 + 255);
    EXPECT_LE(n, 5 + 255 + 2);
    EXPECT_EQ(hd[hd.size() - 3], 0x00);
    EXPECT_EQ(hd[hd.size() - 2], 0x00);
    EXPECT_EQ(hd[hd.size() - 1], 0x03);
    BitBuilder b;
    Header e;
    e.cabac = true;
    write_header(b, e);
    expect_skipped_cabac(hd, b.bit_length(), 8160, 1, 26);

    // 511 x 511 with CABAC.
    h->active_sps.mb_width = 511;
    h->active_sps.mb_height = 511;
    const Bytes huge = repeat(&n);
    ASSERT_GE(n, 5 + (261121 + 31) / 32);
    expect_skipped_cabac(huge, b.bit_length(), 261121, 1, 26);
}

TEST_F(RepeatFrame, RefusedCallsWriteNothing) {
    std::vector<uint8_t> out(64, 0xEE);
    const std::vector<uint8_t> untouched = out;
    {
        kavrel_test::StdoutCapture cap;
        EXPECT_EQ(H264_Enc_Double_Frame(nullptr, out.data()), -1);
        EXPECT_EQ(H264_Enc_Double_Frame_Sized(nullptr, out.data(), 64), -1);
        EXPECT_EQ(H264_Enc_Double_Frame_Sized(h, nullptr, 64), -1);
        EXPECT_NE(cap.take().find("Error: NULL Pointer\n\n"), std::string::npos);
    }
    // Too small by one byte: refused; exactly the size: written.
    EXPECT_EQ(H264_Enc_Double_Frame_Sized(h, out.data(), 9), -1);
    EXPECT_EQ(out, untouched);
    EXPECT_EQ(H264_Enc_Double_Frame_Sized(h, out.data(), 10), 10);
    out = untouched;

    // Before an SPS, a PPS and a slice were parsed.
    ParserHandle* fresh = Kavrel_Open();
    ASSERT_NE(fresh, nullptr);
    {
        kavrel_test::StdoutCapture cap;
        EXPECT_EQ(H264_Enc_Double_Frame(fresh, out.data()), -1);
        EXPECT_EQ(H264_Enc_Double_Frame_Sized(fresh, out.data(), 64), -1);
        cap.take();
    }
    Kavrel_Close(fresh);
    EXPECT_EQ(out, untouched);
    kavrel_test::StdoutCapture cap;
    h->slice_received = 0;
    EXPECT_EQ(H264_Enc_Double_Frame_Sized(h, out.data(), 64), -1);
    h->slice_received = 1;
    h->active_pps.valid = 0;
    EXPECT_EQ(H264_Enc_Double_Frame_Sized(h, out.data(), 64), -1);
    h->active_pps.valid = 1;

    // More than one slice group; a stream without reference frames.
    h->active_pps.num_slice_groups_minus1 = 1;
    EXPECT_EQ(H264_Enc_Double_Frame_Sized(h, out.data(), 64), -1);
    h->active_pps.num_slice_groups_minus1 = 0;
    h->active_sps.max_ref_frame_count = 0;
    EXPECT_EQ(H264_Enc_Double_Frame_Sized(h, out.data(), 64), -1);
    EXPECT_EQ(out, untouched);
    cap.take();
}

}  // namespace
