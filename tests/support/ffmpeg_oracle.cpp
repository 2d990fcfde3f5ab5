#include "support/ffmpeg_oracle.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "support/test_support.h"

namespace kavrel_test {

const std::string& cli_path() {
    static const std::string path = KAVREL_CLI_PATH;
    return path;
}

std::vector<std::string> frame_hashes(const std::string& path, std::string* errors) {
    const std::string err_path = path + ".decode.log";
    std::string out;
    run("ffmpeg -nostdin -v error -i '" + path + "' -f framemd5 - 2>'" + err_path + "'", &out);
    const Bytes err = read_file(err_path);
    const std::string complaints(err.begin(), err.end());
    if (errors) {
        *errors = complaints;
    } else {
        EXPECT_EQ(complaints, "") << "FFmpeg decoding " << path;
    }
    std::vector<std::string> hashes;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        hashes.push_back(line.substr(line.rfind(',') + 1));
    }
    return hashes;
}

std::string probe_stream(const std::string& path, const std::string& entry) {
    std::string out;
    run("ffprobe -v error -select_streams v:0 -show_entries stream=" + entry + " -of csv=p=0 '" + path + "'", &out);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

namespace {

std::string trace_headers(const std::string& path) {
    std::string out;
    run("ffmpeg -nostdin -hide_banner -i '" + path + "' -c copy -bsf:v trace_headers -f null - 2>&1", &out);
    return out;
}

}  // namespace

std::vector<long> traced_values(const std::string& path, const std::string& element) {
    const std::regex line(R"(^\[trace_headers @ [^\]]*\] \d+\s+)" + element + R"(\s+[01]+ = (-?\d+)$)");
    std::vector<long> values;
    std::istringstream lines(trace_headers(path));
    std::smatch m;
    for (std::string l; std::getline(lines, l);)
        if (std::regex_match(l, m, line)) values.push_back(std::stol(m[1]));
    return values;
}

std::vector<std::vector<std::string>> traced_structures(const std::string& path, const std::string& heading) {
    const std::string out = trace_headers(path);
    static const std::regex element(R"(^\[trace_headers @ [^\]]*\] \d+\s+(\S+)\s+[01]+ = (-?\d+)$)");
    static const std::regex any_heading(R"(^\[trace_headers @ [^\]]*\] [A-Za-z])");
    std::vector<std::vector<std::string>> found;
    bool inside = false;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, element)) {
            if (inside) found.back().push_back(m[1].str() + " = " + m[2].str());
        } else if (std::regex_search(line, any_heading)) {
            inside = line.find("] " + heading) != std::string::npos;
            if (inside) found.emplace_back();
        }
    }
    return found;
}

}  // namespace kavrel_test
