// Slice header of the repeat frame (ITU-T H.264 clause 7.3.3): a P slice
// with one active reference picture, everything else taken from the last
// parsed slice header and the active parameter sets.
#include "stream/parser_handle.h"
#include "synth/cabac_engine.h"
#include "synth/repeat_frame.h"

namespace kavrel {

namespace {

// pred_weight_table() (clause 7.3.3.2) with default weights: both
// denominators 0 and no explicit weight for the one reference picture,
// which predicts the samples unchanged.
void write_default_weights(const SeqParamSet& sps, SliceOutput* out) {
    const bool chroma = sps.separate_colour_plane_flag == 0 && sps.chroma_format_idc != 0;  // ChromaArrayType
    write_ue(0, out);  // luma_log2_weight_denom
    if (chroma) write_ue(0, out);  // chroma_log2_weight_denom
    write_u(0, 1, out);  // luma_weight_l0_flag[0]
    if (chroma) write_u(0, 1, out);  // chroma_weight_l0_flag[0]
}

}  // namespace

void write_repeat_header(ParserHandle* handle, RepeatSlice* slice) {
    const SeqParamSet& sps = handle->active_sps;
    const PicParamSet& pps = handle->active_pps;
    const SliceHeader& last = handle->slice;
    SliceOutput* out = &slice->output;
    const bool field = sps.frame_mbs_only_flag == 0 && last.picture_structure != 3;

    write_ue(0, out);  // first_mb_in_slice
    write_ue(5, out);  // slice_type: P, as every slice of the picture
    write_ue(pps.pic_parameter_set_id, out);
    write_u(static_cast<uint32_t>(repeat_frame_num(handle)), Log2MaxFrameNum(sps), out);
    if (sps.frame_mbs_only_flag == 0) {
        write_u(field ? 1 : 0, 1, out);  // field_pic_flag
        if (field) write_u(last.picture_structure == 2 ? 1 : 0, 1, out);  // bottom_field_flag
    }
    const bool bottom_in_frame = pps.bottom_field_pic_order_in_frame_present_flag != 0 && !field;
    if (sps.pic_order_cnt_type == 0) {
        const uint32_t mask = (uint32_t{1} << Log2MaxPicOrderCntLsb(sps)) - 1;
        write_u((static_cast<uint32_t>(last.pic_order_cnt_lsb) + 1) & mask, Log2MaxPicOrderCntLsb(sps), out);
        if (bottom_in_frame) write_se(last.delta_pic_order_cnt_bottom, out);
    }
    if (sps.pic_order_cnt_type == 1 && sps.delta_pic_order_always_zero_flag == 0) {
        write_se(last.delta_pic_order_cnt[0], out);
        if (bottom_in_frame) write_se(last.delta_pic_order_cnt[1], out);
    }
    // A primary coded picture of its own: a redundant_pic_cnt above 0 would
    // make decoders drop it in favour of a primary picture that never comes.
    if (pps.redundant_pic_cnt_present_flag != 0) write_ue(0, out);
    write_u(1, 1, out);  // num_ref_idx_active_override_flag
    write_ue(0, out);    // num_ref_idx_l0_active_minus1: one reference picture
    if (slice->pic_num_diff == 0) {
        write_u(0, 1, out);  // ref_pic_list_modification_flag_l0
    } else {  // the picture to repeat first in list 0 (clause 8.2.4.3.1)
        write_u(1, 1, out);
        write_ue(0, out);  // modification_of_pic_nums_idc: subtract from picNumL0Pred = CurrPicNum
        write_ue(slice->pic_num_diff - 1, out);  // abs_diff_pic_num_minus1
        write_ue(3, out);
    }
    if (pps.weighted_pred_flag != 0) write_default_weights(sps, out);
    // nal_ref_idc is 0: no dec_ref_pic_marking().
    if (pps.entropy_coding_mode_flag != 0) write_ue(0, out);  // cabac_init_idc
    write_se(last.qp - (26 + slice_pic_init_qp_minus26(pps)), out);  // slice_qp_delta: the QP of the last slice
    if (pps.deblocking_filter_control_present_flag != 0) {
        const int32_t idc = last.disable_deblocking_filter_idc;
        write_ue(idc, out);
        if (idc != 1) {
            write_se(last.slice_alpha_c0_offset / 2, out);
            write_se(last.slice_beta_offset / 2, out);
        }
    }

    if (pps.entropy_coding_mode_flag != 0) {
        start_arith(out);
        init_contexts(&out->ArithEncoder, last.qp);
    }
}

}  // namespace kavrel
