// The syntax-element writers u(n), ue(v), se(v) of the slice writers and
// the CABAC engine (ITU-T H.264 clause 9.1), over the bit writer.
#pragma once

#include <cstdint>

#include "bitstream/bit_writer.h"

struct ParserHandle;

namespace kavrel {

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

}  // namespace kavrel
