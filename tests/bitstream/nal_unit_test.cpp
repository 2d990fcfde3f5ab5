// NAL unit layer: where a unit ends in the byte stream, what its RBSP is
// (clause 7.4.1.1), the header diagnostics, and the parameter-set store.
#include <gtest/gtest.h>

#include <cstdlib>

#include "api/parser_handle.h"
#include "bitstream/nal_unit.h"
#include "support/test_support.h"

using kavrel_test::Bytes;
using kavrel_test::hex;
using kavrel_test::StdoutCapture;

namespace {

struct HandleDeleter {
    void operator()(ParserHandle* h) const {
        std::free(h->ps_data[0]);
        std::free(h->ps_data[1]);
        std::free(h);
    }
};
using HandlePtr = std::unique_ptr<ParserHandle, HandleDeleter>;

HandlePtr bare_handle() {
    auto* h = static_cast<ParserHandle*>(std::calloc(1, sizeof(ParserHandle)));
    h->ps_data[0] = static_cast<uint8_t*>(std::malloc(1024));
    h->ps_data[1] = static_cast<uint8_t*>(std::malloc(1024));
    return HandlePtr(h);
}

struct Unit {
    uint8_t* rbsp;
    Bytes bytes;
    int32_t consumed;
    std::string log;
};

// Reads the unit whose header byte starts `input`; the buffer is exactly
// input.size() - 1 bytes on the heap so that overruns show.
Unit read(ParserHandle* h, const Bytes& input) {
    Unit u{};
    std::vector<uint8_t> in(input);
    auto* buffer = static_cast<uint8_t*>(std::malloc(input.size()));
    int32_t len = -1;
    StdoutCapture cap;
    u.rbsp = kavrel::read_nal_unit(h, in.data(), &len, &u.consumed, static_cast<int32_t>(in.size()), buffer);
    u.log = cap.take();
    if (u.rbsp) u.bytes.assign(buffer, buffer + len);
    std::free(buffer);
    return u;
}

TEST(NalUnit, EndsBeforeStartCodesAndDropsEmulationPrevention) {
    auto h = bare_handle();
    // 65 | 88 84 00 00 03 01 20: the 03 is removed.
    Unit a = read(h.get(), hex("65 88 84 00 00 03 01 20"));
    EXPECT_EQ(kavrel_test::to_hex(a.bytes), "88 84 00 00 01 20");
    EXPECT_EQ(a.consumed, 8);
    // Header, payload 65 88 84 00 00 03 01 20 as in the standard's example.
    Unit b = read(h.get(), hex("41 65 88 84 00 00 03 01 20"));
    EXPECT_EQ(kavrel_test::to_hex(b.bytes), "65 88 84 00 00 01 20");
    EXPECT_EQ(b.consumed, 9);
    // A four-byte start code follows: its leading zero is not part of the unit.
    Unit c = read(h.get(), hex("41 AB CD 00 00 00 01"));
    EXPECT_EQ(kavrel_test::to_hex(c.bytes), "ab cd");
    EXPECT_EQ(c.consumed, 3);
    // A three-byte start code follows.
    Unit d = read(h.get(), hex("41 AB 00 00 01"));
    EXPECT_EQ(kavrel_test::to_hex(d.bytes), "ab");
    EXPECT_EQ(d.consumed, 2);
    // 00 00 02 ends a unit too; consecutive escapes each lose their 03.
    Unit e = read(h.get(), hex("41 00 00 03 00 00 03 01 00 00 02 77"));
    EXPECT_EQ(kavrel_test::to_hex(e.bytes), "00 00 00 00 01");
    EXPECT_EQ(e.consumed, 8);
    // Trailing zeros at the end of the input stay in the RBSP (the driver
    // drops one); 00 00 as the last two bytes is not a pattern.
    Unit f = read(h.get(), hex("41 12 80 00 00"));
    EXPECT_EQ(kavrel_test::to_hex(f.bytes), "12 80 00 00");
    EXPECT_EQ(f.consumed, 5);
    // A header byte alone is a unit with an empty payload.
    Unit g = read(h.get(), hex("09"));
    ASSERT_NE(g.rbsp, nullptr);
    EXPECT_TRUE(g.bytes.empty());
    EXPECT_EQ(g.consumed, 1);
    // 00 00 03 at the very end: the escape goes, the zeros stay.
    Unit k = read(h.get(), hex("41 55 00 00 03"));
    EXPECT_EQ(kavrel_test::to_hex(k.bytes), "55 00 00");
    EXPECT_EQ(k.consumed, 5);
}

TEST(NalUnit, HeaderChecksPrintExactlyTheirLines) {
    auto h = bare_handle();
    Unit idr = read(h.get(), hex("65 88"));
    EXPECT_EQ(idr.log, "");
    EXPECT_EQ(h->nal_ref_idc, 3);
    EXPECT_EQ(h->nal_unit_type, 5);

    Unit idr0 = read(h.get(), hex("05 88"));
    EXPECT_EQ(idr0.rbsp, nullptr);
    EXPECT_EQ(idr0.log, "[VsKavrel]:IDR nal with nal_ref_idc(0)\n");

    EXPECT_EQ(read(h.get(), hex("06 05")).log, "");
    EXPECT_EQ(read(h.get(), hex("26 05")).log,
              "[VsKavrel]:nal_ref_idc should equal to zero but it is 1, when nal_unit_type is 6\n");
    EXPECT_EQ(read(h.get(), hex("82 00")).log, "[VsKavrel]:forbidden_zero_bit (0) and  nal_unit_type(2)\n\n");
    EXPECT_EQ(read(h.get(), hex("81 00")).log, "");
    EXPECT_EQ(read(h.get(), hex("18 00")).log, "[VsKavrel]:the nal unit type is unspecified, 24\n");
    EXPECT_EQ(read(h.get(), hex("00 00")).log, "[VsKavrel]:the nal unit type is unspecified, 0\n");
    EXPECT_EQ(read(h.get(), hex("17 00")).log, "[VsKavrel]:the nal unit type is reserved, 23\n");
    // Forbidden bit with an unspecified type: both lines, in order.
    EXPECT_EQ(read(h.get(), hex("9f 00")).log,
              "[VsKavrel]:forbidden_zero_bit (0) and  nal_unit_type(31)\n\n"
              "[VsKavrel]:the nal unit type is unspecified, 31\n");
}

TEST(NalUnit, StoreParamSetKeepsCopiesAndGrows) {
    auto h = bare_handle();
    const Bytes sps = hex("42 c0 1e da 05 82 59");
    EXPECT_EQ(kavrel::store_param_set(h.get(), sps.data(), 7, 0), 0);
    EXPECT_EQ(h->ps_size[0], 7u);
    EXPECT_EQ(Bytes(h->ps_data[0], h->ps_data[0] + 7), sps);

    Bytes big(1500);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    StdoutCapture cap;
    EXPECT_EQ(kavrel::store_param_set(h.get(), big.data(), 1500, 0), 0);
    EXPECT_EQ(cap.take(), "[VsKavrel]:WARNING: ps(0) length is greater than 1500 bytes\n");
    EXPECT_EQ(h->ps_size[0], 1500u);
    EXPECT_EQ(Bytes(h->ps_data[0], h->ps_data[0] + 1500), big);

    // Without a buffer (the correction's handle) nothing is stored.
    std::free(h->ps_data[1]);
    h->ps_data[1] = nullptr;
    EXPECT_EQ(kavrel::store_param_set(h.get(), sps.data(), 7, 1), 0);
    EXPECT_EQ(h->ps_size[1], 0u);
}

}  // namespace
