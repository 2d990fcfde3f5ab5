#include "api/correction.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <numeric>

#include "common/diagnostics.h"
#include "stream/parse_frame.h"
#include "kavrel.h"

namespace kavrel {

namespace {

// Appends bits MSB first to a bounded buffer.
struct BitAppender {
    uint8_t* out;
    int32_t capacity;
    int64_t bits = 0;
    bool overflow = false;

    void put(uint32_t value, int n) {
        for (int i = n - 1; i >= 0; --i) {
            const int64_t byte = bits >> 3;
            if (byte >= capacity) {
                overflow = true;
                return;
            }
            if ((bits & 7) == 0) out[byte] = 0;
            if ((value >> i) & 1) out[byte] = static_cast<uint8_t>(out[byte] | (0x80 >> (bits & 7)));
            ++bits;
        }
    }
    // Bits [from, to) of an RBSP.
    void copy(const uint8_t* src, int32_t from, int32_t to) {
        for (int32_t b = from; b < to; ++b) put((src[b >> 3] >> (7 - (b & 7))) & 1, 1);
    }
    // se(v) (clause 9.1.1) of a small value.
    void put_se(int32_t v) {
        const uint32_t code = v > 0 ? 2 * static_cast<uint32_t>(v) - 1 : 2 * static_cast<uint32_t>(-v);
        int len = 0;
        while ((code + 1) >> (len + 1)) ++len;
        put(0, len);
        put(code + 1, len + 1);
    }
    // rbsp_trailing_bits(): the stop bit and zeros to the byte boundary.
    void trailing() {
        put(1, 1);
        while (bits & 7) put(0, 1);
    }
    int32_t bytes() const { return static_cast<int32_t>((bits + 7) >> 3); }
};

}  // namespace

int32_t rewrite_sps_sar(const uint8_t* sps, int32_t sps_bits, const SeqParamSet& record, uint32_t sar_width,
                        uint32_t sar_height, uint8_t* out, int32_t capacity) {
    // A flag read past the set's data (stored as 255), or fields before it
    // read there: the bits up to the flag are not what was parsed.
    if (record.vui_parameters_present_flag > 1 || record.vui_flag_bit_pos > sps_bits) return -1;
    if (sar_width && sar_height) {
        const uint32_t g = std::gcd(sar_width, sar_height);
        sar_width /= g;
        sar_height /= g;
    }
    BitAppender w{out, capacity};
    w.copy(sps, 0, record.vui_flag_bit_pos);
    w.put(1, 1);    // vui_parameters_present_flag
    w.put(1, 1);    // aspect_ratio_info_present_flag
    w.put(255, 8);  // aspect_ratio_idc: Extended_SAR
    w.put(sar_width & 0xffff, 16);
    w.put(sar_height & 0xffff, 16);
    if (record.vui_parameters_present_flag == 0) {
        w.put(0, 8);  // overscan, video signal, chroma loc, timing, NAL/VCL HRD, pic_struct, restriction: absent
    } else {
        w.copy(sps, record.aspect_info_end_bit_pos, sps_bits);
    }
    w.trailing();
    return w.overflow ? -1 : w.bytes();
}

int32_t extend_pps(const uint8_t* pps, int32_t pps_len, int32_t tail_bit_pos, int32_t chroma_qp_index_offset,
                   uint8_t* out, int32_t capacity) {
    if (tail_bit_pos < 0 || tail_bit_pos / 8 >= pps_len) return 0;
    BitAppender w{out, capacity};
    w.copy(pps, 0, tail_bit_pos + 1);
    w.put(1, 1);  // transform_8x8_mode_flag
    w.put(0, 1);  // pic_scaling_matrix_present_flag
    w.put_se(chroma_qp_index_offset);  // second_chroma_qp_index_offset
    w.trailing();
    return w.overflow ? 0 : w.bytes();
}

int32_t add_emulation_prevention(const uint8_t* rbsp, int32_t len, uint8_t* out, int32_t capacity) {
    int32_t d = 0;
    for (int32_t i = 0; i < len; ++i) {
        if (i >= 2 && rbsp[i] <= 3 && d >= 2 && out[d - 1] == 0 && out[d - 2] == 0) {
            if (d >= capacity) return -1;
            out[d++] = 3;
        }
        if (d >= capacity) return -1;
        out[d++] = rbsp[i];
    }
    return d;
}

}  // namespace kavrel

namespace {

using kavrel::diag;

constexpr int32_t kSpsCopySize = 512;
constexpr int32_t kPpsCopySize = 4096;
constexpr int32_t kRewriteSize = 1024;  // a rewritten SPS grows by at most 7 bytes
constexpr int32_t kEscapedSize = 6400;  // escaping grows an RBSP by at most half

// Writes `org` to `cure` with the NAL unit at [nal_pos, nal_pos + nal_len)
// (header byte included) replaced by its header byte and `payload`. Every
// other byte of the input is kept in place and order. Returns the length,
// or -1 when it does not fit.
int64_t assemble(const CorrectionRequest& req, int32_t nal_pos, int32_t nal_len, const uint8_t* payload,
                 int32_t payload_len) {
    const int64_t tail_from = static_cast<int64_t>(nal_pos) + nal_len;
    const int64_t total = nal_pos + 1 + static_cast<int64_t>(payload_len) + (req.OrgFrameLength - tail_from);
    if (total > req.cureFrameLength) return -1;
    uint8_t* out = req.cure_frame;
    std::memcpy(out, req.org_frame, static_cast<size_t>(nal_pos));
    out[nal_pos] = req.org_frame[nal_pos];
    std::memcpy(out + nal_pos + 1, payload, static_cast<size_t>(payload_len));
    std::memcpy(out + nal_pos + 1 + payload_len, req.org_frame + tail_from,
                static_cast<size_t>(req.OrgFrameLength - tail_from));
    return total;
}

// Escapes the rewritten RBSP and writes the corrected frame with it in place
// of the unit at [nal_pos, nal_pos + nal_len). 0, or -1 (with a message and
// nothing written) when the frame does not fit cureFrameLength.
int32_t write_corrected(CorrectionRequest& req, int32_t nal_pos, int32_t nal_len, const uint8_t* rbsp,
                        int32_t rbsp_len) {
    uint8_t escaped[kEscapedSize];
    const int32_t m = kavrel::add_emulation_prevention(rbsp, rbsp_len, escaped, kEscapedSize);
    const int64_t total = m < 0 ? -1 : assemble(req, nal_pos, nal_len, escaped, m);
    if (total < 0) {
        diag("[VsKavrel]:Error: the corrected frame does not fit cureFrameLength (%u)\n\n", req.cureFrameLength);
        return -1;
    }
    req.cureFrameLength = static_cast<uint32_t>(total);
    req.corrected = 1;
    return 0;
}

}  // namespace

