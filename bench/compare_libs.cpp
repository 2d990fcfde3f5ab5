// kavrel_compare: the Kavrel_Start frame loop of two or more builds of the
// library in one process, against the same ceiling scan as kavrel_bench, in
// rotating order, so that a change of load on the machine falls on each
// alike. For before/after figures of a change:
//
//   kavrel_compare STREAM.h264 QUIET REPETITIONS LIB.so [LIB.so ...] > /dev/null
//
// QUIET 1 sets a counting log callback (else the lines go to stdout). Each
// repetition walks the stream 5 times per method; the medians of the
// repetitions and each library's share of the ceiling go to stderr.
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <vector>

#include "bench_common.h"
#include "kavrel.h"

namespace {

struct Library {
    const char* path;
    ParserHandle* (*open)();
    void (*close)(ParserHandle*);
    int32_t (*start)(ParserHandle*, const FrameInput*, FrameInfo*);
    void (*set_log)(KavrelLogCallback, void*);
};

double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void count_line(void* opaque, const char*) { ++*static_cast<long*>(opaque); }

bool load(const char* path, Library* out) {
    void* h = dlopen(path, RTLD_NOW | RTLD_LOCAL);  // each build keeps its own symbols
    if (!h) {
        std::fprintf(stderr, "%s\n", dlerror());
        return false;
    }
    out->path = path;
    out->open = reinterpret_cast<ParserHandle* (*)()>(dlsym(h, "Kavrel_Open"));
    out->close = reinterpret_cast<void (*)(ParserHandle*)>(dlsym(h, "Kavrel_Close"));
    out->start = reinterpret_cast<int32_t (*)(ParserHandle*, const FrameInput*, FrameInfo*)>(dlsym(h, "Kavrel_Start"));
    out->set_log = reinterpret_cast<void (*)(KavrelLogCallback, void*)>(dlsym(h, "Kavrel_Set_Log_Callback"));
    return out->open && out->close && out->start && out->set_log;
}

// Seconds per walk of the stream: the frame loop of kavrel_bench.
double time_library(const Library& lib, const std::vector<uint8_t>& d) {
    const double t0 = cpu_seconds();
    for (int walk = 0; walk < 5; ++walk) {
        ParserHandle* h = lib.open();
        size_t pos = 0;
        while (pos + 3 < d.size()) {
            const FrameInput input{d.data() + pos, static_cast<uint32_t>(d.size() - pos)};
            FrameInfo info;
            if (lib.start(h, &input, &info) < 0 || info.consumed == 0) break;
            pos += info.consumed;
        }
        lib.close(h);
    }
    return (cpu_seconds() - t0) / 5;
}

double time_ceiling(const std::vector<uint8_t>& d) {
    const double t0 = cpu_seconds();
    for (int walk = 0; walk < 5; ++walk) {
        kavrel_bench::TypeCounts counts{};
        kavrel_bench::ceiling_scan(d.data(), d.size(), counts);
        if (counts[1] + counts[5] == 0) std::fprintf(stderr, "no slices found\n");
    }
    return (cpu_seconds() - t0) / 5;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: kavrel_compare STREAM QUIET REPETITIONS LIB [LIB ...]\n");
        return 64;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<uint8_t> d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const bool quiet = std::atoi(argv[2]) != 0;
    const int repetitions = std::max(1, std::atoi(argv[3]));
    std::vector<Library> libs(static_cast<size_t>(argc - 4));
    long lines = 0;
    for (size_t i = 0; i < libs.size(); ++i) {
        if (!load(argv[4 + i], &libs[i])) return 1;
        if (quiet) libs[i].set_log(count_line, &lines);
    }
    const size_t methods = libs.size() + 1;  // the last one is the ceiling
    std::vector<std::vector<double>> times(methods);
    for (int rep = 0; rep < repetitions; ++rep) {
        for (size_t k = 0; k < methods; ++k) {
            const size_t m = (k + static_cast<size_t>(rep)) % methods;
            times[m].push_back(m == libs.size() ? time_ceiling(d) : time_library(libs[m], d));
        }
    }
    const double ceiling = median(times[libs.size()]);
    std::fprintf(stderr, "%s: ceiling %.3f ms", argv[1], ceiling * 1e3);
    for (size_t i = 0; i < libs.size(); ++i) {
        const double t = median(times[i]);
        std::fprintf(stderr, "; %s %.3f ms, %.2f of the ceiling", libs[i].path, t * 1e3, ceiling / t);
    }
    std::fprintf(stderr, "\n");
    return 0;
}
