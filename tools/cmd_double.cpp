// kavrel double IN OUT: doubles the frame rate of a stream by putting a
// repeat frame (an all-skipped non-reference P picture) after every access
// unit and re-emitting every SPS with twice the frame rate. Streams that a
// repeat would not show correctly are refused before anything is written.
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <numeric>
#include <optional>

#include "cli_common.h"

namespace kavrel_cli {

namespace {

// ---- A light reader of the few header fields the checks need ----------

// RBSP bits of one NAL unit (emulation prevention removed), MSB first.
// Reads past the end yield zeros and mark the reader.
struct Rbsp {
    Bytes b;
    size_t pos = 0;
    bool past_end = false;

    uint32_t bit() {
        if (pos / 8 >= b.size()) {
            past_end = true;
            ++pos;
            return 0;
        }
        const uint32_t v = (b[pos / 8] >> (7 - pos % 8)) & 1;
        ++pos;
        return v;
    }
    uint32_t u(int n) {
        uint32_t v = 0;
        while (n-- > 0) v = (v << 1) | bit();
        return v;
    }
    uint32_t ue() {
        int zeros = 0;
        while (bit() == 0) {
            if (++zeros > 31 || past_end) {
                past_end = true;
                return 0;
            }
        }
        return zeros == 0 ? 0 : static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + u(zeros));
    }
    int32_t se() {
        const uint32_t k = ue();
        return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }
};

// The payload of the NAL unit whose header byte is at `header`, up to `end`.
Rbsp unescape(const Bytes& data, size_t header, size_t end) {
    Rbsp r;
    int zeros = 0;
    for (size_t i = header + 1; i < end; ++i) {
        if (zeros >= 2 && data[i] == 3) {
            zeros = 0;
            continue;
        }
        r.b.push_back(data[i]);
        zeros = data[i] == 0 ? zeros + 1 : 0;
    }
    return r;
}

// What the checks and the rate need from a sequence parameter set
// (ITU-T H.264 clause 7.3.2.1.1, VUI E.1.1).
struct SpsFacts {
    uint32_t log2_max_frame_num = 4;
    uint32_t poc_type = 0;
    uint32_t log2_max_poc_lsb = 4;
    bool frame_mbs_only = true;
    bool timing = false;
    uint32_t num_units_in_tick = 0;
    uint32_t time_scale = 0;
};

void skip_scaling_list(Rbsp& r, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && next != 0; ++j) {
        next = (last + r.se() + 256) % 256;
        if (next != 0) last = next;
    }
}

// Reads an SPS; its id in *id. False when the set is cut short.
bool read_sps(Rbsp& r, uint32_t* id, SpsFacts* s) {
    const uint32_t profile = r.u(8);
    r.u(16);  // constraint flags, level_idc
    *id = r.ue();
    if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 || profile == 83 ||
        profile == 86 || profile == 118 || profile == 128 || profile == 138 || profile == 139 || profile == 134 ||
        profile == 135) {
        const uint32_t chroma_format_idc = r.ue();
        if (chroma_format_idc == 3) r.u(1);
        r.ue();
        r.ue();
        r.u(1);
        if (r.u(1)) {  // seq_scaling_matrix_present_flag
            for (int i = 0; i < (chroma_format_idc != 3 ? 8 : 12); ++i)
                if (r.u(1)) skip_scaling_list(r, i < 6 ? 16 : 64);
        }
    }
    s->log2_max_frame_num = r.ue() + 4;
    s->poc_type = r.ue();
    if (s->poc_type == 0) {
        s->log2_max_poc_lsb = r.ue() + 4;
    } else if (s->poc_type == 1) {
        r.u(1);
        r.se();
        r.se();
        const uint32_t cycle = r.ue();
        for (uint32_t i = 0; i < cycle && !r.past_end; ++i) r.se();
    }
    r.ue();   // max_num_ref_frames
    r.u(1);   // gaps_in_frame_num_value_allowed_flag
    r.ue();
    r.ue();
    s->frame_mbs_only = r.u(1) != 0;
    if (!s->frame_mbs_only) r.u(1);
    r.u(1);  // direct_8x8_inference_flag
    if (r.u(1)) {
        r.ue();
        r.ue();
        r.ue();
        r.ue();
    }
    if (r.u(1)) {  // vui_parameters_present_flag
        if (r.u(1) && r.u(8) == 255) r.u(32);  // aspect ratio
        if (r.u(1)) r.u(1);                    // overscan
        if (r.u(1)) {                          // video signal type
            r.u(4);
            if (r.u(1)) r.u(24);
        }
        if (r.u(1)) {  // chroma location
            r.ue();
            r.ue();
        }
        if (r.u(1)) {
            s->num_units_in_tick = r.u(32);
            s->time_scale = r.u(32);
            s->timing = s->num_units_in_tick != 0 && s->time_scale != 0;
        }
    }
    return !r.past_end;
}

