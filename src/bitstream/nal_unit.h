// NAL unit layer (ITU-T H.264 clause 7.3.1, 7.4.1): header checks, the end
// of a NAL unit in an Annex B byte stream, removal of
// emulation_prevention_three_byte, and the stored parameter-set copies.
#pragma once

#include <cstdint>

struct ParserHandle;

namespace kavrel {

// Checks the header at nal[0] (diagnostics as documented), stores
// nal_ref_idc / nal_unit_type in the handle, finds where the NAL unit ends
// within `length` input bytes and writes its RBSP to `buffer` (which must
// hold at least length - 1 bytes). On success returns `buffer`, with
// *rbsp_len the RBSP bytes and *consumed the input bytes of the unit counted
// from the header byte. Returns null for an IDR unit with nal_ref_idc 0 or a
// null buffer.
uint8_t* read_nal_unit(ParserHandle* handle, const uint8_t* nal, int32_t* rbsp_len,
                       int32_t* consumed, int32_t length, uint8_t* buffer);

// Keeps a copy of a parameter set's RBSP: index 0 SPS, 1 PPS. 0 or -10.
int32_t store_param_set(ParserHandle* handle, const uint8_t* bytes, int32_t len, int index);

}  // namespace kavrel
