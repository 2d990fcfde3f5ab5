// Bit reader over one RBSP: fixed-width fields, flags and the Exp-Golomb
// codes ue(v)/se(v) of ITU-T H.264 clause 9.1.
//
// Reads past the data never fault: read_flag gives 1, the other reads -1
// (or 0, see read_se), and they keep counting, so parsers compare bit_pos
// with bit_count, or ask past_data before a read, where they care. No byte
// at or beyond `limit` is ever touched; such bytes read as zero.
//
// Reads come from a 64-bit cache of the RBSP bits at a byte boundary: while
// bit_pos lies in its first 33 bits (and not past the data), a read is a
// shift and, for ue(v)/se(v), a count of leading zeros. Otherwise it is
// loaded again (one 8-byte load where the bytes may be read as they are).
// bit_pos stays the one state parsers see: they may move it freely.
#pragma once

#include <cstdint>
#include <cstring>

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
    // source only those already unescaped.
    int32_t direct = 0;
    // The 64 bits from bit cache_pos (a byte boundary), bytes past the
    // readable ones as zero; it serves reads at bit_pos from cache_pos to
    // cache_pos + cache_reach - 1 (cache_reach 0: empty).
    uint64_t cache = 0;
    int32_t cache_pos = 0;
    uint32_t cache_reach = 0;
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
    r.cache_reach = 0;
}
// Has `r` (just pointed at source->rbsp) unescape its bytes on demand; null
// reads the buffer as it is.
void bit_reader_attach(BitReader& r, RbspSource* source);

// Bytes from the byte holding bit_pos up to `end` (negative past the data).
inline int32_t bytes_left(const BitReader& r) {
    return static_cast<int32_t>(r.end - r.start) - (r.bit_pos >> 3);
}

// Whether the data has ended before bit_pos: a read from here on finds no
// data (the reads below then give what they say for that case). Readers
// that keep a value in a record ask this before the read, so that the
// record states it rather than holding a value no element can have.
inline bool past_data(const BitReader& r) { return bytes_left(r) < 0; }

namespace bit_reader_detail {

// Loads the cache at the byte holding bit_pos and gives the window as
// window64 does; not `loaded` (nothing loaded) when bit_pos lies past the data.
struct Refill {
    uint64_t w;
    bool loaded;
};
Refill refill(BitReader& r);

// Eight bytes from p, the first one on top.
inline uint64_t load_be64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return v;
#else
    return __builtin_bswap64(v);
#endif
}

// The bits from bit_pos on into `w`, top bit first: at least 32 of them
// are the RBSP's (zeros past its readable bytes), the rest too where the
// cache holds them. False when bit_pos lies past the data.
inline bool window64(BitReader& r, uint64_t& w) {
    const uint32_t off = static_cast<uint32_t>(r.bit_pos - r.cache_pos);
    if (off < r.cache_reach) [[likely]] {
        w = r.cache << off;
        return true;
    }
    const int32_t first = r.bit_pos >> 3;
    if (first + 8 <= r.direct) [[likely]] {
        // Eight bytes that may be loaded as they are, and all before the
        // data's end (direct is at most one byte past it): 33 bits of reach.
        r.cache = load_be64(r.start + first);
        r.cache_pos = first * 8;
        r.cache_reach = 33;
        w = r.cache << (r.bit_pos & 7);
        return true;
    }
    const Refill got = refill(r);
    w = got.w;
    return got.loaded;
}

// Bits of the RBSP at the top of a window64 result (64 - offset in the cache).
inline int window64_bits(const BitReader& r) { return 64 - (r.bit_pos - r.cache_pos); }

// The code at bit_pos read a bit at a time (r is a copy): its codeNum over
// the whole 32-bit range, or -1 for 32 or more leading zeros, which
// advance 63 bits. Bits past the data read as zero.
struct FullCode {
    int64_t value;
    int32_t length;  // bits to advance
};
FullCode exp_golomb_full(BitReader r);

// Codes of up to 11 leading zeros (23 bits) lie in the 33 bits a cached
// read always has at bit_pos; longer ones are read a bit at a time.
constexpr int kShortCode = 11;

}  // namespace bit_reader_detail

// u(n), 1 <= n <= 32: -1 past the data; always advances n.
inline int32_t read_bits(BitReader& r, int n) {
    uint64_t w;
    if (!bit_reader_detail::window64(r, w)) {
        r.bit_pos += n;
        return -1;
    }
    const uint32_t top = static_cast<uint32_t>(w >> 32);
    r.bit_pos += n;
    return static_cast<int32_t>(n >= 32 ? top : top >> (32 - n));
}

