// Bit writer: u(n), ue(v), se(v) and rbsp_trailing_bits() as ITU-T H.264
// clauses 7.2 and 9.1 define them, and the capacity bound of the buffer.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "support/test_support.h"
#include "synth/bit_writer.h"
#include "synth/slice_output.h"

using kavrel::Bitstream;
using kavrel::SliceOutput;
using kavrel::SyntaxSymbol;

namespace {

// A writer over a 64-byte buffer with a guard region behind `capacity`.
struct Writer {
    uint8_t buffer[64] = {};
    Bitstream stream;
    SliceOutput out;
    explicit Writer(int32_t capacity = 56) {
        for (uint8_t& b : buffer) b = 0xEE;
        kavrel::init_bitstream(&stream, buffer, capacity);
        out.stream = &stream;
    }
    // Every bit written so far, stored bytes then the pending ones.
    std::string bits() const {
        std::string s;
        for (int32_t i = 0; i < stream.byte_count; ++i)
            for (int b = 7; b >= 0; --b) s += ((buffer[i] >> b) & 1) ? '1' : '0';
        for (int b = 7 - stream.bits_left; b >= 0; --b) s += ((stream.pending_byte >> b) & 1) ? '1' : '0';
        return s;
    }
};

std::string ue_bits(int32_t v) {
    Writer w;
    const int32_t n = kavrel::write_ue(v, &w.out);
    EXPECT_EQ(n, static_cast<int32_t>(w.bits().size()));
    return w.bits();
}

std::string se_bits(int32_t v) {
    Writer w;
    const int32_t n = kavrel::write_se(v, &w.out);
    EXPECT_EQ(n, static_cast<int32_t>(w.bits().size()));
    return w.bits();
}

TEST(BitWriter, ExpGolombCodesAreTheStandards) {
    // ue(v), Table 9-2.
    EXPECT_EQ(ue_bits(0), "1");
    EXPECT_EQ(ue_bits(1), "010");
    EXPECT_EQ(ue_bits(2), "011");
    EXPECT_EQ(ue_bits(3), "00100");
    EXPECT_EQ(ue_bits(6), "00111");
    EXPECT_EQ(ue_bits(7), "0001000");
    // 65534: codeNum + 1 = 0xFFFF, 15 zeros, a one, 15 ones (31 bits).
    EXPECT_EQ(ue_bits(65534), std::string(15, '0') + "1" + std::string(15, '1'));
    // Past 65534 the standard's longer codes: 65535 + 1 = 2^16.
    EXPECT_EQ(ue_bits(65535), std::string(16, '0') + "1" + std::string(16, '0'));
    // INT32_MAX + 1 = 2^31: 31 zeros, a one, 31 zeros (63 bits).
    EXPECT_EQ(ue_bits(INT32_MAX), std::string(31, '0') + "1" + std::string(31, '0'));

    // se(v), Table 9-3: k > 0 -> 2k - 1, k <= 0 -> -2k.
    EXPECT_EQ(se_bits(0), "1");
    EXPECT_EQ(se_bits(1), "010");
    EXPECT_EQ(se_bits(-1), "011");
    EXPECT_EQ(se_bits(2), "00100");
    EXPECT_EQ(se_bits(-2), "00101");
    EXPECT_EQ(se_bits(-56), std::string(6, '0') + "1" + "110001");  // codeNum 112, 113 = 1110001
    // 32767 -> codeNum 65533, the longest code the 16-step bound covers.
    EXPECT_EQ(se_bits(32767), std::string(15, '0') + "1" + std::string(14, '1') + "0");
    // INT32_MIN -> codeNum 2^32: 32 zeros, a one, 31 zeros and a one.
    EXPECT_EQ(se_bits(INT32_MIN), std::string(32, '0') + "1" + std::string(31, '0') + "1");
    // INT32_MAX -> codeNum 2^32 - 3, + 1 = 2^32 - 2: 31 zeros, 31 ones, a zero.
    EXPECT_EQ(se_bits(INT32_MAX), std::string(31, '0') + std::string(31, '1') + "0");

    // The mapper outputs that write_mapped builds its pattern from.
    int32_t length = 0, info = 0;
    kavrel::map_ue(3, &length, &info);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(info, 0);
    kavrel::map_se(-2, &length, &info);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(info, 1);

    // write_mapped through the element-writer slot, with a symbol whose
    // pattern holds stale bits: only the code is written.
    Writer w;
    w.out.write_element = kavrel::write_mapped;
    SyntaxSymbol sym;
    sym.value = 4;  // codeNum 4: 00101
    sym.mapper = kavrel::map_ue;
    sym.pattern = 0xFFFFFFFF;
    EXPECT_EQ(w.out.write_element(nullptr, &sym, &w.out, 3, 7), 5);
    EXPECT_EQ(sym.length, 5);
    EXPECT_EQ(sym.pattern, 0x5u);
    EXPECT_EQ(w.bits(), "00101");
}

TEST(BitWriter, FixedWritesAndByteBoundaries) {
    {
        // Eight one-bit writes store exactly one byte and empty the pending byte.
        Writer w;
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(w.stream.byte_count, 0);
            kavrel::write_u(i & 1, 1, &w.out);
        }
        EXPECT_EQ(w.stream.byte_count, 1);
        EXPECT_EQ(w.stream.bits_left, 8);
        EXPECT_EQ(w.stream.pending_byte, 0);
        EXPECT_EQ(w.buffer[0], 0x55);
        EXPECT_EQ(w.buffer[1], 0xEE);  // nothing stored early
    }
    {
        // u(32) of 2^31 + 1 from a fresh stream: 80 00 00 01.
        Writer w;
        EXPECT_EQ(kavrel::write_u(0x80000001u, 32, &w.out), 32);
        EXPECT_EQ(kavrel_test::to_hex(w.buffer, 4), "80 00 00 01");
        EXPECT_EQ(w.stream.byte_count, 4);
        // A 32-bit write that straddles bytes: 3 bits, then 32, then 5.
        Writer v;
        kavrel::write_u(0x5, 3, &v.out);                // 101
        kavrel::write_u(0xDEADBEEFu, 32, &v.out);
        kavrel::write_u(0x1F, 5, &v.out);               // 11111
        // 101 11011110101011011011111011101111 11111
        EXPECT_EQ(kavrel_test::to_hex(v.buffer, 5), "bb d5 b7 dd ff");
        EXPECT_EQ(v.stream.bits_left, 8);
    }
    {
        // Only the low `length` bits of the pattern are written; length 0
        // writes nothing and reports 0.
        Writer w;
        SyntaxSymbol sym;
        sym.pattern = 0xF0;
        sym.length = 0;
        EXPECT_EQ(kavrel::write_fixed(&sym, &w.out), 0);
        EXPECT_EQ(w.bits(), "");
        sym.length = 4;
        EXPECT_EQ(kavrel::write_fixed(&sym, &w.out), 4);
        EXPECT_EQ(w.bits(), "0000");
    }
}

