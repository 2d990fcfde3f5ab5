#include "stream/parse_frame.h"

#include <cstring>

#include "bitstream/nal_unit.h"
#include "common/diagnostics.h"
#include "stream/access_unit.h"

namespace kavrel {

namespace {

// The header check of the NAL unit layer, with the units that pass it
// without a word (a slice of type 1, or of type 5 with nal_ref_idc above 0,
// forbidden_zero_bit clear) settled inline.
inline bool check_header(ParserHandle* handle, uint8_t header) {
    const int type = header & 0x9f;
    if (type == 1 || (type == 5 && (header & 0x60) != 0)) {
        handle->nal_ref_idc = static_cast<uint8_t>((header >> 5) & 3);
        handle->nal_unit_type = static_cast<uint8_t>(type);
        return true;
    }
    return check_nal_header(handle, header);
}

// One walk over the NAL units of an access unit.
struct FrameWalk {
    ParserHandle* handle;
    const uint8_t* data;
    int32_t size;
    uint8_t* rbsp_buffer;
    bool correcting;          // every unit is unescaped whole; the sets are copied out
    FrameSets& sets;
    int32_t pos = 0;          // where the search for the next start code begins
    AccessUnitWalk access_unit;
    bool idr_seen = false;
};

// The NAL unit behind one start code.
struct NalUnitRead {
    int32_t header_pos = 0;   // input position of its header byte
    int nal_unit_type = 0;
    bool whole = false;       // its RBSP is unescaped whole into `rbsp`
    uint8_t* rbsp = nullptr;
    int32_t rbsp_len = 0;
    int32_t taken = 0;        // input bytes of the unit from its header byte
    int32_t bit_count = 0;    // RBSP bits before the rbsp_stop_one_bit
    NalExtent extent;         // where the payload ends (units not unescaped whole)
};

// The place the walk's two "%s:%d" messages name: fixed, so that the log
// stays the same whatever the layout of this file.
constexpr const char* kWalkName = "parse_frame";
constexpr int kNullDataLine = 32;
constexpr int kGrowFailLine = 45;

// Frame start: kNoSps for null data; a negative size counts as 0. Makes
// room for the frame's RBSPs in the work area (a borrowed one, the
// correction's output buffer, is large enough).
Status begin_frame(ParserHandle* handle, const uint8_t* data, int32_t& size) {
    if (!data) return refuse(Status::kNoSps, "[VsKavrel]:%s:%d: Error: NULL Pointer\n\n", kWalkName, kNullDataLine);
    if (size < 0) size = 0;
    if (rbsp_scratch_reserve(handle->scratch, size)) return Status::kOk;
    return refuse(Status::kMemory, "[VsKavrel]:%s:%d: realloc fail\n\n", kWalkName, kGrowFailLine);
}

void reset_frame_sets(FrameSets& fs) {
    fs.sps_len = -1;
    fs.sps_id = -1;
    fs.pps_len = -1;
    fs.pps_copied = false;
    fs.sps_nal_pos = -1;
    fs.sps_nal_len = 0;
    fs.pps_nal_pos = -1;
    fs.pps_nal_len = 0;
    fs.sar_width = 0;
    fs.sar_height = 0;
}

// Find unit: the next start code with at least one byte behind it, from
// walk.pos on; false at the input's end (walk.pos then stays there).
inline bool find_unit(FrameWalk& w) {
    w.pos = find_start_code(w.data, w.size, w.pos);
    return w.pos + 3 < w.size;
}

// Classify: checks the header byte and the unit's place in the frame; 0 or
// -11, -13, -14. Parameter sets are unescaped whole (their bytes are kept),
// and so is every unit of a frame being corrected (the output buffer holds
// the RBSPs). Other units are only scanned for their end: a slice header
// is unescaped as far as it is read, the rest never.
inline Status classify_unit(FrameWalk& w, NalUnitRead& u) {
    ParserHandle* handle = w.handle;
    const int32_t h = u.header_pos;
    const int header_type = w.data[h] & 0x1f;
    u.whole = w.correcting || header_type == 7 || header_type == 8;
    if (u.whole) {
        u.rbsp = read_nal_unit(handle, w.data + h, &u.rbsp_len, &u.taken, w.size - h, w.rbsp_buffer);
    } else if (check_header(handle, w.data[h])) {
        u.rbsp = w.rbsp_buffer;
    }
    u.nal_unit_type = handle->nal_unit_type;
    if (handle->nal_ref_idc > 0 && u.nal_unit_type == 6) return Status::kSeiRefIdc;
    if (!u.rbsp) return refuse(Status::kNal, "[VsKavrel]:Parse Nal fail\n");
    if (u.nal_unit_type == 5) {
        w.idr_seen = true;
    } else if (w.idr_seen && u.nal_unit_type == 1 && handle->slice.picture_structure == 3) {
        return refuse(Status::kIdrMixed, "[VsKavrel]:Frame containing both idr and non-idr\n");
    }
    return Status::kOk;
}

// Where the unit ends and how many RBSP bits it holds.
inline void measure_unit(const FrameWalk& w, NalUnitRead& u) {
    if (u.whole) {
        u.bit_count = rbsp_bit_count(u.rbsp, u.rbsp_len);
        return;
    }
    const uint8_t* payload = w.data + u.header_pos + 1;
    u.extent = scan_nal_payload(payload, w.size - u.header_pos - 1);
    u.rbsp_len = u.extent.rbsp_len();
    u.taken = u.extent.payload_len + 1;
    u.bit_count = rbsp_bit_count(payload, u.extent);
}

inline Status dispatch_slice(FrameWalk& w, const NalUnitRead& u) {
    ParserHandle* handle = w.handle;
    if (!handle->sps_received) return Status::kNoSps;
    const uint8_t* payload = w.data + u.header_pos + 1;
    Status st;
    if (u.whole) {
        st = decode_slice_header(handle, u.rbsp, u.rbsp_len, u.bit_count, nullptr);
    } else if (u.extent.escapes == 0) {
        // Without escapes the payload is the RBSP: read it in place.
        st = decode_slice_header(handle, payload, u.rbsp_len, u.bit_count, nullptr);
    } else {
        RbspSource source;
        rbsp_source_init(source, payload, u.extent, u.rbsp);
        st = decode_slice_header(handle, u.rbsp, u.rbsp_len, u.bit_count, &source);
    }
    // The parser's own message comes first: it is the reason (RefusalNote).
    if (!ok(st)) return refuse(st, "[VsKavrel]:Parse slice header fail\n");
    handle->slice_received = 1;
    if (w.access_unit.pictures == 1) handle->first_picture_structure = handle->slice.picture_structure;
    return Status::kOk;
}

// A term of the set's aspect ratio for the correction: as read, or -1
// (all ones to the correction, as it has always taken it) where the data
// ended before it.
constexpr int32_t kSarTermNotRead = -1;
inline int32_t sar_term(const SeqParamSet& sps, int32_t value, SpsElementMark mark) {
    return read_past_data(sps, mark) ? kSarTermNotRead : value;
}

Status dispatch_sps(FrameWalk& w, const NalUnitRead& u) {
    ParserHandle* handle = w.handle;
    FrameSets& fs = w.sets;
    bit_reader_init(handle->reader, u.rbsp, u.rbsp_len, u.bit_count);
    const Status st = decode_seq_parameter_set(*handle, handle->reader);
    if (!ok(st)) return refuse(st, "[VsKavrel]:Parse sps fail\n");
    if (handle->reader.bit_pos > u.bit_count) diag("[VsKavrel]:Parse SPS length change\n");
    fs.sps_len = (u.bit_count + 7) / 8;
    fs.sps_bits = u.bit_count;
    fs.sps_id = handle->active_sps.seq_parameter_set_id;
    fs.sps_nal_pos = u.header_pos;
    fs.sps_nal_len = u.taken;
    const uint8_t* sps_bytes = u.rbsp;
    if (!(fs.sar_width != 0 && fs.sar_height != 0)) {
        const SeqParamSet& sps = handle->active_sps;
        fs.sar_width = sar_term(sps, sps.sar_width, kMarkSarWidth);
        fs.sar_height = sar_term(sps, sps.sar_height, kMarkSarHeight);
    }
    if (fs.correction_mode == 2 && fs.sps_len >= 512) {
        return refuse(Status::kSpsRange, "[VsKavrel]:The length of SPS is great than 512\n");
    }
    if (w.correcting && fs.sps_copy && fs.sps_len <= fs.sps_copy_capacity) {
        // The next NAL unit overwrites the RBSP buffer.
        std::memcpy(fs.sps_copy, u.rbsp, static_cast<size_t>(fs.sps_len));
        sps_bytes = fs.sps_copy;
    }
    handle->sps_received = 1;
    return store_param_set(handle, sps_bytes, fs.sps_len, 0);
}

Status dispatch_pps(FrameWalk& w, const NalUnitRead& u) {
    ParserHandle* handle = w.handle;
    FrameSets& fs = w.sets;
    bit_reader_init(handle->reader, u.rbsp, u.rbsp_len, u.bit_count);
    const Status st = decode_picture_parameter_set(*handle, handle->reader, u.bit_count);
    if (!ok(st)) return refuse(st, "[VsKavrel]:Parse pps fail\n");
    if (handle->reader.bit_pos > u.bit_count) diag("[VsKavrel]:Parse PPS length change\n");
    fs.pps_len = (u.bit_count + 7) / 8;
    fs.pps_nal_pos = u.header_pos;
    fs.pps_nal_len = u.taken;
    fs.pps_copied = false;
    if (w.correcting && fs.pps_copy && fs.pps_len <= fs.pps_copy_capacity) {
        std::memcpy(fs.pps_copy, u.rbsp, static_cast<size_t>(fs.pps_len));
        fs.pps_copied = true;
    }
    return store_param_set(handle, u.rbsp, fs.pps_len, 1);
}

// Dispatch: slices and parameter sets to their parsers; other units are
// stepped over. kOk or the parser's result.
inline Status dispatch_unit(FrameWalk& w, const NalUnitRead& u) {
    switch (u.nal_unit_type) {
    case 1:
    case 5:
        return dispatch_slice(w, u);
    case 7:
        return dispatch_sps(w, u);
    case 8:
        return dispatch_pps(w, u);
    default:
        return Status::kOk;
    }
}

// Walks the NAL units up to the frame's end: the end of the input or a
// unit that begins the next access unit (boundary). walk.pos is then the
// number of bytes the frame took. kOk or the first result that stops it.
inline Status walk_frame(FrameWalk& w) {
    while (find_unit(w)) {
        if (begins_next_access_unit_fast(w.handle, w.data, w.pos, w.size, w.access_unit)) break;
        NalUnitRead u;
        u.header_pos = nal_header_position(w.data, w.size, w.pos);
        Status st = classify_unit(w, u);
        if (!ok(st)) return st;
        measure_unit(w, u);
        w.pos = u.header_pos + u.taken;
        st = dispatch_unit(w, u);
        if (!ok(st)) return st;
    }
    return Status::kOk;
}

}  // namespace

Status parse_frame(ParserHandle* handle, const uint8_t* data, int32_t size, uint32_t* out_length) {
    const Status begun = begin_frame(handle, data, size);
    if (!ok(begun)) return begun;
    FrameSets sets;
    reset_frame_sets(sets);
    FrameWalk walk{handle, data, size, handle->scratch.data, false, sets, 0, AccessUnitWalk{}, false};
    const Status st = walk_frame(walk);
    if (!ok(st)) return st;
    *out_length = static_cast<uint32_t>(walk.pos);
    return Status::kOk;
}

Status parse_frame_sets(ParserHandle* handle, const uint8_t* data, int32_t size, FrameSets& sets) {
    const Status begun = begin_frame(handle, data, size);
    if (!ok(begun)) return begun;
    reset_frame_sets(sets);
    FrameWalk walk{handle, data, size, handle->scratch.data, true, sets, 0, AccessUnitWalk{}, false};
    return walk_frame(walk);
}

}  // namespace kavrel
