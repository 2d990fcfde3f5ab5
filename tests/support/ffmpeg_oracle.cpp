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

std::vector<std::string> frame_hashes(const std::string& path) {
    std::string out;
    EXPECT_EQ(run("ffmpeg -nostdin -v error -xerror -i '" + path + "' -f framemd5 - 2>&1", &out), 0) << out;
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

std::vector<std::vector<std::string>> traced_structures(const std::string& path, const std::string& heading) {
    std::string out;
    run("ffmpeg -nostdin -hide_banner -i '" + path + "' -c copy -bsf:v trace_headers -f null - 2>&1", &out);
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
