// Kavrel_enc_h264Correct on crafted frames: request checks, the PPS tail
// (mode 1) at every number of free bits, the aspect ratio (mode 2), output
// capacity, and frames that carry other units around their parameter sets.
#include <gtest/gtest.h>

#include "stream/parser_handle.h"
#include "params/param_set_builders.h"

using kavrel_test::BitBuilder;
using kavrel_test::Bytes;
using kavrel_test::concat;
using kavrel_test::hex;
using kavrel_test::nal;
using kavrel_test::to_hex;
using params_test::pps_nal;
using params_test::sps_nal;

namespace {

// A 176x144 4:2:0 8-bit progressive SPS (POC type 2, one reference);
// High-family profiles carry the chroma fields.
params_test::SpsSpec sps(int profile_idc) {
    return {.profile_idc = profile_idc, .cs0 = profile_idc == 66, .cs1 = profile_idc == 66, .poc_type = 2};
}

// A PPS ending after redundant_pic_cnt_present_flag. `pps_id` and
// `qp_delta` move the flag's position by whole codes; slice groups (map
// type 1, dispersed) add one more code.
params_test::PpsSpec pps(uint64_t pps_id, int64_t qp_delta, bool two_slice_groups = false) {
    params_test::PpsSpec p{.pps_id = pps_id, .qp_minus26 = qp_delta};
    if (two_slice_groups) {
        p.slice_groups_minus1 = 1;
        p.slice_group_map = [](BitBuilder& b) { b.ue(1); };
    }
    return p;
}

CorrectionRequest request(const Bytes& frame, Bytes& cure, int mode, uint32_t sar_w = 0, uint32_t sar_h = 0) {
    CorrectionRequest req{};
    req.OrgFrameLength = static_cast<uint32_t>(frame.size());
    req.org_frame = frame.data();
    req.cureFrameLength = static_cast<uint32_t>(cure.size());
    req.cure_frame = cure.data();
    req.corrected = 7;
    req.sar_width = sar_w;
    req.sar_height = sar_h;
    req.correction_mode = mode;
    return req;
}

struct Corrected {
    int32_t rc;
    int32_t corrected;
    Bytes out;
    std::string log;
};

Corrected correct(const Bytes& frame, int mode, uint32_t sar_w = 0, uint32_t sar_h = 0) {
    Bytes cure(frame.size() + 64, 0xEE);
    CorrectionRequest req = request(frame, cure, mode, sar_w, sar_h);
    kavrel_test::StdoutCapture cap;
    Corrected c{Kavrel_enc_h264Correct(&req), 0, {}, cap.take()};
    c.corrected = req.corrected;
    if (c.corrected == 1) c.out.assign(cure.begin(), cure.begin() + req.cureFrameLength);
    return c;
}

TEST(Correction, RequestChecks) {
    const Bytes frame = concat({sps_nal(sps(100)), pps_nal()});
    const struct {
        std::function<void(CorrectionRequest&)> spoil;
        std::string log;
    } refusals[] = {
        {[](CorrectionRequest& r) { r.org_frame = nullptr; }, "[VsKavrel]:Error: NULL orignal pointer\n\n"},
        {[](CorrectionRequest& r) { r.cure_frame = nullptr; }, "[VsKavrel]:Error: NULL currect  pointer\n\n"},
        {[](CorrectionRequest& r) { --r.cureFrameLength; }, "[VsKavrel]:Error: cureFrameLength < OrgFrameLength\n\n"},
    };
    for (const auto& r : refusals) {
        Bytes cure(frame.size());
        CorrectionRequest req = request(frame, cure, 1);
        r.spoil(req);
        kavrel_test::StdoutCapture cap;
        EXPECT_EQ(Kavrel_enc_h264Correct(&req), -1);
        EXPECT_EQ(cap.take(), r.log);
        EXPECT_EQ(req.corrected, 7);  // untouched
    }
    {
        kavrel_test::StdoutCapture cap;
        EXPECT_EQ(Kavrel_enc_h264Correct(nullptr), -1);
        EXPECT_NE(cap.take().find("NULL Pointer"), std::string::npos);
    }
    // SAR values that do not fit the 16-bit fields are refused, not cut.
    const Corrected big = correct(frame, 2, 65536, 1);
    EXPECT_EQ(big.rc, -1);
    EXPECT_NE(big.log.find("65535"), std::string::npos);
    // Any mode but 1 and 2: parsed, then -1 with nothing corrected.
    const Corrected none = correct(frame, 0);
    EXPECT_EQ(none.rc, -1);
    EXPECT_EQ(none.corrected, 0);
    // A frame whose slice comes before any SPS: the driver's -7, corrected -1.
    const Corrected early = correct(hex("00 00 00 01 65 88 84 00 ff"), 1);
    EXPECT_EQ(early.rc, -7);
    EXPECT_EQ(early.corrected, -1);
}

TEST(Correction, PpsTailByFreeBits) {
    struct Case {
        Bytes sps;
        params_test::PpsSpec pps;
        int flag_bit;  // of redundant_pic_cnt_present_flag
        bool corrected;
    };
    const Case cases[] = {
        {sps_nal(sps(100)), pps(0, 0), 15, true},         // free 0
        {sps_nal(sps(100)), pps(1, 1), 19, true},         // free 4
        {sps_nal(sps(100)), {.chroma_qp_offset = -2}, 19, true},  // second offset -2 as decoders inferred
        {sps_nal(sps(100)), pps(7, 0), 21, true},         // free 2
        {sps_nal(sps(110)), pps(0, 0, true), 20, true},   // free 3
        {sps_nal(sps(110)), pps(0, -1, true), 22, true},  // free 1
        {sps_nal(sps(110)), pps(1, 0, true), 22, true},   // free 1, other leading bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("flag at " + std::to_string(c.flag_bit));
        const int t = c.flag_bit;
        const Bytes old_rbsp = params_test::build_pps(c.pps).trailing().bytes();
        ASSERT_EQ(params_test::build_pps(c.pps).bit_length(), static_cast<size_t>(t + 1));
        const Corrected r = correct(concat({c.sps, nal(0x68, old_rbsp)}), 1);
        EXPECT_EQ(r.rc, 0) << r.log;
        EXPECT_EQ(r.corrected, c.corrected ? 1 : 0);
        if (!c.corrected) continue;
        // The SPS unit is unchanged; the PPS RBSP is the old one up to the
        // flag, then transform_8x8_mode_flag 1, no scaling matrix,
        // second_chroma_qp_index_offset = chroma_qp_index_offset, the stop
        // bit and zeros to the end of the byte.
        ASSERT_GE(r.out.size(), c.sps.size());
        EXPECT_EQ(Bytes(r.out.begin(), r.out.begin() + static_cast<long>(c.sps.size())), c.sps);
        const Bytes pps_out(r.out.begin() + static_cast<long>(c.sps.size()), r.out.end());
        BitBuilder tail_bits;
        tail_bits.u(2, 2).se(c.pps.chroma_qp_offset).u(1, 1);
        std::string tail;
        for (size_t i = 0; i < tail_bits.bit_length(); ++i) tail += '0' + ((tail_bits.bytes()[i / 8] >> (7 - i % 8)) & 1);
        ASSERT_EQ(pps_out.size(), 5 + (t + 1 + tail.size() + 7) / 8) << to_hex(pps_out);
        EXPECT_EQ(to_hex(pps_out.data(), 5), "00 00 00 01 68");
        std::string bits;
        for (size_t i = 0; i < 8 * (pps_out.size() - 5); ++i) bits += '0' + ((pps_out[5 + i / 8] >> (7 - i % 8)) & 1);
        std::string old_bits;
        for (int i = 0; i <= t; ++i) old_bits += '0' + ((old_rbsp[i / 8] >> (7 - i % 8)) & 1);
        EXPECT_EQ(bits, old_bits + tail + std::string(bits.size() - old_bits.size() - tail.size(), '0'));
        // The corrected PPS parses, with the 8x8 transform announced.
        kavrel_test::Parser p;
        EXPECT_EQ(p.start(r.out).rc, 0);
        EXPECT_EQ(p->transform_8x8_mode, 1);
    }
    // Main profile, or a PPS that already has its tail: nothing to do.
    EXPECT_EQ(correct(concat({sps_nal(sps(77)), pps_nal(pps(3, 0))}), 1).corrected, 0);
    EXPECT_EQ(correct(concat({sps_nal(sps(100)), pps_nal({.tail = true, .transform_8x8 = 1})}), 1).corrected, 0);
    // No PPS in the frame.
    EXPECT_EQ(correct(sps_nal(sps(100)), 1).corrected, 0);
}

TEST(Correction, AspectRatioWithAndWithoutVui) {
    // No VUI, request 0:0: the picture's own size, 176:144 = 11:9. The PPS
    // follows unchanged.
    const Bytes pps = pps_nal();
    const Corrected a = correct(concat({sps_nal(sps(66)), pps}), 2);
    ASSERT_EQ(a.corrected, 1) << a.log;
    kavrel_test::Parser p;
    EXPECT_EQ(p.start(a.out).rc, 0);
    EXPECT_EQ(p->active_sps.aspect_ratio_idc, 255);
    EXPECT_EQ(p->active_sps.sar_width, 11);
    EXPECT_EQ(p->active_sps.sar_height, 9);
    EXPECT_EQ(Bytes(a.out.end() - static_cast<long>(pps.size()), a.out.end()), pps);

    // A VUI with aspect_ratio_idc 2 (12:11) and a colour description: 8:6
    // becomes 4:3, the colour description stays.
    params_test::SpsSpec vui = sps(100);
    vui.vui = [](BitBuilder& b) {
        b.u(1, 1).u(8, 2).u(1, 0);                                  // aspect_ratio_idc 2, no overscan
        b.u(1, 1).u(3, 5).u(1, 0).u(1, 1).u(8, 1).u(8, 1).u(8, 1);  // video signal, BT.709 colour
        b.u(6, 0);                                                  // no loc/timing/HRD/pic_struct/restriction
    };
    const Corrected b = correct(concat({sps_nal(vui), pps}), 2, 8, 6);
    ASSERT_EQ(b.corrected, 1) << b.log;
    kavrel_test::Parser q;
    EXPECT_EQ(q.start(b.out).rc, 0);
    EXPECT_EQ(q->active_sps.aspect_ratio_idc, 255);
    EXPECT_EQ(q->active_sps.sar_width, 4);
    EXPECT_EQ(q->active_sps.sar_height, 3);
    EXPECT_EQ(q->active_sps.colour_description_present_flag, 1);
    EXPECT_EQ(q->active_sps.video_format, 5);
    EXPECT_EQ(q->active_sps.matrix_coefficients, 1);
}

TEST(Correction, EmulationPreventionInTheRewrittenSps) {
    // SAR 1:256 puts 00 01 00 into the RBSP: 16 bits of 1 and 16 bits of
    // 256 end in a run of zero bits that needs escaping after the rewrite.
    const Corrected r = correct(concat({sps_nal(sps(66)), pps_nal()}), 2, 1, 256);
    ASSERT_EQ(r.corrected, 1);
    // No start-code prefix may appear inside the NAL units.
    int units = 0;
    for (size_t i = 0; i + 2 < r.out.size(); ++i) {
        if (r.out[i] == 0 && r.out[i + 1] == 0 && r.out[i + 2] <= 2) {
            if (r.out[i + 2] == 1) ++units;
            EXPECT_TRUE(r.out[i + 2] == 1 || (i + 3 < r.out.size() && r.out[i + 3] == 1))
                << "unescaped at " << i << ": " << to_hex(r.out);
        }
    }
    EXPECT_EQ(units, 2);
    kavrel_test::Parser p;
    EXPECT_EQ(p.start(r.out).rc, 0);
    EXPECT_EQ(p->active_sps.sar_width, 1);
    EXPECT_EQ(p->active_sps.sar_height, 256);
}

TEST(Correction, EveryOtherUnitKeepsItsPlaceAndTheOutputItsBounds) {
    const Bytes head = concat({hex("00 00 00 01 09 10"), nal(0x06, hex("05 01 ff 80"))});  // AUD, SEI
    const Bytes rest = concat({pps_nal(), hex("00 00 01 0c ff ff 80")});                   // PPS, filler
    const Bytes frame = concat({head, sps_nal(sps(66)), rest});
    const Corrected r = correct(frame, 2, 4, 3);
    ASSERT_EQ(r.corrected, 1);
    EXPECT_EQ(Bytes(r.out.begin(), r.out.begin() + static_cast<long>(head.size())), head);
    EXPECT_EQ(Bytes(r.out.end() - static_cast<long>(rest.size()), r.out.end()), rest);
    const size_t corrected_size = r.out.size();
    EXPECT_GT(corrected_size, frame.size());  // the SPS gained a VUI

    // cureFrameLength equal to the input, one byte short of the corrected
    // frame, and exactly its size: refused twice with nothing past the
    // buffer, then written.
    for (size_t cap : {frame.size(), corrected_size - 1, corrected_size}) {
        Bytes cure(cap + 16, 0xEE);
        CorrectionRequest req = request(frame, cure, 2, 4, 3);
        req.cureFrameLength = static_cast<uint32_t>(cap);
        kavrel_test::StdoutCapture cap_out;
        const int32_t rc = Kavrel_enc_h264Correct(&req);
        const std::string log = cap_out.take();
        for (size_t i = cap; i < cure.size(); ++i) ASSERT_EQ(cure[i], 0xEE) << "written past the buffer at " << i;
        if (cap < corrected_size) {
            EXPECT_LT(rc, 0);
            EXPECT_EQ(req.corrected, 0);
            EXPECT_NE(log.find("cureFrameLength"), std::string::npos);
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(req.corrected, 1);
            EXPECT_EQ(req.cureFrameLength, corrected_size);
        }
    }
}

}  // namespace
