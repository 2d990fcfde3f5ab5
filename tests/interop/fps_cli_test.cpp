// kavrel fps RATE IN OUT, checked with FFmpeg: the new rate is what ffprobe
// reads, the pictures decode bit-exactly as before, every SPS field but the
// timing is unchanged, and every other NAL unit is copied byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

#include "support/ffmpeg_oracle.h"
#include "support/test_support.h"

using kavrel_test::Bytes;
using kavrel_test::frame_hashes;

namespace {

const std::string kCli = kavrel_test::cli_path();

std::string fps_cli(const std::string& rate, const std::string& in, const std::string& out, int* rc) {
    std::string log;
    *rc = kavrel_test::run("'" + kCli + "' fps " + rate + " '" + in + "' '" + out + "' 2>&1", &log);
    return log;
}

std::string probed_rate(const std::string& path) { return kavrel_test::probe_stream(path, "r_frame_rate"); }

std::vector<std::vector<std::string>> sps_fields(const std::string& path) {
    return kavrel_test::traced_structures(path, "Sequence Parameter Set");
}

// The fields other than the timing, which is all that may differ.
std::vector<std::string> without_timing(const std::vector<std::string>& fields) {
    static const std::regex timing(R"(^(num_units_in_tick|time_scale|timing_info_present_flag) = )");
    std::vector<std::string> kept;
    for (const std::string& f : fields)
        if (!std::regex_search(f, timing)) kept.push_back(f);
    return kept;
}

// NAL units (from the header byte, trailing zeros dropped) other than SPS.
std::vector<Bytes> non_sps_units(const Bytes& data) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 2 < data.size(); ++i)
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) starts.push_back(i + 3);
    std::vector<Bytes> units;
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : data.size();
        while (end > starts[k] && data[end - 1] == 0) --end;
        if (starts[k] < end && (data[starts[k]] & 0x1F) != 7)
            units.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(starts[k]),
                               data.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return units;
}

// Runs the CLI on `in` and checks everything FFmpeg can tell about the result.
void check_rewrite(const std::string& in, const std::string& rate, const std::string& expected_rate,
                   const std::string& tick, const std::string& scale) {
    const std::string out = kavrel_test::work_dir() + "/" + std::filesystem::path(in).stem().string() + "_fps.h264";
    int rc = -1;
    const std::string log = fps_cli(rate, in, out, &rc);
    ASSERT_EQ(rc, 0) << log;

    EXPECT_EQ(probed_rate(out), expected_rate);
    const auto before = frame_hashes(in);
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(frame_hashes(out), before);

    const auto old_sets = sps_fields(in);
    const auto new_sets = sps_fields(out);
    ASSERT_FALSE(old_sets.empty());
    ASSERT_EQ(new_sets.size(), old_sets.size());
    for (size_t i = 0; i < old_sets.size(); ++i) {
        EXPECT_EQ(without_timing(new_sets[i]), without_timing(old_sets[i])) << "SPS #" << i;
        const auto& set = new_sets[i];
        for (const std::string& f : {std::string("timing_info_present_flag = 1"), "num_units_in_tick = " + tick,
                                     "time_scale = " + scale})
            EXPECT_NE(std::find(set.begin(), set.end(), f), set.end()) << f << " in SPS #" << i;
    }
    EXPECT_EQ(non_sps_units(kavrel_test::read_file(out)), non_sps_units(kavrel_test::read_file(in)));
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
    ASSERT_EQ(probed_rate(in), "30000/1001");
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
    for (const char* rate : {"0", "25/0", "-25", "25x", "2147483648"}) {
        std::filesystem::remove(out);
        int rc = 0;
        const std::string log = fps_cli(rate, in, out, &rc);
        EXPECT_NE(rc, 0) << rate << ": " << log;
        EXPECT_FALSE(std::filesystem::exists(out)) << rate;
    }
    int rc = 0;
    fps_cli("25", no_sps, out, &rc);
    EXPECT_NE(rc, 0);
    EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace
