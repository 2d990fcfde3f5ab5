// Hostile inputs through the exported calls. Every row has a defined result
// (a listed negative code, or a defined success), writes nothing past the
// output it was given (guard bytes follow every output buffer) and leaves
// nothing allocated (the sanitized and valgrind runs of this binary check
// that). Inputs sit in heap blocks of exactly their size, so that a read
// past them is seen too.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "stream/parser_handle.h"
#include "kavrel.h"
#include "support/test_support.h"

using kavrel_test::BitBuilder;
using kavrel_test::Bytes;
using kavrel_test::concat;
using kavrel_test::nal;
using kavrel_test::StdoutCapture;

namespace {

constexpr uint8_t kFill = 0xC3;
constexpr size_t kGuard = 32;

// An input of exactly its size; never null, also when empty.
class Input {
public:
    explicit Input(const Bytes& bytes) : size_(bytes.size()), data_(new uint8_t[bytes.size()]) {
        if (size_) std::memcpy(data_.get(), bytes.data(), size_);
    }
    const uint8_t* data() const { return data_.get(); }
    uint32_t size() const { return static_cast<uint32_t>(size_); }

private:
    size_t size_;
    std::unique_ptr<uint8_t[]> data_;
};

// An output of `capacity` bytes followed by guard bytes, all pre-filled.
class Output {
public:
    explicit Output(size_t capacity) : capacity_(capacity), bytes_(capacity + kGuard, kFill) {}
    uint8_t* data() { return bytes_.data(); }
    uint32_t capacity() const { return static_cast<uint32_t>(capacity_); }
    bool guard_intact() const { return all_fill(capacity_); }
    bool untouched() const { return all_fill(0); }
    Bytes first(size_t n) const { return Bytes(bytes_.begin(), bytes_.begin() + static_cast<ptrdiff_t>(n)); }

private:
    bool all_fill(size_t from) const {
        for (size_t i = from; i < bytes_.size(); ++i) {
            if (bytes_[i] != kFill) return false;
        }
        return true;
    }
    size_t capacity_;
    std::vector<uint8_t> bytes_;
};

struct Handle {
    ParserHandle* h = Kavrel_Open();
    ~Handle() { Kavrel_Close(h); }
};

struct Parsed {
    int32_t rc;
    FrameInfo info;
    std::string log;
};

Parsed start(ParserHandle* h, const uint8_t* data, uint32_t size) {
    Parsed p{};
    FrameInput in{data, size};
    StdoutCapture cap;
    p.rc = Kavrel_Start(h, &in, &p.info);
    p.log = cap.take();
    return p;
}

Parsed start(ParserHandle* h, const Input& in) { return start(h, in.data(), in.size()); }

// 0 and the negative codes of the frame walk and its parsers.
bool listed_code(int32_t rc) { return rc == 0 || (rc >= -22 && rc <= -1 && rc != -15 && rc != -17); }

std::string tagged(const std::string& text) { return "[VsKavrel]:" + text; }

// ---- hand-made parameter sets and slices (ITU-T H.264 7.3.2.1, 7.3.2.2, 7.3.3)

struct Sps {
    uint64_t id = 0;
    int profile = 77;
    uint64_t chroma_format_idc = 1;  // written for profiles 100 and up
    uint64_t width_minus1 = 3;   // pic_width_in_mbs_minus1
    uint64_t height_minus1 = 2;  // pic_height_in_map_units_minus1
    bool frames_only = true;
    uint64_t log2_frame_num_minus4 = 0;
    uint64_t ref_frames = 1;
    uint64_t crop_right = 0, crop_bottom = 0;
    bool poc_type1 = false;  // else POC type 0 with 6-bit lsb
    bool big = false;        // 255 wide POC offsets, a VUI with two 32-entry HRDs
    size_t filler = 0;       // bytes after the VUI (never read)
    size_t syntax_bytes = 0; // out: bytes holding syntax bits (what sps_data keeps)
};

Bytes sps_rbsp(Sps& s) {
    BitBuilder b;
    b.u(8, static_cast<uint64_t>(s.profile)).u(8, 0).u(8, 40).ue(s.id);
    if (s.profile >= 100) b.ue(s.chroma_format_idc).ue(0).ue(0).flag(false).flag(false);  // 8 bits, no matrix
    b.ue(s.log2_frame_num_minus4);
    if (s.poc_type1) {
        b.ue(1).flag(false).se(-3).se(1).ue(255);  // always_zero 0, offsets, 255 in the cycle
        for (int i = 0; i < 255; ++i) b.se((i % 2 ? -1 : 1) * (4000000 + i));
    } else {
        b.ue(0).ue(2);
    }
    b.ue(s.ref_frames).flag(false).ue(s.width_minus1).ue(s.height_minus1).flag(s.frames_only);
    if (!s.frames_only) b.flag(false);  // mb_adaptive_frame_field_flag
    b.flag(true);                       // direct_8x8_inference_flag
    const bool crop = s.crop_right || s.crop_bottom;
    b.flag(crop);
    if (crop) b.ue(0).ue(s.crop_right).ue(0).ue(s.crop_bottom);
    b.flag(s.big || s.filler);
    if (s.big || s.filler) {
        b.u(4, 0);                                // aspect, overscan, video signal, chroma loc: absent
        b.flag(true).u(32, 1).u(32, 50).flag(true);  // timing: 25 frames per second, fixed
        for (int hrd = 0; hrd < 2; ++hrd) {       // NAL and VCL HRD
            b.flag(s.big);
            if (!s.big) continue;
            b.ue(31).u(4, 2).u(4, 3);
            for (int i = 0; i < 32; ++i) b.ue(10000000 + 1000 * i).ue(20000000 + i).flag(i % 2);
            b.u(5, 23).u(5, 23).u(5, 23).u(5, 24);
        }
        if (s.big) b.flag(false);  // low_delay_hrd_flag
        b.flag(false).flag(false);   // pic_struct_present_flag, bitstream_restriction_flag
        for (size_t i = 0; i < s.filler; ++i) b.u(8, 0x5A);
    }
    s.syntax_bytes = (b.bit_length() + 7) / 8;
    return b.trailing().bytes();
}

// A PPS ending after redundant_pic_cnt_present_flag; `map_units` > 0 adds
// eight slice groups of map type 6 with one 3-bit slice_group_id per map
// unit.
struct Pps {
    uint64_t id = 0;
    uint64_t sps_id = 0;
    bool cabac = false;
    int64_t qp = 0;  // pic_init_qp_minus26
    uint64_t map_units = 0;
    size_t syntax_bytes = 0;  // out: bytes holding syntax bits
};

Bytes pps_rbsp(Pps& p) {
    BitBuilder b;
    b.ue(p.id).ue(p.sps_id).flag(p.cabac).flag(false);
    if (p.map_units == 0) {
        b.ue(0);
    } else {
        b.ue(7).ue(6).ue(p.map_units - 1);
        for (uint64_t i = 0; i < p.map_units; ++i) b.u(3, i % 8);
    }
    b.ue(0).ue(0).flag(false).u(2, 0).se(p.qp).se(0).se(0).flag(false).flag(false).flag(false);
    p.syntax_bytes = (b.bit_length() + 7) / 8;
    return b.trailing().bytes();
}

Bytes pps_rbsp(bool cabac) {
    Pps p;
    p.cabac = cabac;
    return pps_rbsp(p);
}

// An IDR I slice (frame picture) of SPS/PPS 0, then a byte standing for
// slice data, which is never read.
Bytes idr_slice_rbsp(const Sps& s, uint64_t pps_id = 0) {
    BitBuilder b;
    b.ue(0).ue(7).ue(pps_id).u(static_cast<int>(s.log2_frame_num_minus4 + 4), 0);
    if (!s.frames_only) b.flag(false);  // field_pic_flag
    b.ue(0);                            // idr_pic_id
    if (s.poc_type1) {
        b.se(0);  // delta_pic_order_cnt[0]
    } else {
        b.u(6, 0);
    }
    b.flag(false).flag(false).se(0);  // marking flags, slice_qp_delta
    b.u(8, 0xE5);
    return b.trailing().bytes();
}

Bytes frame_of(Sps& s, bool cabac = false) {
    return concat({nal(0x67, sps_rbsp(s)), nal(0x68, pps_rbsp(cabac)), nal(0x65, idr_slice_rbsp(s))});
}

// The first access unit of a committed x264 stream (fuzz seed corpus).
Bytes x264_frame(const std::string& name) {
    const Bytes stream = kavrel_test::read_file(std::string(KAVREL_SOURCE_DIR) + "/fuzz/corpus/start/" + name);
    EXPECT_GT(stream.size(), 100u) << name;
    Handle hd;
    const Input in(stream);
    const Parsed p = start(hd.h, in);
    EXPECT_EQ(p.rc, 0) << name;
    EXPECT_GT(p.info.consumed, 0u) << name;
    return Bytes(stream.begin(), stream.begin() + p.info.consumed);
}

struct Corrected {
    int32_t rc;
    int32_t corrected;
    uint32_t length;
    std::string log;
};

Corrected correct(const Input& frame, Output& out, int32_t mode, uint32_t sar_w = 0, uint32_t sar_h = 0) {
    CorrectionRequest req{};
    req.OrgFrameLength = frame.size();
    req.org_frame = frame.data();
    req.cureFrameLength = out.capacity();
    req.cure_frame = out.data();
    req.corrected = 5;  // not a value the call gives
    req.sar_width = sar_w;
    req.sar_height = sar_h;
    req.correction_mode = mode;
    StdoutCapture cap;
    const int32_t rc = Kavrel_enc_h264Correct(&req);
    return {rc, req.corrected, req.cureFrameLength, cap.take()};
}

// ---------------------------------------------------------------------------

TEST(HostileInput, EmptyNullAndOutOfRangeSizes) {
    const Input real(x264_frame("baseline"));
    const Input empty(Bytes{});
    Handle hd;
    struct Row {
        const char* what;
        const uint8_t* data;
        uint32_t size;
        int32_t rc;
        std::string log;
    };
    const Row rows[] = {
        {"empty input", empty.data(), 0, 0, ""},
        {"size 0 over a real frame", real.data(), 0, 0, ""},
        {"size 2^31", real.data(), 0x80000000u, -7, tagged("Kavrel_Start: frame size 2147483648 is out of range\n")},
        {"size 2^32 - 1", real.data(), UINT32_MAX, -7, tagged("Kavrel_Start: frame size 4294967295 is out of range\n")},
    };
    for (const Row& row : rows) {
        const Parsed p = start(hd.h, row.data, row.size);
        EXPECT_EQ(p.rc, row.rc) << row.what;
        EXPECT_EQ(p.log, row.log) << row.what;
        EXPECT_EQ(p.info.consumed, 0u) << row.what;
        EXPECT_EQ(p.info.picture_type, 255) << row.what;  // nothing was parsed
        EXPECT_EQ(p.info.sps_size, 0u) << row.what;
    }
    const Parsed null_data = start(hd.h, nullptr, 16);
    EXPECT_EQ(null_data.rc, -7);
    EXPECT_NE(null_data.log.find(": Error: NULL Pointer\n\n"), std::string::npos);

    // The writers on a handle that has parsed nothing: refused, nothing written.
    Output out(256);
    {
        StdoutCapture quiet;
        EXPECT_EQ(H264_Enc_Iframe_Rate(hd.h, out.data(), out.capacity(), 25, 1), -1);
        EXPECT_EQ(H264_Enc_Double_Frame_Sized(hd.h, out.data(), out.capacity()), -1);
    }
    EXPECT_TRUE(out.untouched());

    // The correction on an empty frame has nothing to correct; a frame length
    // beyond the signed 32-bit range is refused before anything is read.
    Output cure(64);
    const Corrected c = correct(empty, cure, 2);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.corrected, 0);
    EXPECT_TRUE(cure.guard_intact());
    CorrectionRequest huge{};
    huge.OrgFrameLength = 0x80000000u;
    huge.org_frame = real.data();
    huge.cureFrameLength = UINT32_MAX;
    huge.cure_frame = cure.data();
    huge.corrected = 5;
    huge.correction_mode = 1;
    StdoutCapture cap;
    EXPECT_EQ(Kavrel_enc_h264Correct(&huge), -1);
    EXPECT_EQ(cap.take(), tagged("Error: OrgFrameLength 2147483648 is out of range\n\n"));
    EXPECT_EQ(huge.corrected, 5);
    EXPECT_TRUE(cure.untouched());
}

