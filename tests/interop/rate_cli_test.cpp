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
    const struct {
        std::string command, in, out_rate;  // out_rate as ffprobe gives it; empty: refused with `refusal`
        std::string refusal;
    } kCases[] = {
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
    const std::string dir = work_dir() + "/rate", out = dir + "/out.h264";
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.command + " " + c.in);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::string log;
        EXPECT_EQ(cli(c.command + " '" + c.in + "' '" + out + "'", &log), c.out_rate.empty() ? 1 : 0) << log;
        EXPECT_NE(log.find(c.refusal), std::string::npos) << log;
        if (c.out_rate.empty()) {
            EXPECT_TRUE(std::filesystem::is_empty(dir));
            continue;
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
}

}  // namespace
