// Every refusal of the exported calls with its code and its exact lines,
// through the C interface: crafted parameter sets and slices given to
// Kavrel_Start, and the requests the synthesis calls turn down.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "params/param_set_builders.h"

using namespace params_test;
using kavrel_test::concat;
using kavrel_test::hex;
using kavrel_test::LogCapture;

namespace {

const std::string kTag = "[VsKavrel]:";
const std::string kInvalid = kTag + "Warnning: sps exists invalid sytnax\n";

// "<code> <lines>" of the last Kavrel_Start call over `frames` on a fresh handle.
std::string said(const Bytes& frames) {
    const kavrel_test::Started r = kavrel_test::Parser().walk(frames);
    EXPECT_TRUE(r.rc == 0 || r.info.consumed == 0) << "consumed set on failure";
    return std::to_string(r.rc) + " " + r.log;
}

std::string sps_fail(int rc, const std::string& line) { return std::to_string(rc) + " " + kTag + line + kTag + "Parse sps fail\n"; }

TEST(Refusals, SequenceParameterSet) {
    auto high = [](SpsSpec& s) { s.profile_idc = 100; };
    const std::string constraint = "profile_idc is equal to 44, 100, 122, or 244, the values of constraint_set0_flag, "
                                   "constraint_set1_flag, and constraint_set2_flag must all be equal to 0\n";
    const std::string format = "Only support 8-bit 4:2:0 format\n" + kInvalid;
    const struct {
        std::function<void(SpsSpec&)> set;
        std::string said;
    } rows[] = {
        {[](SpsSpec& s) { s.id = 32; }, sps_fail(-12, "Invalid sps id: 32\n")},
        {[](SpsSpec& s) { s.id = 31; }, "0 "},
        {[](SpsSpec& s) { s.profile_idc = 100, s.cs1 = 1; }, sps_fail(-22, constraint)},
        {[](SpsSpec& s) { s.profile_idc = 44, s.cs2 = 1; }, sps_fail(-22, constraint)},
        {[](SpsSpec& s) { s.profile_idc = 100, s.cs3 = 1; }, "0 "},
        {[&](SpsSpec& s) { high(s), s.chroma_format_idc = 4; },
         sps_fail(-20, "chroma_format_idc is out of range [0, 3], the value is 4\n")},
        {[](SpsSpec& s) { s.profile_idc = 183; },
         sps_fail(-22, "profile_idc is equal to 183, chroma_format_idc shall be equal to 0\n")},
        {[&](SpsSpec& s) { high(s), s.bit_depth_luma = 7; },
         sps_fail(-20, "the luma or chroma bit_depth_minus8 out of rang is 7,0\n")},
        {[&](SpsSpec& s) { high(s), s.bit_depth_chroma = 7; },
         sps_fail(-20, "the luma or chroma bit_depth_minus8 out of rang is 0,7\n")},
        {[](SpsSpec& s) { s.log2_max_frame_num_minus4 = 12; }, "0 "},
        {[](SpsSpec& s) { s.log2_max_frame_num_minus4 = 13; },
         sps_fail(-20, "the log2_max_frame_num is out of range [0,16],which is 17\n")},
        {[](SpsSpec& s) { s.poc_type = 3; }, sps_fail(-20, "poc value out of range[0,2],current poc value is 3\n")},
        {[](SpsSpec& s) { s.log2_max_poc_lsb_minus4 = 12; }, "0 "},
        {[](SpsSpec& s) { s.log2_max_poc_lsb_minus4 = 13; },
         sps_fail(-20, "the log2_max_poc_lsb is out of range [4, 16], which is 17\n")},
        {[](SpsSpec& s) { s.poc_type = 1, s.offset_for_ref_frame.assign(255, -7); }, "0 "},
        {[](SpsSpec& s) { s.poc_type = 1, s.offset_for_ref_frame.assign(256, 0); },
         sps_fail(-20, "poc_cycle_length is out of range [0, 255],the value is 256\n")},
        {[](SpsSpec& s) { s.max_num_ref_frames = 16; }, "0 "},
        {[](SpsSpec& s) { s.max_num_ref_frames = 17; },
         sps_fail(-20, "max_ref_frame_count is greater than 16, the value is 17\n")},
        {[](SpsSpec& s) { s.width_mbs_minus1 = 32767; }, sps_fail(-20, "mb_width is less than 0, \n")},
        {[](SpsSpec& s) { s.height_map_units_minus1 = 32767; }, sps_fail(-20, "mb_height is less than 0, \n")},
        {[](SpsSpec& s) { s.frame_mbs_only = 0, s.direct_8x8 = 0; },
         sps_fail(-20, "When frame_mbs_only_flag is equal to 0, direct_8x8_inference_flag shall be equal to 1\n")},
        // 11 x 9 macroblocks: 88 column units and 72 row units of 4:2:0 crop.
        {[](SpsSpec& s) { s.cropping = 1, s.crop_right = 2, s.crop_left = 85; }, "0 "},
        {[](SpsSpec& s) { s.cropping = 1, s.crop_right = 2, s.crop_left = 86; },
         sps_fail(-20, "crop_left shall be in range of[0, max_frame_widht]\n")},
        {[](SpsSpec& s) { s.cropping = 1, s.crop_bottom = 1, s.crop_top = 70; }, "0 "},
        {[](SpsSpec& s) { s.cropping = 1, s.crop_bottom = 1, s.crop_top = 71; },
         sps_fail(-20, "crop_top shall be in range of[0, max_frame_high]\n")},
        {[](SpsSpec& s) { s.frame_mbs_only = 0, s.cropping = 1, s.crop_top = 71; }, "0 "},
        {[](SpsSpec& s) { s.frame_mbs_only = 0, s.cropping = 1, s.crop_top = 72; },
         sps_fail(-20, "crop_top shall be in range of[0, max_frame_high]\n")},
        {[&](SpsSpec& s) { high(s), s.chroma_format_idc = 0, s.cropping = 1, s.crop_left = 500; }, "0 "},
        {[](SpsSpec& s) { s.profile_idc = 83; }, "0 " + kTag + "Unknown profile: 83\n"},
        {[&](SpsSpec& s) { high(s), s.chroma_format_idc = 2; }, sps_fail(-22, format)},
        {[&](SpsSpec& s) { high(s), s.bit_depth_chroma = 1; }, sps_fail(-22, format)},
        {[&](SpsSpec& s) { high(s), s.qpprime = 1; }, sps_fail(-22, format)},
        {[](SpsSpec& s) { s.width_mbs_minus1 = 509; }, "0 "},
        {[](SpsSpec& s) { s.width_mbs_minus1 = 511; }, sps_fail(-22, "Invalid Dimension(512x9)\n" + kInvalid)},
        {[](SpsSpec& s) { s.height_map_units_minus1 = 511; },
         sps_fail(-22, "Invalid Dimension(11x512)\n" + kInvalid)},
        {[](SpsSpec& s) { s.profile_idc = 66, s.frame_mbs_only = 0; },
         sps_fail(-22, "Interlace is not support for BASELINE\n" + kInvalid)},
    };
    int row = 0;
    for (const auto& r : rows) {
        SpsSpec s;
        r.set(s);
        EXPECT_EQ(said(sps_nal(s)), r.said) << "row " << row++;
    }
}

std::string pps_fail(int rc, const std::string& line) { return std::to_string(rc) + " " + kTag + line + kTag + "Parse pps fail\n"; }

TEST(Refusals, PictureParameterSet) {
    auto tail = [](PpsSpec& p) { p.tail = true; };
    auto groups = [](uint64_t minus1, uint64_t type) {
        return [=](PpsSpec& p) { p.slice_groups_minus1 = minus1, p.slice_group_map = [=](BitBuilder& b) { b.ue(type); }; };
    };
    const std::string invalid = kTag + "Warnning: pps exists invalid sytnax\n";
    const struct {
        int sps_profile;  // 0: no SPS before the PPS
        std::function<void(PpsSpec&)> set;
        std::string said;
    } rows[] = {
        {0, [](PpsSpec& p) { p.pps_id = 256; }, pps_fail(-9, "pps_id is out of range[0, 255], the value is 256\n")},
        {0, [](PpsSpec& p) { p.sps_id = 32; }, pps_fail(-12, "sps_id is out of range[0, 31], the value is 32\n")},
        {0, [](PpsSpec& p) { p.slice_groups_minus1 = 128; }, pps_fail(-19, "slice_group_count is out of range\n")},
        {0, groups(1, 7), pps_fail(-19, "slice_group_map_type is out of range[0, 6], the value is 7\n")},
        {0, groups(2, 3),
         pps_fail(-19, "num_slice_groups_minus1 is not equal to 1, slice_group_map_type shall not be equal to 3,4,or 5\n")},
        {0, [](PpsSpec& p) { p.l0_minus1 = 31, p.l1_minus1 = 287; }, "0 "},  // 288 kept to 8 bits is 32
        {0, [](PpsSpec& p) { p.l0_minus1 = 32; },
         pps_fail(-19, "pps->ref_count[0] or pps->ref_count[1] are out of range[1, 32], the values are 33  1\n")},
        {0, [](PpsSpec& p) { p.weighted_bipred = 3; }, pps_fail(-19, "weighted_bipred_idc is out of range[0,2], the value is 3\n")},
        {66, groups(1, 1), "0 "},
        {66, [](PpsSpec& p) { p.entropy = 1; }, pps_fail(-22, "CABAC is not valid for BASELINE\n" + invalid)},
        {66, [](PpsSpec& p) { p.weighted_pred = 1; }, pps_fail(-22, "Weighted predition is invalid for BASELINE\n" + invalid)},
        {66, [&](PpsSpec& p) { tail(p), p.transform_8x8 = 1; }, pps_fail(-22, "Invalid syntax for BASELINE\n" + invalid)},
        {77, [](PpsSpec& p) { p.entropy = 1, p.weighted_pred = 1, p.weighted_bipred = 2; }, "0 "},
        {77, groups(1, 1), pps_fail(-22, "Invalid num_slice_groups_minus1(1) for MAIN\n" + invalid)},
        {77, [](PpsSpec& p) { p.redundant = 1; }, pps_fail(-22, "Invalid redundant_pic_cnt_present(1) for MAIN\n" + invalid)},
        {77, [&](PpsSpec& p) { tail(p), p.transform_8x8 = 1; }, pps_fail(-22, "Invalid syntax for MAIN\n" + invalid)},
        {100, [&](PpsSpec& p) { tail(p), p.transform_8x8 = 1, p.second_chroma_qp_offset = 3; }, "0 "},
        {100, groups(2, 1), pps_fail(-22, "Invalid num_slice_groups_minus1(2) for HP\n" + invalid)},
        {100, [](PpsSpec& p) { p.redundant = 1; }, pps_fail(-22, "Invalid redundant_pic_cnt_present(1) for HP\n" + invalid)},
        {122, [](PpsSpec& p) { p.redundant = 1; }, "0 "},
    };
    int row = 0;
    for (const auto& r : rows) {
        PpsSpec p;
        r.set(p);
        const Bytes sps = r.sps_profile ? sps_nal({.profile_idc = r.sps_profile}) : Bytes{};
        EXPECT_EQ(said(concat({sps, pps_nal(p)})), r.said) << "row " << row++;
    }
}

std::string slice_fail(int rc, const std::string& line) {
    return std::to_string(rc) + " " + kTag + line + kTag + "Parse slice header fail\n";
}

TEST(Refusals, SliceHeaderAndFrame) {
    const Bytes sets = concat({sps_nal(), pps_nal()});
    const Bytes cabac = concat({sps_nal(), pps_nal({.entropy = 1})});
    auto p_slice = [](SliceSpec s) { return s.header = 0x41, s.slice_type = 5, s.frame_num = 1, s; };
    const struct {
        Bytes frame;
        std::string said;
    } rows[] = {
        {concat({sets, slice_nal({.slice_type = 10})}), slice_fail(-6, "slice_type is out of range [0, 9], the value is 10\n")},
        {concat({sets, slice_nal({.slice_type = 5})}), slice_fail(-5, "IDR Nal containing Non-IDR slice\n")},
        {concat({sets, slice_nal({.header = 0x61, .slice_type = 8})}), slice_fail(-4, "slice_type(6) not supported\n")},
        {concat({sets, slice_nal({.pps_id = 256})}), slice_fail(-9, "pps_id out of range[0, 255], the value is 256\n")},
        {concat({sets, slice_nal({.pps_id = 1})}), slice_fail(-3, "PPS referenced in slice header is invalid\n")},
        {concat({sps_nal(), pps_nal({.sps_id = 1}), slice_nal({})}), slice_fail(-8, "non existing SPS referenced\n\n")},
        {concat({sps_nal(), pps_nal({.qp_minus26 = -27}), slice_nal({})}),
         slice_fail(-2, "QP out of range [0, 51], the value is -1\n")},
        {concat({sps_nal(), pps_nal({.chroma_qp_offset = 13}), slice_nal({})}),
         slice_fail(-19, "the chroma_qp_index_offset is out of range:13\n")},
        {concat({sets, slice_nal({.qp_delta = 26})}), slice_fail(-2, "QP out of range [0, 51], the value is 52\n")},
        {concat({sets, slice_nal({.qp_delta = 25})}), "0 "},
        {concat({sets, slice_nal({.deblocking_idc = 3})}), slice_fail(-18, "deblocking_filter_idc is 3 out of range[0,2]\n")},
        {concat({sets, slice_nal({.deblocking_idc = 0, .alpha_div2 = 7, .beta_div2 = -6})}),
         slice_fail(-1, "Invalid slice_alpha_c0_offset(14), slice_beta_offset(-12)\n")},
        {concat({sets, slice_nal({.deblocking_idc = 2, .alpha_div2 = 6, .beta_div2 = -6})}), "0 "},
        {concat({sets, slice_nal({.frame_num = 3})}), slice_fail(-16, "ERROR: IDR frame_num start with 3\n")},
        {concat({sets, slice_nal({}), slice_nal({.header = 0x41, .slice_type = 5, .frame_num = 3})}),
         slice_fail(-16, "ERROR: frame_num start from 3, prev_frame_num(0)\n")},
        {concat({sets, slice_nal(p_slice({.middle = [](BitBuilder& b) { b.u(1, 1).ue(32).u(1, 0).u(1, 0); }}))}),
         slice_fail(-18, "h->ref_count[0] or h->ref_count[1] are out of range[1, 32], the values are 33  1\n")},
        {concat({sets, slice_nal(p_slice({.middle = [](BitBuilder& b) { b.u(1, 0).u(1, 1).ue(4); }}))}),
         "*" + kTag + "reordering_of_pic_nums_idc shall be in the range of [0, 3]\n"},
        {concat({sets, slice_nal(p_slice({.middle = [](BitBuilder& b) { b.u(1, 0).u(1, 0).u(1, 1).ue(7); }}))}),
         "*" + kTag + "memory_management_control_operation is out of range[0,6], the value is 7\n"},
        {concat({cabac, slice_nal(p_slice({.cabac_init_idc = 3}))}),
         slice_fail(-18, "the cabac_init_idc is out of range [0,2], which is 3\n")},
        {concat({sps_nal(), pps_nal({.weighted_pred = 1}),
                 slice_nal(p_slice({.middle = [](BitBuilder& b) { b.u(1, 0).u(1, 0).ue(8); }}))}),
         "*" + kTag + "luma_log2_weight_denom shall be in the range of[0, 7]\n"},
        // A slice before any SPS; an SEI that claims to be a reference; an
        // IDR unit that does not; a non-IDR slice in an IDR frame picture.
        {hex("00 00 00 01 65 88 84 00"), "-7 "},
        {hex("00 00 01 26 05 01 ff 80"), "-11 " + kTag + "nal_ref_idc should equal to zero but it is 1, when nal_unit_type is 6\n"},
        {hex("00 00 01 05 88 84"), "-14 " + kTag + "IDR nal with nal_ref_idc(0)\n" + kTag + "Parse Nal fail\n"},
        {concat({sets, slice_nal({}), slice_nal({.header = 0x61, .first_mb = 50})}),
         "-13 " + kTag + "Frame containing both idr and non-idr\n"},
    };
    // Rows marked * hold a line the log must have: the slice structures'
    // own complaints do not end the slice header.
    int row = 0;
    for (const auto& r : rows) {
        if (r.said[0] == '*') {
            EXPECT_NE(said(r.frame).find(r.said.substr(1)), std::string::npos) << "row " << row++;
        } else {
            EXPECT_EQ(said(r.frame), r.said) << "row " << row++;
        }
    }
}

TEST(Refusals, NullArgumentsAndEmptyHandles) {
    kavrel_test::Parser p;
    const Bytes frame = hex("00 00 01 09 f0");
    FrameInput in{frame.data(), 5}, no_data{nullptr, 10};
    FrameInfo info;
    std::memset(&info, 0x5A, sizeof info);
    uint8_t out[64];
    FrameRateRequest rate{out, 0, 25}, no_buf{nullptr, 0, 25};
    LogCapture log;
    const int32_t rcs[] = {Kavrel_Start(nullptr, &in, &info), Kavrel_Start(p.h, nullptr, &info),
                           Kavrel_Start(p.h, &in, nullptr), info.consumed == 0x5A5A5A5Au ? -7 : 0,  // untouched
                           Kavrel_Start(p.h, &no_data, &info), info.consumed == 0 ? -7 : 0,
                           (Kavrel_Close(nullptr), -7), H264_Enc_Iframe(nullptr, &rate), H264_Enc_Iframe(p.h, nullptr),
                           H264_Enc_Iframe(p.h, &no_buf), H264_Enc_Iframe(p.h, &rate),  // no SPS parsed yet
                           H264_Enc_Iframe_Rate(p.h, out, 64, 25, 1), H264_Enc_Double_Frame_Sized(p.h, out, 64),
                           Kavrel_enc_h264Correct(nullptr)};
    EXPECT_EQ(std::vector<int32_t>(std::begin(rcs), std::end(rcs)),
              std::vector<int32_t>({-7, -7, -7, -7, -7, -7, -7, -1, -1, -1, -1, -1, -1, -1}));
    // One "<tag><function>: Error: NULL Pointer" and a blank line per refusal.
    const std::string text = log.take();
    size_t lines = 0;
    for (size_t pos = 0; (pos = text.find(": Error: NULL Pointer\n\n", pos)) != std::string::npos; ++pos) ++lines;
    EXPECT_GE(lines, 10u) << text;
    EXPECT_EQ(text.rfind(kTag, 0), 0u);
    EXPECT_STREQ(Kavrel_lib_get_version(), "reserver");
}

TEST(Refusals, FrameRateOutOfRange) {
    // tick 1000000 and time_scale 7: the rate multiplies the tick.
    const Bytes vui_sps = sps_nal({.vui = [](BitBuilder& b) { b.u(4, 0).u(1, 1).u(32, 1000000).u(32, 7).u(1, 0).u(5, 0); }});
    kavrel_test::Parser p;
    ASSERT_EQ(p.start(vui_sps).rc, 0);
    uint8_t out[128];
    FrameRateRequest req{out, 0, 3000};
    LogCapture quiet;
    EXPECT_EQ(H264_Enc_Iframe(p.h, &req), -1);  // 6,000,000,000 does not fit 32 bits
    req.fps = 2147;
    EXPECT_GT(H264_Enc_Iframe(p.h, &req), 0);  // 4,294,000,000 does
    req.fps = 0;
    EXPECT_EQ(H264_Enc_Iframe(p.h, &req), -1);
    EXPECT_EQ(H264_Enc_Iframe_Rate(p.h, out, 128, 0x80000000u, 1), -1);  // time_scale 2^32
    EXPECT_GT(H264_Enc_Iframe_Rate(p.h, out, 128, 0x7FFFFFFFu, 1), 0);
    EXPECT_EQ(H264_Enc_Iframe_Rate(p.h, out, 128, 25, 0), -1);
    EXPECT_EQ(H264_Enc_Iframe_Rate(p.h, out, 128, 0, 1), -1);
}

struct Corrected {
    int32_t rc, corrected;
    std::string log;
};

Corrected correct(const Bytes& frame, int mode, const std::function<void(CorrectionRequest&)>& spoil = {},
                  uint32_t sar_w = 0, uint32_t sar_h = 0) {
    Bytes cure(frame.size() + 64);
    CorrectionRequest req{static_cast<uint32_t>(frame.size()), 0, frame.data(), static_cast<uint32_t>(cure.size()),
                          0, cure.data(), 7, sar_w, sar_h, mode};
    if (spoil) spoil(req);
    LogCapture log;
    const int32_t rc = Kavrel_enc_h264Correct(&req);
    return {rc, req.corrected, log.take()};
}

TEST(Refusals, CorrectionRequests) {
    const Bytes frame = concat({sps_nal({.profile_idc = 100}), pps_nal()});
    const struct {
        std::function<void(CorrectionRequest&)> spoil;
        std::string log;
    } rows[] = {
        {[](CorrectionRequest& r) { r.org_frame = nullptr; }, kTag + "Error: NULL orignal pointer\n\n"},
        {[](CorrectionRequest& r) { r.cure_frame = nullptr; }, kTag + "Error: NULL currect  pointer\n\n"},
        {[](CorrectionRequest& r) { r.cureFrameLength = r.OrgFrameLength - 1; },
         kTag + "Error: cureFrameLength < OrgFrameLength\n\n"},
    };
    for (const auto& r : rows) {
        const Corrected c = correct(frame, 1, r.spoil);
        EXPECT_EQ(c.rc, -1);
        EXPECT_EQ(c.log, r.log);
        EXPECT_EQ(c.corrected, 7);  // untouched
    }
    const Corrected big = correct(frame, 2, {}, 65536, 1);  // does not fit 16 bits: refused, not cut
    EXPECT_EQ(big.rc, -1);
    EXPECT_NE(big.log.find("65535"), std::string::npos);
    EXPECT_EQ(correct(frame, 0).rc, -1);  // no such mode: parsed, nothing corrected
    EXPECT_EQ(correct(frame, 0).corrected, 0);
    const Corrected early = correct(hex("00 00 00 01 65 88 84 00 ff"), 1);  // a slice before any SPS
    EXPECT_EQ(early.rc, -7);
    EXPECT_EQ(early.corrected, -1);
    EXPECT_EQ(correct(concat({sps_nal(), pps_nal()}), 1).corrected, 0);  // Main: no tail to add
}

}  // namespace
