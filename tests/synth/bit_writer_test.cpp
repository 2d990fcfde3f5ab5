// Bit writer: u(n), ue(v), se(v) and rbsp_trailing_bits() (ITU-T H.264
// clauses 7.2, 9.1), and the capacity bound of its buffer.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "support/test_support.h"
#include "synth/bit_writer.h"
#include "synth/slice_output.h"

namespace {

// A writer over a guarded buffer of `capacity` bytes.
struct Writer {
    uint8_t buffer[16];
    kavrel::Bitstream stream;
    kavrel::SliceOutput out;
    explicit Writer(int32_t capacity = 12) {
        for (uint8_t& b : buffer) b = 0xEE;
        kavrel::init_bitstream(&stream, buffer, capacity);
        out.stream = &stream;
    }
    std::string bits() const {  // stored bytes, then the pending bits
        std::string s;
        for (int32_t i = 0; i < stream.byte_count; ++i)
            for (int b = 7; b >= 0; --b) s += char('0' + ((buffer[i] >> b) & 1));
        for (int b = 7 - stream.bits_left; b >= 0; --b) s += char('0' + ((stream.pending_byte >> b) & 1));
        return s;
    }
    std::string bytes() const { return kavrel_test::to_hex(buffer, static_cast<size_t>(stream.byte_count)); }
};

std::string zeros(int n) { return std::string(static_cast<size_t>(n), '0'); }
std::string ones(int n) { return std::string(static_cast<size_t>(n), '1'); }

TEST(BitWriter, ExpGolombCodes) {
    // Table 9-2, then the longest code of the 16-step range (65534) and the
    // standard's longer codes past it; Table 9-3: v > 0 -> codeNum 2v - 1,
    // v <= 0 -> -2v.
    const struct {
        bool is_se;
        int32_t value;
        std::string bits;
    } codes[] = {
        {false, 0, "1"}, {false, 1, "010"}, {false, 2, "011"}, {false, 3, "00100"}, {false, 7, "0001000"},
        {false, 65534, zeros(15) + "1" + ones(15)}, {false, 65535, zeros(16) + "1" + zeros(16)},
        {false, INT32_MAX, zeros(31) + "1" + zeros(31)},
        {true, 0, "1"}, {true, 1, "010"}, {true, -1, "011"}, {true, 2, "00100"}, {true, -2, "00101"},
        {true, -56, zeros(6) + "1110001"},                   // codeNum 112
        {true, INT32_MAX, zeros(31) + ones(31) + "0"},        // codeNum 2^32 - 3
        {true, INT32_MIN, zeros(32) + "1" + zeros(31) + "1"},  // codeNum 2^32
    };
    for (const auto& c : codes) {
        Writer w;
        EXPECT_EQ(c.is_se ? kavrel::write_se(c.value, &w.out) : kavrel::write_ue(c.value, &w.out),
                  static_cast<int32_t>(c.bits.size()))
            << c.value;
        EXPECT_EQ(w.bits(), c.bits) << c.value;
    }

    // Through the element-writer slot, with stale pattern bits in the symbol.
    Writer w;
    w.out.write_element = kavrel::write_mapped;
    kavrel::SyntaxSymbol sym;
    sym.value = 4;
    sym.mapper = kavrel::map_ue;
    sym.pattern = 0xFFFFFFFF;
    EXPECT_EQ(w.out.write_element(nullptr, &sym, &w.out, 3, 7), 5);
    EXPECT_EQ(sym.info, 1);
    EXPECT_EQ(w.bits(), "00101");
}

TEST(BitWriter, FixedWritesTrailingBitsAndCapacity) {
    Writer a;  // eight 1-bit writes store one byte, not earlier
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(a.stream.byte_count, 0);
        kavrel::write_u(i & 1, 1, &a.out);
    }
    EXPECT_EQ(a.bytes(), "55");
    EXPECT_EQ(a.stream.bits_left, 8);
    Writer b;  // u(32) of 2^31 + 1; then 3 + 32 + 5 bits across byte boundaries
    kavrel::write_u(0x80000001u, 32, &b.out);
    kavrel::write_u(0x5, 3, &b.out);
    kavrel::write_u(0xDEADBEEFu, 32, &b.out);
    kavrel::write_u(0x1F, 5, &b.out);
    EXPECT_EQ(b.bytes(), "80 00 00 01 bb d5 b7 dd ff");  // 101 DEADBEEF 11111
    Writer c;  // only the low `length` bits; length 0 writes nothing
    kavrel::SyntaxSymbol sym;
    sym.pattern = 0xF0;
    EXPECT_EQ(kavrel::write_fixed(&sym, &c.out), 0);
    sym.length = 4;
    EXPECT_EQ(kavrel::write_fixed(&sym, &c.out), 4);
    EXPECT_EQ(c.bits(), "0000");

    // rbsp_trailing_bits: 0x80 on a boundary, 1011 0000 after 101, 01 after 7 bits.
    Writer t0, t3, t7;
    EXPECT_EQ(kavrel::write_trailing_bits(&t0.stream), 8);
    kavrel::write_u(0x5, 3, &t3.out);
    EXPECT_EQ(kavrel::write_trailing_bits(&t3.stream), 5);
    kavrel::write_u(0, 7, &t7.out);
    EXPECT_EQ(kavrel::write_trailing_bits(&t7.stream), 1);
    EXPECT_EQ(t0.bytes() + " " + t3.bytes() + " " + t7.bytes(), "80 b0 01");

    Writer small(2);  // a third byte has no room: dropped, overflow set
    kavrel::write_u(0xABCD, 16, &small.out);
    EXPECT_FALSE(small.stream.overflow);
    kavrel::write_u(0x12, 8, &small.out);
    kavrel::write_trailing_bits(&small.stream);
    EXPECT_TRUE(small.stream.overflow);
    EXPECT_EQ(kavrel_test::to_hex(small.buffer, 3), "ab cd ee");
}

}  // namespace
