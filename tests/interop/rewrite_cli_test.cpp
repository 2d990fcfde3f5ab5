// kavrel fps, sar, fix-pps and double on x264 streams, checked with FFmpeg: what ffprobe reads is the new value; fps
// and sar keep every SPS element but those they change and copy every other NAL unit byte for byte (so the pictures
// stay the same); fix-pps and double decode bit-exactly as the input (doubled: frame 2k is frame k of the input, frame
// 2k+1 repeats it). The refusals are in the CLI exit-code table.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "support/ffmpeg_oracle.h"

using namespace kavrel_test;

namespace {

std::vector<std::string> without(std::vector<std::string> fields, const std::regex& changed) {
    std::erase_if(fields, [&](const std::string& f) { return std::regex_search(f, changed); });
    return fields;
}

std::vector<Bytes> non_sps_units(const std::string& path) {
    std::vector<Bytes> units = nal_units(read_file(path));
    std::erase_if(units, [](const Bytes& u) { return u.empty() || (u[0] & 0x1F) == 7; });
    return units;
}

TEST(RewriteCli, NewRateOrAspectRatioAndNothingElse) {
    const std::string ntsc = x264("fps_baseline_ntsc", "352x288", 6, "-profile:v baseline", "30000/1001");
    // SPS at every IDR, NAL HRD, colour description, Extended_SAR 5:4, pic_struct_present_flag, B pictures, CABAC.
    const std::string vui = x264("fps_high_vui", "176x144", 8,
                                 "-vf setsar=5/4 -profile:v high -x264-params keyint=3:nal-hrd=vbr:vbv-maxrate=500:"
                                 "vbv-bufsize=1000:colorprim=bt709:transfer=bt709:colormatrix=bt709:pic-struct=1");
    // frame_mbs_only_flag 0 with MBAFF, cropping (180 rows are not a multiple of 32).
    const std::string interlaced =
        x264("fps_interlaced", "320x180", 4, "-profile:v main -flags +ildct+ilme -x264-params tff=1");
    const std::string hd = x264("fps_1080", "1920x1080", 2, "-preset ultrafast");
    const std::string plain = x264("sar_plain", "320x240", 8, "-profile:v main -g 4");
    const std::string colour = x264("sar_colour", "352x288", 6,
                                    "-vf setsar=16/11 -profile:v high -color_primaries bt709 -color_trc bt709 "
                                    "-colorspace bt709 -color_range tv -x264-params nal-hrd=vbr:vbv-maxrate=800:"
                                    "vbv-bufsize=1600");
    ASSERT_EQ(probe_stream(colour, "sample_aspect_ratio"), "16:11");
    const std::regex timing(R"(^(num_units_in_tick|time_scale|timing_info_present_flag|level_idc) = )");
    const std::regex aspect(R"(^(aspect_ratio_idc|sar_))");
    const struct {
        std::string command, in, entry, value;
        std::vector<std::string> fields;  // in every SPS afterwards
        bool hrd;                         // a warning about HRD parameters
    } kCases[] = {
        {"fps 50", vui, "r_frame_rate", "50/1", {"num_units_in_tick = 1", "time_scale = 100", "level_idc = 13"}, true},
        {"fps 25", ntsc, "r_frame_rate", "25/1", {"num_units_in_tick = 1", "time_scale = 50", "level_idc = 13"}, false},
        {"fps 12.5", ntsc, "r_frame_rate", "25/2", {"num_units_in_tick = 2", "time_scale = 50", "level_idc = 13"}, false},
        {"fps 29.97", interlaced, "r_frame_rate", "30000/1001",
         {"num_units_in_tick = 1001", "time_scale = 60000", "level_idc = 21"}, false},
        // 396 macroblocks x 59.94 > 20250
        {"fps 60000/1001", ntsc, "r_frame_rate", "60000/1001", {"time_scale = 120000", "level_idc = 30"}, false},
        // x264 chose 4.0; 1080p50 needs 4.2
        {"fps 50", hd, "r_frame_rate", "50/1", {"time_scale = 100", "level_idc = 42"}, false},
        {"sar 4:3", plain, "sample_aspect_ratio", "4:3", {"aspect_ratio_idc = 255"}, false},
        {"sar 8:6", plain, "sample_aspect_ratio", "4:3", {"sar_width = 4", "sar_height = 3"}, false},  // reduced
        {"sar 4:3", colour, "sample_aspect_ratio", "4:3", {"aspect_ratio_idc = 255"}, false},
    };
    const std::string out = work_dir() + "/rewrite_out.h264";
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.command + " " + c.in);
        std::string log;
        EXPECT_EQ(cli(c.command + " '" + c.in + "' '" + out + "'", &log), 0) << log;
        EXPECT_EQ(log.find("HRD") != std::string::npos, c.hrd) << log;
        EXPECT_EQ(probe_stream(out, c.entry), c.value);
        const auto old_sets = traced_sps(c.in), new_sets = traced_sps(out);
        ASSERT_FALSE(old_sets.empty());
        ASSERT_EQ(new_sets.size(), old_sets.size());
        const std::regex& changed = c.entry == "r_frame_rate" ? timing : aspect;
        for (size_t i = 0; i < old_sets.size(); ++i) {
            const std::vector<std::string> now = elements(new_sets[i]);
            EXPECT_EQ(without(now, changed), without(elements(old_sets[i]), changed)) << "SPS #" << i;
            for (const std::string& f : c.fields) EXPECT_NE(std::find(now.begin(), now.end(), f), now.end()) << f;
        }
        EXPECT_EQ(non_sps_units(out), non_sps_units(c.in));
    }
}

