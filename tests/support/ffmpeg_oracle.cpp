#include "support/ffmpeg_oracle.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "support/test_support.h"

namespace kavrel_test {

int cli(const std::string& args, std::string* log) {
    return run("'" KAVREL_CLI_PATH "' " + args + " 2>&1", log);
}

std::vector<std::string> frame_hashes(const std::string& path) {
    const std::string err_path = path + ".decode.log";
    std::string out;
    run("ffmpeg -nostdin -v error -i '" + path + "' -f framemd5 - 2>'" + err_path + "'", &out);
    const Bytes err = read_file(err_path);
    EXPECT_EQ(std::string(err.begin(), err.end()), "") << "FFmpeg decoding " << path;
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

const TracedElement* TracedUnit::find(const std::string& key) const {
    for (const TracedElement& e : elements)
        if (e.key == key) return &e;
    return nullptr;
}

int64_t TracedUnit::get(const std::string& key, int64_t fallback) const {
    const TracedElement* e = find(key);
    return e ? e->value : fallback;
}

// "[trace_headers @ 0x..] <bit> <key> <bits> = <value>" is an element; any other line of the filter that begins with a
// letter is a heading, where "Packet: <n> bytes" opens an access unit.
std::vector<TracedUnit> trace(const std::string& path) {
    std::string out;
    run("ffmpeg -nostdin -nostats -hide_banner -i '" + path + "' -c copy -bsf:v trace_headers -f null - 2>&1", &out);
    static const std::regex element(
        R"(^\[trace_headers @ [^\]]*\] (\d+)\s+(([A-Za-z0-9_]+)(?:\[(\d+)\])?\S*)\s+[01]+ = (-?\d+)$)");
    static const std::regex heading(R"(^\[trace_headers @ [^\]]*\] ([A-Za-z].*)$)");
    std::vector<TracedUnit> units;
    int packet = -1;
    bool inside = false;
    std::istringstream lines(out);
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_match(line, m, element)) {
            if (inside) units.back().elements.push_back({m[2], m[3], std::stoll(m[5]), std::stoi(m[1])});
        } else if (std::regex_match(line, m, heading)) {
            inside = m[1].str().rfind("Packet: ", 0) != 0 && m[1] != "Extradata";
            if (!inside) packet += m[1] != "Extradata";
            if (inside) units.push_back({m[1], packet, {}});
        }
    }
    return units;
}

std::vector<TracedUnit> traced_sps(const std::string& path) {
    std::vector<TracedUnit> sets = trace(path);
    std::erase_if(sets, [](const TracedUnit& u) { return u.heading != "Sequence Parameter Set"; });
    return sets;
}

std::vector<std::string> elements(const TracedUnit& u, bool no_sar) {
    std::vector<std::string> out;
    for (const auto& e : u.elements)
        if (!no_sar || (e.name.rfind("aspect_ratio", 0) != 0 && e.name.rfind("sar_", 0) != 0))
            out.push_back(e.key + " = " + std::to_string(e.value));
    return out;
}

}  // namespace kavrel_test
