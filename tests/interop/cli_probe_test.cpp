// kavrel probe on the bundled sample and on x264 streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "support/ffmpeg_oracle.h"
#include "support/test_support.h"

using kavrel_test::cli;

namespace {

const std::string kSample = std::string(KAVREL_SOURCE_DIR) + "/samples/sample.h264";

TEST(ProbeCli, LinesAndSummaryAgreeWithFFprobe) {
    std::string out;
    ASSERT_EQ(cli("probe '" + kSample + "'", &out), 0) << out;
    std::string types;
    kavrel_test::run("ffprobe -v error -show_entries frame=pict_type -of csv=p=0 '" + kSample + "'", &types);
    types.erase(std::remove_if(types.begin(), types.end(), [](char c) { return c != 'I' && c != 'P' && c != 'B'; }),
                types.end());
    // ffprobe lists frames in output order; count by type instead.
    const auto count = [&](char t) { return std::count(types.begin(), types.end(), t); };
    const std::string expect = "summary: " + std::to_string(types.size()) + " frames (I " +
                               std::to_string(count('I')) + ", P " + std::to_string(count('P')) + ", B " +
                               std::to_string(count('B')) + "), 0 failed";
    EXPECT_NE(out.find(expect), std::string::npos) << out;
    EXPECT_NE(out.find("176x144 (coded 176x144), 25 fps, profile_idc 100"), std::string::npos) << out;
}

TEST(ProbeCli, JsonIsTheOnlyThingOnStdout) {
    std::string out;
    ASSERT_EQ(kavrel_test::run("'" KAVREL_CLI_PATH "' probe --json '" + kSample + "' 2>/dev/null", &out), 0);
    const auto doc = nlohmann::json::parse(out);
    const auto& units = doc.at("access_units");
    ASSERT_FALSE(units.empty());
    size_t offset = 0;
    for (const auto& u : units) {
        EXPECT_EQ(u.at("offset").get<size_t>(), offset);  // units tile the file
        offset += u.at("size").get<size_t>();
    }
    EXPECT_EQ(offset, kavrel_test::read_file(kSample).size());
    EXPECT_EQ(doc.at("summary").at("width"), 176);
}

TEST(ProbeCli, FailuresAndUnreadableFiles) {
    std::string out;
    EXPECT_NE(cli("probe /nonexistent.h264", &out), 0);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;

    // A 10-bit stream is refused by the library; probe reports the offset and
    // code, and --keep-going goes on to the next start code.
    const std::string ten = kavrel_test::make_stream(
        "probe_10bit", "-f lavfi -i testsrc2=size=64x64:rate=25 -frames:v 2 -c:v libx264 -pix_fmt yuv420p10le");
    EXPECT_NE(cli("probe '" + ten + "'", &out), 0);
    EXPECT_NE(out.find("offset 0         size"), std::string::npos) << out;
    EXPECT_NE(out.find("FAILED with code -22"), std::string::npos) << out;
    EXPECT_NE(cli("probe --keep-going '" + ten + "'", &out), 0);
    EXPECT_GT(std::count(out.begin(), out.end(), '\n'), 4) << out;
}

}  // namespace
