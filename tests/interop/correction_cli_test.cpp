// kavrel sar and kavrel fix-pps on x264 streams, checked with FFmpeg.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/ffmpeg_oracle.h"
#include "support/test_support.h"

using kavrel_test::Bytes;
using kavrel_test::cli;

namespace {

std::string out_path(const std::string& name) { return kavrel_test::work_dir() + "/" + name; }

std::vector<std::string> without(const std::vector<std::string>& fields, const std::string& prefix) {
    std::vector<std::string> kept;
    for (const std::string& f : fields)
        if (f.rfind(prefix, 0) != 0) kept.push_back(f);
    return kept;
}

TEST(CorrectionCli, SarIsWhatFFmpegReadsAndTheRestStaysTheSame) {
    const std::string plain = kavrel_test::make_stream(
        "sar_plain", "-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 8 -c:v libx264 -profile:v main -g 4");
    const std::string colour = kavrel_test::make_stream(
        "sar_colour",
        "-f lavfi -i testsrc2=size=352x288:rate=25 -frames:v 6 -vf setsar=16/11 -c:v libx264 -profile:v high "
        "-color_primaries bt709 -color_trc bt709 -colorspace bt709 -color_range tv "
        "-x264-params nal-hrd=vbr:vbv-maxrate=800:vbv-bufsize=1600");
    ASSERT_EQ(kavrel_test::probe_stream(colour, "sample_aspect_ratio"), "16:11");
    const std::string out = out_path("sar_4x3.h264");
    for (const auto& [in, ratio] : {std::pair{plain, "4:3"}, {plain, "8:6"}, {colour, "4:3"}}) {
        std::string log;
        ASSERT_EQ(cli(std::string("sar ") + ratio + " '" + in + "' '" + out + "'", &log), 0) << log;
        EXPECT_EQ(kavrel_test::probe_stream(out, "sample_aspect_ratio"), "4:3");  // reduced
        EXPECT_EQ(kavrel_test::frame_hashes(out), kavrel_test::frame_hashes(in));
        const auto sps_in = kavrel_test::traced_structures(in, "Sequence Parameter Set");
        const auto sps_out = kavrel_test::traced_structures(out, "Sequence Parameter Set");
        ASSERT_EQ(sps_in.size(), sps_out.size());
        for (size_t i = 0; i < sps_in.size(); ++i) {
            // Only the aspect ratio differs: idc 255 with an explicit 4:3.
            EXPECT_EQ(without(without(sps_out[i], "aspect_ratio_idc"), "sar_"),
                      without(without(sps_in[i], "aspect_ratio_idc"), "sar_"));
            EXPECT_NE(std::find(sps_out[i].begin(), sps_out[i].end(), "aspect_ratio_idc = 255"), sps_out[i].end());
        }
    }
}

// x264 High streams whose PPS lost its tail (cut after
// redundant_pic_cnt_present_flag, as an encoder that forgets it writes it),
// fixed by the tool: they decode exactly as the originals. x264's eight
// Exp-Golomb codes and eight fixed bits put the flag at each odd bit; the
// even ones are crafted in Synthesis.PpsTailAtEveryAlignment.
TEST(CorrectionCli, FixPpsRestoresStrippedHighProfileStreams) {
    const char* options[] = {
        "-refs 1 -x264-params psy=0:weightp=0:chroma-qp-offset=2", "-refs 2 -x264-params weightp=1:chroma-qp-offset=1",
        "-refs 4 -x264-params weightp=2:chroma-qp-offset=-5",      "-refs 16 -x264-params weightp=0:chroma-qp-offset=-5",
        "-refs 3 -x264-params weightp=1:chroma-qp-offset=-1",      "-refs 6 -x264-params weightp=2:chroma-qp-offset=3",
    };
    for (size_t i = 0; i < std::size(options); ++i) {
        SCOPED_TRACE(options[i]);
        const std::string orig = kavrel_test::make_stream(
            "tail_" + std::to_string(i),
            "-f lavfi -i testsrc2=size=176x144:rate=25 -frames:v 5 -c:v libx264 -profile:v high " +
                std::string(options[i]));
        const Bytes stream = kavrel_test::read_file(orig);
        kavrel_test::Parser p;
        const FrameInfo info = p.start(stream).info;
        int flag_bit = -1;  // in the RBSP
        for (const kavrel_test::TracedUnit& u : kavrel_test::trace(orig))
            if (u.heading == "Picture Parameter Set") flag_bit = u.find("transform_8x8_mode_flag")->bit - 8;
        ASSERT_GT(flag_bit, 0);
        kavrel_test::BitBuilder b;
        for (int k = 0; k < flag_bit; ++k) b.u(1, (info.pps_data[k / 8] >> (7 - k % 8)) & 1);
        const Bytes stripped_pps = kavrel_test::nal(0x68, b.trailing().bytes());
        Bytes stripped;
        for (const Bytes& u : kavrel_test::nal_units(stream))
            stripped = kavrel_test::concat({stripped, (u[0] & 0x1f) == 8 ? stripped_pps : kavrel_test::concat({{0, 0, 0, 1}, u})});
        const std::string cut = out_path("tail_stripped.h264"), fixed = out_path("tail_fixed.h264");
        kavrel_test::write_file(cut, stripped);
        const auto original = kavrel_test::frame_hashes(orig);
        std::string log;
        if (i == 0) {  // without the flag the 8x8-transformed macroblocks decode wrongly
            kavrel_test::run("ffmpeg -nostdin -v error -i '" + cut + "' -f framemd5 - 2>/dev/null", &log);
            EXPECT_EQ(log.find(original.back()), std::string::npos) << "stripping the tail changed nothing";
        }
        ASSERT_EQ(cli("fix-pps '" + cut + "' '" + fixed + "'", &log), 0) << log;
        EXPECT_EQ(kavrel_test::frame_hashes(fixed), original);
        // A stream whose PPS has its tail is left as it is.
        ASSERT_EQ(cli("fix-pps '" + orig + "' '" + fixed + "'", &log), 0) << log;
        EXPECT_EQ(kavrel_test::read_file(fixed), stream);
    }
}

}  // namespace
