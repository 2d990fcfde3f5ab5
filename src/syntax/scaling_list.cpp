// Scaling matrices of the SPS and PPS: scaling_list() (ITU-T H.264 clause
// 7.3.2.1.1.1), the default tables (Tables 7-3, 7-4) and the fall-back rules
// A and B of Table 7-2.
#include <cstring>

#include "syntax/syntax_state.h"
#include "syntax/pic_param_set.h"
#include "syntax/seq_param_set.h"

namespace kavrel {

// Zig-zag frame scans (clause 8.5.6): entry k is the raster position of the
// k-th coefficient.
const uint8_t kZigzag4x4[16] = {0, 1, 4, 8, 5, 2, 3, 6, 9, 12, 13, 10, 7, 11, 14, 15};
const uint8_t kZigzag8x8[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// Default scaling lists in raster order.
const uint8_t kDefault4x4Intra[16] = {6, 13, 20, 28, 13, 20, 28, 32, 20, 28, 32, 37, 28, 32, 37, 42};
const uint8_t kDefault4x4Inter[16] = {10, 14, 20, 24, 14, 20, 24, 27, 20, 24, 27, 30, 24, 27, 30, 34};
const uint8_t kDefault8x8Intra[64] = {
    6,  10, 13, 16, 18, 23, 25, 27,  //
    10, 11, 16, 18, 23, 25, 27, 29,  //
    13, 16, 18, 23, 25, 27, 29, 31,  //
    16, 18, 23, 25, 27, 29, 31, 33,  //
    18, 23, 25, 27, 29, 31, 33, 36,  //
    23, 25, 27, 29, 31, 33, 36, 38,  //
    25, 27, 29, 31, 33, 36, 38, 40,  //
    27, 29, 31, 33, 36, 38, 40, 42,
};
const uint8_t kDefault8x8Inter[64] = {
    9,  13, 15, 17, 19, 21, 22, 24,  //
    13, 13, 17, 19, 21, 22, 24, 25,  //
    15, 17, 19, 21, 22, 24, 25, 27,  //
    17, 19, 21, 22, 24, 25, 27, 28,  //
    19, 21, 22, 24, 25, 27, 28, 30,  //
    21, 22, 24, 25, 27, 28, 30, 32,  //
    22, 24, 25, 27, 28, 30, 32, 33,  //
    24, 25, 27, 28, 30, 32, 33, 35,
};

void Kavrel_decode_scaling_list(SyntaxState* handle, uint8_t* dest, int size, const uint8_t* default_list,
                                const uint8_t* fallback_list, int32_t* present_flag_out) {
    if (size != 16 && size != 64) return;
    BitReader& r = handle->reader;
    const int32_t present = read_bit(r);
    if (present_flag_out) *present_flag_out = present;
    if (present == 0) {
        std::memcpy(dest, fallback_list, static_cast<size_t>(size));
        return;
    }
    const uint8_t* scan = size == 16 ? kZigzag4x4 : kZigzag8x8;
    int32_t last = 8;
    int32_t next = 8;
    for (int k = 0; k < size; ++k) {
        if (next != 0) {
            next = (last + read_se(r)) & 0xff;
            if (k == 0 && next == 0) {  // useDefaultScalingMatrixFlag
                std::memcpy(dest, default_list, static_cast<size_t>(size));
                return;
            }
        }
        const int32_t value = next != 0 ? next : last;
        dest[scan[k]] = static_cast<uint8_t>(value);
        last = value;
    }
}

void decode_scaling_matrices(SyntaxState* handle, SeqParamSet* sps, PicParamSet* pps, int is_sps,
                             uint8_t (*lists_4x4)[16], uint8_t (*lists_8x8)[64]) {
    // Fall-back rule A (defaults) for an SPS, or for a PPS whose SPS has no
    // matrix; rule B (the SPS's own lists) otherwise.
    const bool rule_b = !is_sps && sps->seq_scaling_matrix_present_flag != 0;
    const uint8_t* fallback_intra4 = rule_b ? sps->scaling_list_4x4[0] : kDefault4x4Intra;
    const uint8_t* fallback_inter4 = rule_b ? sps->scaling_list_4x4[3] : kDefault4x4Inter;
    const uint8_t* fallback_intra8 = rule_b ? sps->scaling_list_8x8[0] : kDefault8x8Intra;
    const uint8_t* fallback_inter8 = rule_b ? sps->scaling_list_8x8[1] : kDefault8x8Inter;

    // A PPS keeps its per-list flags itself, so that the SPS keeps what it read.
    int32_t unused_flags[8];
    int32_t* flags = is_sps ? sps->scaling_list_present_flag : (pps ? pps->scaling_list_present_flag : unused_flags);

    const int32_t matrix_present = read_bit(handle->reader);
    if (!is_sps && pps) pps->pic_scaling_matrix_present_flag = matrix_present;

    if (matrix_present == 0) {
        if (rule_b) {
            std::memcpy(lists_4x4, sps->scaling_list_4x4, sizeof sps->scaling_list_4x4);
            std::memcpy(lists_8x8, sps->scaling_list_8x8, sizeof sps->scaling_list_8x8);
        }
        return;
    }
    if (is_sps) sps->seq_scaling_matrix_present_flag = 1;

    for (int i = 0; i < 6; ++i) {
        const uint8_t* default_list = i < 3 ? kDefault4x4Intra : kDefault4x4Inter;
        const uint8_t* fallback = i == 0 ? fallback_intra4 : i == 3 ? fallback_inter4 : lists_4x4[i - 1];
        Kavrel_decode_scaling_list(handle, lists_4x4[i], 16, default_list, fallback, &flags[i]);
    }
    if (!is_sps && pps && pps->transform_8x8_mode_flag == 0) return;
    Kavrel_decode_scaling_list(handle, lists_8x8[0], 64, kDefault8x8Intra, fallback_intra8, &flags[6]);
    Kavrel_decode_scaling_list(handle, lists_8x8[1], 64, kDefault8x8Inter, fallback_inter8, &flags[7]);
}

}  // namespace kavrel
