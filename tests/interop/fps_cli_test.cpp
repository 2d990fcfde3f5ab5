// kavrel fps RATE IN OUT, checked with FFmpeg: the new rate is what ffprobe
// reads, the pictures decode bit-exactly as before, every SPS field but the
// timing is unchanged, and every other NAL unit is copied byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "support/ffmpeg_oracle.h"
#include "support/test_support.h"

using kavrel_test::Bytes;
using kavrel_test::frame_hashes;

namespace {

int fps_cli(const std::string& rate, const std::string& in, const std::string& out, std::string* log = nullptr) {
    return kavrel_test::cli("fps " + rate + " '" + in + "' '" + out + "'", log);
}

// The fields other than the timing and the level, which are all that may differ.
std::vector<std::string> without_timing(std::vector<std::string> fields) {
    static const std::regex timing(R"(^(num_units_in_tick|time_scale|timing_info_present_flag|level_idc) = )");
    std::erase_if(fields, [](const std::string& f) { return std::regex_search(f, timing); });
    return fields;
}

// NAL units other than SPS.
std::vector<Bytes> non_sps_units(const std::string& path) {
    std::vector<Bytes> units = kavrel_test::nal_units(kavrel_test::read_file(path));
    std::erase_if(units, [](const Bytes& u) { return u.empty() || (u[0] & 0x1F) == 7; });
    return units;
}

// Runs the CLI on `in` and checks everything FFmpeg can tell about the
// result; returns what the tool said.
std::string check_rewrite(const std::string& in, const std::string& rate, const std::string& expected_rate,
                          const std::string& tick, const std::string& scale) {
    const std::string out = kavrel_test::work_dir() + "/fps_out.h264";
    std::string log;
    EXPECT_EQ(fps_cli(rate, in, out, &log), 0) << log;
    EXPECT_EQ(kavrel_test::probe_stream(out, "r_frame_rate"), expected_rate);
    const auto before = frame_hashes(in);
    EXPECT_FALSE(before.empty());
    EXPECT_EQ(frame_hashes(out), before);

    const auto old_sets = kavrel_test::traced_structures(in, "Sequence Parameter Set");
    const auto new_sets = kavrel_test::traced_structures(out, "Sequence Parameter Set");
    EXPECT_FALSE(old_sets.empty());
    EXPECT_EQ(new_sets.size(), old_sets.size());
    for (size_t i = 0; i < old_sets.size() && i < new_sets.size(); ++i) {
        EXPECT_EQ(without_timing(new_sets[i]), without_timing(old_sets[i])) << "SPS #" << i;
        const auto& set = new_sets[i];
        for (const std::string& f : {std::string("timing_info_present_flag = 1"), "num_units_in_tick = " + tick,
                                     "time_scale = " + scale})
            EXPECT_NE(std::find(set.begin(), set.end(), f), set.end()) << f << " in SPS #" << i;
    }
    EXPECT_EQ(non_sps_units(out), non_sps_units(in));
    return log;
}

TEST(FpsCli, RatesFFmpegReads) {
    const std::string ntsc = kavrel_test::make_stream(
        "fps_baseline_ntsc",
        "-f lavfi -i testsrc2=size=352x288:rate=30000/1001 -frames:v 6 -c:v libx264 -profile:v baseline");
    // SPS at every IDR, NAL HRD, colour description, Extended_SAR 5:4,
    // pic_struct_present_flag, B pictures, CABAC.
    const std::string vui = kavrel_test::make_stream(
        "fps_high_vui",
        "-f lavfi -i testsrc2=size=176x144:rate=25 -frames:v 8 -vf setsar=5/4 -c:v libx264 -profile:v high "
        "-x264-params keyint=3:nal-hrd=vbr:vbv-maxrate=500:vbv-bufsize=1000:colorprim=bt709:transfer=bt709:"
        "colormatrix=bt709:pic-struct=1");
    // frame_mbs_only_flag 0 with MBAFF, cropping (180 rows are not a multiple of 32).
    const std::string interlaced = kavrel_test::make_stream(
        "fps_interlaced", "-f lavfi -i testsrc2=size=320x180:rate=25 -frames:v 4 -c:v libx264 -profile:v main "
                          "-flags +ildct+ilme -x264-params tff=1");
    const std::string hd = kavrel_test::make_stream(
        "fps_1080", "-f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v 2 -c:v libx264 -preset ultrafast");
    const struct {
        std::string in, rate, expected, tick, scale;
        long level;  // level_idc afterwards
        bool hrd;    // a warning about HRD parameters
    } kCases[] = {
        {vui, "50", "50/1", "1", "100", 13, true},        {ntsc, "25", "25/1", "1", "50", 13, false},
        {ntsc, "12.5", "25/2", "2", "50", 13, false},     {interlaced, "29.97", "30000/1001", "1001", "60000", 21, false},
        {ntsc, "60000/1001", "60000/1001", "1001", "120000", 30, false},  // 396 macroblocks x 59.94 > 20250
        {hd, "50", "50/1", "1", "100", 42, false},  // x264 chose 4.0; 1080p50 needs 4.2
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.in + " at " + c.rate);
        const std::string log = check_rewrite(c.in, c.rate, c.expected, c.tick, c.scale);
        EXPECT_EQ(log.find("HRD") != std::string::npos, c.hrd) << log;
        const std::string out = kavrel_test::work_dir() + "/fps_out.h264";
        for (long level : kavrel_test::traced_values(out, "level_idc")) EXPECT_EQ(level, c.level);
    }
}

}  // namespace
