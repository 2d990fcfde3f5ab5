// Stream shapes found in the field, crafted unit by unit and run through the
// public interface only: which pictures a repeat may follow, the log sink.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "params/param_set_builders.h"

using namespace params_test;
using kavrel_test::concat;

namespace {

// The sets, then the slices fitted to the SPS (field_pic_flag, POC lsb).
Bytes stream(const SpsSpec& sps, const PpsSpec& pps, std::vector<SliceSpec> slices) {
    Bytes out = concat({sps_nal(sps), pps_nal(pps)});
    for (SliceSpec& s : slices) {
        s.structure = sps.frame_mbs_only ? 0 : (s.structure ? s.structure : 3);
        s.poc_lsb_bits = sps.poc_type == 0 ? 6 : 0;
        out = concat({out, slice_nal(s)});
    }
    return out;
}

const SliceSpec kIdr{};
const SliceSpec kP{.header = 0x21, .slice_type = 5, .frame_num = 1, .poc_lsb = 2};

TEST(RealStreams, RepeatOnlyWhereItRepeats) {
    const SpsSpec fields{.frame_mbs_only = 0};
    const struct {
        SpsSpec sps;
        std::vector<SliceSpec> pics;
        const char* refusal;  // nullptr: written
    } cases[] = {
        {{}, {kIdr, kP}, nullptr},
        {{}, {kIdr, kP, {.header = 0x01, .slice_type = 5, .frame_num = 2, .poc_lsb = 4}}, "not a reference"},
        {fields, {kIdr, kP}, nullptr},
        {fields, {kIdr, {.header = 0x21, .slice_type = 5, .frame_num = 1, .structure = 1, .poc_lsb = 2}}, "is a field"},
        {{.poc_type = 1, .delta_pic_order_always_zero = 1}, {kIdr, kP}, "type 1"},
        {{.poc_type = 2}, {kIdr, kP}, nullptr},
        {{}, {kIdr, {.header = 0x21, .slice_type = 5, .frame_num = 1, .poc_lsb = 1}}, "steps by 1"},
        {{}, {{.poc_lsb = 1}}, nullptr},  // an IDR has no predecessor
        {{}, {{.long_term = true}}, "long-term"},
        {{}, {kIdr, {.header = 0x21, .slice_type = 5, .frame_num = 1, .poc_lsb = 2, .long_term = true}}, "long-term"},
        {{}, {kIdr, {.header = 0x21, .slice_type = 5, .frame_num = 1, .poc_lsb = 2, .mmco5 = true}}, "operation 5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refusal ? c.refusal : "written");
        kavrel_test::Parser p;
        ASSERT_EQ(p.walk(stream(c.sps, {}, c.pics)).rc, 0);
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

TEST(RealStreams, LogSinkGetsEachTextExactlyAndNullRestoresStdout) {
    const Bytes bad_pps = concat({sps_nal(), pps_nal({.l0_minus1 = 287})});  // not 32 after narrowing
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