TEST(HostileInput, RealFrameTruncatedAtEveryByte) {
    const Bytes frame = x264_frame("high_8x8");  // SPS, PPS, one IDR slice
    Handle whole;
    const Parsed full = start(whole.h, Input(frame));
    ASSERT_EQ(full.rc, 0);
    // Where the slice header ends: after its NAL header byte, the bits the
    // parser read (the reader still points at the slice), and one byte for
    // an emulation prevention byte.
    size_t slice_at = 0;
    for (size_t i = 0; i + 3 < frame.size(); ++i) {
        if (frame[i] == 0 && frame[i + 1] == 0 && frame[i + 2] == 1 && (frame[i + 3] & 0x1f) == 5) slice_at = i + 3;
    }
    ASSERT_GT(slice_at, 0u);
    const size_t header_end = slice_at + 1 + static_cast<size_t>(whole.h->reader.bit_pos + 7) / 8 + 1;
    ASSERT_LT(header_end + 8, frame.size());

    for (size_t n = 0; n <= frame.size(); ++n) {
        const Input prefix(Bytes(frame.begin(), frame.begin() + static_cast<ptrdiff_t>(n)));
        Handle hd;
        const Parsed p = start(hd.h, prefix);
        EXPECT_TRUE(listed_code(p.rc)) << n << ": " << p.rc;
        EXPECT_LE(p.info.consumed, n);
        if (p.rc < 0) {
            EXPECT_EQ(p.info.consumed, 0u) << n;
        }
        if (n >= header_end) {
            // Only slice data is missing: the frame reads as the whole one.
            EXPECT_EQ(p.rc, 0) << n;
            EXPECT_EQ(p.info.picture_type, full.info.picture_type) << n;
            EXPECT_EQ(p.info.width, full.info.width) << n;
            EXPECT_EQ(p.info.height, full.info.height) << n;
            EXPECT_EQ(p.info.sps_size, full.info.sps_size) << n;
            EXPECT_EQ(p.info.pps_size, full.info.pps_size) << n;
        }
        // The correction over the same prefix, with room for its growth.
        Output cure(n + 64);
        const Corrected c = correct(prefix, cure, 2, 4, 3);
        EXPECT_TRUE(c.corrected == -1 ? c.rc < 0 && listed_code(c.rc) : c.rc == 0) << n << ": " << c.rc;
        EXPECT_TRUE(cure.guard_intact()) << n;
        if (c.corrected == 1) {
            EXPECT_LE(c.length, n + 64) << n;
        }
    }
}

