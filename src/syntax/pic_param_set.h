// Picture parameter set (ITU-T H.264 clause 7.3.2.2).
#pragma once

#include <cstdint>

#include "common/status.h"
#include "syntax/scaling_list.h"

namespace kavrel {

struct BitReader;
struct ParamSetStore;

// The elements after weighted_bipred_idc, in the order they are read: in a
// set cut short the first of them that the data ended before, and every
// one after it, lie past the data (elements before them that do are
// refused by their ranges).
enum class PpsTailOfHead : uint8_t {
    kNone,  // the data reached redundant_pic_cnt_present_flag (or the set is empty)
    kPicInitQp,
    kPicInitQs,
    kChromaQpIndexOffset,
    kDeblockingFilterControl,
    kConstrainedIntraPred,
    kRedundantPicCntPresent,
};

struct PicParamSet {
    int32_t seq_parameter_set_id;
    int32_t entropy_coding_mode_flag;
    uint8_t bottom_field_pic_order_in_frame_present_flag;
    int32_t num_slice_groups_minus1;
    int32_t slice_group_map_type;
    int32_t num_ref_idx_default_active_minus1[2];  // l0, l1
    uint8_t weighted_pred_flag;
    int8_t weighted_bipred_idc;
    int32_t pic_init_qp_minus26;
    int32_t pic_init_qs_minus26;
    int32_t pic_scaling_matrix_present_flag;
    int32_t chroma_qp_index_offset;
    int32_t second_chroma_qp_index_offset;
    uint8_t deblocking_filter_control_present_flag;
    uint8_t constrained_intra_pred_flag;
    uint16_t redundant_pic_cnt_present_flag;
    // The first element the data ended before. Its flags and those after it
    // are 1 (they count as set), and its se(v) values 0 (slices take -1
    // from them: see slice_value).
    PpsTailOfHead past_data_from;
    int32_t transform_8x8_mode_flag;  // 0 when the PPS ends before it
    CodedScalingLists scaling_lists;  // as coded; the 8x8 lists only with transform_8x8_mode_flag
    uint8_t high_profile_tail;      // the PPS carries transform_8x8_mode_flag and what follows it
    int32_t valid;
    int32_t pic_parameter_set_id;  // written when a slice refers to this entry
};

// Whether `element` lay past the end of the set's data.
inline bool read_past_data(const PicParamSet& pps, PpsTailOfHead element) {
    return pps.past_data_from != PpsTailOfHead::kNone && pps.past_data_from <= element;
}

// The value slices take from pic_init_qp_minus26, pic_init_qs_minus26 or
// chroma_qp_index_offset (`element`, read as `value`): the one read, or -1
// where the data ended before it.
constexpr int32_t kSliceValueNotRead = -1;
inline int32_t slice_value(const PicParamSet& pps, PpsTailOfHead element, int32_t value) {
    return read_past_data(pps, element) ? kSliceValueNotRead : value;
}
inline int32_t slice_pic_init_qp_minus26(const PicParamSet& pps) {
    return slice_value(pps, PpsTailOfHead::kPicInitQp, pps.pic_init_qp_minus26);
}

// Parses the PPS RBSP at `reader` into `store`; rbsp_bits = bits before the
// stop bit. kOk, kPpsId, kSpsId, kPpsRange or kProfile.
Status decode_picture_parameter_set(ParamSetStore& store, BitReader& reader, int32_t rbsp_bits);
// kOk when the set suits the SPS profile, else kProfile after its reason.
Status check_pps_profile(const PicParamSet& pps, int32_t sps_profile_idc);

}  // namespace kavrel
