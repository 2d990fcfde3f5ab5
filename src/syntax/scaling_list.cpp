// Scaling matrices of the SPS and PPS: scaling_list() (ITU-T H.264 clause
// 7.3.2.1.1.1), the default tables (Tables 7-3, 7-4) and the fall-back rules
// A and B of Table 7-2.
#include <cstring>

#include "bitstream/bit_reader.h"
#include "bitstream/bit_writer.h"
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

namespace {

// One scaling_list() of `size` (16 or 64) entries into dest (raster order),
// after its present flag: the fall-back list when absent, the default one
// when the first delta gives 0 (useDefaultScalingMatrixFlag).
void read_scaling_list(BitReader& r, uint8_t* dest, int size, const uint8_t* default_list,
                       const uint8_t* fallback_list, int32_t* present_flag_out) {
    const int32_t present = read_bit(r);
    *present_flag_out = present;
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
            if (k == 0 && next == 0) {
                std::memcpy(dest, default_list, static_cast<size_t>(size));
                return;
            }
        }
        const int32_t value = next != 0 ? next : last;
        dest[scan[k]] = static_cast<uint8_t>(value);
        last = value;
    }
}

// The lists after a present matrix flag. `rule_b` takes the fall-back lists
// of Table 7-2 from `sps`, else from the defaults; the 8x8 lists only when
// `with_8x8`.
void read_scaling_lists(BitReader& r, const SeqParamSet& sps, bool rule_b, bool with_8x8, uint8_t (*lists_4x4)[16],
                        uint8_t (*lists_8x8)[64], int32_t* flags) {
    const uint8_t* fallback_intra4 = rule_b ? sps.scaling_list_4x4[0] : kDefault4x4Intra;
    const uint8_t* fallback_inter4 = rule_b ? sps.scaling_list_4x4[3] : kDefault4x4Inter;
    for (int i = 0; i < 6; ++i) {
        const uint8_t* default_list = i < 3 ? kDefault4x4Intra : kDefault4x4Inter;
        const uint8_t* fallback = i == 0 ? fallback_intra4 : i == 3 ? fallback_inter4 : lists_4x4[i - 1];
        read_scaling_list(r, lists_4x4[i], 16, default_list, fallback, &flags[i]);
    }
    if (!with_8x8) return;
    read_scaling_list(r, lists_8x8[0], 64, kDefault8x8Intra, rule_b ? sps.scaling_list_8x8[0] : kDefault8x8Intra,
                      &flags[6]);
    read_scaling_list(r, lists_8x8[1], 64, kDefault8x8Inter, rule_b ? sps.scaling_list_8x8[1] : kDefault8x8Inter,
                      &flags[7]);
}

// scaling_list() of one stored list (raster order). The reader keeps lists
// expanded, so every entry is written explicitly; a stored 0 (never produced
// by the reader) ends the list as the standard's repeat rule would.
void write_scaling_list(Bitstream& s, const uint8_t* list, int size) {
    const uint8_t* scan = size == 16 ? kZigzag4x4 : kZigzag8x8;
    int32_t last = 8;
    int32_t next = 8;
    for (int j = 0; j < size && next != 0; ++j) {
        const int32_t value = list[scan[j]];
        int32_t delta = value - last;
        if (delta > 127) delta -= 256;
        else if (delta < -128) delta += 256;
        put_se(&s, delta);
        next = value;
        if (next != 0) last = next;
    }
}

}  // namespace

void read_seq_scaling_matrix(BitReader& r, SeqParamSet& sps) {
    if (read_bit(r) == 0) return;  // seq_scaling_matrix_present_flag: the flat lists apply
    sps.seq_scaling_matrix_present_flag = 1;
    read_scaling_lists(r, sps, false, true, sps.scaling_list_4x4, sps.scaling_list_8x8,
                       sps.scaling_list_present_flag);
}

// The present flag and the lists it announces, each as kept (raster order).
static void write_scaling_matrix(Bitstream& s, int32_t present, int lists, const int32_t* flags,
                          const uint8_t (*lists_4x4)[16], const uint8_t (*lists_8x8)[64]) {
    put_bits(&s, present != 0 ? 1 : 0, 1);
    if (present == 0) return;
    for (int i = 0; i < lists; ++i) {
        put_bits(&s, flags[i] != 0 ? 1 : 0, 1);
        if (flags[i] == 0) continue;
        if (i < 6) write_scaling_list(s, lists_4x4[i], 16);
        else write_scaling_list(s, lists_8x8[i - 6], 64);
    }
}

void write_seq_scaling_matrix(Bitstream& s, const SeqParamSet& sps) {
    write_scaling_matrix(s, sps.seq_scaling_matrix_present_flag, 8, sps.scaling_list_present_flag,
                         sps.scaling_list_4x4, sps.scaling_list_8x8);
}

void write_pic_scaling_matrix(Bitstream& s, const PicParamSet& pps) {
    write_scaling_matrix(s, pps.pic_scaling_matrix_present_flag, pps.transform_8x8_mode_flag != 0 ? 8 : 6,
                         pps.scaling_list_present_flag, pps.scaling_list_4x4, pps.scaling_list_8x8);
}

void read_pic_scaling_matrix(BitReader& r, const SeqParamSet& sps, PicParamSet& pps) {
    // Fall-back rule A (defaults) when the SPS has no matrix, rule B (the
    // SPS's own lists) otherwise. The PPS keeps its per-list flags itself.
    const bool rule_b = sps.seq_scaling_matrix_present_flag != 0;
    pps.pic_scaling_matrix_present_flag = read_bit(r);
    if (pps.pic_scaling_matrix_present_flag == 0) {
        if (rule_b) {
            std::memcpy(pps.scaling_list_4x4, sps.scaling_list_4x4, sizeof sps.scaling_list_4x4);
            std::memcpy(pps.scaling_list_8x8, sps.scaling_list_8x8, sizeof sps.scaling_list_8x8);
        }
        return;
    }
    read_scaling_lists(r, sps, rule_b, pps.transform_8x8_mode_flag != 0, pps.scaling_list_4x4, pps.scaling_list_8x8,
                       pps.scaling_list_present_flag);
}

}  // namespace kavrel
