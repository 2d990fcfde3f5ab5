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
}

TEST(ToolInterface, WritesTheRateSpsAtANewLevel) {
    // Level 1b of Baseline is level_idc 11 with constraint_set3_flag, which a
    // new level clears; Main's constraint_set3_flag stays.
    const struct {
        int profile, level, cs3, new_level, level_written, flags_written;
    } cases[] = {{66, 11, 1, 12, 12, 0x00}, {66, 11, 1, -1, 11, 0x10}, {77, 30, 1, 31, 31, 0x10}};
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
        EXPECT_EQ(f.time_scale, 50u);
    }
}
