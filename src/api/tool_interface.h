// What the kavrel tool takes from the library beyond kavrel.h: the
// byte-stream scan, the parameter sets described by the library's own
// readers, the SPS unit at a new rate and a PPS written by its own
// writers, and why a correction was refused. Plain records and free
// functions; no layer's header is seen through this one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kavrel.h"

namespace kavrel {

// The fields of seq_parameter_set_data() (ITU-T H.264 clause 7.3.2.1.1) and
// of its VUI (E.1.1) that the tool reports or acts on. A flag the data
// ended before reads as 0.
struct SpsFacts {
    int32_t profile_idc = -1;
    int32_t constraint_flags = 0;  // constraint_set0_flag .. reserved_zero_4bits, as one byte
    int32_t level_idc = -1;
    // The level as Table A-1 numbers it: level_idc, or 9 for level 1b
    // (level_idc 11 with constraint_set3_flag in a Baseline, Main or
    // Extended set, clause A.3.1).
    int32_t level = -1;
    int32_t seq_parameter_set_id = 0;
    int32_t chroma_format_idc = 1;
    int32_t bit_depth_luma = 8;    // bit_depth_luma_minus8 + 8
    int32_t bit_depth_chroma = 8;
    bool qpprime_y_zero_transform_bypass_flag = false;
    int32_t pic_width_in_mbs = 0;
    int32_t pic_height_in_map_units = 0;
    bool frame_mbs_only_flag = true;
    bool timing_info_present_flag = false;
    uint32_t num_units_in_tick = 0;
    uint32_t time_scale = 0;
    bool fixed_frame_rate_flag = false;
    bool hrd_parameters_present = false;  // NAL or VCL HRD parameters
    bool pic_struct_present_flag = false;
    int32_t pic_order_cnt_type = 0;
    int32_t max_num_reorder_frames = -1;  // -1 without bitstream_restriction_flag
};

// The start-code scan the parser walks a byte stream with (Annex B.2):
// the offset of the first 00 00 01 at or after `from` whose three bytes lie
// within `size`, or `size` when there is none.
size_t next_start_code(const uint8_t* data, size_t size, size_t from);

// Describes the SPS RBSP of `size` bytes (FrameInfo.sps_data): false when
// the library's reader refuses a range on the way to the VUI, or the RBSP
// ends before the HRD flags. Prints nothing.
bool describe_sps(const uint8_t* rbsp, size_t size, SpsFacts* out);
// The same for the SPS NAL unit of `size` bytes from its header byte on,
// emulation prevention bytes included.
bool describe_sps_unit(const uint8_t* nal, size_t size, SpsFacts* out);
// seq_parameter_set_id of the PPS NAL unit of `size` bytes from its header
// byte on; -1 when it cannot be read or lies above 31.
int32_t pps_seq_parameter_set_id(const uint8_t* nal, size_t size);

// A PPS NAL unit (header byte on, no start code) that names SPS `sps_id`
// (0..31) and nothing else: CAVLC, one slice group, one reference index
// each way, no weighted prediction, QP 26, offsets 0, no tail. Its length,
// or -1 when it does not fit `capacity`.
int32_t write_plain_pps_unit(int32_t sps_id, uint8_t* out, size_t capacity);

// What Kavrel_enc_h264Correct returned and, for a negative result, the
// message it printed for it, without its "[VsKavrel]:" tag and line ends
// (empty when it printed none).
struct CorrectionOutcome {
    int32_t code = 0;
    char reason[256] = {};
};
// Kavrel_enc_h264Correct on `request`, printing what it prints.
CorrectionOutcome correct_access_unit(CorrectionRequest* request);

// H264_Enc_Iframe_Rate, with level_idc written as `level_idc` (a Baseline,
// Main or Extended set at level 1b, level_idc 11 with constraint_set3_flag,
// loses that flag) by the library's own SPS writer. Prints what
// H264_Enc_Iframe_Rate prints; the unit's length, or -1 (nothing written).
int32_t write_sps_at_rate(ParserHandle* handle, uint8_t* out, uint32_t capacity, uint32_t fps_num,
                          uint32_t fps_den, int32_t level_idc);

// Why H264_Enc_Double_Frame refuses the stream of `handle` as it stands
// (the text of its message, "the last picture is a field"), or null when
// it takes it.
const char* double_frame_refusal(const ParserHandle* handle);

// Why the last Kavrel_Repeat_Picture on `handle` refused its picture or
// dropped a planned repeat (the text of its message, "a B slice uses
// implicit weighted bi-prediction ..."), or null when it returned 0.
const char* repeat_picture_refusal(const ParserHandle* handle);
// Which pictures the units of Kavrel_Repeat_Units(handle, place, ...) show
// again, in the order it writes them: for each, the Kavrel_Repeat_Picture
// call on `handle` that gave the picture (0 the first). Up to `max` go to
// `pictures`; returns how many units there are. Ask after the call that
// measures the units (out NULL), which for KAVREL_REPEAT_END places them.
int32_t repeat_unit_pictures(const ParserHandle* handle, int32_t place, uint64_t* pictures, int32_t max);

}  // namespace kavrel