// pic_order_cnt_lsb of a slice (clause 7.3.3), or nothing for another
// picture order count type or a slice cut short.
std::optional<uint32_t> read_poc_lsb(Rbsp& r, bool idr, const SpsFacts& s) {
    r.ue();  // first_mb_in_slice
    r.ue();  // slice_type
    r.ue();  // pic_parameter_set_id
    r.u(static_cast<int>(s.log2_max_frame_num));
    if (!s.frame_mbs_only && r.u(1)) r.u(1);
    if (idr) r.ue();
    if (s.poc_type != 0) return std::nullopt;
    const uint32_t lsb = r.u(static_cast<int>(s.log2_max_poc_lsb));
    if (r.past_end) return std::nullopt;
    return lsb;
}

// ---- Access units ------------------------------------------------------

struct Unit {
    size_t start = 0;   // first byte of its start code
    size_t header = 0;  // the NAL header byte
    size_t end = 0;     // past its last byte (trailing zeros excluded)
    uint8_t type = 0;
    uint8_t ref_idc = 0;
};

std::vector<Unit> split_units(const Bytes& data, size_t begin, size_t end) {
    std::vector<Unit> units;
    size_t sc = next_start_code(data, begin);
    while (sc < end) {
        Unit u;
        u.start = (sc > begin && data[sc - 1] == 0) ? sc - 1 : sc;
        u.header = sc + 3;
        size_t next = next_start_code(data, u.header);
        if (next > end) next = end;
        u.end = next;
        while (u.end > u.header + 1 && data[u.end - 1] == 0) --u.end;
        if (u.header < end) {
            u.type = data[u.header] & 0x1F;
            u.ref_idc = (data[u.header] >> 5) & 3;
            units.push_back(u);
        }
        sc = next;
    }
    return units;
}

// One access unit of the input and the repeat frame that follows it.
struct Planned {
    size_t offset = 0;
    size_t size = 0;
    std::vector<Unit> units;
    Bytes repeat;  // empty for an access unit without a picture
};

// "N" or "N/D" with positive integers.
bool parse_rate(const std::string& text, uint64_t* num, uint64_t* den) {
    uint64_t v[2] = {0, 1};
    int field = 0;
    bool digits = false;
    for (char c : text) {
        if (c == '/' && field == 0 && digits) {
            field = 1;
            v[1] = 0;
            digits = false;
        } else if (c >= '0' && c <= '9') {
            v[field] = v[field] * 10 + static_cast<unsigned>(c - '0');
            if (v[field] > 0xFFFFFFFFull) return false;
            digits = true;
        } else {
            return false;
        }
    }
    if (!digits || v[0] == 0 || v[1] == 0) return false;
    *num = v[0];
    *den = v[1];
    return true;
}

