// pred_weight_table() for one list (ITU-T H.264 clause 7.3.3.2), walked
// and range-checked against clause 7.4.3.2; nothing is kept.
#include "common/diagnostics.h"
#include "syntax/syntax_state.h"
#include "bitstream/bit_reader.h"
#include "syntax/slice_header.h"

namespace kavrel {

namespace {

inline bool past_end(const BitReader& r) { return r.bit_pos > r.bit_count; }
inline bool out_of_weight_range(int32_t v) { return v < -128 || v > 127; }

// luma_log2_weight_denom and, with chroma, chroma_log2_weight_denom.
int32_t read_denominators(BitReader& r, bool chroma) {
    const int32_t luma = read_ue(r);
    const bool luma_bad = static_cast<uint32_t>(luma) > 7 || past_end(r);
    if (!luma_bad && chroma) {
        const int32_t chroma_denom = read_ue(r);
        if (static_cast<uint32_t>(chroma_denom) > 7 || past_end(r)) {
            diag("[VsKavrel]:chroma_log2_weight_denom shall be in the range of[0, 7]\n");
            return -18;
        }
    }
    if (luma_bad) {
        diag("[VsKavrel]:luma_log2_weight_denom shall be in the range of[0, 7]\n");
        return -18;
    }
    return 0;
}

// One reference's luma and chroma weights.
int32_t read_entry(BitReader& r, bool chroma) {
    if (read_bit(r) != 0) {  // luma_weight_flag
        const int32_t weight = read_se(r);
        if (past_end(r)) {
            diag("[VsKavrel]:luma_weight_l0 out of the range\n");
            return -18;
        }
        const int32_t offset = read_se(r);
        if (out_of_weight_range(weight) || out_of_weight_range(offset) || past_end(r)) {
            diag("[VsKavrel]:luma_weight_l0[i] or luma_offset_l0[i] shall be in the range of[-128, 127]\n");
            return -18;
        }
    }
    if (!chroma || read_bit(r) == 0) return 0;  // chroma_weight_flag
    for (int j = 0; j < 2; ++j) {
        const int32_t weight = read_se(r);
        if (past_end(r)) {
            diag("[VsKavrel]:chroma_weight_l0[i][j] out of the range\n");
            return -18;
        }
        const int32_t offset = read_se(r);
        if (out_of_weight_range(weight) || out_of_weight_range(offset)) {
            diag("[VsKavrel]:chroma_weight_l0[i][j] or chroma_offset_l0[i][j] shall be in the range of[-128, "
                 "127]\n");
            return -18;
        }
    }
    return 0;
}

}  // namespace

int32_t decode_pred_weight_table(SyntaxState* handle, BitReader* reader, int32_t count, int32_t list) {
    BitReader& r = *reader;
    const bool chroma = handle->active_sps.chroma_format_idc != 0;
    if (list == 0) {
        const int32_t rc = read_denominators(r, chroma);
        if (rc < 0) return rc;
    }
    for (int32_t i = 0; i < count; ++i) {
        const int32_t rc = read_entry(r, chroma);
        if (rc < 0) return rc;
    }
    return 0;
}

}  // namespace kavrel
