// kavrel double IN OUT, checked with FFmpeg: the doubled stream decodes
// without an error into twice the frames, frame 2k is frame k of the input
// and frame 2k+1 repeats it exactly, and ffprobe reads twice the rate.
// Real x264 streams cover the coding tools; hand-made streams (one I_PCM
// macroblock per picture) cover numbering wraps, deblocking idc 2 and the
// streams that must be refused.
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
    std::filesystem::remove(out);
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
    // Every repeat is a non-reference P slice.
    EXPECT_EQ(traced(out, "nal_ref_idc").size(), traced(in, "nal_ref_idc").size() + original.size());
}

// Refused with a message and no output.
void expect_refused(const std::string& in, const std::string& reason, const std::string& options = "") {
    SCOPED_TRACE(in);
    const std::string out = in + ".refused.h264";
    std::string log;
    EXPECT_NE(double_cli(in, out, options, &log), 0);
    EXPECT_NE(log.find(reason), std::string::npos) << log;
    EXPECT_FALSE(std::filesystem::exists(out));
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

TEST(DoubleCli, ProfilesAndEntropyCoders) {
    // Baseline (CAVLC), Main (CABAC) and High with x264's default weighted
    // prediction, which makes the repeat carry a pred_weight_table.
    const std::string base = x264("double_base", "176x144", 12, "-profile:v baseline -bf 0");
    const std::string main = x264("double_main", "176x144", 12, "-profile:v main -bf 0");
    const std::string high = x264("double_high", "320x240", 12, "-profile:v high -bf 0");
    EXPECT_TRUE(contains(traced(main, "entropy_coding_mode_flag"), 1));
    EXPECT_TRUE(contains(traced(high, "weighted_pred_flag"), 1));
    expect_doubled(base, "50/1");
    expect_doubled(main, "50/1");
    expect_doubled(high, "50/1");
    EXPECT_TRUE(contains(traced(high + ".doubled.h264", "luma_log2_weight_denom"), 0));
}

TEST(DoubleCli, SlicesAndInterlace) {
    // Several slices per picture, CABAC and CAVLC.
    expect_doubled(x264("double_slices_cabac", "320x240", 10, "-profile:v main -bf 0 -slices 4"), "50/1");
    expect_doubled(x264("double_slices_cavlc", "320x240", 10, "-profile:v baseline -slices 3"), "50/1");
    // MBAFF frames, CABAC and CAVLC.
    const std::string mbaff = x264("double_mbaff", "352x288", 10, "-profile:v high -bf 0 -flags +ildct+ilme");
    ASSERT_TRUE(contains(traced(mbaff, "mb_adaptive_frame_field_flag"), 1));
    expect_doubled(mbaff, "50/1");
    expect_doubled(x264("double_mbaff_cavlc", "352x288", 10,
                        "-profile:v main -bf 0 -flags +ildct+ilme -x264-params cabac=0"),
                   "50/1");
}

TEST(DoubleCli, SizesAndRates) {
    expect_doubled(x264("double_16", "16x16", 8, "-profile:v main -bf 0"), "50/1");
    // Cropped pictures: 1080 lines of 1088 coded, and 200x120 in 208x128.
    const std::string hd = x264("double_1080", "1920x1080", 4, "-profile:v high -bf 0 -preset ultrafast", "30000/1001");
    EXPECT_TRUE(contains(traced(hd, "frame_crop_bottom_offset"), 4));
    expect_doubled(hd, "60000/1001");
    expect_doubled(x264("double_200", "200x120", 6, "-profile:v baseline", "24"), "48/1");
}

TEST(DoubleCli, Deblocking) {
    const std::string off = x264("double_nodeblock", "176x144", 8, "-profile:v main -bf 0 -x264-params no-deblock=1");
    EXPECT_TRUE(contains(traced(off, "disable_deblocking_filter_idc"), 1));
    expect_doubled(off, "50/1");
    const std::string offsets =
        x264("double_deblock", "176x144", 8, "-profile:v main -bf 0 -x264-params deblock=-3,2");
    EXPECT_TRUE(contains(traced(offsets, "slice_alpha_c0_offset_div2"), -3));
    expect_doubled(offsets, "50/1");
    EXPECT_TRUE(contains(traced(offsets + ".doubled.h264", "slice_beta_offset_div2"), 2));
    // disable_deblocking_filter_idc 2 with offsets, in a hand-made stream.
    const std::string two = crafted("deblock2", {.deblocking_idc = 2, .alpha_div2 = -3, .beta_div2 = 2});
    expect_doubled(two, "50/1");
    const std::vector<long> idc = traced(two + ".doubled.h264", "disable_deblocking_filter_idc");
    EXPECT_EQ(idc.size(), 24u);
    EXPECT_EQ(std::count(idc.begin(), idc.end(), 2), 24);
}

TEST(DoubleCli, NumberingWraps) {
    // 40 pictures with 4-bit frame_num and 4-bit pic_order_cnt_lsb stepping
    // by 2: both wrap several times, also in the repeats (frame_num 15 + 1).
    const std::string path = crafted("wrap", {.frames = 40});
    expect_doubled(path, "50/1");
    const std::vector<long> frame_nums = traced(path + ".doubled.h264", "frame_num");
    ASSERT_EQ(frame_nums.size(), 80u);
    for (size_t i = 1; i < frame_nums.size(); i += 2) EXPECT_EQ(frame_nums[i], (frame_nums[i - 1] + 1) % 16) << i;
    // An IDR every 5 pictures restarts the numbering, with an SPS each time.
    const std::string gop = x264("double_gop5", "176x144", 17, "-profile:v main -bf 0 -g 5");
    expect_doubled(gop, "50/1");
    EXPECT_EQ(traced(gop + ".doubled.h264", "seq_parameter_set_id").size(),
              traced(gop, "seq_parameter_set_id").size());
    // POC type 2.
    expect_doubled(crafted("poc2", {.frames = 20, .poc_type = 2}), "50/1");
}

TEST(DoubleCli, RateFromTheCommandLine) {
    const std::string path = crafted("untimed", {.timing = false});
    expect_refused(path, "--rate");
    expect_doubled(path, "50/1", "--rate 25");
    expect_doubled(path, "60000/1001", "--rate 30000/1001");
    std::string log;
    EXPECT_NE(double_cli(path, path + ".bad.h264", "--rate 0", &log), 0);
    EXPECT_FALSE(std::filesystem::exists(path + ".bad.h264"));
}

TEST(DoubleCli, StreamsARepeatCannotServeAreRefused) {
    expect_refused(x264("double_bframes", "176x144", 12, "-profile:v main -bf 2"), "B picture");
    expect_refused(crafted("nonref", {.non_reference_at = 3}), "non-reference picture");
    expect_refused(crafted("fields", {.fields = true}), "field picture");
    expect_refused(crafted("pocstep1", {.poc_step = 1}), "steps by 1");
}

}  // namespace
