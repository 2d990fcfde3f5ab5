// Placeholder: the subcommand is registered once its library call lands.
#include "cli_common.h"

namespace kavrel_cli {

void register_fps(CLI::App&) {}

}  // namespace kavrel_cli
