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
    // Bytes from `start` that may be loaded as they are: the bytes up to
    // and including the one at `end`, none at or past `limit`, and with a
    // source only those already unescaped. A read whose bytes all lie below
    // it takes the inline path; the others go through the out-of-line one,
    // which unescapes more and moves it on.
    int32_t direct = 0;
};

namespace bit_reader_detail {
// The bytes up to and including the one at `end`, but none at or past `limit`.
inline int32_t loadable_bytes(const BitReader& r) {
    const int32_t size = static_cast<int32_t>(r.end - r.start);
    const int32_t valid = static_cast<int32_t>(r.limit - r.start);
    return size + 1 < valid ? size + 1 : valid;
}
}  // namespace bit_reader_detail

// Points `r` at an RBSP of `rbsp_len` valid bytes with `bit_count` syntax bits.
inline void bit_reader_init(BitReader& r, const uint8_t* rbsp, int32_t rbsp_len, int32_t bit_count) {
    r.start = rbsp;
    r.end = rbsp + (bit_count + 7) / 8;
    r.bit_pos = 0;
    r.bit_count = bit_count;
    r.limit = rbsp + rbsp_len;
    r.source = nullptr;
    r.direct = bit_reader_detail::loadable_bytes(r);
}
// Has `r` (just pointed at source->rbsp) unescape its bytes on demand; null
// reads the buffer as it is.
void bit_reader_attach(BitReader& r, RbspSource* source);

namespace bit_reader_detail {

// The 32-bit window whose top bit is the next bit to read, where it cannot
// be loaded inline (near the end of the data, or unescaped on demand).
uint32_t load_window_slow(BitReader& r);
int32_t read_bit_slow(BitReader& r);

// Can the four window bytes at bit_pos be loaded as they are? (Then the
// data does not end before them either.)
inline bool window_direct(const BitReader& r) { return (r.bit_pos >> 3) + 4 <= r.direct; }

// The window at bit_pos where window_direct holds: four bytes from the byte
// holding bit_pos, most significant first, shifted so that its top bit is
// the next bit.
inline uint32_t load_window_direct(const BitReader& r) {
    const uint8_t* b = r.start + (r.bit_pos >> 3);
    const uint32_t w = (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
                       (static_cast<uint32_t>(b[2]) << 8) | b[3];
    return w << (r.bit_pos & 7);
}

}  // namespace bit_reader_detail

// Bytes from the byte holding bit_pos up to `end` (negative past the data).
inline int32_t bytes_left(const BitReader& r) {
    return static_cast<int32_t>(r.end - r.start) - (r.bit_pos >> 3);
}

// The 32-bit window at bit_pos into `w`; false when bit_pos lies past the data.
inline bool load_window(BitReader& r, uint32_t& w) {
    if (bit_reader_detail::window_direct(r)) [[likely]] {
        w = bit_reader_detail::load_window_direct(r);
        return true;
    }
    if (bytes_left(r) < 0) return false;
    w = bit_reader_detail::load_window_slow(r);
    return true;
}

// u(n), 1 <= n <= 32 (callers keep n <= 16). -1 past the data; always advances n.
inline int32_t read_bits(BitReader& r, int n) {
    uint32_t w;
    if (!load_window(r, w)) {
        r.bit_pos += n;
        return -1;
    }
    r.bit_pos += n;
    return static_cast<int32_t>(n >= 32 ? w : w >> (32 - n));
}

// u(1): 0 or 1, -1 past the data; always advances 1.
inline int32_t read_bit(BitReader& r) {
    const int32_t idx = r.bit_pos >> 3;
    if (static_cast<uint32_t>(idx) >= static_cast<uint32_t>(r.direct)) [[unlikely]] {
        return bit_reader_detail::read_bit_slow(r);
    }
    const int32_t bit = (r.start[idx] >> (7 - (r.bit_pos & 7))) & 1;
    r.bit_pos += 1;
    return bit;
}

// Exp-Golomb (clause 9.1): k leading zeros, a one, k info bits; codeNum =
// 2^k - 1 + info. A code longer than the window's meaningful bits is decoded
// from what the window holds (its lowest info bits read as zero). An
// all-zero window advances 63 bits; k >= 16 gives no value.

// ue(v): 0..65534, or -1 (past the data: no advance; 16+ leading zeros: advances the code).
inline int32_t read_ue(BitReader& r) {
    uint32_t w;
    if (!load_window(r, w)) return -1;
    if (w == 0) [[unlikely]] {
        r.bit_pos += 63;
        return -1;
    }
    const int k = __builtin_clz(w);
    r.bit_pos += 2 * k + 1;
    if (k >= 16) [[unlikely]] return -1;
    return static_cast<int32_t>((w >> (31 - 2 * k)) - 1);
}

// se(v): value, or -1 past the data (no advance); 0 for codes with 16+ leading zeros.
inline int32_t read_se(BitReader& r) {
    uint32_t w;
    if (!load_window(r, w)) return -1;
    if (w == 0) [[unlikely]] {
        r.bit_pos += 63;
        return 0;
    }
    const int k = __builtin_clz(w);
    r.bit_pos += 2 * k + 1;
    if (k >= 16) [[unlikely]] return 0;
    const int32_t v = static_cast<int32_t>(w >> (31 - 2 * k));  // codeNum + 1
    return (v & 1) ? -(v >> 1) : (v >> 1);
}

// Skips one ue(v); past the data, bit_pos becomes size * 8.
inline void skip_ue(BitReader& r) {
    uint32_t w;
    if (!load_window(r, w)) {
        r.bit_pos = static_cast<int32_t>(r.end - r.start) * 8;
        return;
    }
    r.bit_pos += w == 0 ? 63 : 2 * __builtin_clz(w) + 1;
}

// Full-range variants for values that are only stored so that a structure
// can be written back exactly as it was read (HRD rates, POC offsets). They
// advance exactly as read_ue/read_se do, but decode every info bit, also of
// codes with 16 to 31 leading zeros (bits past the data read as zero).
// read_ue_long: codeNum, or -1 where read_ue gives -1 for lack of data.
int64_t read_ue_long(BitReader& r);
// read_se_long: the se(v) value of that codeNum, -1 past the data, 0 for an
// all-zero window.
int64_t read_se_long(BitReader& r);

}  // namespace kavrel
