// Kavrel_enc_h264Correct on crafted frames: request checks, the PPS tail
// (mode 1) at every number of free bits, the aspect ratio (mode 2), output
// capacity, and frames that carry other units around their parameter sets.
#include <gtest/gtest.h>

#include <cstring>

#include "api/parser_handle.h"
#include "kavrel.h"
#include "support/test_support.h"

using kavrel_test::BitBuilder;
using kavrel_test::Bytes;
using kavrel_test::concat;
using kavrel_test::hex;
using kavrel_test::nal;
using kavrel_test::StdoutCapture;
using kavrel_test::to_hex;

namespace {

// seq_parameter_set_data() of a 176x144 4:2:0 8-bit progressive set
// (7.3.2.1.1). High-family profiles carry the chroma fields.
Bytes sps_rbsp(int profile_idc, bool vui_with_aspect = false) {
    BitBuilder b;
    b.u(8, profile_idc).u(8, profile_idc == 66 ? 0xc0 : 0).u(8, 30).ue(0);
    if (profile_idc >= 100) b.ue(1).ue(0).ue(0).u(1, 0).u(1, 0);  // 4:2:0, 8 bit, no matrix
    b.ue(0).ue(2).ue(1).u(1, 0);                                   // frame_num 4 bits, POC type 2, 1 ref
    b.ue(10).ue(8).u(1, 1).u(1, 1).u(1, 0);                        // 11x9 MBs, frames, direct8x8, no crop
    if (!vui_with_aspect) {
        b.u(1, 0);
    } else {
        b.u(1, 1);                      // vui_parameters_present_flag
        b.u(1, 1).u(8, 2);              // aspect_ratio_idc 2 (12:11)
        b.u(1, 0);                      // overscan_info_present_flag
        b.u(1, 1).u(3, 5).u(1, 0).u(1, 1).u(8, 1).u(8, 1).u(8, 1);  // video signal, BT.709 colour
        b.u(1, 0).u(1, 0).u(1, 0).u(1, 0).u(1, 0).u(1, 0);          // no loc/timing/HRD/pic_struct/restriction
    }
    return b.trailing().bytes();
}

// pic_parameter_set_rbsp() ending after redundant_pic_cnt_present_flag.
// `pps_id` and `qp_delta` move the flag's position by whole codes; slice
// groups (map type 1) add one more code.
Bytes pps_rbsp(int pps_id, int qp_delta, bool two_slice_groups = false) {
    BitBuilder b;
    b.ue(pps_id).ue(0).u(1, 0).u(1, 0);
    if (two_slice_groups) {
        b.ue(1).ue(1);  // num_slice_groups_minus1 1, slice_group_map_type 1 (dispersed)
    } else {
        b.ue(0);
    }
    b.ue(0).ue(0).u(1, 0).u(2, 0).se(qp_delta).se(0).se(0).u(1, 1).u(1, 0).u(1, 0);
    return b.trailing().bytes();
}

// Bit index of redundant_pic_cnt_present_flag: the bit before the stop bit.
int flag_bit(const Bytes& rbsp) {
    const uint8_t last = rbsp.back();
    return static_cast<int>(rbsp.size()) * 8 - __builtin_ctz(last) - 2;
}

struct Corrected {
    int32_t rc;
    int32_t corrected;
    Bytes out;
    std::string log;
};

Corrected correct(const Bytes& frame, int mode, uint32_t sar_w = 0, uint32_t sar_h = 0, size_t capacity = 0) {
    Corrected c{};
    Bytes cure(capacity ? capacity : frame.size() + 64, 0xEE);
    CorrectionRequest req{};
    req.OrgFrameLength = static_cast<uint32_t>(frame.size());
    req.org_frame = frame.data();
    req.cureFrameLength = static_cast<uint32_t>(cure.size());
    req.cure_frame = cure.data();
    req.corrected = 7;
    req.sar_width = sar_w;
    req.sar_height = sar_h;
    req.correction_mode = mode;
    StdoutCapture cap;
    c.rc = Kavrel_enc_h264Correct(&req);
    c.log = cap.take();
    c.corrected = req.corrected;
    if (c.corrected == 1) c.out.assign(cure.begin(), cure.begin() + req.cureFrameLength);
    return c;
}

TEST(Correction, RequestChecks) {
    const Bytes frame = concat({nal(0x67, sps_rbsp(100)), nal(0x68, pps_rbsp(0, 0))});
    Bytes cure(frame.size());
    CorrectionRequest req{};
    req.OrgFrameLength = static_cast<uint32_t>(frame.size());
    req.cureFrameLength = static_cast<uint32_t>(cure.size());
    req.correction_mode = 1;
    req.corrected = 7;
    {
        StdoutCapture cap;
        req.cure_frame = cure.data();
        EXPECT_EQ(Kavrel_enc_h264Correct(&req), -1);
        EXPECT_EQ(cap.take(), "[VsKavrel]:Error: NULL orignal pointer\n\n");
    }
    {
        StdoutCapture cap;
        req.org_frame = frame.data();
        req.cure_frame = nullptr;
        EXPECT_EQ(Kavrel_enc_h264Correct(&req), -1);
        EXPECT_EQ(cap.take(), "[VsKavrel]:Error: NULL currect  pointer\n\n");
    }
    {
        StdoutCapture cap;
        req.cure_frame = cure.data();
        req.cureFrameLength = req.OrgFrameLength - 1;
        EXPECT_EQ(Kavrel_enc_h264Correct(&req), -1);
        EXPECT_EQ(cap.take(), "[VsKavrel]:Error: cureFrameLength < OrgFrameLength\n\n");
        EXPECT_EQ(req.corrected, 7);  // untouched
    }
    {
        StdoutCapture cap;
        EXPECT_EQ(Kavrel_enc_h264Correct(nullptr), -1);
        EXPECT_NE(cap.take().find("NULL Pointer"), std::string::npos);
    }
    // SAR values that do not fit the 16-bit fields are refused, not cut.
    Corrected big = correct(frame, 2, 65536, 1);
    EXPECT_EQ(big.rc, -1);
    EXPECT_NE(big.log.find("65535"), std::string::npos);
    // Any mode but 1 and 2: parsed, then -1 with nothing corrected.
    Corrected none = correct(frame, 0);
    EXPECT_EQ(none.rc, -1);
    EXPECT_EQ(none.corrected, 0);
    // A frame whose slice comes before any SPS: the driver's -7, corrected -1.
    Corrected early = correct(hex("00 00 00 01 65 88 84 00 ff"), 1);
    EXPECT_EQ(early.rc, -7);
    EXPECT_EQ(early.corrected, -1);
}

TEST(Correction, PpsTailByFreeBits) {
    const Bytes sps100 = nal(0x67, sps_rbsp(100));
    const Bytes sps110 = nal(0x67, sps_rbsp(110));
    struct Case {
        Bytes sps;
        Bytes pps;
        int expect_flag_bit;
        bool corrected;
    };
    const Case cases[] = {
        {sps100, pps_rbsp(0, 0), 15, false},        // free 0
        {sps100, pps_rbsp(1, 1), 19, false},        // free 4
        {sps100, pps_rbsp(7, 0), 21, true},         // free 2
        {sps110, pps_rbsp(0, 0, true), 20, true},   // free 3
        {sps110, pps_rbsp(0, -1, true), 22, true},  // free 1
        {sps110, pps_rbsp(1, 0, true), 22, true},   // free 1, other leading bits
    };
    for (const Case& c : cases) {
        ASSERT_EQ(flag_bit(c.pps), c.expect_flag_bit);
        const Bytes frame = concat({c.sps, nal(0x68, c.pps)});
        Corrected r = correct(frame, 1);
        EXPECT_EQ(r.rc, 0) << r.log;
        EXPECT_EQ(r.corrected, c.corrected ? 1 : 0) << "flag at " << c.expect_flag_bit;
        if (!c.corrected) continue;
        // The SPS unit is unchanged; the PPS RBSP is the old one up to the
        // flag's byte, then 1 0 1 1 and zeros.
        ASSERT_GE(r.out.size(), c.sps.size());
        EXPECT_EQ(Bytes(r.out.begin(), r.out.begin() + static_cast<long>(c.sps.size())), c.sps);
        const Bytes pps_out(r.out.begin() + static_cast<long>(c.sps.size()), r.out.end());
        const int t = c.expect_flag_bit;
        const size_t n = static_cast<size_t>((t + 8) / 8);
        ASSERT_EQ(pps_out.size(), 5 + n + 1) << to_hex(pps_out);
        EXPECT_EQ(to_hex(Bytes(pps_out.begin(), pps_out.begin() + 5)), "00 00 00 01 68");
        for (size_t i = 0; i + 1 < n; ++i) EXPECT_EQ(pps_out[5 + i], c.pps[i]);
        uint32_t after = 0;
        for (int i = 1; i <= 4; ++i) {
            const int bit = t + i;
            after = after << 1 | ((pps_out[5 + static_cast<size_t>(bit / 8)] >> (7 - bit % 8)) & 1);
        }
        EXPECT_EQ(after, 0b1011u);
        if (t == 20) {
            EXPECT_EQ(pps_out[5 + 2], c.pps[2] | 0x01);
            EXPECT_EQ(pps_out[5 + 3], 0x80);
        }
        // The corrected PPS parses, with the 8x8 transform announced.
        ParserHandle* h = Kavrel_Open();
        FrameInput in{r.out.data(), static_cast<uint32_t>(r.out.size())};
        FrameInfo info{};
        StdoutCapture quiet;
        EXPECT_EQ(Kavrel_Start(h, &in, &info), 0);
        EXPECT_EQ(h->transform_8x8_mode, 1);
        Kavrel_Close(h);
    }
    // Main profile, or a PPS that already has its tail: nothing to do.
    EXPECT_EQ(correct(concat({nal(0x67, sps_rbsp(77)), nal(0x68, pps_rbsp(3, 0))}), 1).corrected, 0);
    BitBuilder tail;
    tail.ue(0).ue(0).u(1, 0).u(1, 0).ue(0).ue(0).ue(0).u(1, 0).u(2, 0).se(0).se(0).se(0).u(1, 1).u(1, 0).u(1, 0);
    tail.u(1, 1).u(1, 0).se(0).trailing();
    EXPECT_EQ(correct(concat({sps100, nal(0x68, tail.bytes())}), 1).corrected, 0);
    // No PPS in the frame.
    EXPECT_EQ(correct(sps100, 1).corrected, 0);
}

TEST(Correction, AspectRatioWithAndWithoutVui) {
    // No VUI, request 0:0: the picture's own size, 176:144 = 11:9.
    const Bytes pps = nal(0x68, pps_rbsp(0, 0));
    Corrected a = correct(concat({nal(0x67, sps_rbsp(66)), pps}), 2);
    ASSERT_EQ(a.corrected, 1) << a.log;
    ParserHandle* h = Kavrel_Open();
    FrameInput in{a.out.data(), static_cast<uint32_t>(a.out.size())};
    FrameInfo info{};
    {
        StdoutCapture quiet;
        EXPECT_EQ(Kavrel_Start(h, &in, &info), 0);
    }
    EXPECT_EQ(h->active_sps.aspect_ratio_idc, 255);
    EXPECT_EQ(h->active_sps.sar_width, 11);
    EXPECT_EQ(h->active_sps.sar_height, 9);
    Kavrel_Close(h);
    // The PPS follows unchanged.
    EXPECT_EQ(Bytes(a.out.end() - static_cast<long>(pps.size()), a.out.end()), pps);

    // A VUI with aspect_ratio_idc 2 and a colour description: 8:6 becomes
    // 4:3, the colour description stays.
    Corrected b = correct(concat({nal(0x67, sps_rbsp(100, true)), pps}), 2, 8, 6);
    ASSERT_EQ(b.corrected, 1) << b.log;
    h = Kavrel_Open();
    in = FrameInput{b.out.data(), static_cast<uint32_t>(b.out.size())};
    {
        StdoutCapture quiet;
        EXPECT_EQ(Kavrel_Start(h, &in, &info), 0);
    }
    EXPECT_EQ(h->active_sps.aspect_ratio_idc, 255);
    EXPECT_EQ(h->active_sps.sar_width, 4);
    EXPECT_EQ(h->active_sps.sar_height, 3);
    EXPECT_EQ(h->active_sps.colour_description_present_flag, 1);
    EXPECT_EQ(h->active_sps.video_format, 5);
    EXPECT_EQ(h->active_sps.matrix_coefficients, 1);
    Kavrel_Close(h);
}

TEST(Correction, EmulationPreventionInTheRewrittenSps) {
    // SAR 1:256 puts 00 01 00 into the RBSP: 16 bits of 1 and 16 bits of
    // 256 end in a run of zero bits that needs escaping after the rewrite.
    Corrected r = correct(concat({nal(0x67, sps_rbsp(66)), nal(0x68, pps_rbsp(0, 0))}), 2, 1, 256);
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
    ParserHandle* h = Kavrel_Open();
    FrameInput in{r.out.data(), static_cast<uint32_t>(r.out.size())};
    FrameInfo info{};
    {
        StdoutCapture quiet;
        EXPECT_EQ(Kavrel_Start(h, &in, &info), 0);
    }
    EXPECT_EQ(h->active_sps.sar_width, 1);
    EXPECT_EQ(h->active_sps.sar_height, 256);
    Kavrel_Close(h);
}

TEST(Correction, EveryOtherUnitKeepsItsPlaceAndTheOutputItsBounds) {
    const Bytes aud = hex("00 00 00 01 09 10");
    const Bytes sei = nal(0x06, hex("05 01 ff 80"));
    const Bytes sps = nal(0x67, sps_rbsp(66));
    const Bytes pps = nal(0x68, pps_rbsp(0, 0));
    const Bytes filler = hex("00 00 01 0c ff ff 80");
    const Bytes frame = concat({aud, sei, sps, pps, filler});
    Corrected r = correct(frame, 2, 4, 3);
    ASSERT_EQ(r.corrected, 1);
    const Bytes head = concat({aud, sei});
    EXPECT_EQ(Bytes(r.out.begin(), r.out.begin() + static_cast<long>(head.size())), head);
    const Bytes rest = concat({pps, filler});
    EXPECT_EQ(Bytes(r.out.end() - static_cast<long>(rest.size()), r.out.end()), rest);
    const size_t corrected_size = r.out.size();
    EXPECT_GT(corrected_size, frame.size());  // the SPS gained a VUI

    // cureFrameLength equal to the input, one byte short of the corrected
    // frame, and exactly its size: refused twice with nothing past the
    // buffer, then written.
    for (size_t cap : {frame.size(), corrected_size - 1, corrected_size}) {
        Bytes cure(cap + 16, 0xEE);
        CorrectionRequest req{};
        req.OrgFrameLength = static_cast<uint32_t>(frame.size());
        req.org_frame = frame.data();
        req.cureFrameLength = static_cast<uint32_t>(cap);
        req.cure_frame = cure.data();
        req.sar_width = 4;
        req.sar_height = 3;
        req.correction_mode = 2;
        StdoutCapture cap_out;
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
