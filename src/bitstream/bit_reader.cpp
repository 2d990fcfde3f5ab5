#include "bitstream/bit_reader.h"

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

}  // namespace

namespace bit_reader_detail {

// Eight bytes from the byte holding bit_pos where they may not all be
// loaded as they are (window64 loads the others): unescaped first where
// need be, those past the readable ones (the bytes up to and including the
// one at `end`, none at or past `limit`) as zero.
Refill refill(BitReader& r) {
    if (bytes_left(r) < 0) return {0, false};
    const int32_t first = r.bit_pos >> 3;
    make_ready(r, first, 8);
    const int32_t avail = loadable_bytes(r);
    uint64_t c = 0;
    for (int32_t idx = first; idx < first + 8; ++idx) c = (c << 8) | (idx < avail ? r.start[idx] : 0u);
    r.cache = c;
    r.cache_pos = first * 8;
    // Reads may start in the first 33 bits (so that 32 lie behind them), but
    // not past the data.
    const int32_t before_end = (static_cast<int32_t>(r.end - r.start) + 1) * 8 - r.cache_pos;
    r.cache_reach = static_cast<uint32_t>(before_end < 33 ? before_end : 33);
    return {c << (r.bit_pos & 7), true};
}

// Counts the leading zeros bit by bit, so that a code reaching beyond any
// window is still read right (bits past the data read as zero). The
// codeNum, or -1 for 32 or more leading zeros (which, like an all-zero
// window, advances 63 bits).
FullCode exp_golomb_full(BitReader r) {
    int k = 0;
    while (k < 32 && read_u_code(r, 1).value != 1) ++k;  // a bit past the data has value 0
    if (k >= 32) return {-1, 63};
    uint64_t info = 0;
    for (int i = 0; i < k; ++i) info = (info << 1) | static_cast<uint64_t>(read_u_code(r, 1).value);
    return {static_cast<int64_t>((uint64_t{1} << k) - 1 + info), 2 * k + 1};
}

}  // namespace bit_reader_detail

void bit_reader_attach(BitReader& r, RbspSource* source) {
    r.source = source;
    r.direct = direct_bytes(r);
    r.cache_reach = 0;
}

}  // namespace kavrel
