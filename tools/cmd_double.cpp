// kavrel double IN OUT: doubles the frame rate of a stream by putting a
// repeat frame (an all-skipped non-reference P picture) after every access
// unit and re-emitting every SPS with twice the frame rate. Streams that a
// repeat would not show correctly are refused before anything is written.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include "api/parser_handle.h"
#include "cli_common.h"

namespace kavrel_cli {

namespace {

// One access unit of the input and the repeat frame that follows it.
struct Planned {
    size_t offset = 0;
    size_t size = 0;
    std::vector<NalUnit> units;
    Bytes repeat;  // empty for an access unit without a picture
};

// Walks the stream, checks that every picture can be repeated and builds
// the repeat frames. An empty string on success, else the reason.
std::string plan(const Bytes& data, std::vector<Planned>* out) {
    std::unique_ptr<ParserHandle, void (*)(ParserHandle*)> handle(Kavrel_Open(), Kavrel_Close);
    if (!handle) return "out of memory";
    const ParserHandle& parsed = *handle;  // what the library read (its SPS, PPS and slice header)
    std::optional<int32_t> last_lsb;
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
        bool picture = false, idr = false, non_reference = false;
        for (const NalUnit& u : p.units) {
            if (u.type != 1 && u.type != 5) continue;
            picture = true;
            idr = idr || u.type == 5;
            non_reference = non_reference || u.ref_idc == 0;
        }
        if (picture) {
            const kavrel::SeqParamSet& sps = parsed.active_sps;
            if (sps.pic_order_cnt_type == 1) {
                error = where + ": picture order count type 1 is not supported";
                return;
            }
            if (sps.pic_order_cnt_type == 0) {
                // The repeat takes pic_order_cnt_lsb + 1: the next picture must not.
                const int32_t lsb = parsed.slice.pic_order_cnt_lsb;
                const int32_t mask = (1 << sps.log2_max_poc_lsb) - 1;
                if (last_lsb && !idr && ((lsb - *last_lsb) & mask) == 1) {
                    error = where + ": pic_order_cnt_lsb steps by 1 per frame, leaving no value for a repeat";
                    return;
                }
                last_lsb = lsb;
            }
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

int run_double(const std::string& in_path, const std::string& out_path, const std::string& rate) {
    uint32_t rate_num = 0, rate_den = 0;
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

    std::unique_ptr<ParserHandle, void (*)(ParserHandle*)> sps_handle(Kavrel_Open(), Kavrel_Close);
    if (!sps_handle) return 2;
    Bytes out;
    out.reserve(data.size() * 2);
    size_t pictures = 0, sets = 0;
    for (const Planned& p : units) {
        size_t copied = p.offset;
        size_t last_end = p.offset;
        for (const NalUnit& u : p.units) {
            last_end = u.end;
            if (u.type != 7) continue;
            out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(copied),
                       data.begin() + static_cast<std::ptrdiff_t>(u.start));
            if (!parse_sps_unit(sps_handle.get(), data, u)) {
                std::fprintf(stderr, "kavrel: cannot double %s: the SPS at offset %zu does not parse\n",
                             in_path.c_str(), u.start);
                return 1;
            }
            // Twice the stream's own rate, or twice the one given:
            // time_scale / (2 x num_units_in_tick) doubled.
            const kavrel::SeqParamSet& sps = sps_handle->active_sps;
            uint64_t num = uint64_t{rate_num} * 2, den = rate_den;
            if (rate.empty()) {
                if (!sps.vui_parameters_present_flag || !sps.timing_info_present_flag || !sps.num_units_in_tick ||
                    !sps.time_scale) {
                    std::fprintf(stderr,
                                 "kavrel: cannot double %s: the SPS at offset %zu carries no frame rate; give the "
                                 "input's rate with --rate\n",
                                 in_path.c_str(), u.start);
                    return 1;
                }
                num = sps.time_scale;
                den = sps.num_units_in_tick;
            }
            if (!append_sps_at_rate(sps_handle.get(), num, den, &out)) {
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
