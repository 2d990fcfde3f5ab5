// Bit writer and Exp-Golomb element writers (ITU-T H.264 clauses 7.2, 9.1).
#include "synth/bit_writer.h"

#include "synth/slice_output.h"

namespace kavrel {

void init_bitstream(Bitstream* stream, uint8_t* buffer, int32_t capacity, bool nal_payload) {
    stream->byte_count = 0;
    stream->bits_left = 8;
    stream->pending_byte = 0;
    stream->StreamBuffer = buffer;
    stream->capacity = capacity > 0 ? capacity : 0;
    stream->overflow = false;
    stream->nal_payload = nal_payload;
    stream->zeros = 0;
}

// Stores one byte as it is, or records that it did not fit.
static void store_byte(Bitstream* stream, uint8_t byte) {
    if (stream->byte_count >= stream->capacity) {
        stream->overflow = true;
        return;
    }
    if (stream->StreamBuffer != nullptr) stream->StreamBuffer[stream->byte_count] = byte;
    stream->byte_count += 1;
}

// Stores the completed pending byte. In NAL payload, two zero bytes
// followed by a byte of 0 to 3 get an emulation_prevention_three_byte
// between them (clause 7.4.1); the zero count starts again behind it, so
// 00 00 00 00 becomes 00 00 03 00 00.
static void store_pending(Bitstream* stream) {
    const uint8_t byte = stream->pending_byte;
    if (stream->nal_payload) {
        if (stream->zeros == 2 && byte <= 3) {
            store_byte(stream, 0x03);
            stream->zeros = 0;
        }
        stream->zeros = byte == 0 ? stream->zeros + 1 : 0;
    }
    store_byte(stream, byte);
    stream->bits_left = 8;
    stream->pending_byte = 0;
}

void put_bits(Bitstream* stream, uint32_t bits, int32_t count) {
    if (count > 32) count = 32;
    // Whole bytes on a byte boundary go out at once.
    while (stream->bits_left == 8 && count >= 8) {
        count -= 8;
        stream->pending_byte = static_cast<uint8_t>(bits >> count);
        store_pending(stream);
    }
    for (int32_t i = count - 1; i >= 0; --i) {
        stream->pending_byte = static_cast<uint8_t>((stream->pending_byte << 1) | ((bits >> i) & 1u));
        stream->bits_left -= 1;
        if (stream->bits_left == 0) store_pending(stream);
    }
}

void append_cabac_zero_words(Bitstream* stream, int32_t min_bytes) {
    // Stored as they are: escaping them would add a fourth byte to each.
    while (stream->byte_count < min_bytes && !stream->overflow) {
        store_byte(stream, 0x00);
        store_byte(stream, 0x00);
        store_byte(stream, 0x03);
    }
}

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

int32_t write_trailing_bits(Bitstream* stream) {
    const int32_t bits = stream->bits_left;
    put_bits(stream, 1u << (bits - 1), bits);
    return bits;
}

}  // namespace kavrel
