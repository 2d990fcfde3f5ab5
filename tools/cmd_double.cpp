// kavrel double IN OUT: kavrel rate at twice the input's rate, a repeat
// frame (an all-skipped non-reference P picture) after the access unit of
// every picture and every SPS at twice its own rate. The library decides
// which pictures a repeat may follow; the tool refuses the stream when it
// may not follow one.
#include <memory>

#include "cli_common.h"
#include "cmd_rate.h"

namespace kavrel_cli {

void register_double(CLI::App& app, int* status) {
    auto* cmd = app.add_subcommand("double", "Double the frame rate: a repeat frame after every picture");
    auto in = std::make_shared<std::string>();
    auto out = std::make_shared<std::string>();
    auto rate = std::make_shared<std::string>();
    cmd->add_option("IN", *in, "H.264 Annex B stream (reference frames only), - for standard input")->required();
    cmd->add_option("OUT", *out, "Where to write the doubled stream, - for standard output")->required();
    cmd->add_option("--rate", *rate,
                    "The input's frame rate (25, 30000/1001, 29.97); needed when the stream carries no timing; when "
                    "given it replaces the stream's own");
    cmd->callback([=]() {
        RateJob job;
        job.doubling = true;
        job.have_from = !rate->empty();
        if (job.have_from && !parse_rate(*rate, &job.from))
            throw CLI::ValidationError("--rate", "expected N, N/D or a decimal, e.g. 25, 30000/1001, 29.97");
        *status = run_rate(job, *in, *out);
    });
}

}  // namespace kavrel_cli
