// The copy of a non-reference picture with pic_order_cnt_lsb one higher:
// each slice's header is read up to direct_spatial_mv_pred_flag to find
// the field and what the copy would change, then the NAL unit is written
// again with the field's bits replaced and emulation prevention redone.
#include "synth/picture_copy.h"

#include "bitstream/bit_reader.h"
#include "stream/parser_handle.h"

namespace kavrel {

namespace {

// RBSP bytes read of a slice header: more than the elements up to
// direct_spatial_mv_pred_flag take (about 24).
constexpr int32_t kHeaderPrefix = 48;

// What one slice header says about its copy.
struct SliceFacts {
    int32_t lsb_bit = 0;   // first bit of pic_order_cnt_lsb in the RBSP
    int32_t lsb_bits = 0;
    uint32_t lsb = 0;
    const char* refusal = nullptr;
};

// The first RBSP bytes of a NAL unit's payload (after its header byte).
int32_t unescape_prefix(const uint8_t* payload, int32_t len, uint8_t* out) {
    int32_t n = 0;
    int32_t zeros = 0;
    for (int32_t i = 0; i < len && n < kHeaderPrefix; ++i) {
        if (zeros >= 2 && payload[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = payload[i] == 0 ? zeros + 1 : 0;
        out[n++] = payload[i];
    }
    return n;
}

// The elements before pic_order_cnt_lsb, clause 7.3.3; null or a refusal.
const char* read_to_lsb(const ParserHandle* h, BitReader& r, const PicParamSet** pps_out) {
    read_ue_long(r);  // first_mb_in_slice
    read_ue(r);       // slice_type
    const int32_t pps_id = read_ue(r);
    if (pps_id < 0 || pps_id >= kMaxPps || !h->pps_table[pps_id].valid)
        return "a slice names no stored picture parameter set";
    const PicParamSet& pps = h->pps_table[pps_id];
    const int32_t sps_id = pps.seq_parameter_set_id;
    if (sps_id < 0 || sps_id >= kMaxSps || !h->sps_table[sps_id].valid)
        return "a slice names no stored sequence parameter set";
    const SeqParamSet& sps = h->sps_table[sps_id];
    *pps_out = &pps;
    read_bits(r, Log2MaxFrameNum(sps));
    if (sps.frame_mbs_only_flag == 0 && read_bit(r) != 0) return "the picture is a field";
    if (sps.pic_order_cnt_type == 1) return "picture order count type 1 is not supported";
    if (sps.pic_order_cnt_type == 2) return "with picture order count type 2 a copy takes the picture's own count";
    return nullptr;
}

SliceFacts read_slice_facts(const ParserHandle* h, const uint8_t* payload, int32_t len) {
    uint8_t rbsp[kHeaderPrefix];
    const int32_t n = unescape_prefix(payload, len, rbsp);
    BitReader r;
    bit_reader_init(r, rbsp, n, 8 * n);
    SliceFacts f;
    BitReader peek = r;
    read_ue_long(peek);
    const int32_t slice_type = read_ue(peek);
    const PicParamSet* pps = nullptr;
    if ((f.refusal = read_to_lsb(h, r, &pps)) != nullptr) return f;
    const SeqParamSet& sps = h->sps_table[pps->seq_parameter_set_id];
    f.lsb_bit = r.bit_pos;
    f.lsb_bits = Log2MaxPicOrderCntLsb(sps);
    f.lsb = static_cast<uint32_t>(read_bits(r, f.lsb_bits));
    if (pps->bottom_field_pic_order_in_frame_present_flag != 0 && read_se_long(r) != 0)
        f.refusal = "the frame's fields take two picture order counts, leaving none free for the copy";
    if (pps->redundant_pic_cnt_present_flag != 0) read_ue(r);
    if (!f.refusal && slice_type % 5 == 1) {
        if (read_bit(r) == 0)
            f.refusal = "a B slice uses temporal direct prediction (direct_spatial_mv_pred_flag 0), "
                        "which depends on the picture order count";
        else if (pps->weighted_bipred_idc == 2)
            f.refusal = "a B slice uses implicit weighted bi-prediction (weighted_bipred_idc 2), "
                        "whose weights depend on the picture order count";
    }
    if (!f.refusal && r.bit_pos > r.bit_count) f.refusal = "a slice header ends too early";
    return f;
}

// Byte `j` of the RBSP with the bits [bit, bit + bits) that fall in it set
// from `value`.
uint8_t patch_byte(uint8_t b, int32_t j, int32_t bit, int32_t bits, uint32_t value) {
    if (8 * j + 8 <= bit || 8 * j >= bit + bits) return b;
    for (int32_t k = 0; k < 8; ++k) {
        const int32_t pos = 8 * j + k;
        if (pos < bit || pos >= bit + bits) continue;
        const auto mask = static_cast<uint8_t>(0x80 >> k);
        b = ((value >> (bit + bits - 1 - pos)) & 1) != 0 ? (b | mask) : static_cast<uint8_t>(b & ~mask);
    }
    return b;
}

// The NAL unit of `len` bytes at `nal` behind a four-byte start code, its
// RBSP bits [bit, bit + bits) set to `value` and escaped anew (clause
// 7.4.1: 03 after 00 00 before a byte up to 03, and after a last 00); to
// out unless null. The bytes it takes.
int32_t write_patched_nal(const uint8_t* nal, int32_t len, int32_t bit, int32_t bits, uint32_t value, uint8_t* out) {
    int32_t n = 0;
    auto put = [&](uint8_t b) {
        if (out) out[n] = b;
        ++n;
    };
    static constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
    for (const uint8_t b : kStartCode) put(b);
    put(nal[0]);
    int32_t zeros_in = 0;
    int32_t zeros_out = 0;
    int32_t j = 0;
    uint8_t last = nal[0];
    for (int32_t i = 1; i < len; ++i) {
        if (zeros_in >= 2 && nal[i] == 3) {
            zeros_in = 0;
            continue;
        }
        zeros_in = nal[i] == 0 ? zeros_in + 1 : 0;
        const uint8_t b = patch_byte(nal[i], j++, bit, bits, value);
        if (zeros_out >= 2 && b <= 3) {
            put(3);
            zeros_out = 0;
        }
        put(b);
        zeros_out = b == 0 ? zeros_out + 1 : 0;
        last = b;
    }
    if (last == 0) put(3);
    return n;
}

}  // namespace

const char* picture_copy_refusal(const ParserHandle* handle, const uint8_t* unit, int32_t size) {
    const char* why = nullptr;
    bool slices = false;
    for_each_nal(unit, size, [&](int32_t at, int32_t len) {
        const int32_t type = unit[at] & 0x1f;
        if (why) return;
        if (type >= 2 && type <= 4) why = "the picture uses data partitioning";
        if (type == 10 || type == 11) why = "the access unit ends the sequence or the stream";
        if (type == 5) why = "the picture is an IDR picture";
        if (type != 1) return;
        slices = true;
        why = read_slice_facts(handle, unit + at + 1, len - 1).refusal;
    });
    return why ? why : slices ? nullptr : "the access unit holds no picture";
}

int32_t write_picture_copy(const ParserHandle* handle, const uint8_t* unit, int32_t size, uint8_t* out,
                           int32_t capacity) {
    if (out) {  // nothing is written unless all of it fits
        const int32_t need = write_picture_copy(handle, unit, size, nullptr, 0);
        if (need > capacity) return -1;
    }
    int32_t n = 0;
    bool first = true;
    for_each_nal(unit, size, [&](int32_t at, int32_t len) {
        const int32_t type = unit[at] & 0x1f;
        uint8_t* dst = out ? out + n : nullptr;
        if (type == 9 && first) n += write_patched_nal(unit + at, len, 0, 0, 0, dst);
        first = false;
        if (type != 1) return;
        const SliceFacts f = read_slice_facts(handle, unit + at + 1, len - 1);
        const uint32_t mask = (uint32_t{1} << f.lsb_bits) - 1;
        n += write_patched_nal(unit + at, len, f.lsb_bit, f.lsb_bits, (f.lsb + 1) & mask, dst);
    });
    return n;
}

}  // namespace kavrel
