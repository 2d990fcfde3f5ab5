// The frame parsing driver: walks the NAL units of one access unit, decides
// where the frame ends and dispatches parameter sets and slices.
#pragma once

#include <cstdint>

#include "stream/parser_handle.h"

namespace kavrel {

// What the correction step needs of the frame's parameter sets. The RBSP
// buffer is overwritten by every NAL unit, so the last SPS and PPS are kept
// in copies of the caller's.
struct FrameSets {
    int32_t correction_mode = 0;   // the request's: 2 limits the SPS to 511 bytes
    uint8_t* sps_copy = nullptr;   // receives the last SPS RBSP (correction_mode 2: at most 511 bytes)
    int32_t sps_copy_capacity = 0;
    uint8_t* pps_copy = nullptr;   // receives the last PPS RBSP when it fits
    int32_t pps_copy_capacity = 0;

    int32_t sps_len = -1;          // syntax bytes of the last SPS, -1 when none
    int32_t sps_bits = 0;          // its syntax bits (before the rbsp_stop_one_bit)
    int32_t sps_id = -1;           // its seq_parameter_set_id
    int32_t pps_len = -1;          // syntax bytes of the last PPS, -1 when none
    bool pps_copied = false;       // pps_copy holds it (it fitted)
    int32_t sps_nal_pos = -1;      // header byte position of the last SPS unit in the input
    int32_t sps_nal_len = 0;       // input bytes of that unit from its header byte
    int32_t pps_nal_pos = -1;
    int32_t pps_nal_len = 0;
    // The aspect ratio the frame's SPSs give, in order: the first with
    // sar_width and sar_height both non-zero, else the last one's.
    int32_t sar_width = 0;
    int32_t sar_height = 0;
};

// Parses one access unit (Kavrel_Start): writes the bytes taken to
// *out_length and returns kOk, or returns why it stopped.
Status parse_frame(ParserHandle* handle, const uint8_t* data, int32_t size, uint32_t* out_length);

// Parses one access unit for the correction: every unit's RBSP is written
// to the handle's work area, and `sets` is filled at the frame's end. kOk
// or why it stopped; the caller continues with the correction step.
Status parse_frame_sets(ParserHandle* handle, const uint8_t* data, int32_t size, FrameSets& sets);

}  // namespace kavrel
