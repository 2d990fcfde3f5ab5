// kavrel double IN OUT: kavrel rate at twice the input's rate: every
// picture shown twice (again by an all-skipped non-reference P picture, or
// for a non-reference picture by a copy with the next picture order count)
// and every SPS at twice its own rate. The library decides where each
// repeat goes and which pictures can be repeated; the tool refuses the
// stream when one cannot.
#include <memory>

#include "cli_common.h"
#include "cmd_rate.h"

namespace kavrel_cli {

void register_double(CLI::App& app, int* status) {
    auto* cmd = app.add_subcommand("double", "Double the frame rate: a repeat frame after every picture");
    auto in = std::make_shared<std::string>();
    auto out = std::make_shared<std::string>();
    auto rate = std::make_shared<std::string>();
    cmd->add_option("IN", *in, input_help())->required();
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
