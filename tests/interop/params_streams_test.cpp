// SPS and PPS of streams made with x264, parsed through Kavrel_Start and
// checked field by field against what FFmpeg's trace_headers filter reads
// from the same units; FrameInfo against ffprobe and the traced fields.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "stream/parser_handle.h"
#include "params/sps_elements.h"
#include "params/standard_scaling.h"
#include "support/ffmpeg_oracle.h"
#include "support/test_support.h"

using kavrel_test::Bytes;
using standard_scaling::List;
using Section = kavrel_test::TracedUnit;

namespace {

// Lists as a set's trace gives them (clause 7.3.2.1.1.1, raster order): a
// list with a flag of 0 takes its fall-back of Table 7-2, `base` for lists
// 0, 3, 6, 7 and the list before for the others. Only the traced lists.
std::vector<List> traced_lists(const Section& t, const std::string& flag_name, const std::vector<List>& base) {
    using namespace standard_scaling;
    std::vector<int> present;
    std::vector<std::vector<int64_t>> deltas;
    for (const kavrel_test::TracedElement& f : t.elements) {
        if (f.name == flag_name) {
            present.push_back(static_cast<int>(f.value));
            deltas.emplace_back();
        } else if (f.name == "delta_scale" && !deltas.empty()) {
            deltas.back().push_back(f.value);
        }
    }
    const std::vector<List> defaults = {raster(kIntra4), raster(kIntra4), raster(kIntra4), raster(kInter4),
                                        raster(kInter4), raster(kInter4), raster(kIntra8), raster(kInter8)};
    std::vector<List> lists;
    for (size_t i = 0; i < present.size(); ++i) {
        if (!present[i]) {
            lists.push_back(i == 0 || i == 3 || i >= 6 ? base[i] : lists[i - 1]);
            continue;
        }
        const size_t size = i < 6 ? 16 : 64;
        List scanned(size);
        int64_t last = 8, next = 8;
        size_t d = 0;
        bool use_default = false;
        for (size_t k = 0; k < size; ++k) {
            if (next != 0) next = ((last + deltas[i].at(d++)) % 256 + 256) % 256;
            if (k == 0 && next == 0) {
                use_default = true;
                break;
            }
            scanned[k] = static_cast<int>(next != 0 ? next : last);
            last = scanned[k];
        }
        lists.push_back(use_default ? defaults[i] : raster(scanned));
    }
    return lists;
}

std::vector<List> stored_lists(const uint8_t (*l4)[16], const uint8_t (*l8)[64]) {
    std::vector<List> out;
    for (int i = 0; i < 6; ++i) out.emplace_back(l4[i], l4[i] + 16);
    for (int i = 0; i < 2; ++i) out.emplace_back(l8[i], l8[i] + 64);
    return out;
}

std::vector<List> default_lists() {
    using namespace standard_scaling;
    return {raster(kIntra4), {}, {}, raster(kInter4), {}, {}, raster(kIntra8), raster(kInter8)};
}

void expect_lists(const std::vector<List>& stored, const std::vector<List>& traced) {
    for (size_t i = 0; i < traced.size(); ++i) EXPECT_EQ(stored[i], traced[i]) << "scaling list " << i;
}

// Compares every traced element with `ours` (keyed "name" or "name[i]",
// HRD elements prefixed "nal:" or "vcl:"); elements not in `ours` must be
// in `other`.
void expect_elements(const Section& t, const std::map<std::string, int64_t>& ours, const std::set<std::string>& other) {
    std::string hrd;
    for (const kavrel_test::TracedElement& f : t.elements) {
        if (f.name == "nal_hrd_parameters_present_flag") hrd = "nal:";
        if (f.name == "vcl_hrd_parameters_present_flag") hrd = "vcl:";
        if (f.name == "low_delay_hrd_flag") hrd.clear();
        const std::string& key = f.key;
        if (ours.count(hrd + key)) {
            EXPECT_EQ(ours.at(hrd + key), f.value) << hrd + key;
        } else if (ours.count(key)) {
            EXPECT_EQ(ours.at(key), f.value) << key;
        } else {
            EXPECT_TRUE(other.count(f.name)) << "unchecked element " << key;
        }
    }
}

const std::set<std::string> kOther = {"forbidden_zero_bit", "nal_ref_idc", "nal_unit_type", "delta_scale",
                                      "rbsp_stop_one_bit", "rbsp_alignment_zero_bit"};

// Every element of the traced SPS against the parsed entry.
void expect_sps(const kavrel::SeqParamSet& s, const Section& t) {
    expect_elements(t, params_test::sps_elements(s), kOther);

    // Bit positions the stream correction relies on.
    EXPECT_EQ(s.vui_flag_bit_pos + 8, t.find("vui_parameters_present_flag")->bit);
    if (const kavrel_test::TracedElement* overscan = t.find("overscan_info_present_flag")) {
        EXPECT_EQ(s.aspect_info_end_bit_pos + 8, overscan->bit);
    }
    // Lists: fall-back rule A; none stored without a matrix.
    if (s.seq_scaling_matrix_present_flag) {
        expect_lists(stored_lists(s.scaling_list_4x4, s.scaling_list_8x8),
                     traced_lists(t, "seq_scaling_list_present_flag", default_lists()));
    } else {
        for (const List& l : stored_lists(s.scaling_list_4x4, s.scaling_list_8x8)) EXPECT_EQ(l, List(l.size()));
    }
}

// Every element of the traced PPS against the parsed entry.
void expect_pps(const ParserHandle* h, const Section& t) {
    const kavrel::PicParamSet& p = h->pps_table[t.get("pic_parameter_set_id")];
    std::map<std::string, int64_t> m = {
        {"pic_parameter_set_id", t.get("pic_parameter_set_id")}, {"seq_parameter_set_id", p.sps_id},
        {"entropy_coding_mode_flag", p.entropy_coding_mode_flag},
        {"bottom_field_pic_order_in_frame_present_flag", p.bottom_field_pic_order_in_frame_present_flag},
        {"num_slice_groups_minus1", p.num_slice_groups_minus1},
        {"num_ref_idx_l0_default_active_minus1", p.ref_count[0] - 1},
        {"num_ref_idx_l1_default_active_minus1", p.ref_count[1] - 1}, {"weighted_pred_flag", p.weighted_pred_flag},
        {"weighted_bipred_idc", p.weighted_bipred_idc}, {"pic_init_qp_minus26", p.init_qp - 26},
        {"pic_init_qs_minus26", p.init_qs - 26}, {"chroma_qp_index_offset", p.chroma_qp_index_offset},
        {"deblocking_filter_control_present_flag", p.deblocking_filter_control_present_flag},
        {"constrained_intra_pred_flag", p.constrained_intra_pred_flag},
        {"redundant_pic_cnt_present_flag", p.redundant_pic_cnt_present_flag},
        {"transform_8x8_mode_flag", p.transform_8x8_mode_flag},
        {"pic_scaling_matrix_present_flag", p.pic_scaling_matrix_present_flag},
        {"second_chroma_qp_index_offset", p.second_chroma_qp_index_offset},
    };
    for (int i = 0; i < 8; ++i) m["pic_scaling_list_present_flag[" + std::to_string(i) + "]"] = p.scaling_list_present_flag[i];
    expect_elements(t, m, kOther);
    EXPECT_EQ(p.valid, 1);
    EXPECT_EQ(h->pps_tail_bit_pos + 8, t.find("redundant_pic_cnt_present_flag")->bit);
    EXPECT_EQ(h->transform_8x8_mode, t.get("transform_8x8_mode_flag", -1));
    if (!t.find("transform_8x8_mode_flag")) {
        EXPECT_EQ(p.second_chroma_qp_index_offset, 0);
    }

    // Lists: fall-back rule B when the SPS has a matrix, rule A otherwise.
    const kavrel::SeqParamSet& sps = h->sps_table[p.sps_id];
    const std::vector<List> sps_lists = stored_lists(sps.scaling_list_4x4, sps.scaling_list_8x8);
    const std::vector<List> stored = stored_lists(p.scaling_list_4x4, p.scaling_list_8x8);
    if (p.pic_scaling_matrix_present_flag) {
        expect_lists(stored, traced_lists(t, "pic_scaling_list_present_flag",
                                          sps.seq_scaling_matrix_present_flag ? sps_lists : default_lists()));
    } else if (sps.seq_scaling_matrix_present_flag) {
        EXPECT_EQ(stored, sps_lists);
    }
}

// A stream's first SPS and PPS: FFmpeg's trace, the units, and Kavrel_Start
// on the two of them.
struct Parsed {
    Section sps, pps;
    Bytes sps_unit, pps_unit;  // from the header byte on
    kavrel_test::Started r;
    std::string width_height;  // as ffprobe reports the display size
};

Parsed parse_stream(const kavrel_test::Parser& p, const std::string& name, const std::string& args) {
    Parsed r;
    const std::string path = kavrel_test::make_stream(name, args);
    for (const Section& u : kavrel_test::trace(path)) {
        if (u.heading == "Sequence Parameter Set" && r.sps.elements.empty()) r.sps = u;
        if (u.heading == "Picture Parameter Set" && r.pps.elements.empty()) r.pps = u;
    }
    for (const Bytes& u : kavrel_test::nal_units(kavrel_test::read_file(path))) {
        if ((u[0] & 0x1f) == 7 && r.sps_unit.empty()) r.sps_unit = u;
        if ((u[0] & 0x1f) == 8 && r.pps_unit.empty()) r.pps_unit = u;
    }
    EXPECT_FALSE(r.sps.elements.empty() || r.pps.elements.empty() || r.sps_unit.empty() || r.pps_unit.empty());
    r.r = p.start(kavrel_test::concat({{0, 0, 0, 1}, r.sps_unit, {0, 0, 0, 1}, r.pps_unit}));
    r.width_height = kavrel_test::probe_stream(path, "width,height");
    return r;
}

// FrameInfo of a frame holding the stream's SPS and PPS.
void expect_frame_info(const Parsed& r) {
    const FrameInfo& info = r.r.info;
    EXPECT_EQ(std::to_string(info.width) + "," + std::to_string(info.height), r.width_height);
    EXPECT_EQ(info.coded_width, (r.sps.get("pic_width_in_mbs_minus1") + 1) * 16);
    EXPECT_EQ(info.coded_height,
              (r.sps.get("pic_height_in_map_units_minus1") + 1) * (2 - r.sps.get("frame_mbs_only_flag")) * 16);
    const int64_t tick = r.sps.get("num_units_in_tick", 0);
    EXPECT_EQ(info.frame_rate, tick ? (r.sps.get("time_scale", 0) / 2) / tick : 0);
    EXPECT_EQ(info.ref_frame_count, static_cast<uint32_t>(r.sps.get("max_num_ref_frames")));
    EXPECT_EQ(info.picture_type, 255);
    // The copies: the RBSP up to the byte that holds the stop bit's
    // predecessor (the byte of the stop bit when it shares it with syntax).
    const Bytes sps_rbsp = kavrel_test::unescape(r.sps_unit.data() + 1, r.sps_unit.size() - 1);
    const Bytes pps_rbsp = kavrel_test::unescape(r.pps_unit.data() + 1, r.pps_unit.size() - 1);
    const size_t sps_len = static_cast<size_t>(r.sps.find("rbsp_stop_one_bit")->bit - 8 + 7) / 8;
    const size_t pps_len = static_cast<size_t>(r.pps.find("rbsp_stop_one_bit")->bit - 8 + 7) / 8;
    ASSERT_EQ(info.sps_size, sps_len);
    ASSERT_EQ(info.pps_size, pps_len);
    EXPECT_EQ(0, std::memcmp(info.sps_data, sps_rbsp.data(), sps_len));
    EXPECT_EQ(0, std::memcmp(info.pps_data, pps_rbsp.data(), pps_len));
}

struct Stream {
    std::string name, args;
};

void check_streams(const std::vector<Stream>& streams) {
    for (const Stream& st : streams) {
        SCOPED_TRACE(st.name);
        kavrel_test::Parser p;
        const Parsed r = parse_stream(p, st.name, st.args);
        EXPECT_EQ(r.r.rc, 0) << r.r.log;
        EXPECT_EQ(r.r.log, "");
        expect_sps(p->active_sps, r.sps);
        expect_pps(p.h, r.pps);
        expect_frame_info(r);
    }
}

const std::string kSource = "-f lavfi -i testsrc2=size=";

TEST(ParamSetStreams, ProfilesSizesAndInterlace) {
    check_streams({
        {"params_baseline", kSource + "176x144:rate=25 -frames:v 2 -c:v libx264 -profile:v baseline"},
        {"params_main_1080", kSource + "1920x1080:rate=30000/1001 -frames:v 1 -c:v libx264 -preset veryfast "
                                       "-profile:v main -refs 3"},
        {"params_high_1080i", kSource + "1920x1080:rate=25 -frames:v 1 -c:v libx264 -preset veryfast "
                                        "-flags +ildct -profile:v high"},
        {"params_odd_size", kSource + "354x198:rate=24 -frames:v 2 -c:v libx264 -profile:v high"},
        {"params_gray", kSource + "176x144:rate=25 -frames:v 1 -pix_fmt gray -c:v libx264"},
        // Monochrome crops in whole luma columns and rows.
        {"params_gray_odd", kSource + "174x142:rate=25 -frames:v 1 -pix_fmt gray -c:v libx264"},
    });
}

TEST(ParamSetStreams, VuiAndHrd) {
    check_streams({
        {"params_vui_vbr", kSource + "176x144:rate=50 -frames:v 2 -vf setsar=7/5 -c:v libx264 -x264-params "
                                     "nal-hrd=vbr:vbv-maxrate=500:vbv-bufsize=1000:colorprim=bt470bg:"
                                     "transfer=smpte170m:colormatrix=smpte170m:overscan=show:videoformat=pal:"
                                     "fullrange=on:chromaloc=2"},
        {"params_vui_cbr", kSource + "320x240:rate=30000/1001 -frames:v 2 -vf setsar=4/3 -c:v libx264 -x264-params "
                                     "nal-hrd=cbr:bitrate=400:vbv-maxrate=400:vbv-bufsize=800:pic-struct=1:"
                                     "overscan=crop"},
    });
}

TEST(ParamSetStreams, ScalingMatricesInPps) {
    const std::string cqm4 =
        "cqm4iy=6,12,19,26,12,19,26,31,19,26,31,35,26,31,35,35:cqm4ic=7,13,20,27,13,20,27,32,20,27,32,36,27,32,36,40:"
        "cqm4py=10,14,20,24,14,20,24,27,20,24,27,30,24,27,30,30:cqm4pc=10,14,20,24,14,20,24,27,20,24,27,30,24,27,30,34";
    std::string cqm8 = "cqm8i=", cqm8p = ":cqm8p=";
    for (int i = 0; i < 64; ++i) {
        cqm8 += std::to_string(8 + i / 3) + (i < 63 ? "," : "");
        cqm8p += std::to_string(40 - (i % 9)) + (i < 63 ? "," : "");
    }
    check_streams({
        {"params_cqm_jvt", kSource + "176x144:rate=25 -frames:v 1 -c:v libx264 -x264-params cqm=jvt"},
        {"params_cqm_4x4", kSource + "176x144:rate=25 -frames:v 1 -c:v libx264 -x264-params " + cqm4},
        {"params_cqm_8x8", kSource + "176x144:rate=25 -frames:v 1 -c:v libx264 -x264-params " + cqm8 + cqm8p},
    });
}

TEST(ParamSetStreams, ScalingMatrixInSpsOfAnUnsupportedFormat) {
    // AVC-Intra 100: High 4:2:2 Intra, 10 bits, matrices in the SPS. It is
    // read in full and then refused; its PPS, given next, falls back to the
    // SPS's lists (rule B).
    kavrel_test::Parser p;
    const Parsed r = parse_stream(p, "params_avcintra", kSource + "1920x1080:rate=30000/1001 -frames:v 1 -pix_fmt "
                                                                 "yuv422p10le -c:v libx264 -x264-params avcintra-class=100");
    EXPECT_EQ(r.r.rc, -22);
    EXPECT_EQ(r.r.log, "[VsKavrel]:Only support 8-bit 4:2:0 format\n[VsKavrel]:Warnning: sps exists invalid sytnax\n"
                       "[VsKavrel]:Parse sps fail\n");
    const kavrel::SeqParamSet& s = p->sps_table[r.sps.get("seq_parameter_set_id")];
    EXPECT_EQ(s.valid, 0);
    EXPECT_EQ(s.seq_scaling_matrix_present_flag, 1);
    expect_sps(s, r.sps);
    EXPECT_EQ(r.r.info.coded_width, 1920);
    EXPECT_EQ(r.r.info.coded_height, 1088);
    ASSERT_EQ(p.start(kavrel_test::concat({{0, 0, 1}, r.pps_unit})).rc, 0);
    expect_pps(p.h, r.pps);
}

}  // namespace
