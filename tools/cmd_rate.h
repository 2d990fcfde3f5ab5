// The frame-rate conversion behind kavrel rate and kavrel double.
#pragma once

#include <string>

#include "rate.h"

namespace kavrel_cli {

struct RateJob {
    // double: each SPS at twice its own rate (or twice `from`), a repeat
    // after every picture; rate: every SPS at `target`.
    bool doubling = false;
    Rate target;
    bool have_from = false;  // the input's rate, given in place of the stream's own
    Rate from;
};

// Converts IN to OUT; the exit code, after the messages.
int run_rate(const RateJob& job, const std::string& in_path, const std::string& out_path);

}  // namespace kavrel_cli
