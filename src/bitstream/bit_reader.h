// Bit reader over one RBSP: fixed-width fields, flags and the Exp-Golomb
// codes ue(v)/se(v) of ITU-T H.264 clause 9.1.
//
// Reads past the data never fault: they keep counting, so parsers compare
// bit_pos with bit_count where they care. The *_code reads state it when
// they find no value (a Code); read_flag gives 1 there. No byte at or
// beyond `limit` is ever touched; such bytes read as zero.
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

// What a read gave: its value, or why there is none.
template <class T>
struct CodeOf {
    T value;         // 0 when there is none
    bool past_data;  // the data had ended before it
    bool too_long;   // an Exp-Golomb code longer than the read takes (stepped over)
    bool ok() const { return !past_data && !too_long; }
    // The value, or `none` where there is none.
    T or_else(T none) const { return ok() ? value : none; }
};
using Code = CodeOf<int32_t>;
using LongCode = CodeOf<int64_t>;

// u(n), 1 <= n <= 32 (u(32) as its bit pattern); always advances n.
inline Code read_u_code(BitReader& r, int n) {
    uint64_t w;
    const bool have = bit_reader_detail::window64(r, w);
    r.bit_pos += n;
    if (!have) return {0, true, false};
    const uint32_t top = static_cast<uint32_t>(w >> 32);
    return {static_cast<int32_t>(n >= 32 ? top : top >> (32 - n)), false, false};
}

// u(1) of a flag: 0 or 1, and 1 where the data has ended (a flag the data
// ended before counts as set); always advances 1.
inline int32_t read_flag(BitReader& r) {
    const Code c = read_u_code(r, 1);
    return c.past_data ? 1 : c.value;
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

// ue(v): 0..65534. Past the data nothing advances; a code of 16 or more
// leading zeros is too long and stepped over.
inline Code read_ue_code(BitReader& r) {
    const int32_t code = bit_reader_detail::read_code_num(r);
    if (code >= 0) return {code, false, false};
    return {0, code == bit_reader_detail::kPastData, code == bit_reader_detail::kTooLong};
}

// se(v): -32767..32767, as read_ue_code.
inline Code read_se_code(BitReader& r) {
    Code c = read_ue_code(r);
    const int32_t v = c.value + 1;
    if (c.ok()) c.value = (v & 1) ? -(v >> 1) : (v >> 1);
    return c;
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
// read_ue_long_code: codeNum. Past the data nothing advances; 32 or more
// leading zeros are too long (63 bits advanced).
inline LongCode read_ue_long_code(BitReader& r) {
    uint64_t w;
    if (!bit_reader_detail::window64(r, w)) return {0, true, false};
    const int k = __builtin_clzll(w | 1);
    if (2 * k + 1 > bit_reader_detail::window64_bits(r)) [[unlikely]] {
        const bit_reader_detail::FullCode c = bit_reader_detail::exp_golomb_full(r);
        r.bit_pos += c.length;
        if (c.value < 0) return {0, false, true};
        return {c.value, false, false};
    }
    r.bit_pos += 2 * k + 1;
    return {static_cast<int64_t>(w >> (63 - 2 * k)) - 1, false, false};
}

// read_se_long_code: the se(v) value of that codeNum, as read_ue_long_code.
inline LongCode read_se_long_code(BitReader& r) {
    LongCode c = read_ue_long_code(r);
    if (c.ok()) c.value = (c.value & 1) ? (c.value + 1) / 2 : -(c.value / 2);
    return c;
}

}  // namespace kavrel
