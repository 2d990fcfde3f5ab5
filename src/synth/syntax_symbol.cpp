// Syntax-element writers over the bit writer (ITU-T H.264 clause 9.1).
#include "synth/syntax_symbol.h"

#include "synth/slice_output.h"

namespace kavrel {

int32_t write_se(int32_t value, SliceOutput* output) { return put_se(output->stream, value); }

// A negative value (never written) is coded as 0.
int32_t write_ue(int32_t value, SliceOutput* output) {
    return put_ue(output->stream, value > 0 ? static_cast<uint64_t>(value) : 0);
}

int32_t write_fixed(SyntaxSymbol* symbol, SliceOutput* output) {
    if (symbol->length <= 0) return 0;
    const int32_t n = symbol->length > 32 ? 32 : symbol->length;
    put_bits(output->stream, symbol->pattern, n);
    return n;
}

int32_t write_mapped(ParserHandle*, SyntaxSymbol* symbol, SliceOutput* output, int32_t, int32_t) {
    symbol->length = symbol->signed_code ? write_se(symbol->value, output) : write_ue(symbol->value, output);
    return symbol->length;
}

int32_t write_u(uint32_t value, int32_t n, SliceOutput* output) {
    SyntaxSymbol symbol;
    symbol.value = static_cast<int32_t>(value);
    symbol.pattern = value;
    symbol.length = n;
    return write_fixed(&symbol, output);
}

}  // namespace kavrel
