// The repeat frame: one non-reference P slice (nal_unit_type 1, nal_ref_idc
// 0) in which every macroblock is skipped, numbered one step after the last
// parsed picture, so that a decoder shows the most recent reference picture
// again (ITU-T H.264 clauses 7.3.3, 7.3.4, 8.4.1.1).
#pragma once

#include <cstdint>

#include "synth/bit_writer.h"
#include "synth/cabac_engine.h"
#include "synth/slice_output.h"

struct ParserHandle;

namespace kavrel {

// Working records of one call, from malloc_slice to free_slice.
struct RepeatSlice {
    SliceOutput* output = nullptr;   // stream and, with CABAC, the coder
    MotionInfo* motion = nullptr;    // CABAC only
    TextureInfo* texture = nullptr;  // CABAC only
    SyntaxSymbol symbol;             // the slice-data element
    int32_t mb_count = 0;            // macroblocks of the picture
    int32_t capacity = 0;            // bytes of the StreamBuffer
};

// Macroblocks of the picture being repeated: PicWidthInMbs x
// PicHeightInMapUnits for a field, PicWidthInMbs x FrameHeightInMbs for a
// frame.
int32_t repeat_mb_count(const ParserHandle* handle);
// frame_num of the repeat: (frame_num of the last reference picture + 1)
// modulo MaxFrameNum (clause 7.4.3).
int32_t repeat_frame_num(const ParserHandle* handle);
// Bytes of slice payload the repeat can take at most, escaped and stuffed.
int32_t repeat_payload_bound(const ParserHandle* handle);
// 0 when the handle holds what a repeat needs, else -1 after a message:
// an SPS, a PPS and a slice parsed, one slice group, a reference picture.
int32_t check_repeat_state(const ParserHandle* handle);

// Allocates the working records; false (after the allocation's message,
// with what was allocated released) when memory is short.
bool malloc_slice(ParserHandle* handle, RepeatSlice* slice);
// Writes the slice header; with CABAC then aligns, starts the coder and
// initialises the contexts.
void write_repeat_header(ParserHandle* handle, RepeatSlice* slice);
// Writes the slice data and the end of the RBSP, and turns the bytes into
// NAL payload. 0, or -1 when a buffer overflowed.
int32_t write_repeat_data(ParserHandle* handle, RepeatSlice* slice);
// Releases what malloc_slice allocated (each only if present).
void free_slice(RepeatSlice* slice);

// The whole call: the NAL unit into out (capacity bytes). Bytes written, or
// -1 with nothing written.
int32_t write_repeat_frame(ParserHandle* handle, uint8_t* out, int32_t capacity);
// The same into a buffer the caller sized for the largest unit (H264_Enc_Double_Frame).
int32_t write_repeat_frame(ParserHandle* handle, uint8_t* out);

}  // namespace kavrel
