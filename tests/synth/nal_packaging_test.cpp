// NAL packaging: emulation prevention (ITU-T H.264 clause 7.4.1), stuffing,
// the header byte and the start code, bounded by the destination's size.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "stream/parser_handle.h"
#include "bitstream/nal_unit.h"
#include "kavrel.h"
#include "support/test_support.h"
#include "synth/nal_packaging.h"

using kavrel_test::Bytes;
using kavrel_test::to_hex;

namespace {

// The escaped payload, or "refused" (then the input must be untouched).
std::string escape(const std::string& rbsp_hex, int32_t min_bytes = 0, int32_t capacity = 32) {
    const Bytes in = kavrel_test::hex(rbsp_hex);
    uint8_t buf[40];
    std::memset(buf, 0xEE, sizeof buf);
    if (!in.empty()) std::memcpy(buf, in.data(), in.size());
    const int32_t n = kavrel::insert_emulation_prevention(nullptr, buf, static_cast<int32_t>(in.size()), min_bytes,
                                                          capacity);
    if (n < 0) {
        EXPECT_EQ(to_hex(buf, in.size()), to_hex(in));
        return "refused";
    }
    EXPECT_EQ(buf[n], 0xEE) << "wrote past the payload";
    return to_hex(buf, static_cast<size_t>(n));
}

TEST(EmulationPrevention, EscapesStuffingAndCapacity) {
    EXPECT_EQ(escape("00 00 01"), "00 00 03 01");
    EXPECT_EQ(escape("00 00 02"), "00 00 03 02");
    EXPECT_EQ(escape("00 00 03"), "00 00 03 03");
    EXPECT_EQ(escape("00 00 04"), "00 00 04");
    EXPECT_EQ(escape("00 00 00 00"), "00 00 03 00 00");  // the count restarts after an escape
    EXPECT_EQ(escape("00 00 03 00 00 01"), "00 00 03 03 00 00 03 01");
    EXPECT_EQ(escape("80 00 00"), "80 00 00");  // two zeros at the very end get nothing
    EXPECT_EQ(escape(""), "");
    // Stuffing: 5 escaped bytes and 12 wanted -> three 00 00 03 groups.
    EXPECT_EQ(escape("00 00 01 80", 12), "00 00 03 01 80 00 00 03 00 00 03 00 00 03");
    EXPECT_EQ(escape("aa bb", 3), "aa bb 00 00 03");
    EXPECT_EQ(escape("00 00 01 80", 5), "00 00 03 01 80");
    // Room for exactly the result, and one byte less.
    EXPECT_EQ(escape("00 00 01 80", 0, 5), "00 00 03 01 80");
    EXPECT_EQ(escape("00 00 01 80", 0, 4), "refused");
    EXPECT_EQ(escape("00 00 01 80", 12, 13), "refused");
}

TEST(EmulationPrevention, RandomPayloadsSurviveTheParsersUnescape) {
    ParserHandle* handle = Kavrel_Open();
    std::mt19937 rng(6);
    for (int round = 0; round < 400; ++round) {
        const int32_t len = 1 + static_cast<int32_t>(rng() % 300);
        Bytes rbsp(static_cast<size_t>(len));
        for (uint8_t& b : rbsp) b = rng() % 10 < 6 ? 0 : static_cast<uint8_t>(rng() % 5);  // long zero runs
        rbsp.back() = 0x80;  // the stop bit
        const int32_t capacity = len + len / 2 + 1;
        Bytes unit(static_cast<size_t>(capacity) + 4, 0);
        unit[0] = 0x61;
        std::memcpy(unit.data() + 1, rbsp.data(), rbsp.size());
        const int32_t n = kavrel::insert_emulation_prevention(nullptr, unit.data() + 1, len, 0, capacity);
        ASSERT_GE(n, len);
        for (int32_t i = 1; i + 2 <= n; ++i) {  // no 00 00 00/01/02, no 00 00 03 xx with xx > 3
            const uint8_t* p = unit.data() + i;
            if (p[0] == 0 && p[1] == 0) {
                ASSERT_GE(p[2], 3) << i;
                if (p[2] == 3 && i + 3 <= n) {
                    ASSERT_LE(p[3], 3) << i;
                }
            }
        }
        unit[3 + n] = 1;  // a start code behind the payload
        int32_t rbsp_len = -1, consumed = -1;
        ASSERT_NE(kavrel::read_nal_unit(handle, unit.data(), &rbsp_len, &consumed, n + 4, handle->scratch), nullptr);
        ASSERT_EQ(rbsp_len, len) << round;
        ASSERT_EQ(std::memcmp(handle->scratch, rbsp.data(), rbsp.size()), 0) << round;
    }
    Kavrel_Close(handle);
}

TEST(NalPackaging, EmitAndSliceUnits) {
    uint8_t out[16];
    auto emit = [&](int32_t prefix, int32_t ref_idc, int32_t type, int32_t capacity) {
        kavrel::NALU* n = kavrel::AllocNALU(3);
        n->prefix_len = prefix;
        n->nal_ref_idc = ref_idc;
        n->nal_unit_type = type;
        n->buf[1] = 0x42;
        n->buf[2] = 0xC0;
        n->unit_len = 3;
        std::memset(out, 0xEE, sizeof out);
        const int32_t r = kavrel::emit_nalu(n, out, capacity);
        return std::to_string(r) + ": " + to_hex(out, 8);
    };
    // Header: forbidden_zero_bit 0, nal_ref_idc in bits 6..5, type in 4..0.
    EXPECT_EQ(emit(4, 3, 7, 7), "7: 00 00 00 01 67 42 c0 ee");
    EXPECT_EQ(emit(3, 0, 5, 7), "6: 00 00 01 05 42 c0 ee ee");
    EXPECT_EQ(emit(4, 3, 7, 6), "-1: ee ee ee ee ee ee ee ee");

    uint8_t payload[3] = {0x9A, 0x00, 0x80};
    kavrel::Bitstream slice;
    kavrel::init_bitstream(&slice, payload, 3);
    slice.byte_count = 3;
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(kavrel::write_slice_nalu(nullptr, &slice, out, 8), 8);  // header 01: non-IDR, nal_ref_idc 0
    EXPECT_EQ(to_hex(out, 9), "00 00 00 01 01 9a 00 80 ee");
    EXPECT_EQ(kavrel::write_slice_nalu(nullptr, &slice, out, 7), -1);
    slice.overflow = true;  // a slice that lost bytes is never emitted
    EXPECT_EQ(kavrel::write_slice_nalu(nullptr, &slice, out, 16), -1);
}

}  // namespace
