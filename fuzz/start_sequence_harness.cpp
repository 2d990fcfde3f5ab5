// (a) One handle, Kavrel_Start over the whole input frame by frame.
#include "fuzz_harness.h"
#include "harness_support.h"

namespace kavrel_fuzz {

const char* fuzz_start_sequence(const uint8_t* data, size_t size) {
    ParserHandle* handle = Kavrel_Open();
    if (!handle) return "Kavrel_Open failed";
    // Every result is checked inside the walk; nothing more per frame.
    const char* failed =
        walk_frames(handle, data, size, 4096, [](int32_t, const FrameInfo&, size_t, size_t) -> const char* {
            return nullptr;
        });
    Kavrel_Close(handle);
    return failed;
}

}  // namespace kavrel_fuzz
