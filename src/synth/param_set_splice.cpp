#include "synth/param_set_splice.h"

#include <cstring>
#include <numeric>

namespace kavrel {

namespace {

// Appends bits MSB first to a bounded buffer.
struct BitAppender {
    uint8_t* out;
    int32_t capacity;
    int64_t bits = 0;
    bool overflow = false;

    void put(uint32_t value, int n) {
        for (int i = n - 1; i >= 0; --i) {
            const int64_t byte = bits >> 3;
            if (byte >= capacity) {
                overflow = true;
                return;
            }
            if ((bits & 7) == 0) out[byte] = 0;
            if ((value >> i) & 1) out[byte] = static_cast<uint8_t>(out[byte] | (0x80 >> (bits & 7)));
            ++bits;
        }
    }
    // Bits [from, to) of an RBSP.
    void copy(const uint8_t* src, int32_t from, int32_t to) {
        for (int32_t b = from; b < to; ++b) put((src[b >> 3] >> (7 - (b & 7))) & 1, 1);
    }
    // se(v) (clause 9.1.1) of a small value.
    void put_se(int32_t v) {
        const uint32_t code = v > 0 ? 2 * static_cast<uint32_t>(v) - 1 : 2 * static_cast<uint32_t>(-v);
        int len = 0;
        while ((code + 1) >> (len + 1)) ++len;
        put(0, len);
        put(code + 1, len + 1);
    }
    // rbsp_trailing_bits(): the stop bit and zeros to the byte boundary.
    void trailing() {
        put(1, 1);
        while (bits & 7) put(0, 1);
    }
    int32_t bytes() const { return static_cast<int32_t>((bits + 7) >> 3); }
};

}  // namespace

int32_t rewrite_sps_sar(const uint8_t* sps, int32_t sps_bits, const SeqParamSet& record, uint32_t sar_width,
                        uint32_t sar_height, uint8_t* out, int32_t capacity) {
    // A flag read past the set's data (stored as 255), or fields before it
    // read there: the bits up to the flag are not what was parsed.
    if (record.vui_parameters_present_flag > 1 || record.vui_flag_bit_pos > sps_bits) return -1;
    if (sar_width && sar_height) {
        const uint32_t g = std::gcd(sar_width, sar_height);
        sar_width /= g;
        sar_height /= g;
    }
    BitAppender w{out, capacity};
    w.copy(sps, 0, record.vui_flag_bit_pos);
    w.put(1, 1);    // vui_parameters_present_flag
    w.put(1, 1);    // aspect_ratio_info_present_flag
    w.put(255, 8);  // aspect_ratio_idc: Extended_SAR
    w.put(sar_width & 0xffff, 16);
    w.put(sar_height & 0xffff, 16);
    if (record.vui_parameters_present_flag == 0) {
        w.put(0, 8);  // overscan, video signal, chroma loc, timing, NAL/VCL HRD, pic_struct, restriction: absent
    } else {
        w.copy(sps, record.aspect_info_end_bit_pos, sps_bits);
    }
    w.trailing();
    return w.overflow ? -1 : w.bytes();
}

int32_t extend_pps(const uint8_t* pps, int32_t pps_len, int32_t tail_bit_pos, int32_t chroma_qp_index_offset,
                   uint8_t* out, int32_t capacity) {
    if (tail_bit_pos < 0 || tail_bit_pos / 8 >= pps_len) return 0;
    BitAppender w{out, capacity};
    w.copy(pps, 0, tail_bit_pos + 1);
    w.put(1, 1);  // transform_8x8_mode_flag
    w.put(0, 1);  // pic_scaling_matrix_present_flag
    w.put_se(chroma_qp_index_offset);  // second_chroma_qp_index_offset
    w.trailing();
    return w.overflow ? 0 : w.bytes();
}

int32_t add_emulation_prevention(const uint8_t* rbsp, int32_t len, uint8_t* out, int32_t capacity) {
    int32_t d = 0;
    for (int32_t i = 0; i < len; ++i) {
        if (i >= 2 && rbsp[i] <= 3 && d >= 2 && out[d - 1] == 0 && out[d - 2] == 0) {
            if (d >= capacity) return -1;
            out[d++] = 3;
        }
        if (d >= capacity) return -1;
        out[d++] = rbsp[i];
    }
    return d;
}

}  // namespace kavrel
