// Field pairs of PAFF streams (made from progressive x264 streams by
// rewriting their headers) against FFmpeg, through the public interface.
#include <gtest/gtest.h>

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

}  // namespace
