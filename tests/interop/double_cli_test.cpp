// kavrel double IN OUT, checked with FFmpeg: the doubled stream decodes
// without an error into twice the frames, frame 2k is frame k of the input
// and frame 2k+1 repeats it exactly, and ffprobe reads twice the rate.
// Real x264 streams cover the coding tools; hand-made streams (one I_PCM
// macroblock per picture) cover numbering wraps, deblocking idc 2 and the
// streams the library refuses to repeat.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "params/param_set_builders.h"
#include "support/ffmpeg_oracle.h"
#include "support/test_support.h"

using kavrel_test::BitBuilder;
using kavrel_test::Bytes;
using kavrel_test::frame_hashes;
const auto traced = &kavrel_test::traced_values;

namespace {

int double_cli(const std::string& in, const std::string& out, const std::string& options, std::string* log) {
    return kavrel_test::cli("double " + options + " '" + in + "' '" + out + "'", log);
}

bool contains(const std::vector<long>& v, long x) { return std::find(v.begin(), v.end(), x) != v.end(); }

// Doubles `in` with the CLI and checks the result frame by frame.
void expect_doubled(const std::string& in, const std::string& doubled_rate, const std::string& options = "") {
    SCOPED_TRACE(in);
    const std::string out = in + ".doubled.h264";
    std::string log;
    ASSERT_EQ(double_cli(in, out, options, &log), 0) << log;
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

// Refused with exit 1 and the reason; an OUT that was there is left as it
// was and no temporary file remains beside it.
void expect_refused(const std::string& in, const std::string& reason, const std::string& options = "") {
    SCOPED_TRACE(in);
    const std::string dir = kavrel_test::work_dir() + "/refused";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    kavrel_test::write_file(dir + "/out.h264", {1, 2, 3});
    std::string log;
    EXPECT_EQ(kavrel_test::cli("double " + options + " '" + in + "' '" + dir + "/out.h264'", &log), 1);
    EXPECT_NE(log.find(reason), std::string::npos) << log;
    EXPECT_EQ(kavrel_test::read_file(dir + "/out.h264"), Bytes({1, 2, 3}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
}

std::string x264(const std::string& name, const std::string& size, int frames, const std::string& options,
                 const std::string& rate = "25") {
    return kavrel_test::make_stream(name, "-f lavfi -i testsrc2=size=" + size + ":rate=" + rate + " -frames:v " +
                                              std::to_string(frames) + " -c:v libx264 " + options);
}

// ---- Hand-made streams ---------------------------------------------------

struct Crafted {
    int frames = 12;
    int poc_type = 0;
    int poc_step = 2;             // pic_order_cnt_lsb per frame (type 0)
    bool timing = true;           // VUI with 25 frames per second
    bool fields = false;          // field pictures (frame_mbs_only_flag 0)
    int non_reference_at = -1;    // this picture gets nal_ref_idc 0
    int deblocking_idc = 1;
    int alpha_div2 = 0;
    int beta_div2 = 0;
};

// A Main-profile CAVLC stream of 16x16 pictures (16x32 with fields), each
// one I_PCM macroblock whose samples change from picture to picture:
// log2_max_frame_num 4 and, for type 0, 4 bits of pic_order_cnt_lsb.
Bytes crafted_stream(const Crafted& c) {
    params_test::SpsSpec sps{.poc_type = static_cast<uint64_t>(c.poc_type), .log2_max_poc_lsb_minus4 = 0,
                             .width_mbs_minus1 = 0, .height_map_units_minus1 = 0, .frame_mbs_only = !c.fields};
    if (c.timing) {
        sps.vui = [](BitBuilder& b) {
            b.u(4, 0);                                   // no aspect, overscan, signal type, chroma location
            b.flag(true).u(32, 1).u(32, 50).flag(true);  // 50 / (2 x 1) = 25 fps, fixed
            b.u(4, 0);                                   // no HRD, pic_struct, restriction
        };
    }
    // PPS: CAVLC, QP 26, deblocking control.
    Bytes stream = kavrel_test::concat({params_test::sps_nal(sps), params_test::pps_nal()});
    const int pictures = c.fields ? 2 * c.frames : c.frames;
    int frame_num = 0;
    for (int i = 0; i < pictures; ++i) {
        const bool idr = c.fields ? i < 2 : i == 0;
        const bool reference = i != c.non_reference_at;
        const int frame = c.fields ? i / 2 : i;
        if (!idr && (!c.fields || i % 2 == 0)) frame_num = (frame_num + 1) % 16;
        BitBuilder s;
        s.ue(0).ue(idr ? 7 : 5).ue(0).u(4, static_cast<uint64_t>(frame_num));  // I or P, frame_num
        if (c.fields) s.flag(true).flag(i % 2 == 1);
        if (idr) s.ue(0);  // idr_pic_id
        if (c.poc_type == 0) s.u(4, static_cast<uint64_t>(frame * c.poc_step + (c.fields ? i % 2 : 0)) % 16);
        if (!idr) s.flag(false).flag(false);  // no override, no list modification
        if (idr) s.flag(false).flag(false);   // no_output_of_prior_pics, long_term_reference
        else if (reference) s.flag(false);    // adaptive_ref_pic_marking_mode_flag
        s.se(0).ue(static_cast<uint64_t>(c.deblocking_idc));
        if (c.deblocking_idc != 1) s.se(c.alpha_div2).se(c.beta_div2);
        if (!idr) s.ue(0);       // mb_skip_run
        s.ue(idr ? 25 : 30);     // I_PCM
        while (s.bit_length() % 8 != 0) s.flag(false);  // pcm_alignment_zero_bit
        for (int k = 0; k < 384; ++k) s.u(8, static_cast<uint64_t>(1 + (k * 3 + i * 41) % 254));
        s.trailing();
        const uint8_t header = static_cast<uint8_t>((reference ? 0x40 : 0x00) | (idr ? 5 : 1));
        stream = kavrel_test::concat({stream, kavrel_test::nal(header, s.bytes())});
    }
    return stream;
}

std::string crafted(const std::string& name, const Crafted& c) {
    const std::string path = kavrel_test::work_dir() + "/double_" + name + ".h264";
    kavrel_test::write_file(path, crafted_stream(c));
    return path;
}

// ---- Tests -----------------------------------------------------------------

TEST(DoubleCli, StreamsTheLibraryRepeats) {
    const std::string mbaff_options = "-bf 0 -flags +ildct+ilme -bsf:v filter_units=remove_types=6 -profile:v ";
    const std::string untimed = crafted("untimed", {.timing = false});
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
        {crafted("deblock2", {.deblocking_idc = 2, .alpha_div2 = -3, .beta_div2 = 2}), "", "50/1"},
        {crafted("wrap", {.frames = 40}), "", "50/1"},  // 4-bit frame_num and lsb wrap, also in the repeats
        {crafted("poc2", {.frames = 20, .poc_type = 2}), "", "50/1"},
        {untimed, "--rate 25", "50/1"},
        {untimed, "--rate 29.97", "60000/1001"},
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
    const std::vector<long> idc = traced(kCases[10].in + ".doubled.h264", "disable_deblocking_filter_idc");
    EXPECT_EQ(std::count(idc.begin(), idc.end(), 2), 24);
    const std::vector<long> frame_nums = traced(kCases[11].in + ".doubled.h264", "frame_num");
    ASSERT_EQ(frame_nums.size(), 80u);
    for (size_t i = 1; i < frame_nums.size(); i += 2) EXPECT_EQ(frame_nums[i], (frame_nums[i - 1] + 1) % 16) << i;
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
        if (repeat) EXPECT_EQ(units[i - 1], Bytes({0x09, 0x30})) << "unit " << i;  // primary_pic_type 1
    }
}

TEST(DoubleCli, StreamsARepeatCannotFollowAreRefused) {
    expect_refused(x264("double_bframes", "176x144", 12, "-profile:v main -bf 2"), "not a reference picture");
    expect_refused(crafted("nonref", {.non_reference_at = 3}), "not a reference picture");
    expect_refused(crafted("fields", {.fields = true}), "field");
    expect_refused(crafted("pocstep1", {.poc_step = 1}), "steps by 1");
    expect_refused(crafted("untimed", {.timing = false}), "--rate");
    expect_refused(x264("double_pic_struct", "176x144", 6, "-bf 0 -x264-params pic-struct=1"), "picture-timing SEI");
}

}  // namespace
