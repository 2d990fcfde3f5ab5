// Bit writer over a caller's buffer: fixed-width fields, the Exp-Golomb
// codes ue(v)/se(v) of ITU-T H.264 clause 9.1 and rbsp_trailing_bits().
// Every store is bounded by the capacity: a byte that does not fit is
// dropped and sets `overflow`, which the caller turns into "no room".
#pragma once

#include <cstdint>

namespace kavrel {

// Output buffer state. Bits are gathered MSB first in pending_byte; a byte
// is stored the moment its eighth bit arrives. A writer of NAL payload
// stores the emulation_prevention_three_bytes along with the bytes (clause
// 7.4.1): this is the one place where they are inserted.
struct Bitstream {
    int32_t byte_count = 0;       // complete bytes stored in StreamBuffer
    int32_t bits_left = 8;        // free bits in pending_byte, 8 (empty) .. 1
    uint8_t pending_byte = 0;
    uint8_t* StreamBuffer = nullptr;  // null: bytes are counted, not stored
    int32_t capacity = 0;         // bytes available at StreamBuffer
    bool overflow = false;        // a byte would have gone past capacity
    bool nal_payload = false;     // escape the bytes as they are stored
    int32_t zeros = 0;            // zero bytes stored last (escaping only)
};

// Points `stream` at `buffer` (capacity bytes) and empties it. With
// nal_payload, every byte stored is escaped as NAL payload. A null buffer
// counts the bytes up to `capacity` without storing them.
void init_bitstream(Bitstream* stream, uint8_t* buffer, int32_t capacity, bool nal_payload = false);

// Appends the low `count` bits of `bits` (0..32), most significant first.
void put_bits(Bitstream* stream, uint32_t bits, int32_t count);

// Bits written so far.
inline int32_t bits_written(const Bitstream* stream) { return stream->byte_count * 8 + 8 - stream->bits_left; }

// The Exp-Golomb code of codeNum (clause 9.1): k zeros, a one, k info bits
// with codeNum + 1 = 2^k + info; codeNum up to 2^32 - 1. Returns its bits.
int32_t put_ue(Bitstream* stream, uint64_t code_num);
// se(v) of `value` (clause 9.1.1: v > 0 is codeNum 2v - 1, v <= 0 is -2v).
int32_t put_se(Bitstream* stream, int64_t value);

// Appends cabac_zero_words (clause 7.3.2.10), each stored as the three
// bytes 00 00 03 behind the escaped payload, until the stream holds
// min_bytes bytes. Nothing when it holds that many already.
void append_cabac_zero_words(Bitstream* stream, int32_t min_bytes);

// rbsp_trailing_bits(): a one bit, then zero bits to the byte boundary;
// returns the bits written (1..8).
int32_t write_trailing_bits(Bitstream* stream);

}  // namespace kavrel
