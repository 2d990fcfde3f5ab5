// Shared pieces of the benchmark binary: the streams and the allocation
// counter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavrel_bench {

struct Stream {
    std::string name;           // file name without extension
    std::vector<uint8_t> bytes;
    int64_t frames = 0;         // access units, as the Kavrel_Start loop finds them
};

// Reads DIR/NAME.h264; false (after a message on stderr) when it is missing.
bool load_stream(const std::string& dir, const std::string& name, Stream* out);

// Walks a whole stream with Kavrel_Start; the number of frames, or -1 when
// a frame fails (the benchmarks only measure streams that parse cleanly).
int64_t count_frames(const Stream& s);

// The ceiling (ceiling_scan.cpp): NAL units by nal_unit_type, from a
// start-code scan that reads each header byte and nothing more; AVX2 where
// the processor has it. ceiling_tail is the plain byte loop from `from` on,
// the reference count.
using TypeCounts = std::array<int64_t, 32>;
void ceiling_scan(const uint8_t* p, size_t size, TypeCounts& counts);
void ceiling_tail(const uint8_t* p, size_t size, size_t from, TypeCounts& counts);

// Registers the benchmarks of streams[0, count).
void register_parse_benchmarks(const std::vector<Stream>& streams, size_t count);
void register_synth_benchmarks(const std::vector<Stream>& streams);

// Heap calls made by this process while counting is on (malloc, calloc,
// realloc), and the largest size asked for.
struct AllocStats {
    int64_t calls = 0;
    int64_t largest = 0;
};
void alloc_counting(bool on);
AllocStats alloc_stats();
void alloc_reset();

}  // namespace kavrel_bench
