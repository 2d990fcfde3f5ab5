// Where Kavrel_Start ends a frame, on hand-made access units: parameter
// sets and delimiters after slices, a new picture (first_mb_in_slice 0),
// field pairs, IDR and non-IDR slices in one picture, and the slice-header
// codes and messages as a caller sees them.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "api/parser_handle.h"
#include "kavrel.h"
#include "support/test_support.h"

using kavrel_test::BitBuilder;
using kavrel_test::Bytes;
using kavrel_test::concat;
using kavrel_test::nal;
using kavrel_test::StdoutCapture;

namespace {

// NAL header bytes: nal_ref_idc << 5 | nal_unit_type.
constexpr uint8_t kSps = 0x67, kPps = 0x68, kAud = 0x09, kSei = 0x06;
constexpr uint8_t kIdr = 0x65, kRef = 0x41, kNonRef = 0x01;

// SPS 0, Main profile, 176x144 (11 x 9 macroblocks), log2_max_frame_num 4,
// POC type 0 with log2_max_pic_order_cnt_lsb 6, one reference frame. With
// fields = true: frame_mbs_only_flag 0 and 5 map units (160 rows).
Bytes sps_unit(bool fields = false) {
    BitBuilder b;
    b.u(8, 77).u(8, 0).u(8, 30).ue(0);  // profile, constraint flags + reserved, level, id
    b.ue(0).ue(0).ue(2).ue(1).flag(false);  // frame_num 4 bits, POC type 0, lsb 6 bits, 1 ref, no gaps
    b.ue(10).ue(fields ? 4 : 8).flag(!fields);
    if (fields) b.flag(false);  // mb_adaptive_frame_field_flag
    b.flag(true).flag(false).flag(false);  // direct_8x8_inference, no cropping, no VUI
    return nal(kSps, b.trailing().bytes());
}

// PPS 0 on SPS 0: CAVLC, one reference per list, QP 26, deblocking control.
Bytes pps_unit() {
    BitBuilder b;
    b.ue(0).ue(0).flag(false).flag(false).ue(0).ue(0).ue(0).flag(false).u(2, 0);
    b.se(0).se(0).se(0).flag(true).flag(false).flag(false);
    return nal(kPps, b.trailing().bytes());
}

struct SliceSpec {
    uint8_t header = kIdr;
    uint32_t first_mb = 0;
    uint32_t slice_type = 7;  // I
    uint32_t frame_num = 0;
    int structure = 3;        // 3 frame, 1 top field, 2 bottom field
    bool fields = false;      // the SPS allows field pictures
};

// A slice: its header for SPS 0 / PPS 0 (clause 7.3.3), two bytes of
// stand-in slice data and the trailing bits.
Bytes slice_unit(const SliceSpec& s) {
    const bool idr = (s.header & 0x1f) == 5;
    const bool reference = (s.header & 0x60) != 0;
    const uint32_t kind = s.slice_type % 5;
    BitBuilder b;
    b.ue(s.first_mb).ue(s.slice_type).ue(0).u(4, s.frame_num);
    if (s.fields) {
        b.flag(s.structure != 3);
        if (s.structure != 3) b.flag(s.structure == 2);
    }
    if (idr) b.ue(0);                        // idr_pic_id
    b.u(6, 2 * s.frame_num);                 // pic_order_cnt_lsb
    if (kind == 1) b.flag(true);             // direct_spatial_mv_pred_flag
    if (kind <= 1) b.flag(false);            // num_ref_idx_active_override_flag
    if (kind <= 1) b.flag(false);            // ref_pic_list_reordering_flag_l0
    if (kind == 1) b.flag(false);            // ..._l1
    if (reference) {
        if (idr) b.u(2, 0);                  // no_output_of_prior_pics, long_term_reference
        else b.flag(false);                  // adaptive_ref_pic_marking_mode_flag
    }
    b.se(0).ue(1);                           // slice_qp_delta, deblocking off
    b.u(16, 0xa5c3);                         // stand-in slice data
    return nal(s.header, b.trailing().bytes());
}

struct Call {
    int32_t rc;
    FrameInfo info;
    std::string log;
};

struct Stream {
    ParserHandle* h = Kavrel_Open();
    ~Stream() { Kavrel_Close(h); }
    Call start(const Bytes& data, size_t offset = 0) {
        Call c{};
        FrameInput in{data.data() + offset, static_cast<uint32_t>(data.size() - offset)};
        StdoutCapture cap;
        c.rc = Kavrel_Start(h, &in, &c.info);
        c.log = cap.take();
        return c;
    }
};

const std::string kPrecede = "[VsKavrel]:nal_unit_type (%) should precede the VCL NAL\n";
std::string precede(int type) {
    std::string m = kPrecede;
    m.replace(m.find('%'), 1, std::to_string(type));
    return m;
}
const std::string kMoreData = "[VsKavrel]:Unexpected more data in current frame\n";

// Offset of the 00 00 01 of a unit built by nal(): one byte past its
// 4-byte start code (the leading zero byte counts to the frame before).
uint32_t prefix_of(const Bytes& before) { return static_cast<uint32_t>(before.size()) + 1; }

TEST(FrameBoundary, ParameterSetsAndDelimitersAfterSlicesStartTheNextFrame) {
    const Bytes idr = concat({sps_unit(), pps_unit(), slice_unit({})});
    const std::vector<std::pair<Bytes, int>> followers = {{sps_unit(), 7}, {pps_unit(), 8}, {nal(kAud, {0xf0}), 9}};
    for (const auto& [next, type] : followers) {
        SCOPED_TRACE(type);
        Stream s;
        const Bytes both = concat({idr, next, slice_unit({kRef, 0, 5, 1})});
        const Call first = s.start(both);
        EXPECT_EQ(first.rc, 0);
        EXPECT_EQ(first.log, precede(type));
        EXPECT_EQ(first.info.consumed, prefix_of(idr));
        EXPECT_EQ(first.info.picture_type, 0);
        const Call second = s.start(both, first.info.consumed);
        EXPECT_EQ(second.rc, 0);
        EXPECT_EQ(second.log, "");
        EXPECT_EQ(second.info.consumed, both.size() - first.info.consumed);
        EXPECT_EQ(second.info.picture_type, 1);
    }
    // Before the first slice they belong to the frame: SPS, PPS and a
    // delimiter in any order and number.
    Stream s;
    const Bytes lead = concat({nal(kAud, {0xf0}), sps_unit(), pps_unit(), sps_unit(), pps_unit(), slice_unit({})});
    const Call c = s.start(lead);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.log, "");
    EXPECT_EQ(c.info.consumed, lead.size());
}

