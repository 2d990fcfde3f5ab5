// Stream shapes found in the field, crafted unit by unit and run through the
// public interface only: which pictures a repeat may follow, full-range
// slice elements, PPS ranges, the log sink.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kavrel.h"
#include "support/test_support.h"

using kavrel_test::BitBuilder;
using kavrel_test::Bytes;

namespace {

struct Seq {
    int poc_type = 0;           // 1: delta_pic_order_always_zero_flag 1
    bool frame_mbs_only = true;
    uint64_t width_mbs = 11, height_map_units = 9;
    uint64_t l0_default_minus1 = 0;
};

struct Pic {
    int nal_type = 1, ref_idc = 1;
    uint64_t frame_num = 0, lsb = 0, first_mb = 0, idr_pic_id = 0;
    int structure = 3;          // 1 top, 2 bottom, 3 frame
    bool long_term = false, mmco5 = false;
};

// Main profile, CAVLC, log2_max_frame_num 4, 4-bit pic_order_cnt_lsb.
Bytes seq_and_pic_sets(const Seq& s) {
    BitBuilder sps;
    sps.u(8, 77).u(8, 0).u(8, 51).ue(0).ue(0).ue(static_cast<uint64_t>(s.poc_type));
    if (s.poc_type == 0) sps.ue(0);
    if (s.poc_type == 1) sps.flag(true).se(0).se(0).ue(0);
    sps.ue(1).flag(false).ue(s.width_mbs - 1).ue(s.height_map_units - 1).flag(s.frame_mbs_only);
    if (!s.frame_mbs_only) sps.flag(false);
    sps.flag(true).flag(false).flag(false).trailing();
    BitBuilder pps;
    pps.ue(0).ue(0).flag(false).flag(false).ue(0).ue(s.l0_default_minus1).ue(0).flag(false).u(2, 0);
    pps.se(0).se(0).se(0).flag(false).flag(false).flag(false).trailing();
    return kavrel_test::concat({kavrel_test::nal(0x67, sps.bytes()), kavrel_test::nal(0x68, pps.bytes())});
}

Bytes slice(const Seq& s, const Pic& p) {
    const bool idr = p.nal_type == 5;
    BitBuilder b;
    b.ue(p.first_mb).ue(idr ? 7 : 5).ue(0).u(4, p.frame_num);
    if (!s.frame_mbs_only) {
        b.flag(p.structure != 3);
        if (p.structure != 3) b.flag(p.structure == 2);
    }
    if (idr) b.ue(p.idr_pic_id);
    if (s.poc_type == 0) b.u(4, p.lsb);
    if (!idr) b.flag(false).flag(false);  // no override, no reordering
    if (idr && p.ref_idc != 0) b.flag(false).flag(p.long_term);
    if (!idr && p.ref_idc != 0) {
        b.flag(p.mmco5 || p.long_term);
        if (p.mmco5) b.ue(5);
        if (p.long_term) b.ue(6).ue(0);
        if (p.mmco5 || p.long_term) b.ue(0);
    }
    b.se(0).ue(0).trailing();  // slice_qp_delta, a token of slice data
    return kavrel_test::nal(static_cast<uint8_t>(p.ref_idc << 5 | p.nal_type), b.bytes());
}

Bytes stream(const Seq& s, const std::vector<Pic>& pics) {
    Bytes out = seq_and_pic_sets(s);
    for (const Pic& p : pics) out = kavrel_test::concat({out, slice(s, p)});
    return out;
}

// Every diagnostic of the library while alive, through the log sink.
// Kavrel_Start over the whole stream: the first negative code or 0.
int32_t parse_all(const kavrel_test::Parser& p, const Bytes& data, std::vector<uint32_t>* sizes = nullptr) {
    for (size_t at = 0; at < data.size();) {
        const kavrel_test::Started r = p.start(data, at);
        if (r.rc < 0 || r.info.consumed == 0) return r.rc;
        if (sizes) sizes->push_back(r.info.consumed);
        at += r.info.consumed;
    }
    return 0;
}

const Pic kIdr{.nal_type = 5};

TEST(RealStreams, RepeatOnlyWhereItRepeats) {
    const Seq fields{.frame_mbs_only = false};
    const struct {
        Seq seq;
        std::vector<Pic> pics;
        const char* refusal;  // nullptr: written
    } cases[] = {
        {{}, {kIdr, {.frame_num = 1, .lsb = 2}}, nullptr},
        {{}, {kIdr, {.frame_num = 1, .lsb = 2}, {.ref_idc = 0, .frame_num = 2, .lsb = 4}}, "not a reference"},
        {fields, {kIdr, {.frame_num = 1, .lsb = 2}}, nullptr},
        {fields, {kIdr, {.frame_num = 1, .lsb = 2, .structure = 1}}, "is a field"},
        {{.poc_type = 1}, {kIdr, {.frame_num = 1}}, "type 1"},
        {{.poc_type = 2}, {kIdr, {.frame_num = 1}}, nullptr},
        {{}, {kIdr, {.frame_num = 1, .lsb = 1}}, "steps by 1"},
        {{}, {{.nal_type = 5, .lsb = 1}}, nullptr},  // an IDR has no predecessor
        {{}, {{.nal_type = 5, .long_term = true}}, "long-term"},
        {{}, {kIdr, {.frame_num = 1, .lsb = 2, .long_term = true}}, "long-term"},
        {{}, {kIdr, {.frame_num = 1, .lsb = 2, .mmco5 = true}}, "operation 5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refusal ? c.refusal : "written");
        kavrel_test::Parser p;
        ASSERT_EQ(parse_all(p, stream(c.seq, c.pics)), 0);
        kavrel_test::LogCapture log;
        std::vector<uint8_t> out(4096, 0xEE);
        const int32_t n = H264_Enc_Double_Frame_Sized(p.h, out.data(), static_cast<uint32_t>(out.size()));
        if (c.refusal == nullptr) {
            EXPECT_GT(n, 5) << log.take();
            continue;
        }
        EXPECT_EQ(n, -1);
        EXPECT_EQ(H264_Enc_Double_Frame(p.h, out.data()), -1);
        EXPECT_EQ(out, std::vector<uint8_t>(4096, 0xEE));
        const std::string text = log.take();
        EXPECT_NE(text.find(c.refusal), std::string::npos) << text;
    }
}

TEST(RealStreams, FullRangeElementsAndPpsRanges) {
    const struct {
        Seq seq;
        std::vector<Pic> pics;
        int32_t rc;
        size_t frames;
    } cases[] = {
        // 7680x4320 in two slices, the second from macroblock 70000; idr_pic_id 65535.
        {{.width_mbs = 480, .height_map_units = 270},
         {{.nal_type = 5, .idr_pic_id = 65535}, {.nal_type = 5, .first_mb = 70000, .idr_pic_id = 65535}}, 0, 1},
        {{.width_mbs = 511, .height_map_units = 511}, {kIdr, {.nal_type = 5, .first_mb = 261120}}, 0, 1},
        {{.l0_default_minus1 = 31}, {kIdr}, 0, 1},
        {{.l0_default_minus1 = 287}, {kIdr}, KAVREL_E_PPS_RANGE, 0},  // not 32 after narrowing
    };
    for (const auto& c : cases) {
        kavrel_test::Parser p;
        std::vector<uint32_t> sizes;
        EXPECT_EQ(parse_all(p, stream(c.seq, c.pics), &sizes), c.rc);
        EXPECT_EQ(sizes.size(), c.frames);
    }
}

TEST(RealStreams, LogSinkGetsEachTextExactlyAndNullRestoresStdout) {
    const Bytes bad_pps = seq_and_pic_sets({.l0_default_minus1 = 287});
    const std::vector<std::string> expected = {
        "[VsKavrel]:pps->ref_count[0] or pps->ref_count[1] are out of range[1, 32], the values are 288  1\n",
        "[VsKavrel]:Parse pps fail\n"};
    std::vector<std::string> got;
    kavrel_test::Parser p;
    const FrameInput in{bad_pps.data(), static_cast<uint32_t>(bad_pps.size())};
    FrameInfo info;
    Kavrel_Set_Log_Callback([](void* o, const char* m) { static_cast<std::vector<std::string>*>(o)->push_back(m); },
                            &got);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Kavrel_Start(p.h, &in, &info), KAVREL_E_PPS_RANGE);
    Kavrel_Set_Log_Callback(nullptr, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(got, expected);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Kavrel_Start(p.h, &in, &info), KAVREL_E_PPS_RANGE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected[0] + expected[1]);
    EXPECT_EQ(got.size(), 2u);
}

}  // namespace
