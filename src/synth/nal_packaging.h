// NAL packaging (ITU-T H.264 clause 7.3.1 and Annex B): emulation
// prevention with cabac_zero_word stuffing, the NAL header byte and the
// four-byte start code.
#pragma once

#include <cstdint>

#include "synth/bit_writer.h"

struct ParserHandle;

namespace kavrel {

// One NAL unit on its way to the caller's buffer.
struct NALU {
    int32_t prefix_len = 4;        // > 3: 00 00 00 01, otherwise 00 00 01
    uint32_t unit_len = 0;         // bytes in buf: header byte + payload
    uint32_t capacity = 0;         // allocated bytes of buf
    int32_t nal_unit_type = 0;
    int32_t nal_ref_idc = 0;
    int32_t forbidden_zero_bit = 0;
    uint8_t* buf = nullptr;        // [0] header byte, then escaped payload
};

// Turns the `length` RBSP bytes at `bytes` into NAL payload bytes in place:
// inserts emulation_prevention_three_byte where two zero bytes are followed
// by a byte of 0..3 (clause 7.4.1), then appends 00 00 03 groups until the
// payload holds at least min_bytes (0: no stuffing). `capacity` is the room
// at `bytes`. Returns the payload length, or -1 (bytes untouched) when the
// result would not fit. Allocates nothing.
int32_t insert_emulation_prevention(ParserHandle* handle, uint8_t* bytes, int32_t length, int32_t min_bytes,
                                    int32_t capacity);

// Allocates a NALU with a buf of `capacity` bytes; null (after printing
// "AllocNALU: n" or "AllocNALU: n->buf") when memory is short.
NALU* AllocNALU(int32_t capacity);
// Releases a NALU from AllocNALU (null is ignored).
void FreeNALU(NALU* nalu);

// Writes the start code, header byte and payload of `nalu` to `out`
// (out_capacity bytes) and releases the NALU. Returns the bytes written, or
// -1 (nothing written) when the unit does not fit.
int32_t emit_nalu(NALU* nalu, uint8_t* out, int32_t out_capacity);

// Emits the bytes of `slice` (already escaped and stuffed) as a coded slice
// of a non-IDR picture with nal_ref_idc 0, header byte 0x01. Returns the
// bytes written (slice->byte_count + 5), or -1 when the unit does not fit
// out_capacity, the slice stream overflowed, or memory is short.
int32_t write_slice_nalu(ParserHandle* handle, const Bitstream* slice, uint8_t* out, int32_t out_capacity);

}  // namespace kavrel
