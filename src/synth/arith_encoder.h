// State of the CABAC arithmetic encoder (ITU-T H.264 clause 9.3.4) for one
// slice. The coding routines live with the CABAC engine.
#pragma once

#include <cstdint>

namespace kavrel {

struct MotionInfo;
struct TextureInfo;

struct ArithEncoder {
    uint32_t low = 0;               // codILow
    uint32_t range = 510;           // codIRange
    uint32_t bit_buffer = 0;        // bits of the next output byte
    int32_t bits_left = 9;          // bits to come before bit_buffer is stored
    uint32_t bits_outstanding = 0;  // the standard's bitsOutstanding
    uint8_t* code = nullptr;        // the slice's StreamBuffer
    int32_t* code_len = nullptr;    // the Bitstream's byte_count
    uint32_t bins = 0;              // bins coded since the start of the slice
    int32_t min_payload = 0;        // least NAL payload bytes (set by finish_arith)
    int32_t capacity = 0;           // bytes available at `code`
    bool overflow = false;          // a byte would have gone past capacity
    MotionInfo* motion = nullptr;   // the context sets the element writers code with
    TextureInfo* texture = nullptr;
};

}  // namespace kavrel
