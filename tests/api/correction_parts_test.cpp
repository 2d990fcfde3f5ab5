// The pieces of the stream correction on hand-made RBSPs: the SPS
// aspect-ratio rewrite and emulation prevention (the PPS tail is checked bit
// for bit through the exported call).
#include <gtest/gtest.h>

#include "synth/param_set_splice.h"
#include "support/test_support.h"

using kavrel_test::BitBuilder;
using kavrel_test::Bytes;
using kavrel_test::hex;
using kavrel_test::to_hex;

namespace {

TEST(CorrectionParts, SarRewriteAddsOrReplacesTheAspectRatio) {
    // The Baseline SPS 42 C0 1E DA 05 82 59: 176x... no VUI; the flag is bit 54.
    const Bytes sps = hex("42 c0 1e da 05 82 59");
    kavrel::SeqParamSet rec{};
    rec.vui_parameters_present_flag = 0;
    rec.vui_flag_bit_pos = 54;
    uint8_t out[64];
    const int32_t n = kavrel::rewrite_sps_sar(sps.data(), 55, rec, 1920, 1080, out, sizeof out);
    BitBuilder want;
    want.u(8, 0x42).u(8, 0xc0).u(8, 0x1e).ue(0).ue(0).ue(2).ue(1).u(1, 0).ue(21).ue(17).u(1, 1).u(1, 1).u(1, 0);
    want.u(1, 1).u(1, 1).u(8, 255).u(16, 16).u(16, 9);  // 1920:1080 reduced to 16:9
    want.u(8, 0).trailing();                             // every other VUI part absent
    EXPECT_EQ(to_hex(out, static_cast<size_t>(n)), to_hex(want.bytes()));

    // With a VUI that had aspect_ratio_idc 1 and a colour description: the
    // old 10 aspect bits give way to the 42-bit Extended_SAR, the rest stays.
    BitBuilder with_vui;
    with_vui.u(8, 0x64).u(8, 0).u(8, 0x1e).ue(0).ue(0).ue(2).ue(1).u(1, 0).ue(21).ue(17).u(1, 1).u(1, 1).u(1, 0);
    const int vui_flag = static_cast<int>(with_vui.bit_length());
    with_vui.u(1, 1).u(1, 1).u(8, 1);
    const int aspect_end = static_cast<int>(with_vui.bit_length());
    with_vui.u(1, 0).u(1, 1).u(3, 5).u(1, 0).u(1, 1).u(8, 1).u(8, 1).u(8, 1).u(1, 0).u(1, 0).u(1, 0).u(1, 0).u(1, 0)
        .u(1, 0);
    const int bits = static_cast<int>(with_vui.bit_length());
    const Bytes src = with_vui.trailing().bytes();
    rec.vui_parameters_present_flag = 1;
    rec.vui_flag_bit_pos = vui_flag;
    rec.aspect_info_end_bit_pos = aspect_end;
    const int32_t m = kavrel::rewrite_sps_sar(src.data(), bits, rec, 4, 3, out, sizeof out);
    BitBuilder expect;
    expect.u(8, 0x64).u(8, 0).u(8, 0x1e).ue(0).ue(0).ue(2).ue(1).u(1, 0).ue(21).ue(17).u(1, 1).u(1, 1).u(1, 0);
    expect.u(1, 1).u(1, 1).u(8, 255).u(16, 4).u(16, 3);
    expect.u(1, 0).u(1, 1).u(3, 5).u(1, 0).u(1, 1).u(8, 1).u(8, 1).u(8, 1).u(1, 0).u(1, 0).u(1, 0).u(1, 0).u(1, 0)
        .u(1, 0);
    EXPECT_EQ(to_hex(out, static_cast<size_t>(m)), to_hex(expect.trailing().bytes()));

    // An unreadable VUI flag, and an output that is too small, are refused.
    rec.vui_parameters_present_flag = 255;
    EXPECT_EQ(kavrel::rewrite_sps_sar(src.data(), bits, rec, 4, 3, out, sizeof out), -1);
    rec.vui_parameters_present_flag = 0;
    rec.vui_flag_bit_pos = 54;
    EXPECT_EQ(kavrel::rewrite_sps_sar(sps.data(), 55, rec, 4, 3, out, 8), -1);
}

TEST(CorrectionParts, EmulationPreventionAfterTheFirstTwoBytes) {
    uint8_t out[32];
    auto escape = [&](const Bytes& in, int32_t cap = 32) {
        const int32_t n = kavrel::add_emulation_prevention(in.data(), static_cast<int32_t>(in.size()), out, cap);
        return n < 0 ? std::string("refused") : to_hex(out, static_cast<size_t>(n));
    };
    EXPECT_EQ(escape(hex("64 00 00 01 00 00 03 00 00 04")), "64 00 00 03 01 00 00 03 03 00 00 04");
    EXPECT_EQ(escape(hex("00 00 00 00")), "00 00 03 00 00");  // the count restarts after the 03
    EXPECT_EQ(escape(hex("12 00 00")), "12 00 00");
    EXPECT_EQ(escape(hex("64 00 00 01"), 4), "refused");
}

}  // namespace
