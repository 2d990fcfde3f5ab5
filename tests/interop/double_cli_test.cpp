// kavrel double IN OUT, checked with FFmpeg: the doubled stream decodes
// without an error into twice the frames, frame 2k is frame k of the input
// and frame 2k+1 repeats it exactly, and ffprobe reads twice the rate.
// The refusals are in the CLI exit-code table.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/ffmpeg_oracle.h"
#include "support/test_support.h"

using kavrel_test::Bytes;
using kavrel_test::frame_hashes;
using kavrel_test::x264;

namespace {

// Doubles `in` with the CLI and checks the result frame by frame.
void expect_doubled(const std::string& in, const std::string& doubled_rate, const std::string& options = "") {
    SCOPED_TRACE(in);
    const std::string out = in + ".doubled.h264";
    std::string log;
    ASSERT_EQ(kavrel_test::cli("double " + options + " '" + in + "' '" + out + "'", &log), 0) << log;
    std::string errors;
    const std::vector<std::string> original = frame_hashes(in, &errors);
    ASSERT_FALSE(original.empty()) << errors;
    const std::vector<std::string> doubled = frame_hashes(out, &errors);
    EXPECT_EQ(errors, "");
    ASSERT_EQ(doubled.size(), 2 * original.size());
    for (size_t k = 0; k < original.size(); ++k) {
        EXPECT_EQ(doubled[2 * k], original[k]) << "frame " << 2 * k;
        EXPECT_EQ(doubled[2 * k + 1], doubled[2 * k]) << "frame " << 2 * k + 1;
    }
    EXPECT_EQ(kavrel_test::probe_stream(out, "r_frame_rate"), doubled_rate);
}

// What the tool adds to the library's repeats (which Streams.EveryStreamAgainstFFmpeg
// checks over the coding tools): the doubled or given rate, level_idc raised
// where the rate needs it, a delimiter before each repeat of a stream that
// has them, the end of stream kept last.
TEST(DoubleCli, RatesLevelsDelimiters) {
    const std::string base = x264("double_base", "176x144", 12, "-profile:v baseline -bf 0");
    const std::string hd = x264("double_1080", "1920x1080", 4, "-profile:v high -bf 0 -preset ultrafast", "30000/1001");
    // Every access unit with an AUD, the stream closed by end_of_stream.
    const std::string aud = x264("double_aud", "176x144", 6, "-profile:v main -bf 0 -x264-params aud=1") + ".eos.h264";
    kavrel_test::write_file(aud, kavrel_test::concat({kavrel_test::read_file(aud.substr(0, aud.size() - 9)),
                                                      {0, 0, 0, 1, 0x0B}}));
    expect_doubled(base, "50/1");
    expect_doubled(base, "60000/1001", "--rate 29.97");
    expect_doubled(hd, "60000/1001");
    // 1080p at 59.94 needs level 4.2 (Table A-1 MaxMBPS); x264 chose 4.0.
    EXPECT_EQ(kavrel_test::probe_stream(hd, "level"), "40");
    EXPECT_EQ(kavrel_test::probe_stream(hd + ".doubled.h264", "level"), "42");
    expect_doubled(aud, "50/1");
    const std::vector<Bytes> units = kavrel_test::nal_units(kavrel_test::read_file(aud + ".doubled.h264"));
    ASSERT_FALSE(units.empty());
    EXPECT_EQ(units.back(), Bytes({0x0B}));
    for (size_t i = 1; i < units.size(); ++i) {
        if ((units[i][0] & 0x1F) == 1 && (units[i][0] & 0x60) == 0) {  // a repeat
            EXPECT_EQ(units[i - 1], Bytes({0x09, 0x30})) << "unit " << i;  // primary_pic_type 1
        }
    }
}

}  // namespace
