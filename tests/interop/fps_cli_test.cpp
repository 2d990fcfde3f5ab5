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

// The fields other than the timing, which is all that may differ.
std::vector<std::string> without_timing(std::vector<std::string> fields) {
    static const std::regex timing(R"(^(num_units_in_tick|time_scale|timing_info_present_flag) = )");
    std::erase_if(fields, [](const std::string& f) { return std::regex_search(f, timing); });
    return fields;
}

// NAL units other than SPS.
std::vector<Bytes> non_sps_units(const std::string& path) {
    std::vector<Bytes> units = kavrel_test::nal_units(kavrel_test::read_file(path));
    std::erase_if(units, [](const Bytes& u) { return u.empty() || (u[0] & 0x1F) == 7; });
    return units;
}

// Runs the CLI on `in` and checks everything FFmpeg can tell about the result.
void check_rewrite(const std::string& in, const std::string& rate, const std::string& expected_rate,
                   const std::string& tick, const std::string& scale) {
    const std::string out = kavrel_test::work_dir() + "/" + std::filesystem::path(in).stem().string() + "_fps.h264";
    std::string log;
    ASSERT_EQ(fps_cli(rate, in, out, &log), 0) << log;
    EXPECT_EQ(kavrel_test::probe_stream(out, "r_frame_rate"), expected_rate);
    const auto before = frame_hashes(in);
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(frame_hashes(out), before);

    const auto old_sets = kavrel_test::traced_structures(in, "Sequence Parameter Set");
    const auto new_sets = kavrel_test::traced_structures(out, "Sequence Parameter Set");
    ASSERT_FALSE(old_sets.empty());
    ASSERT_EQ(new_sets.size(), old_sets.size());
    for (size_t i = 0; i < old_sets.size(); ++i) {
        EXPECT_EQ(without_timing(new_sets[i]), without_timing(old_sets[i])) << "SPS #" << i;
        const auto& set = new_sets[i];
        for (const std::string& f : {std::string("timing_info_present_flag = 1"), "num_units_in_tick = " + tick,
                                     "time_scale = " + scale})
            EXPECT_NE(std::find(set.begin(), set.end(), f), set.end()) << f << " in SPS #" << i;
    }
    EXPECT_EQ(non_sps_units(out), non_sps_units(in));
}

TEST(FpsCli, HighProfileWithFullVuiAndRepeatedSps) {
    // SPS at every IDR, NAL HRD, colour description, Extended_SAR 5:4,
    // pic_struct_present_flag, B pictures, CABAC.
    const std::string in = kavrel_test::make_stream(
        "fps_high_vui",
        "-f lavfi -i testsrc2=size=176x144:rate=25 -frames:v 8 -vf setsar=5/4 -c:v libx264 -profile:v high "
        "-x264-params keyint=3:nal-hrd=vbr:vbv-maxrate=500:vbv-bufsize=1000:colorprim=bt709:transfer=bt709:"
        "colormatrix=bt709:pic-struct=1");
    check_rewrite(in, "50", "50/1", "1", "100");
}

TEST(FpsCli, BaselineNtscToPal) {
    const std::string in = kavrel_test::make_stream(
        "fps_baseline_ntsc",
        "-f lavfi -i testsrc2=size=352x288:rate=30000/1001 -frames:v 6 -c:v libx264 -profile:v baseline");
    ASSERT_EQ(kavrel_test::probe_stream(in, "r_frame_rate"), "30000/1001");
    check_rewrite(in, "25", "25/1", "1", "50");
}

TEST(FpsCli, InterlacedToNtsc) {
    // frame_mbs_only_flag 0 with MBAFF, cropping (180 rows are not a multiple of 32).
    const std::string in = kavrel_test::make_stream(
        "fps_interlaced",
        "-f lavfi -i testsrc2=size=320x180:rate=25 -frames:v 4 -c:v libx264 -profile:v main -flags +ildct+ilme "
        "-x264-params tff=1");
    check_rewrite(in, "30000/1001", "30000/1001", "1001", "60000");
}

TEST(FpsCli, RefusesBadRatesAndStreamsWithoutSps) {
    const std::string out = kavrel_test::work_dir() + "/fps_refused.h264";
    const std::string no_sps = kavrel_test::work_dir() + "/fps_no_sps.h264";
    kavrel_test::write_file(no_sps, kavrel_test::hex("00 00 00 01 09 f0"));  // an access unit delimiter
    const std::string in = kavrel_test::make_stream(
        "fps_baseline_ntsc",
        "-f lavfi -i testsrc2=size=352x288:rate=30000/1001 -frames:v 6 -c:v libx264 -profile:v baseline");
    for (const auto& [rate, input] : {std::pair<std::string, std::string>{"0", in}, {"25/0", in}, {"-25", in},
                                      {"25x", in}, {"2147483648", in}, {"25", no_sps}}) {
        std::filesystem::remove(out);
        std::string log;
        EXPECT_NE(fps_cli(rate, input, out, &log), 0) << rate << ": " << log;
        EXPECT_FALSE(std::filesystem::exists(out)) << rate;
    }
}

}  // namespace
