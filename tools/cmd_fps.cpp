// kavrel fps RATE IN OUT: rewrites every SPS of a stream so that its VUI
// timing announces RATE (25, 50, 30000/1001, ...); every other NAL unit is
// copied unchanged.
#include <cstdio>
#include <memory>

#include "cli_common.h"

namespace kavrel_cli {

namespace {

// Copies one access unit to `out`, with each of its SPS units replaced by
// the one the library writes for the new rate. False (with a message) when
// an SPS cannot be re-emitted.
bool rewrite_unit(ParserHandle* sps_handle, const Bytes& data, const AccessUnit& au, uint32_t num, uint32_t den,
                  Bytes* out, int* replaced) {
    size_t copied = au.offset;
    for (const NalUnit& u : split_units(data, au.offset, au.offset + au.size)) {
        if (u.type != 7) continue;
        out->insert(out->end(), data.begin() + static_cast<std::ptrdiff_t>(copied),
                    data.begin() + static_cast<std::ptrdiff_t>(u.start));
        if (!parse_sps_unit(sps_handle, data, u) || !append_sps_at_rate(sps_handle, num, den, out)) {
            std::fprintf(stderr, "kavrel: the SPS at offset %zu cannot be rewritten\n", u.start);
            return false;
        }
        copied = u.end;
        ++*replaced;
    }
    out->insert(out->end(), data.begin() + static_cast<std::ptrdiff_t>(copied),
                data.begin() + static_cast<std::ptrdiff_t>(au.offset + au.size));
    return true;
}

int run_fps(const std::string& rate, const std::string& in_path, const std::string& out_path) {
    uint32_t num = 0, den = 0;
    if (!parse_rate(rate, &num, &den) || num > 0x7FFFFFFFu) {
        std::fprintf(stderr, "kavrel: RATE must be N or N/D with positive integers (e.g. 25, 30000/1001)\n");
        return 2;
    }
    Bytes data;
    if (!read_input(in_path, &data)) return 2;
    ParserHandle* walker = Kavrel_Open();
    ParserHandle* sps_handle = Kavrel_Open();
    if (!walker || !sps_handle) {
        std::fprintf(stderr, "kavrel: out of memory\n");
        if (walker) Kavrel_Close(walker);
        if (sps_handle) Kavrel_Close(sps_handle);
        return 2;
    }
    Bytes out;
    out.reserve(data.size() + 1024);
    int replaced = 0;
    bool ok = true;
    const int failures = walk_stream(walker, data, true, [&](const AccessUnit& au) {
        if (ok) ok = rewrite_unit(sps_handle, data, au, num, den, &out, &replaced);
    });
    Kavrel_Close(walker);
    Kavrel_Close(sps_handle);
    if (!ok) return 1;
    if (failures > 0)
        std::fprintf(stderr, "kavrel: %d access unit(s) the library could not parse were copied unchanged\n",
                     failures);
    if (replaced == 0) {
        std::fprintf(stderr, "kavrel: %s holds no sequence parameter set\n", in_path.c_str());
        return 1;
    }
    if (!write_output(out_path, out)) return 2;
    std::fprintf(stderr, "kavrel: %d SPS rewritten for %u/%u fps\n", replaced, num, den);
    return 0;
}

}  // namespace

void register_fps(CLI::App& app) {
    auto* cmd = app.add_subcommand("fps", "Rewrite every SPS of a stream so that it announces a new frame rate");
    auto rate = std::make_shared<std::string>();
    auto in = std::make_shared<std::string>();
    auto out = std::make_shared<std::string>();
    cmd->add_option("RATE", *rate, "Frames per second: N or N/D, e.g. 25, 50, 30000/1001")->required();
    cmd->add_option("IN", *in, "H.264 Annex B stream")->required();
    cmd->add_option("OUT", *out, "Where to write the rewritten stream")->required();
    cmd->callback([=]() {
        const int rc = run_fps(*rate, *in, *out);
        if (rc) throw CLI::RuntimeError(rc);
    });
}

}  // namespace kavrel_cli
