// seq_parameter_set_data() (ITU-T H.264 clause 7.3.2.1.1), one description
// for reading and writing (syntax_io.h), with the range rules of clause
// 7.4.2.1.1 and the library's own limits on the reading side. Functions
// return kOk, or the first rule broken (reading only).
#pragma once

#include "common/diagnostics.h"
#include "common/status.h"
#include "syntax/seq_param_set.h"
#include "syntax/syntax_io.h"
#include "syntax/vui_syntax.h"

namespace kavrel {

// profile_idc .. seq_parameter_set_id.
template <class RW, class Sps>
Status sps_head(RW& rw, Sps& sps) {
    rw.u(sps.profile_idc, 8, sps.elements_past_data, kMarkProfileIdc);
    rw.flag(sps.constraint_set0_flag, sps.elements_past_data, kMarkConstraintSet0);
    rw.flag(sps.constraint_set1_flag, sps.elements_past_data, kMarkConstraintSet1);
    rw.flag(sps.constraint_set2_flag, sps.elements_past_data, kMarkConstraintSet2);
    rw.flag(sps.constraint_set3_flag, sps.elements_past_data, kMarkConstraintSet3);
    rw.u(sps.reserved_zero_4bits, 4);  // the four bits as they came
    rw.u(sps.level_idc, 8, sps.elements_past_data, kMarkLevelIdc);
    return rw.ue(sps.seq_parameter_set_id, 0, 31, Rule::kSpsId);
}

// The profiles whose sets carry chroma_format_idc .. the scaling matrices
// (the list of clause 7.3.2.1.1); every other profile_idc, known or not,
// goes from seq_parameter_set_id straight to log2_max_frame_num_minus4.
constexpr bool has_chroma_format_fields(int32_t profile_idc) {
    switch (profile_idc) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86:
    case 118: case 128: case 138: case 139: case 134: case 135:
        return true;
    default:
        return false;
    }
}

// chroma_format_idc .. the scaling matrices (has_chroma_format_fields).
template <class RW, class Sps>
Status sps_high_profile_fields(RW& rw, Sps& sps) {
    const Status st = rw.ue(sps.chroma_format_idc, 0, 3, Rule::kChromaFormatIdc);
    if (!ok(st)) return st;
    if (sps.chroma_format_idc == 3) rw.flag(sps.separate_colour_plane_flag);
    rw.ue(sps.bit_depth_luma_minus8);
    rw.ue(sps.bit_depth_chroma_minus8);
    if constexpr (RW::kReading) {
        if (sps.bit_depth_luma_minus8 < 0 || sps.bit_depth_luma_minus8 > 6 || sps.bit_depth_chroma_minus8 < 0 ||
            sps.bit_depth_chroma_minus8 > 6) {
            return refuse(Rule::kBitDepth, sps.bit_depth_luma_minus8, sps.bit_depth_chroma_minus8);
        }
    }
    rw.flag(sps.qpprime_y_zero_transform_bypass_flag, sps.elements_past_data, kMarkQpprimeYZeroTransformBypass);
    if constexpr (RW::kReading) {
        sps.seq_scaling_matrix_present_flag = read_scaling_matrix(rw.r, 8, sps.scaling_lists);
    } else {
        write_scaling_matrix(rw.s, sps.seq_scaling_matrix_present_flag, 8, sps.scaling_lists);
    }
    return Status::kOk;
}