// Each line of `log` is `line`; returns how many there are.
size_t count_lines(const std::string& log, const std::string& line) {
    size_t count = 0;
    for (size_t at = 0; at < log.size(); at += line.size(), ++count) {
        if (log.compare(at, line.size(), line) != 0) return SIZE_MAX;
    }
    return count;
}

TEST(HostileInput, MegabyteOfZerosOfStartCodesAndNothingElse) {
    const size_t kMiB = 1 << 20;
    Handle hd;
    // No start code anywhere: the search stops three bytes before the end.
    const Parsed zeros = start(hd.h, Input(Bytes(kMiB, 0)));
    EXPECT_EQ(zeros.rc, 0);
    EXPECT_EQ(zeros.info.consumed, kMiB - 3);
    EXPECT_EQ(zeros.log, "");

    // 00 00 01 repeated: every start code is followed by a NAL unit of the
    // unspecified type 0 (header byte 00) with two payload bytes.
    Bytes codes;
    while (codes.size() < kMiB) codes.insert(codes.end(), {0, 0, 1});
    codes.resize(kMiB);
    const Parsed repeated = start(hd.h, Input(codes));
    EXPECT_EQ(repeated.rc, 0);
    EXPECT_EQ(repeated.info.consumed, kMiB);
    // A unit at every sixth byte whose start code has a byte behind it.
    EXPECT_EQ(count_lines(repeated.log, tagged("the nal unit type is unspecified, 0\n")), (kMiB - 4) / 6 + 1);
    EXPECT_EQ(repeated.info.picture_type, 255);

    // Only four-byte start codes: the repeated ones are skipped, the last
    // one has no byte behind it, so no NAL unit is read at all.
    Bytes only;
    for (int i = 0; i < 16384; ++i) only.insert(only.end(), {0, 0, 0, 1});
    const Parsed starts = start(hd.h, Input(only));
    EXPECT_EQ(starts.rc, 0);
    EXPECT_LE(starts.info.consumed, only.size());
    EXPECT_NE(count_lines(starts.log, tagged("the nal unit type is unspecified, 0\n")), SIZE_MAX);
    for (const Bytes& tiny : {Bytes{0, 0, 1}, Bytes{0, 0, 0, 1}, Bytes{0, 0, 1, 0x67}}) {
        const Parsed t = start(hd.h, Input(tiny));
        EXPECT_TRUE(listed_code(t.rc));
        EXPECT_LE(t.info.consumed, tiny.size());
    }
    // An SPS header with no payload: every field reads past the data, the
    // id as -1 (clause 9.1 over nothing).
    const Parsed empty_sps = start(hd.h, Input(Bytes{0, 0, 1, 0x67}));
    EXPECT_EQ(empty_sps.rc, -12);
    EXPECT_NE(empty_sps.log.find(tagged("Invalid sps id: -1\n")), std::string::npos);
}

