// kavrel on x264 video with AAC audio in MP4, MOV, Matroska and MPEG-TS, checked with FFmpeg: the audio packets are
// copied bit for bit; the video, extracted again as Annex B, is byte for byte what the same command writes for the
// Annex B extraction of the input; it decodes without error to the expected pictures; duration and the start of the
// audio against the video are kept; avcC / CodecPrivate holds the SPS the command wrote. probe reports the table of
// the extraction plus FFprobe's pts and dts.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/ffmpeg_oracle.h"

using namespace kavrel_test;

namespace {

std::string work(const std::string& name) { return work_dir() + "/av_" + name; }

std::string shell(const std::string& command) {
    std::string out;
    EXPECT_EQ(run(command + " 2>&1", &out), 0) << command << "\n" << out;
    return out;
}

std::string ffprobe(const std::string& path, const std::string& args) {
    std::string out = shell("ffprobe -v error " + args + " -of csv=p=0 '" + path + "'");
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// The video as Annex B, as `ffmpeg -c copy -bsf:v h264_mp4toannexb` takes it out.
std::string extract(const std::string& path) {
    shell("ffmpeg -nostdin -v error -y -i '" + path + "' -map 0:v -c copy -bsf:v h264_mp4toannexb -f h264 '" + path +
          ".h264'");
    return path + ".h264";
}

// framemd5 of the decoded video; FFmpeg's complaints fail the test.
std::vector<std::string> pictures(const std::string& path) {
    std::string out;
    run("ffmpeg -nostdin -v error -i '" + path + "' -map 0:v -f framemd5 - 2>'" + path + ".err'", &out);
    const Bytes err = read_file(path + ".err");
    EXPECT_EQ(std::string(err.begin(), err.end()), "") << "decoding " << path;
    std::vector<std::string> hashes;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#') hashes.push_back(line.substr(line.rfind(',') + 1));
    return hashes;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }  // MPEG-TS: per program too

double seconds(const std::string& text) { return text.empty() || text == "N/A" ? -1e9 : std::stod(text); }

// What must survive a command: the audio packets' MD5, the pictures, the duration, where the audio starts against
// the video.
struct Facts {
    std::string audio;
    std::vector<std::string> pictures;
    double length, lead;
};

Facts facts(const std::string& path) {
    const auto start = [&](const char* stream) {
        return seconds(ffprobe(path, std::string("-select_streams ") + stream + " -show_entries stream=start_time"));
    };
    return {shell("ffmpeg -nostdin -v error -i '" + path + "' -map 0:a -c copy -f md5 -"), pictures(path),
            seconds(ffprobe(path, "-show_entries format=duration")), start("a") - start("v")};
}

bool built_with_containers() {
    std::string version;
    cli("--version", &version);
    return version.find("containers: MP4") != std::string::npos;
}

// probe on a container: the table of its Annex B extraction, plus FFprobe's pts and dts.
void check_probe(const std::string& in) {
    std::string log, plain;
    ASSERT_EQ(cli("-q probe --json '" + in + "'", &log), 0) << log;
    ASSERT_EQ(cli("-q probe --json '" + in + ".h264'", &plain), 0) << plain;
    auto units = nlohmann::json::parse(log).at("access_units");
    const auto packets = nlohmann::json::parse(shell("ffprobe -v error -select_streams v -show_entries packet=pts,dts "
                                                     "-of json '" + in + "'")).at("packets");
    ASSERT_EQ(units.size(), packets.size());
    for (size_t i = 0; i < units.size(); ++i) {
        EXPECT_EQ(units[i].at("pts"), packets[i].at("pts")) << i;
        if (packets[i].contains("dts")) {
            EXPECT_EQ(units[i].at("dts"), packets[i].at("dts")) << i;
        }
        units[i].erase("pts"), units[i].erase("dts");
    }
    EXPECT_EQ(units, nlohmann::json::parse(plain).at("access_units"));
}

// Each command on IPPP and B-picture streams in `ext`, into the same container and into `other` (where FFmpeg's own
// copy into `other` gives what must be kept).
void check_container(const std::string& ext, const std::string& other) {
    if (!built_with_containers()) GTEST_SKIP() << "kavrel was built without containers (KAVREL_WITH_CONTAINERS OFF)";
    const std::string make = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=176x144:rate=25 -f lavfi -i "
                             "sine=frequency=440:sample_rate=48000 -t 1 -c:a aac -c:v libx264 -pix_fmt yuv420p ";
    // B-pyramid (B-pictures forced) without implicit weights: double repeats every picture, and the repeats of reference
    // pictures reach the stream in output order, not in the order they were asked for.
    const std::string b = "-bf 3 -g 12 -x264-params weightb=0:b-adapt=0";
    const struct {
        std::string options, command, out_ext;
    } kRows[] = {{"-bf 0 -g 10", "probe", ext}, {"-bf 0 -g 10", "fps 50", ext},  {"-bf 0 -g 10", "sar 4:3", ext},
                 {"-bf 0 -g 10", "fix-pps", ext}, {"-bf 0 -g 10", "double", ext}, {b, "probe", ext},
                 {b, "fps 50", ext},            {b, "sar 4:3", ext},           {b, "fix-pps", other},
                 {b, "double", ext},            {"-bf 0 -g 10", "double", other}};
    std::map<std::string, Facts> kept;
    for (const auto& row : kRows) {
        const std::string name = ext + (row.options == "-bf 0 -g 10" ? "_ippp" : "_bpyramid"), in = work(name + "." + ext);
        SCOPED_TRACE(row.command + " " + in + " -> " + row.out_ext);
        if (!std::filesystem::exists(in + ".h264")) shell(make + row.options + " '" + in + "'"), extract(in);
        if (row.command == "probe") {
            check_probe(in);
            continue;
        }
        const std::string out = work(name + "_out." + row.out_ext), ref = work(name + "_ref.h264");
        std::string log, plain;
        ASSERT_EQ(cli(row.command + " '" + in + "' '" + out + "'", &log), 0) << log;
        ASSERT_EQ(cli("-q " + row.command + " '" + in + ".h264' '" + ref + "'", &plain), 0) << plain;
        std::vector<Bytes> written = nal_units(read_file(extract(out))), expected = nal_units(read_file(ref));
        if (row.out_ext != ext && row.out_ext == "ts")  // FFmpeg's MPEG-TS writer puts an AUD in front of each picture
            std::erase_if(written, [](const Bytes& u) { return !u.empty() && (u[0] & 0x1F) == 9; });
        EXPECT_EQ(written, expected);
        const std::string copy = work(name + "_copy." + row.out_ext);  // what FFmpeg keeps, the oracle
        if (!kept.count(copy)) {
            shell("ffmpeg -nostdin -v error -y -i '" + in + "' -c copy '" + copy + "'");
            kept[copy] = facts(copy);
        }
        const Facts& before = kept[copy];
        const Facts after = facts(out);
        const bool doubled = row.command == "double";
        EXPECT_EQ(after.audio, before.audio);
        ASSERT_EQ(after.pictures.size(), before.pictures.size() * (doubled ? 2 : 1));
        for (size_t i = 0; i < after.pictures.size(); ++i)
            EXPECT_EQ(after.pictures[i], before.pictures[doubled ? i / 2 : i]) << i;
        EXPECT_LE(std::abs(after.length - before.length), 0.04 + 1e-6);
        EXPECT_NEAR(after.lead, before.lead, 0.0015);
        if (doubled) {
            EXPECT_EQ(first_line(probe_stream(out, "avg_frame_rate")), "50/1");
        }
        if (row.command == "sar 4:3") {
            EXPECT_EQ(first_line(probe_stream(out, "sample_aspect_ratio")), "4:3");
        }
        if (row.out_ext == "ts") continue;
        const std::vector<TracedUnit> stream_sets = traced_sps(ref), sets = traced_sps(out);
        ASSERT_FALSE(stream_sets.empty() || sets.empty());
        EXPECT_EQ(sets.front().packet, -1);  // avcC / CodecPrivate
        EXPECT_EQ(elements(sets.front()), elements(stream_sets.front()));
    }
}

TEST(Containers, Mp4) { check_container("mp4", "mkv"); }
TEST(Containers, Mov) { check_container("mov", "ts"); }
TEST(Containers, Matroska) { check_container("mkv", "mp4"); }
TEST(Containers, TransportStream) { check_container("ts", "mkv"); }

TEST(Containers, RefusalsPipesAndSameFile) {
    if (!built_with_containers()) GTEST_SKIP() << "kavrel was built without containers (KAVREL_WITH_CONTAINERS OFF)";
    const std::string in = work("pipe.ts"), mp4 = work("same.mp4"), dir = work("refused");
    shell("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=176x144:rate=25 -f lavfi -i sine -t 1 -c:a aac -pix_fmt yuv420p -c:v "
          "libx264 -bf 0 '" + in + "'");
    const std::string chapters = ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=500\ntitle=One\n";
    write_file(work("chapters.txt"), Bytes(chapters.begin(), chapters.end()));
    shell("ffmpeg -nostdin -v error -y -i '" + in + "' -i '" + work("chapters.txt") + "' -map 0 -map_chapters 1 "
          "-metadata title=Tee -metadata:s:v rotate=90 -c copy '" + mp4 + "'");
    const std::string kept = "-show_chapters -show_entries format_tags=title:stream_side_data=rotation";
    const std::string before = ffprobe(mp4, kept);
    EXPECT_NE(before.find("One"), std::string::npos);
    std::string log, direct, piped;
    // MPEG-TS through pipes: the same video as from files.
    ASSERT_EQ(cli("-q double '" + in + "' '" + work("direct.ts") + "'", &log), 0) << log;
    ASSERT_EQ(run("cat '" + in + "' | '" KAVREL_CLI_PATH "' -q double - - > '" + work("piped.ts") + "'", &log), 0);
    EXPECT_EQ(read_file(extract(work("piped.ts"))), read_file(extract(work("direct.ts"))));
    EXPECT_EQ(pictures(work("piped.ts")).size(), 50u);
    // Annex B with B-pictures (decoding-order times, repeats a tick apart) into MPEG-TS's 90 kHz clock.
    shell("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=176x144:rate=25 -t 1 -pix_fmt yuv420p -c:v libx264 -bf 3 -x264-params "
          "weightb=0:b-adapt=0 '" + work("b.h264") + "'");
    ASSERT_EQ(cli("-q double '" + work("b.h264") + "' '" + work("b.ts") + "'", &log), 0) << log;
    // Annex B has no presentation times: as FFmpeg's own copy, they follow decoding order; all 50 pictures decode.
    ASSERT_EQ(run("ffmpeg -v error -i '" + work("b.ts") + "' -fps_mode passthrough -f framemd5 - 2>&1 | grep -vc '#'",
                  &log), 0);
    EXPECT_EQ(log, "50\n");
    // IN = OUT; metadata, chapters and rotation kept.
    ASSERT_EQ(cli("-q sar 4:3 '" + mp4 + "' '" + mp4 + "'", &log), 0) << log;
    EXPECT_EQ(probe_stream(mp4, "sample_aspect_ratio").substr(0, 3), "4:3");  // then the side data
    EXPECT_EQ(ffprobe(mp4, kept), before);  // chapters, title, display matrix
    // No H.264 stream, or another one asked for: refused, nothing written.
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    shell("ffmpeg -nostdin -v error -y -i '" + in + "' -map 0:a -c copy '" + dir + "/audio.mp4'");
    EXPECT_EQ(cli("fps 50 '" + dir + "/audio.mp4' '" + dir + "/out.mp4'", &log), 1);
    EXPECT_NE(log.find("holds no H.264 video stream (streams: 0 audio aac)"), std::string::npos) << log;
    EXPECT_EQ(cli("--stream 1 fps 50 '" + in + "' '" + dir + "/out.ts'", &log), 1);
    EXPECT_NE(log.find("holds no H.264 video stream numbered 1"), std::string::npos) << log;
    EXPECT_EQ(cli("--format avi2 fps 50 '" + in + "' '" + dir + "/out.ts'", &log), 64);
    std::filesystem::remove(dir + "/audio.mp4");
    EXPECT_TRUE(std::filesystem::is_empty(dir));
}

}  // namespace
