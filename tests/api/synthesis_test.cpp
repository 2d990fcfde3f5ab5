// The units the library writes: worked examples byte for byte, and the repeat frame read back element by element, its
// CABAC data by a decoder of ITU-T H.264 9.3.1.2 and 9.3.3.2 with the standard's Tables 9-44 and 9-45.
#include <gtest/gtest.h>

#include "params/param_set_builders.h"

using namespace params_test;
using namespace kavrel_test;

namespace {

// The unit `call` writes after `stream`, as hex; "refused" when -1.
std::string written(const Bytes& stream, const std::function<int32_t(ParserHandle*, uint8_t*)>& call) {
    Parser p;
    EXPECT_EQ(p.walk(stream).rc, 0);
    uint8_t out[512];
    LogCapture quiet;
    const int32_t n = call(p.h, out);
    return n < 0 ? "refused" : to_hex(out, static_cast<size_t>(n));
}

std::string rate(const Bytes& stream, uint32_t fps) {
    return written(stream, [fps](ParserHandle* h, uint8_t* out) {
        FrameRateRequest req{out, 0, fps};
        return H264_Enc_Iframe(h, &req);
    });
}

// Kavrel_enc_h264Correct of `frame` with 64 bytes to spare: the result and the frame written, as hex.
std::string corrected(const Bytes& frame, int32_t mode, uint32_t sar_w = 0, uint32_t sar_h = 0) {
    Bytes cure(frame.size() + 64);
    const uint32_t length = static_cast<uint32_t>(frame.size());
    CorrectionRequest req{length, 0, frame.data(), length + 64, 0, cure.data(), 7, sar_w, sar_h, mode};
    LogCapture quiet;
    const int32_t rc = Kavrel_enc_h264Correct(&req);
    return std::to_string(rc) + " " + std::to_string(req.corrected) + " " + to_hex(cure.data(), req.cureFrameLength);
}

// 352x288 Baseline with POC type 2 and the given VUI.
Bytes cif(const Writer& vui = {}) {
    return sps_nal({.profile_idc = 66, .cs0 = 1, .cs1 = 1, .level_idc = 30, .poc_type = 2, .width_mbs_minus1 = 21,
                    .height_map_units_minus1 = 17, .vui = vui});
}

// A VUI of timing alone: num_units_in_tick, time_scale, fixed_frame_rate_flag 1.
Writer timing(uint32_t tick, uint32_t scale) {
    return [=](BitBuilder& b) { b.u(4, 0).u(1, 1).u(32, tick).u(32, scale).u(1, 1).u(4, 0); };
}

TEST(Synthesis, WorkedExamples) {
    // No VUI: one with timing (1, 50) only.
    EXPECT_EQ(rate(cif(), 25), "00 00 00 01 67 42 c0 1e da 05 82 5a 10 00 00 03 00 10 00 00 03 03 20 40");
    EXPECT_EQ(rate(cif(timing(1001, 60000)), 30), to_hex(cif(timing(1001, 60060))));  // only time_scale changes
    const auto ntsc = [](ParserHandle* h, uint8_t* out) { return H264_Enc_Iframe_Rate(h, out, 64, 30000, 1001); };
    EXPECT_EQ(written(cif(timing(1001, 60060)), ntsc), to_hex(cif(timing(1001, 60000))));
    // A video signal type and pic_struct_present_flag stay around the timing put in.
    const Writer signal = [](BitBuilder& b) { b.u(2, 0).u(1, 1).u(3, 2).u(2, 0).u(1, 0).u(1, 0).u(2, 0).u(2, 2); };
    const Writer signal12 = [](BitBuilder& b) {
        b.u(2, 0).u(1, 1).u(3, 2).u(2, 0).u(1, 0).u(1, 1).u(32, 1).u(32, 24).u(1, 0).u(2, 0).u(2, 2);
    };
    EXPECT_EQ(rate(cif(signal), 12), to_hex(cif(signal12)));
    // At its own rate a set is written back as it was: Intra Y 4x4 list 9 .. 24, the other lists absent.
    const Writer lists = [](BitBuilder& b) {
        b.u(2, 3);
        for (int i = 0; i < 16; ++i) b.se(1);
        b.u(7, 0);
    };
    const Bytes high = sps_nal({.profile_idc = 100, .scaling = lists, .vui = timing(1, 50)});
    EXPECT_EQ(rate(high, 25), to_hex(high));
    // Every coded form of a list is written back as it came: Inter Y (list 3) asking for its default (first delta
    // -8), ending in a repeat, with a delta that wraps; the last 8x8 list flat, then ending in a repeat.
    for (const std::vector<int>& deltas : std::vector<std::vector<int>>{{-8}, {2, 4, -14}, {-100, 127, 5, -40}}) {
        const Bytes inter_y = sps_nal({.profile_idc = 100, .scaling = [&](BitBuilder& b) {
            b.u(5, 0x11);  // matrix present, lists 0..2 absent, list 3 present
            for (int d : deltas) b.se(d);
            b.u(4, 1);  // lists 4..6 absent, list 7 present
            for (int i = 0; i < (deltas.size() == 1 ? 64 : 3); ++i) b.se(deltas.size() == 1 ? 0 : i < 2 ? 3 : -14);
        }, .vui = timing(1, 50)});
        EXPECT_EQ(rate(inter_y, 25), to_hex(inter_y)) << deltas.size();
    }

    // The repeat after an IDR and a P picture (frame_num 1, lsb 2, QP 26, no filter): slice_type 5, frame_num 2, lsb 3,
    // one reference by override, slice_qp_delta 0, disable_deblocking_filter_idc 1, mb_skip_run 99.
    const Bytes stream = concat({sps_nal(), pps_nal(), slice_nal({}),
                                 slice_nal({.header = 0x41, .slice_type = 5, .frame_num = 1, .poc_lsb = 2})});
    EXPECT_EQ(written(stream, [](ParserHandle* h, uint8_t* out) { return H264_Enc_Double_Frame_Sized(h, out, 512); }),
              "00 00 00 01 01 9a 41 ea 03 24");
    EXPECT_EQ(written(stream, [](ParserHandle* h, uint8_t*) { return H264_Enc_Double_Frame_Sized(h, nullptr, 64); }),
              "refused");

    // SAR 1:256 without VUI: Extended_SAR, other VUI flags 0, an emulation
    // prevention byte; the PPS and filler after it unchanged.
    const Bytes after = concat({pps_nal(), Bytes{0, 0, 1, 0x0c, 0xff, 0xff, 0x80}});
    const Writer sar = [](BitBuilder& b) { b.u(1, 1).u(8, 255).u(16, 1).u(16, 256).u(8, 0); };
    EXPECT_EQ(corrected(concat({sps_nal(), after}), 2, 1, 256),
              "0 1 " + to_hex(concat({sps_nal({.vui = sar}), after})));
}

// HRD rates and sizes may take 32-bit values: codes of up to 31 leading
// zeros, at any bit alignment (set by the overscan flags and the chroma
// location code before them). At its own rate the set is written back as
// it was, the fields behind the HRD included.
TEST(Synthesis, LongHrdCodesAtEveryAlignment) {
    for (int shift = 0; shift < 8; ++shift) {
        const Writer vui = [shift](BitBuilder& b) {
            b.u(1, 0).u(1, shift & 1).u(shift & 1, 1).u(1, 0);          // aspect, overscan, video signal
            b.u(1, 1).ue((1u << (shift >> 1)) - 1).ue(0);              // chroma_sample_loc_type 0..7
            b.u(1, 1).u(32, 1).u(32, 50).u(1, 1);                       // timing: 25 frames per second
            b.u(1, 1).ue(0).u(4, 0).u(4, 0).ue(1500000000).ue(100000000).u(1, 0).u(20, 0x5294a);  // NAL HRD
            b.u(1, 0).u(1, 0).u(1, 0);                                  // no VCL HRD, low_delay, pic_struct
            b.u(1, 1).u(1, 1).ue(2).ue(1).ue(16).ue(16).ue(2).ue(4);   // bitstream_restriction
        };
        EXPECT_EQ(rate(cif(vui), 25), to_hex(cif(vui))) << "shift " << shift;
    }
}

// Mode 1 appends transform_8x8_mode_flag 1, pic_scaling_matrix_present_flag 0, second_chroma_qp_index_offset =
// chroma_qp_index_offset and the stop bit wherever the set ends: rows for each of the eight bit alignments (box-out
// slice groups, allowed for profile 122, give the odd lengths x264 never writes).
TEST(Synthesis, PpsTailAtEveryAlignment) {
    const Writer box_out = [](BitBuilder& b) { b.ue(3).u(1, 0).ue(0); };
    const PpsSpec rows[] = {
        {}, {.chroma_qp_offset = 1}, {.chroma_qp_offset = 3}, {.chroma_qp_offset = -7},
        {.slice_groups_minus1 = 1, .slice_group_map = box_out},
        {.slice_groups_minus1 = 1, .slice_group_map = box_out, .chroma_qp_offset = -1},
        {.slice_groups_minus1 = 1, .slice_group_map = box_out, .chroma_qp_offset = 4},
        {.slice_groups_minus1 = 1, .slice_group_map = box_out, .chroma_qp_offset = -3},
    };
    std::vector<bool> alignments(8);
    for (const PpsSpec& pps : rows) {
        alignments[build_pps(pps).bit_length() % 8] = true;
        PpsSpec tailed = pps;
        tailed.tail = true, tailed.transform_8x8 = 1, tailed.second_chroma_qp_offset = pps.chroma_qp_offset;
        const Bytes sps = sps_nal({.profile_idc = pps.slice_groups_minus1 ? 122 : 100});
        EXPECT_EQ(corrected(concat({sps, pps_nal(pps)}), 1), "0 1 " + to_hex(concat({sps, pps_nal(tailed)})))
            << build_pps(pps).bit_length() << " bits";
    }
    EXPECT_EQ(alignments, std::vector<bool>(8, true));
}


const uint8_t kRangeTabLps[64][4] = {
    {128, 176, 208, 240}, {128, 167, 197, 227}, {128, 158, 187, 216}, {123, 150, 178, 205}, {116, 142, 169, 195},
    {111, 135, 160, 185}, {105, 128, 152, 175}, {100, 122, 144, 166}, {95, 116, 137, 158}, {90, 110, 130, 150},
    {85, 104, 123, 142}, {81, 99, 117, 135}, {77, 94, 111, 128}, {73, 89, 105, 122}, {69, 85, 100, 116},
    {66, 80, 95, 110}, {62, 76, 90, 104}, {59, 72, 86, 99}, {56, 69, 81, 94}, {53, 65, 77, 89}, {51, 62, 73, 85},
    {48, 59, 69, 80}, {46, 56, 66, 76}, {43, 53, 63, 72}, {41, 50, 59, 69}, {39, 48, 56, 65}, {37, 45, 54, 62},
    {35, 43, 51, 59}, {33, 41, 48, 56}, {32, 39, 46, 53}, {30, 37, 43, 50}, {29, 35, 41, 48}, {27, 33, 39, 45},
    {26, 31, 37, 43}, {24, 30, 35, 41}, {23, 28, 33, 39}, {22, 27, 32, 37}, {21, 26, 30, 35}, {20, 24, 29, 33},
    {19, 23, 27, 31}, {18, 22, 26, 30}, {17, 21, 25, 28}, {16, 20, 23, 27}, {15, 19, 22, 25}, {14, 18, 21, 24},
    {14, 17, 20, 23}, {13, 16, 19, 22}, {12, 15, 18, 21}, {12, 14, 17, 20}, {11, 14, 16, 19}, {11, 13, 15, 18},
    {10, 12, 15, 17}, {10, 12, 14, 16}, {9, 11, 13, 15}, {9, 11, 12, 14}, {8, 10, 12, 14}, {8, 9, 11, 13},
    {7, 9, 11, 12}, {7, 9, 10, 12}, {7, 8, 10, 11}, {6, 8, 9, 11}, {6, 7, 9, 10}, {6, 7, 8, 9}, {2, 2, 2, 2}};
const uint8_t kTransIdxLps[64] = {0,  0,  1,  2,  2,  4,  4,  5,  6,  7,  8,  9,  9,  11, 11, 12, 13, 13, 15, 15, 16,
                                  16, 18, 18, 19, 19, 21, 21, 22, 22, 23, 24, 24, 25, 26, 26, 27, 27, 28, 29, 29, 30,
                                  30, 30, 31, 32, 32, 33, 33, 33, 34, 34, 35, 35, 35, 36, 36, 36, 37, 37, 37, 38,
                                  38, 63};

// The arithmetic decoding engine (9.3.1.2, 9.3.3.2.1-9.3.3.2.3) for one context.
struct Cabac {
    BitReader& r;
    uint32_t range = 510, offset;
    int state, mps;
    Cabac(BitReader& reader, int m, int n, int qp) : r(reader), offset(reader.u(9)) {
        const int pre = std::clamp(((m * std::clamp(qp, 0, 51)) >> 4) + n, 1, 126);
        state = pre <= 63 ? 63 - pre : pre - 64;
        mps = pre <= 63 ? 0 : 1;
    }
    void renorm() {
        for (; range < 256; range <<= 1) offset = (offset << 1) | r.bit();
    }
    int decision() {
        const uint32_t lps = kRangeTabLps[state][(range >> 6) & 3];
        range -= lps;
        const bool is_mps = offset < range;
        const int bin = is_mps ? mps : 1 - mps;
        if (!is_mps) offset -= range, range = lps, mps = state == 0 ? 1 - mps : mps;
        state = is_mps ? std::min(state + 1, 62) : kTransIdxLps[state];
        renorm();
        return bin;
    }
    int terminate() {
        range -= 2;
        if (offset >= range) return 1;
        renorm();
        return 0;
    }
};

TEST(Synthesis, RepeatFrameReadsBackAsAllSkipped) {
    const struct {
        SpsSpec sps;
        bool cabac;
        int64_t qp_delta;
        uint64_t deblocking_idc;
        int64_t alpha_div2, beta_div2;
    } rows[] = {
        {{}, false, 0, 1, 0, 0},
        {{}, true, 0, 0, 0, 0},
        {{}, true, -26, 2, -3, 2},
        {{}, true, 25, 0, 6, -6},
        {{.width_mbs_minus1 = 119, .height_map_units_minus1 = 67}, true, -4, 0, 0, 0},
        {{.width_mbs_minus1 = 44, .height_map_units_minus1 = 17, .frame_mbs_only = 0, .mbaff = 1}, true, 3, 0, 0, 0},
    };
    for (const auto& row : rows) {
        const bool frames = row.sps.frame_mbs_only;
        SCOPED_TRACE(to_hex(build_sps(row.sps).bytes()) + (row.cabac ? " CABAC" : " CAVLC"));
        // An IDR picture, then P pictures up to frame_num 15, lsb 4 apart up to 63.
        Bytes stream =
            concat({sps_nal(row.sps), pps_nal({.entropy = row.cabac}), slice_nal({.structure = frames ? 0 : 3})});
        for (uint64_t k = 1; k < 16; ++k) {
            const SliceSpec p{.header = 0x41, .slice_type = 5, .frame_num = k, .structure = frames ? 0 : 3,
                              .poc_lsb = 4 * k + 3, .cabac_init_idc = row.cabac ? 1 : -1,
                              .qp_delta = row.qp_delta, .deblocking_idc = row.deblocking_idc,
                              .alpha_div2 = row.alpha_div2, .beta_div2 = row.beta_div2};
            stream = concat({stream, slice_nal(p)});
        }
        Parser parser;
        ASSERT_EQ(parser.walk(stream).rc, 0);
        std::vector<uint8_t> out(1 << 20);
        const int32_t n = H264_Enc_Double_Frame_Sized(parser.h, out.data(), static_cast<uint32_t>(out.size()));
        ASSERT_GT(n, 5);
        EXPECT_EQ(to_hex(out.data(), 5), "00 00 00 01 01");
        BitReader r{unescape(out.data() + 5, static_cast<size_t>(n) - 5)};
        // first_mb 0, P, PPS 0, frame_num and lsb wrapped, [field_pic_flag], one
        // reference, no list change, [cabac_init_idc 0], the last QP and filter.
        const std::vector<int64_t> header = {
            r.ue(), r.ue(), r.ue(), r.u(4), frames ? 0 : r.u(1), r.u(6), r.u(1), r.ue(), r.u(1), row.cabac ? r.ue() : 0,
            r.se(), r.ue()};
        EXPECT_EQ(header, std::vector<int64_t>({0, 5, 0, 0, 0, 0, 1, 0, 0, 0, row.qp_delta,
                                                static_cast<int64_t>(row.deblocking_idc)}));
        const int64_t alpha = row.deblocking_idc != 1 ? r.se() : 0, beta = row.deblocking_idc != 1 ? r.se() : 0;
        EXPECT_EQ(std::vector<int64_t>({alpha, beta}), std::vector<int64_t>({row.alpha_div2, row.beta_div2}));
        const uint64_t map_units = (row.sps.width_mbs_minus1 + 1) * (row.sps.height_map_units_minus1 + 1);
        const uint32_t mbs = static_cast<uint32_t>(map_units * (frames ? 1 : 2));
        if (!row.cabac) {
            EXPECT_EQ(r.ue(), mbs);  // mb_skip_run
        } else {
            while (r.pos % 8) EXPECT_EQ(r.bit(), 1u) << "cabac_alignment_one_bit";
            // mb_skip_flag (ctxIdx 11, (m, n) = (23, 33) for cabac_init_idc 0)
            // of every macroblock, end_of_slice_flag after each (each pair in MBAFF).
            Cabac d(r, 23, 33, 26 + static_cast<int>(row.qp_delta));
            for (uint32_t mb = 0; mb < mbs; ++mb) {
                ASSERT_EQ(d.decision(), 1) << "mb_skip_flag of " << mb;
                if (!frames && mb % 2 == 0) continue;
                ASSERT_EQ(d.terminate(), mb + 1 == mbs ? 1 : 0) << "end_of_slice_flag after " << mb;
            }
            r.pos -= 1;  // decoding ends on the rbsp_stop_one_bit (9.3.4.5)
        }
        EXPECT_EQ(r.bit(), 1u) << "rbsp_stop_one_bit";
        while (r.pos < 8 * r.data.size()) ASSERT_EQ(r.bit(), 0u) << "past the stop bit at " << r.pos;
    }
}

}  // namespace
