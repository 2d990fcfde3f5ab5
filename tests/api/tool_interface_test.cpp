// The library's interface for the kavrel tool: parameter sets described by
// the parser's own readers, printing nothing, and the SPS at a new rate
// written with a new level_idc.
#include <gtest/gtest.h>

#include "api/tool_interface.h"
#include "params/param_set_builders.h"

using namespace params_test;
using namespace kavrel_test;

namespace {

// The facts of the SPS unit `unit` (start code first).
kavrel::SpsFacts facts(const Bytes& unit, bool* ok) {
    kavrel::SpsFacts f;
    *ok = kavrel::describe_sps_unit(unit.data() + 4, unit.size() - 4, &f);
    return f;
}

}  // namespace

TEST(ToolInterface, DescribesSetsTheParserRefusesAndTellsCutOnes) {
    const Writer timing = [](BitBuilder& b) { b.u(4, 0).u(1, 1).u(32, 1001).u(32, 60000).u(1, 1).u(1, 1); };
    const Writer cut = [](BitBuilder& b) { b.u(3, 0); };  // ends before timing_info_present_flag
    const struct {
        SpsSpec spec;
        bool ok;
        int chroma, depth, width;
        uint32_t scale;
        bool hrd;
    } cases[] = {
        {{.profile_idc = 122, .chroma_format_idc = 2, .bit_depth_luma = 2, .bit_depth_chroma = 2}, true, 2, 10, 11, 0,
         false},
        {{.width_mbs_minus1 = 600, .vui = timing}, true, 1, 8, 601, 60000, true},
        {{.vui = cut}, false, 1, 8, 11, 0, false},
    };
    for (const auto& c : cases) {
        LogCapture log;
        bool ok = false;
        const kavrel::SpsFacts f = facts(sps_nal(c.spec), &ok);
        EXPECT_EQ(ok, c.ok) << c.spec.profile_idc;
        EXPECT_EQ(log.take(), "");
        EXPECT_EQ(f.profile_idc, c.spec.profile_idc);
        EXPECT_EQ(f.chroma_format_idc, c.chroma);
        EXPECT_EQ(f.bit_depth_chroma, c.depth);
        EXPECT_EQ(f.pic_width_in_mbs, c.width);
        EXPECT_EQ(f.time_scale, c.scale);
        EXPECT_EQ(f.hrd_parameters_present, c.hrd);
    }
    // A VUI that ends before max_num_reorder_frames bounds no reordering.
    const Writer reorder_cut = [](BitBuilder& b) { b.u(8, 0).u(1, 1).u(1, 1); };  // .. motion_vectors_over_pic_boundaries_flag
    bool ok = false;
    EXPECT_EQ(facts(sps_nal({.vui = reorder_cut}), &ok).max_num_reorder_frames, 65535);
    EXPECT_TRUE(ok);
}

TEST(ToolInterface, WritesTheRateSpsAtANewLevel) {
    // Level 1b of Baseline is level_idc 11 with constraint_set3_flag, which a
    // new level clears; Main's constraint_set3_flag stays.
    const struct {
        int profile, level, cs3, new_level, level_written, flags_written, level_number;
    } cases[] = {{66, 11, 1, 12, 12, 0x00, 12}, {66, 11, 1, -1, 11, 0x10, 9}, {77, 30, 1, 31, 31, 0x10, 31}};
    for (const auto& c : cases) {
        Parser p;
        ASSERT_EQ(p.walk(sps_nal({.profile_idc = c.profile, .cs3 = c.cs3, .level_idc = c.level})).rc, 0);
        uint8_t out[64];
        LogCapture quiet;
        const int32_t n = kavrel::write_sps_at_rate(p.h, out, sizeof out, 25, 1, c.new_level);
        ASSERT_GT(n, 4);
        bool ok = false;
        const kavrel::SpsFacts f = facts(Bytes(out, out + n), &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(f.level_idc, c.level_written);
        EXPECT_EQ(f.constraint_flags & 0x10, c.flags_written);
        EXPECT_EQ(f.level, c.level_number);  // 9: level 1b
        EXPECT_EQ(f.time_scale, 50u);
    }
}

TEST(ToolInterface, ScansStartCodesAndTellsWhyACorrectionWasRefused) {
    // A start code lies whole within the bytes scanned, also at their very end.
    const Bytes b = {0, 0, 1, 9, 0, 0, 0, 1, 0, 0, 1};
    const struct {
        size_t size, from, found;
    } scans[] = {{11, 0, 0}, {11, 1, 5}, {11, 6, 8}, {10, 6, 10}, {11, 9, 11}};
    for (const auto& c : scans) EXPECT_EQ(kavrel::next_start_code(b.data(), c.size, c.from), c.found) << c.from;

    // The reason is the reader's own message, not the "Parse sps fail" behind it.
    const Bytes unit = concat({sps_nal({.log2_max_frame_num_minus4 = 13}), pps_nal()});
    Bytes cure(unit.size() + 1024);
    CorrectionRequest req{};
    req.OrgFrameLength = static_cast<uint32_t>(unit.size());
    req.org_frame = unit.data();
    req.cureFrameLength = static_cast<uint32_t>(cure.size());
    req.cure_frame = cure.data();
    req.correction_mode = 2;
    LogCapture log;
    const kavrel::CorrectionOutcome o = kavrel::correct_access_unit(&req);
    EXPECT_EQ(o.code, KAVREL_E_SPS_RANGE);
    EXPECT_STREQ(o.reason, "the log2_max_frame_num is out of range [0,16],which is 17");
}
