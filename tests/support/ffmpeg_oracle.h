// What FFmpeg reads in a stream: the oracle of the interoperability tests.
#pragma once

#include <string>
#include <vector>

namespace kavrel_test {

// Path of the kavrel tool built with the tests.
const std::string& cli_path();

// The MD5 of every decoded frame, in order (timestamps left out). Fails the
// current test when FFmpeg reports an error.
std::vector<std::string> frame_hashes(const std::string& path);

// One entry of `ffprobe -show_entries stream=<entry>` for the video stream,
// e.g. probe_stream(path, "sample_aspect_ratio") -> "4:3".
std::string probe_stream(const std::string& path, const std::string& entry);

// "name = value" of every syntax element of every structure whose heading
// trace_headers prints as `heading` (e.g. "Sequence Parameter Set"), one
// vector per occurrence.
std::vector<std::vector<std::string>> traced_structures(const std::string& path, const std::string& heading);

}  // namespace kavrel_test
