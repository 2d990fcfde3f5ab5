// Repeats in streams with B-pictures: the plan of Kavrel_Repeat_Picture over
// x264's reordered structures, and the old repeat call on such a stream,
// each checked by what FFmpeg decodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "kavrel.h"
#include "support/ffmpeg_oracle.h"
#include "support/test_support.h"

namespace {

using namespace kavrel_test;

// Each input picture, in order, followed by its repeats: `out` collapsed
// over equal neighbours is `in`, with `repeats` pictures more.
void expect_shown(const std::vector<std::string>& in, const std::vector<std::string>& out, int repeats) {
    std::vector<std::string> collapsed;
    for (const std::string& h : out)
        if (collapsed.empty() || collapsed.back() != h) collapsed.push_back(h);
    EXPECT_EQ(collapsed, in);
    EXPECT_EQ(out.size(), in.size() + static_cast<size_t>(repeats));
}

// The units for `place` appended to out; the pictures they show to `shown`.
void take_units(ParserHandle* h, int32_t place, Bytes& out, std::vector<uint64_t>& shown) {
    const int32_t need = Kavrel_Repeat_Units(h, place, nullptr, 0);
    ASSERT_GE(need, 0);
    uint64_t pictures[16];
    const int32_t count = Kavrel_Repeat_Unit_Pictures(h, place, pictures, 16);
    ASSERT_TRUE(count >= 0 && count <= 16 && (count > 0) == (need > 0)) << count;
    shown.insert(shown.end(), pictures, pictures + count);
    Bytes units(static_cast<size_t>(need));
    const int32_t n = Kavrel_Repeat_Units(h, place, units.data(), static_cast<uint32_t>(need));
    ASSERT_GE(n, 0);
    out.insert(out.end(), units.begin(), units.begin() + n);
}

// A stream, its encoder options and the reason its B-pictures are refused for ("": none is).
struct Reordered {
    const char* name;
    const char* options;
    const char* refused;
};

TEST(RepeatPlan, EveryPictureTwiceAgainstFFmpeg) {
    const Reordered streams[] = {
        {"rp_b0", "-bf 0", ""},
        {"rp_b1", "-bf 1 -x264-params b-pyramid=none:weightb=0", ""},
        {"rp_b1_cavlc", "-bf 1 -x264-params b-pyramid=none:weightb=0:cabac=0", ""},
        {"rp_b2_strict", "-bf 2 -x264-params b-pyramid=strict:weightb=0", ""},
        {"rp_b2_normal", "-bf 2 -x264-params b-pyramid=normal:weightb=0:cabac=0", ""},
        {"rp_b3_none", "-bf 3 -x264-params b-pyramid=none:weightb=0:cabac=0", ""},
        {"rp_b3_normal", "-bf 3 -x264-params b-pyramid=normal:weightb=0", ""},
        {"rp_b3_strict", "-bf 3 -x264-params b-pyramid=strict:weightb=0:cabac=0", ""},
        {"rp_open_gop", "-bf 3 -x264-params open-gop=1:keyint=10:weightb=0", ""},
        {"rp_aud_slices", "-bf 2 -slices 3 -x264-params aud=1:weightb=0:keyint=12", ""},
        {"rp_default", "", "implicit weighted bi-prediction"},
        // Implicit weights all 32/32 (one reference per list, each b halfway):
        // the copies name a PPS of their own, CAVLC data shifted behind it.
        {"rp_weightb_refs1", "-bf 3 -refs 1", ""},
        {"rp_weightb_refs1_cavlc", "-bf 2 -refs 1 -x264-params cabac=0", ""},
        {"rp_weightb_main_aud", "-profile:v main -bf 2 -refs 1 -slices 3 -x264-params aud=1:keyint=12", ""},
        // MBAFF, fields at 2k and 2k + 1: repeats take both fields to 2k + 1.
        {"rp_mbaff", "-flags +ildct+ilme -x264-params weightb=0", ""},
        {"rp_mbaff_tff_cavlc", "-flags +ildct+ilme -x264-params tff=1:weightb=0:cabac=0", ""},
        {"rp_mbaff_p", "-bf 0 -flags +ildct+ilme -x264-params tff=1", ""},
        {"rp_mbaff_weightb", "-flags +ildct+ilme", "field macroblocks"},
    };
    for (const Reordered& s : streams) {
        SCOPED_TRACE(s.name);
        const std::string path = x264(s.name, "128x96", 30, s.options);
        const Bytes in = read_file(path);
        Bytes out;
        int repeats = 0, refused = 0;
        std::vector<uint64_t> asked, shown;  // the calls whose repeat was planned; the pictures the units show
        LogCapture log;
        Parser p;
        for (size_t pos = 0; pos < in.size();) {
            FrameInput unit{in.data() + pos, static_cast<uint32_t>(in.size() - pos)};
            FrameInfo info;
            ASSERT_EQ(Kavrel_Start(p.h, &unit, &info), 0);
            unit.size = info.consumed;
            const int32_t rc = Kavrel_Repeat_Picture(p.h, &unit, 1);
            ASSERT_TRUE(rc == 0 || rc == KAVREL_E_REPEAT_REFUSED) << rc;
            if (rc == 0) asked.push_back(static_cast<uint64_t>(repeats + refused));
            (rc == 0 ? repeats : refused) += 1;
            take_units(p.h, KAVREL_REPEAT_BEFORE, out, shown);
            out.insert(out.end(), unit.data, unit.data + unit.size);
            take_units(p.h, KAVREL_REPEAT_AFTER, out, shown);
            pos += info.consumed;
        }
        take_units(p.h, KAVREL_REPEAT_END, out, shown);
        std::sort(shown.begin(), shown.end());
        EXPECT_EQ(shown, asked);
        EXPECT_EQ(refused > 0, *s.refused != 0) << log.text;
        EXPECT_EQ(log.take().find(s.refused) != std::string::npos, true);
        write_file(path + ".plan.h264", out);
        expect_shown(frame_hashes(path), frame_hashes(path + ".plan.h264"), repeats);
    }
}

// The old call after every I and P picture of I P B B B P ...: each repeat it
// accepts goes right after its picture, and no picture may be lost.
TEST(RepeatPlan, OldCallLosesNoBPicture) {
    const std::string path = x264("rp_main_ipbbb", "128x96", 15, "-profile:v main -bf 3 -x264-params b-pyramid=none");
    const Bytes in = read_file(path);
    Bytes out;
    int repeats = 0;
    LogCapture quiet;
    Parser p;
    for (size_t pos = 0; pos < in.size();) {
        const Started s = p.start(in, pos);
        ASSERT_EQ(s.rc, 0);
        const auto at = in.begin() + static_cast<long>(pos);
        out.insert(out.end(), at, at + s.info.consumed);
        Bytes repeat(1 << 16);
        const int32_t n = s.info.picture_type == 2 ? -1 : H264_Enc_Double_Frame_Sized(p.h, repeat.data(), 1 << 16);
        if (n > 0) out.insert(out.end(), repeat.begin(), repeat.begin() + n);
        repeats += n > 0;
        pos += s.info.consumed;
    }
    write_file(path + ".old.h264", out);
    expect_shown(frame_hashes(path), frame_hashes(path + ".old.h264"), repeats);
}

}  // namespace
