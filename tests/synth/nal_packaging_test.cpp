// NAL packaging: emulation prevention (ITU-T H.264 clause 7.4.1), stuffing
// groups, the NAL header byte and the Annex B start code, all bounded by the
// destination's capacity.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "api/parser_handle.h"
#include "bitstream/nal_unit.h"
#include "kavrel.h"
#include "support/test_support.h"
#include "synth/nal_packaging.h"

using kavrel_test::Bytes;
using kavrel_test::hex;
using kavrel_test::to_hex;

namespace {

// Escapes `rbsp` with room for `capacity` bytes; the result's bytes, or
// "refused" when the call returned -1 (then the input must be untouched).
std::string escape(const std::string& rbsp_hex, int32_t min_bytes = 0, int32_t capacity = 64) {
    Bytes in = hex(rbsp_hex);
    Bytes buf(64, 0xEE);
    std::memcpy(buf.data(), in.data(), in.size());
    const int32_t n = kavrel::insert_emulation_prevention(nullptr, buf.data(), static_cast<int32_t>(in.size()),
                                                          min_bytes, capacity);
    if (n < 0) {
        EXPECT_EQ(to_hex(buf.data(), in.size()), to_hex(in));
        return "refused";
    }
    EXPECT_EQ(buf[n], 0xEE) << "wrote past the payload";
    return to_hex(buf.data(), static_cast<size_t>(n));
}

TEST(EmulationPrevention, InsertsWhereTheStandardRequires) {
    EXPECT_EQ(escape("00 00 01"), "00 00 03 01");
    EXPECT_EQ(escape("00 00 02"), "00 00 03 02");
    EXPECT_EQ(escape("00 00 03"), "00 00 03 03");
    EXPECT_EQ(escape("00 00 04"), "00 00 04");
    // The zero count restarts after an inserted byte.
    EXPECT_EQ(escape("00 00 00 00"), "00 00 03 00 00");
    EXPECT_EQ(escape("00 00 00 00 00 00"), "00 00 03 00 00 03 00 00");
    EXPECT_EQ(escape("00 00 03 00 00 01"), "00 00 03 03 00 00 03 01");
    // At the very end two zeros get nothing; at the very start they do.
    EXPECT_EQ(escape("80 00 00"), "80 00 00");
    EXPECT_EQ(escape("00 00 01 80"), "00 00 03 01 80");
    // A zero between non-zero bytes and a single trailing zero pass.
    EXPECT_EQ(escape("11 00 22 00"), "11 00 22 00");
    EXPECT_EQ(escape(""), "");
}

TEST(EmulationPrevention, StuffingAndCapacity) {
    // 5 bytes after escaping, at least 12 wanted: three 00 00 03 groups.
    EXPECT_EQ(escape("00 00 01 80", 12), "00 00 03 01 80 00 00 03 00 00 03 00 00 03");
    // One byte short of the minimum still takes a whole group.
    EXPECT_EQ(escape("aa bb", 3), "aa bb 00 00 03");
    EXPECT_EQ(escape("00 00 01 80", 5), "00 00 03 01 80");
    EXPECT_EQ(escape("00 00 01 80", 2), "00 00 03 01 80");
    // Exactly enough room, and one byte too little (input left alone).
    EXPECT_EQ(escape("00 00 01 80", 0, 5), "00 00 03 01 80");
    EXPECT_EQ(escape("00 00 01 80", 0, 4), "refused");
    EXPECT_EQ(escape("00 00 01 80", 12, 13), "refused");
    EXPECT_EQ(escape("00 00 01 80", 12, 14), "00 00 03 01 80 00 00 03 00 00 03 00 00 03");
}

// The escaped bytes hold none of the sequences clause 7.4.1 forbids.
void expect_no_emulation(const uint8_t* p, int32_t n) {
    for (int32_t i = 0; i + 2 < n; ++i) {
        if (p[i] != 0 || p[i + 1] != 0) continue;
        ASSERT_GE(p[i + 2], 3) << "00 00 0" << int(p[i + 2]) << " at " << i;
        if (p[i + 2] == 3 && i + 3 < n) {
            ASSERT_LE(p[i + 3], 3) << "00 00 03 xx at " << i;
        }
    }
}

TEST(EmulationPrevention, RandomPayloadsSurviveTheParsersUnescape) {
    ParserHandle* handle = Kavrel_Open();
    ASSERT_NE(handle, nullptr);
    std::mt19937 rng(6);
    for (int round = 0; round < 400; ++round) {
        // Mostly zeros and small values, to make long zero runs likely.
        const int32_t len = 1 + static_cast<int32_t>(rng() % 300);
        Bytes rbsp(static_cast<size_t>(len));
        for (uint8_t& b : rbsp) {
            const uint32_t r = rng() % 10;
            b = r < 6 ? 0 : r < 9 ? static_cast<uint8_t>(r - 5) : static_cast<uint8_t>(rng());
        }
        rbsp.back() = 0x80;  // an RBSP ends in its stop bit
        const int32_t capacity = len + len / 2 + 1;
        Bytes unit(1 + static_cast<size_t>(capacity) + 4, 0);
        unit[0] = 0x61;  // nal_ref_idc 3, coded slice
        std::memcpy(unit.data() + 1, rbsp.data(), rbsp.size());
        const int32_t n = kavrel::insert_emulation_prevention(nullptr, unit.data() + 1, len, 0, capacity);
        ASSERT_GE(n, len);
        expect_no_emulation(unit.data() + 1, n);
        // Followed by a start code, the parser's NAL layer gives back the RBSP.
        unit[1 + n] = 0;
        unit[2 + n] = 0;
        unit[3 + n] = 1;
        int32_t rbsp_len = -1, consumed = -1;
        ASSERT_NE(kavrel::read_nal_unit(handle, unit.data(), &rbsp_len, &consumed, n + 4, handle->scratch), nullptr);
        ASSERT_EQ(rbsp_len, len) << "round " << round;
        EXPECT_EQ(consumed, n + 1);
        ASSERT_EQ(std::memcmp(handle->scratch, rbsp.data(), rbsp.size()), 0) << "round " << round;
    }
    Kavrel_Close(handle);
}

TEST(NalPackaging, EmitWritesStartCodeHeaderAndPayload) {
    {
        kavrel::NALU* n = kavrel::AllocNALU(8);
        ASSERT_NE(n, nullptr);
        n->prefix_len = 4;
        n->nal_ref_idc = 3;
        n->nal_unit_type = 7;
        n->buf[1] = 0x42;
        n->buf[2] = 0xC0;
        n->unit_len = 3;
        uint8_t out[16];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(kavrel::emit_nalu(n, out, 7), 7);
        // 4-byte start code; header: forbidden 0, nal_ref_idc 3 (bits 6..5),
        // nal_unit_type 7 -> 0110 0111.
        EXPECT_EQ(to_hex(out, 8), "00 00 00 01 67 42 c0 ee");
    }
    {
        kavrel::NALU* n = kavrel::AllocNALU(2);
        ASSERT_NE(n, nullptr);
        n->prefix_len = 3;  // three-byte start code
        n->nal_ref_idc = 0;
        n->nal_unit_type = 5;
        n->buf[1] = 0x88;
        n->unit_len = 2;
        uint8_t out[8];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(kavrel::emit_nalu(n, out, 8), 5);
        EXPECT_EQ(to_hex(out, 6), "00 00 01 05 88 ee");
    }
    {
        // One byte short: nothing written (the NALU is released all the same).
        kavrel::NALU* n = kavrel::AllocNALU(4);
        ASSERT_NE(n, nullptr);
        n->unit_len = 4;
        uint8_t out[8];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(kavrel::emit_nalu(n, out, 7), -1);
        EXPECT_EQ(to_hex(out, 8), "ee ee ee ee ee ee ee ee");
    }
}

TEST(NalPackaging, SliceUnit) {
    uint8_t payload[3] = {0x9A, 0x00, 0x80};
    kavrel::Bitstream slice;
    kavrel::init_bitstream(&slice, payload, 3);
    slice.byte_count = 3;
    uint8_t out[16];
    std::memset(out, 0xEE, sizeof out);
    // nal_ref_idc 0, nal_unit_type 1: header byte 01.
    EXPECT_EQ(kavrel::write_slice_nalu(nullptr, &slice, out, 8), 8);
    EXPECT_EQ(to_hex(out, 9), "00 00 00 01 01 9a 00 80 ee");

    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(kavrel::write_slice_nalu(nullptr, &slice, out, 7), -1);
    slice.overflow = true;  // a slice that lost bytes is never emitted
    EXPECT_EQ(kavrel::write_slice_nalu(nullptr, &slice, out, 16), -1);
    EXPECT_EQ(out[0], 0xEE);
}

}  // namespace