extern "C" KAVREL_API int32_t Kavrel_enc_h264Correct(CorrectionRequest* request) {
    if (!request) {
        KAVREL_NULL_POINTER();
        return -1;
    }
    CorrectionRequest& req = *request;
    if (!req.org_frame) {
        diag("[VsKavrel]:Error: NULL orignal pointer\n\n");
        return -1;
    }
    if (!req.cure_frame) {
        diag("[VsKavrel]:Error: NULL currect  pointer\n\n");
        return -1;
    }
    if (req.cureFrameLength < req.OrgFrameLength) {
        diag("[VsKavrel]:Error: cureFrameLength < OrgFrameLength\n\n");
        return -1;
    }
    if (req.OrgFrameLength > static_cast<uint32_t>(INT32_MAX)) {
        diag("[VsKavrel]:Error: OrgFrameLength %u is out of range\n\n", req.OrgFrameLength);
        return -1;
    }
    if (req.correction_mode == 2 && (req.sar_width > 0xffff || req.sar_height > 0xffff)) {
        diag("[VsKavrel]:Error: sar_width (%u) or sar_height (%u) is greater than 65535\n\n", req.sar_width,
             req.sar_height);
        return -1;
    }

    // A handle of its own, whose RBSP work area is the output buffer.
    auto* handle = static_cast<ParserHandle*>(std::calloc(1, sizeof(ParserHandle)));
    if (!handle) {
        diag("[VsKavrel]:H264_Stream_Open: malloc fail\n\n");
        return -1;
    }
    const int32_t capacity = req.cureFrameLength > static_cast<uint32_t>(INT32_MAX)
                                 ? INT32_MAX
                                 : static_cast<int32_t>(req.cureFrameLength);
    handle->scratch = req.cure_frame;
    handle->scratch_capacity = capacity;
    handle->correction_mode = req.correction_mode;
    handle->active_sps.sar_width = static_cast<int32_t>(req.sar_width);
    handle->active_sps.sar_height = static_cast<int32_t>(req.sar_height);

    uint8_t sps_copy[kSpsCopySize];
    uint8_t pps_copy[kPpsCopySize];
    kavrel::FrameSets sets;
    sets.sps_copy = sps_copy;
    sets.sps_copy_capacity = kSpsCopySize;
    sets.pps_copy = pps_copy;
    sets.pps_copy_capacity = kPpsCopySize;

    req.corrected = -1;
    const int32_t size = static_cast<int32_t>(req.OrgFrameLength);
    int32_t rc = kavrel::parse_frame_sets(handle, req.org_frame, size, req.cure_frame, capacity, sets);
    if (rc < 0) {
        std::free(handle);
        return rc;
    }

    req.corrected = 0;
    const bool have_sets = sets.sps_len >= 0 && sets.pps_len >= 0;
    if (req.correction_mode == 1) {
        uint8_t extended[kPpsCopySize + 4];
        int32_t n = 0;
        // The tail must suit the SPS the PPS names (the one it was checked
        // against), whichever SPS came last in the frame.
        if (have_sets && handle->pps_sps_profile_idc >= 100 && handle->transform_8x8_mode == -1 &&
            sets.pps_copied) {
            n = kavrel::extend_pps(pps_copy, sets.pps_len, handle->pps_tail_bit_pos,
                                   handle->pps_chroma_qp_index_offset, extended, sizeof extended);
        }
        if (n > 0) rc = write_corrected(req, sets.pps_nal_pos, sets.pps_nal_len, extended, n);
    } else if (req.correction_mode == 2) {
        if (have_sets) {
            const kavrel::SeqParamSet& record = handle->sps_table[sets.sps_id];
            uint32_t sar_w = static_cast<uint32_t>(record.sar_width);
            uint32_t sar_h = static_cast<uint32_t>(record.sar_height);
            if (!sar_w || !sar_h) {
                sar_w = static_cast<uint16_t>(handle->display_width);
                sar_h = static_cast<uint16_t>(handle->display_height);
            }
            uint8_t rewritten[kRewriteSize];
            const int32_t n =
                kavrel::rewrite_sps_sar(sps_copy, sets.sps_bits, record, sar_w, sar_h, rewritten, kRewriteSize);
            // An unreadable VUI flag (it lay past the end of the set): nothing written.
            rc = n < 0 ? size : write_corrected(req, sets.sps_nal_pos, sets.sps_nal_len, rewritten, n);
        }
    } else {
        rc = -1;
    }
    std::free(handle);
    return rc;
}
