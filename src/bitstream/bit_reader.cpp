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

// Up to four bytes from the byte holding bit_pos, the last of them at most
// the byte at `end` (fewer near the end of the data); bytes at or past
// `limit` read as zero.
uint32_t load_window_slow(BitReader& r) {
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

int32_t read_bit_slow(BitReader& r) {
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

}  // namespace bit_reader_detail

void bit_reader_attach(BitReader& r, RbspSource* source) {
    r.source = source;
    r.direct = direct_bytes(r);
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