TEST(FrameBoundary, ANewPictureWithoutParameterSetsEndsTheFrame) {
    Stream s;
    // An IDR picture in two slices, then a P picture, then SEI after the
    // P picture's last slice (which stays with it).
    const Bytes idr = concat({sps_unit(), pps_unit(), slice_unit({}), slice_unit({kIdr, 50})});
    const Bytes p = slice_unit({kRef, 0, 5, 1});
    const Bytes sei = nal(kSei, {0x06, 0x01, 0x84, 0x80});
    const Bytes stream = concat({idr, p, sei, slice_unit({kNonRef, 0, 6, 2})});
    const Call first = s.start(stream);
    EXPECT_EQ(first.rc, 0);
    EXPECT_EQ(first.log, kMoreData);
    EXPECT_EQ(first.info.consumed, prefix_of(idr));
    EXPECT_EQ(first.info.picture_type, 0);
    EXPECT_EQ(first.info.picture_structure, 3);
    EXPECT_EQ(first.info.width, 176);
    EXPECT_EQ(first.info.coded_height, 144);
    EXPECT_EQ(first.info.ref_frame_count, 1u);

    const Call second = s.start(stream, first.info.consumed);
    EXPECT_EQ(second.rc, 0);
    EXPECT_EQ(second.log, kMoreData);
    EXPECT_EQ(first.info.consumed + second.info.consumed, prefix_of(concat({idr, p, sei})));
    EXPECT_EQ(second.info.picture_type, 1);

    const Call third = s.start(stream, first.info.consumed + second.info.consumed);
    EXPECT_EQ(third.rc, 0);
    EXPECT_EQ(third.log, "");
    EXPECT_EQ(third.info.picture_type, 2);
    EXPECT_EQ(first.info.consumed + second.info.consumed + third.info.consumed, stream.size());
}

