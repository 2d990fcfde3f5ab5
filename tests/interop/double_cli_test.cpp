// kavrel double IN OUT, checked with FFmpeg: the doubled stream decodes
// without an error into twice the frames, frame 2k is frame k of the input
// and frame 2k+1 repeats it exactly, and ffprobe reads twice the rate.
// x264 streams cover the coding tools; numbering wraps and the library's
// verdicts on each picture are tested on the library itself, the refusals
// with the other exit codes.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/ffmpeg_oracle.h"
#include "support/test_support.h"

using kavrel_test::Bytes;
using kavrel_test::frame_hashes;
using kavrel_test::x264;
const auto traced = &kavrel_test::traced_values;

namespace {

bool contains(const std::vector<long>& v, long x) { return std::find(v.begin(), v.end(), x) != v.end(); }

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
    // Every repeat is a non-reference slice.
    const auto non_reference_slices = [](const std::string& path) {
        const std::vector<Bytes> units = kavrel_test::nal_units(kavrel_test::read_file(path));
        return std::count_if(units.begin(), units.end(), [](const Bytes& u) { return u[0] == 0x01; });
    };
    EXPECT_EQ(non_reference_slices(out), non_reference_slices(in) + static_cast<long>(original.size()));
}

TEST(DoubleCli, StreamsTheLibraryRepeats) {
    const std::string mbaff_options = "-bf 0 -flags +ildct+ilme -bsf:v filter_units=remove_types=6 -profile:v ";
    const struct {
        std::string in, options, rate;
    } kCases[] = {
        {x264("double_base", "176x144", 12, "-profile:v baseline -bf 0"), "", "50/1"},
        {x264("double_high", "320x240", 12, "-profile:v high -bf 0"), "", "50/1"},  // weighted prediction
        {x264("double_slices_cabac", "320x240", 10, "-profile:v main -bf 0 -slices 4"), "", "50/1"},
        {x264("double_slices_cavlc", "320x240", 10, "-profile:v baseline -slices 3"), "", "50/1"},
        {x264("double_mbaff", "352x288", 10, mbaff_options + "high"), "", "50/1"},
        {x264("double_mbaff_cavlc", "352x288", 10, mbaff_options + "main -x264-params cabac=0"), "", "50/1"},
        {x264("double_1080", "1920x1080", 4, "-profile:v high -bf 0 -preset ultrafast", "30000/1001"), "",
         "60000/1001"},
        {x264("double_200", "200x120", 6, "-profile:v baseline", "24"), "", "48/1"},
        {x264("double_deblock", "176x144", 8, "-profile:v main -bf 0 -x264-params deblock=-3,2"), "", "50/1"},
        {x264("double_gop5", "176x144", 17, "-profile:v main -bf 0 -g 5"), "", "50/1"},
        {x264("double_base", "176x144", 12, "-profile:v baseline -bf 0"), "--rate 29.97", "60000/1001"},
    };
    for (const auto& c : kCases) expect_doubled(c.in, c.rate, c.options);

    const std::string high = kCases[1].in + ".doubled.h264";
    EXPECT_TRUE(contains(traced(kCases[1].in, "weighted_pred_flag"), 1));
    EXPECT_TRUE(contains(traced(high, "luma_log2_weight_denom"), 0));
    EXPECT_TRUE(contains(traced(kCases[4].in, "mb_adaptive_frame_field_flag"), 1));
    // 1080p at 59.94 needs level 4.2 (Table A-1 MaxMBPS); x264 chose 4.0.
    EXPECT_TRUE(contains(traced(kCases[6].in, "level_idc"), 40));
    const std::vector<long> levels = traced(kCases[6].in + ".doubled.h264", "level_idc");
    EXPECT_TRUE(contains(levels, 42) && !contains(levels, 40));
    EXPECT_TRUE(contains(traced(kCases[8].in + ".doubled.h264", "slice_beta_offset_div2"), 2));
}

TEST(DoubleCli, RepeatsGetDelimitersAndPrecedeTheEndOfStream) {
    // Every access unit with an AUD, the stream closed by end_of_stream.
    const std::string aud = x264("double_aud", "176x144", 6, "-profile:v main -bf 0 -x264-params aud=1");
    const std::string in = aud + ".eos.h264";
    kavrel_test::write_file(in, kavrel_test::concat({kavrel_test::read_file(aud), {0, 0, 0, 1, 0x0B}}));
    expect_doubled(in, "50/1");
    const std::vector<Bytes> units = kavrel_test::nal_units(kavrel_test::read_file(in + ".doubled.h264"));
    ASSERT_FALSE(units.empty());
    EXPECT_EQ(units.back(), Bytes({0x0B}));
    for (size_t i = 0; i + 1 < units.size(); ++i) {
        const bool repeat = (units[i][0] & 0x1F) == 1 && (units[i][0] & 0x60) == 0;
        if (repeat) {
            EXPECT_EQ(units[i - 1], Bytes({0x09, 0x30})) << "unit " << i;  // primary_pic_type 1
        }
    }
}

}  // namespace
