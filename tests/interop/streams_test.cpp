// One table of x264 streams against what FFmpeg reads in them, through the C interface: FrameInfo of every Kavrel_Start
// against ffprobe and trace_headers; the SPS written back at its own rate (or with a new SAR) element for element as
// the original; and the stream with a new SAR and with a repeat after every frame decoding to the same pictures. (New
// rates, element for element, are the CLI's table in rewrite_cli_test.cpp.)
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <numeric>

#include "support/ffmpeg_oracle.h"

using namespace kavrel_test;

namespace {


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
    o.data = read_file(path);
    std::string out;
    run("ffprobe -v error -select_streams v:0 -show_packets -show_frames -show_streams -show_entries "
        "packet=pos,size:frame=pkt_pos,pict_type:stream=width,height,r_frame_rate -of json '" + path + "'", &out);
    const nlohmann::json doc = nlohmann::json::parse(out);
    const auto number = [](const nlohmann::json& v) { return std::stoll(v.get<std::string>()); };
    for (const auto& e : doc.at("packets_and_frames"))
        if (e.at("type") == "packet") o.packets.push_back({number(e.at("pos")), number(e.at("size"))});
    for (const auto& e : doc.at("packets_and_frames"))  // decoded pictures come in display order
        for (Packet& p : o.packets)
            if (e.at("type") == "frame" && p.pos == number(e.at("pkt_pos")))
                p.pict_type = e.at("pict_type").get<std::string>()[0];
    o.stream = doc.at("streams").at(0);
    for (const TracedUnit& u : trace(path)) {
        if (u.packet < 0 || u.packet >= static_cast<int>(o.packets.size())) continue;
        if (u.heading == "Sequence Parameter Set") o.sps = u;
        if (u.heading == "Picture Parameter Set") o.pps = u;
        o.packets[static_cast<size_t>(u.packet)].units.push_back(u);
    }
    return o;
}

struct Stream {
    std::string path;
    bool repeat;  // no B pictures: a repeat after every frame
};

// The SAR asked of the correction, by the stream's place in the table: the
// picture's own size (0:0), one to reduce, one as it is.
const uint32_t kSar[3][2] = {{0, 0}, {8, 6}, {40, 33}};

