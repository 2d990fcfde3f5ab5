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
void read_high_fields(Bits& b, SpsTiming* out) {
    const uint32_t chroma_format_idc = b.ue();
    out->chroma_format_idc = chroma_format_idc;
    if (chroma_format_idc == 3) b.u(1);  // separate_colour_plane_flag
    out->bit_depth_luma = b.ue() + 8;
    out->bit_depth_chroma = b.ue() + 8;
    out->lossless = b.u(1) != 0;  // qpprime_y_zero_transform_bypass_flag
    if (!b.u(1)) return;          // seq_scaling_matrix_present_flag
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
    out->seq_parameter_set_id = b.ue();
    if (high_profile(out->profile_idc)) read_high_fields(b, out);
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
    out->width_mbs = b.ue() + 1;
    out->height_map_units = b.ue() + 1;
    out->frame_mbs_only = b.u(1) != 0;
    if (!out->frame_mbs_only) b.u(1);  // mb_adaptive_frame_field_flag
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

namespace {

// The RBSP of the NAL unit [header, end) without its header byte and
// emulation_prevention_three_bytes, at most `cap` bytes of it.
size_t unescape(const uint8_t* p, size_t header, size_t end, uint8_t* out, size_t cap) {
    size_t n = 0;
    int zeros = 0;
    for (size_t i = header + 1; i < end && n < cap; ++i) {
        if (zeros >= 2 && p[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = p[i] == 0 ? zeros + 1 : 0;
        out[n++] = p[i];
    }
    return n;
}

const char* profile_name(int idc) {
    switch (idc) {
    case 66: return "Baseline";
    case 77: return "Main";
    case 88: return "Extended";
    case 100: return "High";
    case 110: return "High 10";
    case 122: return "High 4:2:2";
    case 244: return "High 4:4:4 Predictive";
    case 44: return "CAVLC 4:4:4 Intra";
    default: return "profile";
    }
}

}  // namespace

bool read_sps_nal(const uint8_t* p, size_t header, size_t end, SpsTiming* out) {
    uint8_t rbsp[1024];  // every field read here lies well inside this
    return read_sps_timing(rbsp, unescape(p, header, end, rbsp, sizeof rbsp), out);
}

int pps_sps_id(const uint8_t* p, size_t header, size_t end) {
    uint8_t rbsp[16];
    Bits b{rbsp, 8 * unescape(p, header, end, rbsp, sizeof rbsp)};
    b.ue();  // pic_parameter_set_id
    const uint32_t id = b.ue();
    return b.bad || id > 31 ? -1 : static_cast<int>(id);
}

std::string unsupported_format(const SpsTiming& sps) {
    const std::string profile =
        std::string(profile_name(sps.profile_idc)) + " (profile_idc " + std::to_string(sps.profile_idc) + ")";
    std::string why;
    if (sps.chroma_format_idc >= 2) why += sps.chroma_format_idc == 2 ? ", 4:2:2 chroma" : ", 4:4:4 chroma";
    if (sps.bit_depth_luma != 8 || sps.bit_depth_chroma != 8) {
        why += ", bit depth " + std::to_string(sps.bit_depth_luma);
        if (sps.bit_depth_chroma != sps.bit_depth_luma) why += "/" + std::to_string(sps.bit_depth_chroma);
    }
    if (sps.lossless) why += ", lossless (qpprime_y_zero_transform_bypass_flag 1)";
    if (!why.empty()) return profile + why + ": kavrel takes 8-bit 4:2:0 only";
    if (sps.width_mbs > 511 || sps.height_map_units > 511) {
        const uint32_t rows = sps.height_map_units * (sps.frame_mbs_only ? 1 : 2);
        return std::to_string(16 * sps.width_mbs) + "x" + std::to_string(16 * rows) + " pictures (" +
               std::to_string(sps.width_mbs) + "x" + std::to_string(rows) +
               " macroblocks): kavrel takes pictures up to 511x511 macroblocks (8176x8176)";
    }
    if (sps.profile_idc == 66 && !sps.frame_mbs_only) return profile + " with field coding: kavrel takes it in frames only";
    return "";
}

}  // namespace kavrel_cli
