// Bit writer (ITU-T H.264 clauses 7.2, 7.4.1, 9.1).
#include "bitstream/bit_writer.h"

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

int32_t put_ue(Bitstream* stream, uint64_t code_num) {
    const uint64_t v = code_num + 1;  // 2^k + info
    const int32_t k = 63 - __builtin_clzll(v);
    put_bits(stream, 0, k);
    put_bits(stream, 1, 1);
    put_bits(stream, static_cast<uint32_t>(v), k);  // the k bits below the leading one
    return 2 * k + 1;
}

int32_t put_se(Bitstream* stream, int64_t value) {
    return put_ue(stream, static_cast<uint64_t>(value > 0 ? 2 * value - 1 : -2 * value));
}

void append_cabac_zero_words(Bitstream* stream, int32_t min_bytes) {
    // Stored as they are: escaping them would add a fourth byte to each.
    while (stream->byte_count < min_bytes && !stream->overflow) {
        store_byte(stream, 0x00);
        store_byte(stream, 0x00);
        store_byte(stream, 0x03);
    }
}

int32_t write_trailing_bits(Bitstream* stream) {
    const int32_t bits = stream->bits_left;
    put_bits(stream, 1u << (bits - 1), bits);
    return bits;
}

}  // namespace kavrel
