// Sequence parameter set (ITU-T H.264 clause 7.3.2.1) with its VUI
// (Annex E.1.1) and HRD parameters (E.1.2), kept field by field so that the
// set can be written back exactly as it was read.
#pragma once

#include <cstdint>

#include "common/status.h"
#include "syntax/scaling_list.h"

namespace kavrel {

struct BitReader;
struct ParamSetStore;

// The fixed-width elements of an HRD the data of a cut set ended before:
// bits of HrdParameters::elements_past_data. Such a number is stored as 0
// and written back as all ones, the bits a read past the data gives.
enum HrdElementMark : uint32_t {
    kMarkBitRateScale = 1 << 0,
    kMarkCpbSizeScale = 1 << 1,
    kMarkInitialCpbRemovalDelayLength = 1 << 2,
    kMarkCpbRemovalDelayLength = 1 << 3,
    kMarkDpbOutputDelayLength = 1 << 4,
    kMarkTimeOffsetLength = 1 << 5,
};

// hrd_parameters(), Annex E.1.2. Entries beyond 32 CPBs are stepped over
// but not kept. A ue(v) value that lies past the data is stored as all ones.
struct HrdParameters {
    int32_t cpb_cnt_minus1;
    int32_t bit_rate_scale;
    int32_t cpb_size_scale;
    uint32_t bit_rate_value_minus1[32];
    uint32_t cpb_size_value_minus1[32];
    uint8_t cbr_flag[32];
    int32_t initial_cpb_removal_delay_length_minus1;
    int32_t cpb_removal_delay_length_minus1;
    int32_t dpb_output_delay_length_minus1;
    int32_t time_offset_length;
    uint32_t elements_past_data;  // HrdElementMark bits
};

// The elements whose users tell one the data of a cut set ended before from
// a value that was read, or that are written back otherwise than a value
// read: bits of SeqParamSet::elements_past_data. Such a flag is stored as 1
// (it counts as set for reading on and writing back), such a number as 0;
// a u(n) is written back as all ones, a ue(v) as 0.
enum SpsElementMark : uint32_t {
    kMarkConstraintSet0 = 1 << 0,
    kMarkConstraintSet1 = 1 << 1,
    kMarkConstraintSet2 = 1 << 2,
    kMarkConstraintSet3 = 1 << 3,
    kMarkQpprimeYZeroTransformBypass = 1 << 4,
    kMarkFrameMbsOnly = 1 << 5,
    kMarkVuiParametersPresent = 1 << 6,
    kMarkTimingInfoPresent = 1 << 7,
    kMarkFixedFrameRate = 1 << 8,
    kMarkNalHrdParametersPresent = 1 << 9,
    kMarkVclHrdParametersPresent = 1 << 10,
    kMarkPicStructPresent = 1 << 11,
    kMarkBitstreamRestriction = 1 << 12,
    kMarkProfileIdc = 1 << 13,
    kMarkLevelIdc = 1 << 14,
    kMarkSarWidth = 1 << 15,
    kMarkSarHeight = 1 << 16,
    kMarkNalCpbCnt = 1 << 17,  // cpb_cnt_minus1 of the NAL HRD
    kMarkVclCpbCnt = 1 << 18,  // and of the VCL HRD
    kMarkMaxNumReorderFrames = 1 << 19,
    kMarkVideoFormat = 1 << 20,
    kMarkColourPrimaries = 1 << 21,
    kMarkTransferCharacteristics = 1 << 22,
    kMarkMatrixCoefficients = 1 << 23,
    kMarkChromaSampleLocTypeTopField = 1 << 24,
    kMarkChromaSampleLocTypeBottomField = 1 << 25,
    kMarkMaxBytesPerPicDenom = 1 << 26,
    kMarkMaxBitsPerMbDenom = 1 << 27,
    kMarkLog2MaxMvLengthHorizontal = 1 << 28,
    kMarkLog2MaxMvLengthVertical = 1 << 29,
    kMarkMaxDecFrameBuffering = 1 << 30,
};

struct SeqParamSet {
    int32_t profile_idc;
    int32_t level_idc;
    int32_t log2_max_frame_num_minus4;
    int32_t pic_order_cnt_type;
    int32_t log2_max_pic_order_cnt_lsb_minus4;
    int32_t delta_pic_order_always_zero_flag;
    int32_t chroma_format_idc;
    int32_t separate_colour_plane_flag;
    int32_t bit_depth_luma_minus8;
    int32_t bit_depth_chroma_minus8;
    int32_t qpprime_y_zero_transform_bypass_flag;
    int32_t offset_for_non_ref_pic;
    int32_t offset_for_top_to_bottom_field;
    int32_t num_ref_frames_in_pic_order_cnt_cycle;
    int32_t max_num_ref_frames;
    int32_t gaps_in_frame_num_value_allowed_flag;
    int32_t pic_width_in_mbs_minus1;
    int32_t pic_height_in_map_units_minus1;
    int32_t frame_mbs_only_flag;
    int32_t mb_adaptive_frame_field_flag;
    int32_t direct_8x8_inference_flag;
    int32_t frame_crop_left_offset;
    int32_t frame_crop_right_offset;
    int32_t frame_crop_top_offset;
    int32_t frame_crop_bottom_offset;
    uint8_t vui_parameters_present_flag;
    int32_t vui_flag_bit_pos;    // bit index of vui_parameters_present_flag in the RBSP

