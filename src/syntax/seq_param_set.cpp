// seq_parameter_set_data() (ITU-T H.264 clause 7.3.2.1.1) with the range
// rules of clause 7.4.2.1.1 and the library's own profile limits.
#include <cstring>

#include "common/diagnostics.h"
#include "syntax/syntax_state.h"
#include "syntax/seq_param_set.h"

namespace kavrel {

namespace {

// Profiles whose sets must have constraint_set0..2_flag equal to 0.
bool forbids_constraint_set0_to_2(int32_t profile_idc) {
    return profile_idc == 44 || profile_idc == 100 || profile_idc == 110 || profile_idc == 122 ||
           profile_idc == 244;
}

bool is_known_profile(int32_t profile_idc) {
    switch (profile_idc) {
    case 66:
    case 77:
    case 88:
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
        return true;
    default:
        return false;
    }
}

// pic_order_cnt_type and the fields it selects. 0 or -20.
int32_t decode_pic_order_cnt(BitReader& r, SeqParamSet* sps) {
    sps->pic_order_cnt_type = read_ue(r);
    if (sps->pic_order_cnt_type < 0 || sps->pic_order_cnt_type > 2) {
        diag("[VsKavrel]:poc value out of range[0,2],current poc value is %d\n", sps->pic_order_cnt_type);
        return -20;
    }
    if (sps->pic_order_cnt_type == 0) {
        sps->log2_max_poc_lsb = read_ue(r) + 4;
        if (sps->log2_max_poc_lsb < 4 || sps->log2_max_poc_lsb > 16) {
            diag("[VsKavrel]:the log2_max_poc_lsb is out of range [4, 16], which is %d\n", sps->log2_max_poc_lsb);
            return -20;
        }
    } else if (sps->pic_order_cnt_type == 1) {
        // The offsets are only stored: they keep their full 32-bit values.
        sps->delta_pic_order_always_zero_flag = read_bit(r);
        sps->offset_for_non_ref_pic = static_cast<int32_t>(read_se_long(r));
        sps->offset_for_top_to_bottom_field = static_cast<int32_t>(read_se_long(r));
        sps->poc_cycle_length = read_ue(r);
        if (sps->poc_cycle_length < 0 || sps->poc_cycle_length > 255) {
            diag("[VsKavrel]:poc_cycle_length is out of range [0, 255],the value is %d\n", sps->poc_cycle_length);
            return -20;
        }
        for (int32_t i = 0; i < sps->poc_cycle_length; ++i) {
            sps->offset_for_ref_frame[i] = static_cast<int32_t>(read_se_long(r));
        }
    }
    return 0;
}

// frame_cropping_flag and the offsets; the bounds are tested for 4:2:0. 0 or -20.
int32_t decode_frame_cropping(BitReader& r, SeqParamSet* sps) {
    sps->frame_cropping_flag = read_bit(r);
    if (!sps->frame_cropping_flag) return 0;
    sps->crop_left = read_ue(r);
    sps->crop_right = read_ue(r);
    sps->crop_top = read_ue(r);
    sps->crop_bottom = read_ue(r);
    if (sps->chroma_format_idc != 1) return 0;
    // In crop units (2 columns; 2 rows per frame or 4 per field pair) the
    // window must leave at least one unit of the coded picture (7.4.2.1.1):
    // 8 * PicWidthInMbs columns and 8 * FrameHeightInMbs / (2 - frame_mbs_only_flag)
    // = 8 * mb_height rows. An offset the reader could not give (-1, a code
    // of 16 or more leading zeros) is out of range too: it would widen the
    // window past the coded picture.
    const int32_t width_units = 8 * sps->mb_width;
    const int32_t height_units = 8 * sps->mb_height;
    if (sps->crop_left < 0 || sps->crop_right < 0 || sps->crop_left > width_units - sps->crop_right - 1) {
        diag("[VsKavrel]:crop_left shall be in range of[0, max_frame_widht]\n");
        return -20;
    }
    if (sps->crop_top < 0 || sps->crop_bottom < 0 || sps->crop_top > height_units - sps->crop_bottom - 1) {
        diag("[VsKavrel]:crop_top shall be in range of[0, max_frame_high]\n");
        return -20;
    }
    return 0;
}

// The coded and displayed size reported by Kavrel_Start, in 16-bit
// arithmetic. The crop offsets count in CropUnitX / CropUnitY (7.4.2.1.1):
// SubWidthC and SubHeightC x (2 - frame_mbs_only_flag), or 1 and
// (2 - frame_mbs_only_flag) for monochrome and separate colour planes.
void derive_picture_size(SyntaxState* handle, const SeqParamSet* sps) {
    const bool frames_only = sps->frame_mbs_only_flag != 0;
    const bool no_chroma_array = sps->chroma_format_idc == 0 || sps->separate_colour_plane_flag == 1;
    const int32_t sub_width_c = no_chroma_array || sps->chroma_format_idc == 3 ? 1 : 2;
    const int32_t sub_height_c = no_chroma_array || sps->chroma_format_idc != 1 ? 1 : 2;
    const int32_t crop_unit_x = sub_width_c;
    const int32_t crop_unit_y = sub_height_c * (frames_only ? 1 : 2);
    handle->pic_width_mbs = static_cast<int16_t>(PicWidthInMbs(*sps));
    handle->pic_height_mbs = static_cast<int16_t>(FrameHeightInMbs(*sps));
    handle->display_width =
        static_cast<int16_t>(16 * PicWidthInMbs(*sps) - crop_unit_x * (sps->crop_right + sps->crop_left));
    handle->display_height =
        static_cast<int16_t>(16 * handle->pic_height_mbs - crop_unit_y * (sps->crop_bottom + sps->crop_top));
}

// chroma_format_idc .. the scaling matrices, present for profile_idc >= 100.
// 0, -20 or -22.
int32_t decode_high_profile_fields(SyntaxState* handle, SeqParamSet* sps) {
    BitReader& r = handle->reader;
    sps->chroma_format_idc = read_ue(r);
    if (sps->chroma_format_idc < 0 || sps->chroma_format_idc > 3) {
        diag("[VsKavrel]:chroma_format_idc is out of range [0, 3], the value is %d\n", sps->chroma_format_idc);
        return -20;
    }
    if (sps->profile_idc == 183 && sps->chroma_format_idc != 0) {
        diag("[VsKavrel]:profile_idc is equal to 183, chroma_format_idc shall be equal to 0\n");
        return -22;
    }
    if (sps->chroma_format_idc == 3) sps->separate_colour_plane_flag = read_bit(r);
    sps->bit_depth_luma_minus8 = read_ue(r);
    sps->bit_depth_chroma_minus8 = read_ue(r);
    if (sps->bit_depth_luma_minus8 < 0 || sps->bit_depth_luma_minus8 > 6 || sps->bit_depth_chroma_minus8 < 0 ||
        sps->bit_depth_chroma_minus8 > 6) {
        diag("[VsKavrel]:the luma or chroma bit_depth_minus8 out of rang is %d,%d\n", sps->bit_depth_luma_minus8,
             sps->bit_depth_chroma_minus8);
        return -20;
    }
    sps->qpprime_y_zero_transform_bypass_flag = read_bit(r);
    decode_scaling_matrices(handle, sps, nullptr, 1, sps->scaling_list_4x4, sps->scaling_list_8x8);
    return 0;
}

// Everything after seq_parameter_set_id up to the VUI. 0, -20 or -22.
int32_t decode_sps_body(SyntaxState* handle, SeqParamSet* sps) {
    BitReader& r = handle->reader;
    if (sps->profile_idc < 100) {
        sps->chroma_format_idc = 1;
    } else {
        const int32_t rc = decode_high_profile_fields(handle, sps);
        if (rc < 0) return rc;
    }

    const int32_t log2_max_frame_num_minus4 = read_ue(r);
    sps->log2_max_frame_num = log2_max_frame_num_minus4 + 4;
    if (log2_max_frame_num_minus4 < 0 || sps->log2_max_frame_num > 16) {
        diag("[VsKavrel]:the log2_max_frame_num is out of range [0,16],which is %d\n", sps->log2_max_frame_num);
        return -20;
    }
    const int32_t rc = decode_pic_order_cnt(r, sps);
    if (rc < 0) return rc;

    sps->max_ref_frame_count = read_ue(r);
    if (sps->max_ref_frame_count < 0 || sps->max_ref_frame_count > 16) {
        diag("[VsKavrel]:max_ref_frame_count is greater than 16, the value is %d\n", sps->max_ref_frame_count);
        return -20;
    }
    sps->gaps_in_frame_num_value_allowed_flag = read_bit(r);

    sps->mb_width = static_cast<int16_t>(read_ue(r) + 1);
    if (sps->mb_width < 1) {
        diag("[VsKavrel]:mb_width is less than 0, \n");
        return -20;
    }
    sps->mb_height = static_cast<int16_t>(read_ue(r) + 1);
    if (sps->mb_height < 1) {
        diag("[VsKavrel]:mb_height is less than 0, \n");
        return -20;
    }
    sps->frame_mbs_only_flag = static_cast<int16_t>(read_bit(r));
    if (sps->frame_mbs_only_flag == 0) sps->mb_adaptive_frame_field_flag = static_cast<int16_t>(read_bit(r));
    sps->direct_8x8_inference_flag = read_bit(r);
    if (sps->frame_mbs_only_flag == 0 && sps->direct_8x8_inference_flag == 0) {
        diag("[VsKavrel]:When frame_mbs_only_flag is equal to 0, direct_8x8_inference_flag shall be equal to 1\n");
        return -20;
    }
    return decode_frame_cropping(r, sps);
}

}  // namespace

int32_t check_sps_profile(const SeqParamSet* sps) {
    if (!is_known_profile(sps->profile_idc)) diag("[VsKavrel]:Unknown profile: %d\n", sps->profile_idc);
    if (sps->profile_idc >= 100 &&
        !(sps->chroma_format_idc < 2 && sps->bit_depth_luma_minus8 == 0 && sps->bit_depth_chroma_minus8 == 0 &&
          sps->qpprime_y_zero_transform_bypass_flag != 1)) {
        diag("[VsKavrel]:Only support 8-bit 4:2:0 format\n");
        return 0;
    }
    if (sps->mb_width < 1 || sps->mb_width > 511 || sps->mb_height < 1 || sps->mb_height > 511) {
        diag("[VsKavrel]:Invalid Dimension(%dx%d)\n", sps->mb_width, sps->mb_height);
        return 0;
    }
    if (sps->profile_idc == 66 && sps->frame_mbs_only_flag == 0) {
        diag("[VsKavrel]:Interlace is not support for BASELINE\n");
        return 0;
    }
    return 1;
}

int32_t decode_seq_parameter_set(SyntaxState* handle) {
    BitReader& r = handle->reader;
    // An aspect ratio already in the active set (a correction request, or an
    // earlier SPS) is carried into this one.
    const int32_t carried_sar_width = handle->active_sps.sar_width;
    const int32_t carried_sar_height = handle->active_sps.sar_height;

    const int32_t profile_idc = read_bits(r, 8);
    const int32_t constraint_set0_flag = read_bit(r);
    const int32_t constraint_set1_flag = read_bit(r);
    const int32_t constraint_set2_flag = read_bit(r);
    const int32_t constraint_set3_flag = read_bit(r);
    const int32_t reserved_zero_4bits = read_bits(r, 4);
    const int32_t level_idc = read_bits(r, 8);
    const int32_t id = read_ue(r);
    if (id < 0 || id >= kMaxSps) {
        diag("[VsKavrel]:Invalid sps id: %d\n", id);
        return -12;
    }
    if (forbids_constraint_set0_to_2(profile_idc) &&
        (constraint_set0_flag || constraint_set1_flag || constraint_set2_flag)) {
        diag("[VsKavrel]:profile_idc is equal to 44, 100, 122, or 244, the values of constraint_set0_flag, "
             "constraint_set1_flag, and constraint_set2_flag must all be equal to 0\n");
        return -22;
    }

    SeqParamSet* sps = &handle->sps_table[id];
    ++handle->param_generation;  // the table changes: slices copy their sets anew
    std::memset(sps, 0, sizeof *sps);
    sps->seq_parameter_set_id = id;
    sps->constraint_set0_flag = constraint_set0_flag;
    sps->constraint_set1_flag = constraint_set1_flag;
    sps->constraint_set2_flag = constraint_set2_flag;
    sps->constraint_set3_flag = constraint_set3_flag;
    sps->reserved_zero_4bits = reserved_zero_4bits;
    sps->profile_idc = profile_idc;
    sps->level_idc = level_idc;
    handle->last_sps_profile_idc = profile_idc;

    const int32_t rc = decode_sps_body(handle, sps);
    if (rc < 0) return rc;
    derive_picture_size(handle, sps);

    sps->vui_flag_bit_pos = r.bit_pos;
    sps->vui_parameters_present_flag = static_cast<uint8_t>(read_bit(r));
    if (sps->vui_parameters_present_flag) decode_vui_parameters(handle, sps);
    // Whatever follows the VUI (none in a conforming set) is not read.

    if (carried_sar_width != 0 && carried_sar_height != 0) {
        sps->sar_width = carried_sar_width;
        sps->sar_height = carried_sar_height;
    }

    sps->valid = check_sps_profile(sps);
    if (!sps->valid) {
        diag("[VsKavrel]:Warnning: sps exists invalid sytnax\n");
        return -22;
    }
    handle->active_sps = *sps;
    return 0;
}

}  // namespace kavrel
