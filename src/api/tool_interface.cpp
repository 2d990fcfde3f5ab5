// The tool's view of the library (tool_interface.h), over the syntax
// descriptions the parser itself reads with.
#include "api/tool_interface.h"

#include <cstring>
#include <vector>

#include "bitstream/bit_reader.h"
#include "bitstream/bit_writer.h"
#include "bitstream/nal_unit.h"
#include "common/diagnostics.h"
#include "syntax/seq_param_set.h"
#include "syntax/sps_syntax.h"
#include "synth/frame_rate_sps.h"
#include "synth/repeat_frame.h"
#include "synth/repeat_plan.h"

namespace kavrel {

namespace {

// A flag read as set; one the data ended before is clear here.
bool set(const SeqParamSet& sps, int32_t flag, SpsElementMark mark) { return flag == 1 && !read_past_data(sps, mark); }

void copy_facts(const SeqParamSet& sps, SpsFacts* out) {
    const auto flag = [&sps](int32_t value, SpsElementMark mark) { return set(sps, value, mark); };
    // profile_idc and level_idc keep their -1 where the data ended before them.
    if (!read_past_data(sps, kMarkProfileIdc)) out->profile_idc = sps.profile_idc;
    out->constraint_flags = (flag(sps.constraint_set0_flag, kMarkConstraintSet0) << 7) |
                            (flag(sps.constraint_set1_flag, kMarkConstraintSet1) << 6) |
                            (flag(sps.constraint_set2_flag, kMarkConstraintSet2) << 5) |
                            (flag(sps.constraint_set3_flag, kMarkConstraintSet3) << 4) |
                            (sps.reserved_zero_4bits > 0 ? sps.reserved_zero_4bits & 15 : 0);
    if (!read_past_data(sps, kMarkLevelIdc)) {
        out->level_idc = sps.level_idc;
        out->level = level_number(sps);
    }
    out->seq_parameter_set_id = sps.seq_parameter_set_id;
    out->chroma_format_idc = sps.chroma_format_idc;
    out->bit_depth_luma = sps.bit_depth_luma_minus8 + 8;
    out->bit_depth_chroma = sps.bit_depth_chroma_minus8 + 8;
    out->qpprime_y_zero_transform_bypass_flag =
        flag(sps.qpprime_y_zero_transform_bypass_flag, kMarkQpprimeYZeroTransformBypass);
    out->pic_width_in_mbs = PicWidthInMbs(sps);
    out->pic_height_in_map_units = PicHeightInMapUnits(sps);
    out->frame_mbs_only_flag = flag(sps.frame_mbs_only_flag, kMarkFrameMbsOnly);
    out->timing_info_present_flag = flag(sps.timing_info_present_flag, kMarkTimingInfoPresent);
    if (out->timing_info_present_flag) {
        out->num_units_in_tick = sps.num_units_in_tick;
        out->time_scale = sps.time_scale;
        out->fixed_frame_rate_flag = flag(sps.fixed_frame_rate_flag, kMarkFixedFrameRate);
    }
    out->hrd_parameters_present = flag(sps.nal_hrd_parameters_present_flag, kMarkNalHrdParametersPresent) ||
                                  flag(sps.vcl_hrd_parameters_present_flag, kMarkVclHrdParametersPresent);
    out->pic_struct_present_flag = flag(sps.pic_struct_present_flag, kMarkPicStructPresent);
    out->pic_order_cnt_type = sps.pic_order_cnt_type;
    out->max_num_reorder_frames =
        flag(sps.bitstream_restriction_flag, kMarkBitstreamRestriction) ? max_num_reorder_frames_bound(sps) : -1;
}

// The RBSP of the NAL unit [nal, nal + size) (header byte first), through
// the NAL layer's own unescaping; empty when there is none.
std::vector<uint8_t> unit_rbsp(const uint8_t* nal, size_t size) {
    if (size < 2 || size > static_cast<size_t>(INT32_MAX)) return {};
    const NalExtent extent = scan_nal_payload(nal + 1, static_cast<int32_t>(size - 1));
    std::vector<uint8_t> rbsp(static_cast<size_t>(extent.rbsp_len()));
    RbspSource source;
    rbsp_source_init(source, nal + 1, extent, rbsp.data());
    rbsp_fill(source, extent.rbsp_len());
    return rbsp;
}

}  // namespace

bool describe_sps(const uint8_t* rbsp, size_t size, SpsFacts* out) {
    *out = SpsFacts{};
    if (size > static_cast<size_t>(INT32_MAX / 8)) return false;
    const int32_t len = static_cast<int32_t>(size);
    BitReader reader;
    bit_reader_init(reader, rbsp, len, 8 * len);  // the stop bit and what follows are read as data
    SyntaxReader rw{reader};
    SeqParamSet sps{};
    const MutedDiagnostics muted;
    static_cast<void>(sps_head(rw, sps));  // an id out of range is described too
    const bool body = ok(sps_body(rw, sps));
    uint32_t frame_rate = 0;
    if (body) sps_vui(rw, sps, &frame_rate);
    copy_facts(sps, out);  // what was read, also when the body was refused
    if (!body) return false;
    // The data must reach the HRD flags (or vui_parameters_present_flag
    // when there is no VUI).
    if (read_past_data(sps, kMarkVuiParametersPresent)) return false;
    if (!sps.vui_parameters_present_flag) return true;
    return set(sps, sps.nal_hrd_parameters_present_flag, kMarkNalHrdParametersPresent) ||
           !read_past_data(sps, kMarkVclHrdParametersPresent);
}

bool describe_sps_unit(const uint8_t* nal, size_t size, SpsFacts* out) {
    const std::vector<uint8_t> rbsp = unit_rbsp(nal, size);
    if (rbsp.empty()) {
        *out = SpsFacts{};
        return false;
    }
    return describe_sps(rbsp.data(), rbsp.size(), out);
}

size_t next_start_code(const uint8_t* data, size_t size, size_t from) {
    // The parser's scan counts in 32 bits: longer inputs are scanned in
    // spans that overlap by the three bytes of a start code.
    constexpr size_t kSpan = size_t{1} << 30;
    while (from < size && size - from >= 3) {
        const size_t span = size - from < kSpan ? size - from : kSpan;
        const int32_t n = static_cast<int32_t>(span);
        const int32_t pos = find_start_code(data + from, n, 0);
        if (pos + 3 < n) return from + static_cast<size_t>(pos);
        if (span < kSpan) {
            // The scan wants a byte behind a start code: one that ends the
            // input is checked here.
            const uint8_t* p = data + size - 3;
            return p[0] == 0 && p[1] == 0 && p[2] == 1 ? size - 3 : size;
        }
        from += kSpan - 3;
    }
    return size;
}

int32_t pps_seq_parameter_set_id(const uint8_t* nal, size_t size) {
    const std::vector<uint8_t> rbsp = unit_rbsp(nal, size);
    const int32_t len = static_cast<int32_t>(rbsp.size());
    BitReader reader;
    bit_reader_init(reader, rbsp.data(), len, 8 * len);
    static_cast<void>(read_ue_code(reader));  // pic_parameter_set_id
    const Code id = read_ue_code(reader);
    return id.ok() && id.value <= 31 ? id.value : -1;
}

int32_t write_plain_pps_unit(int32_t sps_id, uint8_t* out, size_t capacity) {
    if (sps_id < 0 || sps_id > 31 || capacity < 2) return -1;
    out[0] = 0x68;  // nal_ref_idc 3, nal_unit_type 8
    Bitstream s;
    const size_t room = capacity - 1 < INT32_MAX ? capacity - 1 : INT32_MAX;
    init_bitstream(&s, out + 1, static_cast<int32_t>(room), true);
    put_ue(&s, 0);                     // pic_parameter_set_id
    put_ue(&s, static_cast<uint32_t>(sps_id));
    put_bits(&s, 0, 2);                // entropy_coding_mode_flag, bottom_field_pic_order_in_frame_present_flag
    put_ue(&s, 0);                     // num_slice_groups_minus1
    put_ue(&s, 0);                     // num_ref_idx_l0_default_active_minus1
    put_ue(&s, 0);                     // num_ref_idx_l1_default_active_minus1
    put_bits(&s, 0, 3);                // weighted_pred_flag, weighted_bipred_idc
    put_se(&s, 0);                     // pic_init_qp_minus26
    put_se(&s, 0);                     // pic_init_qs_minus26
    put_se(&s, 0);                     // chroma_qp_index_offset
    put_bits(&s, 0, 3);                // deblocking, constrained intra, redundant_pic_cnt flags
    write_trailing_bits(&s);
    return s.overflow ? -1 : s.byte_count + 1;
}

CorrectionOutcome correct_access_unit(CorrectionRequest* request) {
    CorrectionOutcome out;
    const RefusalNote note;
    out.code = Kavrel_enc_h264Correct(request);
    if (out.code < 0) std::memcpy(out.reason, note.text(), sizeof out.reason);
    return out;
}

int32_t write_sps_at_rate(ParserHandle* handle, uint8_t* out, uint32_t capacity, uint32_t fps_num,
                          uint32_t fps_den, int32_t level_idc) {
    if (!handle || !out || !has_active_sps(handle)) return H264_Enc_Iframe_Rate(handle, out, capacity, fps_num, fps_den);
    return write_frame_rate_sps(handle, out, capacity, fps_num, fps_den, level_idc);
}

const char* double_frame_refusal(const ParserHandle* handle) {
    return handle ? repeat_refusal(handle) : "no parser handle";
}

const char* repeat_picture_refusal(const ParserHandle* handle) { return plan_refusal(handle); }

int32_t repeat_unit_pictures(const ParserHandle* handle, int32_t place, uint64_t* pictures, int32_t max) {
    return planned_pictures(handle, place, pictures, max);
}

}  // namespace kavrel
