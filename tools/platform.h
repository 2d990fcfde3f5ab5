// The few operating-system calls of the tool: opening and reading the
// input, writing the output through a temporary file that is renamed
// over it, and asking whether standard error is a terminal. POSIX on Linux,
// the C runtime and Win32 on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kavrel_cli::platform {

struct InFile {
    int fd = -1;
    bool regular = false;  // a regular file: its size is known
    uint64_t size = 0;
};

// Opens `path` ("-" is standard input); false with *error set.
bool open_input(const std::string& path, InFile* file, std::string* error);
void close_input(InFile* file);
// Up to `n` bytes; 0 at the end, -1 on error.
int64_t read_some(const InFile& file, uint8_t* buffer, size_t n);

// `n` bytes for reading into, on huge pages where the system has them (a
// buffer read into and scanned again and again costs fewer page faults and
// TLB misses); nullptr when out of memory. Released with free_buffer.
uint8_t* alloc_buffer(size_t n);
void free_buffer(uint8_t* buffer);

struct OutFile {
    int fd = -1;
    std::string path;       // what the user named
    std::string temp_path;  // empty when writing straight to `path` or to standard output
};

// Opens OUT for writing: "-" is standard output; a device or pipe is
// written directly; anything else through a new temporary file in OUT's
// directory. A write-protected OUT is refused unless `force`. False with
// *error set.
bool open_output(const std::string& path, OutFile* file, std::string* error, bool force);
bool write_all(const OutFile& file, const uint8_t* data, size_t n);
// Flushes to disk, closes and renames the temporary file over OUT.
bool commit_output(OutFile* file, std::string* error);
// Closes and removes the temporary file.
void discard_output(OutFile* file);

bool stderr_is_terminal();

}  // namespace kavrel_cli::platform