TEST(HostileInput, SpsDimensionsAtAndBeyondTheirLimits) {
    struct Row {
        const char* what;
        Sps sps;
        int32_t rc;
        std::string message;   // a line the log must hold
        int32_t coded_w, coded_h, width, height;  // when rc is 0
    };
    Sps largest;  // 511 x 511 map units, interlaced: 511 x 1022 macroblocks
    largest.width_minus1 = 510;
    largest.height_minus1 = 510;
    largest.frames_only = false;
    Sps cropped = largest;  // a window of one crop unit each way (2 x 4 luma samples)
    cropped.crop_right = 8 * 511 - 1;
    cropped.crop_bottom = 8 * 511 - 1;
    Sps smallest;
    smallest.width_minus1 = smallest.height_minus1 = 0;
    Sps wide = smallest, tall = smallest, wrapped = smallest, uncoded = smallest;
    wide.width_minus1 = 511;
    tall.height_minus1 = 511;
    wrapped.width_minus1 = 65534;  // 65535 macroblocks: -1 in 16 bits
    uncoded.width_minus1 = 65535;  // a code with 16 leading zeros: read_ue gives -1
    Sps no_window = smallest;
    no_window.crop_right = 8;  // crops the whole 16 columns
    Sps no_value = smallest;
    no_value.crop_right = 65535;  // 16 leading zeros: the reader gives -1
    Sps mono = smallest;
    mono.profile = 100;
    mono.chroma_format_idc = 0;
    mono.crop_right = 15;  // monochrome crops in single columns
    Sps frame_num16 = smallest, frame_num17 = smallest, refs16 = smallest, refs17 = smallest;
    frame_num16.log2_frame_num_minus4 = 12;
    frame_num17.log2_frame_num_minus4 = 13;
    refs16.ref_frames = 16;
    refs17.ref_frames = 17;
    Row rows[] = {
        {"largest", largest, 0, "", 8176, 16352, 8176, 16352},
        {"largest, cropped to one unit", cropped, 0, "", 8176, 16352, 2, 4},
        {"one macroblock", smallest, 0, "", 16, 16, 16, 16},
        {"512 columns", wide, -22, tagged("Invalid Dimension(512x1)\n"), 0, 0, 0, 0},
        {"512 rows", tall, -22, tagged("Invalid Dimension(1x512)\n"), 0, 0, 0, 0},
        {"65535 columns", wrapped, -20, tagged("mb_width is less than 0, \n"), 0, 0, 0, 0},
        {"unreadable width", uncoded, -20, tagged("mb_width is less than 0, \n"), 0, 0, 0, 0},
        {"cropped to nothing", no_window, -20, tagged("crop_left shall be in range of[0, max_frame_widht]\n"), 0, 0, 0, 0},
        {"crop offset without a value", no_value, -20, tagged("crop_left shall be in range of[0, max_frame_widht]\n"), 0,
         0, 0, 0},
        {"monochrome, one column left", mono, 0, "", 16, 16, 1, 16},
        {"16-bit frame_num", frame_num16, 0, "", 16, 16, 16, 16},
        {"17-bit frame_num", frame_num17, -20, tagged("the log2_max_frame_num is out of range [0,16],which is 17\n"), 0, 0, 0, 0},
        {"16 reference frames", refs16, 0, "", 16, 16, 16, 16},
        {"17 reference frames", refs17, -20, tagged("max_ref_frame_count is greater than 16, the value is 17\n"), 0, 0, 0, 0},
    };
    for (Row& row : rows) {
        Handle hd;
        const Parsed p = start(hd.h, Input(frame_of(row.sps, true)));
        EXPECT_EQ(p.rc, row.rc) << row.what;
        if (!row.message.empty()) {
            EXPECT_NE(p.log.find(row.message), std::string::npos) << row.what << "\n" << p.log;
        }
        if (row.rc != 0) continue;
        EXPECT_EQ(p.info.coded_width, row.coded_w) << row.what;
        EXPECT_EQ(p.info.coded_height, row.coded_h) << row.what;
        EXPECT_EQ(p.info.width, row.width) << row.what;
        EXPECT_EQ(p.info.height, row.height) << row.what;
        EXPECT_EQ(p.info.picture_type, 0) << row.what;
        EXPECT_EQ(p.info.ref_frame_count, row.sps.ref_frames) << row.what;
    }
}

