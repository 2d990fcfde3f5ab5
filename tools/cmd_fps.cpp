// kavrel fps RATE IN OUT: rewrites every SPS of a stream so that its VUI
// timing announces RATE (25, 50, 30000/1001, ...); every other NAL unit is
// copied unchanged.
#include <cstdio>
#include <memory>

#include "cli_common.h"

namespace kavrel_cli {

namespace {

// "N" or "N/D" with positive integers and 2 * N below 2^32.
bool parse_rate(const std::string& text, uint32_t* num, uint32_t* den) {
    unsigned long long value[2] = {0, 1};
    int field = 0;
    bool digits = false;
    for (char c : text) {
        if (c == '/' && field == 0 && digits) {
            field = 1;
            value[1] = 0;
            digits = false;
        } else if (c >= '0' && c <= '9') {
            value[field] = value[field] * 10 + static_cast<unsigned>(c - '0');
            if (value[field] > 0xFFFFFFFFull) return false;
            digits = true;
        } else {
            return false;
        }
    }
    if (!digits || value[0] == 0 || value[1] == 0 || 2 * value[0] > 0xFFFFFFFFull) return false;
    *num = static_cast<uint32_t>(value[0]);
    *den = static_cast<uint32_t>(value[1]);
    return true;
}

// Copies one access unit to `out`, with each of its SPS units replaced by
// the one the library writes for the new rate. False (with a message) when
// an SPS cannot be re-emitted.
bool rewrite_unit(ParserHandle* sps_handle, const Bytes& data, const AccessUnit& au, uint32_t num, uint32_t den,
                  Bytes* out, int* replaced) {
    const size_t end = au.offset + au.size;
    size_t copied = au.offset;
    size_t sc = next_start_code(data, au.offset);
    while (sc < end) {
        const size_t header = sc + 3;
        size_t next = next_start_code(data, header);
        if (next > end) next = end;
        if (header < end && (data[header] & 0x1F) == 7) {
            // The unit ends before the zeros that lead into the next start code.
            size_t unit_end = next;
            while (unit_end > header + 1 && data[unit_end - 1] == 0) --unit_end;
            const size_t unit_begin = (sc > copied && data[sc - 1] == 0) ? sc - 1 : sc;
            FrameInput input{data.data() + sc, static_cast<uint32_t>(unit_end - sc)};
            FrameInfo info{};
            const int32_t rc = Kavrel_Start(sps_handle, &input, &info);
            uint8_t unit[65536];
            const int32_t n = rc < 0 ? rc : H264_Enc_Iframe_Rate(sps_handle, unit, sizeof unit, num, den);
            if (n < 0) {
                std::fprintf(stderr, "kavrel: the SPS at offset %zu cannot be rewritten (code %d)\n", sc, n);
                return false;
            }
            out->insert(out->end(), data.begin() + static_cast<std::ptrdiff_t>(copied),
                        data.begin() + static_cast<std::ptrdiff_t>(unit_begin));
            out->insert(out->end(), unit, unit + n);
            copied = unit_end;
            ++*replaced;
        }
        sc = next;
    }
    out->insert(out->end(), data.begin() + static_cast<std::ptrdiff_t>(copied),
                data.begin() + static_cast<std::ptrdiff_t>(end));
    return true;
}

int run_fps(const std::string& rate, const std::string& in_path, const std::string& out_path) {
    uint32_t num = 0, den = 0;
    if (!parse_rate(rate, &num, &den)) {
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
