// ref_pic_list_reordering() for one list (ITU-T H.264 clause 7.3.3.1),
// walked and range-checked; nothing is kept.
#include "syntax/syntax_messages.h"
#include "bitstream/bit_reader.h"
#include "syntax/slice_header.h"

namespace kavrel {

Status decode_ref_pic_list_reordering(BitReader* reader) {
    BitReader& r = *reader;
    if (read_flag(r) == 0) return Status::kOk;  // ref_pic_list_reordering_flag (past the data counts as set)
    for (;;) {
        const Code idc = read_ue_code(r);  // reordering_of_pic_nums_idc
        if (!idc.ok() || idc.value > 3 || r.bit_pos > r.bit_count) return report(Rule::kReorderingIdc);
        if (idc.value == 3) return Status::kOk;
        // abs_diff_pic_num_minus1 (0..MaxPicNum - 1, up to 2^17 - 1 for
        // field pictures) or long_term_pic_num.
        const LongCode value = read_ue_long_code(r);
        if (!value.ok() || value.value >= kMaxPicNum || r.bit_pos > r.bit_count) {
            return report(idc.value == 2 ? Rule::kReorderingLongTermPicNum : Rule::kAbsDiffPicNum);
        }
    }
}

}  // namespace kavrel
