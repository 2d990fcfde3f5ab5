// kavrel sar and kavrel fix-pps on x264 streams, checked with FFmpeg.
#include <gtest/gtest.h>

#include <algorithm>

#include "stream/parser_handle.h"
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

// The RBSP of the stream's PPS cut after redundant_pic_cnt_present_flag, as
// an encoder that forgets the High-profile tail would write it.
Bytes strip_pps_tail(const Bytes& stream) {
    kavrel_test::Parser p;
    p.start(stream);
    EXPECT_EQ(p->transform_8x8_mode, 1);
    EXPECT_EQ(p->active_pps.chroma_qp_index_offset, 0);  // so the inferred second offset is 0 too
    kavrel_test::BitBuilder b;
    for (int i = 0; i <= p->pps_tail_bit_pos; ++i) b.u(1, (p->ps_data[1][i / 8] >> (7 - i % 8)) & 1);
    const Bytes stripped = kavrel_test::nal(0x68, b.trailing().bytes());
    // Every unit behind a 4-byte start code, every PPS replaced.
    Bytes out;
    for (const Bytes& u : kavrel_test::nal_units(stream))
        out = kavrel_test::concat({out, (u[0] & 0x1f) == 8 ? stripped : kavrel_test::concat({{0, 0, 0, 1}, u})});
    return out;
}

TEST(CorrectionCli, FixPpsRestoresAStrippedHighProfileStream) {
    const std::string orig = kavrel_test::make_stream(
        "fixpps_high",
        "-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 8 -c:v libx264 -profile:v high -x264-params psy=0");
    const std::string stripped = out_path("fixpps_stripped.h264");
    kavrel_test::write_file(stripped, strip_pps_tail(kavrel_test::read_file(orig)));

    // Without the flag the 8x8-transformed macroblocks decode wrongly.
    std::string log;
    kavrel_test::run("ffmpeg -nostdin -v error -i '" + stripped + "' -f framemd5 - 2>/dev/null", &log);
    const auto original = kavrel_test::frame_hashes(orig);
    EXPECT_EQ(original.size(), 8u);
    EXPECT_EQ(log.find(original.back()), std::string::npos) << "stripping the tail changed nothing";

    const std::string fixed = out_path("fixpps_fixed.h264");
    ASSERT_EQ(cli("fix-pps '" + stripped + "' '" + fixed + "'", &log), 0) << log;
    EXPECT_EQ(kavrel_test::frame_hashes(fixed), original);

    // A stream whose PPS has its tail is left as it is.
    const std::string again = out_path("fixpps_again.h264");
    ASSERT_EQ(cli("fix-pps '" + orig + "' '" + again + "'", &log), 0) << log;
    EXPECT_EQ(kavrel_test::read_file(again), kavrel_test::read_file(orig));
}

}  // namespace
