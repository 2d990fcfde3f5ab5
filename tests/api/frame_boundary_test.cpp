// Where Kavrel_Start ends a frame, on hand-made access units: parameter
// sets and delimiters after slices, a new picture (first_mb_in_slice 0),
// field pairs, IDR and non-IDR slices in one picture, and the slice-header
// codes and messages as a caller sees them.
#include <gtest/gtest.h>

#include <tuple>
#include <utility>
#include <vector>

#include "params/param_set_builders.h"
#include "slice/slice_fixture.h"

using kavrel_test::BitBuilder;
using kavrel_test::Bytes;
using kavrel_test::concat;
using kavrel_test::nal;
using kavrel_test::Started;

namespace {

// NAL header bytes: nal_ref_idc << 5 | nal_unit_type.
constexpr uint8_t kSps = 0x67, kPps = 0x68, kAud = 0x09, kSei = 0x06;
constexpr uint8_t kIdr = 0x65, kRef = 0x41, kNonRef = 0x01;

// SPS 0, Main profile, 176x144 (11 x 9 macroblocks), log2_max_frame_num 4,
// POC type 0 with log2_max_pic_order_cnt_lsb 6, one reference frame. With
// fields = true: frame_mbs_only_flag 0 and 5 map units (160 rows).
Bytes sps_unit(bool fields = false) {
    return params_test::sps_nal({.height_map_units_minus1 = fields ? 4u : 8u, .frame_mbs_only = !fields});
}

// PPS 0 on SPS 0: CAVLC, one reference per list, QP 26, deblocking control.
Bytes pps_unit() { return params_test::pps_nal(); }

struct SliceSpec {
    uint8_t header = kIdr;
    uint32_t first_mb = 0;
    uint32_t slice_type = 7;  // I
    uint32_t frame_num = 0;
    int structure = 3;        // 3 frame, 1 top field, 2 bottom field
    bool fields = false;      // the SPS allows field pictures
};

// A slice: its header for SPS 0 / PPS 0 (clause 7.3.3; pic_order_cnt_lsb
// twice frame_num, deblocking off), two bytes of stand-in slice data and
// the trailing bits.
Bytes slice_unit(const SliceSpec& s) {
    kavrel::SeqParamSet sps{};
    sps.log2_max_frame_num = 4;
    sps.log2_max_poc_lsb = 6;
    sps.frame_mbs_only_flag = !s.fields;
    kavrel::PicParamSet pps{};
    pps.deblocking_filter_control_present_flag = 1;
    BitBuilder b;
    slice_test::write_slice_header(b,
                                   {.first_mb = s.first_mb, .slice_type = s.slice_type, .frame_num = s.frame_num,
                                    .structure = s.structure, .poc_lsb = 2 * s.frame_num, .deblocking_idc = 1},
                                   s.header & 0x1f, s.header >> 5, pps, sps);
    return nal(s.header, b.u(16, 0xa5c3).trailing().bytes());
}

using Stream = kavrel_test::Parser;

std::string precede(int type) {
    return "[VsKavrel]:nal_unit_type (" + std::to_string(type) + ") should precede the VCL NAL\n";
}
const std::string kMoreData = "[VsKavrel]:Unexpected more data in current frame\n";

// Offset of the 00 00 01 of a unit built by nal(): one byte past its
// 4-byte start code (the leading zero byte counts to the frame before).
uint32_t prefix_of(const Bytes& before) { return static_cast<uint32_t>(before.size()) + 1; }

// What a call says about the frame: code, message, bytes taken, picture type.
std::tuple<int32_t, std::string, uint32_t, int32_t> frame(const Started& c) {
    return {c.rc, c.log, c.info.consumed, c.info.picture_type};
}
using Frame = std::tuple<int32_t, std::string, uint32_t, int32_t>;

TEST(FrameBoundary, ParameterSetsAndDelimitersAfterSlicesStartTheNextFrame) {
    const Bytes idr = concat({sps_unit(), pps_unit(), slice_unit({})});
    const std::vector<std::pair<Bytes, int>> followers = {{sps_unit(), 7}, {pps_unit(), 8}, {nal(kAud, {0xf0}), 9}};
    for (const auto& [next, type] : followers) {
        SCOPED_TRACE(type);
        Stream s;
        const Bytes both = concat({idr, next, slice_unit({kRef, 0, 5, 1})});
        EXPECT_EQ(frame(s.start(both)), Frame(0, precede(type), prefix_of(idr), 0));
        EXPECT_EQ(frame(s.start(both, prefix_of(idr))), Frame(0, "", both.size() - prefix_of(idr), 1));
    }
    // Before the first slice they belong to the frame: SPS, PPS and a
    // delimiter in any order and number.
    const Bytes lead = concat({nal(kAud, {0xf0}), sps_unit(), pps_unit(), sps_unit(), pps_unit(), slice_unit({})});
    EXPECT_EQ(frame(Stream().start(lead)), Frame(0, "", lead.size(), 0));
}

TEST(FrameBoundary, ANewPictureWithoutParameterSetsEndsTheFrame) {
    Stream s;
    // An IDR picture in two slices, then a P picture, then SEI after the
    // P picture's last slice (which begins the next access unit), then a B picture.
    const Bytes idr = concat({sps_unit(), pps_unit(), slice_unit({}), slice_unit({kIdr, 50})});
    const Bytes p = concat({slice_unit({kRef, 0, 5, 1}), nal(kSei, {0x06, 0x01, 0x84, 0x80})});
    const Bytes stream = concat({idr, p, slice_unit({kNonRef, 0, 6, 2})});
    const Started first = s.start(stream);
    EXPECT_EQ(frame(first), Frame(0, kMoreData, prefix_of(idr), 0));
    EXPECT_EQ(first.info.picture_structure, 3);
    EXPECT_EQ(first.info.width, 176);
    EXPECT_EQ(first.info.coded_height, 144);
    EXPECT_EQ(first.info.ref_frame_count, 1u);
    const Bytes sei = nal(kSei, {0x06, 0x01, 0x84, 0x80});
    EXPECT_EQ(frame(s.start(stream, prefix_of(idr))),
              Frame(0, "[VsKavrel]:nal_unit_type (6) should precede the VCL NAL\n", p.size() - sei.size(), 1));
    const uint32_t third = prefix_of(concat({idr, p})) - static_cast<uint32_t>(sei.size());
    EXPECT_EQ(frame(s.start(stream, third)), Frame(0, "", stream.size() - third, 2));
}

TEST(FrameBoundary, FieldPairsAreOneFrame) {
    Stream s;
    // IDR top field, then its bottom field as a non-IDR P field: one frame,
    // with no complaint about IDR and non-IDR units together; after a bottom
    // field the next top field ends the frame silently.
    const Bytes pair1 = concat({sps_unit(true), pps_unit(), slice_unit({kIdr, 0, 7, 0, 1, true}),
                                slice_unit({kRef, 0, 5, 0, 2, true})});
    const Bytes pair2 = concat({slice_unit({kRef, 0, 5, 1, 1, true}), slice_unit({kRef, 0, 5, 1, 2, true})});
    const Bytes stream = concat({pair1, pair2});
    const Started first = s.start(stream);
    EXPECT_EQ(frame(first), Frame(0, "", prefix_of(pair1), 0));  // the top field's type
    EXPECT_EQ(first.info.picture_structure, 2);
    EXPECT_EQ(first.info.field_pic_flag, 1u);
    EXPECT_EQ(first.info.coded_height, 160);
    EXPECT_EQ(frame(s.start(stream, prefix_of(pair1))), Frame(0, "", pair2.size() - 1, 1));

    // A frame picture after a bottom field also starts a new frame silently;
    // a new picture after a frame picture is announced.
    Stream t;
    const Bytes mixed = concat({pair1, slice_unit({kRef, 0, 5, 1, 3, true}), slice_unit({kRef, 0, 5, 2, 3, true})});
    EXPECT_EQ(t.start(mixed).info.consumed, prefix_of(pair1));
    const Started second = t.start(mixed, prefix_of(pair1));
    EXPECT_EQ(second.log, kMoreData);
    EXPECT_EQ(second.info.picture_structure, 3);
    EXPECT_EQ(second.info.field_pic_flag, 0u);
}

TEST(FrameBoundary, IdrAndNonIdrSlicesAndSliceHeaderCodes) {
    const Bytes head = concat({sps_unit(), pps_unit(), slice_unit({})});
    // Second slice of an IDR frame picture in a non-IDR unit.
    const Started bad = Stream().start(concat({head, slice_unit({kRef, 50, 7, 0})}));
    EXPECT_EQ(bad.rc, -13);
    EXPECT_EQ(bad.log, "[VsKavrel]:Frame containing both idr and non-idr\n");
    EXPECT_EQ(bad.info.consumed, 0u);
    // A non-IDR unit that starts a new picture ends the frame before the
    // test is made.
    EXPECT_EQ(Stream().start(concat({head, slice_unit({kRef, 0, 5, 1})})).log, kMoreData);

    // frame_num 0, 1, then 3: a gap the SPS does not allow. The slice
    // header's code and message reach the caller.
    Stream s;
    const Bytes stream = concat({head, slice_unit({kRef, 0, 5, 1}), slice_unit({kRef, 0, 5, 3})});
    const uint32_t pos = s.start(stream).info.consumed;
    const Started p1 = s.start(stream, pos);
    ASSERT_EQ(p1.rc, 0);
    const Started p3 = s.start(stream, pos + p1.info.consumed);
    EXPECT_EQ(p3.rc, -16);
    EXPECT_EQ(p3.log,
              "[VsKavrel]:ERROR: frame_num start from 3, prev_frame_num(1)\n"
              "[VsKavrel]:Parse slice header fail\n");
    EXPECT_EQ(p3.info.consumed, 0u);
}

}  // namespace
