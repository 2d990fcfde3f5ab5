// The SPS unit that announces a new frame rate: the active SPS written back
// with only its VUI timing changed (frame rate = time_scale /
// (2 * num_units_in_tick), ITU-T H.264 clause E.2.1).
#include "synth/frame_rate_sps.h"

#include <climits>

#include "synth/nal_packaging.h"

namespace kavrel {

// The set `sps` with its timing replaced: a VUI is added when it had none
// (carrying only timing), and timing_info_present_flag is set.
static SeqParamSet with_timing(const SeqParamSet& sps, uint32_t num_units_in_tick, uint32_t time_scale) {
    SeqParamSet out = sps;
    if (out.vui_parameters_present_flag == 0) {
        // A VUI of its own that carries nothing but the timing.
        out.vui_parameters_present_flag = 1;
        out.aspect_ratio_info_present_flag = 0;
        out.overscan_info_present_flag = 0;
        out.video_signal_type_present_flag = 0;
        out.chroma_loc_info_present_flag = 0;
        out.fixed_frame_rate_flag = 0;
        out.nal_hrd_parameters_present_flag = 0;
        out.vcl_hrd_parameters_present_flag = 0;
        out.pic_struct_present_flag = 0;
        out.bitstream_restriction_flag = 0;
    }
    out.timing_info_present_flag = 1;
    out.num_units_in_tick = num_units_in_tick;
    out.time_scale = time_scale;
    return out;
}

// The set `sps` with level_idc `level_idc` (kKeepLevel: as it is). The
// constraint_set3_flag that marks level 1b (is_level_1b) goes with it.
static void set_level(SeqParamSet& sps, int32_t level_idc) {
    if (level_idc == kKeepLevel) return;
    if (is_level_1b(sps)) sps.constraint_set3_flag = 0;
    sps.level_idc = level_idc;
}

// Writes the active SPS with the given timing and level into out as an SPS
// unit (nal_ref_idc 3, nal_unit_type 7); its length, or -1 (nothing
// written) when the unit does not fit or cannot be built.
static int32_t emit_rate_sps(const ParserHandle* handle, uint32_t num_units_in_tick, uint32_t time_scale,
                             uint8_t* out, int32_t capacity, int32_t level_idc = kKeepLevel) {
    SeqParamSet sps = with_timing(handle->active_sps, num_units_in_tick, time_scale);
    set_level(sps, level_idc);
    uint8_t rbsp[kSpsRbspCapacity];
    const int32_t n = write_seq_parameter_set_rbsp(sps, rbsp, kSpsRbspCapacity);
    if (n < 0 || capacity < kNalPrefixBytes) return -1;
    // Measured first, so that nothing is written unless the unit fits.
    const int32_t payload = escape_rbsp(rbsp, n, nullptr, capacity - kNalPrefixBytes);
    if (payload < 0) return -1;
    write_nal_prefix(out, 3, 7);
    escape_rbsp(rbsp, n, out + kNalPrefixBytes, payload);
    return payload + kNalPrefixBytes;
}

// An SPS was parsed and the active set passed its checks (a slice that
// names a missing set leaves an invalid copy in active_sps).
bool has_active_sps(const ParserHandle* handle) {
    return handle->sps_received != 0 && handle->active_sps.valid == 1;
}

int32_t write_frame_rate_sps(ParserHandle* handle, uint32_t fps, uint8_t* out) {
    // A stream without timing gets num_units_in_tick 1.
    const uint32_t tick = handle->active_sps.num_units_in_tick != 0 ? handle->active_sps.num_units_in_tick : 1;
    const uint64_t time_scale = uint64_t{tick} * fps * 2;
    if (time_scale == 0 || time_scale > UINT32_MAX) return -1;
    // The call is given no size: out must hold the whole unit, which stays
    // below 2 * kSpsRbspCapacity.
    const int32_t written = emit_rate_sps(handle, tick, static_cast<uint32_t>(time_scale), out, INT32_MAX);
    if (written > 0) {
        handle->active_sps.time_scale = static_cast<uint32_t>(time_scale);
        ++handle->param_generation;  // the next slice restores the stored set
    }
    return written;
}

int32_t write_frame_rate_sps(ParserHandle* handle, uint8_t* out, uint32_t capacity, uint32_t fps_num,
                             uint32_t fps_den, int32_t level_idc) {
    const uint64_t time_scale = uint64_t{fps_num} * 2;
    if (fps_num == 0 || fps_den == 0 || time_scale > UINT32_MAX) return -1;
    const int32_t room = capacity > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(capacity);
    return emit_rate_sps(handle, fps_den, static_cast<uint32_t>(time_scale), out, room, level_idc);
}

}  // namespace kavrel
