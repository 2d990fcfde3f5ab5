// pic_parameter_set_rbsp() (ITU-T H.264 clause 7.3.2.2) with the range rules
// of clause 7.4.2.2 and the library's rules per profile.
#include <cstring>

#include "common/diagnostics.h"
#include "syntax/param_set_store.h"
#include "syntax/pic_param_set.h"
#include "syntax/pps_syntax.h"
#include "syntax/seq_param_set.h"

namespace kavrel {

namespace {

// Ceil(Log2(n)) for n >= 1.
// The largest picture the library accepts: 511 x 511 macroblocks.
constexpr int64_t kMaxMapUnitsMinus1 = 511 * 511 - 1;

int ceil_log2(int32_t n) {
    int bits = 0;
    while ((1 << bits) < n) ++bits;
    return bits;
}

// slice_group_map_type and the map description that follows it; the map is
// stepped over. 0 or -19.
Status decode_slice_groups(SyntaxReader& rw, PicParamSet* pps) {
    BitReader& r = rw.r;
    const int32_t groups_minus1 = pps->num_slice_groups_minus1;  // 1..127 here
    const Status st = rw.ue(pps->slice_group_map_type, 0, 6, Rule::kSliceGroupMapType);
    if (!ok(st)) return st;
    const int32_t type = pps->slice_group_map_type;
    if (groups_minus1 != 1 && type >= 3 && type <= 5) return refuse(Rule::kSliceGroupChange);
    switch (type) {
    case 0:  // run_length_minus1[i]
        for (int32_t i = 0; i <= groups_minus1; ++i) skip_ue(r);
        break;
    case 2:  // top_left[i], bottom_right[i]
        for (int32_t i = 0; i < groups_minus1; ++i) {
            skip_ue(r);
            skip_ue(r);
        }
        break;
    case 3:
    case 4:
    case 5:  // slice_group_change_direction_flag, slice_group_change_rate_minus1
        r.bit_pos += 1;
        skip_ue(r);
        break;
    case 6: {
        // PicSizeInMapUnits - 1, up to 511 x 511 - 1: read in full.
        int32_t map_units_minus1 = 0;
        const Status units = rw.ue_wide(map_units_minus1, 0, kMaxMapUnitsMinus1, Rule::kMapUnits);
        if (!ok(units)) return units;
        // slice_group_id[i], u(v) of Ceil(Log2(num_slice_groups_minus1 + 1)) bits.
        r.bit_pos += (map_units_minus1 + 1) * ceil_log2(groups_minus1 + 1);
        break;
    }
    default:  // type 1: nothing
        break;
    }
    return Status::kOk;
}

// pic_init_qp_minus26 .. redundant_pic_cnt_present_flag, with the first
// one the data ended before (PicParamSet::past_data_from). Nothing here is
// refused: the ranges are tested when a slice uses the set.
void decode_pps_head_tail(BitReader& r, PicParamSet* pps) {
    using E = PpsTailOfHead;
    pps->past_data_from = E::kNone;
    // Notes `element` as the first past the data where it is; whether it is past.
    const auto reach = [&](E element) {
        if (pps->past_data_from == E::kNone && past_data(r)) pps->past_data_from = element;
        return read_past_data(*pps, element);
    };
    const auto flag = [&](E element) -> uint8_t {
        reach(element);
        return static_cast<uint8_t>(read_flag(r));
    };
    const auto se = [&](E element) { return reach(element) ? 0 : read_se_code(r).value; };  // 0 for a code too long
    pps->pic_init_qp_minus26 = se(E::kPicInitQp);
    pps->pic_init_qs_minus26 = se(E::kPicInitQs);
    pps->chroma_qp_index_offset = se(E::kChromaQpIndexOffset);
    pps->deblocking_filter_control_present_flag = flag(E::kDeblockingFilterControl);
    pps->constrained_intra_pred_flag = flag(E::kConstrainedIntraPred);
    pps->redundant_pic_cnt_present_flag = flag(E::kRedundantPicCntPresent);
}

// Everything after pps_id up to redundant_pic_cnt_present_flag. 0, -12 or -19.
Status decode_pps_head(BitReader& r, PicParamSet* pps) {
    SyntaxReader rw{r};
    Status st = rw.ue(pps->seq_parameter_set_id, 0, kMaxSps - 1, Rule::kPpsSpsId);
    if (ok(st)) st = rw.u(pps->entropy_coding_mode_flag, 1, 0, 1, Rule::kEntropyCodingMode);
    if (!ok(st)) return st;
    rw.flag(pps->bottom_field_pic_order_in_frame_present_flag);
    st = rw.ue(pps->num_slice_groups_minus1, 0, 127, Rule::kSliceGroupCount);
    if (ok(st) && pps->num_slice_groups_minus1 > 0) st = decode_slice_groups(rw, pps);
    if (!ok(st)) return st;

    const Code l0 = read_ue_code(r);
    const Code l1 = read_ue_code(r);
    const int32_t l0_minus1 = l0.or_else(kValueNotRead);
    const int32_t l1_minus1 = l1.or_else(kValueNotRead);
    // Checked on the values read, before they are narrowed to 8 bits.
    if (!l0.ok() || l0_minus1 > 31 || !l1.ok() || l1_minus1 > 31) {
        return refuse(Rule::kPpsRefCount, l0_minus1 + 1, l1_minus1 + 1);
    }
    pps->num_ref_idx_default_active_minus1[0] = l0_minus1;
    pps->num_ref_idx_default_active_minus1[1] = l1_minus1;
    rw.flag(pps->weighted_pred_flag);
    st = rw.u(pps->weighted_bipred_idc, 2, 0, 2, Rule::kWeightedBipredIdc);
    if (!ok(st)) return st;
    decode_pps_head_tail(r, pps);
    return Status::kOk;
}

}  // namespace

Status check_pps_profile(const PicParamSet& pps, int32_t sps_profile_idc) {
    const bool high_tail_used = pps.transform_8x8_mode_flag == 1 || pps.second_chroma_qp_index_offset != 0 ||
                                pps.pic_scaling_matrix_present_flag == 1;
    // A flag the data ended before counts as set but is printed as -1.
    const int redundant = read_past_data(pps, PpsTailOfHead::kRedundantPicCntPresent)
                              ? kValueNotRead
                              : pps.redundant_pic_cnt_present_flag;
    switch (sps_profile_idc) {
    case 66:
        if (pps.entropy_coding_mode_flag != 0) return refuse(Rule::kCabacBaseline);
        if (pps.weighted_pred_flag != 0 || pps.weighted_bipred_idc != 0) return refuse(Rule::kWeightedBaseline);
        if (high_tail_used) return refuse(Rule::kSyntaxBaseline);
        return Status::kOk;
    case 77:
        if (pps.num_slice_groups_minus1 != 0) return refuse(Rule::kSliceGroupsMain, pps.num_slice_groups_minus1);
        if (redundant != 0) return refuse(Rule::kRedundantMain, redundant);
        if (high_tail_used) return refuse(Rule::kSyntaxMain);
        return Status::kOk;
    case 100:
        if (pps.num_slice_groups_minus1 != 0) return refuse(Rule::kSliceGroupsHigh, pps.num_slice_groups_minus1);
        if (redundant != 0) return refuse(Rule::kRedundantHigh, redundant);
        return Status::kOk;
    default:
        return Status::kOk;
    }
}

Status decode_picture_parameter_set(ParamSetStore& store, BitReader& r, int32_t rbsp_bits) {
    int32_t pps_id = 0;
    SyntaxReader rw{r};
    const Status id_read = rw.ue(pps_id, 0, kMaxPps - 1, Rule::kPpsId);
    if (!ok(id_read)) return id_read;
    // The set is read into a record of its own; the table's entry is
    // replaced by it when it passes, and by an empty (invalid) one when not.
    PicParamSet& entry = store.pps_table[pps_id];
    ++store.param_generation;  // the table changes: slices copy their sets anew
    PicParamSet pps{};
    Status st = decode_pps_head(r, &pps);
    if (ok(st)) {
        // The High-profile tail, when the RBSP holds more data (more_rbsp_data()).
        store.pps_tail_bit_pos = r.bit_pos - 1;
        if (r.bit_pos < rbsp_bits) {
            pps.high_profile_tail = 1;
            pps_high_profile_tail(rw, pps);
        }
        store.pps_has_tail = pps.high_profile_tail;
        store.pps_chroma_qp_index_offset =
            slice_value(pps, PpsTailOfHead::kChromaQpIndexOffset, pps.chroma_qp_index_offset);
        const int32_t sps_profile_idc = store.sps_table[pps.seq_parameter_set_id].profile_idc;
        store.pps_sps_profile_idc = sps_profile_idc;
        st = check_pps_profile(pps, sps_profile_idc);
        if (!ok(st)) st = refuse(Rule::kPpsInvalid);
    }
    pps.valid = ok(st) ? 1 : 0;
    entry = ok(st) ? pps : PicParamSet{};
    return st;
}

}  // namespace kavrel
