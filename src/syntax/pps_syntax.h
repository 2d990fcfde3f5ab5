// The tail of pic_parameter_set_rbsp() that High profiles add (ITU-T H.264
// clause 7.3.2.2): transform_8x8_mode_flag, the picture scaling matrix and
// second_chroma_qp_index_offset; one description for reading and writing
// (syntax_io.h).
#pragma once

#include "syntax/pic_param_set.h"
#include "syntax/seq_param_set.h"
#include "syntax/syntax_io.h"

namespace kavrel {

// `sps` is the set the PPS names (the fall-back lists of Table 7-2); the
// writer needs none.
template <class RW, class Pps>
void pps_high_profile_tail(RW& rw, Pps& pps, const SeqParamSet* sps) {
    rw.flag(pps.transform_8x8_mode_flag);
    if constexpr (RW::kReading) {
        read_pic_scaling_matrix(rw.r, *sps, pps);
    } else {
        write_pic_scaling_matrix(rw.s, pps);
    }
    rw.se(pps.second_chroma_qp_index_offset);
}

}  // namespace kavrel
