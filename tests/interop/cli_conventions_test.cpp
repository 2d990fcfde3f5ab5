// The kavrel tool as a command-line program: probe against FFprobe, exit codes and messages, standard input and output,
// a small window, safe writes, foreign input and streams that start mid-GOP.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "params/param_set_builders.h"
#include "support/ffmpeg_oracle.h"

using namespace kavrel_test;

namespace {

const std::string kSample = std::string(KAVREL_SOURCE_DIR) + "/samples/sample.h264";
const std::string kTool = "'" KAVREL_CLI_PATH "' ";

std::string work(const std::string& name) { return work_dir() + "/cli_" + name; }

std::string quoted(const std::string& s) { return "'" + s + "'"; }

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Cli, ProbeAgreesWithFFprobe) {
    std::string out, types;
    ASSERT_EQ(cli("probe '" + kSample + "'", &out), 0) << out;
    run("ffprobe -v error -show_entries frame=pict_type -of csv=p=0 '" + kSample + "'", &types);
    const auto count = [&](char t) { return std::to_string(std::count(types.begin(), types.end(), t)); };
    EXPECT_TRUE(has(out, "summary: 10 frames (I " + count('I') + ", P " + count('P') + ", B " + count('B') + "), 0 failed"))
        << out;
    EXPECT_TRUE(has(out, "176x144 (coded 176x144), 25 fps (library: 25), profile_idc 100")) << out;
    // NTSC at its exact rate; a change of size named; garbage in front and a last unit without its picture warned of.
    const std::string ntsc = x264("cli_ntsc", "320x240", 3, "", "30000/1001");
    const std::string mixed = work("mixed.h264");
    write_file(mixed, concat({{'x', 'y'}, read_file(kSample), read_file(ntsc), {0, 0, 0, 1, 9, 0xF0}}));
    EXPECT_EQ(cli("probe '" + mixed + "'", &out), 0) << out;
    EXPECT_TRUE(has(out, "30000/1001 (29.97) fps (library: 29)")) << out;
    EXPECT_TRUE(has(out, "176x144, profile_idc 100, 25 fps -> 320x240, profile_idc 100, 30000/1001 (29.97) fps"));
    EXPECT_TRUE(has(out, "warning: 2 byte(s) of garbage")) << out;
    EXPECT_TRUE(has(out, "the stream looks truncated")) << out;
}

