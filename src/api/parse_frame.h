// The frame parsing driver: walks the NAL units of one access unit, decides
// where the frame ends and dispatches parameter sets and slices.
#pragma once

#include <cstdint>

#include "api/parser_handle.h"

namespace kavrel {

// Where the correction step finds the frame's parameter sets.
struct FrameSets {
    const uint8_t* sps_ptr;     // RBSP of the last SPS of the frame (null: none)
    int32_t sps_len;            // its byte length, -1 when none
    const uint8_t* pps_ptr;     // RBSP of the last PPS of the frame (null: none)
    int32_t pps_len;
    const uint8_t* tail_ptr;    // input just after the last PPS NAL unit
    int32_t tail_len;           // input bytes from tail_ptr to the end
    int32_t sps_nal_pos;        // header byte position of the last SPS unit (-1: none)
    int32_t sps_nal_len;        // input bytes of that unit from its header byte
    int32_t pps_nal_pos;
    int32_t pps_nal_len;
    uint8_t sps_copy[512];      // private SPS copy in correction mode 2
};

// Parses one access unit. With `sets` null (Kavrel_Start) writes the bytes
// taken to *out_length and returns 0 or a negative code. With `sets` given
// (correction) fills it at the frame end instead and returns 0; the caller
// continues with the correction step.
int32_t parse_frame(ParserHandle* handle, const uint8_t* data, int32_t size, uint8_t* rbsp_buffer,
                    int32_t rbsp_capacity, uint32_t* out_length, FrameSets* sets);

}  // namespace kavrel
