// dec_ref_pic_marking() (ITU-T H.264 clause 7.3.3.3), walked and
// range-checked; only whether the picture becomes a long-term reference
// and whether it carries operation 5 is kept.
#include "common/diagnostics.h"
#include "syntax/syntax_state.h"
#include "bitstream/bit_reader.h"
#include "syntax/slice_header.h"

namespace kavrel {

namespace {

// One ue(v) operand of a memory_management_control_operation.
bool read_operand(BitReader& r, const char* message) {
    // difference_of_pic_nums_minus1 reaches MaxPicNum - 1 (up to 2^17 - 1):
    // read in full.
    const int64_t v = read_ue_long(r);
    if (v < 0 || v >= kMaxPicNum || r.bit_pos > r.bit_count) {
        diag(message);
        return false;
    }
    return true;
}

// Keeps the picture number difference of an operation 1 read from `at`.
void note_unmarking(SliceHeader& s, BitReader& r, int32_t at) {
    if (s.mmco_unmark_count >= 8) {
        s.mmco_other = 1;
        return;
    }
    const int32_t end = r.bit_pos;
    r.bit_pos = at;
    s.mmco_unmark[s.mmco_unmark_count++] = static_cast<int32_t>(read_ue_long(r) + 1);
    r.bit_pos = end;
}

}  // namespace

int32_t decode_ref_pic_marking(SyntaxState* handle, BitReader* reader) {
    BitReader& r = *reader;
    if (handle->nal_unit_type == 5) {
        r.bit_pos += 1;  // no_output_of_prior_pics_flag
        handle->slice.marked_long_term = read_bit(r) == 1 ? 1 : 0;  // long_term_reference_flag
        return 0;
    }
    if (read_bit(r) == 0) return 0;  // adaptive_ref_pic_marking_mode_flag
    for (;;) {
        const int32_t op = read_ue(r);  // memory_management_control_operation
        if (static_cast<uint32_t>(op) > 6 || r.bit_pos > r.bit_count) {
            diag("[VsKavrel]:memory_management_control_operation is out of range[0,6], the value is %d\n", op);
            return -18;
        }
        if (op == 0) return 0;
        SliceHeader& s = handle->slice;
        if (op == 5) s.mmco5 = 1;
        if (op == 6) s.marked_long_term = 1;
        if (op != 1 && op != 5) s.mmco_other = 1;
        const int32_t at = r.bit_pos;
        if ((op == 1 || op == 3) &&
            !read_operand(r, "[VsKavrel]:difference_of_pic_nums_minus1 is out of range\n")) {
            return -18;
        }
        if (op == 1) note_unmarking(s, r, at);
        if (op == 2 && !read_operand(r, "[VsKavrel]:long_term_pic_num is out of range\n")) return -18;
        // long_term_frame_idx (3, 6) and max_long_term_frame_idx_plus1 (4)
        // share one message.
        if ((op == 3 || op == 6 || op == 4) &&
            !read_operand(r, "[VsKavrel]:long_term_frame_idx is out of range\n")) {
            return -18;
        }
    }
}

}  // namespace kavrel