TEST(Cli, ExitCodesAndMessages) {
    const std::string in = x264("cli_plain", "176x144", 4, "-bf 0");
    const Bytes stream = read_file(in);
    const auto make = [](const std::string& name, const Bytes& bytes) {
        write_file(work(name), bytes);
        return quoted(work(name));
    };
    const std::string hevc = work("in.hevc"), mp4 = work("in.mp4");
    run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=64x64:rate=25 -frames:v 1 -c:v libx265 "
        "-x265-params log-level=0 '" + hevc + "'");
    run("ffmpeg -nostdin -v error -y -i '" + hevc + "' -c copy '" + mp4 + "'");  // HEVC in MP4
    std::string version;
    cli("--version", &version);
    const bool containers = has(version, "containers: MP4");
    const std::string dir = work("refusals");
    const std::string out = quoted(dir + "/out.h264");
    struct Case {
        std::string args;
        int code;
        std::string message;
    };
    std::vector<Case> cases = {
        {"probe /nonexistent.h264", 2, "No such file"},
        {"probe " + work_dir(), 2, "is a directory"},
        {"bogus", 64, "unknown command 'bogus'"},
        {"fps 25 " + make("aud.h264", {0, 0, 0, 1, 9, 0xF0}) + " " + out, 1, "no sequence parameter set"},
        {"fps 25 " + make("empty.h264", {}) + " " + out, 1, "is empty"},
        {"sar 4:3 " + make("zeros.h264", Bytes(1000, 0)) + " " + out, 1, "only zero bytes"},
        {"double '" + mp4 + "' " + out, 1,
         containers ? "holds no H.264 video stream (streams: 0 video hevc)"
                    : "ffmpeg -i IN -c:v copy -bsf:v h264_mp4toannexb -f h264 OUT.h264"},
        {"fix-pps " + make("in.png", {0x89, 'P', 'N', 'G', 13, 10, 26, 10}) + " " + out, 1, "image"},
        {"fps 50 '" + hevc + "' " + out, 1, "HEVC"},
        {"sar 1:1 " + make("in.m2v", {0, 0, 1, 0xB3, 0x16, 0, 0xF0, 0x15, 0xFF, 0xFF}) + " " + out, 1, "MPEG-1/2"},
        {"double '" + x264("double_bframes", "176x144", 12, "-profile:v main -bf 2") + "' " + out, 1,
         "the B-pictures use implicit weighted bi-prediction"},
        {"double '" + x264("double_pic_struct", "176x144", 6,  // pic_struct and HRD delays
                           "-bf 0 -x264-params pic-struct=1:nal-hrd=vbr:vbv-maxrate=500:vbv-bufsize=1000") + "' " + out, 1,
         "picture-timing SEI, which would describe the wrong pictures; take the SEI out first: ffmpeg"},
        {"probe " + make("\xff\xfe.h264", stream) + " --json", 0, "\"file\""},  // not UTF-8
        {"probe '" + in + "' > /dev/full", 2, "cannot write standard output"},
        // Standard input open for writing only: the read after the open fails.
        {"fps 25 - " + out + " 0>>" + make("write_only.h264", stream), 2, "cannot read standard input"},
        {"--version", 0, "kavrel 0.1.0 (library reserver)"},
        {"--help", 0, "64 usage error"},
        {"-q fps 30000 " + quoted(x264("cli_1080", "1920x1080", 1, "-preset ultrafast")) + " /dev/null", 0,
         "more than any level of Table A-1 admits"},
        {"fps 50 '" + in + "' " + make("protected.h264", {}), 2, "write-protected; --force writes over it"},
        {"--force fps 50 '" + in + "' " + quoted(work("protected.h264")), 0, "1 SPS rewritten"},
    };
    std::filesystem::permissions(work("protected.h264"), std::filesystem::perms::owner_read);
    // Each format the library does not take, named under -q; the stream's first SPS refuses it.
    const struct {
        std::string name, options, reason;
    } kFormats[] = {
        {"10bit", "-pix_fmt yuv420p10le", "High 10 (profile_idc 110), bit depth 10: kavrel takes 8-bit 4:2:0 only"},
        {"422", "-pix_fmt yuv422p", "High 4:2:2 (profile_idc 122), 4:2:2 chroma"},
        {"444", "-pix_fmt yuv444p", "(profile_idc 244), 4:4:4 chroma"},
        {"lossless", "-qp 0", "lossless (qpprime_y_zero_transform_bypass_flag 1)"},
    };
    for (const auto& f : kFormats) {
        const std::string path = quoted(x264("format_" + f.name, "64x64", 2, f.options));
        for (const std::string command : {"probe", "fps 50", "double", "rate 30", "sar 4:3", "fix-pps"})
            cases.push_back({"-q " + command + " " + path + (command == "probe" ? "" : " " + out), 1, f.reason});
    }
    cases.push_back({"-q sar 1:1 " + quoted(x264("format_8k", "8192x4320", 1, "-preset ultrafast")) + " " + out, 1,
                     "8192x4320 pictures (512x270 macroblocks)"});
    // An SPS of over 512 bytes (32 HRD schedules), which the correction call does not rewrite: refused, not copied.
    params_test::SpsSpec long_sps;
    long_sps.vui = [](BitBuilder& b) {
        b.u(5, 0).u(1, 1).ue(31).u(8, 0);  // no aspect ratio .. timing; NAL HRD with 32 schedules
        for (uint64_t i = 0; i < 32; ++i) b.ue(0xF0000000u + i).ue(0xF0000000u + i).u(1, 0);
        b.u(20, 0xBDEF7).u(4, 0);  // the four delay lengths; no VCL HRD, low_delay, pic_struct, restriction
    };
    const Bytes crafted = concat({params_test::sps_nal(long_sps), params_test::pps_nal(), params_test::slice_nal({})});
    cases.push_back({"-q sar 4:3 " + make("long_sps.h264", crafted) + " " + out, 1,
                     "the SPS at offset 0 (access unit 0 (offset 0)) cannot be corrected: The length of SPS is great "
                     "than 512 (code -20 (KAVREL_E_SPS_RANGE))"});
    for (const char* ratio : {"0:5", "5:0", "65536:1", "4:3:2"})
        cases.push_back({"sar " + std::string(ratio) + " '" + in + "' " + out, 64, "W:H"});
    for (const char* rate : {"0", "25/0", "1.2.3", "2147483648"})
        cases.push_back({"fps " + std::string(rate) + " '" + in + "' " + out, 64, "RATE"});
    for (const Case& c : cases) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::string log;
        EXPECT_EQ(run("(" + kTool + c.args + ") 2>&1", &log), c.code) << c.args << "\n" << log;
        EXPECT_TRUE(has(log, c.message)) << c.args << "\n" << log;
        EXPECT_FALSE(has(log, "mid-GOP") || has(log, "truncated") || (c.code && has(log, "raised"))) << c.args;
        EXPECT_TRUE(std::filesystem::is_empty(dir)) << c.args;  // no OUT, no temporary file
    }
    std::string help;
    EXPECT_EQ(cli("probe --help", &help), 0);
    EXPECT_FALSE(has(help, "OUT")) << help;
}

