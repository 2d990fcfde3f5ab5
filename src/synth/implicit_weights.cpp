// The implicit weights of a copied B slice's reference pairs.
#include "synth/implicit_weights.h"

#include <cstdlib>
#include <utility>

#include "stream/parser_handle.h"
#include "stream/repeat_plan_state.h"

namespace kavrel {

namespace {

#define IMPLICIT_WEIGHTS_REFUSAL \
    "a B slice uses implicit weighted bi-prediction (weighted_bipred_idc 2), whose weights depend on the picture order count"

int32_t clip(int32_t lo, int32_t hi, int32_t v) { return v < lo ? lo : v > hi ? hi : v; }

// The short-term reference frames' counts below `poc` in descending order
// behind those above it in ascending order (`above_first`: the other way
// round), as the initial lists of a B frame order them; how many.
int32_t ordered_refs(const RepeatPlan& p, int32_t poc, bool above_first, int32_t* out) {
    int32_t n = 0;
    for (int32_t side = 0; side < 2; ++side) {
        const bool above = (side == 0) == above_first;
        const int32_t start = n;
        for (int32_t i = 0; i < p.short_count; ++i) {
            const int32_t v = p.short_term_poc[i];
            if ((v > poc) != above) continue;
            int32_t at = n++;
            for (; at > start && (above ? out[at - 1] > v : out[at - 1] < v); --at) out[at] = out[at - 1];
            out[at] = v;
        }
    }
    return n;
}

}  // namespace

int32_t implicit_weight_l1(int32_t poc, int32_t poc0, int32_t poc1) {
    const int32_t td = clip(-128, 127, poc1 - poc0);
    if (td == 0) return 32;
    const int32_t tb = clip(-128, 127, poc - poc0);
    const int32_t tx = (16384 + std::abs(td / 2)) / td;
    const int32_t scale = clip(-1024, 1023, (tb * tx + 32) >> 6);  // DistScaleFactor
    return (scale >> 2) < -64 || (scale >> 2) > 128 ? 32 : scale >> 2;
}

const char* implicit_weights_refusal(const ParserHandle* h, const SliceLayout& f, int32_t poc) {
    const RepeatPlan* p = h->repeat_plan;
    const SeqParamSet& sps = h->sps_table[f.pps->seq_parameter_set_id];
    if (sps.frame_mbs_only_flag == 0 && sps.mb_adaptive_frame_field_flag != 0)
        return IMPLICIT_WEIGHTS_REFUSAL ": field macroblocks take theirs from the fields' counts";
    if (!p || p->refs_unknown != 0 || sps.gaps_in_frame_num_value_allowed_flag != 0)
        return IMPLICIT_WEIGHTS_REFUSAL ": its reference lists are not followed (long-term references, fields or frame_num gaps)";
    int32_t list0[16];
    int32_t list1[16];
    const int32_t n = ordered_refs(*p, poc, false, list0);
    ordered_refs(*p, poc, true, list1);
    bool same = n > 1;
    for (int32_t i = 0; i < n && same; ++i) same = list0[i] == list1[i];
    if (same) std::swap(list1[0], list1[1]);
    const int32_t n0 = f.modified || f.ref_count[0] > n ? n : f.ref_count[0];
    const int32_t n1 = f.modified || f.ref_count[1] > n ? n : f.ref_count[1];
    for (int32_t i = 0; i < n0; ++i)
        for (int32_t j = 0; j < n1; ++j)
            if (implicit_weight_l1(poc, list0[i], f.modified ? list0[j] : list1[j]) != 32)
                return IMPLICIT_WEIGHTS_REFUSAL ": not 32/32 for every pair of its references";
    return nullptr;
}

}  // namespace kavrel
