// vui_parameters() and hrd_parameters() of the SPS (ITU-T H.264 Annex E.1.1,
// E.1.2). Every field is kept in the SeqParamSet so that the set can be
// written back as it was read; only the aspect ratio, the timing and
// num_reorder_frames are looked at, and nothing here fails the SPS.
#include <cstdint>

#include "common/diagnostics.h"
#include "syntax/syntax_state.h"
#include "syntax/seq_param_set.h"

namespace kavrel {

namespace {

// A ue(v) that the parser steps over but keeps: the reader moves exactly as
// skip_ue moves it, the value is decoded in full (-1 past the data).
int64_t step_ue(BitReader& r) {
    BitReader probe = r;
    const int64_t value = read_ue_long(probe);
    skip_ue(r);
    return value;
}

int32_t to_i32(int64_t v) { return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v); }

// A 32-bit field as two u(16) halves, upper half first; a half past the
// data reads as all ones.
uint32_t read_u32(BitReader& r) {
    const uint32_t hi = static_cast<uint32_t>(read_bits(r, 16)) & 0xffffu;
    const uint32_t lo = static_cast<uint32_t>(read_bits(r, 16)) & 0xffffu;
    return (hi << 16) | lo;
}

}  // namespace

void decode_hrd_parameters(SyntaxState* handle, HrdParameters* hrd) {
    HrdParameters unused;
    if (!hrd) hrd = &unused;
    BitReader& r = handle->reader;

    hrd->cpb_cnt_minus1 = read_ue(r);
    const int32_t cpb_cnt = hrd->cpb_cnt_minus1 + 1;
    if (cpb_cnt < 1 || cpb_cnt > 32) diag("[VsKavrel]:cpb_cnt is out of range[1, 32], the value is %d\n", cpb_cnt);
    hrd->bit_rate_scale = read_bits(r, 4);
    hrd->cpb_size_scale = read_bits(r, 4);
    // Every entry is stepped over; the first 32 are kept.
    for (int32_t i = 0; i < cpb_cnt; ++i) {
        const int64_t bit_rate = step_ue(r);
        const int64_t cpb_size = step_ue(r);
        const int32_t cbr = read_bit(r);
        if (i < 32) {
            hrd->bit_rate_value_minus1[i] = static_cast<uint32_t>(bit_rate);
            hrd->cpb_size_value_minus1[i] = static_cast<uint32_t>(cpb_size);
            hrd->cbr_flag[i] = static_cast<uint8_t>(cbr);
        }
    }
    hrd->initial_cpb_removal_delay_length_minus1 = read_bits(r, 5);
    hrd->cpb_removal_delay_length_minus1 = read_bits(r, 5);
    hrd->dpb_output_delay_length_minus1 = read_bits(r, 5);
    hrd->time_offset_length = read_bits(r, 5);
}

int32_t decode_vui_parameters(SyntaxState* handle, SeqParamSet* sps) {
    BitReader& r = handle->reader;

    sps->aspect_ratio_info_present_flag = read_bit(r);
    if (sps->aspect_ratio_info_present_flag) {
        sps->aspect_ratio_idc = read_bits(r, 8);
        if (sps->aspect_ratio_idc == 255) {  // Extended_SAR
            sps->sar_width = read_bits(r, 16);
            sps->sar_height = read_bits(r, 16);
            sps->vui_sar_width = sps->sar_width;
            sps->vui_sar_height = sps->sar_height;
        }
    }
    sps->aspect_info_end_bit_pos = r.bit_pos;

    sps->overscan_info_present_flag = read_bit(r);
    if (sps->overscan_info_present_flag) sps->overscan_appropriate_flag = read_bit(r);

    sps->video_signal_type_present_flag = read_bit(r);
    if (sps->video_signal_type_present_flag) {
        sps->video_format = read_bits(r, 3);
        sps->video_full_range_flag = read_bit(r);
        sps->colour_description_present_flag = read_bit(r);
        if (sps->colour_description_present_flag) {
            sps->colour_primaries = read_bits(r, 8);
            sps->transfer_characteristics = read_bits(r, 8);
            sps->matrix_coefficients = read_bits(r, 8);
        }
    }

    sps->chroma_loc_info_present_flag = read_bit(r);
    if (sps->chroma_loc_info_present_flag) {
        sps->chroma_sample_loc_type_top_field = to_i32(step_ue(r));
        sps->chroma_sample_loc_type_bottom_field = to_i32(step_ue(r));
    }

    sps->timing_info_present_flag = static_cast<uint8_t>(read_bit(r));
    if (sps->timing_info_present_flag) {
        sps->num_units_in_tick = read_u32(r);
        if (sps->num_units_in_tick == 0) diag("[VsKavrel]:sps->num_units_in_tick: %d\n", 0);
        sps->time_scale = read_u32(r);
        sps->fixed_frame_rate_flag = static_cast<uint8_t>(read_bit(r));
        if (sps->num_units_in_tick != 0 && sps->time_scale != 0) {
            handle->frame_rate = (sps->time_scale >> 1) / sps->num_units_in_tick;
        } else {
            diag("[VsKavrel]:num_units_in_tick and time_scale which are in sps is equal 0!!\n");
        }
    }

    sps->nal_hrd_parameters_present_flag = read_bit(r);
    if (sps->nal_hrd_parameters_present_flag) decode_hrd_parameters(handle, &sps->nal_hrd);
    sps->vcl_hrd_parameters_present_flag = read_bit(r);
    if (sps->vcl_hrd_parameters_present_flag) decode_hrd_parameters(handle, &sps->vcl_hrd);
    if (sps->nal_hrd_parameters_present_flag || sps->vcl_hrd_parameters_present_flag) {
        sps->low_delay_hrd_flag = read_bit(r);
    }
    sps->pic_struct_present_flag = read_bit(r);

    sps->bitstream_restriction_flag = static_cast<uint16_t>(read_bit(r));
    if (sps->bitstream_restriction_flag == 0) return 0;
    sps->motion_vectors_over_pic_boundaries_flag = read_bit(r);
    sps->max_bytes_per_pic_denom = to_i32(step_ue(r));
    sps->max_bits_per_mb_denom = to_i32(step_ue(r));
    sps->log2_max_mv_length_horizontal = to_i32(step_ue(r));
    sps->log2_max_mv_length_vertical = to_i32(step_ue(r));
    sps->num_reorder_frames = static_cast<uint16_t>(read_ue(r));
    if (static_cast<int16_t>(sps->num_reorder_frames) < 0) {
        diag("[VsKavrel]:time_scale which is in vui is less than 0\n");
    }
    sps->max_dec_frame_buffering = to_i32(step_ue(r));
    return 0;
}

}  // namespace kavrel
