// The one-pass NAL unit scan (vector and word-at-a-time variants), the
// RBSP length and stop bit found without unescaping, and slice headers
// unescaped only as far as they are read, all held against a plain
// byte-by-byte reading of ITU-T H.264 clause 7.4.1.1 / Annex B.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "stream/parser_handle.h"
#include "bitstream/bit_reader.h"
#include "bitstream/nal_unit.h"
#include "params/param_set_builders.h"
#include "support/test_support.h"

using kavrel::NalExtent;
using kavrel::ZeroPairScan;
using kavrel_test::BitBuilder;
using kavrel_test::Bytes;
using kavrel_test::hex;
using kavrel_test::StdoutCapture;

namespace {

// ---- The reference: one byte at a time ---------------------------------

int32_t plain_find(const Bytes& p, int32_t from) {
    for (int32_t s = from; s + 2 < static_cast<int32_t>(p.size()); ++s) {
        if (p[s] == 0 && p[s + 1] == 0 && p[s + 2] <= 3) return s;
    }
    return -1;
}

struct Plain {
    Bytes rbsp;
    int32_t payload_len = 0;
    int32_t escapes = 0;
};

// The unit ends before 00 00 00/01/02; 00 00 03 loses its 03.
Plain plain_unescape(const Bytes& p) {
    Plain r;
    size_t i = 0;
    while (i < p.size()) {
        const bool pair = i + 2 < p.size() && p[i] == 0 && p[i + 1] == 0;
        if (pair && p[i + 2] <= 2) break;
        if (pair && p[i + 2] == 3) {
            r.rbsp.insert(r.rbsp.end(), {0, 0});
            ++r.escapes;
            i += 3;
            continue;
        }
        r.rbsp.push_back(p[i++]);
    }
    r.payload_len = static_cast<int32_t>(i);
    return r;
}

// Bits before the stop bit as the frame walk counts them.
int32_t plain_bits(Bytes rbsp) {
    if (!rbsp.empty() && rbsp.back() == 0) rbsp.pop_back();
    if (rbsp.empty()) return 0;
    int trailing = 0;
    for (int bit = 0; bit < 8; ++bit) {
        if (rbsp.back() & (1 << bit)) {
            trailing = bit + 1;
            break;
        }
    }
    return static_cast<int32_t>(rbsp.size()) * 8 - trailing;
}

// Emulation prevention as an encoder applies it, with the final 03 after
// an RBSP that ends in 00 00 (a cabac_zero_word).
Bytes escape(const Bytes& rbsp) {
    Bytes out;
    int zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    if (zeros >= 2) out.push_back(3);
    return out;
}

std::vector<ZeroPairScan> scans() {
    std::vector<ZeroPairScan> out;
    for (ZeroPairScan k : {ZeroPairScan::kWords, ZeroPairScan::kSse2, ZeroPairScan::kAvx2}) {
        if (kavrel::zero_pair_scan_available(k)) out.push_back(k);
    }
    return out;
}

// Every way of reading `payload` agrees with the reference. The payload is
// held in a vector of exactly its size, so over-reads show under ASan.
void expect_consistent(const Bytes& payload, std::mt19937& rng) {
    const auto size = static_cast<int32_t>(payload.size());
    const Plain want = plain_unescape(payload);
    SCOPED_TRACE(kavrel_test::to_hex(payload));

    for (ZeroPairScan kind : scans()) {
        for (int32_t from : {0, 1, 7, 15, 16, 17, 63, 64, 65, size / 2}) {
            ASSERT_EQ(kavrel::find_zero_pair_with(kind, payload.data(), size, from), plain_find(payload, from))
                << "variant " << static_cast<int>(kind) << " from " << from;
        }
    }

    const NalExtent e = kavrel::scan_nal_payload(payload.data(), size);
    ASSERT_EQ(e.payload_len, want.payload_len);
    ASSERT_EQ(e.escapes, want.escapes);
    ASSERT_EQ(e.rbsp_len(), static_cast<int32_t>(want.rbsp.size()));
    ASSERT_EQ(kavrel::rbsp_bit_count(payload.data(), e), plain_bits(want.rbsp));
    ASSERT_EQ(kavrel::rbsp_bit_count(want.rbsp.data(), e.rbsp_len()), plain_bits(want.rbsp));  // from the RBSP

    // The whole unescape of read_nal_unit (header 0x01 prints nothing).
    ParserHandle handle{};
    Bytes unit = {0x01};
    unit.insert(unit.end(), payload.begin(), payload.end());
    Bytes whole(payload.size() + 1);
    int32_t len = -1;
    int32_t consumed = -1;
    ASSERT_EQ(kavrel::read_nal_unit(&handle, unit.data(), &len, &consumed, size + 1, whole.data()), whole.data());
    ASSERT_EQ(Bytes(whole.begin(), whole.begin() + len), want.rbsp);
    ASSERT_EQ(consumed, want.payload_len + 1);

    // On demand, in uneven steps.
    Bytes lazy(want.rbsp.size() + 1, 0xee);
    kavrel::RbspSource source;
    kavrel::rbsp_source_init(source, payload.data(), e, lazy.data());
    for (int32_t upto = 0; source.ready < e.rbsp_len();) {
        upto += static_cast<int32_t>(rng() % 24);
        kavrel::rbsp_fill(source, upto);
        ASSERT_GE(source.ready, std::min(upto, e.rbsp_len()));
        ASSERT_LE(source.ready, e.rbsp_len());
    }
    EXPECT_EQ(Bytes(lazy.begin(), lazy.begin() + source.ready), want.rbsp);
    EXPECT_EQ(lazy.back(), 0xee);  // nothing written past the RBSP
}

TEST(NalScan, PatternsAtEveryPositionAroundTheVectorBlocks) {
    std::mt19937 rng(1);
    // 0x11 filler (no zeros) with one pattern, after a decoy 00 00 04 that
    // is no pattern, at every position of a 140-byte buffer: the 16- and
    // 64-byte steps, a pair split across two steps, a third byte in the
    // next step, the last possible place.
    for (uint8_t third : {0, 1, 2, 3, 4}) {
        for (int32_t at = 0; at + 3 <= 140; ++at) {
            Bytes p(140, 0x11);
            p[at] = 0;
            p[at + 1] = 0;
            p[at + 2] = third;
            if (at >= 6) {
                p[at - 6] = 0;  // decoy: 00 00 04
                p[at - 5] = 0;
                p[at - 4] = 4;
            }
            expect_consistent(p, rng);
            // Cut right after the pair: 00 00 as the last bytes is no pattern.
            expect_consistent(Bytes(p.begin(), p.begin() + at + 2), rng);
        }
    }
}

TEST(NalScan, EscapesAndEndsOfHandMadeUnits) {
    std::mt19937 rng(2);
    const struct {
        const char* payload;
        int32_t payload_len, escapes, last_escape, bits;  // -1: not checked
    } cases[] = {
        // 55 | 00 00 03: an escape as the very last byte. RBSP 55 00 00; one
        // trailing zero dropped, the last byte 00 has no stop bit: 16 bits.
        {"55 00 00 03", 4, 1, 3, 16},
        // 12 | 00 00 03 | 80: escape second to last; stop bit in 80: 24 bits.
        {"12 00 00 03 80", 5, 1, 3, 24},
        // 12 | 00 00 03 | 00: RBSP 12 00 00 00, one zero dropped: 24 bits.
        {"12 00 00 03 00", 5, 1, 3, 24},
        // 00 00 03 00 00 03 01 | 00 00 02: two escapes in a row, then the end.
        {"00 00 03 00 00 03 01 00 00 02 77", 7, 2, 5, -1},
        // Empty, one byte, two zero bytes.
        {"", 0, 0, -1, -1}, {"80", 1, 0, -1, -1}, {"00", 1, 0, -1, -1}, {"00 00", 2, 0, -1, -1},
        {"00 00 00", 0, 0, -1, -1},
    };
    for (const auto& c : cases) {
        const Bytes p = hex(c.payload);
        const NalExtent e = kavrel::scan_nal_payload(p.data(), static_cast<int32_t>(p.size()));
        EXPECT_EQ(e.payload_len, c.payload_len) << c.payload;
        EXPECT_EQ(e.escapes, c.escapes) << c.payload;
        if (c.last_escape >= 0) {
            EXPECT_EQ(e.last_escape, c.last_escape) << c.payload;
        }
        if (c.bits >= 0) {
            EXPECT_EQ(kavrel::rbsp_bit_count(p.data(), e), c.bits) << c.payload;
        }
        expect_consistent(p, rng);
    }
}

TEST(NalScan, RandomUnitsWithDenseZeros) {
    std::mt19937 rng(3);
    for (int round = 0; round < 3000; ++round) {
        // An RBSP rich in zeros and small bytes, escaped, then sometimes a
        // start code, a zero run or garbage after it.
        const size_t len = round < 2500 ? rng() % 300 : 1000 + rng() % 3000;
        Bytes rbsp(len);
        for (auto& b : rbsp) {
            const uint32_t r = rng() % 10;
            b = r < 4 ? 0 : r < 6 ? static_cast<uint8_t>(1 + rng() % 3) : static_cast<uint8_t>(rng());
        }
        Bytes payload = escape(rbsp);
        switch (rng() % 4) {
        case 0: payload.insert(payload.end(), {0, 0, 1, 0x41, 0x9a}); break;
        case 1: payload.insert(payload.end(), {0, 0, 0, 1}); break;
        case 2: payload.insert(payload.end(), {0, 0}); break;
        default: break;
        }
        expect_consistent(payload, rng);
        if (HasFatalFailure()) return;
    }
}

TEST(NalScan, ReadsOnDemandSeeTheWholeRbsp) {
    // An RBSP with zero runs (escaped in the payload) and a stop bit; every
    // read at every bit position, with the on-demand RBSP made ready up to
    // every point around the read first, against a reader over the whole
    // RBSP. Bytes not yet made ready hold a5, so reading one shows.
    const Bytes rbsp = hex("9a 00 00 01 7f 00 00 00 03 c4 00 00 02 ff 00 01 00 00 00 00 5b e3 00 00 80");
    const Bytes payload = escape(rbsp);
    const NalExtent e = kavrel::scan_nal_payload(payload.data(), static_cast<int32_t>(payload.size()));
    ASSERT_EQ(e.rbsp_len(), static_cast<int32_t>(rbsp.size()));
    const int32_t bits = kavrel::rbsp_bit_count(payload.data(), e);
    ASSERT_EQ(bits, plain_bits(rbsp));

    using Read = int64_t (*)(kavrel::BitReader&);
    const Read reads[] = {
        [](kavrel::BitReader& r) -> int64_t { return kavrel::read_bits(r, 32); },
        [](kavrel::BitReader& r) -> int64_t { return kavrel::read_bits(r, 5); },
        [](kavrel::BitReader& r) -> int64_t { return kavrel::read_bit(r); },
        [](kavrel::BitReader& r) -> int64_t { return kavrel::read_ue(r); },
        [](kavrel::BitReader& r) -> int64_t { return kavrel::read_se(r); },
        [](kavrel::BitReader& r) -> int64_t { kavrel::skip_ue(r); return 0; },
        [](kavrel::BitReader& r) -> int64_t { return kavrel::read_ue_long(r); },
        [](kavrel::BitReader& r) -> int64_t { return kavrel::read_se_long(r); },
    };
    Bytes lazy(rbsp.size());
    for (int32_t pos = 0; pos <= bits + 8; ++pos) {
        for (const Read read : reads) {
            kavrel::BitReader whole;
            kavrel::bit_reader_init(whole, rbsp.data(), static_cast<int32_t>(rbsp.size()), bits);
            whole.bit_pos = pos;
            const int64_t want = read(whole);
            for (int32_t primed = 0; primed <= pos / 8 + 5; ++primed) {
                std::fill(lazy.begin(), lazy.end(), 0xa5);
                kavrel::RbspSource source;
                kavrel::rbsp_source_init(source, payload.data(), e, lazy.data());
                kavrel::rbsp_fill(source, primed);
                kavrel::BitReader r;
                kavrel::bit_reader_init(r, lazy.data(), e.rbsp_len(), bits);
                kavrel::bit_reader_attach(r, &source);
                r.bit_pos = pos;
                ASSERT_EQ(read(r), want) << "bit " << pos << ", ready " << source.ready;
                ASSERT_EQ(r.bit_pos, whole.bit_pos) << "bit " << pos;
            }
        }
    }
}

// ---- Slice headers through the frame walk ------------------------------

// SPS 0: Main, 11 x 9 macroblocks, log2_max_frame_num 4, POC type 0 with
// 6 lsb bits. PPS 0: CAVLC with the bottom field's POC delta, QP 26,
// deblocking control.
Bytes sets() { return kavrel_test::concat({params_test::sps_nal(), params_test::pps_nal({.bottom_field_pic_order = 1})}); }

// A P slice (nal_ref_idc 2) with delta_pic_order_cnt_bottom `bottom` (2^29
// is coded as 30 zeros, a one and 30 zeros: escapes inside the header) and
// a ref_pic_list_reordering() of `commands` pairs of
// reordering_of_pic_nums_idc 0 and an abs_diff_pic_num_minus1 of varying
// length, closed by idc 3 unless `open`; then `data` bytes of slice data.
Bytes slice_rbsp(int64_t bottom, int commands, bool open, const Bytes& data) {
    static const uint64_t kDiffs[] = {32767, 21845, 0, 300, 32767, 6, 1};
    BitBuilder b;
    b.ue(0).ue(5).ue(0).u(4, 1).u(6, 2);  // first_mb 0, P, PPS 0, frame_num 1, POC lsb 2
    b.se(bottom);
    b.flag(false).flag(true);             // no count override; reordering follows
    for (int i = 0; i < commands; ++i) b.ue(0).ue(kDiffs[i % 7]);
    if (!open) b.ue(3);
    b.flag(false).se(-3).ue(0).se(1).se(-1);  // no adaptive marking, QP 23, deblocking offsets
    for (uint8_t byte : data) b.u(8, byte);
    return b.trailing().bytes();
}

std::vector<int64_t> members(const kavrel::SliceHeader& s) {
    return {s.first_mb_in_slice, s.pic_type, s.parity_pic_type[0], s.parity_pic_type[1], s.frame_num,
            s.prev_frame_num, s.prev_nal_ref_idc, s.field_pic_flag, s.picture_structure, s.pic_order_cnt_lsb,
            s.delta_pic_order_cnt_bottom, s.delta_pic_order_cnt[0], s.delta_pic_order_cnt[1], s.redundant_pic_cnt,
            s.direct_spatial_mv_pred_flag, s.num_ref_idx_active_override_flag, s.ref_count[0], s.ref_count[1],
            s.cabac_init_idc, s.qp, s.deblocking_mode, s.slice_alpha_c0_offset, s.slice_beta_offset};
}

struct Outcome {
    int32_t rc;
    std::string log;
    int32_t bit_pos;
    kavrel::SliceHeader slice;
};

// Kavrel_Start on SPS, PPS and the slice: the slice header is read on demand.
Outcome through_frame_walk(const Bytes& slice_payload) {
    const Bytes frame = kavrel_test::concat({sets(), {0, 0, 1, 0x41}, slice_payload});
    kavrel_test::Parser p;
    // Bytes not yet unescaped must never be read: make stale ones visible.
    std::memset(p->scratch, 0xa5, static_cast<size_t>(p->scratch_capacity));
    const kavrel_test::Started r = p.start(frame);
    if (r.rc == 0) {
        EXPECT_EQ(r.info.consumed, frame.size());
    }
    return {r.rc, r.log, p->reader.bit_pos, p->slice};
}

// The same slice header from its whole unescaped RBSP.
Outcome from_whole_rbsp(const Bytes& slice_payload) {
    kavrel_test::Parser p;
    EXPECT_EQ(p.start(sets()).rc, 0);
    const Bytes unit = kavrel_test::concat({{0x41}, slice_payload});
    uint8_t* rbsp = p->scratch;  // read_nal_unit points scratch at the buffer it is given
    int32_t len = 0, consumed = 0;
    kavrel::read_nal_unit(p.h, unit.data(), &len, &consumed, static_cast<int32_t>(unit.size()), rbsp);
    kavrel::bit_reader_init(p->reader, rbsp, len, kavrel::rbsp_bit_count(rbsp, len));
    StdoutCapture cap;
    Outcome o{kavrel::decode_slice_header(p.h), cap.take(), p->reader.bit_pos, p->slice};
    if (o.rc < 0) o.log += "[VsKavrel]:Parse slice header fail\n";
    o.rc = std::min(o.rc, 0);
    return o;
}

TEST(NalScan, SliceHeadersReadOnDemandMatchTheWholeRbsp) {
    Bytes data(200);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 7 == 0 ? 0 : i * 37);
    struct Case {
        int64_t bottom;
        int commands;
        bool open;
        Bytes data;
        Bytes tail;  // appended to the escaped unit
    };
    const Case cases[] = {
        // No escape in the unit: the header is read in place.
        {-5, 0, false, data, {}},
        {-5, 40, false, data, {}},         // a header of ~120 bytes
        {-5, 12, true, {}, {}},            // reordering runs off the end of the RBSP
        // Escapes inside the header: unescaped as far as it is read.
        {1 << 29, 0, false, data, {}},
        {1 << 29, 40, false, data, {}},    // read in many steps
        {1 << 29, 41, false, data, {}},
        {1 << 29, 42, false, {}, {}},      // no slice data: the header ends the unit
        {1 << 29, 12, true, {}, {}},       // reordering runs off the end of the RBSP
        {1 << 29, 12, true, {}, {0, 0, 3}},  // ... which ends in a cabac_zero_word and its escape
        {1 << 29, 12, true, {}, {0}},      // ... or in one trailing zero byte
    };
    for (const Case& c : cases) {
        Bytes payload = kavrel_test::concat({escape(slice_rbsp(c.bottom, c.commands, c.open, c.data)), c.tail});
        SCOPED_TRACE(testing::Message() << c.bottom << ", " << c.commands << " commands, open " << c.open);
        const bool escaped = kavrel::scan_nal_payload(payload.data(), static_cast<int32_t>(payload.size())).escapes > 0;
        EXPECT_EQ(escaped, c.bottom > 0 || !c.tail.empty());
        const Outcome lazy = through_frame_walk(payload);
        const Outcome whole = from_whole_rbsp(payload);
        EXPECT_EQ(lazy.rc, whole.rc);
        EXPECT_EQ(lazy.log, whole.log);
        EXPECT_EQ(lazy.bit_pos, whole.bit_pos);
        EXPECT_EQ(members(lazy.slice), members(whole.slice));
        if (!c.open) {
            EXPECT_EQ(lazy.rc, 0);
            EXPECT_EQ(lazy.slice.delta_pic_order_cnt_bottom, c.bottom);
            EXPECT_EQ(lazy.slice.qp, 23);
            EXPECT_EQ(lazy.slice.slice_alpha_c0_offset, 2);
        }
    }
}

TEST(NalScan, RepeatedStartCodeAtTheEndOfTheInput) {
    // 00 00 01 | 00 00 00 01 and nothing after: no header byte follows the
    // repeated start code, so it is not skipped to. The walk reads the 00
    // behind the first start code as a header byte (type 0, unspecified)
    // whose unit ends at once, and nothing past the input (a vector of
    // exactly its size, for AddressSanitizer).
    const kavrel_test::Started r = kavrel_test::Parser().start(hex("00 00 01 00 00 00 01"));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.log, "[VsKavrel]:the nal unit type is unspecified, 0\n");
    EXPECT_EQ(r.info.consumed, 4u);
}

}  // namespace
