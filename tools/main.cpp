// kavrel: the command-line face of the library.
#include <cstdio>
#include <exception>

#include "cli_common.h"

int main(int argc, char** argv) {
    using namespace kavrel_cli;
    try {
        CLI::App app{"kavrel: inspect and adjust H.264 Annex B streams"};
        app.footer(
            "IN and OUT may be - for standard input and output. OUT is written to a temporary file beside it and "
            "renamed over it when complete, so IN and OUT may be the same file.\n"
            "Exit codes: 0 done, 1 the stream was refused or failed, 2 input/output error, 64 usage error.");
        app.require_subcommand(1);
        app.set_version_flag("--version", std::string("kavrel ") + KAVREL_VERSION_STRING + " (library " +
                                              Kavrel_lib_get_version() + ")\n" + containers_version());
        app.fallthrough();  // --quiet also after the subcommand
        // Paths such as /videos/a.h264 stay paths on Windows too.
        app.allow_windows_style_options(false);
        LogOptions& options = *log_options_flags();
        app.add_flag("-q,--quiet", options.quiet, "Drop the library's diagnostics (otherwise on standard error)");
        app.add_flag("-v,--verbose", options.verbose,
                     "Show also the library's lines that only mark where an access unit ended");
        app.add_flag("--force", options.force, "Write over an OUT that is write-protected");
        if (containers_supported()) {
            app.add_option("--stream", options.stream,
                           "The container's video stream to use, numbered as ffprobe numbers them (default: the "
                           "first H.264 one)");
            app.add_option("--format", options.format,
                           "OUT's format: mp4, mov, mkv, webm, ts, flv, avi or h264 (Annex B); default: from OUT's "
                           "extension, else IN's");
        }
        install_log_sink();
        int status = kDone;
        register_probe(app, &status);
        register_fps(app, &status);
        register_double(app, &status);
        register_rate(app, &status);
        register_sar(app, &status);
        register_fix_pps(app, &status);
        // Name an unknown command rather than let it pass for a stray argument.
        for (int i = 1; i < argc; ++i) {
            if (argv[i][0] == '-') {
                const std::string option = argv[i];
                if (containers_supported() && (option == "--stream" || option == "--format")) ++i;  // its value
                continue;
            }
            const auto known = app.get_subcommands([&](CLI::App* c) { return c->get_name() == argv[i]; });
            if (!known.empty()) break;
            std::fprintf(stderr, "kavrel: unknown command '%s'; the commands are probe, fps, double, rate, sar and fix-pps "
                                 "(see kavrel --help)\n", argv[i]);
            return kUsage;
        }
        try {
            app.parse(argc, argv);
        } catch (const CLI::ParseError& e) {
            const int rc = app.exit(e);
            return rc == 0 ? kDone : kUsage;
        }
        return status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kavrel: %s\n", e.what());
        return kIoError;
    }
}
