// The repeat frame: one non-reference P slice (nal_unit_type 1, nal_ref_idc
// 0) in which every macroblock is skipped, numbered one step after the last
// parsed picture, so that a decoder shows the most recent reference picture
// again (ITU-T H.264 clauses 7.3.3, 7.3.4, 8.4.1.1).
#pragma once

#include <cstdint>

#include "synth/syntax_symbol.h"
#include "synth/slice_output.h"

struct ParserHandle;

namespace kavrel {

// Working records of one call, on its stack. The slice is written as NAL
// payload straight into the caller's buffer, or only measured.
struct RepeatSlice {
    Bitstream stream;     // the escaped payload
    SliceOutput output;   // writes to `stream`; with CABAC, the coder
    SyntaxSymbol symbol;  // the slice-data element
    int32_t mb_count = 0; // macroblocks of the picture
    // CurrPicNum - PicNum of the picture to repeat when it is not the
    // default RefPicList0[0] (ref_pic_list_modification names it); 0 when it is.
    int32_t pic_num_diff = 0;
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
// Why the handle's stream cannot take a repeat now (it needs an SPS, a PPS
// and a slice parsed, one slice group, a reference picture, ...), or null
// when it can.
const char* repeat_refusal(const ParserHandle* handle);
// 0 when repeat_refusal gives none, else -1 after its message.
int32_t check_repeat_state(const ParserHandle* handle);

// Sets the records up to write the payload to `buffer` (null: measure
// only), at most `capacity` bytes, with the element writer of the active
// PPS's entropy coder.
void start_slice(ParserHandle* handle, RepeatSlice* slice, uint8_t* buffer, int32_t capacity);
// Writes the slice header; with CABAC then aligns, starts the coder and
// initialises its context.
void write_repeat_header(ParserHandle* handle, RepeatSlice* slice);
// Writes the slice data, the end of the RBSP and, with CABAC, the
// cabac_zero_words the bin count asks for. 0, or -1 when the payload went
// past the capacity.
int32_t write_repeat_data(ParserHandle* handle, RepeatSlice* slice);

// The NAL unit of the repeat as the handle's state describes it, without
// the checks of repeat_refusal, with `pic_num_diff` as in RepeatSlice: bytes
// written, or -1 with nothing written when it does not fit.
int32_t write_repeat_unit(ParserHandle* handle, uint8_t* out, int32_t capacity, int32_t pic_num_diff);

// The whole call: the NAL unit into out (capacity bytes). Bytes written, or
// -1 with nothing written. Nothing is allocated.
int32_t write_repeat_frame(ParserHandle* handle, uint8_t* out, int32_t capacity);
// The same into a buffer the caller sized for the largest unit (H264_Enc_Double_Frame).
int32_t write_repeat_frame(ParserHandle* handle, uint8_t* out);

}  // namespace kavrel
