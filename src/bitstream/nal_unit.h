// NAL unit layer (ITU-T H.264 clause 7.3.1, 7.4.1): header checks, the end
// of a NAL unit in an Annex B byte stream, removal of
// emulation_prevention_three_byte, and the stored parameter-set copies.
#pragma once

#include <cstdint>

#include "bitstream/bit_reader.h"
#include "common/status.h"

namespace kavrel {

constexpr int32_t kParamSetInitialSize = 1024;  // each ps_data buffer at open

// The NAL unit being read: its header and the reader over its RBSP.
struct NalUnitState {
    BitReader reader;            // over the current NAL unit's RBSP
    uint8_t nal_ref_idc;         // header of the NAL unit last read
    uint8_t nal_unit_type;
};

// The RBSP copies of the last SPS and PPS stored.
struct ParamSetCopies {
    uint8_t* ps_data[2];         // [0] SPS, [1] PPS
    uint32_t ps_size[2];
};

// Checks the header at nal[0] (diagnostics as documented), stores
// nal_ref_idc / nal_unit_type in `handle`, finds where the NAL unit ends
// within `length` input bytes and writes its RBSP to `buffer` (which must
// hold at least length - 1 bytes). On success returns `buffer`, with
// *rbsp_len the RBSP bytes and *consumed the input bytes of the unit counted
// from the header byte. Returns null for an IDR unit with nal_ref_idc 0 or a
// null buffer.
uint8_t* read_nal_unit(NalUnitState* handle, const uint8_t* nal, int32_t* rbsp_len,
                       int32_t* consumed, int32_t length, uint8_t* buffer);

// The start-code scan of the byte stream (Annex B.2): the first position
// from `from` on where 00 00 01 begins with at least one byte behind it
// within `size`; a position p with p + 3 >= size when there is none.
inline int32_t find_start_code(const uint8_t* data, int32_t size, int32_t from) {
    int32_t pos = from;
    while (pos + 3 < size && !(data[pos] == 0 && data[pos + 1] == 0 && data[pos + 2] == 1)) ++pos;
    return pos;
}

// The header byte behind the start code at `pos`, past repeated start codes
// 00 00 01 00 00 00 01 ... (only while a header byte follows the next one:
// the input may end there).
inline int32_t nal_header_position(const uint8_t* data, int32_t size, int32_t pos) {
    while (pos + 7 < size && data[pos + 3] == 0 && data[pos + 4] == 0 && data[pos + 5] == 0 &&
           data[pos + 6] == 1) {
        pos += 4;
    }
    return pos + 3;
}

// Gives each copy a buffer of kParamSetInitialSize bytes; false when one
// cannot be had (param_set_copies_close frees the other). Copies without
// buffers (all null) are never kept: store_param_set then keeps size 0.
bool param_set_copies_open(ParamSetCopies* copies);
void param_set_copies_close(ParamSetCopies* copies);
// Keeps a copy of a parameter set's RBSP: index 0 SPS, 1 PPS. kOk or kParamSetMemory.
Status store_param_set(ParamSetCopies* handle, const uint8_t* bytes, int32_t len, int index);

// The pieces of read_nal_unit, for a caller that unescapes only what it
// reads.

// The header checks and diagnostics of read_nal_unit; stores nal_ref_idc
// and nal_unit_type. False for an IDR unit with nal_ref_idc 0.
bool check_nal_header(NalUnitState* handle, uint8_t header);

// First s >= from with s + 2 < size where p[s] and p[s+1] are 0 and
// p[s+2] <= 3: a start code, a zero run or an emulation-prevention
// sequence 00 00 03 begins there. -1 when there is none. Reads no byte at
// or past p + size. AVX2 where the processor has it, else SSE2 on x86-64,
// else eight bytes at a time in plain C++.
int32_t find_zero_pair(const uint8_t* p, int32_t size, int32_t from);

// The variants of find_zero_pair, each selectable (for tests); an
// unavailable one falls back to kWords.
enum class ZeroPairScan { kWords, kSse2, kAvx2 };
bool zero_pair_scan_available(ZeroPairScan kind);
int32_t find_zero_pair_with(ZeroPairScan kind, const uint8_t* p, int32_t size, int32_t from);

// Where a NAL unit's payload ends and what removing its emulation-prevention
// bytes leaves, found in one pass without writing anything.
struct NalExtent {
    int32_t payload_len = 0;   // payload bytes (after the header) in the unit
    int32_t escapes = 0;       // emulation_prevention_three_bytes among them
    int32_t last_escape = -1;  // payload index of the last of them, -1 without
    int32_t rbsp_len() const { return payload_len - escapes; }
};

// Scans the `size` bytes after a header byte: the unit ends before the
// first 00 00 00, 00 00 01 or 00 00 02; every 00 00 03 before it is an
// escape. Inline, so that the extent is built where it is used (once per
// NAL unit).
inline NalExtent scan_nal_payload(const uint8_t* payload, int32_t size) {
    NalExtent e;
    e.payload_len = size > 0 ? size : 0;
    int32_t s = 0;
    for (;;) {
        const int32_t k = find_zero_pair(payload, size, s);
        if (k < 0) return e;
        if (payload[k + 2] != 3) {  // 00 00 00, 00 00 01, 00 00 02: the unit ends
            e.payload_len = k;
            return e;
        }
        ++e.escapes;
        e.last_escape = k + 2;
        s = k + 3;
    }
}

namespace nal_unit_detail {
inline int32_t bits_before_stop(int32_t len, uint8_t last) {
    const int trailing = last ? __builtin_ctz(last) + 1 : 0;
    return len * 8 - trailing;
}
}  // namespace nal_unit_detail

// Bits before the rbsp_stop_one_bit of the RBSP of `payload` (see
// scan_nal_payload), as the driver counts them: one trailing zero byte is
// dropped, then the lowest set bit of the last byte is the stop bit.
inline int32_t rbsp_bit_count(const uint8_t* payload, const NalExtent& extent) {
    // The last two RBSP bytes come from the last three payload bytes, of
    // which at most one is an escape (escapes lie three bytes apart at least).
    int32_t len = extent.rbsp_len();
    if (len == 0) return 0;
    int32_t q = extent.payload_len - 1;
    if (q == extent.last_escape) --q;
    uint8_t last = payload[q];
    if (last == 0) {
        if (--len == 0) return 0;
        if (--q == extent.last_escape) --q;
        last = payload[q];
    }
    return nal_unit_detail::bits_before_stop(len, last);
}
// The same count over an RBSP held in memory.
int32_t rbsp_bit_count(const uint8_t* rbsp, int32_t rbsp_len);

// An RBSP unescaped on demand: bytes [0, ready) of `rbsp` hold the first
// RBSP bytes of the payload; rbsp_fill writes more.
struct RbspSource {
    const uint8_t* payload = nullptr;
    int32_t payload_len = 0;
    int32_t next = 0;          // payload index of the next byte to unescape
    int32_t zeros = 0;         // zero bytes just before it (since the last escape)
    uint8_t* rbsp = nullptr;
    int32_t rbsp_len = 0;
    int32_t ready = 0;
};

void rbsp_source_init(RbspSource& source, const uint8_t* payload, const NalExtent& extent, uint8_t* buffer);
// Makes at least min(upto, rbsp_len) RBSP bytes ready.
void rbsp_fill(RbspSource& source, int32_t upto);

}  // namespace kavrel
