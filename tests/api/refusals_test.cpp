// Every refusal of the exported calls with its code and its exact lines, through the C interface: crafted parameter
// sets and slices given to Kavrel_Start, the requests the synthesis calls turn down, the pictures a repeat may not
// follow; the lines through the log sink or on stdout.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "params/param_set_builders.h"

using namespace params_test;
using namespace kavrel_test;

namespace {

const std::string kTag = "[VsKavrel]:";
const std::string kInvalid = kTag + "Warnning: sps exists invalid sytnax\n";

// "<code> <lines>" of the last Kavrel_Start call over `frames` on a fresh handle.
std::string said(const Bytes& frames) {
    const Started r = Parser().walk(frames);
    return std::to_string(r.rc) + " " + r.log;
}

// "<code> <line>" and the parser's closing line for `what` ("sps", "pps", "slice header").
std::string fail(int rc, const std::string& line, const std::string& what) {
    return std::to_string(rc) + " " + kTag + line + kTag + "Parse " + what + " fail\n";
}
std::string sps_fail(int rc, const std::string& line) { return fail(rc, line, "sps"); }

TEST(Refusals, SequenceParameterSet) {
    const std::string constraint = "profile_idc is equal to 44, 100, 122, or 244, the values of constraint_set0_flag, "
                                   "constraint_set1_flag, and constraint_set2_flag must all be equal to 0\n";
    const std::string format = "Only support 8-bit 4:2:0 format\n" + kInvalid;
    const std::string crop_left = "crop_left shall be in range of[0, max_frame_widht]\n";
    const std::string crop_top = "crop_top shall be in range of[0, max_frame_high]\n";
    // 11 x 9 macroblocks by default: 88 column and 72 row units of 4:2:0 crop.
    const struct {
        SpsSpec sps;
        std::string said;
    } rows[] = {
        {{.id = 32}, sps_fail(-12, "Invalid sps id: 32\n")},
        {{.id = 31}, "0 "},
        {{.profile_idc = 100, .cs1 = 1}, sps_fail(-22, constraint)},
        {{.profile_idc = 100, .cs3 = 1}, "0 "},
        {{.profile_idc = 100, .chroma_format_idc = 4},
         sps_fail(-20, "chroma_format_idc is out of range [0, 3], the value is 4\n")},
        {{.profile_idc = 100, .bit_depth_luma = 7},
         sps_fail(-20, "the luma or chroma bit_depth_minus8 out of rang is 7,0\n")},
        {{.log2_max_frame_num_minus4 = 12}, "0 "},
        {{.log2_max_frame_num_minus4 = 13},
         sps_fail(-20, "the log2_max_frame_num is out of range [0,16],which is 17\n")},
        {{.poc_type = 3}, sps_fail(-20, "poc value out of range[0,2],current poc value is 3\n")},
        {{.log2_max_poc_lsb_minus4 = 12}, "0 "},
        {{.log2_max_poc_lsb_minus4 = 13}, sps_fail(-20, "the log2_max_poc_lsb is out of range [4, 16], which is 17\n")},
        {{.poc_type = 1, .offset_for_ref_frame = std::vector<int64_t>(255, -7)}, "0 "},
        {{.poc_type = 1, .offset_for_ref_frame = std::vector<int64_t>(256, 0)},
         sps_fail(-20, "poc_cycle_length is out of range [0, 255],the value is 256\n")},
        {{.max_num_ref_frames = 16}, "0 "},
        {{.max_num_ref_frames = 17}, sps_fail(-20, "max_ref_frame_count is greater than 16, the value is 17\n")},
        {{.width_mbs_minus1 = 32767}, sps_fail(-20, "mb_width is less than 0, \n")},
        {{.height_map_units_minus1 = 32767}, sps_fail(-20, "mb_height is less than 0, \n")},
        {{.frame_mbs_only = 0, .direct_8x8 = 0},
         sps_fail(-20, "When frame_mbs_only_flag is equal to 0, direct_8x8_inference_flag shall be equal to 1\n")},
        {{.cropping = 1, .crop_left = 85, .crop_right = 2}, "0 "},
        {{.cropping = 1, .crop_left = 86, .crop_right = 2}, sps_fail(-20, crop_left)},
        {{.cropping = 1, .crop_top = 70, .crop_bottom = 1}, "0 "},
        {{.cropping = 1, .crop_top = 71, .crop_bottom = 1}, sps_fail(-20, crop_top)},
        {{.frame_mbs_only = 0, .cropping = 1, .crop_top = 71}, "0 "},  // 9 map units: 18 rows of macroblocks
        {{.frame_mbs_only = 0, .cropping = 1, .crop_top = 72}, sps_fail(-20, crop_top)},
        // Monochrome: crop units of one column, 176 of them.
        {{.profile_idc = 100, .chroma_format_idc = 0, .cropping = 1, .crop_left = 175}, "0 "},
        {{.profile_idc = 100, .chroma_format_idc = 0, .cropping = 1, .crop_left = 176}, sps_fail(-20, crop_left)},
        // The chroma format fields of clause 7.3.2.1.1's profile list, and of no other profile.
        {{.profile_idc = 83}, "0 " + kTag + "Unknown profile: 83\n"},
        {{.profile_idc = 183}, "0 " + kTag + "Unknown profile: 183\n"},
        {{.profile_idc = 44, .chroma_format_idc = 3}, sps_fail(-22, format)},
        {{.profile_idc = 86, .bit_depth_chroma = 1}, sps_fail(-22, "Unknown profile: 86\n" + kTag + format)},
        {{.profile_idc = 100, .chroma_format_idc = 2}, sps_fail(-22, format)},
        {{.profile_idc = 100, .bit_depth_luma = 2}, sps_fail(-22, format)},
        {{.width_mbs_minus1 = 509}, "0 "},
        {{.width_mbs_minus1 = 511}, sps_fail(-22, "Invalid Dimension(512x9)\n" + kInvalid)},
        {{.height_map_units_minus1 = 511}, sps_fail(-22, "Invalid Dimension(11x512)\n" + kInvalid)},
        // A code of 14 leading zeros at bit 37 reaches past a 32-bit window's meaningful bits: read in full.
        {{.width_mbs_minus1 = 1, .height_map_units_minus1 = 16384}, sps_fail(-22, "Invalid Dimension(2x16385)\n" + kInvalid)},
        {{.profile_idc = 66, .frame_mbs_only = 0}, sps_fail(-22, "Interlace is not support for BASELINE\n" + kInvalid)},
    };
    for (const auto& r : rows) EXPECT_EQ(said(sps_nal(r.sps)), r.said) << "row " << &r - rows;
}

std::string pps_fail(int rc, const std::string& line) { return fail(rc, line, "pps"); }

TEST(Refusals, PictureParameterSet) {
    const Writer dispersed = [](BitBuilder& b) { b.ue(1); }, out_of_range = [](BitBuilder& b) { b.ue(7); };
    const Writer box_out = [](BitBuilder& b) { b.ue(3); };
    const Writer boxes = [](BitBuilder& b) { b.ue(2).ue(0).ue(12).ue(13).ue(98); };
    const std::string invalid = kTag + "Warnning: pps exists invalid sytnax\n";
    const struct {
        int sps_profile;  // 0: no SPS before the PPS
        PpsSpec pps;
        std::string said;
    } rows[] = {
        {0, {.pps_id = 256}, pps_fail(-9, "pps_id is out of range[0, 255], the value is 256\n")},
        {0, {.sps_id = 32}, pps_fail(-12, "sps_id is out of range[0, 31], the value is 32\n")},
        {0, {.slice_groups_minus1 = 128}, pps_fail(-19, "slice_group_count is out of range\n")},
        {0, {.slice_groups_minus1 = 256}, pps_fail(-19, "slice_group_count is out of range\n")},  // not 0
        {0, {.slice_groups_minus1 = 1, .slice_group_map = out_of_range},
         pps_fail(-19, "slice_group_map_type is out of range[0, 6], the value is 7\n")},
        {0, {.slice_groups_minus1 = 2, .slice_group_map = box_out},
         pps_fail(-19, "num_slice_groups_minus1 is not equal to 1, slice_group_map_type shall not be equal to "
                       "3,4,or 5\n")},
        {0, {.l0_minus1 = 32},
         pps_fail(-19, "pps->ref_count[0] or pps->ref_count[1] are out of range[1, 32], the values are 33  1\n")},
        {0, {.weighted_bipred = 3}, pps_fail(-19, "weighted_bipred_idc is out of range[0,2], the value is 3\n")},
        // Map type 2: a top_left, bottom_right pair for each of the first two of three groups, then the ref counts.
        {0, {.slice_groups_minus1 = 2, .slice_group_map = boxes, .l0_minus1 = 32},
         pps_fail(-19, "pps->ref_count[0] or pps->ref_count[1] are out of range[1, 32], the values are 33  1\n")},
        {66, {.slice_groups_minus1 = 1, .slice_group_map = dispersed}, "0 "},
        {66, {.entropy = 1}, pps_fail(-22, "CABAC is not valid for BASELINE\n" + invalid)},
        {66, {.weighted_pred = 1}, pps_fail(-22, "Weighted predition is invalid for BASELINE\n" + invalid)},
        {66, {.tail = true, .transform_8x8 = 1}, pps_fail(-22, "Invalid syntax for BASELINE\n" + invalid)},
        {77, {.entropy = 1, .weighted_pred = 1, .weighted_bipred = 2}, "0 "},
        {77, {.slice_groups_minus1 = 1, .slice_group_map = dispersed},
         pps_fail(-22, "Invalid num_slice_groups_minus1(1) for MAIN\n" + invalid)},
        {77, {.redundant = 1}, pps_fail(-22, "Invalid redundant_pic_cnt_present(1) for MAIN\n" + invalid)},
        {77, {.tail = true, .transform_8x8 = 1}, pps_fail(-22, "Invalid syntax for MAIN\n" + invalid)},
        {100, {.tail = true, .transform_8x8 = 1, .second_chroma_qp_offset = 3}, "0 "},
        {100, {.slice_groups_minus1 = 2, .slice_group_map = dispersed},
         pps_fail(-22, "Invalid num_slice_groups_minus1(2) for HP\n" + invalid)},
        {100, {.redundant = 1}, pps_fail(-22, "Invalid redundant_pic_cnt_present(1) for HP\n" + invalid)},
        {122, {.redundant = 1}, "0 "},
    };
    for (const auto& r : rows) {
        const Bytes sps = r.sps_profile ? sps_nal({.profile_idc = r.sps_profile}) : Bytes{};
        EXPECT_EQ(said(concat({sps, pps_nal(r.pps)})), r.said) << "row " << &r - rows;
    }
    // A refused SPS (Main) leaves its profile_idc, against which a PPS naming its id is checked.
    const Parser p;
    EXPECT_EQ(p.start(sps_nal({.max_num_ref_frames = 17})).rc, -20);
    const Started r = p.start(pps_nal({.tail = true, .transform_8x8 = 1}));
    EXPECT_EQ(std::to_string(r.rc) + " " + r.log, pps_fail(-22, "Invalid syntax for MAIN\n" + invalid));
}

std::string slice_fail(int rc, const std::string& line) { return fail(rc, line, "slice header"); }

TEST(Refusals, SliceHeaderAndFrame) {
    const Bytes sets = concat({sps_nal(), pps_nal()});
    const Bytes cabac = concat({sps_nal(), pps_nal({.entropy = 1})});
    auto p_slice = [](SliceSpec s) { return s.header = 0x41, s.slice_type = 5, s.frame_num = 1, s; };
    const Bytes bipred = concat({sps_nal(), pps_nal({.weighted_bipred = 1}), slice_nal({})});
    // A B picture after the IDR: list 0 weighs luma by `weight` with `offset`, list 1 its second chroma offset.
    const auto b_slice = [](int64_t weight, int64_t offset, int64_t chroma_offset) {
        return slice_nal({.header = 0x01, .slice_type = 6, .frame_num = 1, .poc_lsb = 2, .weights = [=](BitBuilder& b) {
            b.ue(5).ue(5).u(1, 1).se(weight).se(offset).u(1, 0);         // denominators; list 0: luma
            b.u(1, 0).u(1, 1).se(-128).se(127).se(127).se(chroma_offset);  // list 1: chroma
        }, .qp_delta = 26});
    };
    const struct {
        Bytes frame;
        std::string said;
    } rows[] = {
        {concat({sets, slice_nal({.slice_type = 10})}),
         slice_fail(-6, "slice_type is out of range [0, 9], the value is 10\n")},
        {concat({sets, slice_nal({.slice_type = 5})}), slice_fail(-5, "IDR Nal containing Non-IDR slice\n")},
        {concat({sets, slice_nal({.header = 0x61, .slice_type = 8})}), slice_fail(-4, "slice_type(6) not supported\n")},
        {concat({sets, slice_nal({.pps_id = 256})}), slice_fail(-9, "pps_id out of range[0, 255], the value is 256\n")},
        {concat({sets, slice_nal({.pps_id = 1})}), slice_fail(-3, "PPS referenced in slice header is invalid\n")},
        {concat({sps_nal(), pps_nal({.sps_id = 1}), slice_nal({})}), slice_fail(-8, "non existing SPS referenced\n\n")},
        {concat({sps_nal(), pps_nal({.qp_minus26 = -27}), slice_nal({})}),
         slice_fail(-2, "QP out of range [0, 51], the value is -1\n")},
        {concat({sps_nal(), pps_nal({.qp_minus26 = 256}), slice_nal({})}),  // not 26 + 0
         slice_fail(-2, "QP out of range [0, 51], the value is 282\n")},
        {concat({sps_nal(), pps_nal({.chroma_qp_offset = 13}), slice_nal({})}),
         slice_fail(-19, "the chroma_qp_index_offset is out of range:13\n")},
        {concat({sets, slice_nal({.qp_delta = 26})}), slice_fail(-2, "QP out of range [0, 51], the value is 52\n")},
        {concat({sets, slice_nal({.qp_delta = 25})}), "0 "},
        {concat({sets, slice_nal({.deblocking_idc = 3})}),
         slice_fail(-18, "deblocking_filter_idc is 3 out of range[0,2]\n")},
        {concat({sets, slice_nal({.deblocking_idc = 0, .alpha_div2 = 7, .beta_div2 = -6})}),
         slice_fail(-1, "Invalid slice_alpha_c0_offset(14), slice_beta_offset(-12)\n")},
        {concat({sets, slice_nal({.deblocking_idc = 2, .alpha_div2 = 6, .beta_div2 = -6})}), "0 "},
        {concat({sets, slice_nal({.frame_num = 3})}), slice_fail(-16, "ERROR: IDR frame_num start with 3\n")},
        {concat({sets, slice_nal({}), slice_nal({.header = 0x41, .slice_type = 5, .frame_num = 3})}),
         slice_fail(-16, "ERROR: frame_num start from 3, prev_frame_num(0)\n")},
        {concat({sets, slice_nal(p_slice({.l0_active = 33}))}),
         slice_fail(-18, "h->ref_count[0] or h->ref_count[1] are out of range[1, 32], the values are 33  1\n")},
        {concat({sets, slice_nal({}),
                 slice_nal({.header = 1, .slice_type = 6, .frame_num = 1, .l0_active = 1, .l1_active = 33})}),
         slice_fail(-18, "h->ref_count[0] or h->ref_count[1] are out of range[1, 32], the values are 1  33\n")},
        {concat({sps_nal({.profile_idc = 66}), pps_nal({.redundant = 1}), slice_nal({.redundant_pic_cnt = 128})}),
         slice_fail(-18, "redundant_pic_cnt shall be in the range of [0, 127]\n")},
        // The elements a frame slice carries with bottom_field_pic_order_in_frame_present_flag, and a B slice with
        // explicit weights (weighted_bipred_idc 1): both lists' tables, weights and offsets at -128 and 127, and
        // the last offset one past them (the reader warns and goes on); each then read up to a slice QP of 52.
        {concat({sps_nal(), pps_nal({.bottom_field_pic_order = 1}),
                 slice_nal({.after_poc = [](BitBuilder& b) { b.se(-5); }, .qp_delta = 26})}),
         slice_fail(-2, "QP out of range [0, 51], the value is 52\n")},
        {concat({bipred, b_slice(127, -128, 0)}), slice_fail(-2, "QP out of range [0, 51], the value is 52\n")},
        {concat({bipred, b_slice(-128, 127, 0)}), slice_fail(-2, "QP out of range [0, 51], the value is 52\n")},
        {concat({bipred, b_slice(0, 0, -129)}),
         fail(-2, "chroma_weight_l0[i][j] or chroma_offset_l0[i][j] shall be in the range of[-128, 127]\n" + kTag +
                      "QP out of range [0, 51], the value is 52\n", "slice header")},
        {concat({cabac, slice_nal(p_slice({.cabac_init_idc = 3}))}),
         slice_fail(-18, "the cabac_init_idc is out of range [0,2], which is 3\n")},
        {concat({cabac, slice_nal(p_slice({.cabac_init_idc = 256}))}),  // not 0
         slice_fail(-18, "the cabac_init_idc is out of range [0,2], which is 256\n")},
        // A slice before any SPS; an SEI that claims to be a reference; an
        // IDR unit that does not; a non-IDR slice in an IDR frame picture.
        {Bytes{0, 0, 0, 1, 0x65, 0x88, 0x84, 0}, "-7 "},
        {Bytes{0, 0, 1, 0, 0, 0, 1, 9, 0xf0}, "0 "},  // a repeated start code is skipped
        {Bytes{0, 0, 1, 0x26, 5, 1, 0xff, 0x80},
         "-11 " + kTag + "nal_ref_idc should equal to zero but it is 1, when nal_unit_type is 6\n"},
        {Bytes{0, 0, 1, 5, 0x88, 0x84}, "-14 " + kTag + "IDR nal with nal_ref_idc(0)\n" + kTag + "Parse Nal fail\n"},
        {concat({sets, slice_nal({}), slice_nal({.header = 0x61, .first_mb = 50})}),
         "-13 " + kTag + "Frame containing both idr and non-idr\n"},
    };
    for (const auto& r : rows) EXPECT_EQ(said(r.frame), r.said) << "row " << &r - rows;
}

// FrameInfo after a refused slice describes the picture as far as its header was read (kavrel.h): a P frame whose
// frame_num skips one after the IDR, and a B top field whose slice QP is out of range.
TEST(Refusals, FrameInfoDescribesTheRefusedSlice) {
    const Bytes idr = concat({sps_nal({.frame_mbs_only = 0}), pps_nal(), slice_nal({.structure = 3})});
    const struct {
        Bytes next;
        int32_t rc, picture_type, structure;
    } rows[] = {{slice_nal({.header = 0x41, .slice_type = 5, .frame_num = 2, .structure = 3}), -16, 1, 3},
                {slice_nal({.header = 1, .slice_type = 6, .frame_num = 1, .structure = 1, .qp_delta = 26}), -2, 2, 1}};
    for (const auto& row : rows) {
        Parser p;
        ASSERT_EQ(p.start(idr).rc, 0);
        const Started r = p.start(row.next);
        EXPECT_EQ(std::vector<int32_t>({r.rc, r.info.picture_type, r.info.picture_structure}),
                  std::vector<int32_t>({row.rc, row.picture_type, row.structure}));
    }
}

TEST(Refusals, NullArgumentsAndEmptyHandles) {
    Parser p;
    const Bytes frame = Bytes{0, 0, 1, 9, 0xf0};
    FrameInput in{frame.data(), 5}, no_data{nullptr, 10}, huge{frame.data(), 0x80000000u};
    uint8_t cure[64];
    CorrectionRequest too_long{0x80000000u, 0, frame.data(), UINT32_MAX, 0, cure, 5, 0, 0, 1};
    FrameInfo info;
    std::memset(&info, 0x5A, sizeof info);
    uint8_t out[64];
    FrameRateRequest rate{out, 0, 25}, no_buf{nullptr, 0, 25};
    LogCapture log;
    const int32_t rcs[] = {Kavrel_Start(nullptr, &in, &info), Kavrel_Start(p.h, nullptr, &info),
                           Kavrel_Start(p.h, &in, nullptr), info.consumed == 0x5A5A5A5Au ? -7 : 0,  // untouched
                           Kavrel_Start(p.h, &no_data, &info), info.consumed == 0 ? -7 : 0,
                           H264_Enc_Iframe(nullptr, &rate), H264_Enc_Iframe(p.h, nullptr),
                           H264_Enc_Iframe(p.h, &no_buf), H264_Enc_Iframe(p.h, &rate),  // no SPS parsed yet
                           H264_Enc_Iframe_Rate(p.h, out, 64, 25, 1), H264_Enc_Double_Frame_Sized(p.h, out, 64),
                           H264_Enc_Double_Frame_Sized(nullptr, out, 64), H264_Enc_Double_Frame(p.h, nullptr),
                           Kavrel_enc_h264Correct(nullptr), Kavrel_Start(p.h, &huge, &info),
                           Kavrel_enc_h264Correct(&too_long), too_long.corrected == 5 ? -1 : 0,
                           Kavrel_Start_Stream(p.h, &in, nullptr, 1), Kavrel_Start_Stream(p.h, &huge, &info, 1)};
    EXPECT_EQ(std::vector<int32_t>(std::begin(rcs), std::end(rcs)),
              std::vector<int32_t>({-7, -7, -7, -7, -7, -7, -1, -1, -1, -1, -1, -1, -1, -1, -1, -7, -1, -1, -7, -7}));
    Kavrel_Close(nullptr);  // says so, and returns
    // "<tag><call>:<number>: Error: NULL Pointer" and a blank line for each NULL refused, in order.
    const std::string text = log.take();
    std::string calls;
    const std::regex null_line(R"(\[VsKavrel\]:(\w+):\d+: Error: NULL Pointer\n\n)");
    for (std::sregex_iterator m(text.begin(), text.end(), null_line), end; m != end; ++m) calls += (*m)[1].str() + " ";
    EXPECT_EQ(calls, "Kavrel_Start Kavrel_Start Kavrel_Start parse_frame H264_Enc_Iframe H264_Enc_Iframe "
                     "H264_Enc_Iframe H264_Enc_Iframe H264_Enc_Iframe_Rate H264_Enc_Double_Frame_Sized "
                     "H264_Enc_Double_Frame Kavrel_enc_h264Correct Kavrel_Start_Stream Kavrel_Close ") << text;
    for (const std::string call : {"Kavrel_Start", "Kavrel_Start_Stream"})
        EXPECT_NE(text.find(kTag + call + ": frame size 2147483648 is out of range\n"), std::string::npos) << call;
    EXPECT_NE(text.find(kTag + "Error: OrgFrameLength 2147483648 is out of range\n\n"), std::string::npos);
}

TEST(Refusals, FrameRateOutOfRange) {
    // num_units_in_tick 1000000: the rate multiplies it into time_scale.
    const Writer timing = [](BitBuilder& b) { b.u(4, 0).u(1, 1).u(32, 1000000).u(32, 7).u(1, 0).u(5, 0); };
    Parser p;
    ASSERT_EQ(p.start(sps_nal({.vui = timing})).rc, 0);
    uint8_t out[128];
    FrameRateRequest fits{out, 0, 2147}, too_big{out, 0, 3000}, zero{out, 0, 0};
    LogCapture log;
    const int32_t rcs[] = {H264_Enc_Iframe(p.h, &too_big) < 0,  // 6,000,000,000 does not fit 32 bits
                           H264_Enc_Iframe(p.h, &fits) > 0,     // 4,294,000,000 does
                           H264_Enc_Iframe(p.h, &zero) < 0,
                           H264_Enc_Iframe_Rate(p.h, out, 128, 0x80000000u, 1) < 0,  // time_scale 2^32
                           H264_Enc_Iframe_Rate(p.h, out, 128, 0x7FFFFFFFu, 1) > 0,
                           H264_Enc_Iframe_Rate(p.h, out, 128, 25, 0) < 0,
                           H264_Enc_Iframe_Rate(p.h, out, 128, 0, 1) < 0,
                           H264_Enc_Iframe_Rate(p.h, nullptr, 128, 25, 1) < 0};  // a set to write, nowhere to
    EXPECT_EQ(std::vector<int32_t>(std::begin(rcs), std::end(rcs)), std::vector<int32_t>(8, 1));
    EXPECT_NE(log.take().find(kTag + "H264_Enc_Iframe_Rate:"), std::string::npos);  // the null line
}

TEST(Refusals, CorrectionRequests) {
    const Bytes frame = concat({sps_nal({.profile_idc = 100}), pps_nal()}), main = concat({sps_nal(), pps_nal()});
    const Bytes early = Bytes{0, 0, 0, 1, 0x65, 0x88, 0x84, 0, 0xff};  // a slice before any SPS
    // Mode 2 takes an SPS RBSP of up to 511 bytes: ones after a VUI of timing alone, which nothing reads.
    const auto sized = [](size_t bytes) {
        SpsSpec s{.vui = [](BitBuilder& b) { b.u(4, 0).u(1, 1).u(32, 1).u(32, 50).u(1, 1).u(4, 0); }};
        const size_t bits = 8 * bytes - 7 - build_sps(s).bit_length();  // the stop bit ends the last byte
        s.vui = [=](BitBuilder& b) {
            b.u(4, 0).u(1, 1).u(32, 1).u(32, 50).u(1, 1).u(4, 0);
            for (size_t i = 0; i < bits; ++i) b.u(1, 1);
        };
        return concat({sps_nal(s), pps_nal()});
    };
    const Bytes sps511 = sized(511), sps512 = sized(512);
    Bytes cure(2048);
    const uint32_t n = static_cast<uint32_t>(frame.size()), room = n + 64;
    const uint32_t m = static_cast<uint32_t>(main.size());
    const struct {
        CorrectionRequest req;
        std::string said;  // result, `corrected`, lines
    } rows[] = {
        {{n, 0, nullptr, room, 0, cure.data(), 7, 0, 0, 1}, "-1 7 " + kTag + "Error: NULL orignal pointer\n\n"},
        {{n, 0, frame.data(), room, 0, nullptr, 7, 0, 0, 1}, "-1 7 " + kTag + "Error: NULL currect  pointer\n\n"},
        {{n, 0, frame.data(), n - 1, 0, cure.data(), 7, 0, 0, 1},
         "-1 7 " + kTag + "Error: cureFrameLength < OrgFrameLength\n\n"},
        {{n, 0, frame.data(), room, 0, cure.data(), 7, 65536, 1, 2},  // refused, not cut to 16 bits
         "-1 7 " + kTag + "Error: sar_width (65536) or sar_height (1) is greater than 65535\n\n"},
        {{n, 0, frame.data(), room, 0, cure.data(), 7, 0, 0, 0}, "-1 0 "},    // no such mode
        {{9, 0, early.data(), room, 0, cure.data(), 7, 0, 0, 1}, "-7 -1 "},  // the frame walk's code
        {{m, 0, main.data(), room, 0, cure.data(), 7, 0, 0, 1}, "0 0 "},     // Main: no tail to add
        {{uint32_t(sps511.size()), 0, sps511.data(), 2048, 0, cure.data(), 7, 1, 1, 2}, "0 1 "},
        {{uint32_t(sps512.size()), 0, sps512.data(), 2048, 0, cure.data(), 7, 1, 1, 2},
         "-20 -1 " + kTag + "The length of SPS is great than 512\n"},
    };
    for (auto r : rows) {
        LogCapture log;
        const int32_t rc = Kavrel_enc_h264Correct(&r.req);
        EXPECT_EQ(std::to_string(rc) + " " + std::to_string(r.req.corrected) + " " + log.take(), r.said);
    }
}

const SliceSpec kIdr{};
const SliceSpec kP{.header = 0x21, .slice_type = 5, .frame_num = 1, .poc_lsb = 2};

TEST(Refusals, RepeatOnlyWhereItRepeats) {
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
        Bytes stream = concat({sps_nal(c.sps), pps_nal()});
        for (SliceSpec pic : c.pics) {  // field_pic_flag and the POC lsb fitted to the SPS
            pic.structure = c.sps.frame_mbs_only ? 0 : (pic.structure ? pic.structure : 3);
            pic.poc_lsb_bits = c.sps.poc_type == 0 ? 6 : 0;
            stream = concat({stream, slice_nal(pic)});
        }
        Parser p;
        ASSERT_EQ(p.walk(stream).rc, 0);
        LogCapture log;
        std::vector<uint8_t> out(4096, 0xEE);
        const int32_t n = H264_Enc_Double_Frame_Sized(p.h, out.data(), static_cast<uint32_t>(out.size()));
        EXPECT_EQ(n > 5, c.refusal == nullptr) << n;
        if (c.refusal == nullptr) continue;
        EXPECT_EQ(n, -1);
        EXPECT_EQ(H264_Enc_Double_Frame(p.h, out.data()), -1);
        EXPECT_EQ(out, std::vector<uint8_t>(4096, 0xEE));
        const std::string text = log.take();
        EXPECT_NE(text.find(c.refusal), std::string::npos) << text;
    }
}

