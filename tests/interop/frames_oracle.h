// FFmpeg's view of a raw H.264 stream, for comparing Kavrel_Start with it
// access unit by access unit: the packet split of FFmpeg's H.264 parser
// (ffprobe -show_packets), the pictures its decoder outputs
// (ffprobe -show_frames), the stream parameters (ffprobe -show_streams) and
// the syntax elements of every NAL unit (the trace_headers bitstream filter).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "api/parser_handle.h"
#include "kavrel.h"
#include "support/test_support.h"

namespace frames_test {

using kavrel_test::Bytes;
using Fields = std::map<std::string, std::string>;

// The syntax elements of one NAL unit as trace_headers prints them.
struct TracedUnit {
    std::string title;  // "Slice Header", "Sequence Parameter Set", ...
    Fields values;      // element name -> decimal value
    int64_t get(const std::string& name, int64_t fallback = -1) const {
        auto it = values.find(name);
        return it == values.end() ? fallback : std::strtoll(it->second.c_str(), nullptr, 10);
    }
};

// One access unit as FFmpeg splits the stream.
struct Packet {
    int64_t pos = 0;
    int64_t size = 0;
    std::vector<TracedUnit> units;  // in stream order
    char pict_type = '?';           // of the decoded picture made from it
    int interlaced_frame = -1;

    const TracedUnit* last_slice() const {
        for (auto it = units.rbegin(); it != units.rend(); ++it) {
            if (it->title == "Slice Header") return &*it;
        }
        return nullptr;
    }
};

struct Oracle {
    Bytes data;
    std::vector<Packet> packets;
    TracedUnit sps;  // the last sequence parameter set of the stream
    TracedUnit pps;  // the last picture parameter set
    Fields stream;   // ffprobe -show_streams
};

// "a=1|b=2" (ffprobe's compact writer) into fields.
inline Fields split_compact(const std::string& line) {
    Fields f;
    std::stringstream ss(line);
    std::string item;
    while (std::getline(ss, item, '|')) {
        const size_t eq = item.find('=');
        if (eq != std::string::npos && !f.count(item.substr(0, eq))) f[item.substr(0, eq)] = item.substr(eq + 1);
    }
    return f;
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line)) out.push_back(line);
    return out;
}

inline Oracle probe(const std::string& path) {
    Oracle o;
    o.data = kavrel_test::read_file(path);
    std::string out;
    const std::string q = " '" + path + "'";

    EXPECT_EQ(kavrel_test::run("ffprobe -v error -show_packets -show_entries packet=pos,size -of compact=p=1" + q, &out), 0);
    for (const std::string& line : lines_of(out)) {
        if (line.rfind("packet|", 0) != 0) continue;
        const Fields f = split_compact(line);
        Packet p;
        p.pos = std::stoll(f.at("pos"));
        p.size = std::stoll(f.at("size"));
        o.packets.push_back(p);
    }

    EXPECT_EQ(kavrel_test::run("ffprobe -v error -show_frames -show_entries "
                               "frame=pkt_pos,pict_type,interlaced_frame -of compact=p=1" + q,
                               &out),
              0);
    for (const std::string& line : lines_of(out)) {
        if (line.rfind("frame|", 0) != 0) continue;
        const Fields f = split_compact(line);
        const int64_t pos = std::stoll(f.at("pkt_pos"));
        for (Packet& p : o.packets) {
            if (p.pos != pos) continue;
            p.pict_type = f.at("pict_type")[0];
            p.interlaced_frame = std::stoi(f.at("interlaced_frame"));
        }
    }

    EXPECT_EQ(kavrel_test::run("ffprobe -v error -select_streams v:0 -show_streams -show_entries "
                               "stream=width,height,coded_width,coded_height,r_frame_rate,pix_fmt,profile,level "
                               "-of compact=p=1" + q,
                               &out),
              0);
    for (const std::string& line : lines_of(out)) {
        if (line.rfind("stream|", 0) == 0) o.stream = split_compact(line);
    }

    // trace_headers: "[trace_headers @ 0x..] <title>" opens a unit,
    // "[trace_headers @ 0x..] <bit> <name> <bits> = <value>" is an element,
    // "Packet: <n> bytes" opens an access unit (units before the first one
    // come from the demuxer's extradata and are skipped).
    EXPECT_EQ(kavrel_test::run("ffmpeg -nostdin -nostats -hide_banner -i" + q +
                                   " -c copy -bsf:v trace_headers -f null - 2>&1",
                               &out),
              0);
    int packet = -1;
    for (const std::string& raw : lines_of(out)) {
        const size_t tag = raw.find("[trace_headers @ ");
        if (tag == std::string::npos) continue;
        const size_t close = raw.find("] ", tag);
        if (close == std::string::npos) continue;
        const std::string text = raw.substr(close + 2);
        if (text.rfind("Packet: ", 0) == 0) {
            ++packet;
            continue;
        }
        if (packet < 0 || packet >= static_cast<int>(o.packets.size())) continue;
        std::vector<TracedUnit>& units = o.packets[static_cast<size_t>(packet)].units;
        if (!text.empty() && (text[0] < '0' || text[0] > '9')) {
            units.push_back(TracedUnit{text, {}});
            continue;
        }
        if (units.empty()) continue;
        std::stringstream ss(text);
        std::string bit, name;
        ss >> bit >> name;
        const size_t eq = text.rfind(" = ");
        if (eq != std::string::npos) units.back().values[name] = text.substr(eq + 3);
    }
    for (const Packet& p : o.packets) {
        for (const TracedUnit& u : p.units) {
            if (u.title == "Sequence Parameter Set") o.sps = u;
            if (u.title == "Picture Parameter Set") o.pps = u;
        }
    }
    EXPECT_EQ(packet + 1, static_cast<int>(o.packets.size())) << "trace_headers and ffprobe disagree";
    return o;
}

