// Kavrel_Start frame by frame against FFmpeg on streams made with x264:
// every access unit's consumed bytes against FFmpeg's packet split (with
// the library's own rule where the two differ, see library_boundary), and
// picture type, structure, sizes, rate and reference count against ffprobe
// and trace_headers. Each case first checks that the stream really has the
// feature it is meant to exercise.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "stream/parser_handle.h"
#include "support/ffmpeg_oracle.h"
#include "support/test_support.h"

namespace {

using kavrel_test::Bytes;
using kavrel_test::TracedUnit;

// One access unit as FFmpeg's parser splits the stream.
struct Packet {
    int64_t pos = 0, size = 0;
    std::vector<TracedUnit> units{};  // in stream order
    char pict_type = '?';           // of the decoded picture made from it
    int interlaced_frame = -1;
    const TracedUnit* last_slice() const {
        for (auto it = units.rbegin(); it != units.rend(); ++it)
            if (it->heading == "Slice Header") return &*it;
        return nullptr;
    }
};

struct Oracle {
    Bytes data;
    std::vector<Packet> packets;
    TracedUnit sps, pps;    // the last of the stream
    nlohmann::json stream;  // ffprobe -show_streams
};

// ffprobe's packets, the decoded pictures and the stream, and the trace.
Oracle probe(const std::string& path) {
    Oracle o;
    o.data = kavrel_test::read_file(path);
    std::string out;
    kavrel_test::run("ffprobe -v error -select_streams v:0 -show_packets -show_frames -show_streams -show_entries "
                     "packet=pos,size:frame=pkt_pos,pict_type,interlaced_frame:stream=width,height,r_frame_rate,"
                     "pix_fmt -of json '" + path + "'",
                     &out);
    const nlohmann::json doc = nlohmann::json::parse(out);
    const auto number = [](const nlohmann::json& v) { return std::stoll(v.get<std::string>()); };
    for (const auto& e : doc.at("packets_and_frames"))
        if (e.at("type") == "packet") o.packets.push_back({number(e.at("pos")), number(e.at("size"))});
    for (const auto& e : doc.at("packets_and_frames")) {
        if (e.at("type") != "frame") continue;
        for (Packet& p : o.packets) {
            if (p.pos != number(e.at("pkt_pos"))) continue;
            p.pict_type = e.at("pict_type").get<std::string>()[0];
            p.interlaced_frame = e.at("interlaced_frame");
        }
    }
    o.stream = doc.at("streams").at(0);
    int traced_packets = 0;
    for (const TracedUnit& u : kavrel_test::trace(path)) {
        traced_packets = u.packet + 1;
        if (u.packet < 0 || u.packet >= static_cast<int>(o.packets.size())) continue;  // extradata
        if (u.heading == "Sequence Parameter Set") o.sps = u;
        if (u.heading == "Picture Parameter Set") o.pps = u;
        o.packets[static_cast<size_t>(u.packet)].units.push_back(u);
    }
    EXPECT_EQ(traced_packets, static_cast<int>(o.packets.size())) << "trace_headers and ffprobe disagree";
    return o;
}

// One Kavrel_Start call of a walk over a whole stream.
struct Call : kavrel_test::Started {
    size_t start;               // offset in the stream
    kavrel::SliceHeader slice;  // the handle's last slice header after the call
};

// Walks the stream with one handle, each call given everything from the
// end of the previous frame to the end of the stream, the way a caller
// that knows nothing about the stream's access units would.
std::vector<Call> walk(const Bytes& data) {
    std::vector<Call> calls;
    kavrel_test::Parser p;
    for (size_t pos = 0; pos < data.size() && calls.size() <= data.size(); pos += calls.back().info.consumed) {
        calls.push_back({p.start(data, pos), pos, p->slice});
        if (calls.back().rc < 0 || calls.back().info.consumed == 0) break;
    }
    return calls;
}

// Where the frame before FFmpeg's packet `next` ends: at the 00 00 01 of
// the first NAL unit of that packet that may begin an access unit (ITU-T
// H.264 7.4.1.2.3: SEI, SPS, PPS, access unit delimiter, types 14-18, a
// slice). A four-byte start code's leading zero byte stays with the frame
// before (FFmpeg counts it to the next packet).
size_t library_boundary(const Oracle& o, size_t next, int* first_type) {
    const Packet& p = o.packets[next];
    const size_t end = static_cast<size_t>(p.pos + p.size);
    for (size_t i = static_cast<size_t>(p.pos); i + 3 < end; ++i) {
        if (o.data[i] != 0 || o.data[i + 1] != 0 || o.data[i + 2] != 1) continue;
        *first_type = o.data[i + 3] & 0x1f;
        if (*first_type == 1 || *first_type == 5 || (*first_type >= 6 && *first_type <= 9) ||
            (*first_type >= 14 && *first_type <= 18)) {
            return i;
        }
    }
    ADD_FAILURE() << "packet " << next << " holds no unit that starts an access unit";
    *first_type = 0;
    return end;
}

// The handle's slice header after a frame against the last slice header
// of FFmpeg's access unit: fields read after the reordering, weight and
// marking structures only match when those were walked bit for bit.
void expect_slice_matches(const Oracle& o, const TracedUnit& traced, const kavrel::SliceHeader& s) {
    EXPECT_EQ(s.first_mb_in_slice, traced.get("first_mb_in_slice"));
    EXPECT_EQ(s.frame_num, traced.get("frame_num"));
    if (traced.find("pic_order_cnt_lsb")) {
        EXPECT_EQ(s.pic_order_cnt_lsb, traced.get("pic_order_cnt_lsb"));
    }
    if (traced.find("delta_pic_order_cnt_bottom")) {
        EXPECT_EQ(s.delta_pic_order_cnt_bottom, traced.get("delta_pic_order_cnt_bottom"));
    }
    const int64_t kind = traced.get("slice_type") % 5;  // 0 P, 1 B, 2 I
    const bool override = traced.get("num_ref_idx_active_override_flag") == 1;
    if (kind <= 1) {
        EXPECT_EQ(s.ref_count[0], 1 + (override ? traced.get("num_ref_idx_l0_active_minus1")
                                                : o.pps.get("num_ref_idx_l0_default_active_minus1")));
    }
    if (kind == 1) {
        EXPECT_EQ(s.ref_count[1], 1 + (override ? traced.get("num_ref_idx_l1_active_minus1")
                                                : o.pps.get("num_ref_idx_l1_default_active_minus1")));
        EXPECT_EQ(s.direct_spatial_mv_pred_flag, traced.get("direct_spatial_mv_pred_flag"));
    }
    if (traced.find("cabac_init_idc")) {
        EXPECT_EQ(s.cabac_init_idc, traced.get("cabac_init_idc"));
    }
    EXPECT_EQ(s.qp, 26 + o.pps.get("pic_init_qp_minus26") + traced.get("slice_qp_delta"));
    const int64_t idc = traced.get("disable_deblocking_filter_idc", 0);
    EXPECT_EQ(s.deblocking_mode, idc == 0 ? 1 : idc == 1 ? 0 : 2);
    EXPECT_EQ(s.slice_alpha_c0_offset, 2 * traced.get("slice_alpha_c0_offset_div2", 0));
    EXPECT_EQ(s.slice_beta_offset, 2 * traced.get("slice_beta_offset_div2", 0));
}

// Every call of the walk against FFmpeg's access units: the same number
// of frames, each ending where the library's rule puts the start of the
// next one, with the picture type, structure and sizes FFmpeg sees and the
// one boundary message that names why the frame ended.
void expect_frames_match(const Oracle& o, const std::vector<Call>& calls) {
    ASSERT_FALSE(o.packets.empty());
    ASSERT_EQ(calls.size(), o.packets.size());
    const int64_t frame_height_mbs =
        (2 - o.sps.get("frame_mbs_only_flag")) * (o.sps.get("pic_height_in_map_units_minus1") + 1);
    const int64_t units = o.sps.get("num_units_in_tick", 0);
    const int64_t rate = units > 0 ? (o.sps.get("time_scale") / 2) / units : 0;
    // FFmpeg's frame rate, rounded down, must agree with the VUI timing.
    const std::string r = o.stream.at("r_frame_rate");
    EXPECT_EQ(rate, std::stoll(r.substr(0, r.find('/'))) / std::stoll(r.substr(r.find('/') + 1)));

    for (size_t k = 0; k < calls.size(); ++k) {
        SCOPED_TRACE("frame " + std::to_string(k) + " at byte " + std::to_string(calls[k].start));
        const Call& c = calls[k];
        const Packet& p = o.packets[k];
        ASSERT_EQ(c.rc, 0) << c.log;
        int next_type = 0;
        const size_t end = k + 1 < calls.size() ? library_boundary(o, k + 1, &next_type) : o.data.size();
        EXPECT_EQ(c.start + c.info.consumed, end);
        EXPECT_EQ(c.log, next_type >= 6 ? "[VsKavrel]:nal_unit_type (" + std::to_string(next_type) +
                                              ") should precede the VCL NAL\n"
                         : next_type != 0 ? "[VsKavrel]:Unexpected more data in current frame\n"
                                          : "");
        const TracedUnit* slice = p.last_slice();
        ASSERT_NE(slice, nullptr);
        EXPECT_EQ(c.info.picture_type, static_cast<int32_t>(std::string("IPB").find(p.pict_type)));
        const int64_t field = slice->get("field_pic_flag", 0);
        EXPECT_EQ(c.info.field_pic_flag, static_cast<uint32_t>(field));
        EXPECT_EQ(c.info.picture_structure, field ? 1 + slice->get("bottom_field_flag", 0) : 3);
        EXPECT_EQ(c.info.width, o.stream.at("width").get<int>());
        EXPECT_EQ(c.info.height, o.stream.at("height").get<int>());
        EXPECT_EQ(c.info.coded_width, (o.sps.get("pic_width_in_mbs_minus1") + 1) * 16);
        EXPECT_EQ(c.info.coded_height, frame_height_mbs * 16);
        EXPECT_EQ(c.info.frame_rate, static_cast<uint32_t>(rate));
        EXPECT_EQ(c.info.ref_frame_count, static_cast<uint32_t>(o.sps.get("max_num_ref_frames")));
        expect_slice_matches(o, *slice, c.slice);
    }
}

const std::string kSmall = "-f lavfi -i testsrc2=size=176x144:rate=25 ";

Oracle check_stream(const std::string& name, const std::string& recipe) {
    Oracle o = probe(kavrel_test::make_stream(name, recipe));
    expect_frames_match(o, walk(o.data));
    return o;
}

// How many of the stream's structures satisfy `pred`.
template <typename Pred>
int count_units(const Oracle& o, Pred pred) {
    int n = 0;
    for (const Packet& p : o.packets) n += static_cast<int>(std::count_if(p.units.begin(), p.units.end(), pred));
    return n;
}

TEST(FramesInterop, BaselineCavlcIntraAndPredicted) {
    // keyint 4: a second IDR with its own SPS and PPS ends the frame before it.
    const Oracle o = check_stream(
        "frames_baseline", kSmall + "-frames:v 9 -c:v libx264 -profile:v baseline -x264-params keyint=4:min-keyint=4");
    EXPECT_EQ(o.sps.get("profile_idc"), 66);
    EXPECT_EQ(o.pps.get("entropy_coding_mode_flag"), 0);
    EXPECT_GE(count_units(o, [](const TracedUnit& u) { return u.get("nal_unit_type") == 5; }), 2);
}

TEST(FramesInterop, MainAndHighCabacWithBFramesAndPyramid) {
    const Oracle main = check_stream("frames_main_b", kSmall + "-frames:v 10 -c:v libx264 -profile:v main -bf 2 "
                                                               "-x264-params b-pyramid=none");
    EXPECT_EQ(main.sps.get("profile_idc"), 77);
    EXPECT_EQ(main.pps.get("entropy_coding_mode_flag"), 1);
    const Oracle high = check_stream("frames_high_pyramid", kSmall + "-frames:v 12 -c:v libx264 -profile:v high "
                                                                     "-bf 3 -refs 3 -x264-params b-pyramid=normal");
    EXPECT_EQ(high.sps.get("profile_idc"), 100);
    // A B picture used as a reference: the pyramid is there.
    EXPECT_GT(count_units(high, [](const TracedUnit& u) {
                  return u.heading == "Slice Header" && u.get("slice_type") % 5 == 1 && u.get("nal_ref_idc") > 0;
              }),
              0);
}

TEST(FramesInterop, WeightedPrediction) {
    // A fade makes x264 send explicit weights in P slices (weightp) and
    // use implicit bi-prediction weights in B slices (weightb).
    const Oracle o = check_stream("frames_weighted", kSmall + "-vf fade=in:0:8 -frames:v 8 -c:v libx264 "
                                                              "-x264-params weightp=2:weightb=1");
    EXPECT_EQ(o.pps.get("weighted_pred_flag"), 1);
    EXPECT_EQ(o.pps.get("weighted_bipred_idc"), 2);
    EXPECT_GT(count_units(o, [](const TracedUnit& u) { return u.find("luma_log2_weight_denom") != nullptr; }), 0);
}

TEST(FramesInterop, FourSlicesPerPicture) {
    const Oracle o = check_stream("frames_slices", kSmall + "-frames:v 6 -c:v libx264 -bf 1 -slices 4");
    for (const Packet& p : o.packets) {
        EXPECT_EQ(std::count_if(p.units.begin(), p.units.end(),
                                [](const TracedUnit& u) { return u.heading == "Slice Header"; }),
                  4);
    }
}

TEST(FramesInterop, MbaffInterlacedTopAndBottomFieldFirst) {
    // MBAFF pictures are frames (field_pic_flag 0) holding field macroblock
    // pairs; 288 rows are 9 map units of 32.
    for (const std::string order : {"tff", "bff"}) {
        SCOPED_TRACE(order);
        const Oracle o = check_stream("frames_mbaff_" + order,
                                      "-f lavfi -i testsrc2=size=352x288:rate=25 -frames:v 6 -c:v libx264 -bf 2 "
                                      "-x264-params interlaced=1:" + order + "=1");
        EXPECT_EQ(o.sps.get("frame_mbs_only_flag"), 0);
        EXPECT_EQ(o.sps.get("mb_adaptive_frame_field_flag"), 1);
        // Picture timing SEI: pic_struct 3 top-bottom, 4 bottom-top (Table D-1).
        for (const Packet& p : o.packets) {
            EXPECT_EQ(p.interlaced_frame, 1);
            for (const TracedUnit& u : p.units) {
                if (u.heading == "Picture Timing") {
                    EXPECT_EQ(u.get("pic_struct"), order == "tff" ? 3 : 4);
                }
            }
        }
    }
}

TEST(FramesInterop, InterlacedHighDefinitionIsCroppedFromMapUnits) {
    // 1080 interlaced rows: 34 map units of 32 rows, 1088 coded, cropped by
    // 8 rows in units of 4.
    const Oracle o = check_stream("frames_1080i", "-f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v 2 "
                                                  "-c:v libx264 -preset ultrafast -x264-params interlaced=1:tff=1");
    EXPECT_EQ(o.sps.get("pic_height_in_map_units_minus1"), 33);
    EXPECT_EQ(o.sps.get("frame_crop_bottom_offset"), 2);
}

TEST(FramesInterop, LongGopWrapsFrameNumAndPictureOrderCount) {
    // No IDR after the first picture: frame_num runs past MaxFrameNum and
    // pic_order_cnt_lsb past MaxPicOrderCntLsb, both wrapping to 0.
    const Oracle o = check_stream("frames_long_gop", "-f lavfi -i testsrc2=size=64x64:rate=25 -frames:v 80 "
                                                     "-c:v libx264 -bf 1 -x264-params keyint=infinite");
    int64_t highest = 0, last = -1;
    int wraps = 0;
    for (const Packet& p : o.packets) {
        const int64_t f = p.last_slice()->get("frame_num");
        highest = std::max(highest, f);
        wraps += f < last;
        last = f;
    }
    EXPECT_EQ(highest, (int64_t{1} << (o.sps.get("log2_max_frame_num_minus4") + 4)) - 1);
    EXPECT_GE(wraps, 2);
    // x264 counts two POC units per frame.
    const int64_t max_poc_lsb = int64_t{1} << (o.sps.get("log2_max_pic_order_cnt_lsb_minus4") + 4);
    EXPECT_GT(2 * static_cast<int64_t>(o.packets.size()), max_poc_lsb);
}

TEST(FramesInterop, CroppedSizesNotMultiplesOfSixteen) {
    const Oracle small = check_stream("frames_crop_small", "-f lavfi -i testsrc2=size=98x58:rate=30000/1001 "
                                                           "-frames:v 5 -c:v libx264 -bf 1");
    EXPECT_EQ(small.sps.get("frame_cropping_flag"), 1);
    const Oracle hd = check_stream("frames_1080p", "-f lavfi -i testsrc2=size=1920x1080:rate=50 -frames:v 2 "
                                                   "-c:v libx264 -preset ultrafast");
    EXPECT_EQ(hd.sps.get("frame_crop_bottom_offset"), 4);
}

TEST(FramesInterop, AccessUnitDelimitersStartEveryFrame) {
    const Oracle o = check_stream("frames_aud", kSmall + "-frames:v 6 -c:v libx264 -bf 2 -x264-params aud=1");
    for (const Packet& p : o.packets) {
        ASSERT_FALSE(p.units.empty());
        EXPECT_EQ(p.units.front().heading, "Access Unit Delimiter");
    }
}

TEST(FramesInterop, SeiAndHrdTimingMessages) {
    // With NAL HRD parameters x264 sends buffering-period and picture-timing
    // SEI in front of each picture's slices; they begin its access unit,
    // where FFmpeg's packets begin.
    const Oracle o = check_stream("frames_hrd", kSmall + "-frames:v 8 -c:v libx264 -bf 2 -b:v 300k -maxrate 300k "
                                                         "-bufsize 300k -x264-params nal-hrd=vbr");
    EXPECT_EQ(o.sps.get("nal_hrd_parameters_present_flag"), 1);
    EXPECT_GT(count_units(o, [](const TracedUnit& u) { return u.heading == "Picture Timing"; }), 0);
    int moved = 0;
    for (size_t k = 1; k < o.packets.size(); ++k) {
        int type = 0;
        moved += library_boundary(o, k, &type) > static_cast<size_t>(o.packets[k].pos) + 1;
    }
    EXPECT_EQ(moved, 0);
}

// High 10 and High 4:2:2 sets parse, but the library supports 8-bit 4:2:0
// only: the first frame is refused at its SPS.
TEST(FramesInterop, TenBitAndFourTwoTwoStreamsAreRefused) {
    std::string formats;
    kavrel_test::run("ffmpeg -hide_banner -h encoder=libx264 2>/dev/null", &formats);
    for (const auto& [pix_fmt, element] : {std::pair<std::string, std::string>{"yuv420p10le", "bit_depth_luma_minus8"},
                                           {"yuv422p", "chroma_format_idc"}}) {
        SCOPED_TRACE(pix_fmt);
        if (formats.find(pix_fmt) == std::string::npos) GTEST_SKIP() << "libx264 cannot encode " << pix_fmt;
        const Oracle o = probe(kavrel_test::make_stream("frames_refused_" + pix_fmt,
                                                        kSmall + "-frames:v 2 -pix_fmt " + pix_fmt + " -c:v libx264"));
        EXPECT_EQ(o.stream.at("pix_fmt").get<std::string>(), pix_fmt);
        EXPECT_EQ(o.sps.get(element), 2);  // 10-bit luma, or 4:2:2 chroma
        const std::vector<Call> calls = walk(o.data);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].rc, -22);
        EXPECT_EQ(calls[0].info.consumed, 0u);
        EXPECT_EQ(calls[0].log,
                  "[VsKavrel]:Only support 8-bit 4:2:0 format\n"
                  "[VsKavrel]:Warnning: sps exists invalid sytnax\n"
                  "[VsKavrel]:Parse sps fail\n");
    }
}

}  // namespace
