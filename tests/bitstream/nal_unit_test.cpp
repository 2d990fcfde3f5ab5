// NAL unit layer: where a unit ends in the byte stream, what its RBSP is
// (clause 7.4.1.1), the header diagnostics, and the parameter-set store.
#include <gtest/gtest.h>

#include <cstdlib>

#include "stream/parser_handle.h"
#include "bitstream/nal_unit.h"
#include "support/test_support.h"

using kavrel_test::Bytes;
using kavrel_test::hex;
using kavrel_test::StdoutCapture;

namespace {

kavrel_test::BareHandle handle() {
    kavrel_test::BareHandle h = kavrel_test::bare_handle();
    h->ps_data[0] = static_cast<uint8_t*>(std::malloc(1024));
    h->ps_data[1] = static_cast<uint8_t*>(std::malloc(1024));
    return h;
}

struct Unit {
    uint8_t* rbsp;
    std::string bytes;  // hex
    int32_t consumed;
    std::string log;
};

// Reads the unit whose header byte starts `input`; input and output are
// exactly their size on the heap so that overruns show.
Unit read(ParserHandle* h, const std::string& input_hex) {
    const Bytes input = hex(input_hex);
    std::vector<uint8_t> in(input);
    std::vector<uint8_t> buffer(input.size());
    Unit u{};
    int32_t len = -1;
    StdoutCapture cap;
    u.rbsp = kavrel::read_nal_unit(h, in.data(), &len, &u.consumed, static_cast<int32_t>(in.size()), buffer.data());
    u.log = cap.take();
    if (u.rbsp) u.bytes = kavrel_test::to_hex(buffer.data(), static_cast<size_t>(len));
    return u;
}

TEST(NalUnit, EndsBeforeStartCodesAndDropsEmulationPrevention) {
    auto h = handle();
    const struct {
        const char* unit;
        const char* rbsp;
        int32_t consumed;
    } cases[] = {
        {"65 88 84 00 00 03 01 20", "88 84 00 00 01 20", 8},  // the 03 is removed
        // Header, then the payload 65 88 84 00 00 03 01 20 of the standard's example.
        {"41 65 88 84 00 00 03 01 20", "65 88 84 00 00 01 20", 9},
        // A four-byte start code follows: its leading zero is not part of the unit.
        {"41 AB CD 00 00 00 01", "ab cd", 3},
        {"41 AB 00 00 01", "ab", 2},  // a three-byte start code follows
        // 00 00 02 ends a unit too; consecutive escapes each lose their 03.
        {"41 00 00 03 00 00 03 01 00 00 02 77", "00 00 00 00 01", 8},
        // Trailing zeros at the end of the input stay in the RBSP (the driver
        // drops one); 00 00 as the last two bytes is not a pattern.
        {"41 12 80 00 00", "12 80 00 00", 5},
        {"09", "", 1},  // a header byte alone is a unit with an empty payload
        {"41 55 00 00 03", "55 00 00", 5},  // 00 00 03 at the very end: the escape goes, the zeros stay
    };
    for (const auto& c : cases) {
        const Unit u = read(h.get(), c.unit);
        ASSERT_NE(u.rbsp, nullptr) << c.unit;
        EXPECT_EQ(u.bytes, c.rbsp) << c.unit;
        EXPECT_EQ(u.consumed, c.consumed) << c.unit;
    }
}

TEST(NalUnit, HeaderChecksPrintExactlyTheirLines) {
    auto h = handle();
    EXPECT_EQ(read(h.get(), "65 88").log, "");
    EXPECT_EQ(h->nal_ref_idc, 3);
    EXPECT_EQ(h->nal_unit_type, 5);
    const Unit idr0 = read(h.get(), "05 88");
    EXPECT_EQ(idr0.rbsp, nullptr);
    EXPECT_EQ(idr0.log, "[VsKavrel]:IDR nal with nal_ref_idc(0)\n");
    const std::pair<const char*, const char*> lines[] = {
        {"06 05", ""},
        {"26 05", "[VsKavrel]:nal_ref_idc should equal to zero but it is 1, when nal_unit_type is 6\n"},
        {"82 00", "[VsKavrel]:forbidden_zero_bit (0) and  nal_unit_type(2)\n\n"},
        {"81 00", ""},
        {"18 00", "[VsKavrel]:the nal unit type is unspecified, 24\n"},
        {"00 00", "[VsKavrel]:the nal unit type is unspecified, 0\n"},
        {"16 00", "[VsKavrel]:the nal unit type is reserved, 22\n"},
        {"17 00", "[VsKavrel]:the nal unit type is reserved, 23\n"},
        // Forbidden bit with an unspecified type: both lines, in order.
        {"9f 00", "[VsKavrel]:forbidden_zero_bit (0) and  nal_unit_type(31)\n\n"
                  "[VsKavrel]:the nal unit type is unspecified, 31\n"},
    };
    for (const auto& [unit, log] : lines) EXPECT_EQ(read(h.get(), unit).log, log) << unit;
}

TEST(NalUnit, StoreParamSetKeepsCopiesAndGrows) {
    auto h = handle();
    const Bytes sps = hex("42 c0 1e da 05 82 59");
    EXPECT_EQ(kavrel::store_param_set(h.get(), sps.data(), 7, 0), 0);
    EXPECT_EQ(Bytes(h->ps_data[0], h->ps_data[0] + h->ps_size[0]), sps);

    Bytes big(1500);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    StdoutCapture cap;
    EXPECT_EQ(kavrel::store_param_set(h.get(), big.data(), 1500, 0), 0);
    EXPECT_EQ(cap.take(), "[VsKavrel]:WARNING: ps(0) length is greater than 1500 bytes\n");
    EXPECT_EQ(Bytes(h->ps_data[0], h->ps_data[0] + h->ps_size[0]), big);

    // Without a buffer (the correction's handle) nothing is stored.
    std::free(h->ps_data[1]);
    h->ps_data[1] = nullptr;
    EXPECT_EQ(kavrel::store_param_set(h.get(), sps.data(), 7, 1), 0);
    EXPECT_EQ(h->ps_size[1], 0u);
}

}  // namespace
