// Helpers of the fuzz harness bodies: a reader of control bytes, exact-size
// output blocks with a fill pattern, and the frame walk of a real caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kavrel.h"

// Returns the description from the enclosing harness when `cond` fails.
#define FUZZ_CHECK(cond, what) do { if (!(cond)) return what; } while (0)

namespace kavrel_fuzz {

// Control values from the front of an input; past its end every value reads 0.
class ControlBytes {
public:
    ControlBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t u16() { return (static_cast<uint32_t>(u8()) << 8) | u8(); }
    uint32_t u32() { return (u16() << 16) | u16(); }
    const uint8_t* rest() const { return data_ + pos_; }
    size_t rest_size() const { return size_ - pos_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A heap block of exactly `size` bytes (a real allocation also for 0, so
// that AddressSanitizer reports any write), filled with a pattern.
class HeapBlock {
public:
    static constexpr uint8_t kFill = 0xA5;
    explicit HeapBlock(size_t size) : size_(size), data_(static_cast<uint8_t*>(std::malloc(size ? size : 1))) {
        if (!data_) std::abort();
        std::memset(data_, kFill, size);
    }
    HeapBlock(const uint8_t* bytes, size_t size) : HeapBlock(size) {
        if (size) std::memcpy(data_, bytes, size);
    }
    ~HeapBlock() { std::free(data_); }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
    uint8_t* data() { return data_; }
    size_t size() const { return size_; }
    bool untouched() const {
        for (size_t i = 0; i < size_; ++i)
            if (data_[i] != kFill) return false;
        return true;
    }

private:
    size_t size_;
    uint8_t* data_;
};

// 0 and the negative codes Kavrel_Start gives (-15 and -17 are not used).
inline bool is_parse_result(int32_t rc) { return rc == 0 || (rc >= -22 && rc <= -1 && rc != -15 && rc != -17); }

// Kavrel_Start on a fresh handle over exactly `size` bytes.
int32_t parse_once(const uint8_t* data, size_t size, FrameInfo* info = nullptr);

// A NAL unit behind a start code: header byte, then `rbsp` escaped (7.4.1).
void append_unit(std::vector<uint8_t>& out, uint8_t header, const uint8_t* rbsp, size_t size);

// What every Kavrel_Start result must satisfy for an input of `rest` bytes.
const char* check_frame_info(int32_t rc, const FrameInfo& info, size_t rest);

// Bytes a real caller takes as the frame at `pos`: what the library
// reported, the rest for the last frame, or after a failure everything up
// to the second start code.
size_t frame_step(const uint8_t* data, size_t size, size_t pos, int32_t rc, const FrameInfo& info);

// Kavrel_Start frame by frame over the input (each call given everything
// to its end), each result checked, then visit(rc, info, pos, len).
template <typename Visit>
const char* walk_frames(ParserHandle* handle, const uint8_t* data, size_t size, size_t max_frames, Visit&& visit) {
    size_t pos = 0;
    for (size_t n = 0; pos < size && n < max_frames; ++n) {
        const size_t rest = size - pos;
        FrameInput input{data + pos, static_cast<uint32_t>(rest)};
        FrameInfo info;
        std::memset(&info, 0x5C, sizeof info);
        const int32_t rc = Kavrel_Start(handle, &input, &info);
        if (const char* failed = check_frame_info(rc, info, rest)) return failed;
        const size_t step = frame_step(data, size, pos, rc, info);
        if (const char* failed = visit(rc, info, pos, step)) return failed;
        pos += step;
    }
    return nullptr;
}

}  // namespace kavrel_fuzz