void check(const Stream& st, size_t index) {
    const uint32_t sar_w = kSar[index % 3][0], sar_h = kSar[index % 3][1];
    const std::string& path = st.path;
    SCOPED_TRACE(path);
    const Oracle o = probe(path);
    const int64_t tick = o.sps.get("num_units_in_tick", 0);
    ASSERT_GT(tick, 0);  // x264 writes VUI timing
    const std::string r = o.stream.at("r_frame_rate");
    const int64_t rate = (o.sps.get("time_scale") / 2) / tick;
    EXPECT_EQ(rate, std::stoll(r.substr(0, r.find('/'))) / std::stoll(r.substr(r.find('/') + 1)));
    const int64_t map_units = o.sps.get("pic_height_in_map_units_minus1") + 1;
    const int64_t height_mbs = (2 - o.sps.get("frame_mbs_only_flag")) * map_units;

    Parser parser;
    Bytes sar, doubled;
    std::vector<bool> repeated;  // per frame
    FrameInfo info{};
    size_t pos = 0;
    for (size_t k = 0; k < o.packets.size(); ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        const Started c = parser.start(o.data, pos);
        ASSERT_EQ(c.rc, 0) << c.log;
        info = c.info;
        const size_t end = pos + c.info.consumed;
        if (k + 1 < o.packets.size()) {  // the leading zero of a 4-byte start code goes to the unit before
            const size_t next = static_cast<size_t>(o.packets[k + 1].pos);
            EXPECT_TRUE(end == next || (end == next + 1 && o.data[next] == 0)) << end << " " << next;
        } else {
            EXPECT_GE(end + 3, o.data.size());
        }
        const Packet& p = o.packets[k];
        const TracedUnit* slice = nullptr;
        for (const TracedUnit& u : p.units) slice = u.heading == "Slice Header" ? &u : slice;
        ASSERT_NE(slice, nullptr);
        const int64_t field = slice->get("field_pic_flag", 0);
        const FrameInfo& i = c.info;
        EXPECT_EQ(std::vector<int64_t>({i.picture_type, i.field_pic_flag, i.picture_structure, i.width, i.height,
                                        i.coded_width, i.coded_height, i.frame_rate, i.ref_frame_count}),
                  std::vector<int64_t>({static_cast<int64_t>(std::string("IPB").find(p.pict_type)), field,
                                        field ? 1 + slice->get("bottom_field_flag", 0) : 3, o.stream.at("width"),
                                        o.stream.at("height"), (o.sps.get("pic_width_in_mbs_minus1") + 1) * 16,
                                        height_mbs * 16, rate, o.sps.get("max_num_ref_frames")}));

        const Bytes frame(o.data.begin() + static_cast<long>(pos), o.data.begin() + static_cast<long>(end));
        LogCapture quiet;
        // The correction parses the frame alone: only frames with an SPS.
        bool has_sps = false;
        for (const Bytes& u : nal_units(frame)) has_sps = has_sps || (u[0] & 0x1f) == 7;
        Bytes cure(frame.size() + 64);
        const uint32_t length = static_cast<uint32_t>(frame.size());
        CorrectionRequest req{length, 0, frame.data(), length + 64, 0, cure.data(), 0, sar_w, sar_h, 2};
        EXPECT_EQ(has_sps ? Kavrel_enc_h264Correct(&req) : 0, 0);
        EXPECT_EQ(req.corrected, has_sps ? 1 : 0);
        if (req.corrected == 1) cure.resize(req.cureFrameLength);
        sar = concat({sar, req.corrected == 1 ? cure : frame});
        Bytes repeat(1 << 20);
        const int32_t m = st.repeat ? H264_Enc_Double_Frame_Sized(parser.h, repeat.data(), 1 << 20) : -1;
        repeat.resize(m > 0 ? static_cast<size_t>(m) : 0);
        doubled = concat({doubled, frame, repeat});
        repeated.push_back(!repeat.empty());
        pos = end;
    }

    // The copies of the last SPS and PPS: their RBSPs up to the stop bit's byte.
    Bytes rbsp[2];
    for (const Bytes& u : nal_units(o.data))
        if ((u[0] & 0x1f) == 7 || (u[0] & 0x1f) == 8) rbsp[(u[0] & 0x1f) - 7] = unescape(u.data() + 1, u.size() - 1);
    for (int k : {0, 1}) rbsp[k].resize(static_cast<size_t>((k ? o.pps : o.sps).find("rbsp_stop_one_bit")->bit - 1) / 8);
    EXPECT_EQ(Bytes(info.sps_data, info.sps_data + info.sps_size), rbsp[0]);
    EXPECT_EQ(Bytes(info.pps_data, info.pps_data + info.pps_size), rbsp[1]);

    // The SPS written again at its own rate is the same set.
    Bytes again(4096);
    const uint32_t num = static_cast<uint32_t>(o.sps.get("time_scale") / 2);
    const int32_t n = H264_Enc_Iframe_Rate(parser.h, again.data(), 4096, num, static_cast<uint32_t>(tick));
    ASSERT_GT(n, 0);
    const std::string again_path = path + ".sps.h264";
    write_file(again_path, Bytes(again.begin(), again.begin() + n));
    EXPECT_EQ(elements(traced_sps(again_path).at(0)), elements(o.sps));

    // The rewritten streams decode to the same pictures.
    const auto ratio = [](uint32_t a, uint32_t b) {
        return std::to_string(a / std::gcd(a, b)) + ":" + std::to_string(b / std::gcd(a, b));
    };
    const std::string sar_read = sar_w ? ratio(sar_w, sar_h) : ratio(o.stream.at("width"), o.stream.at("height"));
    const std::vector<std::string> hashes = frame_hashes(path);
    const std::string sar_path = path + ".sar.h264";
    write_file(sar_path, sar);
    EXPECT_EQ(frame_hashes(sar_path), hashes);
    EXPECT_EQ(probe_stream(sar_path, "sample_aspect_ratio"), sar_read);
    EXPECT_EQ(elements(traced_sps(sar_path).at(0), true), elements(o.sps, true));  // the rest of the SPS as it was
    if (!st.repeat) return;
    const std::string out = path + ".double.h264";
    write_file(out, doubled);
    std::vector<std::string> expected;
    for (size_t k = 0; k < hashes.size(); ++k) {
        expected.push_back(hashes[k]);
        if (repeated[k]) expected.push_back(hashes[k]);
    }
    EXPECT_GT(expected.size(), hashes.size());
    EXPECT_EQ(frame_hashes(out), expected);
}

// Soft telecine (3:2 pulldown flags in the picture-timing SEI before every
// picture) by x264's own --pulldown, which libx264 inside FFmpeg lacks.
std::string pulldown(const std::string& name) {
    const std::string path = work_dir() + "/" + name + ".h264";
    EXPECT_EQ(run("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=176x144:rate=24 -frames:v 12 "
                  "-f yuv4mpegpipe - | x264 --quiet --pulldown 32 --bframes 2 --demuxer y4m -o '" +
                               path + "' - 2>&1"),
              0);
    return path;
}

