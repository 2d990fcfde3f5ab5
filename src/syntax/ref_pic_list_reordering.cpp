// ref_pic_list_reordering() for one list (ITU-T H.264 clause 7.3.3.1),
// walked and range-checked; nothing is kept.
#include "common/diagnostics.h"
#include "bitstream/bit_reader.h"
#include "syntax/slice_header.h"

namespace kavrel {

int32_t decode_ref_pic_list_reordering(BitReader* reader) {
    BitReader& r = *reader;
    if (read_bit(r) == 0) return 0;  // ref_pic_list_reordering_flag (past the data counts as set)
    for (;;) {
        const int32_t idc = read_ue(r);  // reordering_of_pic_nums_idc
        if (static_cast<uint32_t>(idc) > 3 || r.bit_pos > r.bit_count) {
            diag("[VsKavrel]:reordering_of_pic_nums_idc shall be in the range of [0, 3]\n");
            return -18;
        }
        if (idc == 3) return 0;
        // abs_diff_pic_num_minus1 (0..MaxPicNum - 1, up to 2^17 - 1 for
        // field pictures) or long_term_pic_num.
        const int64_t value = read_ue_long(r);
        if (value < 0 || value >= kMaxPicNum || r.bit_pos > r.bit_count) {
            diag(idc == 2 ? "[VsKavrel]:long_term_pic_num shall be in the range\n"
                          : "[VsKavrel]:abs_diff_pic_num_minus1 shall be in the range\n");
            return -18;
        }
    }
}

}  // namespace kavrel
