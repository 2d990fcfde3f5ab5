// Context initialisation (ITU-T H.264 clause 9.3.1.1), arithmetic coding
// of bins (clauses 9.3.4.1 to 9.3.4.6) and the CABAC element writer of
// slice data.
#include "synth/cabac_engine.h"

#include <algorithm>

namespace kavrel {

namespace {

// Appends one bit to the slice's stream; the first bit of a slice is
// dropped (the standard's firstBitFlag).
void emit(ArithEncoder* e, uint32_t bit) {
    if (e->first_bit) {
        e->first_bit = false;
        return;
    }
    put_bits(e->stream, bit, 1);
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
    return 8 * int64_t{e->stream->byte_count} + 8 - e->stream->bits_left - (e->first_bit ? 1 : 0) +
           e->bits_outstanding;
}

}  // namespace

// (m, n) of ctxIdx 11, mb_skip_flag of P slices, for cabac_init_idc 0
// (Table 9-13).
constexpr int32_t kSkipFlagM = 23;
constexpr int32_t kSkipFlagN = 33;

CabacContext init_context(int32_t m, int32_t n, int32_t qp) {
    if (qp < 0) qp = 0;
    // (m * qp) >> 4 rounds toward minus infinity, as the standard's shift.
    const int32_t product = m * qp;
    const int32_t shifted = product >= 0 ? product / 16 : -((-product + 15) / 16);
    const int32_t pre = std::clamp(shifted + n, 1, 126);
    CabacContext c;
    if (pre <= 63) {
        c.state = static_cast<uint16_t>(63 - pre);
        c.mps = 0;
    } else {
        c.state = static_cast<uint16_t>(pre - 64);
        c.mps = 1;
    }
    return c;
}

void init_contexts(ArithEncoder* encoder, int32_t qp) {
    encoder->skip_ctx = init_context(kSkipFlagM, kSkipFlagN, qp);
}

void start_arith(SliceOutput* output) {
    Bitstream* s = output->stream;
    // cabac_alignment_one_bit up to the byte boundary (clause 7.3.4).
    if (s->bits_left != 8) put_bits(s, 0xFFu >> (8 - s->bits_left), s->bits_left);
    ArithEncoder& e = output->ArithEncoder;
    e.low = 0;
    e.range = 510;
    e.first_bit = true;
    e.bits_outstanding = 0;
    e.stream = s;
    e.bins = 0;
    e.min_payload = 0;
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
    while (encoder->stream->bits_left != 8) emit(encoder, 0);
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
    encode_bin(encoder, symbol->value == 0 ? 1 : 0, &encoder->skip_ctx);
}

}  // namespace kavrel
