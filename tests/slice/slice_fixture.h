// A handle with hand-made parameter sets, and a writer of slice headers in
// the syntax of ITU-T H.264 clause 7.3.3 for the sets it holds.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "stream/parser_handle.h"
#include "syntax/slice_header.h"
#include "support/test_support.h"

namespace slice_test {

using kavrel_test::BitBuilder;
using kavrel_test::Bytes;
using Writer = std::function<void(BitBuilder&)>;

// What one slice header carries; the writer puts in what the sets require.
struct Slice {
    uint32_t first_mb = 0;
    uint32_t slice_type = 2;       // I
    uint32_t pps_id = 0;
    uint32_t frame_num = 0;
    int structure = 3;             // 1 top, 2 bottom, 3 frame (field_pic_flag 0)
    uint32_t idr_pic_id = 0;
    uint32_t poc_lsb = 0;
    int64_t delta_poc_bottom = 0;
    int64_t delta_poc[2] = {0, 0};
    uint32_t redundant_pic_cnt = 0;
    bool override_counts = false;
    uint32_t l0_minus1 = 0;
    uint32_t l1_minus1 = 0;
    // Replaces ref_pic_list_reordering(), pred_weight_table() and
    // dec_ref_pic_marking() when set; otherwise the empty forms are written.
    void (*structures)(BitBuilder&) = nullptr;
    uint32_t cabac_init_idc = 0;
    int32_t qp_delta = 0;
    uint32_t deblocking_idc = 0;
    int32_t alpha_div2 = 0;
    int32_t beta_div2 = 0;
};

// The slice header in the syntax of clause 7.3.3 for the sets p and q,
// without trailing bits.
inline void write_slice_header(BitBuilder& b, const Slice& s, int nal_unit_type, int nal_ref_idc,
                               const kavrel::PicParamSet& p, const kavrel::SeqParamSet& q) {
    const int kind = static_cast<int>(s.slice_type % 5);  // 0 P, 1 B, 2 I
    const bool field = s.structure != 3;
    b.ue(s.first_mb).ue(s.slice_type).ue(s.pps_id).u(q.log2_max_frame_num, s.frame_num);
    if (!q.frame_mbs_only_flag) {
        b.flag(field);
        if (field) b.flag(s.structure == 2);
    }
    if (nal_unit_type == 5) b.ue(s.idr_pic_id);
    const bool bottom = p.bottom_field_pic_order_in_frame_present_flag && !field;
    if (q.pic_order_cnt_type == 0) {
        b.u(q.log2_max_poc_lsb, s.poc_lsb);
        if (bottom) b.se(s.delta_poc_bottom);
    }
    if (q.pic_order_cnt_type == 1 && !q.delta_pic_order_always_zero_flag) {
        b.se(s.delta_poc[0]);
        if (bottom) b.se(s.delta_poc[1]);
    }
    if (p.redundant_pic_cnt_present_flag) b.ue(s.redundant_pic_cnt);
    if (kind == 1) b.flag(true);  // direct_spatial_mv_pred_flag
    if (kind <= 1) {
        b.flag(s.override_counts);
        if (s.override_counts) {
            b.ue(s.l0_minus1);
            if (kind == 1) b.ue(s.l1_minus1);
        }
    }
    if (s.structures) {
        s.structures(b);
    } else {
        if (kind <= 1) b.flag(false);  // ref_pic_list_reordering_flag_l0
        if (kind == 1) b.flag(false);  // ..._l1
        const bool weights = (kind == 0 && p.weighted_pred_flag) || (kind == 1 && p.weighted_bipred_idc == 1);
        if (weights) {
            const int l0 = s.override_counts ? static_cast<int>(s.l0_minus1) + 1 : p.ref_count[0];
            const int l1 = s.override_counts ? static_cast<int>(s.l1_minus1) + 1 : p.ref_count[1];
            b.ue(0);                                  // luma_log2_weight_denom
            if (q.chroma_format_idc != 0) b.ue(0);    // chroma_log2_weight_denom
            const int entries = l0 + (kind == 1 ? l1 : 0);
            for (int i = 0; i < entries; ++i) {
                b.flag(false);
                if (q.chroma_format_idc != 0) b.flag(false);
            }
        }
        if (nal_ref_idc != 0) {
            if (nal_unit_type == 5) b.u(2, 0);
            else b.flag(false);  // adaptive_ref_pic_marking_mode_flag
        }
    }
    if (kind <= 1 && p.entropy_coding_mode_flag) b.ue(s.cabac_init_idc);
    b.se(s.qp_delta);
    if (p.deblocking_filter_control_present_flag) {
        b.ue(s.deblocking_idc);
        if (s.deblocking_idc != 1) b.se(s.alpha_div2).se(s.beta_div2);
    }
}

struct Parsed {
    int32_t rc;
    int32_t bit_pos;     // where the reader stopped
    int32_t bit_count;   // bits the writer wrote before the stop bit
    std::string log;
    // The code and the message: "-18 " + log.
    std::string said() const { return std::to_string(rc) + " " + log; }
};

class SliceTest : public ::testing::Test {
protected:
    kavrel_test::BareHandle owner = kavrel_test::bare_handle();
    ParserHandle* h = owner.get();
    Bytes rbsp;

