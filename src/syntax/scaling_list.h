// Scaling matrices of the SPS and PPS (ITU-T H.264 clause 7.3.2.1.1.1),
// kept as coded so that a set is written back bit for bit, and the lists in
// force (7.4.2.1.1.1, Table 7-2) derived from them on demand.
#pragma once

#include <cstdint>

namespace kavrel {

struct BitReader;
struct Bitstream;
struct SeqParamSet;
struct PicParamSet;

// Lists 0..5 are 4x4 (16 entries), 6 and 7 are 8x8 (64 entries).
struct CodedScalingLists {
    // seq_/pic_scaling_list_present_flag[i], 0 or 1; one the data ended
    // before is 1, and its list is written back with it.
    int32_t present_flag[8];
    // delta_scale values as read, in zig-zag order, up to the one that made
    // nextScale 0 (useDefaultScalingMatrixFlag when it is the first, else
    // the last value repeats to the end); 0 for an absent list. A value
    // outside -128..127 is kept modulo 256, which decodes the same.
    uint8_t delta_count[8];
    // How many of the last delta_count deltas the data ended before: they
    // hold 0 and count as -1 (scaling_delta()), also when written back.
    uint8_t deltas_past_data[8];
    int8_t delta_scale_4x4[6][16];
    int8_t delta_scale_8x8[2][64];
};

// The matrix-present flag and the lists it announces: `lists` is 8, or 6
// for a PPS whose transform_8x8_mode_flag is 0. Returns the flag read, 0
// or 1 (a flag the data ended before counts as set).
int32_t read_scaling_matrix(BitReader& r, int lists, CodedScalingLists& out);
void write_scaling_matrix(Bitstream& s, int32_t present, int lists, const CodedScalingLists& coded);

// The lists in force, in raster order: the SPS's own when `pps` is null,
// else the picture's under that SPS (fall-back rule A of Table 7-2 when the
// SPS has no matrix, rule B otherwise). Flat_4x4_16 / Flat_8x8_16 when
// neither set has a matrix.
void scaling_list_values(const SeqParamSet& sps, const PicParamSet* pps, uint8_t (*lists_4x4)[16],
                         uint8_t (*lists_8x8)[64]);

// Default scaling tables (Tables 7-3, 7-4) in raster order, and the zig-zag
// frame scans as raster positions.
extern const uint8_t kDefault4x4Intra[16];
extern const uint8_t kDefault4x4Inter[16];
extern const uint8_t kDefault8x8Intra[64];
extern const uint8_t kDefault8x8Inter[64];
extern const uint8_t kZigzag4x4[16];
extern const uint8_t kZigzag8x8[64];

}  // namespace kavrel