// u(1): 0 or 1, -1 past the data; always advances 1.
inline int32_t read_bit(BitReader& r) {
    uint64_t w;
    if (!bit_reader_detail::window64(r, w)) {
        r.bit_pos += 1;
        return -1;
    }
    r.bit_pos += 1;
    return static_cast<int32_t>(w >> 63);
}

// u(1) of a flag: 0 or 1, and 1 where the data has ended (a flag the data
// ended before counts as set); always advances 1.
inline int32_t read_flag(BitReader& r) {
    uint64_t w;
    const bool have = bit_reader_detail::window64(r, w);
    r.bit_pos += 1;
    return have ? static_cast<int32_t>(w >> 63) : 1;
}

// Exp-Golomb (clause 9.1): k leading zeros, a one, k info bits; codeNum =
// 2^k - 1 + info. Every code of up to 31 leading zeros is stepped over
// exactly; 32 or more advance 63 bits. ue(v) and se(v) give values of up to
// 15 leading zeros (the range the syntax elements read with them have).

namespace bit_reader_detail {
constexpr int32_t kPastData = -1;
constexpr int32_t kTooLong = -2;  // 16 or more leading zeros: no value
// codeNum of the next code (0..65534), kTooLong (advancing the code) or
// kPastData (no advance).
inline int32_t read_code_num(BitReader& r) {
    uint64_t w;
    if (!window64(r, w)) return kPastData;
    const int k = __builtin_clzll(w | 1);
    if (k > kShortCode) [[unlikely]] {
        const FullCode c = exp_golomb_full(r);
        r.bit_pos += c.length;
        return c.value >= 0 && c.value <= 65534 ? static_cast<int32_t>(c.value) : kTooLong;
    }
    r.bit_pos += 2 * k + 1;
    return static_cast<int32_t>(w >> (63 - 2 * k)) - 1;
}
}  // namespace bit_reader_detail

// ue(v): 0..65534, or -1 (past the data: no advance; 16+ leading zeros: advances the code).
inline int32_t read_ue(BitReader& r) {
    const int32_t code = bit_reader_detail::read_code_num(r);
    return code < 0 ? -1 : code;
}

// se(v): -32767..32767, or -1 past the data (no advance); 0 for codes with 16+ leading zeros.
inline int32_t read_se(BitReader& r) {
    const int32_t code = bit_reader_detail::read_code_num(r);
    if (code < 0) return code == bit_reader_detail::kPastData ? -1 : 0;
    const int32_t v = code + 1;
    return (v & 1) ? -(v >> 1) : (v >> 1);
}

// Skips one ue(v); past the data, bit_pos becomes size * 8.
inline void skip_ue(BitReader& r) {
    uint64_t w;
    if (!bit_reader_detail::window64(r, w)) {
        r.bit_pos = static_cast<int32_t>(r.end - r.start) * 8;
        return;
    }
    const int k = __builtin_clzll(w | 1);
    if (k > bit_reader_detail::kShortCode) [[unlikely]] {
        r.bit_pos += bit_reader_detail::exp_golomb_full(r).length;
        return;
    }
    r.bit_pos += 2 * k + 1;
}

// Full-range variants for values that are only stored so that a structure
// can be written back exactly as it was read (HRD rates, POC offsets), and
// for the few that may exceed 65534: every info bit of codes with up to 31
// leading zeros (bits past the data read as zero).
// read_ue_long: codeNum, or -1 where read_ue gives -1 for lack of data.
inline int64_t read_ue_long(BitReader& r) {
    uint64_t w;
    if (!bit_reader_detail::window64(r, w)) return -1;
    const int k = __builtin_clzll(w | 1);
    if (2 * k + 1 > bit_reader_detail::window64_bits(r)) [[unlikely]] {
        const bit_reader_detail::FullCode c = bit_reader_detail::exp_golomb_full(r);
        r.bit_pos += c.length;
        return c.value;
    }
    r.bit_pos += 2 * k + 1;
    return static_cast<int64_t>(w >> (63 - 2 * k)) - 1;
}

// read_se_long: the se(v) value of that codeNum, -1 past the data, 0 for an
// all-zero window.
inline int64_t read_se_long(BitReader& r) {
    if (bytes_left(r) < 0) return -1;
    const int64_t code = read_ue_long(r);
    if (code < 0) return 0;
    return (code & 1) ? (code + 1) / 2 : -(code / 2);
}

}  // namespace kavrel
