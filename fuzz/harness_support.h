// Helpers of the fuzz harness bodies: a reader of control bytes, exact-size
// output blocks with a fill pattern, and the frame walk of a real caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kavrel.h"
#include "syntax/seq_param_set.h"

// Returns the description from the enclosing harness when `cond` fails.
#define FUZZ_CHECK(cond, what) \
    do {                       \
        if (!(cond)) return what; \
    } while (0)

namespace kavrel_fuzz {

// Reads control values from the front of an input; past its end every
// value reads as 0. rest() is what remains.
class ControlBytes {
public:
    ControlBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t u16() {
        const uint32_t hi = u8();
        return (hi << 8) | u8();
    }
    uint32_t u32() {
        const uint32_t hi = u16();
        return (hi << 16) | u16();
    }
    const uint8_t* rest() const { return data_ + pos_; }
    size_t rest_size() const { return size_ - pos_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A heap block of exactly `size` bytes, filled with a pattern so that a
// refusal can be checked for having written nothing. A block of 0 bytes is
// a real zero-size allocation: AddressSanitizer and valgrind report any
// write to it.
class HeapBlock {
public:
    static constexpr uint8_t kFill = 0xA5;
    explicit HeapBlock(size_t size) : size_(size), data_(static_cast<uint8_t*>(std::malloc(size))) {
        if (!data_) std::abort();  // a harness without memory cannot check anything
        if (size) std::memset(data_, kFill, size);
    }
    // A block holding a copy of `size` bytes at `bytes`.
    HeapBlock(const uint8_t* bytes, size_t size) : HeapBlock(size) {
        if (size) std::memcpy(data_, bytes, size);
    }
    ~HeapBlock() { std::free(data_); }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool untouched() const {
        for (size_t i = 0; i < size_; ++i) {
            if (data_[i] != kFill) return false;
        }
        return true;
    }

private:
    size_t size_;
    uint8_t* data_;
};

// The results Kavrel_Start may give: 0 and the parsers' and the driver's
// negative codes (-15 and -17 are not used).
bool is_parse_result(int32_t rc);

// Position of the next 00 00 01 at or after `from`, or `size`.
size_t next_start_code(const uint8_t* data, size_t size, size_t from);

// Bytes a real caller takes as the frame just parsed at `pos`: what the
// library reported, or the rest of the input for the last frame (whose
// final bytes the library's start-code search does not reach); after a
// failure, everything up to the start code after the one that began it.
size_t frame_step(const uint8_t* data, size_t size, size_t pos, int32_t rc, const FrameInfo& info);

// The reader decodes Exp-Golomb codes from a 32-bit window (clause 9.1 over
// the window, by design): read_ue/read_se lose the lowest info bits of a
// code with 13 or more leading zeros when it starts late in its byte, and
// every form misplaces the end of a code with 25 or more. A set holding
// such a value cannot be expected to read back as written; the
// write-and-read-back checks leave those sets out.
bool codes_fit_window(const kavrel::SeqParamSet& sps);

// Checks what every Kavrel_Start result must satisfy for an input of
// `rest` bytes. Null when it holds.
const char* check_frame_info(int32_t rc, const FrameInfo& info, size_t rest);

// Calls Kavrel_Start on `handle` for every frame of the input as a real
// caller does (the input of each call runs to the end of `data`, so reads
// past it reach past the block), checks each result, then calls
// visit(rc, info, frame_pos, frame_len) -> const char*. At most
// `max_frames` calls. Returns the first failed property, or null.
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
