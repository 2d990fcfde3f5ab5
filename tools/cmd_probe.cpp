// kavrel probe FILE: one line per access unit and a summary.
#include <unistd.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "cli_common.h"

namespace kavrel_cli {

namespace {

const char* type_name(int32_t picture_type) {
    switch (picture_type) {
    case 0: return "I";
    case 1: return "P";
    case 2: return "B";
    default: return "-";
    }
}

const char* structure_name(int32_t s) {
    switch (s) {
    case 1: return "top";
    case 2: return "bottom";
    case 3: return "frame";
    default: return "-";
    }
}

nlohmann::json unit_json(size_t index, const AccessUnit& au) {
    const FrameInfo& i = au.info;
    nlohmann::json j = {{"index", index},
                        {"offset", au.offset},
                        {"size", au.size},
                        {"result", au.result},
                        {"picture_type", type_name(i.picture_type)},
                        {"picture_structure", i.picture_structure},
                        {"field_pic_flag", i.field_pic_flag},
                        {"width", i.width},
                        {"height", i.height},
                        {"coded_width", i.coded_width},
                        {"coded_height", i.coded_height},
                        {"frame_rate", i.frame_rate},
                        {"ref_frame_count", i.ref_frame_count},
                        {"consumed", i.consumed},
                        {"sps_size", i.sps_size},
                        {"pps_size", i.pps_size}};
    return j;
}

// Running totals for the summary.
struct Summary {
    std::map<std::string, int> by_type;
    std::vector<int> gops;  // lengths of the GOPs, each starting at an I picture
    int frames = 0;
    int failures = 0;
    int since_i = -1;
    FrameInfo last{};
    int profile_idc = -1, level_idc = -1;

    void add(const AccessUnit& au) {
        if (au.result < 0) {
            ++failures;
            return;
        }
        last = au.info;
        if (au.info.sps_size >= 3 && au.info.sps_data) {
            profile_idc = au.info.sps_data[0];
            level_idc = au.info.sps_data[2];
        }
        if (au.info.picture_type == 255) return;  // parameter sets only
        ++frames;
        ++by_type[type_name(au.info.picture_type)];
        if (au.info.picture_type == 0) {
            if (since_i > 0) gops.push_back(since_i);
            since_i = 0;
        }
        if (since_i >= 0) ++since_i;
    }
    void finish() {
        if (since_i > 0) gops.push_back(since_i);
        since_i = -1;
    }
    nlohmann::json json() const {
        return {{"frames", frames},
                {"failures", failures},
                {"by_type", by_type},
                {"gop_lengths", gops},
                {"width", last.width},
                {"height", last.height},
                {"coded_width", last.coded_width},
                {"coded_height", last.coded_height},
                {"frame_rate", last.frame_rate},
                {"profile_idc", profile_idc},
                {"level_idc", level_idc}};
    }
};

std::string gop_text(const std::vector<int>& gops) {
    if (gops.empty()) return "-";
    std::map<int, int> counts;
    for (int g : gops) ++counts[g];
    std::string s;
    for (const auto& [len, n] : counts) {
        if (!s.empty()) s += ", ";
        s += std::to_string(len) + (n > 1 ? " x" + std::to_string(n) : "");
    }
    return s;
}

int run_probe(const std::string& path, bool json, bool keep_going) {
    Bytes data;
    if (!read_input(path, &data)) return 2;
    ParserHandle* handle = Kavrel_Open();
    if (!handle) {
        std::fprintf(stderr, "kavrel: out of memory\n");
        return 2;
    }

    // With --json the library's diagnostics go to stderr so that standard
    // output carries nothing but the JSON document.
    FILE* out = stdout;
    int saved_stdout = -1;
    if (json) {
        std::fflush(stdout);
        saved_stdout = dup(STDOUT_FILENO);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        out = fdopen(saved_stdout, "w");
    }

    Summary summary;
    nlohmann::json units = nlohmann::json::array();
    size_t index = 0;
    walk_stream(handle, data, keep_going, [&](const AccessUnit& au) {
        summary.add(au);
        if (json) {
            units.push_back(unit_json(index, au));
        } else if (au.result < 0) {
            std::fprintf(out, "#%-5zu offset %-9zu size %-7u FAILED with code %d\n", index, au.offset, au.size,
                         au.result);
        } else {
            const FrameInfo& i = au.info;
            std::fprintf(out,
                         "#%-5zu offset %-9zu size %-7u rc %d  type %s  %-6s  %dx%d (coded %dx%d)  %u fps  refs %u  "
                         "sps %u B  pps %u B\n",
                         index, au.offset, au.size, au.result, type_name(i.picture_type),
                         structure_name(i.picture_structure), i.width, i.height, i.coded_width, i.coded_height,
                         i.frame_rate, i.ref_frame_count, i.sps_size, i.pps_size);
        }
        std::fflush(out);
        ++index;
    });
    summary.finish();
    Kavrel_Close(handle);

    if (json) {
        nlohmann::json doc = {{"file", path}, {"access_units", units}, {"summary", summary.json()}};
        std::fprintf(out, "%s\n", doc.dump(2).c_str());
        std::fclose(out);
    } else {
        const FrameInfo& l = summary.last;
        std::fprintf(out, "summary: %d frames (I %d, P %d, B %d), %d failed\n", summary.frames,
                     summary.by_type.count("I") ? summary.by_type.at("I") : 0,
                     summary.by_type.count("P") ? summary.by_type.at("P") : 0,
                     summary.by_type.count("B") ? summary.by_type.at("B") : 0, summary.failures);
        std::fprintf(out, "summary: GOP lengths %s\n", gop_text(summary.gops).c_str());
        std::fprintf(out, "summary: %dx%d (coded %dx%d), %u fps, profile_idc %d, level_idc %d\n", l.width, l.height,
                     l.coded_width, l.coded_height, l.frame_rate, summary.profile_idc, summary.level_idc);
    }
    return summary.failures ? 1 : 0;
}

}  // namespace

void register_probe(CLI::App& app) {
    auto* cmd = app.add_subcommand("probe", "Walk a stream access unit by access unit and report what the library sees");
    auto path = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    auto keep_going = std::make_shared<bool>(false);
    cmd->add_option("FILE", *path, "H.264 Annex B stream")->required();
    cmd->add_flag("--json", *json, "Print JSON (library diagnostics then go to stderr)");
    cmd->add_flag("--keep-going", *keep_going, "After a failed access unit, resume at the next start code");
    cmd->callback([=]() {
        const int rc = run_probe(*path, *json, *keep_going);
        if (rc) throw CLI::RuntimeError(rc);
    });
}

}  // namespace kavrel_cli