// A copy of a High-profile stream whose every SPS names profile_idc `idc`: a profile that carries the same fields.
std::string with_profile(const std::string& path, uint8_t idc) {
    Bytes data = read_file(path);
    for (size_t i = 0; i + 4 < data.size(); ++i)
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 0x1f) == 7) data[i + 4] = idc;
    const std::string out = path + ".p" + std::to_string(idc) + ".h264";
    write_file(out, data);
    return out;
}

TEST(Streams, EveryStreamAgainstFFmpeg) {
    const std::string cqm4 =
        "cqm4iy=6,12,19,26,12,19,26,31,19,26,31,35,26,31,35,35:cqm4ic=7,13,20,27,13,20,27,32,20,27,32,36,27,32,36,40:"
        "cqm4py=10,14,20,24,14,20,24,27,20,24,27,30,24,27,30,30:cqm4pc=10,14,20,24,14,20,24,27,20,24,27,30,24,27,30,34";
    const std::string qcif = "176x144", cif = "352x288", hd = "1920x1080";
    const Stream streams[] = {
        {x264("s_baseline", qcif, 9, "-profile:v baseline -x264-params keyint=4:min-keyint=4"), true},
        {x264("s_main_b", qcif, 10, "-profile:v main -bf 2 -x264-params b-pyramid=none"), false},
        {x264("s_high_pyramid", qcif, 12, "-profile:v high -bf 3 -refs 3 -x264-params b-pyramid=normal"), false},
        {x264("s_weighted", qcif, 8, "-bf 0 -x264-params weightp=2 -vf fade=in:0:8"), true},
        {x264("s_slices", qcif, 6, "-bf 0 -slices 4"), true},
        {x264("s_mbaff", cif, 6, "-bf 2 -x264-params interlaced=1:tff=1"), false},
        {x264("s_mbaff_bff", cif, 4, "-bf 0 -x264-params interlaced=1:bff=1"), true},
        {x264("s_1080i", hd, 2, "-preset ultrafast -x264-params interlaced=1"), true},
        {x264("s_1080p", hd, 2, "-preset ultrafast", "50"), true},
        {x264("s_long_gop_p", "64x64", 40, "-bf 0 -x264-params keyint=infinite"), true},
        {x264("s_crop", "98x58", 5, "-bf 0", "30000/1001"), true},
        {x264("s_aud", qcif, 6, "-bf 2 -x264-params aud=1"), false},
        {x264("s_hrd", qcif, 8, "-bf 2 -b:v 300k -maxrate 300k -bufsize 300k -x264-params nal-hrd=vbr"), false},
        {x264("s_vui", qcif, 2, "-vf setsar=7/5 -x264-params nal-hrd=cbr:bitrate=400:vbv-maxrate=400:"
              "vbv-bufsize=800:colorprim=bt470bg:transfer=smpte170m:colormatrix=smpte170m:"
                                      "overscan=show:videoformat=pal:fullrange=on:chromaloc=2:pic-struct=1"),
         false},
        // Per-picture SEI: buffering period with delimiters, picture timing, soft telecine.
        {x264("s_hrd_aud", qcif, 12, "-bf 0 -profile:v baseline -b:v 300k -maxrate 300k -bufsize 300k "
              "-x264-params nal-hrd=vbr:aud=1"), true},
        {x264("s_pic_struct", qcif, 12, "-bf 3 -x264-params pic-struct=1"), false},
        {x264("s_pic_struct_mbaff", qcif, 12, "-bf 2 -flags +ildct+ilme -x264-params pic-struct=1"), false},
        {pulldown("s_pulldown"), false},
        {x264("s_cqm", qcif, 2, "-x264-params " + cqm4), true},
        {x264("s_gray", "174x142", 2, "-pix_fmt gray"), true},
        // CAVLC 4:4:4 Intra and the scalable profiles: the chroma format fields as in High.
        {with_profile(x264("s_cavlc_intra", qcif, 3, "-profile:v high -x264-params cabac=0:keyint=1"), 44), false},
        {with_profile(x264("s_cavlc_intra", qcif, 3, "-profile:v high -x264-params cabac=0:keyint=1"), 83), false},
        {with_profile(x264("s_cavlc_intra", qcif, 3, "-profile:v high -x264-params cabac=0:keyint=1"), 86), false},
    };
    for (size_t i = 0; i < std::size(streams); ++i) check(streams[i], i);
}

}  // namespace
