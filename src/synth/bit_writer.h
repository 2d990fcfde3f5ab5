// Bit writer and the syntax-element writers u(n), ue(v), se(v) and
// rbsp_trailing_bits() (ITU-T H.264 clauses 7.2, 9.1), shared by the
// parameter-set writer, the slice writers and the CABAC engine.
#pragma once

#include <cstdint>

struct ParserHandle;

namespace kavrel {

// Output buffer state. Bits are gathered MSB first in pending_byte; a byte
// is stored the moment its eighth bit arrives.
struct Bitstream {
    int32_t byte_count = 0;       // complete bytes stored in StreamBuffer
    int32_t bits_left = 8;        // free bits in pending_byte, 8 (empty) .. 1
    uint8_t pending_byte = 0;
    uint8_t* StreamBuffer = nullptr;
    int32_t capacity = 0;         // bytes available at StreamBuffer
    bool overflow = false;        // a byte would have gone past capacity
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

}  // namespace kavrel
