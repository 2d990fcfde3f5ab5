#include "harness_support.h"

#include <initializer_list>

namespace kavrel_fuzz {

namespace {

// codeNum below 2^25 - 1 keeps k at most 24 (the *_long reads); below
// 2^13 - 1, at most 12 (read_ue).
bool short_code(int64_t code_num) { return code_num >= 0 && code_num < (int64_t{1} << 25) - 1; }
bool short_se(int64_t v) { return short_code(v > 0 ? 2 * v - 1 : -2 * v); }
bool window_ue(int64_t v) { return v == -1 || (v >= 0 && v < (int64_t{1} << 13) - 1); }

}  // namespace

bool codes_fit_window(const kavrel::SeqParamSet& s) {
    bool fit = short_se(s.offset_for_non_ref_pic) && short_se(s.offset_for_top_to_bottom_field);
    for (int32_t i = 0; i < s.poc_cycle_length && i < 255; ++i) fit = fit && short_se(s.offset_for_ref_frame[i]);
    for (const kavrel::HrdParameters* h : {&s.nal_hrd, &s.vcl_hrd}) {
        for (int32_t i = 0; i <= h->cpb_cnt_minus1 && i < 32; ++i) {
            fit = fit && short_code(h->bit_rate_value_minus1[i]) && short_code(h->cpb_size_value_minus1[i]);
        }
    }
    // Read with read_ue: unbounded only where the parser does not check them
    // (cropping outside 4:2:0) or keeps -1 as 65535.
    for (int32_t v : {s.crop_left, s.crop_right, s.crop_top, s.crop_bottom}) fit = fit && window_ue(v);
    fit = fit && (s.num_reorder_frames == 0xffff || window_ue(s.num_reorder_frames));
    for (int32_t v : {s.chroma_sample_loc_type_top_field, s.chroma_sample_loc_type_bottom_field,
                      s.max_bytes_per_pic_denom, s.max_bits_per_mb_denom, s.log2_max_mv_length_horizontal,
                      s.log2_max_mv_length_vertical, s.max_dec_frame_buffering}) {
        fit = fit && (v == -1 || short_code(v));
    }
    return fit;
}

bool is_parse_result(int32_t rc) { return rc == 0 || (rc >= -22 && rc <= -1 && rc != -15 && rc != -17); }

size_t next_start_code(const uint8_t* data, size_t size, size_t from) {
    for (size_t i = from; i + 2 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
    }
    return size;
}

size_t frame_step(const uint8_t* data, size_t size, size_t pos, int32_t rc, const FrameInfo& info) {
    const size_t rest = size - pos;
    if (rc < 0) {
        const size_t first = next_start_code(data, size, pos);
        const size_t next = first >= size ? size : next_start_code(data, size, first + 3);
        return next - pos;
    }
    const size_t consumed = info.consumed;
    if (consumed == 0 || consumed + 3 >= rest) return rest;
    return consumed;
}

const char* check_frame_info(int32_t rc, const FrameInfo& info, size_t rest) {
    FUZZ_CHECK(is_parse_result(rc), "Kavrel_Start: result outside the documented codes");
    FUZZ_CHECK(rc == 0 || info.consumed == 0, "Kavrel_Start: consumed set on failure");
    FUZZ_CHECK(info.consumed <= rest, "Kavrel_Start: consumed beyond the input");
    FUZZ_CHECK(info.picture_type == 0 || info.picture_type == 1 || info.picture_type == 2 ||
                   info.picture_type == 255,
               "Kavrel_Start: picture_type outside 0, 1, 2, 255");
    FUZZ_CHECK(info.picture_structure >= 0 && info.picture_structure <= 3,
               "Kavrel_Start: picture_structure outside 0..3");
    FUZZ_CHECK(info.field_pic_flag <= 1, "Kavrel_Start: field_pic_flag outside 0..1");
    FUZZ_CHECK(info.ref_frame_count <= 16, "Kavrel_Start: ref_frame_count above 16");
    FUZZ_CHECK(info.coded_width % 16 == 0 && info.coded_height % 16 == 0,
               "Kavrel_Start: coded size not in macroblocks");
    // The parameter-set copies must be readable for their stated sizes
    // (AddressSanitizer checks each byte read here).
    FUZZ_CHECK(info.sps_size == 0 || info.sps_data != nullptr, "Kavrel_Start: sps_size without sps_data");
    FUZZ_CHECK(info.pps_size == 0 || info.pps_data != nullptr, "Kavrel_Start: pps_size without pps_data");
    volatile uint8_t sink = 0;
    for (uint32_t i = 0; i < info.sps_size; ++i) sink = static_cast<uint8_t>(sink ^ info.sps_data[i]);
    for (uint32_t i = 0; i < info.pps_size; ++i) sink = static_cast<uint8_t>(sink ^ info.pps_data[i]);
    (void)sink;
    return nullptr;
}

}  // namespace kavrel_fuzz
