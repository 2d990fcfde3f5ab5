// Every syntax element of seq_parameter_set_data() and vui_parameters()
// (ITU-T H.264 7.3.2.1.1, E.1.1, E.1.2) with the value a SeqParamSet holds
// for it: keyed by name, "name[i]" for list entries, HRD elements prefixed
// "nal:" or "vcl:". The scaling lists themselves are left out.
#pragma once

#include <map>
#include <string>

#include "syntax/seq_param_set.h"

namespace params_test {

inline void add_hrd(std::map<std::string, int64_t>& m, const std::string& p, const kavrel::HrdParameters& h) {
    m.insert({{p + "cpb_cnt_minus1", h.cpb_cnt_minus1}, {p + "bit_rate_scale", h.bit_rate_scale},
              {p + "cpb_size_scale", h.cpb_size_scale},
              {p + "initial_cpb_removal_delay_length_minus1", h.initial_cpb_removal_delay_length_minus1},
              {p + "cpb_removal_delay_length_minus1", h.cpb_removal_delay_length_minus1},
              {p + "dpb_output_delay_length_minus1", h.dpb_output_delay_length_minus1},
              {p + "time_offset_length", h.time_offset_length}});
    for (int i = 0; i < 32; ++i) {
        std::string n = "[";
        n += std::to_string(i) + "]";
        m[p + "bit_rate_value_minus1" + n] = h.bit_rate_value_minus1[i];
        m[p + "cpb_size_value_minus1" + n] = h.cpb_size_value_minus1[i];
        m[p + "cbr_flag" + n] = h.cbr_flag[i];
    }
}

inline std::map<std::string, int64_t> sps_elements(const kavrel::SeqParamSet& s) {
    std::map<std::string, int64_t> m = {
        {"profile_idc", s.profile_idc}, {"constraint_set0_flag", s.constraint_set0_flag},
        {"constraint_set1_flag", s.constraint_set1_flag}, {"constraint_set2_flag", s.constraint_set2_flag},
        {"constraint_set3_flag", s.constraint_set3_flag}, {"constraint_set4_flag", s.reserved_zero_4bits >> 3},
        {"constraint_set5_flag", (s.reserved_zero_4bits >> 2) & 1}, {"reserved_zero_2bits", s.reserved_zero_4bits & 3},
        {"level_idc", s.level_idc}, {"seq_parameter_set_id", s.seq_parameter_set_id},
        {"chroma_format_idc", s.chroma_format_idc}, {"separate_colour_plane_flag", s.separate_colour_plane_flag},
        {"bit_depth_luma_minus8", s.bit_depth_luma_minus8}, {"bit_depth_chroma_minus8", s.bit_depth_chroma_minus8},
        {"qpprime_y_zero_transform_bypass_flag", s.qpprime_y_zero_transform_bypass_flag},
        {"seq_scaling_matrix_present_flag", s.seq_scaling_matrix_present_flag},
        {"log2_max_frame_num_minus4", s.log2_max_frame_num - 4}, {"pic_order_cnt_type", s.pic_order_cnt_type},
        {"log2_max_pic_order_cnt_lsb_minus4", s.log2_max_poc_lsb - 4},
        {"delta_pic_order_always_zero_flag", s.delta_pic_order_always_zero_flag},
        {"offset_for_non_ref_pic", s.offset_for_non_ref_pic},
        {"offset_for_top_to_bottom_field", s.offset_for_top_to_bottom_field},
        {"num_ref_frames_in_pic_order_cnt_cycle", s.poc_cycle_length}, {"max_num_ref_frames", s.max_ref_frame_count},
        {"gaps_in_frame_num_allowed_flag", s.gaps_in_frame_num_value_allowed_flag},
        {"pic_width_in_mbs_minus1", s.mb_width - 1}, {"pic_height_in_map_units_minus1", s.mb_height - 1},
        {"frame_mbs_only_flag", s.frame_mbs_only_flag}, {"mb_adaptive_frame_field_flag", s.mb_adaptive_frame_field_flag},
        {"direct_8x8_inference_flag", s.direct_8x8_inference_flag}, {"frame_cropping_flag", s.frame_cropping_flag},
        {"frame_crop_left_offset", s.crop_left}, {"frame_crop_right_offset", s.crop_right},
        {"frame_crop_top_offset", s.crop_top}, {"frame_crop_bottom_offset", s.crop_bottom},
        {"vui_parameters_present_flag", s.vui_parameters_present_flag},
        {"aspect_ratio_info_present_flag", s.aspect_ratio_info_present_flag}, {"aspect_ratio_idc", s.aspect_ratio_idc},
        {"sar_width", s.vui_sar_width}, {"sar_height", s.vui_sar_height},
        {"overscan_info_present_flag", s.overscan_info_present_flag},
        {"overscan_appropriate_flag", s.overscan_appropriate_flag},
        {"video_signal_type_present_flag", s.video_signal_type_present_flag}, {"video_format", s.video_format},
        {"video_full_range_flag", s.video_full_range_flag},
        {"colour_description_present_flag", s.colour_description_present_flag},
        {"colour_primaries", s.colour_primaries}, {"transfer_characteristics", s.transfer_characteristics},
        {"matrix_coefficients", s.matrix_coefficients}, {"chroma_loc_info_present_flag", s.chroma_loc_info_present_flag},
        {"chroma_sample_loc_type_top_field", s.chroma_sample_loc_type_top_field},
        {"chroma_sample_loc_type_bottom_field", s.chroma_sample_loc_type_bottom_field},
        {"timing_info_present_flag", s.timing_info_present_flag}, {"num_units_in_tick", s.num_units_in_tick},
        {"time_scale", s.time_scale}, {"fixed_frame_rate_flag", s.fixed_frame_rate_flag},
        {"nal_hrd_parameters_present_flag", s.nal_hrd_parameters_present_flag},
        {"vcl_hrd_parameters_present_flag", s.vcl_hrd_parameters_present_flag},
        {"low_delay_hrd_flag", s.low_delay_hrd_flag}, {"pic_struct_present_flag", s.pic_struct_present_flag},
        {"bitstream_restriction_flag", s.bitstream_restriction_flag},
        {"motion_vectors_over_pic_boundaries_flag", s.motion_vectors_over_pic_boundaries_flag},
        {"max_bytes_per_pic_denom", s.max_bytes_per_pic_denom}, {"max_bits_per_mb_denom", s.max_bits_per_mb_denom},
        {"log2_max_mv_length_horizontal", s.log2_max_mv_length_horizontal},
        {"log2_max_mv_length_vertical", s.log2_max_mv_length_vertical},
        {"max_num_reorder_frames", s.num_reorder_frames}, {"max_dec_frame_buffering", s.max_dec_frame_buffering},
    };
    for (int i = 0; i < 8; ++i) m["seq_scaling_list_present_flag[" + std::to_string(i) + "]"] = s.scaling_list_present_flag[i];
    for (int i = 0; i < 255; ++i) m["offset_for_ref_frame[" + std::to_string(i) + "]"] = s.offset_for_ref_frame[i];
    add_hrd(m, "nal:", s.nal_hrd);
    add_hrd(m, "vcl:", s.vcl_hrd);
    return m;
}

}  // namespace params_test
