// Field pairs of PAFF streams (made from progressive x264 streams by
// rewriting their headers) against FFmpeg, through the public interface;
// and these and other streams fed to Kavrel_Start_Stream in pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>

#include "support/ffmpeg_oracle.h"

using namespace kavrel_test;

namespace {

// The numbers ffprobe prints for one entry, e.g. "packet=pos" or "frame=pkt_pos".
std::vector<long> probed(const std::string& path, const std::string& section, const std::string& entry) {
    std::string out;
    run("ffprobe -v error -show_entries " + section + "=" + entry + " -of csv=p=0 '" + path + "'", &out);
    std::vector<long> values;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line != "N/A") values.push_back(std::stol(line));
    return values;
}

// Where Kavrel_Start finds each access unit from the first byte to the last, as FFmpeg counts it (the library gives the
// leading zero of a four-byte start code to the access unit before it); the first is an I frame (the IDR field's), the
// others P.
std::vector<long> walk(const Bytes& data) {
    Parser p;
    std::vector<long> starts;
    for (size_t at = 0; at < data.size();) {
        const Started r = p.start(data, at);
        EXPECT_EQ(r.rc, 0) << "at " << at;
        if (r.rc != 0 || r.info.consumed == 0) break;
        EXPECT_EQ(r.info.picture_type, starts.empty() ? 0 : 1) << "at " << at;
        starts.push_back(static_cast<long>(at > 0 && data[at - 1] == 0 ? at - 1 : at));
        at += r.info.consumed;
    }
    return starts;
}

// What is left of `r` before the rbsp_stop_one_bit, into `w`, which ends the RBSP.
Bytes rest_into(BitReader& r, BitBuilder& w) {
    size_t stop = r.data.size() * 8 - 1;
    while (((r.data[stop / 8] >> (7 - stop % 8)) & 1) == 0) --stop;
    while (r.pos < stop) w.u(1, r.bit());
    return w.trailing().bytes();
}

// Turns each picture of a progressive CAVLC stream with POC type 2 into a field: pictures 2k and 2k + 1 become the two
// fields of frame k (frame_num k), the first of them the bottom one when `bottom_first`. The picture numbered `drop` is
// left out, so that its partner is an unpaired field.
Bytes to_fields(const Bytes& progressive, bool bottom_first, int drop) {
    Bytes out;
    int log2_max_frame_num = 0, picture = -1;
    for (const Bytes& unit : nal_units(progressive)) {
        const int type = unit[0] & 0x1f;
        Bytes rbsp = unescape(unit.data() + 1, unit.size() - 1);
        BitReader r{rbsp};
        BitBuilder w;
        if (type == 7) {  // Main profile, frame_mbs_only_flag 0, no MBAFF
            r.u(16);
            w.u(8, 77).u(8, 0).u(8, r.u(8)).ue(r.ue());
            log2_max_frame_num = static_cast<int>(r.ue()) + 4;
            w.ue(log2_max_frame_num - 4);
            EXPECT_EQ(r.ue(), 2u);
            w.ue(2).ue(r.ue()).u(1, r.u(1)).ue(r.ue()).ue(r.ue());
            r.u(1);
            w.u(1, 0).u(1, 0);
            rbsp = rest_into(r, w);
        } else if (type == 1 || type == 5) {
            if (++picture == drop) continue;
            w.ue(r.ue()).ue(r.ue()).ue(r.ue());
            r.u(log2_max_frame_num);
            w.u(log2_max_frame_num, static_cast<uint64_t>(picture / 2)).flag(true).flag((picture % 2 == 1) != bottom_first);
            rbsp = rest_into(r, w);
        }
        out = concat({out, nal(unit[0], rbsp)});
    }
    return out;
}

