// CABAC encoding engine (ITU-T H.264 clause 9.3), encoder side, as far as
// an all-skipped P slice needs it: the mb_skip_flag context and its
// initialisation for cabac_init_idc 0 (9.3.1.1), regular and terminating
// bins with renormalisation and outstanding bits (9.3.4.2 to 9.3.4.5), the
// flush at the end of the slice, and the element writer that slots into
// SliceOutput::write_element when entropy_coding_mode_flag is 1.
#pragma once

#include <cstdint>

#include "synth/arith_encoder.h"
#include "synth/syntax_symbol.h"
#include "synth/slice_output.h"

struct ParserHandle;

namespace kavrel {

// The standard's tables: rangeTabLPS[pStateIdx][qCodIRangeIdx] (Table
// 9-44) and the state transitions (Table 9-45).
extern const uint8_t kRangeTabLps[64][4];
extern const uint16_t kTransIdxLps[64];
extern const uint16_t kTransIdxMps[64];

// State of one context for (m, n) at SliceQP qp (clause 9.3.1.1; qp below 0
// counts as 0).
CabacContext init_context(int32_t m, int32_t n, int32_t qp);

// Initialises the encoder's context for cabac_init_idc 0 at qp.
void init_contexts(ArithEncoder* encoder, int32_t qp);

// Completes a partial byte of output->stream with cabac_alignment_one_bits
// and starts output->ArithEncoder on the same stream behind it (clause
// 9.3.4.1). The encoder's context is left as it is.
void start_arith(SliceOutput* output);

// One bin in regular mode with `context` (clause 9.3.4.2).
void encode_bin(ArithEncoder* encoder, uint16_t bin, CabacContext* context);
// One bin in terminate mode (end_of_slice_flag, clause 9.3.4.5).
void encode_terminate(ArithEncoder* encoder, uint16_t bin);
// Flushes the coder after encode_terminate(1) (clause 9.3.4.6), writing the
// rbsp_stop_one_bit and the alignment zero bits, and sets min_payload for a
// slice of mb_count macroblocks. The stream is byte aligned afterwards.
void finish_arith(ArithEncoder* encoder, int32_t mb_count);

// Element writer of CABAC slices: runs symbol->arith_writer with the
// output's coder and returns (and stores in symbol->length) the number of
// bits the output grew by, outstanding bits included.
int32_t write_cabac_element(ParserHandle* handle, SyntaxSymbol* symbol, SliceOutput* output, int32_t x, int32_t y);

// arith_writer of mb_skip_flag in a P slice: codes 1 when symbol->value is 0
// (skipped), else 0, with the encoder's skip_ctx (ctxIdx 11). ctxIdxInc
// is 0 because in a picture where every macroblock is skipped no
// neighbour contributes (clause 9.3.3.1.1.1).
void write_skip_flag_cabac(ParserHandle* handle, SyntaxSymbol* symbol, ArithEncoder* encoder, int32_t x, int32_t y);

}  // namespace kavrel