// The stream at `path` with every PPS cut after redundant_pic_cnt_present_flag.
Bytes without_pps_tail(const std::string& path) {
    const Bytes stream = read_file(path);
    Parser p;
    const FrameInfo info = p.start(stream).info;
    int flag_bit = -1;  // in the RBSP
    for (const TracedUnit& u : trace(path))
        if (u.heading == "Picture Parameter Set") flag_bit = u.find("transform_8x8_mode_flag")->bit - 8;
    EXPECT_GT(flag_bit, 0);
    BitBuilder b;
    for (int k = 0; k < flag_bit; ++k) b.u(1, (info.pps_data[k / 8] >> (7 - k % 8)) & 1);
    const Bytes stripped_pps = nal(0x68, b.trailing().bytes());
    Bytes stripped;
    for (const Bytes& u : nal_units(stream))
        stripped = concat({stripped, (u[0] & 0x1f) == 8 ? stripped_pps : concat({{0, 0, 0, 1}, u})});
    return stripped;
}

// x264 High streams whose PPS lost its tail (cut after redundant_pic_cnt_present_flag, as an encoder that forgets it
// writes it), fixed by the tool: they decode exactly as the originals. x264's eight Exp-Golomb codes and eight fixed
// bits put the flag at an even RBSP bit; the rows reach 0, 2, 4 and 6 mod 8 (the odd ones are crafted in
// Synthesis.PpsTailAtEveryAlignment).
TEST(RewriteCli, FixPpsRestoresStrippedHighProfileStreams) {
    const char* options[] = {
        "-refs 1 -x264-params psy=0:weightp=0:chroma-qp-offset=2", "-refs 2 -x264-params weightp=1:chroma-qp-offset=1",
        "-refs 4 -x264-params weightp=2:chroma-qp-offset=-5",      "-refs 16 -x264-params weightp=0:chroma-qp-offset=-5",
        "-refs 3 -x264-params weightp=1:chroma-qp-offset=-1",
        "-refs 6 -x264-params psy=0:weightp=2:chroma-qp-offset=3",
    };
    for (size_t i = 0; i < std::size(options); ++i) {
        SCOPED_TRACE(options[i]);
        const std::string orig = x264("tail_" + std::to_string(i), "176x144", 5, "-profile:v high " + std::string(options[i]));
        const Bytes stream = read_file(orig);
        const std::string cut = work_dir() + "/tail_stripped.h264", fixed = work_dir() + "/tail_fixed.h264";
        write_file(cut, without_pps_tail(orig));
        const auto original = frame_hashes(orig);
        std::string log;
        if (i == 0) {  // without the flag the 8x8-transformed macroblocks decode wrongly
            run("ffmpeg -nostdin -v error -i '" + cut + "' -f framemd5 - 2>/dev/null", &log);
            EXPECT_EQ(log.find(original.back()), std::string::npos) << "stripping the tail changed nothing";
        }
        ASSERT_EQ(cli("fix-pps '" + cut + "' '" + fixed + "'", &log), 0) << log;
        EXPECT_EQ(frame_hashes(fixed), original);
        // A stream whose PPS has its tail is left as it is.
        ASSERT_EQ(cli("fix-pps '" + orig + "' '" + fixed + "'", &log), 0) << log;
        EXPECT_EQ(read_file(fixed), stream);
    }
}

