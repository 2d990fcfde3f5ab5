// kavrel probe FILE: one line per access unit and a summary, as text or JSON
// written as it goes.
#include <cstdio>
#include <cstring>
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

std::string dump(const nlohmann::json& j, int indent = -1) {
    return j.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

// What the stream's SPS says, read again whenever its bytes change.
struct SpsView {
    std::string bytes;
    kavrel::SpsFacts timing;
    std::string rate = "-";  // exact rate, or "-" without timing
    Rate exact{0, 0};        // the same as numbers, 0/0 without timing
    std::string rate_json = "\"-\"";  // the exact rate as a JSON string
    std::string num_json = "null", den_json = "null";  // and as numbers
    nlohmann::json rate_num() const { return exact.den ? nlohmann::json(exact.num) : nlohmann::json(); }
    nlohmann::json rate_den() const { return exact.den ? nlohmann::json(exact.den) : nlohmann::json(); }
    void update(const FrameInfo& i) {
        if (!i.sps_data || (i.sps_size == bytes.size() && std::memcmp(bytes.data(), i.sps_data, i.sps_size) == 0))
            return;
        bytes.assign(reinterpret_cast<const char*>(i.sps_data), i.sps_size);
        kavrel::describe_sps(i.sps_data, i.sps_size, &timing);
        const bool timed = timing.timing_info_present_flag && timing.num_units_in_tick && timing.time_scale;
        exact = timed ? reduced({timing.time_scale, 2ull * timing.num_units_in_tick}) : Rate{0, 0};
        rate = timed ? rate_text(exact) : "-";
        rate_json = dump(rate);
        num_json = rate_num().dump();
        den_json = rate_den().dump();
    }
};

// Running totals for the summary.
struct Summary {
    std::map<std::string, uint64_t> by_type;
    std::map<uint64_t, uint64_t> gops;  // GOP length (from an I picture) -> count
    uint64_t frames = 0, failures = 0, leading = 0, since_i = 0;
    FrameInfo last{};
    std::string shape;  // size, profile and rate of the last picture
    std::vector<std::string> changes;
    uint64_t more_changes = 0;

    void add(const Unit& u, const SpsView& sps, uint64_t index) {
        if (u.result < 0) {
            (u.leading ? leading : failures) += 1;
            return;
        }
        if (!u.picture) return;
        last = u.info;
        ++frames;
        ++by_type[type_name(u.info.picture_type)];
        if (u.info.picture_type == 0 && since_i > 0) ++gops[since_i], since_i = 0;
        if (u.info.picture_type == 0 || since_i > 0) ++since_i;
        const std::string now = std::to_string(u.info.width) + "x" + std::to_string(u.info.height) + ", profile_idc " +
                                std::to_string(sps.timing.profile_idc) + ", " + sps.rate + " fps";
        if (!shape.empty() && now != shape) {
            if (changes.size() < 20)
                changes.push_back("access unit " + std::to_string(index) + " (offset " + std::to_string(u.offset) +
                                  "): " + shape + " -> " + now);
            else
                ++more_changes;
        }
        shape = now;
    }
    void finish() {
        if (since_i > 0) ++gops[since_i];
        since_i = 0;
    }
    uint64_t count(const char* t) const { return by_type.count(t) ? by_type.at(t) : 0; }
};

std::string gop_text(const std::map<uint64_t, uint64_t>& gops) {
    std::string s;
    for (const auto& [len, n] : gops) s += (s.empty() ? "" : ", ") + std::to_string(len) + (n > 1 ? " x" + std::to_string(n) : "");
    return s.empty() ? "-" : s;
}

// One access unit as JSON, byte for byte what nlohmann::json::dump() writes
// for the object (keys in sorted order, no spaces), printed directly:
// building and dumping an object per unit took half as long as the walk.
void print_unit_json(uint64_t index, const Unit& u, const SpsView& sps, bool timed) {
    const FrameInfo& i = u.info;
    char dts[48] = "", pts[48] = "";  // a container's timestamps, in their sorted places
    if (timed) {
        std::snprintf(dts, sizeof dts, ",\"dts\":%lld", static_cast<long long>(u.dts));
        std::snprintf(pts, sizeof pts, ",\"pts\":%lld", static_cast<long long>(u.pts));
    }
    std::printf("%s{\"coded_height\":%d,\"coded_width\":%d%s,\"field_pic_flag\":%u,\"frame_rate\":%u,"
                "\"frame_rate_den\":%s,\"frame_rate_exact\":%s,\"frame_rate_num\":%s,\"height\":%d,\"index\":%llu,"
                "\"leading\":%s,\"offset\":%llu,\"picture\":%s,\"picture_structure\":%d,\"picture_type\":\"%s\","
                "\"pps_size\":%u%s,\"ref_frame_count\":%u,\"result\":%d,\"size\":%u,\"sps_size\":%u,\"width\":%d}",
                index ? ",\n" : "", i.coded_height, i.coded_width, dts, i.field_pic_flag, i.frame_rate,
                sps.den_json.c_str(), sps.rate_json.c_str(), sps.num_json.c_str(), i.height,
                static_cast<unsigned long long>(index), u.leading ? "true" : "false",
                static_cast<unsigned long long>(u.offset), u.picture ? "true" : "false", i.picture_structure,
                u.picture ? type_name(i.picture_type) : "-", i.pps_size, pts, i.ref_frame_count, u.result, u.listed(),
                i.sps_size, i.width);
}

// " pts 1024 dts 512" for a container's unit, nothing for Annex B.
std::string times(const Unit& u, bool timed) {
    return timed ? "  pts " + std::to_string(u.pts) + " dts " + std::to_string(u.dts) : "";
}

void print_line(uint64_t index, const Unit& u, const SpsView& sps, bool timed) {
    const FrameInfo& i = u.info;
    if (u.result < 0) {
        std::printf("#%-5llu offset %-9llu size %-7u FAILED with code %s%s%s\n", static_cast<unsigned long long>(index),
                    static_cast<unsigned long long>(u.offset), u.listed(), result_text(u.result).c_str(),
                    u.leading ? " (leading)" : "", times(u, timed).c_str());
        return;
    }
    std::printf("#%-5llu offset %-9llu size %-7u rc %d  type %s  %-6s  %dx%d (coded %dx%d)  %s fps (%u)  refs %u  "
                "sps %u B  pps %u B%s\n",
                static_cast<unsigned long long>(index), static_cast<unsigned long long>(u.offset), u.listed(), u.result,
                u.picture ? type_name(i.picture_type) : "-", structure_name(i.picture_structure), i.width, i.height,
                i.coded_width, i.coded_height, sps.rate.c_str(), i.frame_rate, i.ref_frame_count, i.sps_size,
                i.pps_size, times(u, timed).c_str());
}

// Warnings about the ends of the input: garbage before the first start
// code, a last unit that does not parse, holds no picture or stops at its
// start code.
std::vector<std::string> edge_warnings(uint64_t garbage, const Unit& last, bool bare_start) {
    std::vector<std::string> w;
    if (garbage) w.push_back(std::to_string(garbage) + " byte(s) of garbage before the first start code");
    if (last.size && (last.result < 0 || !last.picture || bare_start) && !last.leading)
        w.push_back("the last access unit (offset " + std::to_string(last.offset) +
                    ") is incomplete: the stream looks truncated");
    return w;
}

// The unit ends in a start code with no NAL unit behind it.
bool ends_bare(const Unit& u) {
    const size_t from = u.size > 6 ? u.size - 6 : 0;
    const size_t sc = find_start_code(u.data, from, u.size);
    return sc < u.size && u.size - sc <= 3;
}

void print_summary(const Summary& s, const SpsView& sps) {
    std::printf("summary: %llu frames (I %llu, P %llu, B %llu), %llu failed\n", static_cast<unsigned long long>(s.frames),
                static_cast<unsigned long long>(s.count("I")), static_cast<unsigned long long>(s.count("P")),
                static_cast<unsigned long long>(s.count("B")), static_cast<unsigned long long>(s.failures));
    std::printf("summary: GOP lengths %s\n", gop_text(s.gops).c_str());
    const FrameInfo& l = s.last;
    std::printf("summary: %dx%d (coded %dx%d), %s fps (library: %u), profile_idc %d, level_idc %d\n", l.width, l.height,
                l.coded_width, l.coded_height, sps.rate.c_str(), l.frame_rate, sps.timing.profile_idc,
                sps.timing.level_idc);
    for (const std::string& c : s.changes) std::printf("summary: change at %s\n", c.c_str());
    if (s.more_changes) std::printf("summary: %llu more changes\n", static_cast<unsigned long long>(s.more_changes));
}

nlohmann::json summary_json(const Summary& s, const SpsView& sps, const std::vector<std::string>& warnings) {
    std::vector<uint64_t> gops;
    for (const auto& [len, n] : s.gops) gops.insert(gops.end(), n, len);
    if (gops.size() > 1000) gops.resize(1000);
    return {{"frames", s.frames},           {"failures", s.failures},
            {"leading_failures", s.leading}, {"by_type", s.by_type},
            {"gop_lengths", gops},          {"width", s.last.width},
            {"height", s.last.height},      {"coded_width", s.last.coded_width},
            {"coded_height", s.last.coded_height},
            {"frame_rate", s.last.frame_rate},
            {"frame_rate_exact", sps.rate}, {"frame_rate_num", sps.rate_num()},
            {"frame_rate_den", sps.rate_den()}, {"profile_idc", sps.timing.profile_idc},
            {"level_idc", sps.timing.level_idc},
            {"changes", s.changes},         {"warnings", warnings}};
}

int run_probe(const std::string& path, bool json, bool keep_going) {
    InputWindow input;
    std::unique_ptr<Container> container;
    if (const int rc = open_checked(&input, path, &container)) return rc;
    const bool timed = container != nullptr;
    ParserHandle* handle = Kavrel_Open();
    if (!handle) return kIoError;
    static char out_buffer[1 << 20];
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    if (json) std::printf("{\n\"file\": %s,\n\"access_units\": [\n", dump(path).c_str());
    Summary summary;
    SpsView sps;
    Unit unit, last;
    uint64_t index = 0, garbage = 0;
    bool stopped = false, pictures = false, bare = false;
    std::string refusal;  // an SPS of a format the library does not take
    {
        UnitWalker walker(&input, handle, container.get());
        while (!stopped && !std::ferror(stdout) && walker.next(&unit)) {
            if (unit.result >= 0) sps.update(unit.info);
            summary.add(unit, sps, index);
            if (json) print_unit_json(index, unit, sps, timed);
            else print_line(index, unit, sps, timed);
            if (refusal.empty()) refusal = refused_format(unit);
            stopped = (unit.result < 0 && !unit.leading && !keep_going) || !refusal.empty();
            last = unit;
            bare = ends_bare(unit);
            ++index;
        }
        summary.finish();
        garbage = walker.leading_garbage();
        pictures = walker.pictures() > 0;
        if (walker.io_error()) stopped = true;
    }
    Kavrel_Close(handle);
    const std::vector<std::string> warnings = edge_warnings(garbage, refusal.empty() ? last : Unit{}, bare);
    nlohmann::json summary_fields = summary_json(summary, sps, warnings);
    if (timed) {
        summary_fields["container"] = container->short_name();
        summary_fields["time_base"] = container->time_base();
    }
    if (json) std::printf("\n],\n\"summary\": %s\n}\n", dump(summary_fields, 2).c_str());
    else print_summary(summary, sps);
    if (timed && !json)
        std::printf("summary: container %s, pts and dts in units of %s s\n", container->short_name().c_str(),
                    container->time_base().c_str());
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "kavrel: cannot write standard output: %s\n", std::strerror(errno));
        return kIoError;
    }
    for (const std::string& w : warnings) std::fprintf(stderr, "kavrel: warning: %s\n", w.c_str());
    if (!refusal.empty()) {
        std::fprintf(stderr, "kavrel: %s: %s\n", input.name().c_str(), refusal.c_str());
        return kRefused;
    }
    if (summary.leading)
        std::fprintf(stderr, "kavrel: %llu leading unit(s) before the first parsable picture (the stream starts "
                             "mid-GOP)\n", static_cast<unsigned long long>(summary.leading));
    if (!pictures) {
        std::fprintf(stderr, "kavrel: %s holds no H.264 picture the library can parse\n", input.name().c_str());
        return kRefused;
    }
    return summary.failures || stopped ? kRefused : kDone;
}

}  // namespace

void register_probe(CLI::App& app, int* status) {
    auto* cmd = app.add_subcommand("probe", "Walk a stream access unit by access unit and report what the library sees");
    auto path = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    auto keep_going = std::make_shared<bool>(false);
    cmd->footer("Exit codes: 0 done, 1 the stream was refused or an access unit failed, 2 input/output error, 64 "
                "usage error.");
    cmd->add_option("FILE", *path,
                    input_help())
        ->required();
    cmd->add_flag("--json", *json, "Print JSON");
    cmd->add_flag("--keep-going", *keep_going, "After a failed access unit, resume at the next start code");
    cmd->callback([=]() { *status = run_probe(*path, *json, *keep_going); });
}

}  // namespace kavrel_cli