// Walks the stream, checks that every picture can be repeated and builds
// the repeat frames. An empty string on success, else the reason.
std::string plan(const Bytes& data, std::vector<Planned>* out) {
    std::unique_ptr<ParserHandle, void (*)(ParserHandle*)> handle(Kavrel_Open(), Kavrel_Close);
    if (!handle) return "out of memory";
    std::map<uint32_t, SpsFacts> sps_by_id;
    std::map<uint32_t, uint32_t> sps_of_pps;
    std::optional<uint32_t> last_lsb;
    std::string error;
    size_t index = 0;
    walk_stream(handle.get(), data, false, [&](const AccessUnit& au) {
        const size_t n = index++;
        if (!error.empty()) return;
        const std::string where = "access unit " + std::to_string(n) + " (offset " + std::to_string(au.offset) + ")";
        if (au.result < 0) {
            error = where + " cannot be parsed (code " + std::to_string(au.result) + ")";
            return;
        }
        Planned p;
        p.offset = au.offset;
        p.size = au.size;
        p.units = split_units(data, au.offset, au.offset + au.size);
        bool picture = false;
        bool non_reference = false;
        for (const Unit& u : p.units) {
            if (u.type == 7) {
                Rbsp r = unescape(data, u.header, u.end);
                uint32_t id = 0;
                SpsFacts facts;
                if (read_sps(r, &id, &facts)) sps_by_id[id] = facts;
            } else if (u.type == 8) {
                Rbsp r = unescape(data, u.header, u.end);
                const uint32_t pps_id = r.ue();
                sps_of_pps[pps_id] = r.ue();
            } else if (u.type == 1 || u.type == 5) {
                non_reference = non_reference || u.ref_idc == 0;
                if (picture) continue;  // the first slice speaks for the picture
                picture = true;
                Rbsp r = unescape(data, u.header, u.end);
                Rbsp probe = r;
                probe.ue();
                probe.ue();
                const auto pps = sps_of_pps.find(probe.ue());
                const auto sps = pps == sps_of_pps.end() ? sps_by_id.end() : sps_by_id.find(pps->second);
                if (sps == sps_by_id.end()) continue;
                const std::optional<uint32_t> lsb = read_poc_lsb(r, u.type == 5, sps->second);
                if (lsb && last_lsb && u.type != 5) {
                    const uint32_t mask = (uint32_t{1} << sps->second.log2_max_poc_lsb) - 1;
                    if (((*lsb - *last_lsb) & mask) == 1) {
                        error = where + ": pic_order_cnt_lsb steps by 1 per frame, leaving no value for a repeat";
                        return;
                    }
                }
                last_lsb = lsb;
                if (sps->second.poc_type == 1) {
                    error = where + ": picture order count type 1 is not supported";
                    return;
                }
            }
        }
        if (picture) {
            if (au.info.picture_type == 2) {
                error = where + " holds a B picture: a repeat would show another picture";
                return;
            }
            if (non_reference) {
                error = where + " holds a non-reference picture: a repeat would show another picture";
                return;
            }
            if (au.info.field_pic_flag != 0) {
                error = where + " is a field picture: field streams are not supported";
                return;
            }
            const uint64_t mbs = uint64_t(au.info.coded_width / 16) * uint64_t(au.info.coded_height / 16);
            p.repeat.resize(2 * mbs + 4096);
            const int32_t len = H264_Enc_Double_Frame_Sized(handle.get(), p.repeat.data(),
                                                            static_cast<uint32_t>(p.repeat.size()));
            if (len < 0) {
                error = "the library refused the repeat frame after " + where;
                return;
            }
            p.repeat.resize(static_cast<size_t>(len));
        }
        out->push_back(std::move(p));
    });
    return error;
}

// The SPS unit `u` again, announcing the rate num/den (already doubled).
bool rate_sps(const Bytes& data, const Unit& u, uint64_t num, uint64_t den, Bytes* out) {
    std::unique_ptr<ParserHandle, void (*)(ParserHandle*)> h(Kavrel_Open(), Kavrel_Close);
    if (!h) return false;
    const size_t sc = u.header - 3;
    FrameInput input{data.data() + sc, static_cast<uint32_t>(u.end - sc)};
    FrameInfo info{};
    if (Kavrel_Start(h.get(), &input, &info) < 0) return false;
    const uint64_t g = std::gcd(num, den);
    uint8_t unit[65536];
    const int32_t n = H264_Enc_Iframe_Rate(h.get(), unit, sizeof unit, static_cast<uint32_t>(num / g),
                                           static_cast<uint32_t>(den / g));
    if (n < 0) return false;
    out->insert(out->end(), unit, unit + n);
    return true;
}

