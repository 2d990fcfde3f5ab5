// The exported parser calls and the frame walk's own codes, through the C
// interface as a caller uses it.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "api/parser_handle.h"
#include "kavrel.h"
#include "support/test_support.h"

using kavrel_test::Bytes;
using kavrel_test::hex;
using kavrel_test::StdoutCapture;

namespace {

struct Handle {
    ParserHandle* h = Kavrel_Open();
    ~Handle() { Kavrel_Close(h); }
};

struct Result {
    int32_t rc;
    FrameInfo info;
    std::string log;
};

Result start(ParserHandle* h, const Bytes& frame) {
    Result r{};
    std::memset(&r.info, 0xAB, sizeof r.info);
    FrameInput in{frame.data(), static_cast<uint32_t>(frame.size())};
    StdoutCapture cap;
    r.rc = Kavrel_Start(h, &in, &r.info);
    r.log = cap.take();
    return r;
}

const char kNullLinePrefix[] = "[VsKavrel]:";
const char kNullLineSuffix[] = ": Error: NULL Pointer\n\n";

bool is_null_pointer_line(const std::string& log) {
    return log.rfind(kNullLinePrefix, 0) == 0 && log.size() > sizeof kNullLineSuffix &&
           log.compare(log.size() - (sizeof kNullLineSuffix - 1), std::string::npos, kNullLineSuffix) == 0 &&
           log.find('\n') == log.size() - 2;
}

TEST(KavrelApi, NullArgumentsAreRefusedWithOneLine) {
    Handle hd;
    const Bytes frame = hex("00 00 01 09 f0");
    FrameInput in{frame.data(), 5};
    FrameInfo info;
    std::memset(&info, 0x5A, sizeof info);
    const FrameInfo untouched = info;
    for (int which = 0; which < 3; ++which) {
        StdoutCapture cap;
        const int32_t rc = Kavrel_Start(which == 0 ? nullptr : hd.h, which == 1 ? nullptr : &in,
                                        which == 2 ? nullptr : &info);
        const std::string log = cap.take();
        EXPECT_EQ(rc, -7);
        EXPECT_TRUE(is_null_pointer_line(log)) << log;
        EXPECT_EQ(std::memcmp(&info, &untouched, sizeof info), 0);
    }
    // A null data pointer is the driver's own refusal, with FrameInfo filled.
    FrameInput no_data{nullptr, 10};
    StdoutCapture cap;
    EXPECT_EQ(Kavrel_Start(hd.h, &no_data, &info), -7);
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
    Handle hd;
    // An access unit delimiter alone: nothing to report but the bytes taken.
    Result r = start(hd.h, hex("00 00 00 01 09 f0"));
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
    // A slice before any SPS was ever parsed: -7 without a message.
    {
        Handle hd;
        Result r = start(hd.h, hex("00 00 00 01 65 88 84 00"));
        EXPECT_EQ(r.rc, -7);
        EXPECT_EQ(r.log, "");
        EXPECT_EQ(r.info.consumed, 0u);
    }
    // An SEI with nal_ref_idc 1: the header line, then -11.
    {
        Handle hd;
        Result r = start(hd.h, hex("00 00 01 26 05 01 ff 80"));
        EXPECT_EQ(r.rc, -11);
        EXPECT_EQ(r.log, "[VsKavrel]:nal_ref_idc should equal to zero but it is 1, when nal_unit_type is 6\n");
    }
    // An IDR unit with nal_ref_idc 0: the NAL layer's line, then -14.
    {
        Handle hd;
        Result r = start(hd.h, hex("00 00 01 05 88 84"));
        EXPECT_EQ(r.rc, -14);
        EXPECT_EQ(r.log, "[VsKavrel]:IDR nal with nal_ref_idc(0)\n[VsKavrel]:Parse Nal fail\n");
    }
    // A size that does not fit the walk's signed count.
    {
        Handle hd;
        const Bytes frame = hex("00 00 01 09 f0");
        FrameInput in{frame.data(), 0x80000000u};
        FrameInfo info{};
        StdoutCapture cap;
        EXPECT_LT(Kavrel_Start(hd.h, &in, &info), 0);
        EXPECT_EQ(info.consumed, 0u);
        EXPECT_EQ(hd.h->scratch_capacity, 1 << 20);  // nothing was allocated for it
    }
}

TEST(KavrelApi, ConsumedAtTheEndsOfTheInput) {
    Handle hd;
    // Bytes before the first start code are skipped and counted.
    EXPECT_EQ(start(hd.h, hex("ff ee 00 00 01 09 f0")).info.consumed, 7u);
    // Nothing but zeros: the search stops three bytes before the end.
    EXPECT_EQ(start(hd.h, Bytes(10, 0)).info.consumed, 7u);
    // Fewer than four bytes: nothing taken.
    EXPECT_EQ(start(hd.h, hex("00 00 01")).info.consumed, 0u);
    EXPECT_EQ(start(hd.h, Bytes{}).info.consumed, 0u);
    // Units that are not frame boundaries (filler, SEI, AUD) are all taken.
    EXPECT_EQ(start(hd.h, hex("00 00 01 09 f0 00 00 01 06 05 01 ff 80 00 00 00 01 0c ff ff 80")).info.consumed,
              21u);
    // A repeated start code is skipped.
    EXPECT_EQ(start(hd.h, hex("00 00 01 00 00 00 01 09 f0")).info.consumed, 9u);
    // Zero bytes after the last unit: the search stops three bytes before the end.
    EXPECT_EQ(start(hd.h, hex("00 00 01 09 f0 00 00 00 00 00")).info.consumed, 7u);
}

TEST(KavrelApi, ScratchGrowsToTheLargestFrameOnly) {
    Handle hd;
    Bytes big(1500000, 0xff);
    const Bytes head = hex("00 00 01 0c");  // one filler unit of 1.5 MB
    std::copy(head.begin(), head.end(), big.begin());
    big.back() = 0x80;
    Result r = start(hd.h, big);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.info.consumed, big.size());
    EXPECT_EQ(hd.h->scratch_capacity, 1500000);
    uint8_t* grown = hd.h->scratch;
    Bytes smaller(big.begin(), big.begin() + 1200000);
    EXPECT_EQ(start(hd.h, smaller).rc, 0);
    EXPECT_EQ(hd.h->scratch_capacity, 1500000);
    EXPECT_EQ(hd.h->scratch, grown);
}

}  // namespace