TEST(HostileInput, ParameterSetsOfSeveralKilobytes) {
    // An SPS of about 4 KB: 255 wide POC offsets, two HRDs of 32 CPBs and
    // 2 KB after the VUI. It is kept whole for FrameInfo, written back
    // (without what follows the VUI) for a new rate, and too long for the
    // aspect-ratio correction (-20 from 512 bytes on).
    Sps big;
    big.poc_type1 = true;
    big.big = true;
    big.filler = 2048;
    const Bytes sps = sps_rbsp(big);
    ASSERT_GT(sps.size(), 4000u);
    const Bytes frame = concat({nal(0x67, sps), nal(0x68, pps_rbsp(false)), nal(0x65, idr_slice_rbsp(big))});
    Handle hd;
    const Parsed p = start(hd.h, Input(frame));
    ASSERT_EQ(p.rc, 0) << p.log;
    EXPECT_NE(p.log.find(tagged("WARNING: ps(0) length is greater than ")), std::string::npos);
    ASSERT_EQ(p.info.sps_size, big.syntax_bytes);
    EXPECT_EQ(Bytes(p.info.sps_data, p.info.sps_data + p.info.sps_size), Bytes(sps.begin(), sps.begin() + big.syntax_bytes));
    EXPECT_EQ(p.info.frame_rate, 25u);

    Output unit(16384);
    int32_t n;
    {
        StdoutCapture quiet;
        n = H264_Enc_Iframe_Rate(hd.h, unit.data(), unit.capacity(), 50, 1);
    }
    ASSERT_GT(n, 1400);  // the 255 offsets alone take 45 bits or more each
    EXPECT_TRUE(unit.guard_intact());
    Handle again;
    const Parsed rate = start(again.h, Input(unit.first(static_cast<size_t>(n))));
    EXPECT_EQ(rate.rc, 0);
    EXPECT_EQ(rate.info.frame_rate, 50u);

    Output cure(frame.size() + 64);
    const Corrected c = correct(Input(frame), cure, 2, 1, 1);
    EXPECT_EQ(c.rc, -20);
    EXPECT_EQ(c.corrected, -1);
    EXPECT_NE(c.log.find(tagged("The length of SPS is great than 512\n")), std::string::npos);
    EXPECT_TRUE(cure.guard_intact());

    // A Baseline PPS of 6 KB: eight slice groups of map type 6 over 16000
    // map units. Kept whole; the repeat frame refuses slice groups; the
    // aspect-ratio correction copies the set unchanged.
    Sps base;
    base.profile = 66;
    base.width_minus1 = 159;
    base.height_minus1 = 99;
    Pps groups_pps;
    groups_pps.map_units = 16000;
    const Bytes pps = pps_rbsp(groups_pps);
    const size_t pps_bytes = groups_pps.syntax_bytes;
    ASSERT_GT(pps.size(), 6000u);
    const Bytes groups = concat({nal(0x67, sps_rbsp(base)), nal(0x68, pps), nal(0x65, idr_slice_rbsp(base))});
    Handle gh;
    const Parsed g = start(gh.h, Input(groups));
    ASSERT_EQ(g.rc, 0) << g.log;
    ASSERT_EQ(g.info.pps_size, pps_bytes);
    EXPECT_EQ(Bytes(g.info.pps_data, g.info.pps_data + g.info.pps_size), Bytes(pps.begin(), pps.begin() + pps_bytes));
    Output repeat(4096);
    {
        StdoutCapture cap;
        EXPECT_EQ(H264_Enc_Double_Frame_Sized(gh.h, repeat.data(), repeat.capacity()), -1);
        EXPECT_EQ(cap.take(), tagged("H264_Enc_Double_Frame: more than one slice group is not supported\n"));
    }
    EXPECT_TRUE(repeat.untouched());
    Output cure_groups(groups.size() + 64);
    const Corrected cg = correct(Input(groups), cure_groups, 2, 1, 1);
    EXPECT_EQ(cg.rc, 0);
    ASSERT_EQ(cg.corrected, 1);
    const Bytes out = cure_groups.first(cg.length);
    EXPECT_NE(std::search(out.begin(), out.end(), groups.begin() + static_cast<ptrdiff_t>(nal(0x67, sps_rbsp(base)).size()),
                          groups.end()),
              out.end());  // PPS and slice follow the rewritten SPS unchanged
    EXPECT_TRUE(cure_groups.guard_intact());
}

