// pic_parameter_set_rbsp() (ITU-T H.264 clause 7.3.2.2) with the range rules
// of clause 7.4.2.2 and the library's rules per profile.
#include <cstring>

#include "common/diagnostics.h"
#include "syntax/syntax_state.h"
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
Status decode_slice_groups(BitReader& r, PicParamSet* pps) {
    const int32_t groups_minus1 = pps->num_slice_groups_minus1;  // 1..127 here
    pps->slice_group_map_type = read_ue(r);
    if (pps->slice_group_map_type < 0 || pps->slice_group_map_type > 6) {
        diag("[VsKavrel]:slice_group_map_type is out of range[0, 6], the value is %d\n", pps->slice_group_map_type);
        return Status::kPpsRange;
    }
    const int32_t type = pps->slice_group_map_type;
    if (groups_minus1 != 1 && type >= 3 && type <= 5) {
        diag("[VsKavrel]:num_slice_groups_minus1 is not equal to 1, slice_group_map_type shall not be equal to "
             "3,4,or 5\n");
        return Status::kPpsRange;
    }
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
        read_bit(r);
        skip_ue(r);
        break;
    case 6: {
        // PicSizeInMapUnits - 1, up to 511 x 511 - 1: read in full.
        const int64_t map_units_long = read_ue_long(r);
        const int32_t map_units_minus1 = map_units_long <= kMaxMapUnitsMinus1 ? static_cast<int32_t>(map_units_long) : -1;
        if (map_units_minus1 < 0) {
            diag("[VsKavrel]:pic_size_in_map_units_minus1 is out of range\n");
            return Status::kPpsRange;
        }
        // slice_group_id[i], u(v) of Ceil(Log2(num_slice_groups_minus1 + 1)) bits.
        r.bit_pos += (map_units_minus1 + 1) * ceil_log2(groups_minus1 + 1);
        break;
    }
    default:  // type 1: nothing
        break;
    }
    return Status::kOk;
}

// Everything after pps_id up to redundant_pic_cnt_present_flag. 0, -12 or -19.
Status decode_pps_head(BitReader& r, PicParamSet* pps) {
    pps->seq_parameter_set_id = read_ue(r);
    if (pps->seq_parameter_set_id < 0 || pps->seq_parameter_set_id >= kMaxSps) {
        diag("[VsKavrel]:sps_id is out of range[0, 31], the value is %d\n", pps->seq_parameter_set_id);
        return Status::kSpsId;
    }
    pps->entropy_coding_mode_flag = read_bit(r);
    if (pps->entropy_coding_mode_flag < 0 || pps->entropy_coding_mode_flag > 1) {
        diag("[VsKavrel]:entropy_coding_mode_flag is out of range[0, 1], the value is %d\n",
             pps->entropy_coding_mode_flag);
        return Status::kPpsRange;
    }
    pps->bottom_field_pic_order_in_frame_present_flag = static_cast<uint8_t>(read_bit(r));

    pps->num_slice_groups_minus1 = read_ue(r);
    if (pps->num_slice_groups_minus1 < 0 || pps->num_slice_groups_minus1 > 127) {
        diag("[VsKavrel]:slice_group_count is out of range\n");
        return Status::kPpsRange;
    }
    if (pps->num_slice_groups_minus1 > 0) {
        const Status st = decode_slice_groups(r, pps);
        if (!ok(st)) return st;
    }

    const int32_t l0_minus1 = read_ue(r);
    const int32_t l1_minus1 = read_ue(r);
    // Checked on the values read, before they are narrowed to 8 bits.
    if (l0_minus1 < 0 || l0_minus1 > 31 || l1_minus1 < 0 || l1_minus1 > 31) {
        diag("[VsKavrel]:pps->ref_count[0] or pps->ref_count[1] are out of range[1, 32], the values are %d  %d\n",
             l0_minus1 + 1, l1_minus1 + 1);
        return Status::kPpsRange;
    }
    pps->num_ref_idx_default_active_minus1[0] = l0_minus1;
    pps->num_ref_idx_default_active_minus1[1] = l1_minus1;
    pps->weighted_pred_flag = static_cast<uint8_t>(read_bit(r));
    pps->weighted_bipred_idc = static_cast<int8_t>(read_bits(r, 2));
    if (pps->weighted_bipred_idc < 0 || pps->weighted_bipred_idc > 2) {
        diag("[VsKavrel]:weighted_bipred_idc is out of range[0,2], the value is %d\n", pps->weighted_bipred_idc);
        return Status::kPpsRange;
    }
    // Tested when a slice uses the set.
    pps->pic_init_qp_minus26 = read_se(r);
    pps->pic_init_qs_minus26 = read_se(r);
    pps->chroma_qp_index_offset = read_se(r);
    pps->deblocking_filter_control_present_flag = static_cast<uint8_t>(read_bit(r));
    pps->constrained_intra_pred_flag = static_cast<uint8_t>(read_bit(r));
    pps->redundant_pic_cnt_present_flag = static_cast<uint16_t>(read_bit(r));
    return Status::kOk;
}

}  // namespace

