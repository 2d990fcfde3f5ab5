// The rules the syntax readers check and the message each one prints, in
// one table (syntax_messages.cpp): a refusal gives its rule's result to
// the caller, a warning prints and the parse goes on, and a fault inside
// ref_pic_list_reordering(), pred_weight_table() or dec_ref_pic_marking()
// prints and ends that structure, whose result the slice header ignores.
#pragma once

#include <cstdint>

#include "common/status.h"

namespace kavrel {

enum class Rule : uint8_t {
    // seq_parameter_set_data() and the library's limits on it
    kSpsId,
    kConstraintSet0To2,
    kChromaFormatIdc,
    kBitDepth,
    kLog2MaxFrameNum,
    kPicOrderCntType,
    kLog2MaxPocLsb,
    kPocCycleLength,
    kMaxNumRefFrames,
    kPicWidth,
    kPicHeight,
    kDirect8x8Inference,
    kCropLeft,
    kCropTop,
    kUnknownProfile,        // warning
    kOnly8Bit420,
    kDimension,
    kInterlaceBaseline,
    kSpsInvalid,
    // vui_parameters() and hrd_parameters(): warnings
    kCpbCount,
    kNumUnitsInTickZero,
    kTimingZero,
    kNumReorderFrames,
    // pic_parameter_set_rbsp() and the rules per profile
    kPpsId,
    kPpsSpsId,
    kEntropyCodingMode,
    kSliceGroupCount,
    kSliceGroupMapType,
    kSliceGroupChange,
    kMapUnits,
    kPpsRefCount,
    kWeightedBipredIdc,
    kCabacBaseline,
    kWeightedBaseline,
    kSyntaxBaseline,
    kSliceGroupsMain,
    kRedundantMain,
    kSyntaxMain,
    kSliceGroupsHigh,
    kRedundantHigh,
    kPpsInvalid,
    // slice_header()
    kFirstMbInSlice,
    kSliceType,
    kIdrNotI,
    kSliceTypeUnsupported,
    kSlicePpsId,
    kPpsNotValid,
    kSpsNotValid,
    kInitQp,
    kChromaQpIndexOffset,
    kIdrFrameNum,
    kFrameNum,
    kPicOrderCntLsb,
    kRedundantPicCnt,
    kSliceRefCount,
    kCabacInitIdc,
    kSliceQp,
    kDeblockingFilterIdc,
    kDeblockingOffsets,
    // faults of the structures inside the slice header
    kReorderingIdc,
    kAbsDiffPicNum,
    kReorderingLongTermPicNum,
    kLumaDenom,
    kChromaDenom,
    kLumaWeight,
    kLumaWeightRange,
    kChromaWeight,
    kChromaWeightRange,
    kMmco,
    kDifferenceOfPicNums,
    kMarkingLongTermPicNum,
    kLongTermFrameIdx,
};

// How a message prints a value the data ended before.
constexpr int32_t kValueNotRead = -1;

// Prints the message of `rule` with the values `a` and `b` (those its
// text takes) and returns its result.
[[gnu::cold]] Status refuse(Rule rule, int32_t a = 0, int32_t b = 0);
// The same for a fault whose result the caller ignores: printed, but not
// the reason of the call's result (RefusalNote).
[[gnu::cold]] Status report(Rule rule, int32_t a = 0, int32_t b = 0);
// Prints a warning.
[[gnu::cold]] void warn(Rule rule, int32_t a = 0, int32_t b = 0);

}  // namespace kavrel
