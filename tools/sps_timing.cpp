#include "sps_timing.h"

#include <initializer_list>

namespace kavrel_cli {

namespace {

// Just enough of a bit reader for clause 7.3.2.1.1 and E.1.1.
struct Bits {
    const uint8_t* p;
    size_t bits;
    size_t pos = 0;
    bool bad = false;
    uint32_t u(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            if (pos >= bits) {
                bad = true;
                return 0;
            }
            v = (v << 1) | ((p[pos >> 3] >> (7 - (pos & 7))) & 1u);
            ++pos;
        }
        return v;
    }
    uint32_t ue() {
        int zeros = 0;
        while (!bad && u(1) == 0) {
            if (++zeros > 31) bad = true;
        }
        return bad ? 0 : (1u << zeros) - 1 + u(zeros);
    }
    void skip_ue(int count) {
        for (int i = 0; i < count; ++i) ue();
    }
};

bool high_profile(int idc) {
    for (int h : {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135})
        if (idc == h) return true;
    return false;
}

// The chroma format fields and scaling lists of the High profiles.
void skip_high_fields(Bits& b) {
    const uint32_t chroma_format_idc = b.ue();
    if (chroma_format_idc == 3) b.u(1);  // separate_colour_plane_flag
    b.skip_ue(2);                        // bit depths
    b.u(1);                              // qpprime_y_zero_transform_bypass_flag
    if (!b.u(1)) return;                 // seq_scaling_matrix_present_flag
    for (int i = 0; i < (chroma_format_idc != 3 ? 8 : 12) && !b.bad; ++i) {
        if (!b.u(1)) continue;
        int last = 8, next = 8;
        for (int j = 0; j < (i < 6 ? 16 : 64) && next != 0 && !b.bad; ++j) {
            const uint32_t code = b.ue();  // delta_scale, se(v)
            const int delta = (code & 1) ? static_cast<int>((code + 1) / 2) : -static_cast<int>(code / 2);
            next = (last + delta + 256) % 256;
            last = next == 0 ? last : next;
        }
    }
}

}  // namespace

bool read_sps_timing(const uint8_t* rbsp, size_t size, SpsTiming* out) {
    Bits b{rbsp, size * 8};
    out->profile_idc = static_cast<int>(b.u(8));
    out->constraint_flags = static_cast<int>(b.u(8));
    out->level_idc = static_cast<int>(b.u(8));
    b.ue();  // seq_parameter_set_id
    if (high_profile(out->profile_idc)) skip_high_fields(b);
    b.ue();  // log2_max_frame_num_minus4
    const uint32_t poc_type = b.ue();
    if (poc_type == 0) b.ue();
    if (poc_type == 1) {
        b.u(1);
        b.skip_ue(2);
        const uint32_t cycle = b.ue();
        for (uint32_t i = 0; i < cycle && !b.bad; ++i) b.ue();
    }
    b.skip_ue(1);  // max_num_ref_frames
    b.u(1);        // gaps_in_frame_num_value_allowed_flag
    b.skip_ue(2);  // picture size in macroblocks
    if (!b.u(1)) b.u(1);  // frame_mbs_only_flag, mb_adaptive_frame_field_flag
    b.u(1);               // direct_8x8_inference_flag
    if (b.u(1)) b.skip_ue(4);  // frame cropping
    if (!b.u(1) || b.bad) return !b.bad;  // no VUI
    if (b.u(1) && b.u(8) == 255) b.u(32);  // aspect_ratio_idc, Extended_SAR
    if (b.u(1)) b.u(1);                     // overscan
    if (b.u(1)) {                           // video_signal_type_present_flag
        b.u(4);
        if (b.u(1)) b.u(24);  // colour description
    }
    if (b.u(1)) b.skip_ue(2);  // chroma sample locations
    out->timing_info_present = b.u(1) != 0;
    if (out->timing_info_present) {
        out->num_units_in_tick = b.u(32);
        out->time_scale = b.u(32);
        b.u(1);  // fixed_frame_rate_flag
    }
    // nal_hrd_parameters_present_flag, then (when it is 0) the VCL one.
    out->hrd = b.u(1) != 0 || b.u(1) != 0;
    return !b.bad;
}

}  // namespace kavrel_cli
