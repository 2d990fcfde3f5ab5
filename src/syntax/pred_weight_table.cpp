// pred_weight_table() for one list (ITU-T H.264 clause 7.3.3.2), walked
// and range-checked against clause 7.4.3.2; nothing is kept.
#include "syntax/syntax_messages.h"
#include "bitstream/bit_reader.h"
#include "syntax/slice_header.h"

namespace kavrel {

namespace {

inline bool past_end(const BitReader& r) { return r.bit_pos > r.bit_count; }
inline bool out_of_weight_range(int32_t v) { return v < -128 || v > 127; }

// A weight or offset: 0 where there is none (a code too long, or the data
// ended, which past_end then tells).
inline int32_t weight_value(BitReader& r) { return read_se_code(r).value; }

// luma_log2_weight_denom and, with chroma, chroma_log2_weight_denom.
Status read_denominators(BitReader& r, bool chroma) {
    const Code luma = read_ue_code(r);
    const bool luma_bad = !luma.ok() || luma.value > 7 || past_end(r);
    if (!luma_bad && chroma) {
        const Code chroma_denom = read_ue_code(r);
        if (!chroma_denom.ok() || chroma_denom.value > 7 || past_end(r)) return report(Rule::kChromaDenom);
    }
    return luma_bad ? report(Rule::kLumaDenom) : Status::kOk;
}

// One reference's luma and chroma weights.
Status read_entry(BitReader& r, bool chroma) {
    if (read_flag(r) != 0) {  // luma_weight_flag
        const int32_t weight = weight_value(r);
        if (past_end(r)) return report(Rule::kLumaWeight);
        const int32_t offset = weight_value(r);
        if (out_of_weight_range(weight) || out_of_weight_range(offset) || past_end(r)) {
            return report(Rule::kLumaWeightRange);
        }
    }
    if (!chroma || read_flag(r) == 0) return Status::kOk;  // chroma_weight_flag
    for (int j = 0; j < 2; ++j) {
        const int32_t weight = weight_value(r);
        if (past_end(r)) return report(Rule::kChromaWeight);
        const int32_t offset = weight_value(r);
        if (out_of_weight_range(weight) || out_of_weight_range(offset)) return report(Rule::kChromaWeightRange);
    }
    return Status::kOk;
}

}  // namespace

Status decode_pred_weight_table(BitReader* reader, bool chroma, int32_t count, int32_t list) {
    BitReader& r = *reader;
    Status st = list == 0 ? read_denominators(r, chroma) : Status::kOk;
    for (int32_t i = 0; ok(st) && i < count; ++i) st = read_entry(r, chroma);
    return st;
}

}  // namespace kavrel