// One call of the sink per line, nothing on stdout; after (null, null) the lines go to stdout again.
TEST(Refusals, LogSinkGetsEachTextExactlyAndNullRestoresStdout) {
    const Bytes bad_pps = concat({sps_nal(), pps_nal({.l0_minus1 = 287})});  // not 32 after narrowing
    const std::vector<std::string> expected = {
        kTag + "pps->ref_count[0] or pps->ref_count[1] are out of range[1, 32], the values are 288  1\n",
        kTag + "Parse pps fail\n"};
    std::vector<std::string> got;
    Parser p;
    const FrameInput in{bad_pps.data(), static_cast<uint32_t>(bad_pps.size())};
    FrameInfo info;
    const auto push = [](void* o, const char* m) { static_cast<std::vector<std::string>*>(o)->push_back(m); };
    for (void* sink : {static_cast<void*>(&got), static_cast<void*>(nullptr)}) {
        Kavrel_Set_Log_Callback(sink ? static_cast<KavrelLogCallback>(push) : nullptr, sink);
        testing::internal::CaptureStdout();
        EXPECT_EQ(Kavrel_Start(p.h, &in, &info), KAVREL_E_PPS_RANGE);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), sink ? "" : expected[0] + expected[1]);
        EXPECT_EQ(got, expected);
    }
}

}  // namespace