// Doubles `in` with the CLI and checks the result frame by frame.
void expect_doubled(const std::string& in, const std::string& doubled_rate, const std::string& options = "") {
    SCOPED_TRACE(in);
    const std::string out = in + ".doubled.h264";
    std::string log;
    ASSERT_EQ(cli("double " + options + " '" + in + "' '" + out + "'", &log), 0) << log;
    const std::vector<std::string> original = frame_hashes(in);
    ASSERT_FALSE(original.empty());
    const std::vector<std::string> doubled = frame_hashes(out);
    ASSERT_EQ(doubled.size(), 2 * original.size());
    for (size_t k = 0; k < original.size(); ++k) {
        EXPECT_EQ(doubled[2 * k], original[k]) << "frame " << 2 * k;
        EXPECT_EQ(doubled[2 * k + 1], doubled[2 * k]) << "frame " << 2 * k + 1;
    }
    EXPECT_EQ(probe_stream(out, "r_frame_rate"), doubled_rate);
}

// What the tool adds to the library's repeats (which Streams.EveryStreamAgainstFFmpeg checks over the coding tools):
// the doubled or given rate, level_idc raised where the rate needs it, a delimiter before each repeat of a stream that
// has them, the end of stream kept last.
TEST(RewriteCli, DoubleRatesLevelsDelimiters) {
    const std::string base = x264("double_base", "176x144", 12, "-profile:v baseline -bf 0");
    const std::string hd = x264("double_1080", "1920x1080", 4, "-profile:v high -bf 0 -preset ultrafast", "30000/1001");
    // Every access unit with an AUD, the stream closed by end_of_stream.
    const std::string aud = x264("double_aud", "176x144", 6, "-profile:v main -bf 0 -x264-params aud=1") + ".eos.h264";
    write_file(aud, concat({read_file(aud.substr(0, aud.size() - 9)),
                            {0, 0, 0, 1, 0x0B}}));
    expect_doubled(base, "50/1");
    expect_doubled(base, "60000/1001", "--rate 29.97");
    expect_doubled(hd, "60000/1001");
    // 1080p at 59.94 needs level 4.2 (Table A-1 MaxMBPS); x264 chose 4.0.
    EXPECT_EQ(probe_stream(hd, "level"), "40");
    EXPECT_EQ(probe_stream(hd + ".doubled.h264", "level"), "42");
    expect_doubled(aud, "50/1");
    const std::vector<Bytes> units = nal_units(read_file(aud + ".doubled.h264"));
    ASSERT_FALSE(units.empty());
    EXPECT_EQ(units.back(), Bytes({0x0B}));
    for (size_t i = 1; i < units.size(); ++i) {
        if ((units[i][0] & 0x1F) == 1 && (units[i][0] & 0x60) == 0) {  // a repeat
            EXPECT_EQ(units[i - 1], Bytes({0x09, 0x30})) << "unit " << i;  // primary_pic_type 1
        }
    }
}

