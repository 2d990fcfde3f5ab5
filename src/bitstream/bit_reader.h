// Bit reader over one RBSP: fixed-width fields, flags and the Exp-Golomb
// codes ue(v)/se(v) of ITU-T H.264 clause 9.1.
//
// Reads past the data never fault: they yield -1 (or 0, see read_se) and keep
// counting, so parsers compare bit_pos with bit_count where they care. No
// byte at or beyond `limit` is ever touched; such bytes read as zero.
#pragma once

#include <cstdint>

namespace kavrel {

struct RbspSource;

struct BitReader {
    const uint8_t* start = nullptr;  // first RBSP byte
    const uint8_t* end = nullptr;    // start + (bit_count + 7) / 8
    int32_t bit_pos = 0;             // next bit to read; bit 0 = MSB of start[0]
    int32_t bit_count = 0;           // RBSP bits before the rbsp_stop_one_bit
    const uint8_t* limit = nullptr;  // first byte that must not be read
    // When set, the RBSP is unescaped on demand: bytes from source->ready
    // on are written there before they are read (nal_unit.h).
    RbspSource* source = nullptr;
};

// Points `r` at an RBSP of `rbsp_len` valid bytes with `bit_count` syntax bits.
void bit_reader_init(BitReader& r, const uint8_t* rbsp, int32_t rbsp_len, int32_t bit_count);

// u(n), 1 <= n <= 32 (callers keep n <= 16). -1 past the data; always advances n.
int32_t read_bits(BitReader& r, int n);
// u(1): 0 or 1, -1 past the data; always advances 1.
int32_t read_bit(BitReader& r);
// ue(v): 0..65534, or -1 (past the data: no advance; 16+ leading zeros: advances the code).
int32_t read_ue(BitReader& r);
// se(v): value, or -1 past the data (no advance); 0 for codes with 16+ leading zeros.
int32_t read_se(BitReader& r);
// Skips one ue(v); past the data, bit_pos becomes size * 8.
void skip_ue(BitReader& r);

// Full-range variants for values that are only stored so that a structure
// can be written back exactly as it was read (HRD rates, POC offsets). They
// advance exactly as read_ue/read_se do, but decode every info bit, also of
// codes with 16 to 31 leading zeros (bits past the data read as zero).
// read_ue_long: codeNum, or -1 where read_ue gives -1 for lack of data.
int64_t read_ue_long(BitReader& r);
// read_se_long: the se(v) value of that codeNum, -1 past the data, 0 for an
// all-zero window.
int64_t read_se_long(BitReader& r);

// Bytes from the byte holding bit_pos up to `end` (negative past the data).
inline int32_t bytes_left(const BitReader& r) {
    return static_cast<int32_t>(r.end - r.start) - (r.bit_pos >> 3);
}

}  // namespace kavrel
