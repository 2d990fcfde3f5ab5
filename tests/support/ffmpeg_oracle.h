// What FFmpeg reads in a stream: the oracle of the interoperability tests.
#pragma once

#include <string>
#include <vector>

namespace kavrel_test {

// Path of the kavrel tool built with the tests.
const std::string& cli_path();

// The MD5 of every decoded frame, in order (timestamps left out). What
// FFmpeg complains of goes to *errors; without `errors` any complaint fails
// the current test.
std::vector<std::string> frame_hashes(const std::string& path, std::string* errors = nullptr);

// One entry of `ffprobe -show_entries stream=<entry>` for the video stream,
// e.g. probe_stream(path, "sample_aspect_ratio") -> "4:3".
std::string probe_stream(const std::string& path, const std::string& entry);

// Every value of one syntax element, in stream order, as trace_headers
// reads it (e.g. traced_values(path, "nal_ref_idc")).
std::vector<long> traced_values(const std::string& path, const std::string& element);

// "name = value" of every syntax element of every structure whose heading
// trace_headers prints as `heading` (e.g. "Sequence Parameter Set"), one
// vector per occurrence.
std::vector<std::vector<std::string>> traced_structures(const std::string& path, const std::string& heading);

}  // namespace kavrel_test