// The first SPS and PPS of `stream` again before every tenth picture (as cameras repeat them), without picture `drop`
// (a picture lost in transmission).
Bytes sets_every_ten(const Bytes& stream, int drop) {
    const std::vector<Bytes> units = nal_units(stream);
    Bytes sets, out;
    for (const Bytes& u : units)
        if ((u[0] & 0x1F) == 7 || (u[0] & 0x1F) == 8) sets = concat({sets, {0, 0, 0, 1}, u});
    int picture = 0;
    for (const Bytes& u : units) {
        const bool slice = (u[0] & 0x1F) == 1 || (u[0] & 0x1F) == 5;
        if (slice && picture++ == drop) continue;
        if (slice && picture % 10 == 1 && picture > 1) out = concat({out, sets});
        out = concat({out, {0, 0, 0, 1}, u});
    }
    return out;
}

// Streams whose SPS and PPS stand before P pictures too, or that lost a picture: sar gives every frame the new aspect
// ratio and fix-pps restores every PPS, both decoding as the original; the access unit that follows a lost picture is
// copied with a warning, or refused with --strict.
TEST(RewriteCli, EverySetWhereverItStands) {
    const std::string ippp = x264("sets_ippp", "176x144", 30, "-profile:v high -bf 0 -g 30");
    const std::string refresh = x264("sets_refresh", "176x144", 30, "-profile:v high -x264-params intra-refresh=1:keyint=10");
    const std::string periodic = work_dir() + "/sets_periodic.h264", lost = work_dir() + "/sets_lost.h264";
    write_file(periodic, sets_every_ten(read_file(ippp), -1));
    write_file(lost, sets_every_ten(read_file(ippp), 13));
    const struct {
        std::string in;
        size_t sets;     // SPS (and PPS) in the stream
        bool lost;       // a unit the library cannot parse
    } kCases[] = {{periodic, 3, false}, {refresh, 3, false}, {lost, 3, true}};
    const std::string out = work_dir() + "/sets_out.h264", cut = work_dir() + "/sets_cut.h264";
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.in);
        std::string log, sars;
        ASSERT_EQ(cli("sar 4:3 '" + c.in + "' '" + out + "'", &log), 0) << log;
        EXPECT_NE(log.find(std::to_string(c.sets) + " SPS given the sample aspect ratio"), std::string::npos) << log;
        EXPECT_EQ(log.find("does not parse (code -16 (KAVREL_E_FRAME_NUM)): copied unchanged") != std::string::npos,
                  c.lost) << log;
        EXPECT_EQ(log.find("[VsKavrel]"), c.lost ? log.find("[VsKavrel]:ERROR: frame_num") : std::string::npos) << log;
        const auto hashes = frame_hashes(c.in);
        EXPECT_EQ(frame_hashes(out), hashes);
        run("ffprobe -v error -show_entries frame=sample_aspect_ratio -of csv=p=0 '" + out + "' | grep -c '^4:3'", &sars);
        EXPECT_EQ(sars, std::to_string(hashes.size()) + "\n");
        std::vector<Bytes> sets = nal_units(read_file(out));  // copies of one SPS: all written alike
        std::erase_if(sets, [](const Bytes& u) { return (u[0] & 0x1F) != 7; });
        EXPECT_EQ(std::count(sets.begin(), sets.end(), sets.front()), static_cast<long>(c.sets));
        write_file(cut, without_pps_tail(c.in));
        ASSERT_EQ(cli("fix-pps '" + cut + "' '" + out + "'", &log), 0) << log;
        EXPECT_NE(log.find(std::to_string(c.sets) + " PPS given the 8x8-transform tail"), std::string::npos) << log;
        EXPECT_EQ(frame_hashes(out), hashes);
        std::filesystem::remove(out);
        EXPECT_EQ(cli("sar --strict 4:3 '" + c.in + "' '" + out + "'", &log), c.lost ? 1 : 0) << log;
        EXPECT_EQ(std::filesystem::exists(out), !c.lost);
    }
}

}  // namespace
