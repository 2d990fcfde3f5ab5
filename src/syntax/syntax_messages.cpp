// The message of every rule the syntax readers check, letter for letter as
// the library has always printed them, with the result a refusal gives.
#include "syntax/syntax_messages.h"

#include "common/diagnostics.h"

namespace kavrel {

namespace {

struct RuleText {
    Rule rule;  // its place in the table, checked below
    Status status;
    const char* text;
};

constexpr RuleText kRules[] = {
    {Rule::kSpsId, Status::kSpsId, "[VsKavrel]:Invalid sps id: %d\n"},
    {Rule::kConstraintSet0To2, Status::kProfile,
     "[VsKavrel]:profile_idc is equal to 44, 100, 122, or 244, the values of constraint_set0_flag, "
     "constraint_set1_flag, and constraint_set2_flag must all be equal to 0\n"},
    {Rule::kChromaFormatIdc, Status::kSpsRange, "[VsKavrel]:chroma_format_idc is out of range [0, 3], the value is %d\n"},
    {Rule::kBitDepth, Status::kSpsRange, "[VsKavrel]:the luma or chroma bit_depth_minus8 out of rang is %d,%d\n"},
    {Rule::kLog2MaxFrameNum, Status::kSpsRange, "[VsKavrel]:the log2_max_frame_num is out of range [0,16],which is %d\n"},
    {Rule::kPicOrderCntType, Status::kSpsRange, "[VsKavrel]:poc value out of range[0,2],current poc value is %d\n"},
    {Rule::kLog2MaxPocLsb, Status::kSpsRange, "[VsKavrel]:the log2_max_poc_lsb is out of range [4, 16], which is %d\n"},
    {Rule::kPocCycleLength, Status::kSpsRange, "[VsKavrel]:poc_cycle_length is out of range [0, 255],the value is %d\n"},
    {Rule::kMaxNumRefFrames, Status::kSpsRange, "[VsKavrel]:max_ref_frame_count is greater than 16, the value is %d\n"},
    {Rule::kPicWidth, Status::kSpsRange, "[VsKavrel]:mb_width is less than 0, \n"},
    {Rule::kPicHeight, Status::kSpsRange, "[VsKavrel]:mb_height is less than 0, \n"},
    {Rule::kDirect8x8Inference, Status::kSpsRange,
     "[VsKavrel]:When frame_mbs_only_flag is equal to 0, direct_8x8_inference_flag shall be equal to 1\n"},
    {Rule::kCropLeft, Status::kSpsRange, "[VsKavrel]:crop_left shall be in range of[0, max_frame_widht]\n"},
    {Rule::kCropTop, Status::kSpsRange, "[VsKavrel]:crop_top shall be in range of[0, max_frame_high]\n"},
    {Rule::kUnknownProfile, Status::kOk, "[VsKavrel]:Unknown profile: %d\n"},
    {Rule::kOnly8Bit420, Status::kProfile, "[VsKavrel]:Only support 8-bit 4:2:0 format\n"},
    {Rule::kDimension, Status::kProfile, "[VsKavrel]:Invalid Dimension(%dx%d)\n"},
    {Rule::kInterlaceBaseline, Status::kProfile, "[VsKavrel]:Interlace is not support for BASELINE\n"},
    {Rule::kSpsInvalid, Status::kProfile, "[VsKavrel]:Warnning: sps exists invalid sytnax\n"},

    {Rule::kCpbCount, Status::kOk, "[VsKavrel]:cpb_cnt is out of range[1, 32], the value is %d\n"},
    {Rule::kNumUnitsInTickZero, Status::kOk, "[VsKavrel]:sps->num_units_in_tick: %d\n"},
    {Rule::kTimingZero, Status::kOk, "[VsKavrel]:num_units_in_tick and time_scale which are in sps is equal 0!!\n"},
    {Rule::kNumReorderFrames, Status::kOk, "[VsKavrel]:time_scale which is in vui is less than 0\n"},

    {Rule::kPpsId, Status::kPpsId, "[VsKavrel]:pps_id is out of range[0, 255], the value is %d\n"},
    {Rule::kPpsSpsId, Status::kSpsId, "[VsKavrel]:sps_id is out of range[0, 31], the value is %d\n"},
    {Rule::kEntropyCodingMode, Status::kPpsRange,
     "[VsKavrel]:entropy_coding_mode_flag is out of range[0, 1], the value is %d\n"},
    {Rule::kSliceGroupCount, Status::kPpsRange, "[VsKavrel]:slice_group_count is out of range\n"},
    {Rule::kSliceGroupMapType, Status::kPpsRange,
     "[VsKavrel]:slice_group_map_type is out of range[0, 6], the value is %d\n"},
    {Rule::kSliceGroupChange, Status::kPpsRange,
     "[VsKavrel]:num_slice_groups_minus1 is not equal to 1, slice_group_map_type shall not be equal to 3,4,or 5\n"},
    {Rule::kMapUnits, Status::kPpsRange, "[VsKavrel]:pic_size_in_map_units_minus1 is out of range\n"},
    {Rule::kPpsRefCount, Status::kPpsRange,
     "[VsKavrel]:pps->ref_count[0] or pps->ref_count[1] are out of range[1, 32], the values are %d  %d\n"},
    {Rule::kWeightedBipredIdc, Status::kPpsRange,
     "[VsKavrel]:weighted_bipred_idc is out of range[0,2], the value is %d\n"},
    {Rule::kCabacBaseline, Status::kProfile, "[VsKavrel]:CABAC is not valid for BASELINE\n"},
    {Rule::kWeightedBaseline, Status::kProfile, "[VsKavrel]:Weighted predition is invalid for BASELINE\n"},
    {Rule::kSyntaxBaseline, Status::kProfile, "[VsKavrel]:Invalid syntax for BASELINE\n"},
    {Rule::kSliceGroupsMain, Status::kProfile, "[VsKavrel]:Invalid num_slice_groups_minus1(%d) for MAIN\n"},
    {Rule::kRedundantMain, Status::kProfile, "[VsKavrel]:Invalid redundant_pic_cnt_present(%d) for MAIN\n"},
    {Rule::kSyntaxMain, Status::kProfile, "[VsKavrel]:Invalid syntax for MAIN\n"},
    {Rule::kSliceGroupsHigh, Status::kProfile, "[VsKavrel]:Invalid num_slice_groups_minus1(%d) for HP\n"},
    {Rule::kRedundantHigh, Status::kProfile, "[VsKavrel]:Invalid redundant_pic_cnt_present(%d) for HP\n"},
    {Rule::kPpsInvalid, Status::kProfile, "[VsKavrel]:Warnning: pps exists invalid sytnax\n"},

    {Rule::kFirstMbInSlice, Status::kSliceRange, "[VsKavrel]:first_mb_in_slice is out of range, the value is %d\n"},
    {Rule::kSliceType, Status::kSliceType, "[VsKavrel]:slice_type is out of range [0, 9], the value is %d\n"},
    {Rule::kIdrNotI, Status::kIdrNotI, "[VsKavrel]:IDR Nal containing Non-IDR slice\n"},
    {Rule::kSliceTypeUnsupported, Status::kSliceTypeUnsupported, "[VsKavrel]:slice_type(%d) not supported\n"},
    {Rule::kSlicePpsId, Status::kPpsId, "[VsKavrel]:pps_id out of range[0, 255], the value is %d\n"},
    {Rule::kPpsNotValid, Status::kPpsNotValid, "[VsKavrel]:PPS referenced in slice header is invalid\n"},
    {Rule::kSpsNotValid, Status::kSpsNotValid, "[VsKavrel]:non existing SPS referenced\n\n"},
    {Rule::kInitQp, Status::kPpsRange, "[VsKavrel]:the init_qp or init_qs is out of range: %d,%d\n"},
    {Rule::kChromaQpIndexOffset, Status::kPpsRange, "[VsKavrel]:the chroma_qp_index_offset is out of range:%d\n"},
    {Rule::kIdrFrameNum, Status::kFrameNum, "[VsKavrel]:ERROR: IDR frame_num start with %d\n"},
    {Rule::kFrameNum, Status::kFrameNum, "[VsKavrel]:ERROR: frame_num start from %d, prev_frame_num(%d)\n"},
    {Rule::kPicOrderCntLsb, Status::kSliceRange,
     "[VsKavrel]:pic_order_cnt_lsb shall be in the range of [0, MaxPicOrderCntLsb-1]\n"},
    {Rule::kRedundantPicCnt, Status::kSliceRange, "[VsKavrel]:redundant_pic_cnt shall be in the range of [0, 127]\n"},
    {Rule::kSliceRefCount, Status::kSliceRange,
     "[VsKavrel]:h->ref_count[0] or h->ref_count[1] are out of range[1, 32], the values are %d  %d\n"},
    {Rule::kCabacInitIdc, Status::kSliceRange, "[VsKavrel]:the cabac_init_idc is out of range [0,2], which is %d\n"},
    {Rule::kSliceQp, Status::kSliceQp, "[VsKavrel]:QP out of range [0, 51], the value is %d\n"},
    {Rule::kDeblockingFilterIdc, Status::kSliceRange, "[VsKavrel]:deblocking_filter_idc is %u out of range[0,2]\n"},
    {Rule::kDeblockingOffsets, Status::kRefused,
     "[VsKavrel]:Invalid slice_alpha_c0_offset(%d), slice_beta_offset(%d)\n"},

    {Rule::kReorderingIdc, Status::kSliceRange,
     "[VsKavrel]:reordering_of_pic_nums_idc shall be in the range of [0, 3]\n"},
    {Rule::kAbsDiffPicNum, Status::kSliceRange, "[VsKavrel]:abs_diff_pic_num_minus1 shall be in the range\n"},
    {Rule::kReorderingLongTermPicNum, Status::kSliceRange, "[VsKavrel]:long_term_pic_num shall be in the range\n"},
    {Rule::kLumaDenom, Status::kSliceRange, "[VsKavrel]:luma_log2_weight_denom shall be in the range of[0, 7]\n"},
    {Rule::kChromaDenom, Status::kSliceRange, "[VsKavrel]:chroma_log2_weight_denom shall be in the range of[0, 7]\n"},
    {Rule::kLumaWeight, Status::kSliceRange, "[VsKavrel]:luma_weight_l0 out of the range\n"},
    {Rule::kLumaWeightRange, Status::kSliceRange,
     "[VsKavrel]:luma_weight_l0[i] or luma_offset_l0[i] shall be in the range of[-128, 127]\n"},
    {Rule::kChromaWeight, Status::kSliceRange, "[VsKavrel]:chroma_weight_l0[i][j] out of the range\n"},
    {Rule::kChromaWeightRange, Status::kSliceRange,
     "[VsKavrel]:chroma_weight_l0[i][j] or chroma_offset_l0[i][j] shall be in the range of[-128, 127]\n"},
    {Rule::kMmco, Status::kSliceRange,
     "[VsKavrel]:memory_management_control_operation is out of range[0,6], the value is %d\n"},
    {Rule::kDifferenceOfPicNums, Status::kSliceRange, "[VsKavrel]:difference_of_pic_nums_minus1 is out of range\n"},
    {Rule::kMarkingLongTermPicNum, Status::kSliceRange, "[VsKavrel]:long_term_pic_num is out of range\n"},
    {Rule::kLongTermFrameIdx, Status::kSliceRange, "[VsKavrel]:long_term_frame_idx is out of range\n"},
};

constexpr bool table_in_order() {
    for (size_t i = 0; i < sizeof kRules / sizeof kRules[0]; ++i)
        if (static_cast<size_t>(kRules[i].rule) != i) return false;
    return sizeof kRules / sizeof kRules[0] == static_cast<size_t>(Rule::kLongTermFrameIdx) + 1;
}
static_assert(table_in_order(), "kRules lists every Rule in its order");

}  // namespace

Status refuse(Rule rule, int32_t a, int32_t b) {
    const RuleText& r = kRules[static_cast<size_t>(rule)];
    return refuse(r.status, r.text, a, b);
}

Status report(Rule rule, int32_t a, int32_t b) {
    const RuleText& r = kRules[static_cast<size_t>(rule)];
    diag(r.text, a, b);
    return r.status;
}

void warn(Rule rule, int32_t a, int32_t b) { static_cast<void>(report(rule, a, b)); }

}  // namespace kavrel
