// Bounded-memory input and safe output for the subcommands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "container_io.h"
#include "platform.h"

namespace kavrel_cli {

// A sliding window over the input: a buffer refilled by reads. Positions
// only move forward. (Reading a regular file from the page cache into one
// buffer that stays in the processor's caches took a third of the time of
// mapping it window by window: every freshly mapped page costs a fault or a
// table walk.)
class InputWindow {
public:
    InputWindow() = default;
    InputWindow(const InputWindow&) = delete;
    InputWindow& operator=(const InputWindow&) = delete;
    ~InputWindow();

    // Opens `path` ("-" is standard input); false with a message on stderr.
    bool open(const std::string& path);
    // Bytes from `pos` on: at least `want` of them unless the input ends
    // sooner (then all that is left). Valid until the next call. nullptr
    // with a message on stderr on a read error.
    const uint8_t* view(uint64_t pos, size_t want, size_t* available);
    // True when `pos` is known to be the end of the input.
    bool ends_at(uint64_t pos) const { return end_known_ && pos >= end_; }
    uint64_t size() const { return file_.regular ? file_.size : 0; }
    const std::string& name() const { return name_; }
    // Frees the buffer and closes the file (a container read by libavformat
    // from its path); size() and name() stay.
    void close();

private:
    platform::InFile file_;
    std::string name_;
    bool end_known_ = false;
    uint64_t end_ = 0;
    // Read buffer: buffer_[0] is byte buffer_offset_ of the input.
    uint8_t* buffer_ = nullptr;  // platform::alloc_buffer
    size_t capacity_ = 0;
    uint64_t buffer_offset_ = 0;
    size_t buffer_length_ = 0;
};

// OUT written through a buffer; on success renamed into place by finish(),
// otherwise (or when destroyed unfinished) the temporary file is removed.
// With a container attached, the bytes written are access units of its
// video stream: begin_unit() says which unit each belongs to (for Annex B
// OUT it does nothing).
class OutputStream {
public:
    OutputStream() = default;
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;
    ~OutputStream();

    // False with a message on stderr; `force`: also over a write-protected file.
    bool open(const std::string& path, bool force);
    void write(const uint8_t* data, size_t n);
    // What the bytes written from now on are: input access unit k (as it
    // is, or modified), a unit inserted after input unit k that shows the
    // picture of input unit `of` again (UnitRole::Repeat; `of` defaults to
    // k), or parameter sets put in front of the next unit.
    void begin_unit(UnitRole role, uint64_t k, uint64_t of = UINT64_MAX) {
        if (container_) container_->begin_unit(role, k, of);
    }
    // The rate the output runs at (a container's video stream announces it).
    void set_frame_rate(Rate rate) {
        if (container_) container_->set_frame_rate(rate);
    }
    // Writes the video units into `container` as `format` (a name from
    // output_format_name) instead of Annex B; false with a message.
    bool attach(Container* container, const std::string& format);
    bool failed() const { return failed_; }
    uint64_t written() const { return written_; }
    // Flushes, closes and renames; false with a message on stderr.
    bool finish();

private:
    bool flush();
    void fail();
    platform::OutFile file_;
    Container* container_ = nullptr;
    std::vector<uint8_t> buffer_;
    bool open_ = false;
    bool failed_ = false;
    int error_ = 0;
    uint64_t written_ = 0;
};

// The smallest window ahead of the walk: KAVREL_WINDOW (bytes) in the
// environment, else 4 MiB. A small one makes the tests cross window edges.
size_t window_bytes();

}  // namespace kavrel_cli
