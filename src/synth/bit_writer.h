// Bit writer and the syntax-element writers u(n), ue(v), se(v) and
// rbsp_trailing_bits() (ITU-T H.264 clauses 7.2, 9.1), shared by the
// parameter-set writer, the slice writers and the CABAC engine.
#pragma once

#include <cstdint>

struct ParserHandle;

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

struct SyntaxSymbol;
struct SliceOutput;
struct ArithEncoder;

using MapperFn = void (*)(int32_t value, int32_t* length, int32_t* info);
using ArithWriterFn = void (*)(ParserHandle* handle, SyntaxSymbol* symbol, ArithEncoder* encoder, int32_t x,
                               int32_t y);
using ElementWriterFn = int32_t (*)(ParserHandle* handle, SyntaxSymbol* symbol, SliceOutput* output, int32_t x,
                                    int32_t y);

// One syntax element to write.
struct SyntaxSymbol {
    int32_t value = 0;
    int32_t length = 0;           // bits of the code
    int32_t info = 0;             // info part of an Exp-Golomb code
    uint32_t pattern = 0;         // code bits, right-aligned
    MapperFn mapper = nullptr;    // map_ue or map_se
    ArithWriterFn arith_writer = nullptr;
};

// Points `stream` at `buffer` (capacity bytes) and empties it. With
// nal_payload, every byte stored is escaped as NAL payload. A null buffer
// counts the bytes up to `capacity` without storing them.
void init_bitstream(Bitstream* stream, uint8_t* buffer, int32_t capacity, bool nal_payload = false);

// Appends the low `count` bits of `bits` (0..32), most significant first.
// A byte that would go past the capacity is dropped and sets `overflow`.
void put_bits(Bitstream* stream, uint32_t bits, int32_t count);

// Appends cabac_zero_words (clause 7.3.2.10), each stored as the three
// bytes 00 00 03 behind the escaped payload, until the stream holds
// min_bytes bytes. Nothing when it holds that many already.
void append_cabac_zero_words(Bitstream* stream, int32_t min_bytes);

// u(n): the low symbol->length bits of symbol->pattern (length 0..32; 0 and
// below write nothing). Returns the bits written.
int32_t write_fixed(SyntaxSymbol* symbol, SliceOutput* output);

// ue(v) or se(v) as the symbol's mapper says: sets length and info, builds
// the pattern and writes the Exp-Golomb code. handle, x and y are not read
// (they belong to the shape of SliceOutput::write_element). Returns the
// bits written.
int32_t write_mapped(ParserHandle* handle, SyntaxSymbol* symbol, SliceOutput* output, int32_t x, int32_t y);

// se(v) of `value`; returns the bits written.
int32_t write_se(int32_t value, SliceOutput* output);
// ue(v) of `value`; returns the bits written.
int32_t write_ue(int32_t value, SliceOutput* output);
// u(n) of `value` (n 0..32); returns n.
int32_t write_u(uint32_t value, int32_t n, SliceOutput* output);

// codeNum mappings (clause 9.1, 9.1.1). length is 2k + 1, info the k bits
// after the leading one. map_ue codes negative values as 0.
void map_ue(int32_t value, int32_t* length, int32_t* info);
void map_se(int32_t value, int32_t* length, int32_t* info);

// rbsp_trailing_bits(): a one bit, then zero bits to the byte boundary;
// returns the bits written (1..8).
int32_t write_trailing_bits(Bitstream* stream);

}  // namespace kavrel
