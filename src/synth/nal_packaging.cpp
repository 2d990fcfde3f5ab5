// NAL packaging: emulation prevention (clause 7.4.1), stuffing, the NAL
// header byte (clause 7.3.1) and the Annex B start code.
#include "synth/nal_packaging.h"

#include <cstdlib>
#include <cstring>

#include "common/diagnostics.h"

namespace kavrel {

// Number of emulation_prevention_three_byte the escape of `bytes` needs.
static int32_t count_escapes(const uint8_t* bytes, int32_t length) {
    int32_t zeros = 0;
    int32_t escapes = 0;
    for (int32_t i = 0; i < length; ++i) {
        const uint8_t b = bytes[i];
        if (zeros == 2 && (b & 0xFC) == 0) {
            ++escapes;
            zeros = 0;
        }
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return escapes;
}

int32_t insert_emulation_prevention(ParserHandle*, uint8_t* bytes, int32_t length, int32_t min_bytes,
                                    int32_t capacity) {
    if (length < 0) length = 0;
    if (length > 0 && bytes == nullptr) return -1;
    const int32_t escapes = count_escapes(bytes, length);
    const int64_t escaped = int64_t{length} + escapes;
    int64_t groups = 0;
    if (escaped < min_bytes) groups = (min_bytes - escaped + 2) / 3;
    const int64_t total = escaped + 3 * groups;
    if (total > capacity) return -1;
    if (total > 0 && bytes == nullptr) return -1;

    // Move the input to the end of the escaped span, then escape forwards:
    // after k input bytes and m insertions the write index k + m never
    // passes the read index escapes + k, so nothing unread is overwritten.
    if (escapes > 0) {
        std::memmove(bytes + escapes, bytes, static_cast<size_t>(length));
        int32_t written = 0;
        int32_t zeros = 0;
        for (int32_t i = 0; i < length; ++i) {
            const uint8_t b = bytes[escapes + i];
            if (zeros == 2 && (b & 0xFC) == 0) {
                bytes[written++] = 0x03;
                zeros = 0;
            }
            bytes[written++] = b;
            zeros = b == 0 ? zeros + 1 : 0;
        }
    }
    // cabac_zero_word stuffing (clause 7.3.2.10 / 9.3.4.6): 00 00 03 groups.
    uint8_t* tail = bytes + escaped;
    for (int64_t g = 0; g < groups; ++g) {
        tail[0] = 0x00;
        tail[1] = 0x00;
        tail[2] = 0x03;
        tail += 3;
    }
    return static_cast<int32_t>(total);
}

NALU* AllocNALU(int32_t capacity) {
    NALU* n = static_cast<NALU*>(std::calloc(1, sizeof(NALU)));
    if (n == nullptr) {
        diag("AllocNALU: n");
        return nullptr;
    }
    *n = NALU{};
    const size_t size = capacity > 0 ? static_cast<size_t>(capacity) : 1;
    n->buf = static_cast<uint8_t*>(std::malloc(size));
    if (n->buf == nullptr) {
        diag("AllocNALU: n->buf");
        std::free(n);
        return nullptr;
    }
    n->capacity = static_cast<uint32_t>(size);
    return n;
}

void FreeNALU(NALU* nalu) {
    if (nalu == nullptr) return;
    std::free(nalu->buf);
    std::free(nalu);
}

int32_t emit_nalu(NALU* nalu, uint8_t* out, int32_t out_capacity) {
    if (nalu == nullptr) return -1;
    const int32_t prefix = nalu->prefix_len > 3 ? 4 : 3;
    const int64_t total = int64_t{prefix} + nalu->unit_len;
    if (out == nullptr || nalu->unit_len == 0 || nalu->unit_len > nalu->capacity || total > out_capacity) {
        FreeNALU(nalu);
        return -1;
    }
    nalu->buf[0] = static_cast<uint8_t>(((nalu->forbidden_zero_bit * 4 + nalu->nal_ref_idc) * 32 +
                                         nalu->nal_unit_type) & 0xFF);
    uint8_t* p = out;
    if (prefix == 4) *p++ = 0x00;
    *p++ = 0x00;
    *p++ = 0x00;
    *p++ = 0x01;
    std::memcpy(p, nalu->buf, nalu->unit_len);
    FreeNALU(nalu);
    return static_cast<int32_t>(total);
}

int32_t write_slice_nalu(ParserHandle*, const Bitstream* slice, uint8_t* out, int32_t out_capacity) {
    if (slice == nullptr || slice->overflow || slice->byte_count < 0 ||
        (slice->byte_count > 0 && slice->StreamBuffer == nullptr))
        return -1;
    if (int64_t{slice->byte_count} + 5 > out_capacity) return -1;
    NALU* n = AllocNALU(slice->byte_count + 1);
    if (n == nullptr) return -1;
    n->prefix_len = 4;
    n->unit_len = static_cast<uint32_t>(slice->byte_count) + 1;
    if (slice->byte_count > 0) std::memcpy(n->buf + 1, slice->StreamBuffer, static_cast<size_t>(slice->byte_count));
    n->nal_unit_type = 1;
    n->nal_ref_idc = 0;
    n->forbidden_zero_bit = 0;
    return emit_nalu(n, out, out_capacity);
}

}  // namespace kavrel