TEST(BitWriter, TrailingBits) {
    {
        Writer w;  // on a byte boundary: 0x80
        EXPECT_EQ(kavrel::write_trailing_bits(&w.stream), 8);
        EXPECT_EQ(w.stream.byte_count, 1);
        EXPECT_EQ(w.buffer[0], 0x80);
    }
    {
        Writer w;  // after 1, 0, 1: 1011 0000
        kavrel::write_u(1, 1, &w.out);
        kavrel::write_u(0, 1, &w.out);
        kavrel::write_u(1, 1, &w.out);
        EXPECT_EQ(kavrel::write_trailing_bits(&w.stream), 5);
        EXPECT_EQ(w.stream.byte_count, 1);
        EXPECT_EQ(w.buffer[0], 0xB0);
        EXPECT_EQ(w.stream.bits_left, 8);
        EXPECT_EQ(w.stream.pending_byte, 0);
    }
    {
        Writer w;  // after 7 zeros only the stop bit is left: 0000 0001
        kavrel::write_u(0, 7, &w.out);
        EXPECT_EQ(kavrel::write_trailing_bits(&w.stream), 1);
        EXPECT_EQ(w.buffer[0], 0x01);
    }
}

TEST(BitWriter, NeverWritesPastItsCapacity) {
    Writer w(2);
    kavrel::write_u(0xABCD, 16, &w.out);
    EXPECT_FALSE(w.stream.overflow);
    kavrel::write_u(0x12, 8, &w.out);  // the third byte has no room
    EXPECT_TRUE(w.stream.overflow);
    EXPECT_EQ(w.stream.byte_count, 2);
    EXPECT_EQ(kavrel_test::to_hex(w.buffer, 3), "ab cd ee");
    kavrel::write_trailing_bits(&w.stream);
    EXPECT_EQ(w.buffer[2], 0xEE);

    // A stream without a buffer stores nothing and says so.
    Bitstream none;
    kavrel::init_bitstream(&none, nullptr, 100);
    SliceOutput out;
    out.stream = &none;
    kavrel::write_ue(5, &out);
    EXPECT_FALSE(none.overflow);  // nothing complete yet
    kavrel::write_trailing_bits(&none);
    EXPECT_TRUE(none.overflow);
    EXPECT_EQ(none.byte_count, 0);
}

}  // namespace