// One Kavrel_Start call of a walk over a whole stream.
struct Call {
    size_t start;  // offset in the stream
    int32_t rc;
    FrameInfo info;
    std::string log;
    kavrel::SliceHeader slice;  // the handle's last slice header after the call
};

// Walks the stream with one handle, each call given everything from the
// end of the previous frame to the end of the stream, the way a caller
// that knows nothing about the stream's access units would.
inline std::vector<Call> walk(const Bytes& data) {
    std::vector<Call> calls;
    ParserHandle* h = Kavrel_Open();
    size_t pos = 0;
    while (pos < data.size() && calls.size() <= data.size()) {
        Call c{};
        c.start = pos;
        FrameInput in{data.data() + pos, static_cast<uint32_t>(data.size() - pos)};
        kavrel_test::StdoutCapture cap;
        c.rc = Kavrel_Start(h, &in, &c.info);
        c.log = cap.take();
        c.slice = h->slice;
        calls.push_back(c);
        if (c.rc < 0 || c.info.consumed == 0) break;
        pos += c.info.consumed;
    }
    Kavrel_Close(h);
    return calls;
}

// Where, by the library's rule, the frame before FFmpeg's packet `next`
// ends: at the 00 00 01 of the first NAL unit of that packet that is an
// SPS, PPS, access unit delimiter or slice (ITU-T H.264 7.4.1.2.3 lists
// these among the units that may begin an access unit). Other units in
// front of it -- SEI messages, above all -- are not taken as the start of
// a new access unit and stay with the frame before, where FFmpeg's parser
// splits at the SEI. A four-byte start code's leading zero byte also stays
// with the frame before (FFmpeg counts it to the next packet).
inline size_t library_boundary(const Oracle& o, size_t next, int* first_type) {
    const Packet& p = o.packets[next];
    const size_t end = static_cast<size_t>(p.pos + p.size);
    for (size_t i = static_cast<size_t>(p.pos); i + 3 < end; ++i) {
        if (o.data[i] != 0 || o.data[i + 1] != 0 || o.data[i + 2] != 1) continue;
        const int t = o.data[i + 3] & 0x1f;
        if (t == 1 || t == 5 || t == 7 || t == 8 || t == 9) {
            *first_type = t;
            return i;
        }
    }
    ADD_FAILURE() << "packet " << next << " holds no unit that starts an access unit";
    *first_type = 0;
    return end;
}

// FrameInfo.picture_type for FFmpeg's picture type letter.
inline int32_t picture_type_code(char pict_type) {
    switch (pict_type) {
    case 'I': return 0;
    case 'P': return 1;
    case 'B': return 2;
    default: return -1;
    }
}

