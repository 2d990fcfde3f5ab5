// Scaling matrices of the SPS and PPS: scaling_list() (ITU-T H.264 clause
// 7.3.2.1.1.1) read and written as coded, the default tables (Tables 7-3,
// 7-4) and the lists in force under the fall-back rules A and B of Table 7-2.
#include "syntax/scaling_list.h"

#include <cstring>

#include "bitstream/bit_reader.h"
#include "bitstream/bit_writer.h"
#include "syntax/pic_param_set.h"
#include "syntax/seq_param_set.h"
#include "syntax/syntax_messages.h"

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

// What a delta_scale the data ended before counts as: nextScale one below
// the last.
constexpr int32_t kDeltaPastData = -1;

// Delta k of list i.
int32_t scaling_delta(const CodedScalingLists& c, int i, int k) {
    if (k >= c.delta_count[i] - c.deltas_past_data[i]) return kDeltaPastData;
    return i < 6 ? c.delta_scale_4x4[i][k] : c.delta_scale_8x8[i - 6][k];
}

// One scaling_list() after its present flag: the delta_scale values up to
// the one that makes nextScale 0, or all `size`. Returns how many; `past`
// counts those the data ended before (the last ones, as it never resumes).
uint8_t read_scaling_list(BitReader& r, int size, int8_t* deltas, uint8_t& past) {
    int32_t last = 8;
    for (int k = 0; k < size; ++k) {
        const Code c = read_se_code(r);  // 0 for a code too long
        past = static_cast<uint8_t>(past + (c.past_data ? 1 : 0));
        const int32_t delta = c.past_data ? kDeltaPastData : c.value;
        deltas[k] = static_cast<int8_t>(c.past_data ? 0 : delta);  // modulo 256, as nextScale takes it
        const int32_t next = (last + delta) & 0xff;
        if (next == 0) return static_cast<uint8_t>(k + 1);
        last = next;
    }
    return static_cast<uint8_t>(size);
}

// One coded list in raster order: its values (the last one repeated after
// a delta that gives 0), or `default_list` when the first delta gives 0.
void expand_list(const CodedScalingLists& c, int i, int size, const uint8_t* default_list, uint8_t* dest) {
    const uint8_t* scan = size == 16 ? kZigzag4x4 : kZigzag8x8;
    int32_t last = 8;
    for (int k = 0; k < size; ++k) {
        const int32_t next = k < c.delta_count[i] ? (last + scaling_delta(c, i, k)) & 0xff : 0;
        if (k == 0 && next == 0) {
            std::memcpy(dest, default_list, static_cast<size_t>(size));
            return;
        }
        if (next != 0) last = next;
        dest[scan[k]] = static_cast<uint8_t>(last);
    }
}

// The lists of one matrix; `fallback` gives those of lists 0, 3, 6 and 7
// when absent (lists 1, 2, 4, 5 take the list before them).
void expand_matrix(const CodedScalingLists& c, int lists, const uint8_t* const* fallback, uint8_t (*l4)[16],
                   uint8_t (*l8)[64]) {
    for (int i = 0; i < 6; ++i) {
        if (c.present_flag[i] != 0) {
            expand_list(c, i, 16, i < 3 ? kDefault4x4Intra : kDefault4x4Inter, l4[i]);
        } else {
            std::memcpy(l4[i], i % 3 == 0 ? fallback[i / 3] : l4[i - 1], 16);
        }
    }
    for (int i = 0; i < 2; ++i) {
        if (6 + i < lists && c.present_flag[6 + i] != 0) {
            expand_list(c, 6 + i, 64, i == 0 ? kDefault8x8Intra : kDefault8x8Inter, l8[i]);
        } else {
            std::memcpy(l8[i], fallback[2 + i], 64);
        }
    }
}

}  // namespace

int32_t read_scaling_matrix(BitReader& r, int lists, CodedScalingLists& out) {
    // A flag the data ended before is 1: the lists are then read, and
    // written back, as present.
    if (read_flag(r) == 0) return 0;
    for (int i = 0; i < lists; ++i) {
        out.present_flag[i] = read_flag(r);
        if (out.present_flag[i] == 0) continue;
        out.deltas_past_data[i] = 0;
        out.delta_count[i] = i < 6 ? read_scaling_list(r, 16, out.delta_scale_4x4[i], out.deltas_past_data[i])
                                   : read_scaling_list(r, 64, out.delta_scale_8x8[i - 6], out.deltas_past_data[i]);
    }
    return 1;
}

void write_scaling_matrix(Bitstream& s, int32_t present, int lists, const CodedScalingLists& coded) {
    put_bits(&s, present != 0 ? 1 : 0, 1);
    if (present == 0) return;
    for (int i = 0; i < lists; ++i) {
        put_bits(&s, coded.present_flag[i] != 0 ? 1 : 0, 1);
        if (coded.present_flag[i] == 0) continue;
        for (int k = 0; k < coded.delta_count[i]; ++k) put_se(&s, scaling_delta(coded, i, k));
    }
}

void scaling_list_values(const SeqParamSet& sps, const PicParamSet* pps, uint8_t (*lists_4x4)[16],
                         uint8_t (*lists_8x8)[64]) {
    static const uint8_t* const kDefaults[4] = {kDefault4x4Intra, kDefault4x4Inter, kDefault8x8Intra,
                                                kDefault8x8Inter};
    const bool seq_matrix = sps.seq_scaling_matrix_present_flag != 0;
    if (seq_matrix) {
        expand_matrix(sps.scaling_lists, 8, kDefaults, lists_4x4, lists_8x8);  // rule A
    } else {
        std::memset(lists_4x4, 16, 6 * 16);
        std::memset(lists_8x8, 16, 2 * 64);
    }
    if (pps == nullptr || pps->pic_scaling_matrix_present_flag == 0) return;  // the SPS's lists hold
    uint8_t seq_4x4[6][16], seq_8x8[2][64];
    std::memcpy(seq_4x4, lists_4x4, sizeof seq_4x4);
    std::memcpy(seq_8x8, lists_8x8, sizeof seq_8x8);
    const uint8_t* const rule_b[4] = {seq_4x4[0], seq_4x4[3], seq_8x8[0], seq_8x8[1]};
    expand_matrix(pps->scaling_lists, pps->transform_8x8_mode_flag != 0 ? 8 : 6, seq_matrix ? rule_b : kDefaults,
                  lists_4x4, lists_8x8);
}

}  // namespace kavrel
