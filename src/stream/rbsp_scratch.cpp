#include "stream/rbsp_scratch.h"

#include <cstdlib>

namespace kavrel {

bool rbsp_scratch_open(RbspScratch& scratch) {
    scratch.data = static_cast<uint8_t*>(std::malloc(kScratchInitialSize));
    scratch.capacity = scratch.data ? kScratchInitialSize : 0;
    scratch.borrowed = false;
    return scratch.data != nullptr;
}

void rbsp_scratch_borrow(RbspScratch& scratch, uint8_t* buffer, int32_t capacity) {
    scratch.data = buffer;
    scratch.capacity = capacity;
    scratch.borrowed = true;
}

void rbsp_scratch_close(RbspScratch& scratch) {
    if (!scratch.borrowed) std::free(scratch.data);
    scratch.data = nullptr;
    scratch.capacity = 0;
}

bool rbsp_scratch_reserve(RbspScratch& scratch, int32_t size) {
    if (size <= scratch.capacity) return true;
    if (scratch.borrowed) return false;
    // Every RBSP is written before it is read: the old contents need not
    // be carried over.
    std::free(scratch.data);
    scratch.data = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
    scratch.capacity = scratch.data ? size : 0;
    return scratch.data != nullptr;
}

}  // namespace kavrel
