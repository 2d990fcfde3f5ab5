#include "stream/parse_frame.h"

#include <cstdlib>
#include <cstring>

#include "stream/access_unit.h"
#include "common/diagnostics.h"
#include "bitstream/nal_unit.h"

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

}  // namespace

int32_t parse_frame(ParserHandle* handle, const uint8_t* data, int32_t size, uint8_t* rbsp_buffer,
                    int32_t rbsp_capacity, uint32_t* out_length, FrameSets* sets) {
    if (!data) {
        KAVREL_NULL_POINTER();
        return -7;
    }
    if (size < 0) size = 0;
    if (size > rbsp_capacity) {
        // Grow the scratch buffer to the frame's size (only the handle's own
        // buffer is ever grown; the correction's buffer is large enough).
        // Every RBSP is written before it is read, so the old contents need
        // not be carried over.
        std::free(handle->scratch);
        handle->scratch = nullptr;
        void* grown = std::malloc(static_cast<size_t>(size));
        if (!grown) {
            diag("[VsKavrel]:%s:%d: realloc fail\n\n", __func__, __LINE__);
            handle->scratch_capacity = 0;
            return -21;
        }
        handle->scratch = static_cast<uint8_t*>(grown);
        handle->scratch_capacity = size;
        rbsp_buffer = handle->scratch;
    }

    FrameSets local;
    FrameSets& fs = sets ? *sets : local;
    fs.sps_len = -1;
    fs.sps_id = -1;
    fs.pps_len = -1;
    fs.pps_copied = false;
    fs.sps_nal_pos = -1;
    fs.sps_nal_len = 0;
    fs.pps_nal_pos = -1;
    fs.pps_nal_len = 0;

    int32_t pos = 0;
    AccessUnitWalk walk;
    bool idr_seen = false;

    for (;;) {
        // Next start code 00 00 01 with at least one byte behind it.
        while (pos + 3 < size && !(data[pos] == 0 && data[pos + 1] == 0 && data[pos + 2] == 1)) ++pos;
        if (pos + 3 >= size) break;

        // Does the NAL unit behind it still belong to this frame?
        if (begins_next_access_unit(handle, data, pos, size, walk)) break;

        // Repeated start codes: 00 00 01 00 00 00 01 ... (only while a
        // header byte follows the next one: the input may end there).
        while (pos + 7 < size && data[pos + 3] == 0 && data[pos + 4] == 0 && data[pos + 5] == 0 &&
               data[pos + 6] == 1) {
            pos += 4;
        }

        const int32_t h = pos + 3;
        // Parameter sets are unescaped whole (their bytes are kept), and so
        // is every unit of a frame being corrected (the output buffer holds
        // the RBSPs). Other units are only scanned for their end: a slice
        // header is unescaped as far as it is read, the rest never.
        const int header_type = data[h] & 0x1f;
        const bool whole = sets != nullptr || header_type == 7 || header_type == 8;
        int32_t rbsp_len = 0;
        int32_t taken = 0;
        int32_t bit_count = 0;
        uint8_t* rbsp = nullptr;
        NalExtent extent;
        if (whole) {
            rbsp = read_nal_unit(handle, data + h, &rbsp_len, &taken, size - h, rbsp_buffer);
        } else if (check_header(handle, data[h])) {
            handle->scratch = rbsp_buffer;
            rbsp = rbsp_buffer;
        }
        const int nal_unit_type = handle->nal_unit_type;
        if (handle->nal_ref_idc > 0 && nal_unit_type == 6) return -11;
        if (!rbsp) {
            diag("[VsKavrel]:Parse Nal fail\n");
            return -14;
        }
        if (nal_unit_type == 5) {
            idr_seen = true;
        } else if (idr_seen && nal_unit_type == 1 && handle->slice.picture_structure == 3) {
            diag("[VsKavrel]:Frame containing both idr and non-idr\n");
            return -13;
        }

        if (whole) {
            bit_count = rbsp_bit_count(rbsp, rbsp_len);
        } else {
            extent = scan_nal_payload(data + h + 1, size - h - 1);
            rbsp_len = extent.rbsp_len();
            taken = extent.payload_len + 1;
            bit_count = rbsp_bit_count(data + h + 1, extent);
        }
        const int32_t syntax_bytes = (bit_count + 7) / 8;
        pos = h + taken;

        switch (nal_unit_type) {
        case 1:
        case 5: {
            if (!handle->sps_received) return -7;
            RbspSource source;
            if (whole) {
                bit_reader_init(handle->reader, rbsp, rbsp_len, bit_count);
            } else if (extent.escapes == 0) {
                // Without escapes the payload is the RBSP: read it in place.
                bit_reader_init(handle->reader, data + h + 1, rbsp_len, bit_count);
            } else {
                bit_reader_init(handle->reader, rbsp, rbsp_len, bit_count);
                rbsp_source_init(source, data + h + 1, extent, rbsp);
                bit_reader_attach(handle->reader, &source);
            }
            const int32_t rc = decode_slice_header(handle);
            bit_reader_attach(handle->reader, nullptr);
            if (rc < 0) {
                diag("[VsKavrel]:Parse slice header fail\n");
                return rc;
            }
            handle->slice_received = 1;
            if (walk.pictures == 1) handle->slice.first_picture_structure = handle->slice.picture_structure;
            break;
        }
        case 7: {
            bit_reader_init(handle->reader, rbsp, rbsp_len, bit_count);
            const int32_t rc = decode_seq_parameter_set(handle);
            if (rc < 0) {
                diag("[VsKavrel]:Parse sps fail\n");
                return rc;
            }
            if (handle->reader.bit_pos > bit_count) diag("[VsKavrel]:Parse SPS length change\n");
            fs.sps_len = syntax_bytes;
            fs.sps_bits = bit_count;
            fs.sps_id = handle->active_sps.seq_parameter_set_id;
            fs.sps_nal_pos = h;
            fs.sps_nal_len = taken;
            const uint8_t* sps_bytes = rbsp;
            if (handle->correction_mode == 2) {
                if (fs.sps_len >= 512) {
                    diag("[VsKavrel]:The length of SPS is great than 512\n");
                    return -20;
                }
            }
            if (sets && fs.sps_copy && fs.sps_len <= fs.sps_copy_capacity) {
                // The next NAL unit overwrites the RBSP buffer.
                std::memcpy(fs.sps_copy, rbsp, static_cast<size_t>(fs.sps_len));
                sps_bytes = fs.sps_copy;
            }
            handle->sps_received = 1;
            const int32_t stored = store_param_set(handle, sps_bytes, fs.sps_len, 0);
            if (stored < 0) return stored;
            break;
        }
        case 8: {
            bit_reader_init(handle->reader, rbsp, rbsp_len, bit_count);
            const int32_t rc = decode_picture_parameter_set(handle, bit_count);
            if (rc < 0) {
                diag("[VsKavrel]:Parse pps fail\n");
                return rc;
            }
            if (handle->reader.bit_pos > bit_count) diag("[VsKavrel]:Parse PPS length change\n");
            fs.pps_len = syntax_bytes;
            fs.pps_nal_pos = h;
            fs.pps_nal_len = taken;
            fs.pps_copied = false;
            if (sets && fs.pps_copy && fs.pps_len <= fs.pps_copy_capacity) {
                std::memcpy(fs.pps_copy, rbsp, static_cast<size_t>(fs.pps_len));
                fs.pps_copied = true;
            }
            const int32_t stored = store_param_set(handle, rbsp, fs.pps_len, 1);
            if (stored < 0) return stored;
            break;
        }
        default:
            break;
        }
    }

    if (!sets) *out_length = static_cast<uint32_t>(pos);
    return 0;
}

}  // namespace kavrel
