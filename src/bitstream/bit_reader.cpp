#include "bitstream/bit_reader.h"

#include "bitstream/nal_unit.h"

namespace kavrel {

namespace {

// Makes the byte at `idx` and the next `more` bytes readable where the
// RBSP is unescaped on demand.
inline void make_ready(const BitReader& r, int32_t idx, int32_t more) {
    if (r.source && idx + more > r.source->ready) rbsp_fill(*r.source, idx + more);
}

// The 32-bit window whose top bit is the next bit to read. Up to four bytes
// from the byte holding bit_pos, the last of them at most the byte at `end`
// (b < 3 near the end of the data); bytes at or past `limit` read as zero.
// Kept out of line: the common case below needs no stack frame.
[[gnu::noinline]] uint32_t load_window_near_end(const BitReader& r) {
    const int32_t size = static_cast<int32_t>(r.end - r.start);
    const int32_t valid = static_cast<int32_t>(r.limit - r.start);
    const int32_t first = r.bit_pos >> 3;
    const int32_t avail = size + 1 < valid ? size + 1 : valid;  // bytes a window may take
    make_ready(r, first, 4);
    uint32_t w = 0;
    for (int32_t i = 0; i < 4; ++i) {
        const int32_t idx = first + i;
        const uint32_t byte = idx < avail ? r.start[idx] : 0u;
        w = (w << 8) | byte;
    }
    return w << (r.bit_pos & 7);
}

// The same window where four whole bytes can be read.
inline uint32_t load_window(const BitReader& r) {
    const int32_t first = r.bit_pos >> 3;
    const int32_t size = static_cast<int32_t>(r.end - r.start);
    const int32_t valid = static_cast<int32_t>(r.limit - r.start);
    if (first + 4 > size + 1 || first + 4 > valid || (r.source && first + 4 > r.source->ready)) {
        return load_window_near_end(r);
    }
    const uint8_t* b = r.start + first;
    const uint32_t w = (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
                       (static_cast<uint32_t>(b[2]) << 8) | b[3];
    return w << (r.bit_pos & 7);
}

// Number of leading zero bits of a non-zero window.
inline int leading_zeros(uint32_t w) { return __builtin_clz(w); }

}  // namespace

void bit_reader_init(BitReader& r, const uint8_t* rbsp, int32_t rbsp_len, int32_t bit_count) {
    r.start = rbsp;
    r.end = rbsp + (bit_count + 7) / 8;
    r.bit_pos = 0;
    r.bit_count = bit_count;
    r.limit = rbsp + rbsp_len;
    r.source = nullptr;
}

int32_t read_bits(BitReader& r, int n) {
    if (bytes_left(r) < 0) {
        r.bit_pos += n;
        return -1;
    }
    const uint32_t w = load_window(r);
    r.bit_pos += n;
    return static_cast<int32_t>(n >= 32 ? w : w >> (32 - n));
}

int32_t read_bit(BitReader& r) {
    const int32_t size = static_cast<int32_t>(r.end - r.start);
    const int32_t idx = r.bit_pos >> 3;
    if (idx > size) {
        r.bit_pos += 1;
        return -1;
    }
    const int32_t valid = static_cast<int32_t>(r.limit - r.start);
    if (idx >= valid) {
        r.bit_pos += 1;
        return 0;
    }
    make_ready(r, idx, 1);
    const int32_t byte = r.start[idx];
    const int32_t bit = (byte >> (7 - (r.bit_pos & 7))) & 1;
    r.bit_pos += 1;
    return bit;
}

// Exp-Golomb (clause 9.1): k leading zeros, a one, k info bits; codeNum =
// 2^k - 1 + info. A code longer than the window's meaningful bits is decoded
// from what the window holds (its lowest info bits read as zero). An
// all-zero window advances 63 bits; k >= 16 gives no value.
int32_t read_ue(BitReader& r) {
    if (bytes_left(r) < 0) return -1;
    const uint32_t w = load_window(r);
    if (w == 0) {
        r.bit_pos += 63;
        return -1;
    }
    const int k = leading_zeros(w);
    r.bit_pos += 2 * k + 1;
    if (k >= 16) return -1;
    return static_cast<int32_t>((w >> (31 - 2 * k)) - 1);
}

int32_t read_se(BitReader& r) {
    if (bytes_left(r) < 0) return -1;
    const uint32_t w = load_window(r);
    if (w == 0) {
        r.bit_pos += 63;
        return 0;
    }
    const int k = leading_zeros(w);
    r.bit_pos += 2 * k + 1;
    if (k >= 16) return 0;
    const int32_t v = static_cast<int32_t>(w >> (31 - 2 * k));  // codeNum + 1
    return (v & 1) ? -(v >> 1) : (v >> 1);
}

void skip_ue(BitReader& r) {
    if (bytes_left(r) < 0) {
        r.bit_pos = static_cast<int32_t>(r.end - r.start) * 8;
        return;
    }
    const uint32_t w = load_window(r);
    r.bit_pos += w == 0 ? 63 : 2 * leading_zeros(w) + 1;
}

namespace {

// Decodes the code at r.bit_pos in full, counting its leading zeros bit by
// bit so that a code reaching beyond the 32-bit window is still read right
// (bits past the data read as zero). Codes that fit the window step exactly
// as read_ue does. Returns the codeNum, or -1 for 32 or more leading zeros
// (which, like an all-zero window, advances 63 bits).
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

}  // namespace

int64_t read_ue_long(BitReader& r) {
    if (bytes_left(r) < 0) return -1;
    return read_exp_golomb_full(r);
}

int64_t read_se_long(BitReader& r) {
    if (bytes_left(r) < 0) return -1;
    const int64_t code = read_exp_golomb_full(r);
    if (code < 0) return 0;
    return (code & 1) ? (code + 1) / 2 : -(code / 2);
}

}  // namespace kavrel
