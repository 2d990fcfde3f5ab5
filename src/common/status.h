// Results inside the library. A parser step returns a Status: kOk, or the
// reason it stopped, whose value is the exported result code (kavrel.h) the
// calls hand to the host unchanged; kNeedMoreData, the one positive value,
// is no failure: live input has not yet proven the access unit's end.
#pragma once

#include <cstdint>

#include "kavrel.h"

namespace kavrel {

enum class [[nodiscard]] Status : int32_t {
    kOk = KAVREL_OK,
    kRefused = KAVREL_E_REFUSED,
    kSliceQp = KAVREL_E_SLICE_QP,
    kPpsNotValid = KAVREL_E_PPS_NOT_VALID,
    kSliceTypeUnsupported = KAVREL_E_SLICE_TYPE_UNSUPPORTED,
    kIdrNotI = KAVREL_E_IDR_NOT_I,
    kSliceType = KAVREL_E_SLICE_TYPE,
    kNoSps = KAVREL_E_NO_SPS,
    kSpsNotValid = KAVREL_E_SPS_NOT_VALID,
    kPpsId = KAVREL_E_PPS_ID,
    kParamSetMemory = KAVREL_E_PARAM_SET_MEMORY,
    kSeiRefIdc = KAVREL_E_SEI_REF_IDC,
    kSpsId = KAVREL_E_SPS_ID,
    kIdrMixed = KAVREL_E_IDR_MIXED,
    kNal = KAVREL_E_NAL,
    kFrameNum = KAVREL_E_FRAME_NUM,
    kSliceRange = KAVREL_E_SLICE_RANGE,
    kPpsRange = KAVREL_E_PPS_RANGE,
    kSpsRange = KAVREL_E_SPS_RANGE,
    kMemory = KAVREL_E_MEMORY,
    kProfile = KAVREL_E_PROFILE,
    kNeedMoreData = KAVREL_NEED_MORE_DATA,
};

constexpr bool ok(Status s) { return s == Status::kOk; }
// The code the exported calls return for `s`.
constexpr int32_t result_code(Status s) { return static_cast<int32_t>(s); }

}  // namespace kavrel
