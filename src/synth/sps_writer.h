// Sequence parameter set writer: seq_parameter_set_data() with its VUI and
// HRD parameters (ITU-T H.264 clause 7.3.2.1, Annex E.1), the inverse of the
// SPS parser.
#pragma once

#include <cstdint>

#include "syntax/seq_param_set.h"
#include "synth/slice_output.h"

namespace kavrel {

// Writes the RBSP of `sps` (rbsp_trailing_bits included) into `buffer`
// (capacity bytes). Returns its length in bytes, or -1 when it does not fit.
int32_t write_sps_rbsp(const SeqParamSet* sps, uint8_t* buffer, int32_t capacity);

// Writes vui_parameters() of `sps` as the parser kept it (Annex E.1.1);
// returns the bits written.
int32_t write_timing_vui(const SeqParamSet* sps, SliceOutput* output);

// Writes hrd_parameters() (Annex E.1.2); returns the bits written.
int32_t write_hrd_parameters(const HrdParameters* hrd, SliceOutput* output);

// Room for any SPS RBSP the writer produces: the longest set the parser
// accepts (255 POC offsets, eight scaling lists, two 32-entry HRDs, every
// value at its widest) stays below 4 KiB.
constexpr int32_t kSpsRbspCapacity = 8192;

// The set `sps` with its timing replaced: a VUI is added when it had none
// (carrying only timing), and timing_info_present_flag is set.
SeqParamSet with_timing(const SeqParamSet& sps, uint32_t num_units_in_tick, uint32_t time_scale);

}  // namespace kavrel