TEST(HostileInput, EveryWriterRefusesZeroOneAndOneByteShort) {
    // The largest picture with CABAC: a repeat frame of 511 x 1022 skipped
    // macroblocks, an SPS unit, and a correction that adds a VUI.
    Sps largest;
    largest.width_minus1 = 510;
    largest.height_minus1 = 510;
    largest.frames_only = false;
    const Bytes frame = frame_of(largest, true);
    Handle hd;
    ASSERT_EQ(start(hd.h, Input(frame)).rc, 0);

    struct Writer {
        const char* what;
        std::function<int32_t(uint8_t*, uint32_t)> call;
        size_t room;  // enough for any unit it writes
    };
    const Writer writers[] = {
        {"H264_Enc_Iframe_Rate", [&](uint8_t* o, uint32_t c) { return H264_Enc_Iframe_Rate(hd.h, o, c, 30000, 1001); },
         4096},
        {"H264_Enc_Double_Frame_Sized", [&](uint8_t* o, uint32_t c) { return H264_Enc_Double_Frame_Sized(hd.h, o, c); },
         1 << 20},
    };
    for (const Writer& w : writers) {
        Output room(w.room);
        int32_t n;
        {
            StdoutCapture quiet;
            n = w.call(room.data(), room.capacity());
        }
        ASSERT_GT(n, 5) << w.what;
        const Bytes unit = room.first(static_cast<size_t>(n));
        for (uint32_t capacity : {0u, 1u, static_cast<uint32_t>(n - 1)}) {
            Output out(capacity);
            StdoutCapture quiet;
            EXPECT_EQ(w.call(out.data(), capacity), -1) << w.what << " into " << capacity;
            EXPECT_TRUE(out.untouched()) << w.what << " into " << capacity;
        }
        Output exact(static_cast<size_t>(n));
        StdoutCapture quiet;
        EXPECT_EQ(w.call(exact.data(), exact.capacity()), n) << w.what;
        EXPECT_EQ(exact.first(static_cast<size_t>(n)), unit) << w.what;
        EXPECT_TRUE(exact.guard_intact()) << w.what;
    }

    // Kavrel_enc_h264Correct: below the frame's length the request is
    // refused untouched; from there up to one byte short of the corrected
    // frame it is refused after the parse (the buffer was the work area).
    const Input in(frame);
    Output room(frame.size() + 64);
    const Corrected full = correct(in, room, 2, 16, 9);
    ASSERT_EQ(full.corrected, 1);
    ASSERT_GT(full.length, frame.size());
    const Bytes expected = room.first(full.length);
    for (uint32_t capacity : {0u, 1u}) {
        Output out(capacity);
        const Corrected c = correct(in, out, 2, 16, 9);
        EXPECT_EQ(c.rc, -1);
        EXPECT_EQ(c.corrected, 5);
        EXPECT_EQ(c.log, tagged("Error: cureFrameLength < OrgFrameLength\n\n"));
        EXPECT_TRUE(out.untouched());
    }
    Output short_by_one(full.length - 1);
    const Corrected c = correct(in, short_by_one, 2, 16, 9);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.corrected, 0);
    EXPECT_EQ(c.length, full.length - 1);
    EXPECT_TRUE(short_by_one.guard_intact());
    Output exact(full.length);
    const Corrected e = correct(in, exact, 2, 16, 9);
    EXPECT_EQ(e.rc, 0);
    EXPECT_EQ(e.corrected, 1);
    EXPECT_EQ(exact.first(full.length), expected);
    EXPECT_TRUE(exact.guard_intact());
}

