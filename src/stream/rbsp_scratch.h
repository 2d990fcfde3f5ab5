// The frame walk's RBSP work area: every NAL unit the walk unescapes is
// written there before it is read. The handle owns it and grows it to the
// largest access unit given, or borrows a caller's buffer for one call (the
// correction writes into its output buffer), which it never grows or frees.
#pragma once

#include <cstdint>

namespace kavrel {

constexpr int32_t kScratchInitialSize = 1 << 20;  // an owned work area at open

struct RbspScratch {
    uint8_t* data;
    int32_t capacity;  // bytes at data
    bool borrowed;     // data is the caller's
};

// An owned work area of kScratchInitialSize bytes; false when it cannot be had.
bool rbsp_scratch_open(RbspScratch& scratch);
// The caller's `buffer` of `capacity` bytes, for as long as the handle lives.
void rbsp_scratch_borrow(RbspScratch& scratch, uint8_t* buffer, int32_t capacity);
// Frees an owned work area.
void rbsp_scratch_close(RbspScratch& scratch);
// Room for `size` bytes: true when there is; else an owned area is replaced
// by one of `size` bytes (its contents are not kept), false when that
// cannot be had (no area is left then) or the area is borrowed (it stays).
bool rbsp_scratch_reserve(RbspScratch& scratch, int32_t size);

}  // namespace kavrel
