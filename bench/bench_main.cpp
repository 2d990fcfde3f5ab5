// kavrel_bench: the frame-parsing loop against GStreamer's and FFmpeg's H.264
// parsers and memcpy on whole streams, and the synthesis calls.
//
// The streams come from make_streams.sh (target bench_streams); the
// directory is the build tree's unless KAVREL_BENCH_STREAMS names another.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>

#include "bench_common.h"
#include "kavrel.h"

namespace kavrel_bench {

bool load_stream(const std::string& dir, const std::string& name, Stream* out) {
    const std::string path = dir + "/" + name + ".h264";
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "missing %s: build the target bench_streams first\n", path.c_str());
        return false;
    }
    out->name = name;
    out->bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !out->bytes.empty();
}

int64_t count_frames(const Stream& s) {
    ParserHandle* h = Kavrel_Open();
    const size_t size = s.bytes.size();
    size_t pos = 0;
    int64_t frames = 0;
    while (pos + 3 < size) {
        const FrameInput input{s.bytes.data() + pos, static_cast<uint32_t>(size - pos)};
        FrameInfo info{};
        if (Kavrel_Start(h, &input, &info) < 0 || info.consumed == 0) {
            frames = -1;
            break;
        }
        pos += info.consumed;
        ++frames;
    }
    Kavrel_Close(h);
    return frames;
}

}  // namespace kavrel_bench

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    const char* env = std::getenv("KAVREL_BENCH_STREAMS");
    const std::string dir = env && *env ? env : KAVREL_BENCH_STREAMS;
    const char* names[] = {"a_1080p_high_cabac_b", "b_720p_baseline_4slices", "c_2160p_30mbps",
                           "d_1080p_slices1200", "e_1080p_baseline_ippp"};
    std::vector<kavrel_bench::Stream> streams;
    for (const char* name : names) {
        kavrel_bench::Stream s;
        if (!kavrel_bench::load_stream(dir, name, &s)) return 1;
        s.frames = kavrel_bench::count_frames(s);
        if (s.frames <= 0) {
            std::fprintf(stderr, "%s does not parse cleanly\n", name);
            return 1;
        }
        benchmark::AddCustomContext(s.name, std::to_string(s.bytes.size()) + " bytes, " +
                                                std::to_string(s.frames) + " frames");
        streams.push_back(std::move(s));
    }
    // The parse comparison covers (a)-(d); (e) feeds the synthesis only.
    kavrel_bench::register_parse_benchmarks(streams, 4);
    kavrel_bench::register_synth_benchmarks(streams);
    // The library prints its diagnostics to stdout (one line for most frame
    // ends); the results go to stderr so that stdout can be sent elsewhere.
    benchmark::ConsoleReporter console(benchmark::ConsoleReporter::OO_Tabular);
    console.SetOutputStream(&std::cerr);
    console.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&console);
    benchmark::Shutdown();
    return 0;
}
