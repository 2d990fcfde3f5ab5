// Walks an input access unit by access unit with Kavrel_Start, handing the
// library a window of the input (the largest unit so far plus a margin) and
// widening it when a unit reaches the window's edge. A container's video
// packets (Annex B, from Container) are handed to the library one at a time.
#pragma once

#include <chrono>
#include <cstdint>

#include "container_io.h"
#include "kavrel.h"
#include "stream_io.h"

namespace kavrel_cli {

struct Unit {
    uint64_t offset = 0;
    const uint8_t* data = nullptr;  // valid until the next unit
    uint32_t size = 0;
    int32_t result = 0;
    FrameInfo info{};
    bool picture = false;  // holds a slice (and parsed)
    bool leading = false;  // failed before the first picture parsed: a mid-GOP start
    uint32_t extent = 0;   // a container's unit: its size in the Annex B extraction, which gives
                           // the zero_byte of a 4-byte start code to the unit before (0: `size`)
    uint32_t listed() const { return extent ? extent : size; }
    uint64_t index = 0;    // input access unit k (a container's packet k); the sink's unit number
    int64_t pts = kNoTime, dts = kNoTime;  // the container's, in its video time base
};

class UnitWalker {
public:
    // `packets`: the input is a container read through it (offsets are then
    // those of the video extracted as Annex B); null for Annex B input.
    UnitWalker(InputWindow* input, ParserHandle* handle, Container* packets = nullptr);
    ~UnitWalker();
    // The next access unit; false at the end of the input or on a read
    // error (then io_error()). After a failure the walk resumes at the next
    // start code.
    bool next(Unit* unit);
    bool io_error() const { return io_error_; }
    uint64_t pictures() const { return pictures_; }
    // Ends the progress line, if one is shown, so that messages start on a line of their own.
    void end_progress();
    // Bytes before the first start code that are not zero_bytes.
    uint64_t leading_garbage() const { return garbage_; }

private:
    bool next_in_packet(Unit* unit);
    void show_progress();
    Container* packets_;
    Packet packet_{};
    size_t packet_pos_ = 0;
    uint64_t stream_offset_ = 0;  // of packet_ in the Annex B extraction
    InputWindow* input_;
    ParserHandle* handle_;
    uint64_t pos_ = 0;
    size_t largest_ = 0;
    uint64_t pictures_ = 0;
    uint64_t garbage_ = 0;
    uint64_t units_ = 0;
    bool io_error_ = false;
    bool started_ = false;
    bool progress_shown_ = false;
    std::chrono::steady_clock::time_point begin_, last_shown_;
};

}  // namespace kavrel_cli
