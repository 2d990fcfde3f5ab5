// kavrel fps RATE IN OUT: rewrites every SPS of a stream so that its VUI
// timing announces RATE (25, 29.97, 30000/1001, ...); every other NAL unit
// is copied unchanged.
#include <cstdio>
#include <memory>

#include "cli_common.h"

namespace kavrel_cli {

namespace {

int run_fps(Rate rate, const std::string& in_path, const std::string& out_path) {
    Rewrite run;
    if (const int rc = run.open(in_path, out_path)) return rc;
    SpsRewriter rewriter;
    uint64_t failures = 0;
    int status = kDone;
    const auto to_rate = [&](const kavrel::SpsFacts&, Rate* r) {
        *r = rate;
        return true;
    };
    Unit unit;
    while (status == kDone && run.next(&unit)) {
        if (unit.result < 0) {
            ++failures;  // copied as it is
            run.output.write(unit.data, unit.size);
            continue;
        }
        status = copy_rewriting_sps(unit, unit.size, &rewriter, to_rate, &run.output);
    }
    if (failures)
        std::fprintf(stderr, "kavrel: %llu access unit(s) the library could not parse were copied unchanged\n",
                     static_cast<unsigned long long>(failures));
    if (status == kDone && rewriter.rewritten() == 0 && !run.format_refused()) {
        std::fprintf(stderr, "kavrel: %s holds no sequence parameter set; nothing written\n", run.in_name().c_str());
        status = kRefused;
    }
    status = run.finish(status);
    if (status == kDone) rewriter.report();
    if (status == kDone)
        std::fprintf(stderr, "kavrel: %d SPS rewritten for %s fps\n", rewriter.rewritten(), rate_text(rate).c_str());
    return status;
}

}  // namespace

void register_fps(CLI::App& app, int* status) {
    auto* cmd = app.add_subcommand("fps", "Rewrite every SPS of a stream so that it announces a new frame rate");
    auto rate = std::make_shared<std::string>();
    auto in = std::make_shared<std::string>();
    auto out = std::make_shared<std::string>();
    cmd->add_option("RATE", *rate, "Frames per second: 25, 30000/1001, 12.5; 23.976, 29.97 and 59.94 are N/1001")
        ->required();
    cmd->add_option("IN", *in, input_help())->required();
    cmd->add_option("OUT", *out, "Where to write the rewritten stream, - for standard output")->required();
    cmd->callback([=]() {
        Rate r;
        if (!parse_rate(*rate, &r))
            throw CLI::ValidationError("RATE", "expected N, N/D or a decimal, e.g. 25, 30000/1001, 29.97");
        *status = run_fps(r, *in, *out);
    });
}

}  // namespace kavrel_cli
