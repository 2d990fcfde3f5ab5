// (d) The bit reader and the SPS, PPS and slice-header parsers on fuzzed
// RBSPs. The first byte chooses the target; every RBSP sits in a heap block
// of exactly its length, so a read past it is seen.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "stream/parser_handle.h"
#include "bitstream/bit_reader.h"
#include "fuzz_harness.h"
#include "harness_support.h"
#include "syntax/pic_param_set.h"
#include "syntax/seq_param_set.h"
#include "syntax/slice_header.h"
#include "synth/sps_writer.h"

namespace kavrel_fuzz {

namespace {

// Syntax bits of an RBSP as the frame walk counts them: one trailing zero
// byte dropped, then everything before the last set bit (the stop bit).
int32_t syntax_bits(const HeapBlock& rbsp) {
    size_t len = rbsp.size();
    if (len > 0 && rbsp.data()[len - 1] == 0) --len;
    if (len == 0) return 0;
    const uint8_t last = rbsp.data()[len - 1];
    int trailing = 0;
    if (last) {
        trailing = 1;
        while (!((last >> (trailing - 1)) & 1)) ++trailing;
    }
    return static_cast<int32_t>(len * 8) - trailing;
}

void point_reader(ParserHandle* h, const HeapBlock& rbsp, int32_t bit_count) {
    kavrel::bit_reader_init(h->reader, rbsp.data(), static_cast<int32_t>(rbsp.size()), bit_count);
}

// ---- bit reader against a plain model of clause 7.2 and 9.1 ------------

struct Model {
    const HeapBlock& rbsp;
    int64_t bit(int64_t i) const {
        return i < static_cast<int64_t>(rbsp.size()) * 8 ? (rbsp.data()[i >> 3] >> (7 - (i & 7))) & 1 : 0;
    }
    uint64_t bits(int64_t from, int n) const {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i) v = (v << 1) | static_cast<uint64_t>(bit(from + i));
        return v;
    }
    // Leading zeros of the Exp-Golomb code at `from` (up to 32).
    int zeros(int64_t from) const {
        int k = 0;
        while (k < 32 && bit(from + k) == 0) ++k;
        return k;
    }
};

int64_t se_of(uint64_t code) {
    return (code & 1) ? static_cast<int64_t>((code + 1) / 2) : -static_cast<int64_t>(code / 2);
}

const char* check_reader_op(kavrel::BitReader& r, const Model& m, uint8_t op) {
    const int64_t p = r.bit_pos;
    const int64_t count = r.bit_count;
    // The reader works on a 32-bit window whose first bit is the next one:
    // only codes within its meaningful bits are decoded exactly (longer
    // ones as the window holds them), and only those are compared here.
    const int window = 32 - static_cast<int>(p & 7);
    const int k = m.zeros(p);
    const int64_t code_end = p + 2 * k + 1;
    const bool code_inside = code_end <= count && 2 * k + 1 <= window;
    const bool long_inside = code_end <= count && k < window;  // the *_long reads take every info bit
    const uint64_t code = long_inside ? (uint64_t{1} << k) - 1 + m.bits(p + k + 1, k) : 0;
    switch (op % 7) {
    case 0: {
        const int n = 1 + (op >> 3) % 32;
        const int32_t v = kavrel::read_bits(r, n);
        FUZZ_CHECK(r.bit_pos == p + n, "read_bits: advanced by another count");
        if (p + n <= count && n <= window) {
            FUZZ_CHECK(static_cast<uint32_t>(v) == m.bits(p, n), "read_bits: wrong value inside the data");
        } else if (n < 32) {
            FUZZ_CHECK(v >= -1 && v < (int64_t{1} << n), "read_bits: value outside u(n)");
        }
        return nullptr;
    }
    case 1: {
        const int32_t v = kavrel::read_bit(r);
        FUZZ_CHECK(r.bit_pos == p + 1 && v >= -1 && v <= 1, "read_bit: not one bit");
        if (p < count) FUZZ_CHECK(v == m.bit(p), "read_bit: wrong value inside the data");
        return nullptr;
    }
    case 2: {
        const int32_t v = kavrel::read_ue(r);
        FUZZ_CHECK(v >= -1 && v <= 65534, "read_ue: value outside -1..65534");
        if (code_inside) {
            FUZZ_CHECK(r.bit_pos == code_end, "read_ue: advanced past another code length");
            FUZZ_CHECK(v == (k < 16 ? static_cast<int32_t>(code) : -1), "read_ue: wrong value inside the data");
        }
        return nullptr;
    }
    case 3: {
        const int32_t v = kavrel::read_se(r);
        FUZZ_CHECK(v >= -32767 && v <= 32767, "read_se: value outside the 16-bit codes");
        if (code_inside) {
            FUZZ_CHECK(r.bit_pos == code_end, "read_se: advanced past another code length");
            FUZZ_CHECK(v == (k < 16 ? se_of(code) : 0), "read_se: wrong value inside the data");
        }
        return nullptr;
    }
    case 4:
        kavrel::skip_ue(r);
        if (code_inside) FUZZ_CHECK(r.bit_pos == code_end, "skip_ue: advanced past another code length");
        return nullptr;
    case 5: {
        const int64_t v = kavrel::read_ue_long(r);
        if (long_inside) {
            FUZZ_CHECK(r.bit_pos == code_end && v == static_cast<int64_t>(code), "read_ue_long: wrong code");
        }
        return nullptr;
    }
    default: {
        const int64_t v = kavrel::read_se_long(r);
        if (long_inside) {
            FUZZ_CHECK(r.bit_pos == code_end && v == se_of(code), "read_se_long: wrong code");
        }
        return nullptr;
    }
    }
}

const char* fuzz_bit_reader(ControlBytes& in) {
    const size_t op_count = in.u8() % 64;
    std::vector<uint8_t> ops;
    for (size_t i = 0; i < op_count; ++i) ops.push_back(in.u8());
    const uint8_t count_mode = in.u8();
    const HeapBlock rbsp(in.rest(), in.rest_size());
    // The frame walk's bit count, or any count up to two bytes past the data.
    const int32_t bit_count = (count_mode & 1)
                                  ? syntax_bits(rbsp)
                                  : static_cast<int32_t>((count_mode >> 1) % (8 * rbsp.size() + 17));
    kavrel::BitReader r;
    kavrel::bit_reader_init(r, rbsp.data(), static_cast<int32_t>(rbsp.size()), bit_count);
    const Model m{rbsp};
    for (uint8_t op : ops) {
        if (const char* failed = check_reader_op(r, m, op)) return failed;
    }
    return nullptr;
}

// ---- parameter sets and slice headers -----------------------------------

bool is_sps_result(int32_t rc) { return rc == 0 || rc == -12 || rc == -20 || rc == -22; }

// The next n bytes (fewer at the end of the input) and what follows them.
std::vector<uint8_t> take(ControlBytes& in, size_t n) {
    std::vector<uint8_t> b;
    for (size_t i = 0; i < n && in.rest_size() > 0; ++i) b.push_back(in.u8());
    return b;
}

int32_t parse_sps(ParserHandle* h, const HeapBlock& rbsp) {
    point_reader(h, rbsp, syntax_bits(rbsp));
    const int32_t rc = kavrel::decode_seq_parameter_set(h);
    if (rc == 0) h->sps_received = 1;
    return rc;
}

const char* check_sps_ranges(const kavrel::SeqParamSet& s) {
    FUZZ_CHECK(s.valid == 1 && s.mb_width >= 1 && s.mb_width <= 511 && s.mb_height >= 1 && s.mb_height <= 511,
               "SPS: accepted with its size out of range");
    FUZZ_CHECK(s.log2_max_frame_num >= 4 && s.log2_max_frame_num <= 16 && s.pic_order_cnt_type >= 0 &&
                   s.pic_order_cnt_type <= 2 && s.max_ref_frame_count >= 0 && s.max_ref_frame_count <= 16,
               "SPS: accepted with a field out of range");
    FUZZ_CHECK(s.pic_order_cnt_type != 0 || (s.log2_max_poc_lsb >= 4 && s.log2_max_poc_lsb <= 16),
               "SPS: accepted with log2_max_poc_lsb out of range");
    FUZZ_CHECK(s.poc_cycle_length >= 0 && s.poc_cycle_length <= 255, "SPS: accepted with a long POC cycle");
    return nullptr;
}

// The SPS writer is the parser's inverse: a parsed set, written and read
// again, has the same checked fields and is written again to the same bytes.
const char* check_sps_rewrite(const kavrel::SeqParamSet& parsed) {
    std::vector<uint8_t> first(kavrel::kSpsRbspCapacity);
    const int32_t n = kavrel::write_sps_rbsp(&parsed, first.data(), static_cast<int32_t>(first.size()));
    FUZZ_CHECK(n > 0, "SPS writer refused a parsed set");
    first.resize(static_cast<size_t>(n));
    ParserHandle* h = Kavrel_Open();
    if (!h) return nullptr;
    const int32_t rc = parse_sps(h, HeapBlock(first.data(), first.size()));
    const kavrel::SeqParamSet again = h->active_sps;
    Kavrel_Close(h);
    FUZZ_CHECK(rc == 0, "SPS writer: the written set does not parse");
    // The checked fields read back as they were; flags read past the data
    // (-1) are written as set. VUI fields read past the data are not
    // compared; the second write below covers them.
    FUZZ_CHECK(again.profile_idc == parsed.profile_idc && again.mb_width == parsed.mb_width &&
                   again.mb_height == parsed.mb_height &&
                   (again.frame_mbs_only_flag != 0) == (parsed.frame_mbs_only_flag != 0) &&
                   again.log2_max_frame_num == parsed.log2_max_frame_num &&
                   again.pic_order_cnt_type == parsed.pic_order_cnt_type &&
                   again.log2_max_poc_lsb == parsed.log2_max_poc_lsb &&
                   again.max_ref_frame_count == parsed.max_ref_frame_count &&
                   (again.vui_parameters_present_flag != 0) == (parsed.vui_parameters_present_flag != 0),
               "SPS writer: the written set reads back otherwise");
    std::vector<uint8_t> second(kavrel::kSpsRbspCapacity);
    const int32_t m = kavrel::write_sps_rbsp(&again, second.data(), static_cast<int32_t>(second.size()));
    FUZZ_CHECK(m == n && std::equal(first.begin(), first.end(), second.begin()),
               "SPS writer: writing the set read back gives other bytes");
    return nullptr;
}

// True when parsing `rbsp` read nothing past its syntax bits: parsed again
// with every bit from the stop bit on set, and eight bytes of ones behind
// the data, the set comes out the same. (A set read past its data holds
// what the reader gave there, which a writer cannot be asked to repeat.)
bool read_within_syntax(const HeapBlock& rbsp, const kavrel::SeqParamSet& parsed) {
    // The bit reader takes an int32_t length (and the compiler is then sure
    // that size + 8 does not wrap).
    if (rbsp.size() > static_cast<size_t>(INT32_MAX) - 8) return false;
    const int32_t bits = syntax_bits(rbsp);
    HeapBlock ones(rbsp.size() + 8);
    std::memcpy(ones.data(), rbsp.data(), rbsp.size());
    for (size_t i = 0; i < ones.size(); ++i) {
        const int64_t first_bit = static_cast<int64_t>(i) * 8;
        if (first_bit >= bits) {
            ones.data()[i] = 0xFF;
        } else if (first_bit + 8 > bits) {
            ones.data()[i] = static_cast<uint8_t>(ones.data()[i] | (0xFF >> (bits - first_bit)));
        }
    }
    ParserHandle* h = Kavrel_Open();
    if (!h) return false;
    kavrel::bit_reader_init(h->reader, ones.data(), static_cast<int32_t>(ones.size()), bits);
    const bool same = kavrel::decode_seq_parameter_set(h) == 0 &&
                      std::memcmp(&h->sps_table[parsed.seq_parameter_set_id], &parsed, sizeof parsed) == 0;
    Kavrel_Close(h);
    return same;
}

const char* fuzz_sps(ControlBytes& in) {
    const HeapBlock rbsp(in.rest(), in.rest_size());
    ParserHandle* h = Kavrel_Open();
    if (!h) return nullptr;
    const int32_t rc = parse_sps(h, rbsp);
    const int32_t id = h->active_sps.seq_parameter_set_id;
    const kavrel::SeqParamSet sps = h->sps_table[id >= 0 && id < kavrel::kMaxSps ? id : 0];
    Kavrel_Close(h);
    FUZZ_CHECK(is_sps_result(rc), "SPS: result outside 0, -12, -20, -22");
    if (rc != 0) return nullptr;
    if (const char* failed = check_sps_ranges(sps)) return failed;
    return codes_fit_window(sps) && read_within_syntax(rbsp, sps) ? check_sps_rewrite(sps) : nullptr;
}

// [SPS length][SPS][PPS]: the PPS parsed after its SPS.
const char* fuzz_pps(ControlBytes& in) {
    const std::vector<uint8_t> sps = take(in, in.u8());
    const HeapBlock pps(in.rest(), in.rest_size());
    ParserHandle* h = Kavrel_Open();
    if (!h) return nullptr;
    parse_sps(h, HeapBlock(sps.data(), sps.size()));
    point_reader(h, pps, syntax_bits(pps));
    const int32_t rc = kavrel::decode_picture_parameter_set(h, syntax_bits(pps));
    int32_t id = -1;
    for (int i = 0; i < kavrel::kMaxPps && rc == 0; ++i) {
        if (h->pps_table[i].valid) id = i;
    }
    const kavrel::PicParamSet p = id >= 0 ? h->pps_table[id] : kavrel::PicParamSet{};
    Kavrel_Close(h);
    FUZZ_CHECK(rc == 0 || rc == -9 || rc == -12 || rc == -19 || rc == -22, "PPS: result outside 0, -9, -12, -19, -22");
    if (rc != 0) return nullptr;
    FUZZ_CHECK(id >= 0, "PPS: accepted but not valid");
    FUZZ_CHECK(p.ref_count[0] >= 1 && p.ref_count[0] <= 32 && p.ref_count[1] >= 1 && p.ref_count[1] <= 32 &&
                   p.weighted_bipred_idc >= 0 && p.weighted_bipred_idc <= 2 && p.num_slice_groups_minus1 >= 0 &&
                   p.sps_id >= 0 && p.sps_id < kavrel::kMaxSps && p.transform_8x8_mode_flag >= -1 &&
                   p.transform_8x8_mode_flag <= 1,
               "PPS: accepted with a field out of range");
    return nullptr;
}

bool is_slice_result(int32_t rc) {
    switch (rc) {
    case 1:
    case 2:
    case 3:
    case -1:
    case -2:
    case -3:
    case -4:
    case -5:
    case -6:
    case -8:
    case -9:
    case -16:
    case -18:
    case -19:
        return true;
    default:
        return false;
    }
}

// [NAL header][SPS length][SPS][PPS length][PPS][slice header ...], the
// slice parsed twice (a second picture after the first).
const char* fuzz_slice(ControlBytes& in) {
    const uint8_t header = in.u8();
    const std::vector<uint8_t> sps = take(in, in.u8());
    const std::vector<uint8_t> pps_bytes = take(in, in.u8());
    const HeapBlock pps(pps_bytes.data(), pps_bytes.size());
    const HeapBlock slice(in.rest(), in.rest_size());
    ParserHandle* h = Kavrel_Open();
    if (!h) return nullptr;
    parse_sps(h, HeapBlock(sps.data(), sps.size()));
    point_reader(h, pps, syntax_bits(pps));
    kavrel::decode_picture_parameter_set(h, syntax_bits(pps));
    const char* failed = nullptr;
    for (int round = 0; round < 2 && !failed; ++round) {
        h->nal_ref_idc = static_cast<uint8_t>((header >> 5) & 3);
        h->nal_unit_type = (header & 1) ? 5 : 1;
        point_reader(h, slice, syntax_bits(slice));
        const int32_t rc = kavrel::decode_slice_header(h);
        const kavrel::SliceHeader& s = h->slice;
        if (!is_slice_result(rc)) {
            failed = "slice header: result outside the documented codes";
        } else if (rc > 0 && (s.qp < 0 || s.qp > 51 || s.picture_structure < 1 || s.picture_structure > 3)) {
            failed = "slice header: accepted with QP or structure out of range";
        } else if (rc > 1 && (s.ref_count[0] < 1 || s.ref_count[0] > 32)) {
            failed = "slice header: accepted with ref_count out of range";
        }
    }
    Kavrel_Close(h);
    return failed;
}

}  // namespace

const char* fuzz_rbsp_parsers(const uint8_t* data, size_t size) {
    ControlBytes in(data, size);
    switch (in.u8() % 4) {
    case 0:
        return fuzz_bit_reader(in);
    case 1:
        return fuzz_sps(in);
    case 2:
        return fuzz_pps(in);
    default:
        return fuzz_slice(in);
    }
}

}  // namespace kavrel_fuzz
