// Fuzz harness bodies, shared by the libFuzzer targets (fuzz_entry.cc) and
// by the replay of the committed corpora in the unit tests.
//
// Each body runs one input through the library and checks what must hold
// whatever the input: results from the documented sets, bounded writes
// (every output buffer is a heap block of exactly its stated size, so
// AddressSanitizer sees an overrun), nothing written on refusal, and the
// units the library writes parse back. A body returns null when everything
// held, else a short description of the first property that failed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavrel_fuzz {

using HarnessFn = const char* (*)(const uint8_t* data, size_t size);

// (a) Kavrel_Start called over the input frame by frame on one handle,
// advancing as a real caller does; each frame also given in pieces to
// Kavrel_Start_Stream on a second handle, which must give the same.
const char* fuzz_start_sequence(const uint8_t* data, size_t size);
// (b) Kavrel_enc_h264Correct on one frame with fuzzed mode, SAR and output
// capacity (control bytes first, then the frame).
const char* fuzz_correction(const uint8_t* data, size_t size);
// (c) A stream parsed frame by frame with H264_Enc_Iframe_Rate and
// H264_Enc_Double_Frame_Sized after every frame (control bytes first).
const char* fuzz_synthesis(const uint8_t* data, size_t size);
// (d) Fuzzed SPS, PPS and slice RBSPs made into units for Kavrel_Start;
// an SPS that parses is written again and must read back the same.
const char* fuzz_rbsp_parsers(const uint8_t* data, size_t size);

struct Harness {
    const char* name;  // also the folder of its corpus and reproducers
    HarnessFn run;
};
inline constexpr Harness kHarnesses[] = {
    {"start", fuzz_start_sequence},
    {"correct", fuzz_correction},
    {"synth", fuzz_synthesis},
    {"rbsp", fuzz_rbsp_parsers},
};

}  // namespace kavrel_fuzz
