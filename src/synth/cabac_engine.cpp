// Arithmetic coding of bins (ITU-T H.264 clauses 9.3.4.1 to 9.3.4.6) and
// the CABAC element writer of slice data.
#include "synth/cabac_engine.h"

namespace kavrel {

namespace {

// Appends one bit to the coder's byte under construction. bits_left starts
// at 9, so the first bit of a slice never reaches the output (the
// standard's firstBitFlag). A byte past the capacity is dropped and marks
// the coder as overflowed.
void emit(ArithEncoder* e, uint32_t bit) {
    e->bit_buffer = (e->bit_buffer << 1) | bit;
    e->bits_left -= 1;
    if (e->bits_left != 0) return;
    int32_t& count = *e->code_len;
    if (count >= 0 && count < e->capacity) {
        e->code[count] = static_cast<uint8_t>(e->bit_buffer & 0xFF);
        count += 1;
    } else {
        e->overflow = true;
    }
    e->bit_buffer = 0;
    e->bits_left = 8;
}

// PutBit (clause 9.3.4.2, Figure 9-8): the bit, then the outstanding bits
// resolved as its complement.
void put_bit(ArithEncoder* e, uint32_t bit) {
    emit(e, bit);
    for (; e->bits_outstanding > 0; --e->bits_outstanding) emit(e, 1 - bit);
}

// RenormE (Figure 9-7).
void renorm(ArithEncoder* e) {
    while (e->range < 256) {
        if (e->low < 256) {
            put_bit(e, 0);
        } else if (e->low >= 512) {
            e->low -= 512;
            put_bit(e, 1);
        } else {
            e->low -= 256;
            e->bits_outstanding += 1;
        }
        e->range <<= 1;
        e->low <<= 1;
    }
}

// Bits the output has grown by so far; outstanding bits count as written.
int64_t bits_written(const ArithEncoder* e) {
    return 8 * int64_t{*e->code_len} + 8 - e->bits_left + e->bits_outstanding;
}

}  // namespace

void start_arith(SliceOutput* output) {
    Bitstream* s = output->stream;
    if (s->bits_left != 8) {
        // cabac_alignment_one_bit up to the byte boundary (clause 7.3.4).
        const int32_t n = s->bits_left;
        const uint8_t byte = static_cast<uint8_t>((s->pending_byte << n) | (0xFF >> (8 - n)));
        if (s->byte_count >= 0 && s->byte_count < s->capacity) {
            s->StreamBuffer[s->byte_count] = byte;
            s->byte_count += 1;
        } else {
            s->overflow = true;
        }
        s->bits_left = 8;
        s->pending_byte = 0;
    }
    ArithEncoder& e = output->ArithEncoder;
    e.low = 0;
    e.range = 510;
    e.bit_buffer = 0;
    e.bits_left = 9;
    e.bits_outstanding = 0;
    e.code = s->StreamBuffer;
    e.code_len = &s->byte_count;
    e.bins = 0;
    e.min_payload = 0;
    e.capacity = s->capacity;
    e.overflow = false;
}

void encode_bin(ArithEncoder* encoder, uint16_t bin, CabacContext* context) {
    const uint32_t b = bin != 0 ? 1 : 0;
    const uint32_t r_lps = kRangeTabLps[context->state][(encoder->range >> 6) & 3];
    encoder->range -= r_lps;
    if (b != context->mps) {
        encoder->low += encoder->range;
        encoder->range = r_lps;
        if (context->state == 0) context->mps = static_cast<uint8_t>(1 - context->mps);
        context->state = kTransIdxLps[context->state];
    } else {
        context->state = kTransIdxMps[context->state];
    }
    renorm(encoder);
    encoder->bins += 1;
}

void encode_terminate(ArithEncoder* encoder, uint16_t bin) {
    encoder->range -= 2;
    if (bin != 0) {
        encoder->low += encoder->range;
        encoder->range = 2;
    }
    renorm(encoder);
    encoder->bins += 1;
}

void finish_arith(ArithEncoder* encoder, int32_t mb_count) {
    // EncodeFlush (Figure 9-12): codIRange is 2 and renormalised already.
    put_bit(encoder, (encoder->low >> 9) & 1);
    emit(encoder, (encoder->low >> 8) & 1);
    emit(encoder, 1);  // rbsp_stop_one_bit
    while (encoder->bits_left != 8) emit(encoder, 0);
    // Least payload: one byte for every 32 bins beyond one bin per
    // macroblock, well inside the bin-to-byte bound of clause 7.4.2.10; the
    // packaging makes up a shortfall with cabac_zero_words.
    const int64_t excess = int64_t{encoder->bins} - mb_count + 31;
    encoder->min_payload = excess > 0 ? static_cast<int32_t>(excess >> 5) : 0;
}

int32_t write_cabac_element(ParserHandle* handle, SyntaxSymbol* symbol, SliceOutput* output, int32_t x,
                            int32_t y) {
    ArithEncoder* e = &output->ArithEncoder;
    const int64_t before = bits_written(e);
    symbol->arith_writer(handle, symbol, e, x, y);
    symbol->length = static_cast<int32_t>(bits_written(e) - before);
    return symbol->length;
}

void write_skip_flag_cabac(ParserHandle*, SyntaxSymbol* symbol, ArithEncoder* encoder, int32_t, int32_t) {
    encode_bin(encoder, symbol->value == 0 ? 1 : 0, &encoder->motion->mb_type_ctx[1][0]);
}

}  // namespace kavrel
