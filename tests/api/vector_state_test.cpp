// Every export returns with the AVX upper state clean: a host's legacy-SSE
// code that runs after a call would otherwise be slowed down. XGETBV with
// ECX = 1 reports which state components are in use (bit 2: the upper
// halves of the YMM registers).
#include <gtest/gtest.h>

#include <functional>

#include "support/test_support.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>

using namespace kavrel_test;

namespace {

bool upper_state_in_use() {
    uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(1));
    return (lo & 4u) != 0;
}

// XGETBV with ECX = 1 exists (CPUID.(EAX=0DH,ECX=1):EAX bit 2), the system
// keeps the AVX state, and a VZEROUPPER shows in the answer.
bool upper_state_observable() {
    uint32_t a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX)) return false;
    if (!__get_cpuid_count(0xD, 1, &a, &b, &c, &d) || !(a & 4u)) return false;
    __asm__ volatile("vzeroupper");
    return !upper_state_in_use();
}

void expect_clean_after(const char* what, const std::function<void()>& call) {
    __asm__ volatile("vzeroupper");
    call();
    EXPECT_FALSE(upper_state_in_use()) << what;
}

// Each access unit given alone, as a demuxer hands them over: the scan runs to the end of the bytes given.
TEST(VectorState, EveryExportReturnsWithTheUpperStateClean) {
    if (!upper_state_observable()) GTEST_SKIP() << "the processor does not report the AVX upper state";
    for (const char* name : {"sample.h264", "ippp.h264"}) {
        const Bytes stream = read_file(std::string(KAVREL_SOURCE_DIR) + "/samples/" + name);
        std::vector<uint32_t> sizes;
        Parser sizer;
        for (size_t pos = 0; pos < stream.size(); pos += sizes.back()) {
            sizes.push_back(sizer.start(stream, pos).info.consumed);
            ASSERT_GT(sizes.back(), 0u) << name << " at " << pos;
        }
        expect_clean_after("Kavrel_Set_Log_Callback", [] { Kavrel_Set_Log_Callback([](void*, const char*) {}, nullptr); });
        ParserHandle* h = nullptr;
        expect_clean_after("Kavrel_Open", [&] { h = Kavrel_Open(); });
        ASSERT_NE(h, nullptr);
        uint8_t out[16384];
        const uint8_t* unit = stream.data();
        for (const uint32_t size : sizes) {
            FrameInput in{unit, size};
            FrameInfo info;
            expect_clean_after("Kavrel_Start", [&] { EXPECT_EQ(Kavrel_Start(h, &in, &info), 0) << name; });
            FrameRateRequest req{out, 0, 50};
            expect_clean_after("H264_Enc_Iframe", [&] { H264_Enc_Iframe(h, &req); });
            expect_clean_after("H264_Enc_Iframe_Rate", [&] { H264_Enc_Iframe_Rate(h, out, sizeof out, 50, 1); });
            expect_clean_after("H264_Enc_Double_Frame_Sized", [&] { H264_Enc_Double_Frame_Sized(h, out, sizeof out); });
            expect_clean_after("H264_Enc_Double_Frame", [&] { H264_Enc_Double_Frame(h, out); });
            expect_clean_after("Kavrel_Repeat_Picture", [&] { Kavrel_Repeat_Picture(h, &in, 1); });
            for (const int32_t place : {KAVREL_REPEAT_BEFORE, KAVREL_REPEAT_AFTER})
                expect_clean_after("Kavrel_Repeat_Units", [&] { Kavrel_Repeat_Units(h, place, out, sizeof out); });
            Bytes cure(size + 512);
            for (int32_t mode : {1, 2}) {
                CorrectionRequest c{size, 0, unit, size + 512, 0, cure.data(), 7, 4, 3, mode};
                expect_clean_after("Kavrel_enc_h264Correct", [&] { Kavrel_enc_h264Correct(&c); });
            }
            unit += size;
        }
        expect_clean_after("Kavrel_lib_get_version", [] { Kavrel_lib_get_version(); });
        expect_clean_after("Kavrel_Close", [&] { Kavrel_Close(h); });
        Kavrel_Set_Log_Callback(nullptr, nullptr);
    }
}

}  // namespace
#endif