TEST(Cli, PipesAndASmallWindowGiveTheSameBytes) {
    // Access units far larger than the window, and several GOPs.
    const std::string in = x264("cli_stream", "176x144", 30, "-bf 0 -g 7 -x264-params aud=1");
    for (const std::string command : {"probe --json", "fps 50", "double", "rate 30", "sar 4:3", "fix-pps"}) {
        const bool probe = command.rfind("probe", 0) == 0;
        std::string direct, piped;
        ASSERT_EQ(run(kTool + "-q " + command + " '" + in + "' " + (probe ? "" : "-"), &direct), 0);
        ASSERT_EQ(run("cat '" + in + "' | KAVREL_WINDOW=100 " + kTool + "-q " + command + " - " +
                      (probe ? "" : "-"), &piped), 0);
        EXPECT_GT(direct.size(), 1000u);
        if (probe) {
            auto a = nlohmann::json::parse(direct), b = nlohmann::json::parse(piped);
            EXPECT_EQ(a.at("summary").at("frames"), 30);
            a.erase("file"), b.erase("file");
            EXPECT_TRUE(a == b);
        } else {
            EXPECT_TRUE(piped == direct) << command;
        }
    }
}

TEST(Cli, SafeWritesAndMidGopStarts) {
    const std::string in = x264("cli_gops", "176x144", 12, "-bf 0 -g 5");
    const Bytes stream = read_file(in);
    // IN = OUT.
    const std::string same = work("same.h264");
    write_file(same, stream);
    std::filesystem::permissions(same, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::string log;
    ASSERT_EQ(cli("fps 50 '" + same + "' '" + same + "'", &log), 0) << log;
    EXPECT_EQ(std::filesystem::status(same).permissions(),  // the file written over keeps its mode
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(probe_stream(same, "r_frame_rate"), "50/1");
    EXPECT_EQ(frame_hashes(same), frame_hashes(in));
    // A write that fails half way (file size limit): exit 2, OUT as it was, no temporary file.
    const std::string dir = work("full");
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    write_file(dir + "/out.h264", {7});
    EXPECT_EQ(run("trap '' XFSZ; ulimit -f 1; " + kTool + "-q double '" + in + "' '" + dir +
                  "/out.h264' 2>&1", &log), 2) << log;
    EXPECT_EQ(read_file(dir + "/out.h264"), Bytes({7}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
    // Ended by a signal while it waits for more input from a FIFO: the temporary file goes too.
    const std::string fifo = quoted(dir + "/in.fifo");
    EXPECT_EQ(run("mkfifo " + fifo + "; KAVREL_WINDOW=100 " + kTool + "-q fps 50 " + fifo + " '" + dir +
                  "/out.h264' & exec 3>" + fifo + "; for i in 1 2 3 4 5 6 7 8 9 10; do cat '" + in + "' >&3; done; "
                  "for i in $(seq 100); do ls '" + dir + "' | grep -q tmp && break; sleep 0.1; done; ls '" + dir +
                  "' | grep -c tmp; kill -TERM $!; wait $!", &log), 143);
    EXPECT_EQ(log, "1\n");  // the temporary file was there before the signal
    EXPECT_EQ(read_file(dir + "/out.h264"), Bytes({7}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2);  // OUT and the FIFO
    // Cut inside a slice longer than 64 KiB before the third access unit: the rest of that slice and the P pictures
    // before the next IDR are copied as they are, the rest is processed.
    std::string probe;
    run(kTool + "-q probe --json '" + in + "'", &probe);
    const size_t cut = nlohmann::json::parse(probe).at("access_units").at(2).at("offset");
    const std::string mid = work("mid.h264");
    const Bytes slice_end(70000, 0x5A);  // no start code in it
    write_file(mid, concat({slice_end, Bytes(stream.begin() + static_cast<long>(cut), stream.end())}));
    for (const std::string command : {"fps 50", "double", "rate 30", "sar 4:3", "probe"}) {
        EXPECT_EQ(cli(command + " '" + mid + "' " + (command == "probe" ? "" : quoted(work("mid_out.h264"))), &log), 0)
            << command << "\n" << log;
        EXPECT_TRUE(has(log, "3 leading unit(s)")) << command << "\n" << log;
    }
    const Bytes out = read_file(work("mid_out.h264"));
    const size_t idr = nlohmann::json::parse(probe).at("access_units").at(5).at("offset");
    const Bytes copied = concat({slice_end, Bytes(stream.begin() + static_cast<long>(cut), stream.begin() + static_cast<long>(idr))});
    EXPECT_TRUE(std::equal(copied.begin(), copied.end(), out.begin()));
}

}  // namespace