    void SetUp() override {
        // SPS 0: 4:2:0, frames only, log2_max_frame_num 4, POC type 0 with
        // log2_max_pic_order_cnt_lsb 6. PPS 0 refers to it: CAVLC,
        // one reference per list, init_qp 26.
        kavrel::SeqParamSet& s = sps(0);
        s.valid = 1;
        s.profile_idc = 77;
        s.chroma_format_idc = 1;
        s.log2_max_frame_num = 4;
        s.log2_max_poc_lsb = 6;
        s.frame_mbs_only_flag = 1;
        s.max_ref_frame_count = 2;
        h->last_sps_profile_idc = 77;
        kavrel::PicParamSet& p = pps(0);
        p.valid = 1;
        p.sps_id = 0;
        p.ref_count[0] = 1;
        p.ref_count[1] = 1;
        p.init_qp = 26;
        p.init_qs = 26;
    }

    kavrel::SeqParamSet& sps(int id) { return h->sps_table[id]; }
    kavrel::PicParamSet& pps(int id) { return h->pps_table[id]; }

    void write(BitBuilder& b, const Slice& s, int nal_unit_type, int nal_ref_idc) {
        const kavrel::PicParamSet& p = pps(static_cast<int>(s.pps_id) & 0xff);
        write_slice_header(b, s, nal_unit_type, nal_ref_idc, p, sps(p.sps_id & 31));
    }

    // Parses raw header bits followed by rbsp_trailing_bits().
    Parsed parse_bits(BitBuilder b, int nal_unit_type, int nal_ref_idc) {
        const int32_t bits = static_cast<int32_t>(b.bit_length());
        b.trailing();
        rbsp = b.bytes();
        h->nal_unit_type = static_cast<uint8_t>(nal_unit_type);
        h->nal_ref_idc = static_cast<uint8_t>(nal_ref_idc);
        kavrel::bit_reader_init(h->reader, rbsp.data(), static_cast<int32_t>(rbsp.size()), bits);
        kavrel_test::StdoutCapture cap;
        Parsed out{};
        out.rc = kavrel::decode_slice_header(h);
        out.log = cap.take();
        out.bit_pos = h->reader.bit_pos;
        out.bit_count = bits;
        return out;
    }

    Parsed parse(const Slice& s, int nal_unit_type = 1, int nal_ref_idc = 2) {
        BitBuilder b;
        write(b, s, nal_unit_type, nal_ref_idc);
        return parse_bits(b, nal_unit_type, nal_ref_idc);
    }
};

// P, all slices of the picture alike.
inline Slice p_slice(uint32_t frame_num) { return {.slice_type = 5, .frame_num = frame_num}; }

inline std::string msg(const std::string& text) { return "[VsKavrel]:" + text; }

}  // namespace slice_test
