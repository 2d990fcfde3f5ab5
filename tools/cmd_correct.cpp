// kavrel sar W:H IN OUT and kavrel fix-pps IN OUT: Kavrel_enc_h264Correct
// applied to every access unit that carries an SPS and a PPS.
#include <cstdio>
#include <vector>

#include "cli_common.h"

namespace kavrel_cli {

namespace {

struct Correction {
    int32_t mode = 0;
    uint32_t sar_width = 0;
    uint32_t sar_height = 0;
};

int correct_stream(const Correction& c, const std::string& in_path, const std::string& out_path) {
    Rewrite run;
    if (const int rc = run.open(in_path, out_path)) return rc;
    std::vector<uint8_t> cure;
    int corrected = 0, status = kDone;
    Unit unit;
    for (uint64_t index = 0; status == kDone && run.next(&unit); ++index) {
        if (unit.result < 0) {
            std::fprintf(stderr, "kavrel: access unit %llu (offset %llu) of %s does not parse (code %d); nothing written\n",
                         static_cast<unsigned long long>(index), static_cast<unsigned long long>(unit.offset),
                         run.in_name().c_str(), unit.result);
            status = kRefused;
            break;
        }
        // Room for the larger parameter set and its emulation prevention.
        cure.resize(unit.size + unit.size / 2 + 1024);
        CorrectionRequest req{};
        req.OrgFrameLength = unit.size;
        req.org_frame = unit.data;
        req.cureFrameLength = static_cast<uint32_t>(cure.size());
        req.cure_frame = cure.data();
        req.sar_width = c.sar_width;
        req.sar_height = c.sar_height;
        req.correction_mode = c.mode;
        if (Kavrel_enc_h264Correct(&req) == 0 && req.corrected == 1) {
            run.output.write(cure.data(), req.cureFrameLength);
            ++corrected;
        } else {
            run.output.write(unit.data, unit.size);  // nothing to correct here
        }
    }
    status = run.finish(status);
    if (status == kDone) std::fprintf(stderr, "kavrel: %d access unit%s corrected\n", corrected, corrected == 1 ? "" : "s");
    return status;
}

void add_io(CLI::App* cmd, std::shared_ptr<std::string> in, std::shared_ptr<std::string> out) {
    cmd->add_option("IN", *in, "Input H.264 Annex B stream, - for standard input")->required();
    cmd->add_option("OUT", *out, "Output stream, - for standard output")->required();
}

}  // namespace

void register_sar(CLI::App& app, int* status) {
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
        *status = correct_stream(c, *in, *out);
    });
}

void register_fix_pps(CLI::App& app, int* status) {
    auto* cmd = app.add_subcommand(
        "fix-pps",
        "Add transform_8x8_mode_flag = 1 (no scaling matrix, second_chroma_qp_index_offset = "
        "chroma_qp_index_offset) to the PPS of a High-profile stream whose PPS ends after "
        "redundant_pic_cnt_present_flag. Right only when the slices really use the 8x8 transform "
        "(a stream whose PPS lost its High-profile tail); on any other stream it breaks decoding");
    auto in = std::make_shared<std::string>();
    auto out = std::make_shared<std::string>();
    add_io(cmd, in, out);
    cmd->callback([=]() {
        Correction c;
        c.mode = 1;
        *status = correct_stream(c, *in, *out);
    });
}

}  // namespace kavrel_cli
