// vui_parameters() and hrd_parameters() (ITU-T H.264 Annex E.1.1, E.1.2),
// one description for reading and writing (syntax_io.h). Every element is
// kept in the SeqParamSet so that the set is written back as it was read;
// only the aspect ratio, the timing and max_num_reorder_frames are looked
// at, and nothing here fails the SPS.
#pragma once

#include "syntax/seq_param_set.h"
#include "syntax/syntax_io.h"

namespace kavrel {

// `marks` and `cpb_cnt_mark`: where the record notes a cpb_cnt_minus1 the
// data ended before.
template <class RW, class Hrd, class Marks>
void hrd_parameters(RW& rw, Hrd& hrd, Marks& marks, uint32_t cpb_cnt_mark) {
    // Only 32 CPB entries are kept, as many as the standard allows; the
    // reader steps over the others. Where the data ended before the count,
    // the reader takes no entry (and warns of 0 of them), the writer
    // writes the one of cpb_cnt_minus1 0.
    const int32_t coded = rw.ue_count(hrd.cpb_cnt_minus1, 31, marks, cpb_cnt_mark) + 1;
    const int32_t cpb_cnt = RW::kReading && (marks & cpb_cnt_mark) != 0 ? 0 : coded;
    if constexpr (RW::kReading) {
        if (cpb_cnt < 1 || cpb_cnt > 32) warn(Rule::kCpbCount, cpb_cnt);
    }
    rw.u(hrd.bit_rate_scale, 4, hrd.elements_past_data, kMarkBitRateScale);
    rw.u(hrd.cpb_size_scale, 4, hrd.elements_past_data, kMarkCpbSizeScale);
    for (int32_t i = 0; i < cpb_cnt; ++i) {
        if (i < 32) {
            rw.ue32(hrd.bit_rate_value_minus1[i]);
            rw.ue32(hrd.cpb_size_value_minus1[i]);
            rw.flag(hrd.cbr_flag[i]);
        } else if constexpr (RW::kReading) {  // stepped over, not kept
            uint32_t unused;
            int32_t unused_flag;
            rw.ue32(unused);
            rw.ue32(unused);
            rw.flag(unused_flag);
        }
    }
    rw.u(hrd.initial_cpb_removal_delay_length_minus1, 5, hrd.elements_past_data, kMarkInitialCpbRemovalDelayLength);
    rw.u(hrd.cpb_removal_delay_length_minus1, 5, hrd.elements_past_data, kMarkCpbRemovalDelayLength);
    rw.u(hrd.dpb_output_delay_length_minus1, 5, hrd.elements_past_data, kMarkDpbOutputDelayLength);
    rw.u(hrd.time_offset_length, 5, hrd.elements_past_data, kMarkTimeOffsetLength);
}

// aspect_ratio_info_present_flag .. sar_height.
template <class RW, class Sps>
void aspect_ratio_info(RW& rw, Sps& sps) {
    rw.flag(sps.aspect_ratio_info_present_flag);
    if (!sps.aspect_ratio_info_present_flag) return;
    if constexpr (RW::kReading) {
        // An idc the data ended before is kept as 255, the byte the set is
        // written back with; no sar_width or sar_height is read after it,
        // and the set is written back with the zeros the record holds.
        if (past_data(rw.r)) {
            rw.r.bit_pos += 8;
            sps.aspect_ratio_idc = 255;
            return;
        }
    }
    rw.u(sps.aspect_ratio_idc, 8);
    if (sps.aspect_ratio_idc != 255) return;  // Extended_SAR
    rw.u(sps.sar_width, 16, sps.elements_past_data, kMarkSarWidth);
    rw.u(sps.sar_height, 16, sps.elements_past_data, kMarkSarHeight);
}

// overscan_info_present_flag .. chroma_sample_loc_type_bottom_field.
template <class RW, class Sps>
void video_signal_info(RW& rw, Sps& sps) {
    rw.flag(sps.overscan_info_present_flag);
    if (sps.overscan_info_present_flag) rw.flag(sps.overscan_appropriate_flag);
    rw.flag(sps.video_signal_type_present_flag);
    if (sps.video_signal_type_present_flag) {
        rw.u(sps.video_format, 3, sps.elements_past_data, kMarkVideoFormat);
        rw.flag(sps.video_full_range_flag);
        rw.flag(sps.colour_description_present_flag);
        if (sps.colour_description_present_flag) {
            rw.u(sps.colour_primaries, 8, sps.elements_past_data, kMarkColourPrimaries);
            rw.u(sps.transfer_characteristics, 8, sps.elements_past_data, kMarkTransferCharacteristics);
            rw.u(sps.matrix_coefficients, 8, sps.elements_past_data, kMarkMatrixCoefficients);
        }
    }
    rw.flag(sps.chroma_loc_info_present_flag);
    if (sps.chroma_loc_info_present_flag) {
        rw.ue_kept(sps.chroma_sample_loc_type_top_field, sps.elements_past_data, kMarkChromaSampleLocTypeTopField);
        rw.ue_kept(sps.chroma_sample_loc_type_bottom_field, sps.elements_past_data,
                   kMarkChromaSampleLocTypeBottomField);
    }
}

// timing_info_present_flag .. fixed_frame_rate_flag; the reader derives
// the whole frame rate (time_scale / 2 / num_units_in_tick) into `frame_rate`.
template <class RW, class Sps>
void timing_info(RW& rw, Sps& sps, uint32_t* frame_rate) {
    rw.flag(sps.timing_info_present_flag, sps.elements_past_data, kMarkTimingInfoPresent);
    if (!sps.timing_info_present_flag) return;
    rw.u32(sps.num_units_in_tick);
    if constexpr (RW::kReading) {
        if (sps.num_units_in_tick == 0) warn(Rule::kNumUnitsInTickZero, 0);
    }
    rw.u32(sps.time_scale);
    rw.flag(sps.fixed_frame_rate_flag, sps.elements_past_data, kMarkFixedFrameRate);
    if constexpr (RW::kReading) {
        if (sps.num_units_in_tick != 0 && sps.time_scale != 0) {
            *frame_rate = (sps.time_scale >> 1) / sps.num_units_in_tick;
        } else {
            warn(Rule::kTimingZero);
        }
    }
}

// bitstream_restriction_flag and the fields it guards.
template <class RW, class Sps>
void bitstream_restriction(RW& rw, Sps& sps) {
    rw.flag(sps.bitstream_restriction_flag, sps.elements_past_data, kMarkBitstreamRestriction);
    if (!sps.bitstream_restriction_flag) return;
    rw.flag(sps.motion_vectors_over_pic_boundaries_flag);
    rw.ue_kept(sps.max_bytes_per_pic_denom, sps.elements_past_data, kMarkMaxBytesPerPicDenom);
    rw.ue_kept(sps.max_bits_per_mb_denom, sps.elements_past_data, kMarkMaxBitsPerMbDenom);
    rw.ue_kept(sps.log2_max_mv_length_horizontal, sps.elements_past_data, kMarkLog2MaxMvLengthHorizontal);
    rw.ue_kept(sps.log2_max_mv_length_vertical, sps.elements_past_data, kMarkLog2MaxMvLengthVertical);
    if constexpr (RW::kReading) {
        rw.ue(sps.max_num_reorder_frames, sps.elements_past_data, kMarkMaxNumReorderFrames);
        if (static_cast<int16_t>(sps.max_num_reorder_frames) < 0 || read_past_data(sps, kMarkMaxNumReorderFrames)) {
            warn(Rule::kNumReorderFrames);
        }
    } else {
        rw.ue(max_num_reorder_frames_bound(sps));
    }
    rw.ue_kept(sps.max_dec_frame_buffering, sps.elements_past_data, kMarkMaxDecFrameBuffering);
}

template <class RW, class Sps>
void vui_parameters(RW& rw, Sps& sps, uint32_t* frame_rate) {
    aspect_ratio_info(rw, sps);
    if constexpr (RW::kReading) sps.aspect_info_end_bit_pos = rw.position();
    video_signal_info(rw, sps);
    timing_info(rw, sps, frame_rate);
    rw.flag(sps.nal_hrd_parameters_present_flag, sps.elements_past_data, kMarkNalHrdParametersPresent);
    if (sps.nal_hrd_parameters_present_flag) hrd_parameters(rw, sps.nal_hrd, sps.elements_past_data, kMarkNalCpbCnt);
    rw.flag(sps.vcl_hrd_parameters_present_flag, sps.elements_past_data, kMarkVclHrdParametersPresent);
    if (sps.vcl_hrd_parameters_present_flag) hrd_parameters(rw, sps.vcl_hrd, sps.elements_past_data, kMarkVclCpbCnt);
    if (sps.nal_hrd_parameters_present_flag || sps.vcl_hrd_parameters_present_flag) rw.flag(sps.low_delay_hrd_flag);
    rw.flag(sps.pic_struct_present_flag, sps.elements_past_data, kMarkPicStructPresent);
    bitstream_restriction(rw, sps);
}

}  // namespace kavrel