// The handle's slice header after a frame against the last slice header
// of FFmpeg's access unit: fields read after the reordering, weight and
// marking structures only match when those were walked bit for bit.
inline void expect_slice_matches(const Oracle& o, const TracedUnit& traced, const kavrel::SliceHeader& s) {
    EXPECT_EQ(s.first_mb_in_slice, traced.get("first_mb_in_slice"));
    EXPECT_EQ(s.frame_num, traced.get("frame_num"));
    if (traced.values.count("pic_order_cnt_lsb")) {
        EXPECT_EQ(s.pic_order_cnt_lsb, traced.get("pic_order_cnt_lsb"));
    }
    if (traced.values.count("delta_pic_order_cnt_bottom")) {
        EXPECT_EQ(s.delta_pic_order_cnt_bottom, traced.get("delta_pic_order_cnt_bottom"));
    }
    const int64_t kind = traced.get("slice_type") % 5;  // 0 P, 1 B, 2 I
    if (kind <= 1) {
        const bool override = traced.get("num_ref_idx_active_override_flag") == 1;
        const int64_t l0 = override ? traced.get("num_ref_idx_l0_active_minus1")
                                    : o.pps.get("num_ref_idx_l0_default_active_minus1");
        EXPECT_EQ(s.ref_count[0], l0 + 1);
        if (kind == 1) {
            const int64_t l1 = override ? traced.get("num_ref_idx_l1_active_minus1")
                                        : o.pps.get("num_ref_idx_l1_default_active_minus1");
            EXPECT_EQ(s.ref_count[1], l1 + 1);
            EXPECT_EQ(s.direct_spatial_mv_pred_flag, traced.get("direct_spatial_mv_pred_flag"));
        }
    }
    if (traced.values.count("cabac_init_idc")) {
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
inline void expect_frames_match(const Oracle& o, const std::vector<Call>& calls) {
    ASSERT_FALSE(o.packets.empty());
    ASSERT_EQ(calls.size(), o.packets.size());
    const int64_t mb_width = o.sps.get("pic_width_in_mbs_minus1") + 1;
    const int64_t frame_mbs_only = o.sps.get("frame_mbs_only_flag");
    const int64_t frame_height_mbs = (2 - frame_mbs_only) * (o.sps.get("pic_height_in_map_units_minus1") + 1);
    const int64_t units = o.sps.get("num_units_in_tick", 0);
    const int64_t rate = units > 0 ? (o.sps.get("time_scale") / 2) / units : 0;
    const int width = std::stoi(o.stream.at("width"));
    const int height = std::stoi(o.stream.at("height"));
    // FFmpeg's frame rate, rounded down, must agree with the VUI timing.
    const std::string& r = o.stream.at("r_frame_rate");
    const int64_t ffmpeg_rate = std::stoll(r.substr(0, r.find('/'))) / std::stoll(r.substr(r.find('/') + 1));
    EXPECT_EQ(rate, ffmpeg_rate);

    for (size_t k = 0; k < calls.size(); ++k) {
        SCOPED_TRACE("frame " + std::to_string(k) + " at byte " + std::to_string(calls[k].start));
        const Call& c = calls[k];
        const Packet& p = o.packets[k];
        ASSERT_EQ(c.rc, 0) << c.log;

        int next_type = 0;
        const size_t end = k + 1 < calls.size() ? library_boundary(o, k + 1, &next_type) : o.data.size();
        EXPECT_EQ(c.start + c.info.consumed, end);
        std::string boundary_message;
        if (next_type == 7 || next_type == 8 || next_type == 9) {
            boundary_message = "[VsKavrel]:nal_unit_type (" + std::to_string(next_type) + ") should precede the VCL NAL\n";
        } else if (next_type != 0) {
            boundary_message = "[VsKavrel]:Unexpected more data in current frame\n";
        }
        EXPECT_EQ(c.log, boundary_message);

        const TracedUnit* slice = p.last_slice();
        ASSERT_NE(slice, nullptr);
        EXPECT_EQ(c.info.picture_type, picture_type_code(p.pict_type));
        const int64_t field = slice->get("field_pic_flag", 0);
        EXPECT_EQ(c.info.field_pic_flag, static_cast<uint32_t>(field));
        EXPECT_EQ(c.info.picture_structure, field ? 1 + slice->get("bottom_field_flag", 0) : 3);
        EXPECT_EQ(c.info.width, width);
        EXPECT_EQ(c.info.height, height);
        EXPECT_EQ(c.info.coded_width, mb_width * 16);
        EXPECT_EQ(c.info.coded_height, frame_height_mbs * 16);
        EXPECT_EQ(c.info.frame_rate, static_cast<uint32_t>(rate));
        EXPECT_EQ(c.info.ref_frame_count, static_cast<uint32_t>(o.sps.get("max_num_ref_frames")));
        expect_slice_matches(o, *slice, c.slice);
    }
}

}  // namespace frames_test
