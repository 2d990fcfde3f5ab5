// The repeat-frame call: the checks of the parsed state it builds on, the
// set-up of its working records, and the entry points.
#include "synth/repeat_frame.h"

#include <climits>

#include "common/diagnostics.h"
#include "stream/parser_handle.h"
#include "synth/cabac_engine.h"
#include "synth/nal_packaging.h"

namespace kavrel {

namespace {

// Slice header bits stay below this: the longest elements are the three
// se(v) picture order count deltas of up to 65 bits each.
constexpr int64_t kHeaderBytes = 96;

}  // namespace

int32_t repeat_mb_count(const ParserHandle* handle) {
    const SeqParamSet& sps = handle->active_sps;
    const int32_t width = PicWidthInMbs(sps);
    const bool field = sps.frame_mbs_only_flag == 0 && handle->slice.picture_structure != 3;
    // A field picture is PicHeightInMapUnits macroblock rows high.
    const int32_t rows = field ? PicHeightInMapUnits(sps) : FrameHeightInMbs(sps);
    return width > 0 && rows > 0 ? width * rows : 0;
}

int32_t repeat_frame_num(const ParserHandle* handle) {
    const SliceHeader& s = handle->slice;
    // prev_nal_ref_idc is the nal_ref_idc of the last parsed picture: when
    // it was a reference picture its frame_num is PrevRefFrameNum, else the
    // one kept in prev_ref_frame_num.
    const int32_t prev_ref = handle->prev_nal_ref_idc != 0 ? s.frame_num : handle->prev_ref_frame_num;
    const int32_t bits = Log2MaxFrameNum(handle->active_sps);
    const uint32_t mask = bits >= 32 ? UINT32_MAX : (uint32_t{1} << bits) - 1;
    return static_cast<int32_t>((static_cast<uint32_t>(prev_ref) + 1) & mask);
}

int32_t repeat_payload_bound(const ParserHandle* handle) {
    const int64_t mbs = repeat_mb_count(handle);
    const bool cabac = handle->active_pps.entropy_coding_mode_flag != 0;
    // CABAC: a skip flag costs at most 6 bits (an LPS leaves codIRange at
    // 6 or more), an end_of_slice_flag 0 at most 1; then the alignment
    // byte and the flush. CAVLC: ue(v) of the count and the stop bit.
    const int64_t data = cabac ? mbs + 8 : 16;
    const int64_t raw = kHeaderBytes + data;
    const int64_t escaped = raw + raw / 2 + 1;  // one 03 per two bytes at most
    const int64_t stuffing = cabac ? (mbs + 31) / 32 + 3 : 0;
    const int64_t total = escaped + stuffing;
    return total > INT32_MAX - 16 ? -1 : static_cast<int32_t>(total);
}

// The SPS fields the repeat's header and data depend on.
static bool same_for_repeat(const SeqParamSet& a, const SeqParamSet& b) {
    return a.log2_max_frame_num_minus4 == b.log2_max_frame_num_minus4 && a.frame_mbs_only_flag == b.frame_mbs_only_flag &&
           a.mb_adaptive_frame_field_flag == b.mb_adaptive_frame_field_flag &&
           a.pic_order_cnt_type == b.pic_order_cnt_type && a.log2_max_pic_order_cnt_lsb_minus4 == b.log2_max_pic_order_cnt_lsb_minus4 &&
           a.delta_pic_order_always_zero_flag == b.delta_pic_order_always_zero_flag && a.pic_width_in_mbs_minus1 == b.pic_width_in_mbs_minus1 &&
           a.pic_height_in_map_units_minus1 == b.pic_height_in_map_units_minus1 && a.chroma_format_idc == b.chroma_format_idc &&
           a.separate_colour_plane_flag == b.separate_colour_plane_flag &&
           a.max_num_ref_frames == b.max_num_ref_frames;
}

// The repeat continues the last slice's picture with the active sets, and
// a decoder reads it with the sets stored under their ids when it arrives.
// Parameter sets parsed after the last slice (in a frame without slices)
// may have replaced the stored ones or, for the SPS, the active one: the
// fields the repeat writes must still mean what they meant for that slice.
// (Entries that are not valid, refused when parsed or never stored through
// the parser, are not compared.)
static bool sets_still_stored(const ParserHandle* handle) {
    const PicParamSet& a = handle->active_pps;
    if (a.pic_parameter_set_id < 0 || a.pic_parameter_set_id >= kMaxPps || a.seq_parameter_set_id < 0 ||
        a.seq_parameter_set_id >= kMaxSps)
        return true;
    const PicParamSet& p = handle->pps_table[a.pic_parameter_set_id];
    const bool same_pps =
        !p.valid || (p.seq_parameter_set_id == a.seq_parameter_set_id && p.entropy_coding_mode_flag == a.entropy_coding_mode_flag &&
                     p.bottom_field_pic_order_in_frame_present_flag == a.bottom_field_pic_order_in_frame_present_flag &&
                     p.num_slice_groups_minus1 == a.num_slice_groups_minus1 &&
                     p.weighted_pred_flag == a.weighted_pred_flag && slice_pic_init_qp_minus26(p) == slice_pic_init_qp_minus26(a) &&
                     p.deblocking_filter_control_present_flag == a.deblocking_filter_control_present_flag &&
                     p.redundant_pic_cnt_present_flag == a.redundant_pic_cnt_present_flag &&
                     read_past_data(p, PpsTailOfHead::kDeblockingFilterControl) ==
                         read_past_data(a, PpsTailOfHead::kDeblockingFilterControl) &&
                     read_past_data(p, PpsTailOfHead::kRedundantPicCntPresent) ==
                         read_past_data(a, PpsTailOfHead::kRedundantPicCntPresent));
    const SeqParamSet& stored = handle->sps_table[a.seq_parameter_set_id];
    const SeqParamSet& active = handle->active_sps;
    const SeqParamSet& of_slice = handle->slice_sps;
    const bool same_sps = (!stored.valid || same_for_repeat(stored, active)) &&
                          (!of_slice.valid || same_for_repeat(of_slice, active));
    return same_pps && same_sps;
}

// Why pictures after the last one may be shown before it, so that a repeat
// right after it (at its picture order count + 1) would be shown before
// them and decoders would drop them as late; nullptr when none may, as far
// as the stream tells: max_num_reorder_frames 0 in the VUI, or no B-picture
// nor count that went back so far and, when the VUI allows reordering, no
// step of pic_order_cnt_lsb wider than one picture (2) and than those
// before it, which leaves room for pictures to come. Only picture order
// count type 0 lets the output order differ from the decoding order (type
// 1 is refused before).
static const char* reordering_refusal(const ParserHandle* handle) {
    const SeqParamSet& sps = handle->active_sps;
    if (sps.pic_order_cnt_type != 0) return nullptr;
    if (sps.bitstream_restriction_flag != 0 && max_num_reorder_frames_bound(sps) == 0) return nullptr;
    if (handle->reordering_seen != 0) return "the stream has B-pictures or pictures shown out of decoding order";
    const bool wide = handle->poc_lsb_step > 2 &&
                      (handle->min_poc_lsb_step_before == 0 || handle->poc_lsb_step > handle->min_poc_lsb_step_before);
    if (sps.bitstream_restriction_flag != 0 && wide)
        return "pic_order_cnt_lsb leaves room for later pictures shown before the last picture "
               "(max_num_reorder_frames above 0)";
    return nullptr;
}

// Why a repeat of the last picture would not show that picture again right
// after it, or nullptr when it would. The repeat is a P picture whose
// skipped macroblocks copy RefPicList0[0], the short-term reference with
// the highest PicNum (8.2.4.2.1), and it takes frame_num and
// pic_order_cnt_lsb one above the last picture's.
static const char* unrepeatable_picture(const ParserHandle* handle) {
    const SliceHeader& s = handle->slice;
    const SeqParamSet& sps = handle->active_sps;
    if (handle->prev_nal_ref_idc == 0) return "the last picture is not a reference picture";
    if (s.picture_structure != 3) return "the last picture is a field";
    if (sps.pic_order_cnt_type == 1) return "picture order count type 1 is not supported";
    if (s.marked_long_term != 0) return "the last picture is a long-term reference picture";
    if (s.mmco5 != 0) return "the last picture carries memory_management_control_operation 5";
    if (sps.pic_order_cnt_type == 0 && s.idr_pic_flag == 0 && handle->prev_pic_order_cnt_lsb >= 0) {
        const uint32_t mask = (uint32_t{1} << Log2MaxPicOrderCntLsb(sps)) - 1;
        const uint32_t step = static_cast<uint32_t>(s.pic_order_cnt_lsb - handle->prev_pic_order_cnt_lsb) & mask;
        if (step == 1) return "pic_order_cnt_lsb steps by 1 from the previous picture, leaving none for the repeat";
    }
    return reordering_refusal(handle);
}

const char* repeat_refusal(const ParserHandle* handle) {
    if (handle->sps_received == 0 || handle->slice_received == 0 || handle->active_sps.valid == 0 ||
        handle->active_pps.valid == 0) {
        return "no SPS, PPS and slice parsed yet";
    }
    // One slice covers one slice group only.
    if (handle->active_pps.num_slice_groups_minus1 != 0) return "more than one slice group is not supported";
    if (handle->active_sps.max_num_ref_frames == 0) return "the stream keeps no reference picture";
    if (const char* why = unrepeatable_picture(handle)) return why;
    if (!sets_still_stored(handle)) return "the parameter sets changed after the last slice";
    if (repeat_mb_count(handle) <= 0 || repeat_payload_bound(handle) < 0) return "no picture size";
    return nullptr;
}

int32_t check_repeat_state(const ParserHandle* handle) {
    const char* why = repeat_refusal(handle);
    if (!why) return 0;
    diag("[VsKavrel]:H264_Enc_Double_Frame: %s\n", why);
    return -1;
}

void start_slice(ParserHandle* handle, RepeatSlice* slice, uint8_t* buffer, int32_t capacity) {
    *slice = RepeatSlice{};
    slice->mb_count = repeat_mb_count(handle);
    init_bitstream(&slice->stream, buffer, capacity, true);
    slice->output.stream = &slice->stream;
    slice->output.write_element =
        handle->active_pps.entropy_coding_mode_flag != 0 ? write_cabac_element : write_mapped;
}

// Writes the slice as NAL payload to `payload` (null: measures it); its
// length, or -1 when it goes past `capacity`.
static int32_t write_repeat_payload(ParserHandle* handle, uint8_t* payload, int32_t capacity,
                                    int32_t pic_num_diff = 0) {
    RepeatSlice slice;
    start_slice(handle, &slice, payload, capacity);
    slice.pic_num_diff = pic_num_diff;
    write_repeat_header(handle, &slice);
    return write_repeat_data(handle, &slice) == 0 ? slice.stream.byte_count : -1;
}

int32_t write_repeat_unit(ParserHandle* handle, uint8_t* out, int32_t capacity, int32_t pic_num_diff) {
    // The payload never exceeds the bound (the list modification adds at
    // most 12 bytes); in a buffer with less room it is measured first, so
    // that nothing is written unless the unit fits.
    const int32_t bound = repeat_payload_bound(handle) + (pic_num_diff != 0 ? 12 : 0);
    const int32_t room = capacity - kNalPrefixBytes < bound ? capacity - kNalPrefixBytes : bound;
    if (room < 0) return -1;
    if ((room < bound || !out) && write_repeat_payload(handle, nullptr, room, pic_num_diff) < 0) return -1;
    if (!out) return bound + kNalPrefixBytes;
    const int32_t length = write_repeat_payload(handle, out + kNalPrefixBytes, room, pic_num_diff);
    if (length < 0) return -1;
    write_nal_prefix(out, 0, 1);  // coded slice of a non-IDR picture, nal_ref_idc 0
    return length + kNalPrefixBytes;
}

int32_t write_repeat_frame(ParserHandle* handle, uint8_t* out, int32_t capacity) {
    if (check_repeat_state(handle) != 0) return -1;
    return write_repeat_unit(handle, out, capacity, 0);
}

int32_t write_repeat_frame(ParserHandle* handle, uint8_t* out) {
    // No size is given: the caller provides room for the whole unit, and
    // the unit is never larger than the payload bound and its five bytes
    // of start code and header.
    const int32_t bound = repeat_payload_bound(handle);
    return write_repeat_frame(handle, out, bound < 0 ? 0 : bound + kNalPrefixBytes);
}

}  // namespace kavrel