    // VUI (Annex E.1.1)
    int32_t aspect_info_end_bit_pos;  // bit index of overscan_info_present_flag
    int32_t aspect_ratio_info_present_flag;
    int32_t aspect_ratio_idc;
    int32_t sar_width;           // Extended_SAR only; 0 when the VUI gave none
    int32_t sar_height;
    uint8_t timing_info_present_flag;
    uint32_t num_units_in_tick;
    uint32_t time_scale;
    uint8_t fixed_frame_rate_flag;
    uint16_t bitstream_restriction_flag;
    uint16_t max_num_reorder_frames;  // 65535 for a code too long to read
    // The rest of the VUI, kept for writing the set back (a stepped-over
    // ue(v) too long to read holds -1, and one above INT32_MAX INT32_MAX).
    // Flags hold 0 or 1; u(n) and ue(v) values the data ended before 0,
    // with their SpsElementMark.
    int32_t overscan_info_present_flag;
    int32_t overscan_appropriate_flag;
    int32_t video_signal_type_present_flag;
    int32_t video_format;
    int32_t video_full_range_flag;
    int32_t colour_description_present_flag;
    int32_t colour_primaries;
    int32_t transfer_characteristics;
    int32_t matrix_coefficients;
    int32_t chroma_loc_info_present_flag;
    int32_t chroma_sample_loc_type_top_field;
    int32_t chroma_sample_loc_type_bottom_field;
    int32_t nal_hrd_parameters_present_flag;
    int32_t vcl_hrd_parameters_present_flag;
    HrdParameters nal_hrd;
    HrdParameters vcl_hrd;
    int32_t low_delay_hrd_flag;
    int32_t pic_struct_present_flag;
    int32_t motion_vectors_over_pic_boundaries_flag;
    int32_t max_bytes_per_pic_denom;
    int32_t max_bits_per_mb_denom;
    int32_t log2_max_mv_length_horizontal;
    int32_t log2_max_mv_length_vertical;
    int32_t max_dec_frame_buffering;

    int32_t offset_for_ref_frame[255];  // full values
    int32_t seq_scaling_matrix_present_flag;
    CodedScalingLists scaling_lists;    // as coded; scaling_list_values() gives the lists in force
    int32_t valid;                      // 1 when check_sps_profile passed
    int32_t constraint_set0_flag;
    int32_t constraint_set1_flag;
    int32_t constraint_set2_flag;
    int32_t constraint_set3_flag;
    int32_t reserved_zero_4bits;        // the 4 bits after constraint_set3_flag, as read
    int32_t seq_parameter_set_id;
    int32_t frame_cropping_flag;
    uint32_t elements_past_data;        // SpsElementMark bits of the elements the data ended before
};

// Whether the element of `mark` lay past the end of the set's data.
inline bool read_past_data(const SeqParamSet& sps, SpsElementMark mark) { return (sps.elements_past_data & mark) != 0; }

// The most pictures the VUI lets precede one in decoding order and follow
// it in output order (max_num_reorder_frames): as read, or with no value
// read (the data ended before it, or the code was too long) no bound,
// 65535. The set is written back with this number.
constexpr int32_t kNoReorderBound = 65535;
inline int32_t max_num_reorder_frames_bound(const SeqParamSet& sps) {
    return read_past_data(sps, kMarkMaxNumReorderFrames) ? kNoReorderBound : sps.max_num_reorder_frames;
}

// Derived sizes of clause 7.4.2.1.1, in macroblocks. A frame_mbs_only_flag
// other than 0 counts as 1.
inline int32_t PicWidthInMbs(const SeqParamSet& sps) { return sps.pic_width_in_mbs_minus1 + 1; }
inline int32_t PicHeightInMapUnits(const SeqParamSet& sps) { return sps.pic_height_in_map_units_minus1 + 1; }
inline int32_t FrameHeightInMbs(const SeqParamSet& sps) {
    return (sps.frame_mbs_only_flag != 0 ? 1 : 2) * PicHeightInMapUnits(sps);
}
// Bits of frame_num and of pic_order_cnt_lsb in the slice header (7.4.2.1.1).
inline int32_t Log2MaxFrameNum(const SeqParamSet& sps) { return sps.log2_max_frame_num_minus4 + 4; }
inline int32_t Log2MaxPicOrderCntLsb(const SeqParamSet& sps) { return sps.log2_max_pic_order_cnt_lsb_minus4 + 4; }

// Level 1b of Baseline, Main and Extended: level_idc 11 with
// constraint_set3_flag (clause A.3.1).
inline bool is_level_1b(const SeqParamSet& sps) {
    return (sps.profile_idc == 66 || sps.profile_idc == 77 || sps.profile_idc == 88) && sps.level_idc == 11 &&
           sps.constraint_set3_flag != 0;
}
// The level as Table A-1 numbers it: level_idc, or 9 for level 1b.
inline int32_t level_number(const SeqParamSet& sps) { return is_level_1b(sps) ? 9 : sps.level_idc; }

// Parses the SPS RBSP at `reader` into `store`: kOk, kSpsId, kSpsRange or kProfile.
Status decode_seq_parameter_set(ParamSetStore& store, BitReader& reader);
// kOk when the library takes the set, else kProfile after its reason.
Status check_sps_profile(const SeqParamSet& sps);
// The crop window's bounds for 4:2:0 and monochrome (7.4.2.1.1): kOk or kSpsRange.
Status check_frame_cropping(const SeqParamSet& sps);
// Writes the RBSP of `sps` (rbsp_trailing_bits included) into `buffer`
// (capacity bytes). Returns its length in bytes, or -1 when it does not fit.
int32_t write_seq_parameter_set_rbsp(const SeqParamSet& sps, uint8_t* buffer, int32_t capacity);
// Room for any SPS RBSP the writer produces: the longest set the parser
// accepts (255 POC offsets, eight scaling lists, two 32-entry HRDs, every
// value at its widest) stays below 4 KiB.
constexpr int32_t kSpsRbspCapacity = 8192;

}  // namespace kavrel
