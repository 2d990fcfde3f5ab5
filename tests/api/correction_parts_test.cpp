// The pieces of the stream correction on hand-made RBSPs: the PPS tail
// extension, the SPS aspect-ratio rewrite and emulation prevention.
#include <gtest/gtest.h>

#include "api/correction.h"
#include "support/test_support.h"

using kavrel_test::BitBuilder;
using kavrel_test::Bytes;
using kavrel_test::hex;
using kavrel_test::to_hex;

namespace {

// A PPS RBSP whose redundant_pic_cnt_present_flag stands at bit index
// `flag_bit`; filler fields before it are padded with a fixed_length u(n).
Bytes pps_with_flag_at(int flag_bit) {
    BitBuilder b;
    b.ue(0).ue(0).u(1, 0).ue(0).ue(0).ue(0).u(1, 0).u(2, 0).se(0).se(0).se(0).u(1, 1).u(1, 0);
    // 19 bits so far: pad with ones up to the flag (cannot model every
    // length with real fields; the extension only looks at the flag's bit).
    while (static_cast<int>(b.bit_length()) < flag_bit) b.u(1, 1);
    b.u(1, 0);  // redundant_pic_cnt_present_flag
    return b.trailing().bytes();
}

TEST(CorrectionParts, PpsTailFitsOnlyWithOneToThreeFreeBits) {
    uint8_t out[16];
    // Flag at bit 20: three free bits (stop bit, two zeros). The third byte
    // gains a 1 in its lowest bit (second_chroma_qp_index_offset = 0 as ue
    // "1"), and a new byte 0x80 carries the new stop bit.
    const Bytes p20 = pps_with_flag_at(20);
    ASSERT_EQ(p20.size(), 3u);
    ASSERT_EQ(kavrel::extend_pps(p20.data(), 3, 20, out), 4);
    EXPECT_EQ(out[0], p20[0]);
    EXPECT_EQ(out[1], p20[1]);
    EXPECT_EQ(out[2], p20[2] | 0x01);
    EXPECT_EQ(out[3], 0x80);
    // Whatever the free bits, what follows the flag reads 1 0 1 1 0...:
    // transform_8x8_mode_flag 1, no scaling matrix, se(v) 0, stop bit.
    for (int flag_bit : {21, 22}) {
        const Bytes p = pps_with_flag_at(flag_bit);
        const int32_t n = kavrel::extend_pps(p.data(), static_cast<int32_t>(p.size()), flag_bit, out);
        ASSERT_EQ(n, static_cast<int32_t>(p.size()) + 1);
        uint32_t after = 0;
        for (int i = 0; i < 5; ++i) {
            const int bit = flag_bit + 1 + i;
            after = after << 1 | ((out[bit / 8] >> (7 - bit % 8)) & 1);
        }
        EXPECT_EQ(after, 0b10110u) << "flag at " << flag_bit;
    }
    // Four free bits (flag at 19) or none (flag at 23): nothing to extend.
    const Bytes p19 = pps_with_flag_at(19);
    EXPECT_EQ(kavrel::extend_pps(p19.data(), static_cast<int32_t>(p19.size()), 19, out), 0);
    const Bytes p23 = pps_with_flag_at(23);
    EXPECT_EQ(kavrel::extend_pps(p23.data(), static_cast<int32_t>(p23.size()), 23, out), 0);
}

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
