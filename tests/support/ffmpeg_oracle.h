// What FFmpeg reads in a stream: the oracle of the interoperability tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace kavrel_test {

// Runs the kavrel tool built with the tests; its stdout and stderr in *log.
int cli(const std::string& args, std::string* log = nullptr);

// The MD5 of every decoded frame in order; FFmpeg's complaints fail the test.
std::vector<std::string> frame_hashes(const std::string& path);

// `ffprobe -show_entries stream=<entry>` of the video stream ("sample_aspect_ratio" -> "4:3").
std::string probe_stream(const std::string& path, const std::string& entry);

// One syntax element as trace_headers prints it.
struct TracedElement {
    std::string key;   // "cbr_flag[1]"
    std::string name;  // "cbr_flag"
    int64_t value;
    int bit;           // offset in the NAL unit, header byte included
};

// One syntax structure (a NAL unit, or an SEI message) of the trace.
struct TracedUnit {
    std::string heading;  // "Sequence Parameter Set", "Slice Header", "Picture Timing", ...
    int packet;           // FFmpeg's access unit; -1 for the demuxer's extradata
    std::vector<TracedElement> elements;
    const TracedElement* find(const std::string& key) const;
    int64_t get(const std::string& key, int64_t fallback = -1) const;
};

// Every structure trace_headers prints for the stream, in order.
std::vector<TracedUnit> trace(const std::string& path);

// The stream's sequence parameter sets as trace_headers prints them.
std::vector<TracedUnit> traced_sps(const std::string& path);

// "key = value" of every element of `u`, but the aspect ratio's when `no_sar`.
std::vector<std::string> elements(const TracedUnit& u, bool no_sar = false);

}  // namespace kavrel_test