// pic_order_cnt_type and the fields it selects. The offsets are only kept:
// they are read over their whole 32-bit range.
template <class RW, class Sps>
Status sps_pic_order_cnt(RW& rw, Sps& sps) {
    Status st = rw.ue(sps.pic_order_cnt_type, 0, 2, Rule::kPicOrderCntType);
    if (!ok(st)) return st;
    if (sps.pic_order_cnt_type == 0) {
        // log2_max_pic_order_cnt_lsb_minus4: the message names the sum.
        return rw.ue(sps.log2_max_pic_order_cnt_lsb_minus4, 0, 12, Rule::kLog2MaxPocLsb, 4);
    }
    if (sps.pic_order_cnt_type == 1) {
        rw.flag(sps.delta_pic_order_always_zero_flag);
        rw.se32(sps.offset_for_non_ref_pic);
        rw.se32(sps.offset_for_top_to_bottom_field);
        st = rw.ue(sps.num_ref_frames_in_pic_order_cnt_cycle, 0, 255, Rule::kPocCycleLength);
        if (!ok(st)) return st;
        for (int32_t i = 0; i < sps.num_ref_frames_in_pic_order_cnt_cycle; ++i) rw.se32(sps.offset_for_ref_frame[i]);
    }
    return Status::kOk;
}

// frame_cropping_flag and the offsets; the bounds are tested for 4:2:0.
template <class RW, class Sps>
Status sps_frame_cropping(RW& rw, Sps& sps) {
    rw.flag(sps.frame_cropping_flag);
    if (!sps.frame_cropping_flag) return Status::kOk;
    rw.ue(sps.frame_crop_left_offset);
    rw.ue(sps.frame_crop_right_offset);
    rw.ue(sps.frame_crop_top_offset);
    rw.ue(sps.frame_crop_bottom_offset);
    if constexpr (RW::kReading) return check_frame_cropping(sps);
    return Status::kOk;
}

// Everything after seq_parameter_set_id up to vui_parameters_present_flag.
template <class RW, class Sps>
Status sps_body(RW& rw, Sps& sps) {
    if (has_chroma_format_fields(sps.profile_idc)) {
        const Status st = sps_high_profile_fields(rw, sps);
        if (!ok(st)) return st;
    } else if constexpr (RW::kReading) {
        sps.chroma_format_idc = 1;  // 4:2:0 when absent
    }
    // The message names log2_max_frame_num, the sum.
    Status st = rw.ue(sps.log2_max_frame_num_minus4, 0, 12, Rule::kLog2MaxFrameNum, 4);
    if (ok(st)) st = sps_pic_order_cnt(rw, sps);
    if (ok(st)) st = rw.ue(sps.max_num_ref_frames, 0, 16, Rule::kMaxNumRefFrames);
    if (!ok(st)) return st;
    rw.flag(sps.gaps_in_frame_num_value_allowed_flag);
    // The sizes are kept in 16 bits: larger ones are refused here.
    st = rw.ue(sps.pic_width_in_mbs_minus1, 0, INT16_MAX - 1, Rule::kPicWidth);
    if (ok(st)) st = rw.ue(sps.pic_height_in_map_units_minus1, 0, INT16_MAX - 1, Rule::kPicHeight);
    if (!ok(st)) return st;
    rw.flag(sps.frame_mbs_only_flag, sps.elements_past_data, kMarkFrameMbsOnly);
    if (sps.frame_mbs_only_flag == 0) rw.flag(sps.mb_adaptive_frame_field_flag);
    rw.flag(sps.direct_8x8_inference_flag);
    if (RW::kReading && sps.frame_mbs_only_flag == 0 && sps.direct_8x8_inference_flag == 0) {
        return refuse(Rule::kDirect8x8Inference);
    }
    return sps_frame_cropping(rw, sps);
}

// vui_parameters_present_flag and the VUI; the reader notes where the flag
// lies (the aspect-ratio correction splices the set there).
template <class RW, class Sps>
void sps_vui(RW& rw, Sps& sps, uint32_t* frame_rate) {
    if constexpr (RW::kReading) sps.vui_flag_bit_pos = rw.position();
    rw.flag(sps.vui_parameters_present_flag, sps.elements_past_data, kMarkVuiParametersPresent);
    if (!sps.vui_parameters_present_flag) return;
    if constexpr (!RW::kReading) diag("test: writing Sequence Parameter VUI to signal RGB format\n");
    vui_parameters(rw, sps, frame_rate);
    // Whatever follows the VUI (none in a conforming set) is not read.
}

}  // namespace kavrel
