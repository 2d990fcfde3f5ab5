// kavrel rate and double on x264 streams, checked with FFmpeg: every input picture shown as often as the even spread
// says (halving: every picture but the B-pictures), in order, decoded without a complaint, at the new rate and as long
// as the input within one frame; the conversions refused exit 1 with their reason and write nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "support/ffmpeg_oracle.h"

using namespace kavrel_test;

namespace {

struct Fraction {
    uint64_t num, den;
};

Fraction fraction(const std::string& r) {  // "30000/1001", "25/1"
    return {std::stoull(r), std::stoull(r.substr(r.find('/') + 1))};
}

struct Conversion {
    std::string command, in, out_rate;  // out_rate as ffprobe gives it; empty: refused with `refusal`
    std::string refusal;
};

void check(const Conversion& c) {
    const std::string dir = work_dir() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const std::string out = dir + "/out.h264";
    SCOPED_TRACE(c.command + " " + c.in);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::string log;
    EXPECT_EQ(cli(c.command + " '" + c.in + "' '" + out + "'", &log), c.out_rate.empty() ? 1 : 0) << log;
    EXPECT_NE(log.find(c.refusal), std::string::npos) << log;
    if (c.out_rate.empty()) {
        EXPECT_TRUE(std::filesystem::is_empty(dir));
        return;
    }
    EXPECT_EQ(probe_stream(out, "r_frame_rate"), c.out_rate);
    const Fraction in = fraction(probe_stream(c.in, "r_frame_rate")), to = fraction(c.out_rate);
    const uint64_t up = to.num * in.den, down = to.den * in.num;  // new rate / old
    const std::vector<std::string> pictures = frame_hashes(c.in);
    std::string types;
    run("ffprobe -v error -show_entries frame=pict_type -of csv=p=0 '" + c.in + "'", &types);
    std::erase_if(types, [](char t) { return t < 'A' || t > 'Z'; });  // "I,\n\nB\nP..." (side data)
    // Each input picture in order (the B-pictures dropped when halving), once or twice; where the repeats must
    // lie just where the even spread says (no B-pictures, or all repeated), there.
    const std::vector<std::string> shown = frame_hashes(out);
    const bool exact = types.find('B') == std::string::npos || up == 2 * down;
    size_t at = 0;
    for (uint64_t k = 0; k < pictures.size(); ++k) {
        if (up < down && types[k] == 'B') continue;
        uint64_t shows = 0;
        while (at < shown.size() && shown[at] == pictures[k] && shows < (up > down ? 2u : 1u)) ++shows, ++at;
        if (exact && up > down) {
            EXPECT_EQ(shows, (k + 1) * up / down - k * up / down) << "picture " << k;
        } else {
            EXPECT_GE(shows, 1u) << "picture " << k;
        }
    }
    EXPECT_EQ(at, shown.size());
    const auto timings = [](const std::string& path) {  // picture-timing SEI messages
        const std::vector<TracedUnit> units = trace(path);
        return std::count_if(units.begin(), units.end(), [](const TracedUnit& u) { return u.heading == "Picture Timing"; });
    };
    EXPECT_EQ(timings(out), timings(c.in) ? static_cast<long>(shown.size()) : 0);  // one in each picture's unit
    // As long as the input, within one frame of the new rate.
    const double late = double(shown.size()) * to.den / to.num - double(pictures.size()) * in.den / in.num;
    EXPECT_LE(std::abs(late), double(to.den) / to.num + 1e-9);
}

TEST(RateCli, StreamsByTargetsAgainstFFmpeg) {
    const std::string ip = "-bf 0 -x264-params keyint=12";
    const std::string cavlc = x264("rate_cavlc", "176x144", 20, "-profile:v baseline " + ip);
    const std::string cabac = x264("rate_cabac", "176x144", 20, "-profile:v main " + ip);
    const std::string film = x264("rate_film", "176x144", 16, ip, "24000/1001");
    const std::string ntsc = x264("rate_ntsc", "176x144", 10, ip, "30000/1001");
    const std::string ibpb = x264("rate_ibpb", "176x144", 21, "-x264-params bframes=1:b-adapt=0:b-pyramid=none", "50");
    const std::string tff = x264("rate_tff", "176x144", 10, "-bf 0 -flags +ildct+ilme -x264-params tff=1");
    const std::string x264_default = x264("rate_default", "176x144", 20, "");  // B-pyramid, implicit weights
    const std::string ibp = x264("rate_ibp", "176x144", 15, "-x264-params bframes=1:b-pyramid=none:weightb=0");
    const std::string timed = x264("rate_timed", "176x144", 15, "-x264-params bframes=2:weightb=0:pic-struct=1:aud=1");
    const std::string hrd = x264("rate_hrd", "176x144", 6, ip + ":nal-hrd=vbr:vbv-maxrate=500:vbv-bufsize=1000");
    const Conversion kCases[] = {
        {"rate 30", cavlc, "30/1", ""}, {"rate 30", cabac, "30/1", ""}, {"rate 50", cabac, "50/1", ""},
        {"rate 29.97", film, "30000/1001", ""}, {"rate 59.94", ntsc, "60000/1001", ""}, {"rate 25", ibpb, "25/1", ""},
        {"rate 30", tff, "30/1", ""}, {"double", tff, "50/1", ""}, {"rate 30", timed, "30/1", ""},
        {"rate 30", hrd, "", "carries picture-timing SEI, which would describe the wrong pictures"},
        {"rate 60", cabac, "", "60 fps is more than twice the input's 25 fps"},
        {"rate 30", ibpb, "", "30 fps is below the input's 50 fps but not half of it"},
        {"rate 12.5", cabac, "", "every other picture, which must be a non-reference frame"},
        {"rate 30", x264_default, "30/1", ""}, {"rate 30", ibp, "30/1", ""}, {"double", ibp, "50/1", ""},
        {"double", x264_default, "", "the B-pictures use implicit weighted bi-prediction"},
    };
    for (const Conversion& c : kCases) check(c);
}

// x264's B-picture shapes (bframes 1..3, B-pyramid none/strict/normal, open GOP, weightb 0/1) at the common rates,
// CAVLC and CABAC, progressive and MBAFF: up by 1.25, 24 -> 30 (NTSC), twice, and half where every other picture
// is a non-reference frame.
TEST(RateCli, EncoderShapesByTargetsAgainstFFmpeg) {
    const auto make = [](const char* name, const char* rate, int frames, const std::string& options) {
        return x264(std::string("shape_") + name, "128x96", frames, options, rate);
    };
    const std::string mbaff = "-flags +ildct+ilme ", cavlc = "-coder 0 ";
    const std::string b1 = make("b1", "24000/1001", 24, "-x264-params bframes=1:b-adapt=0:b-pyramid=none:weightb=0");
    const std::string b1w = make("b1w", "24000/1001", 24, "-x264-params bframes=1:b-adapt=0:b-pyramid=none:weightb=1");
    const std::string b2s = make("b2s", "25", 30, cavlc + "-x264-params bframes=2:b-pyramid=strict:weightb=0");
    const std::string x264_default = make("default", "25", 30, "");
    const std::string open =
        make("open", "30000/1001", 36, "-x264-params bframes=3:b-pyramid=none:weightb=0:open-gop=1:keyint=12");
    const std::string b1_50 = make("b1_50", "50", 33, "-x264-params bframes=1:b-adapt=0:b-pyramid=none:weightb=0");
    const std::string b3n = make("b3n", "50", 32, cavlc + "-x264-params bframes=3:b-pyramid=normal:weightb=0");
    const std::string mbaff_b = make("mbaff_b", "25", 24, mbaff + "-x264-params bframes=2:weightb=0");
    const std::string mbaff_bw = make("mbaff_bw", "25", 24, mbaff + "-x264-params bframes=3");
    const std::string mbaff_ip = make("mbaff_ip", "30000/1001", 24, mbaff + cavlc + "-bf 0");
    const std::string veryfast = make("veryfast", "25", 30, "-preset veryfast");  // implicit weights, one reference
    const std::string implicit = "implicit weighted bi-prediction", reference = "is a reference picture, and so is";
    const Conversion kCases[] = {
        {"rate 29.97", b1, "30000/1001", ""}, {"double", b1, "48000/1001", ""},
        {"rate 12000/1001", b1, "12000/1001", ""}, {"rate 29.97", b1w, "30000/1001", ""},
        {"rate 12000/1001", b1w, "12000/1001", ""}, {"double", b1w, "", implicit},
        {"rate 31.25", b2s, "125/4", ""}, {"double", b2s, "50/1", ""}, {"rate 12.5", b2s, "", reference},
        {"rate 30", x264_default, "30/1", ""}, {"rate 31.25", x264_default, "125/4", ""},
        {"double", x264_default, "", implicit},
        {"rate 37500/1001", open, "37500/1001", ""}, {"double", open, "60000/1001", ""},
        {"rate 62.5", b1_50, "125/2", ""}, {"double", b1_50, "100/1", ""}, {"rate 25", b1_50, "25/1", ""},
        {"rate 62.5", b3n, "125/2", ""}, {"double", b3n, "100/1", ""}, {"rate 25", b3n, "", reference},
        {"rate 30", mbaff_b, "30/1", ""}, {"double", mbaff_b, "50/1", ""}, {"rate 30", mbaff_bw, "30/1", ""},
        {"double", mbaff_ip, "60000/1001", ""}, {"rate 37500/1001", mbaff_ip, "37500/1001", ""},
        {"double", veryfast, "50/1", ""}, {"double", mbaff_bw, "", implicit},
    };
    for (const Conversion& c : kCases) check(c);
}

}  // namespace
