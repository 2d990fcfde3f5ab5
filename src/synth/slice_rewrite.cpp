// The copy's NAL units written: a slice with its header rewritten and its
// data carried over, a PPS with another id, a NAL unit as it is. Every
// store goes through the caller's Bitstream, bounded by its capacity.
#include "bitstream/bit_reader.h"
#include "syntax/pps_syntax.h"
#include "synth/slice_layout.h"

namespace kavrel {

namespace {

// Stores bytes as they are (a start code, a header byte, an escaped NAL
// unit); the stream must be at a byte boundary.
void put_raw(Bitstream* s, const uint8_t* bytes, int32_t n) {
    const bool escaping = s->nal_payload;
    s->nal_payload = false;
    for (int32_t i = 0; i < n; ++i) put_bits(s, bytes[i], 8);
    s->nal_payload = escaping;
    s->zeros = 0;
}

void start_nal(Bitstream* s, uint8_t header) {
    const uint8_t start[5] = {0, 0, 0, 1, header};
    put_raw(s, start, 5);
}

// A payload that ends in a zero byte gets an emulation_prevention_three_byte
// behind it, or the zero would read as trailing_zero_8bits (clause 7.4.1).
void end_nal(Bitstream* s) {
    static constexpr uint8_t kThree = 3;
    if (s->zeros > 0) put_raw(s, &kThree, 1);
}

// RBSP bits [from, to) of `rbsp`.
void copy_bits(const uint8_t* rbsp, int32_t from, int32_t to, Bitstream* s) {
    for (int32_t i = from; i < to; ++i) put_bits(s, (rbsp[i >> 3] >> (7 - (i & 7))) & 1u, 1);
}

// The RBSP bytes of a NAL payload, unescaped one at a time.
struct RbspCursor {
    const uint8_t* p;
    int32_t len;
    int32_t i = 0;
    int32_t zeros = 0;
    int32_t next() {
        if (i < len && zeros >= 2 && p[i] == 3) {
            ++i;
            zeros = 0;
        }
        if (i >= len) return -1;
        zeros = p[i] == 0 ? zeros + 1 : 0;
        return p[i++];
    }
};

// The slice data from bit `from` of the payload's RBSP on. CABAC: the
// cabac_alignment_one_bits anew, then the bytes from the data's own byte
// boundary, cabac_zero_words included. CAVLC: the bits up to the
// rbsp_stop_one_bit, then zero bits to the boundary.
void copy_data(const uint8_t* payload, int32_t len, int32_t from, bool cabac, Bitstream* s) {
    RbspCursor c{payload, len};
    const int32_t first = cabac ? (from + 7) / 8 : from / 8;
    for (int32_t k = 0; k < first; ++k) c.next();
    if (cabac) {
        while (s->bits_left != 8) put_bits(s, 1, 1);
        for (int32_t b = c.next(); b >= 0; b = c.next()) put_bits(s, static_cast<uint32_t>(b), 8);
        return;
    }
    int32_t b = c.next();
    int32_t skip = from % 8;  // bits of the first byte that belong to the header
    for (int32_t next = c.next(); b >= 0; b = next, next = c.next(), skip = 0) {
        const int32_t keep = next >= 0 ? 8 : 8 - __builtin_ctz(static_cast<uint32_t>(b | 0x100));
        if (keep > skip) put_bits(s, static_cast<uint32_t>(b) >> (8 - keep), keep - skip);
    }
    put_bits(s, 0, s->bits_left % 8);
}

}  // namespace

void write_slice_copy(const uint8_t* nal, int32_t len, const SliceLayout& f, const uint8_t* rbsp, int32_t pps_id,
                      Bitstream* s) {
    start_nal(s, nal[0]);
    copy_bits(rbsp, 0, f.pps_id_bit, s);
    put_ue(s, static_cast<uint64_t>(pps_id));
    copy_bits(rbsp, f.pps_id_end, f.lsb_bit, s);
    put_bits(s, copy_lsb(f), f.lsb_bits);
    int32_t at = f.lsb_bit + f.lsb_bits;
    if (f.delta_bit >= 0) {
        put_se(s, 0);
        at = f.delta_end;
    }
    copy_bits(rbsp, at, f.header_end, s);
    copy_data(nal + 1, len - 1, f.header_end, f.pps->entropy_coding_mode_flag != 0, s);
    end_nal(s);
}

void write_pps_copy(const PicParamSet& pps, int32_t pps_id, int32_t bipred_idc, Bitstream* s) {
    start_nal(s, 0x68);  // nal_ref_idc 3, nal_unit_type 8
    SyntaxWriter w{*s};
    w.ue(pps_id);
    w.ue(pps.seq_parameter_set_id);
    w.flag(pps.entropy_coding_mode_flag);
    w.flag(pps.bottom_field_pic_order_in_frame_present_flag);
    w.ue(0);  // num_slice_groups_minus1: one slice group (a copy is refused with more)
    w.ue(pps.num_ref_idx_default_active_minus1[0]);
    w.ue(pps.num_ref_idx_default_active_minus1[1]);
    w.flag(pps.weighted_pred_flag);
    w.u(bipred_idc, 2);
    // As the stream's slices take them, where its set ended early.
    w.se(slice_pic_init_qp_minus26(pps));
    w.se(slice_value(pps, PpsTailOfHead::kPicInitQs, pps.pic_init_qs_minus26));
    w.se(slice_value(pps, PpsTailOfHead::kChromaQpIndexOffset, pps.chroma_qp_index_offset));
    w.flag(pps.deblocking_filter_control_present_flag);
    w.flag(pps.constrained_intra_pred_flag);
    w.flag(pps.redundant_pic_cnt_present_flag);
    if (pps.high_profile_tail != 0) pps_high_profile_tail(w, pps);
    write_trailing_bits(s);
    end_nal(s);
}

void write_nal_as_is(const uint8_t* nal, int32_t len, Bitstream* s) {
    start_nal(s, nal[0]);
    put_raw(s, nal + 1, len - 1);
}

}  // namespace kavrel