int32_t check_pps_profile(const PicParamSet* pps, int32_t sps_profile_idc) {
    const bool high_tail_used = pps->transform_8x8_mode_flag == 1 || pps->second_chroma_qp_index_offset != 0 ||
                                pps->pic_scaling_matrix_present_flag == 1;
    const int redundant = static_cast<int16_t>(pps->redundant_pic_cnt_present_flag);
    switch (sps_profile_idc) {
    case 66:
        if (pps->entropy_coding_mode_flag != 0) {
            diag("[VsKavrel]:CABAC is not valid for BASELINE\n");
            return 0;
        }
        if (pps->weighted_pred_flag != 0 || pps->weighted_bipred_idc != 0) {
            diag("[VsKavrel]:Weighted predition is invalid for BASELINE\n");
            return 0;
        }
        if (high_tail_used) {
            diag("[VsKavrel]:Invalid syntax for BASELINE\n");
            return 0;
        }
        return 1;
    case 77:
        if (pps->num_slice_groups_minus1 != 0) {
            diag("[VsKavrel]:Invalid num_slice_groups_minus1(%d) for MAIN\n", pps->num_slice_groups_minus1);
            return 0;
        }
        if (redundant != 0) {
            diag("[VsKavrel]:Invalid redundant_pic_cnt_present(%d) for MAIN\n", redundant);
            return 0;
        }
        if (high_tail_used) {
            diag("[VsKavrel]:Invalid syntax for MAIN\n");
            return 0;
        }
        return 1;
    case 100:
        if (pps->num_slice_groups_minus1 != 0) {
            diag("[VsKavrel]:Invalid num_slice_groups_minus1(%d) for HP\n", pps->num_slice_groups_minus1);
            return 0;
        }
        if (redundant != 0) {
            diag("[VsKavrel]:Invalid redundant_pic_cnt_present(%d) for HP\n", redundant);
            return 0;
        }
        return 1;
    default:
        return 1;
    }
}

Status decode_picture_parameter_set(SyntaxState* handle, int32_t rbsp_bits) {
    BitReader& r = handle->reader;
    const int32_t pps_id = read_ue(r);
    if (pps_id < 0 || pps_id >= kMaxPps) {
        diag("[VsKavrel]:pps_id is out of range[0, 255], the value is %d\n", pps_id);
        return Status::kPpsId;
    }
    PicParamSet* pps = &handle->pps_table[pps_id];
    ++handle->param_generation;  // the table changes: slices copy their sets anew
    std::memset(pps, 0, sizeof *pps);

    const Status st = decode_pps_head(r, pps);
    if (!ok(st)) return st;

    // The High-profile tail, when the RBSP holds more data (more_rbsp_data()).
    handle->pps_tail_bit_pos = r.bit_pos - 1;
    pps->transform_8x8_mode_flag = -1;
    pps->second_chroma_qp_index_offset = 0;
    SeqParamSet* sps = &handle->sps_table[pps->seq_parameter_set_id];
    if (r.bit_pos < rbsp_bits) {
        SyntaxReader rw{r};
        pps_high_profile_tail(rw, *pps);
    }
    handle->transform_8x8_mode = pps->transform_8x8_mode_flag;
    handle->pps_chroma_qp_index_offset = pps->chroma_qp_index_offset;
    handle->pps_sps_profile_idc = sps->profile_idc;

    pps->valid = check_pps_profile(pps, sps->profile_idc);
    if (pps->valid) return Status::kOk;
    diag("[VsKavrel]:Warnning: pps exists invalid sytnax\n");
    std::memset(pps, 0, sizeof *pps);
    return Status::kProfile;
}

}  // namespace kavrel
