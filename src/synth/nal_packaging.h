// NAL packaging (ITU-T H.264 clause 7.3.1 and Annex B): an RBSP escaped as
// NAL payload, and the four-byte start code with the NAL unit header byte.
#pragma once

#include <cstdint>

namespace kavrel {

// Start code 00 00 00 01 and the header byte in front of every unit written.
constexpr int32_t kNalPrefixBytes = 5;

// Writes 00 00 00 01 and the NAL unit header byte (forbidden_zero_bit 0,
// nal_ref_idc, nal_unit_type) to the kNalPrefixBytes bytes at out.
void write_nal_prefix(uint8_t* out, int32_t nal_ref_idc, int32_t nal_unit_type);

// Writes the `length` RBSP bytes at `rbsp` to `out` as NAL payload, with
// the emulation_prevention_three_bytes of clause 7.4.1. Returns the payload
// length, or -1 when it would not fit `capacity`. A null `out` only
// measures: the length, or -1, without writing anything.
int32_t escape_rbsp(const uint8_t* rbsp, int32_t length, uint8_t* out, int32_t capacity);

}  // namespace kavrel
