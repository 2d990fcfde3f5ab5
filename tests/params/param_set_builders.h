// Crafting SPS and PPS RBSPs field by field (ITU-T H.264 7.3.2.1.1, 7.3.2.2).
#pragma once

#include <functional>
#include <vector>

#include "support/test_support.h"

namespace params_test {

using kavrel_test::BitBuilder;
using kavrel_test::Bytes;
using Writer = std::function<void(BitBuilder&)>;

struct SpsSpec {
    int profile_idc = 77, cs0 = 0, cs1 = 0, cs2 = 0, cs3 = 0, reserved4 = 0, level_idc = 30;
    uint64_t id = 0, chroma_format_idc = 1, bit_depth_luma = 0, bit_depth_chroma = 0;
    int separate_colour_plane = 0, qpprime = 0;
    Writer scaling = [](BitBuilder& b) { b.u(1, 0); };  // seq_scaling_matrix_present_flag ...
    uint64_t log2_max_frame_num_minus4 = 0, poc_type = 0, log2_max_poc_lsb_minus4 = 2;
    int delta_pic_order_always_zero = 0;
    int64_t offset_for_non_ref_pic = 0, offset_for_top_to_bottom_field = 0;
    std::vector<int64_t> offset_for_ref_frame{};
    uint64_t max_num_ref_frames = 1;
    int gaps = 0;
    uint64_t width_mbs_minus1 = 10, height_map_units_minus1 = 8;
    int frame_mbs_only = 1, mbaff = 0, direct_8x8 = 1, cropping = 0;
    uint64_t crop_left = 0, crop_right = 0, crop_top = 0, crop_bottom = 0;
    Writer vui{};  // empty: vui_parameters_present_flag 0
};

// The profiles whose SPS carries chroma_format_idc .. the scaling matrix (clause 7.3.2.1.1).
inline bool has_chroma_format_fields(int profile_idc) {
    for (int p : {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135})
        if (profile_idc == p) return true;
    return false;
}

inline BitBuilder build_sps(const SpsSpec& s) {
    BitBuilder b;
    b.u(8, s.profile_idc).u(1, s.cs0).u(1, s.cs1).u(1, s.cs2).u(1, s.cs3).u(4, s.reserved4).u(8, s.level_idc).ue(s.id);
    if (has_chroma_format_fields(s.profile_idc)) {
        b.ue(s.chroma_format_idc);
        if (s.chroma_format_idc == 3) b.u(1, s.separate_colour_plane);
        b.ue(s.bit_depth_luma).ue(s.bit_depth_chroma).u(1, s.qpprime);
        s.scaling(b);
    }
    b.ue(s.log2_max_frame_num_minus4).ue(s.poc_type);
    if (s.poc_type == 0) b.ue(s.log2_max_poc_lsb_minus4);
    if (s.poc_type == 1) {
        b.u(1, s.delta_pic_order_always_zero).se(s.offset_for_non_ref_pic).se(s.offset_for_top_to_bottom_field);
        b.ue(s.offset_for_ref_frame.size());
        for (int64_t o : s.offset_for_ref_frame) b.se(o);
    }
    b.ue(s.max_num_ref_frames).u(1, s.gaps).ue(s.width_mbs_minus1).ue(s.height_map_units_minus1);
    b.u(1, s.frame_mbs_only);
    if (!s.frame_mbs_only) b.u(1, s.mbaff);
    b.u(1, s.direct_8x8).u(1, s.cropping);
    if (s.cropping) b.ue(s.crop_left).ue(s.crop_right).ue(s.crop_top).ue(s.crop_bottom);
    b.u(1, s.vui ? 1 : 0);
    if (s.vui) s.vui(b);
    return b;
}

struct PpsSpec {
    uint64_t pps_id = 0, sps_id = 0;
    int entropy = 0, bottom_field_pic_order = 0;
    uint64_t slice_groups_minus1 = 0;
    Writer slice_group_map{};  // slice_group_map_type and the map, when groups > 1
    uint64_t l0_minus1 = 0, l1_minus1 = 0;
    int weighted_pred = 0, weighted_bipred = 0;
    int64_t qp_minus26 = 0, qs_minus26 = 0, chroma_qp_offset = 0;
    int deblocking = 1, constrained_intra = 0, redundant = 0;
    bool tail = false;
    int transform_8x8 = 0;
    Writer scaling = [](BitBuilder& b) { b.u(1, 0); };  // pic_scaling_matrix_present_flag ...
    int64_t second_chroma_qp_offset = 0;
};

inline BitBuilder build_pps(const PpsSpec& p) {
    BitBuilder b;
    b.ue(p.pps_id).ue(p.sps_id).u(1, p.entropy).u(1, p.bottom_field_pic_order).ue(p.slice_groups_minus1);
    if (p.slice_group_map) p.slice_group_map(b);
    b.ue(p.l0_minus1).ue(p.l1_minus1).u(1, p.weighted_pred).u(2, p.weighted_bipred);
    b.se(p.qp_minus26).se(p.qs_minus26).se(p.chroma_qp_offset);
    b.u(1, p.deblocking).u(1, p.constrained_intra).u(1, p.redundant);
    if (p.tail) {
        b.u(1, p.transform_8x8);
        p.scaling(b);
        b.se(p.second_chroma_qp_offset);
    }
    return b;
}

// An I, P or B slice header for the default sets above (frame_num in 4 bits, POC type 0 with 6 lsb bits, deblocking
// control present), then one byte of slice data.
struct SliceSpec {
    uint8_t header = 0x65;  // nal_ref_idc 3, IDR
    uint64_t first_mb = 0, slice_type = 7, pps_id = 0, frame_num = 0, idr_pic_id = 0;
    int structure = 0;  // 0: no field_pic_flag (frame_mbs_only_flag 1); 3 frame, 1 top, 2 bottom field
    uint64_t poc_lsb = 0;
    int poc_lsb_bits = 6;                   // 0 for POC types 1 and 2
    Writer after_poc{};                     // delta_pic_order_cnt_bottom, after pic_order_cnt_lsb
    int64_t redundant_pic_cnt = -1;         // written when >= 0
    uint64_t l0_active = 0, l1_active = 1;  // l0_active > 0: num_ref_idx_active_override_flag set
    Writer weights{};                       // pred_weight_table(), after the list modification flags
    int64_t cabac_init_idc = -1;  // written when >= 0
    int64_t qp_delta = 0;
    uint64_t deblocking_idc = 1;
    int64_t alpha_div2 = 0, beta_div2 = 0;
    bool long_term = false, mmco5 = false;  // dec_ref_pic_marking(): the picture as long-term; operation 5
};

inline Bytes slice_nal(const SliceSpec& s) {
    BitBuilder b;
    b.ue(s.first_mb).ue(s.slice_type).ue(s.pps_id).u(4, s.frame_num);
    if (s.structure) b.flag(s.structure != 3);
    if (s.structure == 1 || s.structure == 2) b.flag(s.structure == 2);
    const bool idr = (s.header & 0x1f) == 5;
    if (idr) b.ue(s.idr_pic_id);
    b.u(s.poc_lsb_bits, s.poc_lsb);
    if (s.after_poc) s.after_poc(b);
    if (s.redundant_pic_cnt >= 0) b.ue(static_cast<uint64_t>(s.redundant_pic_cnt));
    const bool p = s.slice_type % 5 == 0, bi = s.slice_type % 5 == 1;
    if (bi) b.u(1, 1);  // direct_spatial_mv_pred_flag
    if (p || bi) b.u(1, s.l0_active > 0);  // then no list modification
    if ((p || bi) && s.l0_active > 0) b.ue(s.l0_active - 1);
    if (bi && s.l0_active > 0) b.ue(s.l1_active - 1);
    if (p || bi) b.u(bi ? 2 : 1, 0);
    if (s.weights) s.weights(b);
    if ((s.header & 0x60) && idr) b.u(1, 0).flag(s.long_term);
    if ((s.header & 0x60) && !idr) b.flag(s.mmco5 || s.long_term);
    if (!idr && s.mmco5) b.ue(5);
    if (!idr && s.long_term) b.ue(6).ue(0);
    if (!idr && (s.mmco5 || s.long_term)) b.ue(0);
    if (s.cabac_init_idc >= 0) b.ue(static_cast<uint64_t>(s.cabac_init_idc));
    b.se(s.qp_delta).ue(s.deblocking_idc);
    if (s.deblocking_idc != 1) b.se(s.alpha_div2).se(s.beta_div2);
    return kavrel_test::nal(s.header, b.u(8, 0xE5).trailing().bytes());
}

// The sets as NAL units behind a 4-byte start code.
inline Bytes sps_nal(const SpsSpec& s = {}) { return kavrel_test::nal(0x67, build_sps(s).trailing().bytes()); }
inline Bytes pps_nal(const PpsSpec& p = {}) { return kavrel_test::nal(0x68, build_pps(p).trailing().bytes()); }

}  // namespace params_test
