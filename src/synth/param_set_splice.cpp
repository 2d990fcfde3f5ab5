#include "synth/param_set_splice.h"

#include <numeric>

#include "bitstream/bit_writer.h"
#include "syntax/pps_syntax.h"
#include "syntax/vui_syntax.h"

namespace kavrel {

namespace {

// Appends bits [from, to) of an RBSP.
void copy_bits(Bitstream* stream, const uint8_t* src, int32_t from, int32_t to) {
    for (int32_t b = from; b < to; ++b) put_bits(stream, (src[b >> 3] >> (7 - (b & 7))) & 1, 1);
}

}  // namespace

int32_t rewrite_sps_sar(const uint8_t* sps, int32_t sps_bits, const SeqParamSet& record, uint32_t sar_width,
                        uint32_t sar_height, uint8_t* out, int32_t capacity) {
    // A flag the set's data ended before, or fields before it read there:
    // the bits up to the flag are not what was parsed.
    if (read_past_data(record, kMarkVuiParametersPresent) || record.vui_flag_bit_pos > sps_bits) return -1;
    if (sar_width && sar_height) {
        const uint32_t g = std::gcd(sar_width, sar_height);
        sar_width /= g;
        sar_height /= g;
    }
    SeqParamSet vui{};  // a VUI carrying only the aspect ratio
    vui.aspect_ratio_info_present_flag = 1;
    vui.aspect_ratio_idc = 255;  // Extended_SAR
    vui.sar_width = static_cast<int32_t>(sar_width & 0xffff);
    vui.sar_height = static_cast<int32_t>(sar_height & 0xffff);
    Bitstream w;
    init_bitstream(&w, out, capacity);
    SyntaxWriter rw{w};
    copy_bits(&w, sps, 0, record.vui_flag_bit_pos);
    put_bits(&w, 1, 1);  // vui_parameters_present_flag
    if (record.vui_parameters_present_flag == 0) {
        vui_parameters(rw, vui, nullptr);
    } else {
        aspect_ratio_info(rw, vui);
        copy_bits(&w, sps, record.aspect_info_end_bit_pos, sps_bits);  // the set's own VUI after it
    }
    write_trailing_bits(&w);
    return w.overflow ? -1 : w.byte_count;
}

int32_t extend_pps(const uint8_t* pps, int32_t pps_len, int32_t tail_bit_pos, int32_t chroma_qp_index_offset,
                   uint8_t* out, int32_t capacity) {
    if (tail_bit_pos < 0 || tail_bit_pos / 8 >= pps_len) return 0;
    PicParamSet tail{};
    tail.transform_8x8_mode_flag = 1;
    tail.pic_scaling_matrix_present_flag = 0;
    tail.second_chroma_qp_index_offset = chroma_qp_index_offset;
    Bitstream w;
    init_bitstream(&w, out, capacity);
    SyntaxWriter rw{w};
    copy_bits(&w, pps, 0, tail_bit_pos + 1);
    pps_high_profile_tail(rw, tail);
    write_trailing_bits(&w);
    return w.overflow ? 0 : w.byte_count;
}

}  // namespace kavrel
