// seq_parameter_set_data() (clause 7.3.2.1.1), scaling_list() (7.3.2.1.1.1),
// vui_parameters() (E.1.1) and hrd_parameters() (E.1.2), written field by
// field from a SeqParamSet as the parser filled it.
#include "synth/sps_writer.h"

#include "common/diagnostics.h"

namespace kavrel {

static int32_t flag(int32_t value) { return value != 0 ? 1 : 0; }

// scaling_list() of one stored list (raster order). The parser keeps lists
// expanded, so every entry is written explicitly; a stored 0 (never produced
// by the parser) ends the list as the standard's repeat rule would.
static void write_scaling_list(const uint8_t* list, int size, SliceOutput* out) {
    const uint8_t* scan = size == 16 ? kZigzag4x4 : kZigzag8x8;
    int32_t last = 8;
    int32_t next = 8;
    for (int j = 0; j < size && next != 0; ++j) {
        const int32_t value = list[scan[j]];
        int32_t delta = value - last;
        if (delta > 127) delta -= 256;
        else if (delta < -128) delta += 256;
        write_se(delta, out);
        next = value;
        if (next != 0) last = next;
    }
}

// ue(v) of an unsigned value up to 2^32 - 2 (the HRD's bit rate and CPB
// size fields); write_ue takes values up to 2^31 - 1.
static void write_ue32(uint32_t value, SliceOutput* out) {
    if (value <= 0x7FFFFFFFu) {
        write_ue(static_cast<int32_t>(value), out);
        return;
    }
    // codeNum + 1 has 32 bits: 31 zeros, then all 32 bits of codeNum + 1.
    put_bits(out->stream, 0, 31);
    put_bits(out->stream, value + 1u, 32);
}

int32_t write_hrd_parameters(const HrdParameters* hrd, SliceOutput* out) {
    const int32_t start = out->stream->byte_count * 8 + 8 - out->stream->bits_left;
    // Only 32 CPB entries are kept, as many as the standard allows.
    int32_t cpb_cnt_minus1 = hrd->cpb_cnt_minus1;
    if (cpb_cnt_minus1 < 0) cpb_cnt_minus1 = 0;
    if (cpb_cnt_minus1 > 31) cpb_cnt_minus1 = 31;
    write_ue(cpb_cnt_minus1, out);
    write_u(static_cast<uint32_t>(hrd->bit_rate_scale), 4, out);
    write_u(static_cast<uint32_t>(hrd->cpb_size_scale), 4, out);
    for (int32_t i = 0; i <= cpb_cnt_minus1; ++i) {
        write_ue32(hrd->bit_rate_value_minus1[i], out);
        write_ue32(hrd->cpb_size_value_minus1[i], out);
        write_u(flag(hrd->cbr_flag[i]), 1, out);
    }
    write_u(static_cast<uint32_t>(hrd->initial_cpb_removal_delay_length_minus1), 5, out);
    write_u(static_cast<uint32_t>(hrd->cpb_removal_delay_length_minus1), 5, out);
    write_u(static_cast<uint32_t>(hrd->dpb_output_delay_length_minus1), 5, out);
    write_u(static_cast<uint32_t>(hrd->time_offset_length), 5, out);
    return out->stream->byte_count * 8 + 8 - out->stream->bits_left - start;
}

int32_t write_timing_vui(const SeqParamSet* sps, SliceOutput* out) {
    diag("test: writing Sequence Parameter VUI to signal RGB format\n");
    const int32_t start = out->stream->byte_count * 8 + 8 - out->stream->bits_left;

    write_u(flag(sps->aspect_ratio_info_present_flag), 1, out);
    if (sps->aspect_ratio_info_present_flag != 0) {
        write_u(static_cast<uint32_t>(sps->aspect_ratio_idc), 8, out);
        if ((sps->aspect_ratio_idc & 0xFF) == 255) {  // Extended_SAR
            // The pair the VUI carried, not one the parser carried over
            // from an earlier set.
            write_u(static_cast<uint32_t>(sps->vui_sar_width), 16, out);
            write_u(static_cast<uint32_t>(sps->vui_sar_height), 16, out);
        }
    }
    write_u(flag(sps->overscan_info_present_flag), 1, out);
    if (sps->overscan_info_present_flag != 0) write_u(flag(sps->overscan_appropriate_flag), 1, out);

    write_u(flag(sps->video_signal_type_present_flag), 1, out);
    if (sps->video_signal_type_present_flag != 0) {
        write_u(static_cast<uint32_t>(sps->video_format), 3, out);
        write_u(flag(sps->video_full_range_flag), 1, out);
        write_u(flag(sps->colour_description_present_flag), 1, out);
        if (sps->colour_description_present_flag != 0) {
            write_u(static_cast<uint32_t>(sps->colour_primaries), 8, out);
            write_u(static_cast<uint32_t>(sps->transfer_characteristics), 8, out);
            write_u(static_cast<uint32_t>(sps->matrix_coefficients), 8, out);
        }
    }
    write_u(flag(sps->chroma_loc_info_present_flag), 1, out);
    if (sps->chroma_loc_info_present_flag != 0) {
        write_ue(sps->chroma_sample_loc_type_top_field, out);
        write_ue(sps->chroma_sample_loc_type_bottom_field, out);
    }

    write_u(flag(sps->timing_info_present_flag), 1, out);
    if (sps->timing_info_present_flag != 0) {
        write_u(sps->num_units_in_tick, 32, out);
        write_u(sps->time_scale, 32, out);
        write_u(flag(sps->fixed_frame_rate_flag), 1, out);
    }

    write_u(flag(sps->nal_hrd_parameters_present_flag), 1, out);
    if (sps->nal_hrd_parameters_present_flag != 0) write_hrd_parameters(&sps->nal_hrd, out);
    write_u(flag(sps->vcl_hrd_parameters_present_flag), 1, out);
    if (sps->vcl_hrd_parameters_present_flag != 0) write_hrd_parameters(&sps->vcl_hrd, out);
    if (sps->nal_hrd_parameters_present_flag != 0 || sps->vcl_hrd_parameters_present_flag != 0)
        write_u(flag(sps->low_delay_hrd_flag), 1, out);
    write_u(flag(sps->pic_struct_present_flag), 1, out);

    write_u(flag(sps->bitstream_restriction_flag), 1, out);
    if (sps->bitstream_restriction_flag != 0) {
        write_u(flag(sps->motion_vectors_over_pic_boundaries_flag), 1, out);
        write_ue(sps->max_bytes_per_pic_denom, out);
        write_ue(sps->max_bits_per_mb_denom, out);
        write_ue(sps->log2_max_mv_length_horizontal, out);
        write_ue(sps->log2_max_mv_length_vertical, out);
        write_ue(sps->num_reorder_frames, out);  // max_num_reorder_frames
        write_ue(sps->max_dec_frame_buffering, out);
    }
    return out->stream->byte_count * 8 + 8 - out->stream->bits_left - start;
}

int32_t write_sps_rbsp(const SeqParamSet* sps, uint8_t* buffer, int32_t capacity) {
    Bitstream stream;
    init_bitstream(&stream, buffer, capacity);
    SliceOutput output;
    output.stream = &stream;
    SliceOutput* out = &output;

    write_u(static_cast<uint32_t>(sps->profile_idc), 8, out);
    write_u(flag(sps->constraint_set0_flag), 1, out);
    write_u(flag(sps->constraint_set1_flag), 1, out);
    write_u(flag(sps->constraint_set2_flag), 1, out);
    write_u(flag(sps->constraint_set3_flag), 1, out);
    write_u(static_cast<uint32_t>(sps->reserved_zero_4bits), 4, out);
    write_u(static_cast<uint32_t>(sps->level_idc), 8, out);
    write_ue(sps->seq_parameter_set_id, out);

    // The parser reads the chroma and bit-depth fields for every
    // profile_idc of 100 and above; write them back under the same rule.
    if (sps->profile_idc >= 100) {
        write_ue(sps->chroma_format_idc, out);
        if (sps->chroma_format_idc == 3) write_u(flag(sps->separate_colour_plane_flag), 1, out);
        write_ue(sps->bit_depth_luma_minus8, out);
        write_ue(sps->bit_depth_chroma_minus8, out);
        write_u(flag(sps->qpprime_y_zero_transform_bypass_flag), 1, out);
        write_u(flag(sps->seq_scaling_matrix_present_flag), 1, out);
        if (sps->seq_scaling_matrix_present_flag != 0) {
            for (int i = 0; i < 8; ++i) {
                write_u(flag(sps->scaling_list_present_flag[i]), 1, out);
                if (sps->scaling_list_present_flag[i] == 0) continue;
                if (i < 6) write_scaling_list(sps->scaling_list_4x4[i], 16, out);
                else write_scaling_list(sps->scaling_list_8x8[i - 6], 64, out);
            }
        }
    }

    write_ue(sps->log2_max_frame_num - 4, out);
    write_ue(sps->pic_order_cnt_type, out);
    if (sps->pic_order_cnt_type == 0) {
        write_ue(sps->log2_max_poc_lsb - 4, out);
    } else if (sps->pic_order_cnt_type == 1) {
        write_u(flag(sps->delta_pic_order_always_zero_flag), 1, out);
        write_se(sps->offset_for_non_ref_pic, out);
        write_se(sps->offset_for_top_to_bottom_field, out);
        int32_t cycle = sps->poc_cycle_length;
        if (cycle < 0) cycle = 0;
        if (cycle > 255) cycle = 255;
        write_ue(cycle, out);
        for (int32_t i = 0; i < cycle; ++i) write_se(sps->offset_for_ref_frame[i], out);
    }
    write_ue(sps->max_ref_frame_count, out);
    write_u(flag(sps->gaps_in_frame_num_value_allowed_flag), 1, out);
    write_ue(sps->mb_width - 1, out);
    write_ue(sps->mb_height - 1, out);
    write_u(flag(sps->frame_mbs_only_flag), 1, out);
    if (sps->frame_mbs_only_flag == 0) write_u(flag(sps->mb_adaptive_frame_field_flag), 1, out);
    write_u(flag(sps->direct_8x8_inference_flag), 1, out);
    write_u(flag(sps->frame_cropping_flag), 1, out);
    if (sps->frame_cropping_flag != 0) {
        write_ue(sps->crop_left, out);
        write_ue(sps->crop_right, out);
        write_ue(sps->crop_top, out);
        write_ue(sps->crop_bottom, out);
    }
    write_u(flag(sps->vui_parameters_present_flag), 1, out);
    // The VUI is written whatever chroma_format_idc is (monochrome included).
    if (sps->vui_parameters_present_flag != 0) write_timing_vui(sps, out);
    write_trailing_bits(&stream);
    return stream.overflow ? -1 : stream.byte_count;
}

}  // namespace kavrel
