// kavrel: the command-line face of the library.
#include "cli_common.h"

int main(int argc, char** argv) {
    CLI::App app{"kavrel: inspect and adjust H.264 Annex B streams"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("kavrel library ") + Kavrel_lib_get_version());
    kavrel_cli::register_probe(app);
    kavrel_cli::register_fps(app);
    kavrel_cli::register_double(app);
    kavrel_cli::register_sar(app);
    kavrel_cli::register_fix_pps(app);
    CLI11_PARSE(app, argc, argv);
    return 0;
}
