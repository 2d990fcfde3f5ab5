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

using ArithWriterFn = void (*)(ParserHandle* handle, SyntaxSymbol* symbol, ArithEncoder* encoder, int32_t x,
                               int32_t y);
using ElementWriterFn = int32_t (*)(ParserHandle* handle, SyntaxSymbol* symbol, SliceOutput* output, int32_t x,
                                    int32_t y);

// One syntax element to write.
struct SyntaxSymbol {
    int32_t value = 0;
    int32_t length = 0;           // bits of the code
    uint32_t pattern = 0;         // code bits of u(n), right-aligned
    bool signed_code = false;     // an Exp-Golomb code: se(v), else ue(v)
    ArithWriterFn arith_writer = nullptr;
};

// below write nothing). Returns the bits written.
int32_t write_fixed(SyntaxSymbol* symbol, SliceOutput* output);

// ue(v) or se(v) of symbol->value, as signed_code says; sets and returns
// the bits written. handle, x and y are not read (they belong to the shape
// of SliceOutput::write_element).
int32_t write_mapped(ParserHandle* handle, SyntaxSymbol* symbol, SliceOutput* output, int32_t x, int32_t y);

// se(v) of `value`; returns the bits written.
int32_t write_se(int32_t value, SliceOutput* output);
// ue(v) of `value`; returns the bits written.
int32_t write_ue(int32_t value, SliceOutput* output);
// u(n) of `value` (n 0..32); returns n.
int32_t write_u(uint32_t value, int32_t n, SliceOutput* output);

}  // namespace kavrel
