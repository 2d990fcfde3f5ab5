#include "bitstream/bit_reader.h"

#include <cstring>

#include "bitstream/nal_unit.h"

namespace kavrel {

namespace {

// The bytes from `start` that may be loaded as they are (BitReader::direct).
int32_t direct_bytes(const BitReader& r) {
    int32_t n = bit_reader_detail::loadable_bytes(r);
    if (r.source && r.source->ready < n) n = r.source->ready;
    return n;
}

// Makes the byte at `idx` and the next `more` bytes readable where the
// RBSP is unescaped on demand.
inline void make_ready(BitReader& r, int32_t idx, int32_t more) {
    if (r.source && idx + more > r.source->ready) {
        rbsp_fill(*r.source, idx + more);
        r.direct = direct_bytes(r);
    }
}

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

}  // namespace

namespace bit_reader_detail {

// Eight bytes from the byte holding bit_pos: as they are where they may be
// loaded so, else byte by byte, those past the readable ones (the bytes up
// to and including the one at `end`, none at or past `limit`) as zero.
bool refill(BitReader& r, uint64_t& w) {
    if (bytes_left(r) < 0) return false;
    const int32_t first = r.bit_pos >> 3;
    uint64_t c = 0;
    if (first + 8 <= r.direct) {
        c = load_be64(r.start + first);
    } else {
        make_ready(r, first, 8);
        const int32_t avail = loadable_bytes(r);
        for (int32_t idx = first; idx < first + 8; ++idx) c = (c << 8) | (idx < avail ? r.start[idx] : 0u);
    }
    r.cache = c;
    r.cache_pos = first * 8;
    // Reads may start in the first 33 bits (so that 32 lie behind them), but
    // not past the data.
    const int32_t before_end = (static_cast<int32_t>(r.end - r.start) + 1) * 8 - r.cache_pos;
    r.cache_reach = static_cast<uint32_t>(before_end < 33 ? before_end : 33);
    w = c << (r.bit_pos & 7);
    return true;
}

int32_t read_ue_window(BitReader& r, uint32_t w) {
    if (w == 0) {
        r.bit_pos += 63;
        return -1;
    }
    const int k = __builtin_clz(w);
    r.bit_pos += 2 * k + 1;
    if (k >= 16) return -1;
    return static_cast<int32_t>((w >> (31 - 2 * k)) - 1);
}

int32_t read_se_window(BitReader& r, uint32_t w) {
    if (w == 0) {
        r.bit_pos += 63;
        return 0;
    }
    const int k = __builtin_clz(w);
    r.bit_pos += 2 * k + 1;
    if (k >= 16) return 0;
    const int32_t v = static_cast<int32_t>(w >> (31 - 2 * k));  // codeNum + 1
    return (v & 1) ? -(v >> 1) : (v >> 1);
}

void skip_ue_window(BitReader& r, uint32_t w) { r.bit_pos += w == 0 ? 63 : 2 * __builtin_clz(w) + 1; }

// Decodes the code at r.bit_pos in full, counting its leading zeros bit by
// bit so that a code reaching beyond any window is still read right (bits
// past the data read as zero). Returns the codeNum, or -1 for 32 or more
// leading zeros (which, like an all-zero window, advances 63 bits).
int64_t read_exp_golomb_full(BitReader& r) {
    const int32_t pos = r.bit_pos;
    BitReader bits = r;
    int k = 0;
    while (k < 32 && read_bit(bits) != 1) ++k;
    if (k >= 32) {
        r.bit_pos = pos + 63;
        return -1;
    }
    uint64_t info = 0;
    for (int i = 0; i < k; ++i) {
        const int32_t bit = read_bit(bits);
        info = (info << 1) | static_cast<uint64_t>(bit < 0 ? 0 : bit);
    }
    r.bit_pos = pos + 2 * k + 1;
    return static_cast<int64_t>((uint64_t{1} << k) - 1 + info);
}

}  // namespace bit_reader_detail

void bit_reader_attach(BitReader& r, RbspSource* source) {
    r.source = source;
    r.direct = direct_bytes(r);
    r.cache_reach = 0;
}

}  // namespace kavrel