// FFmpeg's packets are fields; it shows a frame when its second field is
// decoded (pkt_pos is that field's packet) and drops an unpaired field.
TEST(RealStreamsInterop, FieldPairsByParityAndFrameNum) {
    const Bytes base = read_file(x264("paff_base", "160x64", 12, "-profile:v baseline -refs 1"));
    const struct {
        const char* name;
        bool bottom_first;
        int drop;
        size_t unpaired;  // the access unit left with one field
    } cases[] = {{"tff", false, -1, 9}, {"bff", true, -1, 9}, {"tff_unpaired", false, 5, 2}, {"bff_unpaired", true, 4, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = work_dir() + "/paff_" + c.name + ".h264";
        write_file(path, to_fields(base, c.bottom_first, c.drop));
        const std::vector<long> starts = walk(read_file(path));
        const std::vector<long> fields = probed(path, "packet", "pos");
        ASSERT_EQ(starts.size(), 6u);
        std::vector<long> shown;  // where each pair's second field begins
        for (size_t k = 0; k < starts.size(); ++k) {
            const long end = k + 1 < starts.size() ? starts[k + 1] : fields.back() + 1;
            std::vector<long> in;
            for (long f : fields)
                if (f >= starts[k] && f < end) in.push_back(f);
            EXPECT_EQ(in.size(), k == c.unpaired ? 1u : 2u) << "access unit " << k;
            if (in.size() == 2) shown.push_back(in[1]);
        }
        EXPECT_EQ(shown, probed(path, "frame", "pkt_pos"));
    }
}

// Every result of a host that reads `data` in pieces of 1 to `piece` bytes
// and calls Kavrel_Start_Stream on an exact copy of what it holds, or with
// `piece` 0 Kavrel_Start on all that is left: the code, every FrameInfo
// field, the SPS and PPS copies and the lines printed.
std::vector<std::string> feed(const Bytes& data, size_t piece) {
    Parser p;
    std::mt19937 rng(static_cast<unsigned>(piece));
    const uint8_t sc[] = {0, 0, 1};
    const auto start_code = [&](size_t from) {  // at or after `from`, or the end
        return static_cast<size_t>(std::search(data.begin() + std::min(from, data.size()), data.end(), sc, sc + 3) -
                                   data.begin());
    };
    std::vector<std::string> calls;
    for (size_t pos = 0, have = piece ? 0 : data.size(); pos < data.size();) {
        if (have == pos) have = std::min(data.size(), have + 1 + rng() % piece);
        const Bytes bytes(data.begin() + static_cast<long>(pos), data.begin() + static_cast<long>(have));
        FrameInput in{bytes.data(), static_cast<uint32_t>(bytes.size())};
        FrameInfo i;
        LogCapture cap;
        const int32_t rc = piece ? Kavrel_Start_Stream(p.h, &in, &i, have < data.size()) : Kavrel_Start(p.h, &in, &i);
        const std::string log = cap.take();
        if (rc == KAVREL_NEED_MORE_DATA) {  // nothing taken, nothing said
            EXPECT_TRUE(i.consumed == 0 && log.empty() && have < data.size()) << pos << "+" << bytes.size() << log;
            if (have == data.size()) break;
            have = std::min(data.size(), have + 1 + rng() % piece);
            continue;
        }
        std::ostringstream o;
        o << rc << ' ' << i.consumed << ' ' << i.width << 'x' << i.height << ' ' << i.picture_type << ' '
          << i.frame_rate << ' ' << i.ref_frame_count << ' ' << i.picture_structure << ' ' << i.coded_width << 'x'
          << i.coded_height << ' ' << i.field_pic_flag << ' ' << to_hex(i.sps_data, i.sps_size) << '/'
          << to_hex(i.pps_data, i.pps_size) << log;
        calls.push_back(o.str());
        // After a failure, or nothing taken, a host resumes at the second start code.
        pos = rc < 0 || i.consumed == 0 ? start_code(start_code(pos) + 3) : pos + i.consumed;
        have = std::max(have, pos);
    }
    return calls;
}

// Live input gives what the whole stream gives, however it arrives: each
// stream fed whole, in random pieces, byte by byte and in 64 KiB pieces.
TEST(RealStreamsInterop, LiveInputMatchesWholeStream) {
    std::vector<std::pair<std::string, Bytes>> streams;
    for (const char* dir : {"/samples", "/fuzz/corpus/start"})  // the corpus: fields, errors, start codes, ...
        for (const auto& f : std::filesystem::directory_iterator(std::string(KAVREL_SOURCE_DIR) + dir))
            streams.emplace_back(f.path().string(), read_file(f.path().string()));
    int made = 0;
    for (const char* options : {"-bf 0 -slices 4", "-bf 2 -x264-params interlaced=1:aud=1:nal-hrd=vbr -b:v 300k "
                                "-maxrate 300k -bufsize 300k", "-bf 0 -x264-params keyint=3:min-keyint=3"})
        streams.emplace_back(options, read_file(x264("live_" + std::to_string(made++), "176x144", 7, options)));
    const Bytes idr_sets = streams.back().second;  // SPS and PPS at every IDR
    const Bytes sample = read_file(std::string(KAVREL_SOURCE_DIR) + "/samples/sample.h264");
    const Bytes base = read_file(x264("paff_base", "160x64", 12, "-profile:v baseline -refs 1"));
    streams.emplace_back("fields_tff", to_fields(base, false, -1));
    streams.emplace_back("fields_bff_unpaired", to_fields(base, true, 4));
    streams.emplace_back("cut_in_an_idr", Bytes(sample.begin(), sample.begin() + 700));
    streams.emplace_back("from_inside_an_idr", Bytes(idr_sets.begin() + 1500, idr_sets.end()));  // slices without sets
    for (const auto& [name, data] : streams) {
        SCOPED_TRACE(name);
        const std::vector<std::string> whole = feed(data, 0);
        ASSERT_FALSE(whole.empty());
        for (size_t piece : {1, 40, 3000, 65536}) EXPECT_EQ(feed(data, piece), whole) << "pieces of up to " << piece;
    }
}

}  // namespace
