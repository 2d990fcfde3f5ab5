// Plumbing shared by the kavrel subcommands.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api/tool_interface.h"
#include "kavrel.h"
#include "nal_scan.h"
#include "rate.h"
#include "stream_io.h"
#include "unit_walker.h"

namespace kavrel_cli {

// Exit codes: done, the stream was refused (or failed), input/output error,
// usage error.
enum Exit { kDone = 0, kRefused = 1, kIoError = 2, kUsage = 64 };

// What the user asked of the messages and OUT.
struct LogOptions {
    bool quiet = false;    // -q: none of the library's lines
    bool verbose = false;  // -v: also the lines that only mark where an access unit ended
    bool force = false;    // --force: write over a write-protected OUT
    int stream = -1;       // --stream N: the container's video stream (default: its first H.264 one)
    std::string format;    // --format: OUT's container (default: OUT's extension, else the input's)
};

// Sends the library's diagnostics to standard error as *log_options_flags()
// asks: without -v the lines a valid stream gives for every access unit
// ("Unexpected more data in current frame", "nal_unit_type (N) should
// precede the VCL NAL", the SPS writer's note) and the repeat calls' reasons
// for passing a picture over are left out.
void install_log_sink();
LogOptions* log_options_flags();

// The help text of a command's input: what it reads, as this build of the tool can.
const char* input_help();

// Holds back the library's lines while alive: they are dropped unless
// release() shows them. For calls whose failure the tool handles itself.
class HeldLog {
public:
    HeldLog();
    ~HeldLog();
    HeldLog(const HeldLog&) = delete;
    HeldLog& operator=(const HeldLog&) = delete;
    void release();

private:
    std::vector<std::string> lines_;
};

// A result code with its name from kavrel.h: "-16 (KAVREL_E_FRAME_NUM)".
std::string result_text(int32_t code);

// Why a unit the library refused cannot be taken at all: its SPS has a
// format the library does not take (unsupported_format); empty otherwise.
std::string refused_format(const Unit& unit);

// Opens IN and refuses what is plainly not an H.264 Annex B stream: 0 or
// an exit code, after a message on stderr. A container (when built with
// them) is opened into *container, which is left null for Annex B.
int open_checked(InputWindow* input, const std::string& path, std::unique_ptr<Container>* container);

// The parts of a run that reads IN and writes OUT: the walk, the copy of
// leading units the library cannot parse, and the final commit.
class Rewrite {
public:
    Rewrite() = default;
    Rewrite(const Rewrite&) = delete;
    Rewrite& operator=(const Rewrite&) = delete;
    ~Rewrite();
    // Opens IN and OUT and a parser: 0 or an exit code. OUT is in IN's
    // container unless --format or OUT's extension names another.
    int open(const std::string& in, const std::string& out);
    // The next access unit; leading units that fail (a stream that starts
    // mid-GOP) are copied to OUT unchanged and skipped. The walk ends at an
    // SPS whose format the library does not take. What is written after it
    // returns is output unit unit->index (OutputStream::begin_unit).
    bool next(Unit* unit);
    // After the walk: refuses a run that met such an SPS or found no
    // picture, reports the leading units, renames OUT into place. `status` is what the run
    // decided so far; on a non-zero one OUT is not written.
    int finish(int status);
    // How leading units are written, when not unchanged.
    void set_leading_writer(std::function<void(const Unit&)> write) { leading_writer_ = std::move(write); }
    ParserHandle* parser() const { return handle_; }
    bool format_refused() const { return !format_refusal_.empty(); }
    void end_progress() { walker_->end_progress(); }
    const std::string& in_name() const { return input.name(); }

    InputWindow input;
    OutputStream output;

private:
    std::unique_ptr<Container> container_;
    ParserHandle* handle_ = nullptr;
    UnitWalker* walker_ = nullptr;
    uint64_t leading_units_ = 0;
    uint64_t leading_bytes_ = 0;
    std::string format_refusal_;
    std::function<void(const Unit&)> leading_writer_;
};

// Writes SPS units again at a new rate, raising level_idc when Table A-1
// needs it, with one parser of its own.
class SpsRewriter {
public:
    SpsRewriter();
    ~SpsRewriter();
    SpsRewriter(const SpsRewriter&) = delete;
    SpsRewriter& operator=(const SpsRewriter&) = delete;
    // Parses the SPS unit `u` of `p` on its own; false when the library
    // refuses it. Then timing() describes it. A unit of the same bytes as
    // the one parsed last is not read again: a caller that needs the
    // description before the unit is written gets it from here, and the
    // write takes that read.
    bool parse(const uint8_t* p, const Nal& u);
    const kavrel::SpsFacts& timing() const { return timing_; }
    // Writes the parsed SPS announcing `rate` to `out` (through its
    // write_sps(data, size) when it has one, else write); false when the
    // library refuses.
    template <typename Out>
    bool write(Rate rate, Out* out) {
        size_t n = 0;
        const uint8_t* unit = encode(rate, &n);
        if (!unit) return false;
        if constexpr (requires { out->write_sps(unit, n); }) out->write_sps(unit, n);
        else out->write(unit, n);
        return true;
    }
    int rewritten() const { return rewritten_; }
    // Prints, once each, what the rewritten sets changed beyond the rate
    // (level_idc raised) or could not (HRD, a rate beyond every level): for
    // a run whose output is kept.
    void report() const;

private:
    // The SPS unit announcing `rate` in unit_, its size in *n; null when the library refuses.
    const uint8_t* encode(Rate rate, size_t* n);
    void note(const std::string& text);
    ParserHandle* handle_;
    std::vector<uint8_t> parsed_;  // the unit parsed last, start code on; empty unless the library took it
    std::vector<uint8_t> unit_;
    FrameInfo info_{};
    kavrel::SpsFacts timing_;
    int rewritten_ = 0;
    std::vector<std::string> notes_;
};

// Writes [0, end) of `unit` to `out` with each SPS unit before its first
// slice replaced by `rewriter`'s at the rate rate_for(const kavrel::SpsFacts&, Rate*)
// gives. 0, or an exit code after a message on stderr.
template <typename RateFor, typename Out>
int copy_rewriting_sps(const Unit& unit, size_t end, SpsRewriter* rewriter, RateFor&& rate_for, Out* out) {
    size_t copied = 0;
    int status = kDone;
    visit_prefix(unit.data, end, [&](const Nal& u) {
        if (u.type != 7 || status != kDone) return;
        out->write(unit.data + copied, u.start - copied);
        Rate rate;
        if (!rewriter->parse(unit.data, u) || !rate_for(rewriter->timing(), &rate) || !rewriter->write(rate, out)) {
            std::fprintf(stderr, "kavrel: the SPS at offset %llu cannot be written again at the new rate\n",
                         static_cast<unsigned long long>(unit.offset + u.start));
            status = kRefused;
        }
        copied = u.end;
    });
    if (status == kDone) out->write(unit.data + copied, end - copied);
    return status;
}

// Each subcommand registers itself; the callbacks store their exit code in *status.
void register_probe(CLI::App& app, int* status);
void register_fps(CLI::App& app, int* status);
void register_double(CLI::App& app, int* status);
void register_rate(CLI::App& app, int* status);
void register_sar(CLI::App& app, int* status);
void register_fix_pps(CLI::App& app, int* status);

}  // namespace kavrel_cli
