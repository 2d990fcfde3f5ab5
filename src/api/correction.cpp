// Kavrel_enc_h264Correct: the frame walked on a handle of its own, whose
// RBSP work area is the caller's output buffer, then the corrected frame
// written there with the PPS or SPS spliced anew.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/diagnostics.h"
#include "kavrel.h"
#include "stream/parse_frame.h"
#include "synth/nal_packaging.h"
#include "synth/param_set_splice.h"

namespace {

using kavrel::Status;

// A refusal of the call's own: printed, kept as the reason (RefusalNote).
template <typename... Args>
void refuse(const char* format, Args... args) {
    static_cast<void>(kavrel::refuse(Status::kRefused, format, args...));
}

constexpr int32_t kSpsCopySize = 512;
constexpr int32_t kPpsCopySize = 4096;
constexpr int32_t kRewriteSize = 1024;  // a rewritten SPS grows by at most 7 bytes
constexpr int32_t kEscapedSize = 6400;  // escaping grows an RBSP by at most half

// The place the null-request message names: fixed, so that the log stays
// the same whatever the layout of this file.
constexpr const char* kExportName = "Kavrel_enc_h264Correct";
constexpr int kNullRequestLine = 158;

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
    const int32_t m = kavrel::escape_rbsp(rbsp, rbsp_len, escaped, kEscapedSize);
    const int64_t total = m < 0 ? -1 : assemble(req, nal_pos, nal_len, escaped, m);
    if (total < 0) {
        refuse("[VsKavrel]:Error: the corrected frame does not fit cureFrameLength (%u)\n\n", req.cureFrameLength);
        return -1;
    }
    req.cureFrameLength = static_cast<uint32_t>(total);
    req.corrected = 1;
    return 0;
}

// The checks of the request's arguments; false after a message.
bool request_acceptable(const CorrectionRequest& req) {
    if (!req.org_frame) {
        refuse("[VsKavrel]:Error: NULL orignal pointer\n\n");
        return false;
    }
    if (!req.cure_frame) {
        refuse("[VsKavrel]:Error: NULL currect  pointer\n\n");
        return false;
    }
    if (req.cureFrameLength < req.OrgFrameLength) {
        refuse("[VsKavrel]:Error: cureFrameLength < OrgFrameLength\n\n");
        return false;
    }
    if (req.OrgFrameLength > static_cast<uint32_t>(INT32_MAX)) {
        refuse("[VsKavrel]:Error: OrgFrameLength %u is out of range\n\n", req.OrgFrameLength);
        return false;
    }
    if (req.correction_mode == 2 && (req.sar_width > 0xffff || req.sar_height > 0xffff)) {
        refuse("[VsKavrel]:Error: sar_width (%u) or sar_height (%u) is greater than 65535\n\n", req.sar_width,
             req.sar_height);
        return false;
    }
    return true;
}

// A handle of its own, whose RBSP work area is the output buffer; null
// after a message.
ParserHandle* open_correction_handle(const CorrectionRequest& req, int32_t capacity) {
    auto* handle = static_cast<ParserHandle*>(std::calloc(1, sizeof(ParserHandle)));
    if (!handle) {
        refuse("[VsKavrel]:H264_Stream_Open: malloc fail\n\n");
        return nullptr;
    }
    kavrel::rbsp_scratch_borrow(handle->scratch, req.cure_frame, capacity);
    return handle;
}

// Mode 1: the frame with its PPS given the High-profile tail, where the
// set lacks it. 0 (also when nothing is written) or -1.
int32_t correct_pps(CorrectionRequest& req, const ParserHandle& handle, const kavrel::FrameSets& sets) {
    uint8_t extended[kPpsCopySize + 4];
    int32_t n = 0;
    // The tail must suit the SPS the PPS names (the one it was checked
    // against), whichever SPS came last in the frame.
    if (handle.pps_sps_profile_idc >= 100 && !handle.pps_has_tail && sets.pps_copied) {
        n = kavrel::extend_pps(sets.pps_copy, sets.pps_len, handle.pps_tail_bit_pos,
                               handle.pps_chroma_qp_index_offset, extended, sizeof extended);
    }
    return n > 0 ? write_corrected(req, sets.pps_nal_pos, sets.pps_nal_len, extended, n) : 0;
}

// Mode 2: the frame with its SPS given an explicit sample aspect ratio
// (`sar_width`:`sar_height` where both are non-zero, else the one the
// frame's sets give, else the display size). 0 or -1, or the frame's size
// when the set's VUI flag is unreadable (nothing written).
int32_t correct_sps(CorrectionRequest& req, uint32_t sar_width, uint32_t sar_height, const ParserHandle& handle,
                    const kavrel::FrameSets& sets, int32_t size) {
    const kavrel::SeqParamSet& record = handle.sps_table[sets.sps_id];
    const bool requested = sar_width != 0 && sar_height != 0;
    uint32_t sar_w = requested ? sar_width : static_cast<uint32_t>(sets.sar_width);
    uint32_t sar_h = requested ? sar_height : static_cast<uint32_t>(sets.sar_height);
    if (!sar_w || !sar_h) {
        sar_w = static_cast<uint16_t>(handle.display_width);
        sar_h = static_cast<uint16_t>(handle.display_height);
    }
    uint8_t rewritten[kRewriteSize];
    const int32_t n = kavrel::rewrite_sps_sar(sets.sps_copy, sets.sps_bits, record, sar_w, sar_h, rewritten,
                                              kRewriteSize);
    // An unreadable VUI flag (it lay past the end of the set): nothing written.
    return n < 0 ? size : write_corrected(req, sets.sps_nal_pos, sets.sps_nal_len, rewritten, n);
}

}  // namespace

extern "C" KAVREL_API int32_t Kavrel_enc_h264Correct(CorrectionRequest* request) {
    if (!request) {
        refuse("[VsKavrel]:%s:%d: Error: NULL Pointer\n\n", kExportName, kNullRequestLine);
        return -1;
    }
    CorrectionRequest& req = *request;
    if (!request_acceptable(req)) return -1;
    const int32_t capacity = req.cureFrameLength > static_cast<uint32_t>(INT32_MAX)
                                 ? INT32_MAX
                                 : static_cast<int32_t>(req.cureFrameLength);
    ParserHandle* handle = open_correction_handle(req, capacity);
    if (!handle) return -1;

    uint8_t sps_copy[kSpsCopySize];
    uint8_t pps_copy[kPpsCopySize];
    kavrel::FrameSets sets;
    sets.correction_mode = req.correction_mode;
    sets.sps_copy = sps_copy;
    sets.sps_copy_capacity = kSpsCopySize;
    sets.pps_copy = pps_copy;
    sets.pps_copy_capacity = kPpsCopySize;

    req.corrected = -1;
    const int32_t size = static_cast<int32_t>(req.OrgFrameLength);
    int32_t rc = kavrel::result_code(kavrel::parse_frame_sets(handle, req.org_frame, size, sets));
    if (rc < 0) {
        std::free(handle);
        return rc;
    }

    req.corrected = 0;
    const bool have_sets = sets.sps_len >= 0 && sets.pps_len >= 0;
    if (req.correction_mode == 1) {
        if (have_sets) rc = correct_pps(req, *handle, sets);
    } else if (req.correction_mode == 2) {
        if (have_sets) rc = correct_sps(req, req.sar_width, req.sar_height, *handle, sets, size);
    } else {
        rc = -1;
    }
    std::free(handle);
    return rc;
}
