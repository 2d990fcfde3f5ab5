// CABAC encoding engine (ITU-T H.264 clause 9.3), encoder side, as far as
// an all-skipped P slice needs it: context variables and their
// initialisation for cabac_init_idc 0 (9.3.1.1), regular and terminating
// bins with renormalisation and outstanding bits (9.3.4.2 to 9.3.4.5), the
// flush at the end of the slice, and the element writer that slots into
// SliceOutput::write_element when entropy_coding_mode_flag is 1.
#pragma once

#include <cstdint>

#include "synth/arith_encoder.h"
#include "synth/bit_writer.h"
#include "synth/slice_output.h"

struct ParserHandle;

namespace kavrel {

// One context variable.
struct CabacContext {
    uint16_t state = 0;  // pStateIdx, 0..63
    uint8_t mps = 0;     // valMPS
};

// Contexts of the macroblock and motion syntax elements (94). Entries that
// hold no ctxIdx of the standard are fillers, initialised from (0, 64).
struct MotionInfo {
    CabacContext mb_type_ctx[3][11];     // [1][0..2] mb_skip_flag (P): ctxIdx 11..13
    CabacContext sub_mb_type_ctx[2][9];
    CabacContext mvd_ctx[2][10];
    CabacContext ref_idx_ctx[2][6];
    CabacContext qp_delta_ctx[4];
    CabacContext field_ctx[4];           // mb_field_decoding_flag
    CabacContext transform_8x8_ctx[3];
};

// Contexts of the texture (residual and intra) syntax elements (758).
struct TextureInfo {
    CabacContext intra_pred_ctx[2];
    CabacContext chroma_pred_ctx[4];
    CabacContext cbp_ctx[3][4];
    CabacContext coded_block_flag_ctx[10][4];
    CabacContext sig_ctx[10][15];
    CabacContext last_ctx[10][15];
    CabacContext abs_one_ctx[10][5];
    CabacContext abs_level_ctx[10][5];
    CabacContext field_sig_ctx[10][15];
    CabacContext field_last_ctx[10][15];
};

// The standard's tables: rangeTabLPS[pStateIdx][qCodIRangeIdx] (Table
// 9-44), the state transitions (Table 9-45), and the initialisation pairs
// (m, n) of cabac_init_idc 0 by ctxIdx 0..459 (Tables 9-12 to 9-33; entry
// 276 is unused).
extern const uint8_t kRangeTabLps[64][4];
extern const uint16_t kTransIdxLps[64];
extern const uint16_t kTransIdxMps[64];
constexpr int kInitPairCount = 460;
extern const int8_t kInitPairsIdc0[kInitPairCount][2];

// State of one context for (m, n) at SliceQP qp (clause 9.3.1.1; qp below 0
// counts as 0).
CabacContext init_context(int32_t m, int32_t n, int32_t qp);

// Initialises every context of both sets for cabac_init_idc 0 at qp.
void init_contexts(MotionInfo* motion, TextureInfo* texture, int32_t qp);

// Completes a partial byte of output->stream with cabac_alignment_one_bits
// and starts output->ArithEncoder on the same buffer behind it (clause
// 9.3.4.1). The encoder's context-set pointers are left as they are.
void start_arith(SliceOutput* output);

// One bin in regular mode with `context` (clause 9.3.4.2).
void encode_bin(ArithEncoder* encoder, uint16_t bin, CabacContext* context);
// One bin in terminate mode (end_of_slice_flag, clause 9.3.4.5).
void encode_terminate(ArithEncoder* encoder, uint16_t bin);
// Flushes the coder after encode_terminate(1) (clause 9.3.4.6), writing the
// rbsp_stop_one_bit and the alignment zero bits, and sets min_payload for a
// slice of mb_count macroblocks.
void finish_arith(ArithEncoder* encoder, int32_t mb_count);

// Element writer of CABAC slices: runs symbol->arith_writer with the
// output's coder and returns (and stores in symbol->length) the number of
// bits the output grew by, outstanding bits included.
int32_t write_cabac_element(ParserHandle* handle, SyntaxSymbol* symbol, SliceOutput* output, int32_t x, int32_t y);

// arith_writer of mb_skip_flag in a P slice: codes 1 when symbol->value is 0
// (skipped), else 0, with ctxIdx 11 of the encoder's MotionInfo. ctxIdxInc
// is 0 because in a picture where every macroblock is skipped no
// neighbour contributes (clause 9.3.3.1.1.1).
void write_skip_flag_cabac(ParserHandle* handle, SyntaxSymbol* symbol, ArithEncoder* encoder, int32_t x, int32_t y);

}  // namespace kavrel
