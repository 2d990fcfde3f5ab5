// The tail of pic_parameter_set_rbsp() that High profiles add (ITU-T H.264
// clause 7.3.2.2): transform_8x8_mode_flag, the picture scaling matrix and
// second_chroma_qp_index_offset; one description for reading and writing
// (syntax_io.h).
#pragma once

#include "syntax/pic_param_set.h"
#include "syntax/scaling_list.h"
#include "syntax/syntax_io.h"

namespace kavrel {

// The 8x8 lists are coded only with transform_8x8_mode_flag.
template <class RW, class Pps>
void pps_high_profile_tail(RW& rw, Pps& pps) {
    rw.flag(pps.transform_8x8_mode_flag);
    const int lists = pps.transform_8x8_mode_flag != 0 ? 8 : 6;
    if constexpr (RW::kReading) {
        pps.pic_scaling_matrix_present_flag = read_scaling_matrix(rw.r, lists, pps.scaling_lists);
    } else {
        write_scaling_matrix(rw.s, pps.pic_scaling_matrix_present_flag, lists, pps.scaling_lists);
    }
    rw.se(pps.second_chroma_qp_index_offset);
}

}  // namespace kavrel
