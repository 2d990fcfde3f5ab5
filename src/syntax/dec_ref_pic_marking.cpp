// dec_ref_pic_marking() (ITU-T H.264 clause 7.3.3.3), walked and
// range-checked; only whether the picture becomes a long-term reference
// and whether it carries operation 5 is kept.
#include "syntax/syntax_messages.h"
#include "bitstream/bit_reader.h"
#include "syntax/slice_header.h"

namespace kavrel {

namespace {

// One ue(v) operand of a memory_management_control_operation.
Status read_operand(BitReader& r, Rule rule) {
    // difference_of_pic_nums_minus1 reaches MaxPicNum - 1 (up to 2^17 - 1):
    // read in full.
    const LongCode v = read_ue_long_code(r);
    return !v.ok() || v.value >= kMaxPicNum || r.bit_pos > r.bit_count ? report(rule) : Status::kOk;
}

// Keeps the picture number difference of an operation 1 read from `at`.
void note_unmarking(SliceHeader& s, BitReader& r, int32_t at) {
    if (s.mmco_unmark_count >= 8) {
        s.mmco_other = 1;
        return;
    }
    const int32_t end = r.bit_pos;
    r.bit_pos = at;
    s.mmco_unmark[s.mmco_unmark_count++] = static_cast<int32_t>(read_ue_long_code(r).value + 1);  // read_operand took it
    r.bit_pos = end;
}

}  // namespace

Status decode_ref_pic_marking(SliceHeader& s, int32_t nal_unit_type, BitReader* reader) {
    BitReader& r = *reader;
    if (nal_unit_type == 5) {
        r.bit_pos += 1;  // no_output_of_prior_pics_flag
        s.marked_long_term = read_u_code(r, 1).value;  // long_term_reference_flag; 0 where the data ended
        return Status::kOk;
    }
    if (read_flag(r) == 0) return Status::kOk;  // adaptive_ref_pic_marking_mode_flag
    for (;;) {
        const Code code = read_ue_code(r);  // memory_management_control_operation
        const int32_t op = code.or_else(kValueNotRead);
        if (!code.ok() || op > 6 || r.bit_pos > r.bit_count) return report(Rule::kMmco, op);
        if (op == 0) return Status::kOk;
        if (op == 5) s.mmco5 = 1;
        if (op == 6) s.marked_long_term = 1;
        if (op != 1 && op != 5) s.mmco_other = 1;
        const int32_t at = r.bit_pos;
        Status st = Status::kOk;
        if (op == 1 || op == 3) st = read_operand(r, Rule::kDifferenceOfPicNums);
        if (ok(st) && op == 1) note_unmarking(s, r, at);
        if (ok(st) && op == 2) st = read_operand(r, Rule::kMarkingLongTermPicNum);
        // long_term_frame_idx (3, 6) and max_long_term_frame_idx_plus1 (4) share one message.
        if (ok(st) && (op == 3 || op == 6 || op == 4)) st = read_operand(r, Rule::kLongTermFrameIdx);
        if (!ok(st)) return st;
    }
}

}  // namespace kavrel
