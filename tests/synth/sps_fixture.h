// A hand-made sequence parameter set shared by the synthesis tests.
#pragma once

#include <cstring>

#include "syntax/seq_param_set.h"

namespace kavrel_test {

// Baseline 352x288, POC type 2, one reference frame, no VUI: the set
// whose RBSP is 42 C0 1E DA 05 82 59.
inline kavrel::SeqParamSet baseline_sps() {
    kavrel::SeqParamSet s;
    std::memset(&s, 0, sizeof s);
    s.profile_idc = 66;
    s.constraint_set0_flag = s.constraint_set1_flag = 1;
    s.level_idc = 30;
    s.chroma_format_idc = 1;
    s.log2_max_frame_num = 4;
    s.pic_order_cnt_type = 2;
    s.max_ref_frame_count = 1;
    s.mb_width = 22;
    s.mb_height = 18;
    s.frame_mbs_only_flag = 1;
    s.direct_8x8_inference_flag = 1;
    return s;
}

}  // namespace kavrel_test
