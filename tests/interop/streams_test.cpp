// One table of streams made with x264 against what FFmpeg reads in them,
// through the C interface only. For every stream:
//  - Kavrel_Start frame by frame: one call per FFmpeg packet, each ending
//    inside the gap between FFmpeg's packet and its first picture unit;
//    picture type, structure, sizes, rate and reference count as ffprobe
//    and trace_headers give them; the SPS/PPS copies as the stream's RBSPs;
//  - the SPS written again at the stream's own rate reads, element for
//    element, as the original (so every element was read and written);
//  - the stream with every SPS replaced by one at 50 fps, with every frame
//    corrected to a 4:3 SAR, and (without B pictures) with a repeat after
//    every frame decodes to the same pictures (the repeats to copies of the
//    picture before them), and FFmpeg reads the new rate and SAR.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

#include "support/ffmpeg_oracle.h"
#include "support/test_support.h"

namespace {

using kavrel_test::Bytes;
using kavrel_test::TracedUnit;

struct Packet {
    int64_t pos = 0, size = 0;
    char pict_type = '?';
    std::vector<TracedUnit> units{};
};

struct Oracle {
    Bytes data;
    std::vector<Packet> packets;
    TracedUnit sps, pps;  // the last of the stream
    nlohmann::json stream;
};

Oracle probe(const std::string& path) {
    Oracle o;
    o.data = kavrel_test::read_file(path);
    std::string out;
    kavrel_test::run("ffprobe -v error -select_streams v:0 -show_packets -show_frames -show_streams -show_entries "
                     "packet=pos,size:frame=pkt_pos,pict_type:stream=width,height,r_frame_rate -of json '" + path + "'",
                     &out);
    const nlohmann::json doc = nlohmann::json::parse(out);
    const auto number = [](const nlohmann::json& v) { return std::stoll(v.get<std::string>()); };
    for (const auto& e : doc.at("packets_and_frames"))
        if (e.at("type") == "packet") o.packets.push_back({number(e.at("pos")), number(e.at("size"))});
    for (const auto& e : doc.at("packets_and_frames"))
        for (Packet& p : o.packets)
            if (e.at("type") == "frame" && p.pos == number(e.at("pkt_pos"))) p.pict_type = e.at("pict_type").get<std::string>()[0];
    o.stream = doc.at("streams").at(0);
    for (const TracedUnit& u : kavrel_test::trace(path)) {
        if (u.packet < 0 || u.packet >= static_cast<int>(o.packets.size())) continue;
        if (u.heading == "Sequence Parameter Set") o.sps = u;
        if (u.heading == "Picture Parameter Set") o.pps = u;
        o.packets[static_cast<size_t>(u.packet)].units.push_back(u);
    }
    return o;
}

// Where packet `k` has its first SPS, PPS, delimiter or slice unit.
size_t first_picture_unit(const Oracle& o, size_t k) {
    const Packet& p = o.packets[k];
    for (size_t i = static_cast<size_t>(p.pos); i + 3 < static_cast<size_t>(p.pos + p.size); ++i) {
        const int type = o.data[i + 3] & 0x1f;
        if (o.data[i] == 0 && o.data[i + 1] == 0 && o.data[i + 2] == 1 && (type == 1 || type == 5 || (type >= 7 && type <= 9)))
            return i;
    }
    return static_cast<size_t>(p.pos + p.size);
}

// The units of an Annex B byte range, each with its start code.
std::vector<Bytes> units_of(const uint8_t* data, size_t size) {
    std::vector<Bytes> out;
    for (const Bytes& u : kavrel_test::nal_units(Bytes(data, data + size))) out.push_back(kavrel_test::concat({{0, 0, 0, 1}, u}));
    return out;
}

// "key = value" of every element but those named in `except`.
std::vector<std::string> elements(const TracedUnit& u, const std::set<std::string>& except = {}) {
    std::vector<std::string> out;
    for (const auto& e : u.elements)
        if (!except.count(e.name)) out.push_back(e.key + " = " + std::to_string(e.value));
    return out;
}

TracedUnit traced_sps(const std::string& path) {
    for (const TracedUnit& u : kavrel_test::trace(path))
        if (u.heading == "Sequence Parameter Set") return u;
    ADD_FAILURE() << "no SPS in " << path;
    return {};
}

struct Stream {
    std::string name, recipe;
    bool repeat;  // no B pictures: a repeat after every frame
};

void check(const Stream& st) {
    SCOPED_TRACE(st.name);
    const std::string path = kavrel_test::make_stream(st.name, st.recipe);
    const Oracle o = probe(path);
    ASSERT_FALSE(o.packets.empty());
    const int64_t tick = o.sps.get("num_units_in_tick", 0);
    const std::string r = o.stream.at("r_frame_rate");
    const int64_t rate = tick > 0 ? (o.sps.get("time_scale") / 2) / tick : 0;
    EXPECT_EQ(rate, std::stoll(r.substr(0, r.find('/'))) / std::stoll(r.substr(r.find('/') + 1)));
    const int64_t height_mbs = (2 - o.sps.get("frame_mbs_only_flag")) * (o.sps.get("pic_height_in_map_units_minus1") + 1);

    kavrel_test::Parser parser;
    Bytes fps, sar, doubled;
    Bytes rate_unit(4096);
    std::vector<std::string> repeats;  // per frame: "" or the unit
    FrameInfo info{};
    size_t pos = 0;
    for (size_t k = 0; k < o.packets.size(); ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        const kavrel_test::Started c = parser.start(o.data, pos);
        ASSERT_EQ(c.rc, 0) << c.log;
        info = c.info;
        const size_t end = pos + c.info.consumed;
        if (k + 1 < o.packets.size()) {
            EXPECT_GE(end + 1, static_cast<size_t>(o.packets[k + 1].pos));
            EXPECT_LE(end, first_picture_unit(o, k + 1));
        } else {
            EXPECT_GE(end + 3, o.data.size());
        }
        const Packet& p = o.packets[k];
        const TracedUnit* slice = nullptr;
        for (const TracedUnit& u : p.units) slice = u.heading == "Slice Header" ? &u : slice;
        ASSERT_NE(slice, nullptr);
        EXPECT_EQ(c.info.picture_type, static_cast<int32_t>(std::string("IPB").find(p.pict_type)));
        const int64_t field = slice->get("field_pic_flag", 0);
        EXPECT_EQ(c.info.field_pic_flag, static_cast<uint32_t>(field));
        EXPECT_EQ(c.info.picture_structure, field ? 1 + slice->get("bottom_field_flag", 0) : 3);
        EXPECT_EQ(c.info.width, o.stream.at("width").get<int>());
        EXPECT_EQ(c.info.height, o.stream.at("height").get<int>());
        EXPECT_EQ(c.info.coded_width, (o.sps.get("pic_width_in_mbs_minus1") + 1) * 16);
        EXPECT_EQ(c.info.coded_height, height_mbs * 16);
        EXPECT_EQ(c.info.frame_rate, static_cast<uint32_t>(rate));
        EXPECT_EQ(c.info.ref_frame_count, static_cast<uint32_t>(o.sps.get("max_num_ref_frames")));

        // The frame with its SPS replaced, corrected to 4:3, and repeated.
        const Bytes frame(o.data.begin() + static_cast<long>(pos), o.data.begin() + static_cast<long>(end));
        kavrel_test::LogCapture quiet;
        const int32_t n = H264_Enc_Iframe_Rate(parser.h, rate_unit.data(), 4096, 50, 1);
        ASSERT_GT(n, 0);
        bool has_sps = false;
        for (const Bytes& u : units_of(frame.data(), frame.size())) {
            has_sps = has_sps || (u[4] & 0x1f) == 7;
            fps = kavrel_test::concat({fps, (u[4] & 0x1f) == 7 ? Bytes(rate_unit.begin(), rate_unit.begin() + n) : u});
        }
        // The correction parses the frame alone: only frames with an SPS.
        Bytes cure(frame.size() + 64);
        CorrectionRequest req{static_cast<uint32_t>(frame.size()), 0, frame.data(), static_cast<uint32_t>(cure.size()),
                              0, cure.data(), 0, 4, 3, 2};
        EXPECT_EQ(has_sps ? Kavrel_enc_h264Correct(&req) : 0, 0);
        EXPECT_EQ(req.corrected, has_sps ? 1 : 0);
        sar = kavrel_test::concat({sar, req.corrected == 1 ? Bytes(cure.begin(), cure.begin() + req.cureFrameLength) : frame});
        Bytes repeat(1 << 20);
        const int32_t m = st.repeat ? H264_Enc_Double_Frame_Sized(parser.h, repeat.data(), 1 << 20) : -1;
        repeat.resize(m > 0 ? static_cast<size_t>(m) : 0);
        doubled = kavrel_test::concat({doubled, frame, repeat});
        repeats.push_back(kavrel_test::to_hex(repeat));
        pos = end;
    }

    // The copies of the last SPS and PPS: their RBSPs up to the stop bit's byte.
    Bytes rbsp[2];
    for (const Bytes& u : kavrel_test::nal_units(o.data))
        if ((u[0] & 0x1f) == 7 || (u[0] & 0x1f) == 8) rbsp[(u[0] & 0x1f) - 7] = kavrel_test::unescape(u.data() + 1, u.size() - 1);
    const size_t sps_len = static_cast<size_t>(o.sps.find("rbsp_stop_one_bit")->bit - 8 + 7) / 8;
    const size_t pps_len = static_cast<size_t>(o.pps.find("rbsp_stop_one_bit")->bit - 8 + 7) / 8;
    EXPECT_EQ(Bytes(info.sps_data, info.sps_data + info.sps_size), Bytes(rbsp[0].begin(), rbsp[0].begin() + static_cast<long>(sps_len)));
    EXPECT_EQ(Bytes(info.pps_data, info.pps_data + info.pps_size), Bytes(rbsp[1].begin(), rbsp[1].begin() + static_cast<long>(pps_len)));

    // The SPS written again at its own rate is the same set.
    Bytes again(4096);
    const uint32_t num = tick ? static_cast<uint32_t>(o.sps.get("time_scale") / 2) : 25;
    const int32_t n = H264_Enc_Iframe_Rate(parser.h, again.data(), 4096, num, tick ? static_cast<uint32_t>(tick) : 1);
    ASSERT_GT(n, 0);
    again.resize(static_cast<size_t>(n));
    const std::string again_path = kavrel_test::work_dir() + "/" + st.name + ".sps.h264";
    kavrel_test::write_file(again_path, again);
    const std::set<std::string> timing = {"vui_parameters_present_flag", "aspect_ratio_info_present_flag",
                                          "overscan_info_present_flag", "video_signal_type_present_flag",
                                          "chroma_loc_info_present_flag", "timing_info_present_flag",
                                          "num_units_in_tick", "time_scale", "fixed_frame_rate_flag",
                                          "nal_hrd_parameters_present_flag", "vcl_hrd_parameters_present_flag",
                                          "pic_struct_present_flag", "bitstream_restriction_flag"};
    EXPECT_EQ(elements(traced_sps(again_path), tick ? std::set<std::string>{} : timing),
              elements(o.sps, tick ? std::set<std::string>{} : timing));

    // The rewritten streams decode to the same pictures.
    const std::vector<std::string> hashes = kavrel_test::frame_hashes(path);
    for (const auto& [suffix, bytes] : {std::pair<std::string, const Bytes*>{"fps", &fps}, {"sar", &sar}}) {
        const std::string out = kavrel_test::work_dir() + "/" + st.name + "." + suffix + ".h264";
        kavrel_test::write_file(out, *bytes);
        EXPECT_EQ(kavrel_test::frame_hashes(out), hashes) << suffix;
        EXPECT_EQ(kavrel_test::probe_stream(out, suffix == "fps" ? "r_frame_rate" : "sample_aspect_ratio"),
                  suffix == "fps" ? "50/1" : "4:3");
    }
    if (!st.repeat) return;
    const std::string out = kavrel_test::work_dir() + "/" + st.name + ".double.h264";
    kavrel_test::write_file(out, doubled);
    std::vector<std::string> expected;
    for (size_t k = 0; k < hashes.size(); ++k) {
        expected.push_back(hashes[k]);
        if (!repeats[k].empty()) expected.push_back(hashes[k]);
    }
    EXPECT_GT(expected.size(), hashes.size());
    EXPECT_EQ(kavrel_test::frame_hashes(out), expected);
}

const std::string kSmall = "-f lavfi -i testsrc2=size=176x144:rate=25 ";
const std::string kX264 = " -c:v libx264 ";

TEST(Streams, EveryStreamAgainstFFmpeg) {
    const std::string cqm4 =
        "cqm4iy=6,12,19,26,12,19,26,31,19,26,31,35,26,31,35,35:cqm4ic=7,13,20,27,13,20,27,32,20,27,32,36,27,32,36,40:"
        "cqm4py=10,14,20,24,14,20,24,27,20,24,27,30,24,27,30,30:cqm4pc=10,14,20,24,14,20,24,27,20,24,27,30,24,27,30,34";
    const Stream streams[] = {
        {"s_baseline", kSmall + "-frames:v 9" + kX264 + "-profile:v baseline -x264-params keyint=4:min-keyint=4", true},
        {"s_main_b", kSmall + "-frames:v 10" + kX264 + "-profile:v main -bf 2 -x264-params b-pyramid=none", false},
        {"s_high_pyramid", kSmall + "-frames:v 12" + kX264 + "-profile:v high -bf 3 -refs 3 -x264-params b-pyramid=normal",
         false},
        {"s_weighted", kSmall + "-vf fade=in:0:8 -frames:v 8" + kX264 + "-bf 0 -x264-params weightp=2", true},
        {"s_slices", kSmall + "-frames:v 6" + kX264 + "-bf 0 -slices 4", true},
        {"s_mbaff", "-f lavfi -i testsrc2=size=352x288:rate=25 -frames:v 6" + kX264 + "-bf 2 -x264-params interlaced=1:tff=1",
         false},
        {"s_mbaff_bff", "-f lavfi -i testsrc2=size=352x288:rate=25 -frames:v 4" + kX264 + "-bf 0 -x264-params interlaced=1:bff=1",
         true},
        {"s_1080i", "-f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v 2" + kX264 + "-preset ultrafast -x264-params interlaced=1",
         true},
        {"s_1080p", "-f lavfi -i testsrc2=size=1920x1080:rate=50 -frames:v 2" + kX264 + "-preset ultrafast", true},
        {"s_long_gop", "-f lavfi -i testsrc2=size=64x64:rate=25 -frames:v 80" + kX264 + "-bf 1 -x264-params keyint=infinite",
         false},
        {"s_long_gop_p", "-f lavfi -i testsrc2=size=64x64:rate=25 -frames:v 40" + kX264 + "-bf 0 -x264-params keyint=infinite",
         true},
        {"s_crop", "-f lavfi -i testsrc2=size=98x58:rate=30000/1001 -frames:v 5" + kX264 + "-bf 0", true},
        {"s_aud", kSmall + "-frames:v 6" + kX264 + "-bf 2 -x264-params aud=1", false},
        {"s_hrd", kSmall + "-frames:v 8" + kX264 + "-bf 2 -b:v 300k -maxrate 300k -bufsize 300k -x264-params nal-hrd=vbr",
         false},
        {"s_vui", kSmall + "-frames:v 2 -vf setsar=7/5" + kX264 + "-x264-params nal-hrd=cbr:bitrate=400:vbv-maxrate=400:"
                           "vbv-bufsize=800:colorprim=bt470bg:transfer=smpte170m:colormatrix=smpte170m:overscan=show:"
                           "videoformat=pal:fullrange=on:chromaloc=2:pic-struct=1", false},
        {"s_cqm", kSmall + "-frames:v 2" + kX264 + "-x264-params " + cqm4, true},
        {"s_cqm_jvt", kSmall + "-frames:v 2" + kX264 + "-x264-params cqm=jvt", true},
        {"s_gray", "-f lavfi -i testsrc2=size=174x142:rate=25 -frames:v 2 -pix_fmt gray" + kX264, true},
    };
    for (const Stream& s : streams) check(s);
}

// 10-bit and 4:2:2 sets parse, but only 8-bit 4:2:0 is supported.
TEST(Streams, TenBitAndFourTwoTwoAreRefused) {
    for (const std::string pix_fmt : {"yuv420p10le", "yuv422p"}) {
        const Bytes data = kavrel_test::read_file(
            kavrel_test::make_stream("s_refused_" + pix_fmt, kSmall + "-frames:v 2 -pix_fmt " + pix_fmt + kX264));
        const kavrel_test::Started r = kavrel_test::Parser().start(data);
        EXPECT_EQ(r.rc, -22) << pix_fmt;
        EXPECT_EQ(r.log, "[VsKavrel]:Only support 8-bit 4:2:0 format\n[VsKavrel]:Warnning: sps exists invalid sytnax\n"
                         "[VsKavrel]:Parse sps fail\n");
    }
}

}  // namespace