TEST(FrameBoundary, FieldPairsAreOneFrame) {
    Stream s;
    // IDR top field, then its bottom field as a non-IDR P field: one frame,
    // with no complaint about IDR and non-IDR units together.
    const Bytes pair1 = concat({sps_unit(true), pps_unit(), slice_unit({kIdr, 0, 7, 0, 1, true}),
                                slice_unit({kRef, 0, 5, 0, 2, true})});
    const Bytes pair2 = concat({slice_unit({kRef, 0, 5, 1, 1, true}), slice_unit({kRef, 0, 5, 1, 2, true})});
    const Bytes stream = concat({pair1, pair2});
    const Call first = s.start(stream);
    EXPECT_EQ(first.rc, 0);
    EXPECT_EQ(first.log, "");  // after a bottom field the next top field ends the frame silently
    EXPECT_EQ(first.info.consumed, prefix_of(pair1));
    EXPECT_EQ(first.info.picture_structure, 2);
    EXPECT_EQ(first.info.field_pic_flag, 1u);
    EXPECT_EQ(first.info.picture_type, 0);  // the top field's type
    EXPECT_EQ(first.info.coded_height, 160);

    const Call second = s.start(stream, first.info.consumed);
    EXPECT_EQ(second.rc, 0);
    EXPECT_EQ(second.log, "");
    EXPECT_EQ(second.info.consumed, pair2.size() - 1);
    EXPECT_EQ(second.info.picture_type, 1);

    // A frame picture after a bottom field also starts a new frame silently;
    // a new picture after a frame picture is announced.
    Stream t;
    const Bytes mixed = concat({pair1, slice_unit({kRef, 0, 5, 1, 3, true}), slice_unit({kRef, 0, 5, 2, 3, true})});
    EXPECT_EQ(t.start(mixed).info.consumed, prefix_of(pair1));
    const Call frame = t.start(mixed, prefix_of(pair1));
    EXPECT_EQ(frame.log, kMoreData);
    EXPECT_EQ(frame.info.picture_structure, 3);
    EXPECT_EQ(frame.info.field_pic_flag, 0u);
}

TEST(FrameBoundary, IdrAndNonIdrSlicesInOneFramePicture) {
    Stream s;
    // Second slice of an IDR frame picture in a non-IDR unit.
    const Bytes bad = concat({sps_unit(), pps_unit(), slice_unit({}), slice_unit({kRef, 50, 7, 0})});
    const Call c = s.start(bad);
    EXPECT_EQ(c.rc, -13);
    EXPECT_EQ(c.log, "[VsKavrel]:Frame containing both idr and non-idr\n");
    EXPECT_EQ(c.info.consumed, 0u);

    // A non-IDR unit that starts a new picture ends the frame before the
    // test is made.
    Stream t;
    const Bytes fine = concat({sps_unit(), pps_unit(), slice_unit({}), slice_unit({kRef, 0, 5, 1})});
    const Call d = t.start(fine);
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.log, kMoreData);
}

TEST(FrameBoundary, SliceHeaderCodesReachTheCaller) {
    Stream s;
    const Bytes head = concat({sps_unit(), pps_unit(), slice_unit({})});
    // frame_num 0, 1, then 3: a gap the SPS does not allow.
    const Bytes stream = concat({head, slice_unit({kRef, 0, 5, 1}), slice_unit({kRef, 0, 5, 3})});
    uint32_t pos = s.start(stream).info.consumed;
    const Call p1 = s.start(stream, pos);
    ASSERT_EQ(p1.rc, 0);
    pos += p1.info.consumed;
    const Call p3 = s.start(stream, pos);
    EXPECT_EQ(p3.rc, -16);
    EXPECT_EQ(p3.log,
              "[VsKavrel]:ERROR: frame_num start from 3, prev_frame_num(1)\n"
              "[VsKavrel]:Parse slice header fail\n");
    EXPECT_EQ(p3.info.consumed, 0u);
}

}  // namespace
