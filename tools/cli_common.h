// Plumbing shared by the kavrel subcommands.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "kavrel.h"

namespace kavrel_cli {

using Bytes = std::vector<uint8_t>;

// Reads a whole file; false (with a one-line message on stderr) when it cannot.
bool read_input(const std::string& path, Bytes* out);
// Writes a whole file; false (with a one-line message on stderr) when it cannot.
bool write_output(const std::string& path, const Bytes& data);

// One access unit as the library split it.
struct AccessUnit {
    size_t offset = 0;
    uint32_t size = 0;  // bytes taken (consumed, or the rest of the file at its end)
    int32_t result = 0;
    FrameInfo info{};
};

// One NAL unit inside an access unit.
struct NalUnit {
    size_t start = 0;   // first byte of its start code (a leading zero included)
    size_t header = 0;  // the NAL header byte
    size_t end = 0;     // past its last byte, trailing zero bytes excluded
    uint8_t type = 0;
    uint8_t ref_idc = 0;
};

// The NAL units that start in [begin, end).
std::vector<NalUnit> split_units(const Bytes& data, size_t begin, size_t end);

// "N" or "N/D" with positive integers below 2^32.
bool parse_rate(const std::string& text, uint32_t* num, uint32_t* den);

// Parses the SPS unit `u` on its own on `handle` (a handle kept for this);
// false when the library refuses it. The set is then the handle's active one.
bool parse_sps_unit(ParserHandle* handle, const Bytes& data, const NalUnit& u);

// Appends the active SPS of `handle` written again for num/den frames per
// second (reduced); false when the library refuses.
bool append_sps_at_rate(ParserHandle* handle, uint64_t num, uint64_t den, Bytes* out);

// Walks `data` with Kavrel_Start on `handle`, advancing by `consumed`, and
// calls `visit` for each access unit; stops at the first failure unless
// keep_going, in which case it resumes at the next start code. Returns the
// number of failed units.
template <typename Visit>
int walk_stream(ParserHandle* handle, const Bytes& data, bool keep_going, Visit&& visit);

// Each subcommand registers itself on the application.
void register_probe(CLI::App& app);
void register_fps(CLI::App& app);
void register_double(CLI::App& app);
void register_sar(CLI::App& app);
void register_fix_pps(CLI::App& app);

}  // namespace kavrel_cli

#include "cli_walk.inl"
