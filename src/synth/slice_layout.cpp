// The walk of a non-reference picture's slice header for its copy.
#include "synth/slice_layout.h"

#include "bitstream/bit_reader.h"
#include "stream/parser_handle.h"

namespace kavrel {

namespace {

// The first RBSP bytes of a NAL unit's payload (after its header byte).
int32_t unescape_prefix(const uint8_t* payload, int32_t len, uint8_t* out) {
    int32_t n = 0;
    int32_t zeros = 0;
    for (int32_t i = 0; i < len && n < kSlicePrefix; ++i) {
        if (zeros >= 2 && payload[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = payload[i] == 0 ? zeros + 1 : 0;
        out[n++] = payload[i];
    }
    return n;
}

// Whether `c` holds `value` (a code with no value holds none).
bool holds(const Code& c, int32_t value) { return c.ok() && c.value == value; }

// The elements up to pic_order_cnt_lsb; null or a refusal.
const char* read_to_lsb(const ParserHandle* h, BitReader& r, SliceLayout& f) {
    read_ue_long_code(r);  // first_mb_in_slice
    const Code type = read_ue_code(r);
    f.slice_type = type.ok() ? type.value % 5 : -1;
    f.pps_id_bit = r.bit_pos;
    const Code pps_id = read_ue_code(r);
    f.pps_id = pps_id.value;
    f.pps_id_end = r.bit_pos;
    if (!pps_id.ok() || f.pps_id >= kMaxPps || !h->pps_table[f.pps_id].valid)
        return "a slice names no stored picture parameter set";
    f.pps = &h->pps_table[f.pps_id];
    const int32_t sps_id = f.pps->seq_parameter_set_id;
    if (sps_id < 0 || sps_id >= kMaxSps || !h->sps_table[sps_id].valid)
        return "a slice names no stored sequence parameter set";
    const SeqParamSet& sps = h->sps_table[sps_id];
    f.frame_num = read_u_code(r, Log2MaxFrameNum(sps)).value;
    // field_pic_flag; where the data has ended the header is no frame's either
    if (sps.frame_mbs_only_flag == 0 && read_flag(r) != 0) return "the picture is a field";
    if (sps.pic_order_cnt_type == 1) return "picture order count type 1 is not supported";
    if (sps.pic_order_cnt_type == 2) return "with picture order count type 2 a copy takes the picture's own count";
    return nullptr;
}

// ref_pic_list_modification() of one list: whether it modifies it.
bool skip_modification(BitReader& r) {
    if (read_flag(r) == 0) return false;
    for (int32_t i = 0; i < 100 && r.bit_pos <= r.bit_count; ++i) {
        const Code idc = read_ue_code(r);  // modification_of_pic_nums_idc
        if (!idc.ok() || idc.value == 3) break;
        read_ue_long_code(r);  // abs_diff_pic_num_minus1 or long_term_pic_num
    }
    return true;
}

// pred_weight_table() (clause 7.3.3.2), stepped over.
void skip_weights(const SeqParamSet& sps, BitReader& r, const SliceLayout& f) {
    const bool chroma = sps.separate_colour_plane_flag == 0 && sps.chroma_format_idc != 0;
    read_ue_code(r);  // luma_log2_weight_denom
    if (chroma) read_ue_code(r);
    for (int32_t list = 0; list < (f.slice_type == 1 ? 2 : 1); ++list) {
        for (int32_t i = 0; i < f.ref_count[list] && r.bit_pos <= r.bit_count; ++i) {
            // luma_weight_lX_flag: weight and offset (none where the data has ended)
            const int32_t luma = holds(read_u_code(r, 1), 1) ? 2 : 0;
            const int32_t values = luma + (chroma && holds(read_u_code(r, 1), 1) ? 4 : 0);
            for (int32_t k = 0; k < values; ++k) read_se_code(r);
        }
    }
}

// num_ref_idx_lX_active_minus1 + 1, or no reference where the code has no value.
int32_t ref_count(const Code& minus1) { return minus1.ok() ? minus1.value + 1 : 0; }

// From ref_idx_active_override_flag to the end of the header (P, B or I).
void read_to_end(const SeqParamSet& sps, BitReader& r, SliceLayout& f) {
    const PicParamSet& pps = *f.pps;
    const bool inter = f.slice_type == 0 || f.slice_type == 1;
    f.ref_count[0] = pps.num_ref_idx_default_active_minus1[0] + 1;
    f.ref_count[1] = f.slice_type == 1 ? pps.num_ref_idx_default_active_minus1[1] + 1 : 0;
    if (inter && holds(read_u_code(r, 1), 1)) {  // num_ref_idx_active_override_flag
        f.ref_count[0] = ref_count(read_ue_code(r));
        if (f.slice_type == 1) f.ref_count[1] = ref_count(read_ue_code(r));
    }
    if (!inter) f.ref_count[0] = 0;
    if (inter) f.modified = skip_modification(r);
    if (f.slice_type == 1) f.modified |= skip_modification(r);
    if ((f.slice_type == 0 && pps.weighted_pred_flag != 0) || (f.slice_type == 1 && pps.weighted_bipred_idc == 1))
        skip_weights(sps, r, f);
    if (pps.entropy_coding_mode_flag != 0 && inter) read_ue_code(r);  // cabac_init_idc
    read_se_code(r);  // slice_qp_delta
    // disable_deblocking_filter_idc: the offsets follow unless it is 1
    if (pps.deblocking_filter_control_present_flag != 0 && !holds(read_ue_code(r), 1)) {
        read_se_code(r);  // slice_alpha_c0_offset_div2
        read_se_code(r);  // slice_beta_offset_div2
    }
    f.header_end = r.bit_pos;
}

}  // namespace

SliceLayout read_slice_layout(const ParserHandle* h, const uint8_t* payload, int32_t len, uint8_t* rbsp) {
    const int32_t n = unescape_prefix(payload, len, rbsp);
    BitReader r;
    bit_reader_init(r, rbsp, n, 8 * n);
    SliceLayout f;
    if ((f.refusal = read_to_lsb(h, r, f)) != nullptr) return f;
    const SeqParamSet& sps = h->sps_table[f.pps->seq_parameter_set_id];
    f.lsb_bit = r.bit_pos;
    f.lsb_bits = Log2MaxPicOrderCntLsb(sps);
    // Where the data ends before it, the header ends too early: the copy is refused.
    f.lsb = static_cast<uint32_t>(read_u_code(r, f.lsb_bits).value);
    if (f.pps->bottom_field_pic_order_in_frame_present_flag != 0) {
        f.delta_bit = r.bit_pos;
        f.delta_bottom = read_se_long_code(r).value;  // 0 where there is none (as above)
        f.delta_end = r.bit_pos;
    }
    if (f.delta_bottom < -1 || f.delta_bottom > 1)
        f.refusal = "the frame's fields take two picture order counts, leaving none free for the copy";
    if (f.pps->redundant_pic_cnt_present_flag != 0) read_ue_code(r);
    // direct_spatial_mv_pred_flag; where the data has ended the header ends too early
    if (!f.refusal && f.slice_type == 1 && read_flag(r) == 0)
        f.refusal = "a B slice uses temporal direct prediction (direct_spatial_mv_pred_flag 0), "
                    "which depends on the picture order count";
    if (f.refusal) return f;
    if (f.pps->num_slice_groups_minus1 != 0) f.refusal = "more than one slice group is not supported";
    read_to_end(sps, r, f);
    if (!f.refusal && r.bit_pos > r.bit_count)
        f.refusal = n == kSlicePrefix ? "a slice header is too long to copy" : "a slice header ends too early";
    return f;
}

uint32_t copy_lsb(const SliceLayout& f) {
    const int64_t frame_lsb = f.lsb + (f.delta_bottom < 0 ? f.delta_bottom : 0);
    const uint32_t mask = (uint32_t{1} << f.lsb_bits) - 1;
    return static_cast<uint32_t>(frame_lsb + 1) & mask;
}

}  // namespace kavrel