TEST(HostileInput, CorrectionIntoExactlyTheInputLength) {
    // Frames whose corrected form is longer than they are: the PPS tail of
    // a High-profile monochrome x264 frame (mode 1), and a VUI with the
    // aspect ratio (mode 2). With cureFrameLength = OrgFrameLength both are
    // refused with -1 and `corrected` 0, and nothing lands past the buffer.
    struct Row {
        const char* what;
        const char* stream;
        int32_t mode;
    };
    for (const Row& row : {Row{"PPS tail", "gray_no8x8", 1}, Row{"aspect ratio", "baseline", 2}}) {
        const Input in(x264_frame(row.stream));
        Output room(in.size() + 64);
        const Corrected grown = correct(in, room, row.mode, 4, 3);
        ASSERT_EQ(grown.corrected, 1) << row.what << grown.log;
        ASSERT_GT(grown.length, in.size()) << row.what;

        Output same(in.size());
        const Corrected c = correct(in, same, row.mode, 4, 3);
        EXPECT_EQ(c.rc, -1) << row.what;
        EXPECT_EQ(c.corrected, 0) << row.what;
        EXPECT_EQ(c.length, in.size()) << row.what;
        EXPECT_EQ(c.log, tagged("Error: the corrected frame does not fit cureFrameLength (" + std::to_string(in.size()) +
                                ")\n\n"))
            << row.what;
        EXPECT_TRUE(same.guard_intact()) << row.what;
    }
}

// Bit index of redundant_pic_cnt_present_flag in a PPS made here (the bit
// before the stop bit), and the bits left after it in its byte.
int free_bits_after_flag(const Bytes& pps) {
    const int flag = static_cast<int>(pps.size()) * 8 - __builtin_ctz(pps.back()) - 2;
    return 8 * ((flag + 8) / 8) - flag - 1;
}

