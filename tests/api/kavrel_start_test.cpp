// The exported parser calls and the frame walk's own codes, through the C
// interface as a caller uses it.
#include <gtest/gtest.h>

#include <cstring>

#include "stream/parser_handle.h"
#include "support/test_support.h"

using kavrel_test::Bytes;
using kavrel_test::hex;
using kavrel_test::Parser;
using kavrel_test::StdoutCapture;

namespace {

// "[VsKavrel]:<function>: Error: NULL Pointer\n\n" and nothing else.
bool is_null_pointer_line(const std::string& log) {
    const std::string suffix = ": Error: NULL Pointer\n\n";
    return log.rfind("[VsKavrel]:", 0) == 0 && log.size() > suffix.size() &&
           log.compare(log.size() - suffix.size(), std::string::npos, suffix) == 0 && log.find('\n') == log.size() - 2;
}

TEST(KavrelApi, NullArgumentsAreRefusedWithOneLine) {
    Parser p;
    const Bytes frame = hex("00 00 01 09 f0");
    FrameInput in{frame.data(), 5};
    FrameInfo info;
    std::memset(&info, 0x5A, sizeof info);
    const FrameInfo untouched = info;
    for (int which = 0; which < 3; ++which) {
        StdoutCapture cap;
        EXPECT_EQ(Kavrel_Start(which == 0 ? nullptr : p.h, which == 1 ? nullptr : &in, which == 2 ? nullptr : &info),
                  -7);
        const std::string log = cap.take();
        EXPECT_TRUE(is_null_pointer_line(log)) << log;
        EXPECT_EQ(std::memcmp(&info, &untouched, sizeof info), 0);
    }
    // A null data pointer is the driver's own refusal, with FrameInfo filled.
    FrameInput no_data{nullptr, 10};
    StdoutCapture cap;
    EXPECT_EQ(Kavrel_Start(p.h, &no_data, &info), -7);
    EXPECT_TRUE(is_null_pointer_line(cap.take()));
    EXPECT_EQ(info.consumed, 0u);

    StdoutCapture close_cap;
    Kavrel_Close(nullptr);
    EXPECT_TRUE(is_null_pointer_line(close_cap.take()));
}

TEST(KavrelApi, VersionIsOneConstantText) {
    const char* v = Kavrel_lib_get_version();
    EXPECT_STREQ(v, "reserver");
    EXPECT_EQ(v, Kavrel_lib_get_version());
}

TEST(KavrelApi, FreshHandleReportsNothingParsedYet) {
    // An access unit delimiter alone: nothing to report but the bytes taken.
    const kavrel_test::Started r = Parser().start(hex("00 00 00 01 09 f0"));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.log, "");
    EXPECT_EQ(r.info.consumed, 6u);
    EXPECT_EQ(r.info.picture_type, 255);
    EXPECT_EQ(r.info.picture_structure, 0);
    EXPECT_EQ(r.info.field_pic_flag, 0u);
    EXPECT_EQ(r.info.width, 0);
    EXPECT_EQ(r.info.coded_width, 0);
    EXPECT_EQ(r.info.sps_size, 0u);
    EXPECT_EQ(r.info.pps_size, 0u);
    EXPECT_NE(r.info.sps_data, nullptr);  // the handle's buffers, empty
}

TEST(KavrelApi, DriverCodes) {
    const struct {
        const char* frame;
        int32_t rc;
        std::string log;
    } cases[] = {
        // A slice before any SPS was ever parsed: -7 without a message.
        {"00 00 00 01 65 88 84 00", -7, ""},
        // An SEI with nal_ref_idc 1: the header line, then -11.
        {"00 00 01 26 05 01 ff 80", -11,
         "[VsKavrel]:nal_ref_idc should equal to zero but it is 1, when nal_unit_type is 6\n"},
        // An IDR unit with nal_ref_idc 0: the NAL layer's line, then -14.
        {"00 00 01 05 88 84", -14, "[VsKavrel]:IDR nal with nal_ref_idc(0)\n[VsKavrel]:Parse Nal fail\n"},
    };
    for (const auto& c : cases) {
        const kavrel_test::Started r = Parser().start(hex(c.frame));
        EXPECT_EQ(r.rc, c.rc) << c.frame;
        EXPECT_EQ(r.log, c.log) << c.frame;
        EXPECT_EQ(r.info.consumed, 0u) << c.frame;
    }
    // A size that does not fit the walk's signed count.
    Parser p;
    const Bytes frame = hex("00 00 01 09 f0");
    FrameInput in{frame.data(), 0x80000000u};
    FrameInfo info{};
    StdoutCapture cap;
    EXPECT_LT(Kavrel_Start(p.h, &in, &info), 0);
    EXPECT_EQ(info.consumed, 0u);
    EXPECT_EQ(p->scratch_capacity, 1 << 20);  // nothing was allocated for it
}

TEST(KavrelApi, ConsumedAtTheEndsOfTheInput) {
    const struct {
        Bytes frame;
        uint32_t consumed;
    } cases[] = {
        // Bytes before the first start code are skipped and counted.
        {hex("ff ee 00 00 01 09 f0"), 7},
        // Nothing but zeros: the search stops three bytes before the end.
        {Bytes(10, 0), 7},
        // Fewer than four bytes: nothing taken.
        {hex("00 00 01"), 0},
        {Bytes{}, 0},
        // Units that are not frame boundaries (filler, SEI, AUD) are all taken.
        {hex("00 00 01 09 f0 00 00 01 06 05 01 ff 80 00 00 00 01 0c ff ff 80"), 21},
        // A repeated start code is skipped.
        {hex("00 00 01 00 00 00 01 09 f0"), 9},
        // Zero bytes after the last unit: the search stops three bytes before the end.
        {hex("00 00 01 09 f0 00 00 00 00 00"), 7},
    };
    Parser p;
    for (const auto& c : cases) EXPECT_EQ(p.start(c.frame).info.consumed, c.consumed) << kavrel_test::to_hex(c.frame);
}

TEST(KavrelApi, ScratchGrowsToTheLargestFrameOnly) {
    Parser p;
    Bytes big(1500000, 0xff);  // one filler unit of 1.5 MB
    const Bytes head = hex("00 00 01 0c");
    std::copy(head.begin(), head.end(), big.begin());
    big.back() = 0x80;
    const kavrel_test::Started r = p.start(big);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.info.consumed, big.size());
    EXPECT_EQ(p->scratch_capacity, 1500000);
    uint8_t* grown = p->scratch;
    EXPECT_EQ(p.start(Bytes(big.begin(), big.begin() + 1200000)).rc, 0);
    EXPECT_EQ(p->scratch_capacity, 1500000);
    EXPECT_EQ(p->scratch, grown);
}

}  // namespace
