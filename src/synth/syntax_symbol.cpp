// Syntax-element writers over the bit writer (ITU-T H.264 clause 9.1).
#include "synth/syntax_symbol.h"

#include "synth/slice_output.h"

namespace kavrel {

int32_t write_fixed(SyntaxSymbol* symbol, SliceOutput* output) {
    if (symbol->length <= 0) return 0;
    const int32_t n = symbol->length > 32 ? 32 : symbol->length;
    put_bits(output->stream, symbol->pattern, n);
    return n;
}

// Bit length of v (0 for 0).
static int32_t bit_length(uint64_t v) {
    int32_t n = 0;
    while (v != 0) {
        v >>= 1;
        ++n;
    }
    return n;
}

// codeNum -> (length, info): codeNum + 1 = 2^k + info with info < 2^k.
static void map_code_num(uint64_t code_num, int32_t* length, int32_t* info) {
    const int32_t k = bit_length(code_num + 1) - 1;
    *length = 2 * k + 1;
    *info = static_cast<int32_t>(static_cast<uint32_t>(code_num + 1 - (uint64_t{1} << k)));
}

void map_ue(int32_t value, int32_t* length, int32_t* info) {
    map_code_num(value > 0 ? static_cast<uint64_t>(value) : 0, length, info);
}

void map_se(int32_t value, int32_t* length, int32_t* info) {
    // Clause 9.1.1: v > 0 has codeNum 2v - 1, v <= 0 has codeNum -2v.
    const int64_t v = value;
    map_code_num(static_cast<uint64_t>(v > 0 ? 2 * v - 1 : -2 * v), length, info);
}

int32_t write_mapped(ParserHandle*, SyntaxSymbol* symbol, SliceOutput* output, int32_t, int32_t) {
    symbol->mapper(symbol->value, &symbol->length, &symbol->info);
    const int32_t k = symbol->length / 2;
    const uint32_t info = static_cast<uint32_t>(symbol->info);
    if (k < 32) {
        const uint32_t mask = (uint32_t{1} << k) - 1;
        symbol->pattern = (uint32_t{1} << k) | (info & mask);
    } else {
        symbol->pattern = info;  // the leading one does not fit; written below
    }
    // k zeros, a one, then the k info bits. Codes of up to 32 bits go out in
    // one write; longer ones (values past 65534) in three.
    if (symbol->length <= 32) {
        put_bits(output->stream, symbol->pattern, symbol->length);
    } else {
        put_bits(output->stream, 0, k);
        put_bits(output->stream, 1, 1);
        put_bits(output->stream, info, k);
    }
    return symbol->length;
}

int32_t write_se(int32_t value, SliceOutput* output) {
    SyntaxSymbol symbol;
    symbol.value = value;
    symbol.mapper = map_se;
    return write_mapped(nullptr, &symbol, output, 0, 0);
}

int32_t write_ue(int32_t value, SliceOutput* output) {
    SyntaxSymbol symbol;
    symbol.value = value;
    symbol.mapper = map_ue;
    return write_mapped(nullptr, &symbol, output, 0, 0);
}

int32_t write_u(uint32_t value, int32_t n, SliceOutput* output) {
    SyntaxSymbol symbol;
    symbol.value = static_cast<int32_t>(value);
    symbol.pattern = value;
    symbol.length = n;
    return write_fixed(&symbol, output);
}

}  // namespace kavrel
