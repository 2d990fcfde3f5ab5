#include "cli_common.h"

namespace kavrel_cli {

void register_probe(CLI::App&) {}

}  // namespace kavrel_cli
