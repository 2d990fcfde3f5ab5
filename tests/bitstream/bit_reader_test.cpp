// Bit reader: fixed-width fields and Exp-Golomb codes (ITU-T H.264 9.1),
// and what it yields at and past the end of its data.
#include <gtest/gtest.h>

#include <cstring>

#include "bitstream/bit_reader.h"
#include "support/test_support.h"

using kavrel::BitReader;
using kavrel_test::BitBuilder;
using kavrel_test::Bytes;

namespace {

// A reader over `rbsp` whose syntax ends at bit_count; the buffer is padded
// with a guard byte as the driver's buffer always has one at `end`.
struct Reader {
    Bytes data;
    BitReader r;
    Reader(Bytes bytes, int32_t bit_count) : data(std::move(bytes)) {
        kavrel::bit_reader_init(r, data.data(), static_cast<int32_t>(data.size()), bit_count);
    }
};

TEST(BitReader, ExpGolombCodesDecodeToTheStandardsValues) {
    // ue (9.1): 1 -> 0, 010 -> 1, 011 -> 2, 00100 -> 3, 00111 -> 6, 15 zeros,
    // a one and 15 ones -> 65534 (the longest code with a value); 16
    // leading zeros: no value (-1), but the whole 33-bit code is stepped
    // over. se (9.1.1): 1, 010, 011, 00100, 00101 -> 0, 1, -1, 2, -2.
    const struct {
        bool is_se;
        const char* bits;
        int32_t value;
    } codes[] = {
        {false, "1", 0}, {false, "010", 1}, {false, "011", 2}, {false, "00100", 3}, {false, "00111", 6},
        {false, "0000000000000001111111111111111", 65534}, {false, "000000000000000010000000000000000", -1},
        {true, "1", 0}, {true, "010", 1}, {true, "011", -1}, {true, "00100", 2}, {true, "00101", -2},
    };
    for (const auto& c : codes) {
        // The code at every alignment where the 32-bit window holds all of
        // it (beyond, its lowest info bits read as 0), then a 1.
        const int len = static_cast<int>(std::strlen(c.bits));
        for (int lead = 0; lead < 8 && (lead + len <= 32 || c.value < 0); ++lead) {
            BitBuilder b;
            b.u(lead, 0);
            for (const char* p = c.bits; *p; ++p) b.u(1, *p == '1');
            b.u(1, 1).u(16, 0);
            Reader rd(b.bytes(), static_cast<int32_t>(b.bit_length()) - 16);
            rd.r.bit_pos = lead;
            EXPECT_EQ(c.is_se ? kavrel::read_se(rd.r) : kavrel::read_ue(rd.r), c.value) << c.bits << " at " << lead;
            EXPECT_EQ(rd.r.bit_pos, lead + len) << c.bits << " at " << lead;
        }
    }
    // An all-zero window advances 63 bits, ue and se alike; skip_ue steps
    // over a code without a value.
    for (int se = 0; se < 2; ++se) {
        Reader z(kavrel_test::hex("00 00 00 00 00 00 00 00 00 01"), 79);
        EXPECT_EQ(se ? kavrel::read_se(z.r) : kavrel::read_ue(z.r), se ? 0 : -1);
        EXPECT_EQ(z.r.bit_pos, 63);
    }
    Reader k(kavrel_test::hex("00 00 80 00 00 00 80"), 56);
    kavrel::skip_ue(k.r);
    EXPECT_EQ(k.r.bit_pos, 33);
}

TEST(BitReader, FixedWidthReadsAcrossBytes) {
    Reader rd(kavrel_test::hex("a5 3c ff 01 80"), 32);
    EXPECT_EQ(kavrel::read_bits(rd.r, 4), 0xa);
    EXPECT_EQ(kavrel::read_bits(rd.r, 8), 0x53);
    EXPECT_EQ(kavrel::read_bit(rd.r), 1);
    EXPECT_EQ(kavrel::read_bits(rd.r, 16), 0x9fe0);  // 1100 1111 1111 0000 0001...
    EXPECT_EQ(rd.r.bit_pos, 29);
}

TEST(BitReader, AtAndPastTheEndOfTheData) {
    // Three syntax bytes, stop bit in the fourth: size (end - start) is 3.
    Reader rd(kavrel_test::hex("12 34 56 80"), 24);
    rd.r.bit_pos = 24;  // first bit of the byte at `end`: still readable
    EXPECT_EQ(kavrel::read_bit(rd.r), 1);
    rd.r.bit_pos = 24;  // bytes_left is 0: the byte at `end` is the window
    EXPECT_EQ(kavrel::read_bits(rd.r, 8), 0x80);
    rd.r.bit_pos = 32;  // one byte past: every read reports -1
    EXPECT_EQ(kavrel::read_bit(rd.r), -1);
    EXPECT_EQ(rd.r.bit_pos, 33);
    rd.r.bit_pos = 32;
    EXPECT_EQ(kavrel::read_bits(rd.r, 8), -1);
    EXPECT_EQ(rd.r.bit_pos, 40);  // still advances
    EXPECT_EQ(kavrel::read_ue(rd.r), -1);
    EXPECT_EQ(rd.r.bit_pos, 40);  // does not advance
    EXPECT_EQ(kavrel::read_se(rd.r), -1);
    EXPECT_EQ(rd.r.bit_pos, 40);
    kavrel::skip_ue(rd.r);
    EXPECT_EQ(rd.r.bit_pos, 24);  // size * 8, backwards
}

TEST(BitReader, NeverReadsPastItsBuffer) {
    // The syntax ends mid-byte in the last byte: `end` is one past the
    // buffer. The reader must treat that byte as zeros, not touch it
    // (AddressSanitizer checks the heap copy).
    const Bytes bytes = kavrel_test::hex("ff ff ff f1");
    auto* heap = new uint8_t[bytes.size()];
    std::copy(bytes.begin(), bytes.end(), heap);
    BitReader r;
    kavrel::bit_reader_init(r, heap, 4, 31);
    r.bit_pos = 24;
    EXPECT_EQ(kavrel::read_bits(r, 16), 0xf100);
    r.bit_pos = 29;
    EXPECT_EQ(kavrel::read_ue(r), 3);  // 0 0 1, then zeros past the data: 00100 -> 3
    r.bit_pos = 33;
    EXPECT_EQ(kavrel::read_bit(r), 0);
    for (int pos = 0; pos < 64; ++pos) {
        r.bit_pos = pos;
        kavrel::read_ue(r);
        r.bit_pos = pos;
        kavrel::read_se(r);
        r.bit_pos = pos;
        kavrel::read_bits(r, 16);
    }
    delete[] heap;
}

TEST(BitReader, LongVariantsKeepValuesBeyond65534) {
    // codeNum 2^20 + 5: 20 zeros, then 1, then 20 info bits (= 6 - 1 = 5).
    BitBuilder b;
    b.ue((1u << 20) + 4).se(-100000).se(70000).trailing();
    Reader rd(b.bytes(), static_cast<int32_t>(b.bit_length()) - 1);
    BitReader copy = rd.r;
    EXPECT_EQ(kavrel::read_ue_long(rd.r), (1 << 20) + 4);
    EXPECT_EQ(kavrel::read_se_long(rd.r), -100000);
    EXPECT_EQ(kavrel::read_se_long(rd.r), 70000);
    // Same stepping as the plain readers.
    kavrel::read_ue(copy);
    kavrel::read_se(copy);
    kavrel::read_se(copy);
    EXPECT_EQ(copy.bit_pos, rd.r.bit_pos);

    // Codes longer than the window, at every alignment: 2^25 and -10^9.
    for (int lead = 0; lead < 8; ++lead) {
        BitBuilder l;
        l.u(lead, 0).ue(1u << 25).se(-1000000000).ue(3).trailing();
        Reader ld(l.bytes(), static_cast<int32_t>(l.bit_length()) - 1);
        ld.r.bit_pos = lead;
        EXPECT_EQ(kavrel::read_ue_long(ld.r), 1 << 25) << "at bit " << lead;
        EXPECT_EQ(kavrel::read_se_long(ld.r), -1000000000) << "at bit " << lead;
        EXPECT_EQ(kavrel::read_ue(ld.r), 3) << "lost its place at bit " << lead;
    }
}

}  // namespace