int run_double(const std::string& in_path, const std::string& out_path, const std::string& rate) {
    uint64_t rate_num = 0, rate_den = 0;
    if (!rate.empty() && !parse_rate(rate, &rate_num, &rate_den)) {
        std::fprintf(stderr, "kavrel: --rate must be N or N/D with positive integers (e.g. 25, 30000/1001)\n");
        return 2;
    }
    Bytes data;
    if (!read_input(in_path, &data)) return 2;
    std::vector<Planned> units;
    const std::string error = plan(data, &units);
    if (!error.empty()) {
        std::fprintf(stderr, "kavrel: cannot double %s: %s\n", in_path.c_str(), error.c_str());
        return 1;
    }

    Bytes out;
    out.reserve(data.size() * 2);
    size_t pictures = 0, sets = 0;
    for (const Planned& p : units) {
        size_t copied = p.offset;
        size_t last_end = p.offset;
        for (const Unit& u : p.units) {
            last_end = u.end;
            if (u.type != 7) continue;
            // Twice the stream's own rate, or twice the one given.
            uint64_t num = rate_num * 2, den = rate_den;
            if (rate.empty()) {
                Rbsp r = unescape(data, u.header, u.end);
                uint32_t id = 0;
                SpsFacts facts;
                read_sps(r, &id, &facts);
                if (!facts.timing) {
                    std::fprintf(stderr,
                                 "kavrel: cannot double %s: the SPS at offset %zu carries no frame rate; give the "
                                 "input's rate with --rate\n",
                                 in_path.c_str(), u.start);
                    return 1;
                }
                num = facts.time_scale;  // 2 x time_scale / (2 x num_units_in_tick)
                den = facts.num_units_in_tick;
            }
            out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(copied),
                       data.begin() + static_cast<std::ptrdiff_t>(u.start));
            if (!rate_sps(data, u, num, den, &out)) {
                std::fprintf(stderr, "kavrel: cannot double %s: the SPS at offset %zu cannot be rewritten\n",
                             in_path.c_str(), u.start);
                return 1;
            }
            copied = u.end;
            ++sets;
        }
        // The repeat goes after the last unit, before the zeros that lead
        // into the next start code.
        out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(copied),
                   data.begin() + static_cast<std::ptrdiff_t>(std::max(copied, last_end)));
        out.insert(out.end(), p.repeat.begin(), p.repeat.end());
        out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(std::max(copied, last_end)),
                   data.begin() + static_cast<std::ptrdiff_t>(p.offset + p.size));
        if (!p.repeat.empty()) ++pictures;
    }
    if (!write_output(out_path, out)) return 2;
    std::fprintf(stderr, "kavrel: %zu pictures doubled, %zu SPS re-emitted at twice the rate\n", pictures, sets);
    return 0;
}

}  // namespace

void register_double(CLI::App& app) {
    auto* cmd = app.add_subcommand("double", "Double the frame rate: a repeat frame after every picture");
    auto in = std::make_shared<std::string>();
    auto out = std::make_shared<std::string>();
    auto rate = std::make_shared<std::string>();
    cmd->add_option("IN", *in, "H.264 Annex B stream (reference pictures only, frames)")->required();
    cmd->add_option("OUT", *out, "Where to write the doubled stream")->required();
    cmd->add_option("--rate", *rate,
                    "The input's frame rate, N or N/D (e.g. 25, 30000/1001); needed when the stream carries no "
                    "timing; when given it replaces the stream's own");
    cmd->callback([=]() {
        const int rc = run_double(*in, *out, *rate);
        if (rc) throw CLI::RuntimeError(rc);
    });
}

}  // namespace kavrel_cli
