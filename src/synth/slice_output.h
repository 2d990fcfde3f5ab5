// The record that slice element writers write through: the Bitstream, the
// arithmetic coder working on the same buffer, and the element writer chosen
// by entropy_coding_mode_flag.
#pragma once

#include "synth/arith_encoder.h"
#include "synth/syntax_symbol.h"

namespace kavrel {

struct SliceOutput {
    Bitstream* stream = nullptr;
    ::kavrel::ArithEncoder ArithEncoder;  // the coder state (qualified: the member shares its name)
    ElementWriterFn write_element = nullptr;  // write_mapped (CAVLC) or write_cabac_element
};

}  // namespace kavrel
