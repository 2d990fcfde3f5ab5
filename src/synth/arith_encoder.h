// State of the CABAC arithmetic encoder (ITU-T H.264 clause 9.3.4) for one
// slice. The coding routines live with the CABAC engine.
#pragma once

#include <cstdint>

namespace kavrel {

struct Bitstream;

// One context variable.
struct CabacContext {
    uint16_t state = 0;  // pStateIdx, 0..63
    uint8_t mps = 0;     // valMPS
};

struct ArithEncoder {
    uint32_t low = 0;               // codILow
    uint32_t range = 510;           // codIRange
    bool first_bit = true;          // the standard's firstBitFlag: the first bit is not output
    uint32_t bits_outstanding = 0;  // the standard's bitsOutstanding
    Bitstream* stream = nullptr;    // the slice's Bitstream, written behind the slice header
    uint32_t bins = 0;              // bins coded since the start of the slice
    int32_t min_payload = 0;        // least NAL payload bytes (set by finish_arith)
    // The one context an all-skipped P slice codes with: mb_skip_flag with
    // ctxIdxInc 0 (ctxIdx 11).
    CabacContext skip_ctx;
};

}  // namespace kavrel
