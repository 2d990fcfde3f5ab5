// kavrel sar W:H IN OUT and kavrel fix-pps IN OUT: Kavrel_enc_h264Correct
// applied to every access unit that carries an SPS and a PPS.
#include <cstdio>

#include "cli_common.h"

namespace kavrel_cli {

namespace {

struct Correction {
    int32_t mode = 0;
    uint32_t sar_width = 0;
    uint32_t sar_height = 0;
};

int correct_stream(const Correction& c, const std::string& in_path, const std::string& out_path) {
    Bytes data;
    if (!read_input(in_path, &data)) return 2;
    ParserHandle* handle = Kavrel_Open();
    if (!handle) {
        std::fprintf(stderr, "kavrel: out of memory\n");
        return 2;
    }
    Bytes out;
    out.reserve(data.size() + data.size() / 16 + 1024);
    Bytes cure;
    int corrected = 0;
    const int failures = walk_stream(handle, data, false, [&](const AccessUnit& au) {
        const uint8_t* frame = data.data() + au.offset;
        if (au.result < 0) return;
        // Room for the larger parameter set and its emulation prevention.
        cure.resize(au.size + au.size / 2 + 1024);
        CorrectionRequest req{};
        req.OrgFrameLength = au.size;
        req.org_frame = frame;
        req.cureFrameLength = static_cast<uint32_t>(cure.size());
        req.cure_frame = cure.data();
        req.sar_width = c.sar_width;
        req.sar_height = c.sar_height;
        req.correction_mode = c.mode;
        const int32_t rc = Kavrel_enc_h264Correct(&req);
        if (rc == 0 && req.corrected == 1) {
            out.insert(out.end(), cure.begin(), cure.begin() + req.cureFrameLength);
            ++corrected;
        } else {
            out.insert(out.end(), frame, frame + au.size);  // nothing to correct here
        }
    });
    Kavrel_Close(handle);
    if (failures) {
        std::fprintf(stderr, "kavrel: %s does not parse; nothing written\n", in_path.c_str());
        return 1;
    }
    if (!write_output(out_path, out)) return 2;
    std::fprintf(stderr, "kavrel: %d access unit%s corrected\n", corrected, corrected == 1 ? "" : "s");
    return 0;
}

void add_io(CLI::App* cmd, std::shared_ptr<std::string> in, std::shared_ptr<std::string> out) {
    cmd->add_option("IN", *in, "Input H.264 Annex B stream")->required();
    cmd->add_option("OUT", *out, "Output stream")->required();
}

}  // namespace

void register_sar(CLI::App& app) {
    auto* cmd = app.add_subcommand(
        "sar", "Give every SPS an explicit sample aspect ratio (VUI aspect_ratio_idc 255, W:H reduced); "
               "the rest of each SPS, its VUI included, is kept. 0:0 takes the picture's own size");
    auto ratio = std::make_shared<std::string>();
    auto in = std::make_shared<std::string>();
    auto out = std::make_shared<std::string>();
    cmd->add_option("W:H", *ratio, "Sample aspect ratio, e.g. 4:3 or 16:11")->required();
    add_io(cmd, in, out);
    cmd->callback([=]() {
        Correction c;
        c.mode = 2;
        unsigned w = 0, h = 0;
        char extra = 0;
        if (std::sscanf(ratio->c_str(), "%u:%u%c", &w, &h, &extra) != 2 || w > 65535 || h > 65535) {
            throw CLI::ValidationError("W:H", "expected two whole numbers up to 65535, e.g. 4:3");
        }
        c.sar_width = w;
        c.sar_height = h;
        const int rc = correct_stream(c, *in, *out);
        if (rc) throw CLI::RuntimeError(rc);
    });
}

void register_fix_pps(CLI::App& app) {
    auto* cmd = app.add_subcommand(
        "fix-pps",
        "Add transform_8x8_mode_flag = 1 to the PPS of a High-profile stream whose PPS ends after "
        "redundant_pic_cnt_present_flag. Right only when the slices really use the 8x8 transform "
        "(a stream whose PPS lost its High-profile tail); on any other stream it breaks decoding");
    auto in = std::make_shared<std::string>();
    auto out = std::make_shared<std::string>();
    add_io(cmd, in, out);
    cmd->callback([=]() {
        Correction c;
        c.mode = 1;
        const int rc = correct_stream(c, *in, *out);
        if (rc) throw CLI::RuntimeError(rc);
    });
}

}  // namespace kavrel_cli