TEST(HostileInput, InconsistentParameterSets) {
    // Mode 1 extends a PPS for the SPS it names: a PPS of a Main SPS gets
    // no High tail, even when a High SPS came last in the frame; the same
    // PPS naming the High SPS does (pic_init_qp_minus26 picked so that the
    // flag's byte has room for the tail, 7.3.2.2).
    Sps main_sps, high_sps;
    high_sps.id = 1;
    high_sps.profile = 100;
    for (uint64_t named : {0u, 1u}) {
        Pps pps;
        pps.sps_id = named;
        for (pps.qp = 0; free_bits_after_flag(pps_rbsp(pps)) < 1 || free_bits_after_flag(pps_rbsp(pps)) > 3;)
            ++pps.qp;
        const Input frame(concat({nal(0x67, sps_rbsp(main_sps)), nal(0x67, sps_rbsp(high_sps)),
                                  nal(0x68, pps_rbsp(pps)), nal(0x65, idr_slice_rbsp(named ? high_sps : main_sps))}));
        Output cure(frame.size() + 16);
        const Corrected c = correct(frame, cure, 1);
        EXPECT_EQ(c.rc, 0) << named << c.log;
        EXPECT_EQ(c.corrected, named ? 1 : 0) << named;
        if (c.corrected == 1) {
            Handle hd;
            EXPECT_EQ(start(hd.h, Input(cure.first(c.length))).rc, 0);  // the extended PPS passes for High
        }
        EXPECT_TRUE(cure.guard_intact());
    }

    // Mode 2 on an SPS whose data ends before frame_mbs_only_flag: the
    // fields up to the VUI flag were read past the data (as the stop bit
    // and zeros), so the set cannot be written again as it was parsed:
    // nothing is written and the result is the frame's length.
    Sps cut;
    BitBuilder short_sps;
    short_sps.u(8, 77).u(8, 0).u(8, 40).ue(0).ue(0).ue(0).ue(2).ue(1).flag(false).ue(3).ue(2).trailing();
    const Input cut_frame(concat({nal(0x67, short_sps.bytes()), nal(0x68, pps_rbsp(false)), nal(0x65, idr_slice_rbsp(cut))}));
    Handle probe;
    const Parsed parsed = start(probe.h, cut_frame);
    ASSERT_EQ(parsed.rc, 0);
    EXPECT_NE(parsed.log.find(tagged("Parse SPS length change\n")), std::string::npos);
    Output cure(cut_frame.size() + 64);
    const Corrected c = correct(cut_frame, cure, 2, 4, 3);
    EXPECT_EQ(c.rc, static_cast<int32_t>(cut_frame.size()));
    EXPECT_EQ(c.corrected, 0);
    EXPECT_TRUE(cure.guard_intact());

    // A slice naming an SPS that failed its checks: -8, and the sets in
    // force stay those of the last good slice (FrameInfo, the repeat frame).
    Sps good;
    good.ref_frames = 3;
    Sps bad = good;
    bad.id = 1;
    bad.ref_frames = 17;
    Pps to_bad;
    to_bad.id = 1;
    to_bad.sps_id = 1;
    Handle hd;
    ASSERT_EQ(start(hd.h, Input(frame_of(good))).rc, 0);
    Output first(4096);
    int32_t n;
    {
        StdoutCapture quiet;
        n = H264_Enc_Double_Frame_Sized(hd.h, first.data(), first.capacity());
    }
    ASSERT_GT(n, 0);
    EXPECT_EQ(start(hd.h, Input(nal(0x67, sps_rbsp(bad)))).rc, -20);
    const Parsed refused =
        start(hd.h, Input(concat({nal(0x68, pps_rbsp(to_bad)), nal(0x65, idr_slice_rbsp(bad, 1))})));
    EXPECT_EQ(refused.rc, -8);
    EXPECT_NE(refused.log.find(tagged("non existing SPS referenced\n\n")), std::string::npos);
    EXPECT_EQ(refused.info.ref_frame_count, 3u);
    Output again(4096);
    {
        StdoutCapture quiet;
        EXPECT_EQ(H264_Enc_Double_Frame_Sized(hd.h, again.data(), again.capacity()), n);
    }
    EXPECT_EQ(again.first(static_cast<size_t>(n)), first.first(static_cast<size_t>(n)));

    // A frame of a PPS alone that gives PPS 0 other content (CABAC): a
    // decoder would read the repeat with it, so the repeat is refused;
    // PPS 0 sent again as it was makes the repeat possible again.
    EXPECT_EQ(start(hd.h, Input(nal(0x68, pps_rbsp(true)))).rc, 0);
    Output stale(4096);
    {
        StdoutCapture cap;
        EXPECT_EQ(H264_Enc_Double_Frame_Sized(hd.h, stale.data(), stale.capacity()), -1);
        EXPECT_EQ(cap.take(), tagged("H264_Enc_Double_Frame: the parameter sets changed after the last slice\n"));
    }
    EXPECT_TRUE(stale.untouched());
    EXPECT_EQ(start(hd.h, Input(nal(0x68, pps_rbsp(false)))).rc, 0);
    Output restored(4096);
    {
        StdoutCapture quiet;
        EXPECT_EQ(H264_Enc_Double_Frame_Sized(hd.h, restored.data(), restored.capacity()), n);
    }
    EXPECT_EQ(restored.first(static_cast<size_t>(n)), first.first(static_cast<size_t>(n)));

    // The same for an SPS alone that gives SPS 0 another picture size (it
    // becomes the active SPS as it is parsed); sent again as it was, the
    // repeat is written as before.
    Sps wider = good;
    wider.width_minus1 = 7;
    EXPECT_EQ(start(hd.h, Input(nal(0x67, sps_rbsp(wider)))).rc, 0);
    {
        StdoutCapture cap;
        EXPECT_EQ(H264_Enc_Double_Frame_Sized(hd.h, stale.data(), stale.capacity()), -1);
        EXPECT_EQ(cap.take(), tagged("H264_Enc_Double_Frame: the parameter sets changed after the last slice\n"));
    }
    EXPECT_TRUE(stale.untouched());
    EXPECT_EQ(start(hd.h, Input(nal(0x67, sps_rbsp(good)))).rc, 0);
    Output resent(4096);
    {
        StdoutCapture quiet;
        EXPECT_EQ(H264_Enc_Double_Frame_Sized(hd.h, resent.data(), resent.capacity()), n);
    }
    EXPECT_EQ(resent.first(static_cast<size_t>(n)), first.first(static_cast<size_t>(n)));
}

}  // namespace
