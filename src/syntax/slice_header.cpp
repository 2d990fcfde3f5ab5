// slice_header() of ITU-T H.264 clause 7.3.3, checked against the ranges of
// clause 7.4.3 and the parameter sets in force, with the frame_num
// continuity rule of clause 7.4.3 (no gaps unless the SPS allows them).
#include "syntax/slice_header.h"

#include <climits>

#include "common/diagnostics.h"
#include "common/status.h"
#include "syntax/syntax_io.h"
#include "syntax/syntax_state.h"
#include "bitstream/bit_reader.h"

namespace kavrel {

namespace {

constexpr uint8_t kTypeI = 1;
constexpr uint8_t kTypeP = 2;
constexpr uint8_t kTypeB = 3;

// Picture type by slice_type 0..9 (Table 7-6): P, B, I, SP (6), SI (5), twice.
constexpr uint8_t kPicTypeBySliceType[10] = {kTypeP, kTypeB, kTypeI, 6, 5, kTypeP, kTypeB, kTypeI, 6, 5};


// Frame-number continuity for a frame picture (clause 7.4.3, frame_num):
// kOk, or kFrameNum after printing why.
// MaxFrameNum - 1 is the last frame_num before the count wraps to 0.
Status check_frame_num(SyntaxState* h, const SliceHeader& s, const SeqParamSet& sps) {
    if (h->nal_unit_type == 5) {
        if (s.frame_num != 0) return refuse(Rule::kIdrFrameNum, s.frame_num);
        h->prev_ref_frame_num = 0;
        return Status::kOk;
    }
    if (s.pic_type == kTypeI || sps.gaps_in_frame_num_value_allowed_flag != 0) return Status::kOk;
    const int32_t last = (int32_t{1} << Log2MaxFrameNum(sps)) - 1;  // MaxFrameNum - 1
    const int32_t p = h->prev_ref_frame_num;
    const int32_t f = s.frame_num;
    // After `last` only 0 may follow; before it p, p + 1 or 0. A p above
    // `last` (left by a set with a longer frame_num) passes.
    const bool refused = (p == last && f != 0) || (p < last && f > p + 1) || (p < last && f >= 1 && f < p);
    return refused ? refuse(Rule::kFrameNum, f, p) : Status::kOk;
}

// pic_order_cnt_lsb, delta_pic_order_cnt_bottom, delta_pic_order_cnt[0..1].
// The deltas keep their full values: the repeat frame writes them back.
inline Status read_pic_order_cnt(const SyntaxState* h, SliceHeader& s, BitReader& r) {
    const SeqParamSet& sps = h->active_sps;
    const bool bottom_present =
        h->active_pps.bottom_field_pic_order_in_frame_present_flag == 1 && s.picture_structure == 3;
    if (sps.pic_order_cnt_type == 0) {
        SyntaxReader rw{r};
        const Status st =
            rw.u(s.pic_order_cnt_lsb, Log2MaxPicOrderCntLsb(sps), 0, INT32_MAX, Rule::kPicOrderCntLsb);
        if (!ok(st)) return st;
        if (bottom_present) rw.se32(s.delta_pic_order_cnt_bottom);
    }
    if (sps.pic_order_cnt_type == 1 && sps.delta_pic_order_always_zero_flag == 0) {
        SyntaxReader rw{r};
        rw.se32(s.delta_pic_order_cnt[0]);
        if (bottom_present) rw.se32(s.delta_pic_order_cnt[1]);
    }
    return Status::kOk;
}

// What the first slice of a picture tells of the order pictures are shown
// in (PictureState.reordering_seen and the pic_order_cnt_lsb steps).
inline void note_picture_order(SyntaxState* h, const SliceHeader& s) {
    if (s.pic_type == kTypeB) h->reordering_seen = 1;
    h->poc_lsb_step = 0;
    h->min_poc_lsb_step_before = h->min_poc_lsb_step;
    if (h->active_sps.pic_order_cnt_type != 0 || h->nal_unit_type == 5 || h->prev_pic_order_cnt_lsb < 0) return;
    const uint32_t max_lsb = uint32_t{1} << Log2MaxPicOrderCntLsb(h->active_sps);
    const uint32_t step = static_cast<uint32_t>(s.pic_order_cnt_lsb - h->prev_pic_order_cnt_lsb) & (max_lsb - 1);
    if (step == 0 || step >= max_lsb / 2) {
        h->reordering_seen = 1;  // the count went back
        return;
    }
    h->poc_lsb_step = static_cast<int32_t>(step);
    if (h->min_poc_lsb_step == 0 || h->poc_lsb_step < h->min_poc_lsb_step) h->min_poc_lsb_step = h->poc_lsb_step;
}

// num_ref_idx_active_override_flag and the overriding counts (P and B).
inline Status read_ref_counts(SliceHeader& s, BitReader& r) {
    s.num_ref_idx_active_override_flag = read_flag(r);
    if (!s.num_ref_idx_active_override_flag) return Status::kOk;
    // A count without a value (the data ended, or a code too long) is 0, which is refused.
    const auto count = [&r] {
        const Code minus1 = read_ue_code(r);
        return static_cast<int16_t>(minus1.ok() ? minus1.value + 1 : 0);
    };
    s.ref_count[0] = count();
    if (s.pic_type == kTypeB) s.ref_count[1] = count();
    if (s.ref_count[0] > 32 || s.ref_count[0] < 1 || s.ref_count[1] > 32 || s.ref_count[1] < 1) {
        return refuse(Rule::kSliceRefCount, s.ref_count[0], s.ref_count[1]);
    }
    return Status::kOk;
}

// disable_deblocking_filter_idc and the two offsets (clause 7.4.3).
inline Status read_deblocking(const SyntaxState* h, SliceHeader& s, BitReader& r) {
    s.disable_deblocking_filter_idc = 0;
    s.slice_alpha_c0_offset = 0;
    s.slice_beta_offset = 0;
    if (!h->active_pps.deblocking_filter_control_present_flag) return Status::kOk;
    SyntaxReader rw{r};
    const Status st = rw.ue(s.disable_deblocking_filter_idc, 0, 2, Rule::kDeblockingFilterIdc);
    if (!ok(st)) return st;
    if (s.disable_deblocking_filter_idc != 1) {  // the filter runs: its offsets follow
        int32_t alpha_div2, beta_div2;
        rw.se(alpha_div2);
        rw.se(beta_div2);
        s.slice_alpha_c0_offset = 2 * alpha_div2;
        s.slice_beta_offset = 2 * beta_div2;
    }
    if (s.slice_alpha_c0_offset < -12 || s.slice_alpha_c0_offset > 12 || s.slice_beta_offset < -12 ||
        s.slice_beta_offset > 12) {
        return refuse(Rule::kDeblockingOffsets, s.slice_alpha_c0_offset, s.slice_beta_offset);
    }
    return Status::kOk;
}

// The ranges of the active PPS that clause 7.4.2.2 ties to the SPS: kOk or kPpsRange.
Status check_active_pps(const SyntaxState* h) {
    const PicParamSet& ap = h->active_pps;
    if (h->last_sps_profile_idc >= 100) {
        const int32_t min_qp = -6 * h->active_sps.bit_depth_luma_minus8;
        const int32_t init_qp = 26 + slice_pic_init_qp_minus26(ap);
        const int32_t init_qs = 26 + slice_value(ap, PpsTailOfHead::kPicInitQs, ap.pic_init_qs_minus26);
        if (init_qp < min_qp || init_qp > 51 || init_qs < 0 || init_qs > 51) {
            return refuse(Rule::kInitQp, init_qp, init_qs);
        }
    }
    if (ap.chroma_qp_index_offset < -12 || ap.chroma_qp_index_offset > 12) {  // in range (0) where not read
        return refuse(Rule::kChromaQpIndexOffset, ap.chroma_qp_index_offset);
    }
    return Status::kOk;
}

// The PPS `pps_id` and its SPS made active, when both are valid: the
// sets become active only as a valid pair, so a slice naming an SPS that
// failed its checks leaves the previous pair in force. Then their ranges
// are checked; a pair that fails them stays active but is not remembered
// as checked, so the next slice checks (and reports) it again. kOk,
// kPpsNotValid, kSpsNotValid or kPpsRange.
Status activate_sets(SyntaxState* h, int32_t pps_id) {
    PicParamSet& pps = h->pps_table[pps_id];
    if (!pps.valid) return refuse(Rule::kPpsNotValid);
    const int32_t sps_id = pps.seq_parameter_set_id;
    if (sps_id < 0 || sps_id >= kMaxSps || !h->sps_table[sps_id].valid) return refuse(Rule::kSpsNotValid);
    pps.pic_parameter_set_id = pps_id;
    h->active_pps = pps;
    h->active_sps = h->sps_table[sps_id];
    h->slice_sps = h->active_sps;
    h->active_pps_index = pps_id;
    const Status st = check_active_pps(h);
    h->active_generation = ok(st) ? h->param_generation : 0;
    return st;
}

// first_mb_in_slice to the active parameter sets.
inline Status read_slice_start(SyntaxState* h, SliceHeader& s, BitReader& r) {
    SyntaxReader rw{r};
    // Up to PicSizeInMbs - 1 = 261120 for 511 x 511 macroblocks: read in full.
    Status st = rw.ue_wide(s.first_mb_in_slice, 0, INT32_MAX, Rule::kFirstMbInSlice);
    if (!ok(st)) return st;
    int32_t slice_type = 0;
    st = rw.ue(slice_type, 0, 9, Rule::kSliceType);
    if (!ok(st)) return st;
    s.pic_type = kPicTypeBySliceType[slice_type];
    if (h->nal_unit_type == 5 && s.pic_type != kTypeI) return refuse(Rule::kIdrNotI);
    if (s.pic_type == 5 || s.pic_type == 6) return refuse(Rule::kSliceTypeUnsupported, s.pic_type);

    int32_t pps_id = 0;
    st = rw.ue(pps_id, 0, kMaxPps - 1, Rule::kSlicePpsId);
    if (!ok(st)) return st;
    // The sets the last slice made active are still valid, in force and
    // within range while no table entry or active set has been written
    // since (each such write bumps param_generation): only another pair is
    // looked up and checked.
    if (h->active_generation == 0 || h->active_generation != h->param_generation ||
        h->active_pps_index != pps_id) {
        return activate_sets(h, pps_id);
    }
    return Status::kOk;
}

// frame_num, field_pic_flag, bottom_field_flag and the continuity checks.
inline Status read_frame_num(SyntaxState* h, SliceHeader& s, BitReader& r) {
    const SeqParamSet& sps = h->active_sps;

    if (s.first_mb_in_slice == 0) {  // the first slice of a new picture
        if (h->prev_nal_ref_idc != 0) h->prev_ref_frame_num = s.frame_num;
        h->prev_nal_ref_idc = h->nal_ref_idc;
        h->prev_pic_order_cnt_lsb = h->slice_received != 0 ? s.pic_order_cnt_lsb : -1;
    }
    s.idr_pic_flag = h->nal_unit_type == 5 ? 1 : 0;
    SyntaxReader{r}.u(s.frame_num, Log2MaxFrameNum(sps));

    if (sps.frame_mbs_only_flag != 0) {
        s.field_pic_flag = 0;
        s.picture_structure = 3;
    } else if (read_flag(r)) {
        s.field_pic_flag = 1;
        s.picture_structure = static_cast<int16_t>(read_flag(r) + 1);
    } else {
        s.field_pic_flag = 0;
        s.picture_structure = 3;
    }
    s.parity_pic_type[s.picture_structure % 2] = s.pic_type;

    if (s.picture_structure != 3) return Status::kOk;  // fields are not checked
    return check_frame_num(h, s, sps);
}

// Most slices reorder nothing and mark no picture adaptively: their one
// flag is read here, and only a set flag (or one past the data) goes to
// the structure's reader, which reads it again.
inline void walk_reordering(BitReader& r) {
    const int32_t at = r.bit_pos;
    if (read_flag(r) == 0) return;  // ref_pic_list_reordering_flag
    r.bit_pos = at;
    static_cast<void>(decode_ref_pic_list_reordering(&r));  // a fault is only reported
}

inline void walk_ref_pic_marking(const SyntaxState* h, SliceHeader& s, BitReader& r) {
    if (h->nal_unit_type != 5) {
        const int32_t at = r.bit_pos;
        if (read_flag(r) == 0) return;  // adaptive_ref_pic_marking_mode_flag
        r.bit_pos = at;
    }
    static_cast<void>(decode_ref_pic_marking(s, h->nal_unit_type, &r));  // a fault is only reported
}

}  // namespace

namespace {

// The header read with `r`.
inline Status read_slice_header(SyntaxState* h, SliceHeader& s, BitReader& r) {
    Status st = read_slice_start(h, s, r);
    if (!ok(st)) return st;
    st = read_frame_num(h, s, r);
    if (!ok(st)) return st;

    if (h->nal_unit_type == 5) skip_ue(r);  // idr_pic_id
    st = read_pic_order_cnt(h, s, r);
    if (!ok(st)) return st;
    if (s.first_mb_in_slice == 0) note_picture_order(h, s);

    const PicParamSet& pps = h->active_pps;
    SyntaxReader rw{r};
    if (pps.redundant_pic_cnt_present_flag != 0) {
        st = rw.ue(s.redundant_pic_cnt, 0, 127, Rule::kRedundantPicCnt);
        if (!ok(st)) return st;
    }

    const bool is_b = s.pic_type == kTypeB;
    const bool is_inter = is_b || s.pic_type == kTypeP;
    s.ref_count[0] = static_cast<int16_t>(pps.num_ref_idx_default_active_minus1[0] + 1);
    s.ref_count[1] = static_cast<int16_t>(pps.num_ref_idx_default_active_minus1[1] + 1);
    if (is_b) s.direct_spatial_mv_pred_flag = read_flag(r);
    if (is_inter) {
        st = read_ref_counts(s, r);
        if (!ok(st)) return st;
        // The readers of these structures report their own faults; the
        // header goes on from wherever they stopped.
        walk_reordering(r);
        if (is_b) walk_reordering(r);
    }
    if ((s.pic_type == kTypeP && pps.weighted_pred_flag != 0) || (is_b && pps.weighted_bipred_idc == 1)) {
        // A fault in the table is only reported, as in the two structures above.
        const bool chroma = h->active_sps.chroma_format_idc != 0;
        static_cast<void>(decode_pred_weight_table(&r, chroma, s.ref_count[0], 0));
        if (is_b) static_cast<void>(decode_pred_weight_table(&r, chroma, s.ref_count[1], 1));
    }
    s.marked_long_term = s.mmco5 = s.mmco_unmark_count = s.mmco_other = 0;
    if (h->nal_ref_idc != 0) walk_ref_pic_marking(h, s, r);

    if (is_inter && pps.entropy_coding_mode_flag != 0) {
        st = rw.ue(s.cabac_init_idc, 0, 2, Rule::kCabacInitIdc);
        if (!ok(st)) return st;
    }

    int32_t slice_qp_delta;
    rw.se(slice_qp_delta);
    s.qp = 26 + slice_pic_init_qp_minus26(pps) + slice_qp_delta;
    if (s.qp < 0 || s.qp > 51) return refuse(Rule::kSliceQp, s.qp);

    return read_deblocking(h, s, r);
}

}  // namespace

Status decode_slice_header(SyntaxState* h, const uint8_t* rbsp, int32_t rbsp_len, int32_t bit_count,
                            RbspSource* source) {
    BitReader r;
    bit_reader_init(r, rbsp, rbsp_len, bit_count);
    if (source) bit_reader_attach(r, source);
    // The header is read into a record of its own, which starts as the
    // last one: an element a slice does not carry (delta_pic_order_cnt_bottom
    // without bottom_field_pic_order_in_frame_present_flag, cabac_init_idc in
    // a CAVLC slice, the other parity's picture type, ...) keeps the value
    // the slice before it gave.
    SliceHeader s = h->slice;
    const Status st = read_slice_header(h, s, r);
    // A passing header replaces the last one. A refused one is committed
    // too, up to the element that failed, that element's value included and
    // nothing after it (the record holds the last header's values from
    // there on): the picture type and structure it read are what FrameInfo
    // reports after a refused unit (kavrel.h), frame_num and
    // pic_order_cnt_lsb are what the next picture's first slice takes as the
    // previous picture's (PrevRefFrameNum, clause 7.4.3), and the repeat
    // calls describe the last picture by whatever the handle holds.
    h->slice = s;
    return st;
}

}  // namespace kavrel
