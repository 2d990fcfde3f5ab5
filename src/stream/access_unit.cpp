#include "stream/access_unit.h"

#include "bitstream/bit_reader.h"
#include "common/diagnostics.h"

namespace kavrel {

bool peek_slice_start(const ParamSetStore* h, const uint8_t* payload, int32_t len, SliceStart* out) {
    uint8_t rbsp[16];
    int32_t n = 0;
    int zeros = 0;
    for (int32_t i = 0; i < len && n < static_cast<int32_t>(sizeof rbsp); ++i) {
        if (zeros >= 2 && payload[i] == 3) {  // emulation_prevention_three_byte
            zeros = 0;
            continue;
        }
        zeros = payload[i] == 0 ? zeros + 1 : 0;
        rbsp[n++] = payload[i];
    }
    BitReader r;
    bit_reader_init(r, rbsp, n, n * 8);
    skip_ue(r);  // first_mb_in_slice
    skip_ue(r);  // slice_type
    const Code pps_id = read_ue_code(r);
    if (!pps_id.ok() || pps_id.value >= kMaxPps || !h->pps_table[pps_id.value].valid) return false;
    const int32_t sps_id = h->pps_table[pps_id.value].seq_parameter_set_id;
    if (sps_id < 0 || sps_id >= kMaxSps || !h->sps_table[sps_id].valid) return false;
    const SeqParamSet& sps = h->sps_table[sps_id];
    const Code frame_num = read_u_code(r, Log2MaxFrameNum(sps));
    out->frame_num = frame_num.value;
    // field_pic_flag and bottom_field_flag; 0 where the data has ended.
    if (sps.frame_mbs_only_flag == 0 && read_u_code(r, 1).value == 1) {
        out->picture_structure = static_cast<int16_t>(read_u_code(r, 1).value == 1 ? 2 : 1);
    }
    out->bits = r.bit_pos;
    return frame_num.ok() && r.bit_pos <= r.bit_count;
}

bool completes_field_pair(const ParamSetStore* h, const SliceStart& first, const uint8_t* payload, int32_t len) {
    SliceStart next;
    if (!peek_slice_start(h, payload, len, &next)) return false;
    return next.picture_structure != 3 && next.picture_structure != first.picture_structure &&
           next.frame_num == first.frame_num;
}

bool begins_next_access_unit(const SyntaxState* handle, const uint8_t* data, int32_t pos, int32_t size,
                             AccessUnitWalk& walk) {
    const int t = data[pos + 3] & 0x1f;
    if (is_prefix_unit(t)) {
        if (!walk.vcl_seen) return false;
        diag("[VsKavrel]:nal_unit_type (%d) should precede the VCL NAL\n", t);
        return true;
    }
    if (!is_slice_unit(t)) return false;
    if (!walk.vcl_seen) {
        walk.vcl_seen = true;
        walk.pictures = 1;
        return false;
    }
    if (pos + 4 >= size || (data[pos + 4] & 0x80) == 0) return false;  // first_mb_in_slice is not 0
    // A new picture starts.
    if (handle->slice.picture_structure == 3) {
        diag("[VsKavrel]:Unexpected more data in current frame\n");
        return true;
    }
    const SliceStart first{handle->slice.picture_structure, handle->slice.frame_num, 0};
    if (walk.pictures != 1 || !completes_field_pair(handle, first, data + pos + 4, size - pos - 4)) return true;
    walk.pictures = 2;
    return false;
}

}  // namespace kavrel
