// The SPS reader and writer over its one description (sps_syntax.h), the
// picture size derived from it and the library's own profile limits.
#include "common/diagnostics.h"
#include "syntax/param_set_store.h"
#include "syntax/seq_param_set.h"
#include "syntax/sps_syntax.h"

namespace kavrel {

namespace {

// Profiles whose sets must have constraint_set0..2_flag equal to 0.
bool forbids_constraint_set0_to_2(int32_t profile_idc) {
    return profile_idc == 44 || profile_idc == 100 || profile_idc == 110 || profile_idc == 122 ||
           profile_idc == 244;
}

bool is_known_profile(int32_t profile_idc) {
    switch (profile_idc) {
    case 66:
    case 77:
    case 88:
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
        return true;
    default:
        return false;
    }
}

// The coded and displayed size reported by Kavrel_Start. The crop offsets
// count in CropUnitX / CropUnitY (7.4.2.1.1): SubWidthC and SubHeightC x
// (2 - frame_mbs_only_flag), or 1 and (2 - frame_mbs_only_flag) for
// monochrome and separate colour planes. A set larger than the library
// takes (511 x 511 macroblocks), or one cropped to nothing, is refused: it
// leaves the size reported as it was, rather than one that does not fit.
void derive_picture_size(ParamSetStore& store, const SeqParamSet* sps) {
    const bool frames_only = sps->frame_mbs_only_flag != 0;
    const bool no_chroma_array = sps->chroma_format_idc == 0 || sps->separate_colour_plane_flag == 1;
    const int32_t sub_width_c = no_chroma_array || sps->chroma_format_idc == 3 ? 1 : 2;
    const int32_t sub_height_c = no_chroma_array || sps->chroma_format_idc != 1 ? 1 : 2;
    const int32_t crop_unit_x = sub_width_c;
    const int32_t crop_unit_y = sub_height_c * (frames_only ? 1 : 2);
    const int32_t width_mbs = PicWidthInMbs(*sps);
    const int32_t height_mbs = FrameHeightInMbs(*sps);
    if (width_mbs > 511 || PicHeightInMapUnits(*sps) > 511) return;
    const int64_t display_width = 16 * width_mbs - int64_t{crop_unit_x} * (int64_t{sps->frame_crop_right_offset} +
                                                                          sps->frame_crop_left_offset);
    const int64_t display_height = 16 * height_mbs - int64_t{crop_unit_y} * (int64_t{sps->frame_crop_bottom_offset} +
                                                                             sps->frame_crop_top_offset);
    if (display_width <= 0 || display_height <= 0) return;
    store.pic_width_mbs = static_cast<int16_t>(width_mbs);
    store.pic_height_mbs = static_cast<int16_t>(height_mbs);
    store.display_width = static_cast<int16_t>(display_width);
    store.display_height = static_cast<int16_t>(display_height);
}

}  // namespace

Status check_sps_profile(const SeqParamSet& sps) {
    if (!is_known_profile(sps.profile_idc)) warn(Rule::kUnknownProfile, sps.profile_idc);
    // Sets without the chroma format fields are 8-bit 4:2:0 (7.4.2.1.1).
    if (!(sps.chroma_format_idc < 2 && sps.bit_depth_luma_minus8 == 0 && sps.bit_depth_chroma_minus8 == 0 &&
          sps.qpprime_y_zero_transform_bypass_flag != 1)) {
        return refuse(Rule::kOnly8Bit420);
    }
    const int32_t width = PicWidthInMbs(sps);
    const int32_t height = PicHeightInMapUnits(sps);
    if (width < 1 || width > 511 || height < 1 || height > 511) return refuse(Rule::kDimension, width, height);
    if (sps.profile_idc == 66 && sps.frame_mbs_only_flag == 0) return refuse(Rule::kInterlaceBaseline);
    return Status::kOk;
}

Status check_frame_cropping(const SeqParamSet& sps) {
    // 4:2:2 and 4:4:4 are refused later as formats the library does not take.
    if (sps.chroma_format_idc > 1) return Status::kOk;
    // The window must leave at least one crop unit of the coded picture
    // (7.4.2.1.1): PicWidthInSamplesL / CropUnitX columns and
    // 16 * FrameHeightInMbs / CropUnitY rows, where CropUnitX is 2 for 4:2:0
    // and 1 for monochrome, and CropUnitY 2 or 1 times (2 - frame_mbs_only_flag):
    // 8 (4:2:0) or 16 (monochrome) per macroblock column and map-unit row.
    // An offset the reader could not give (-1, a code of 16 or more leading
    // zeros) is out of range too: it would widen the window past the picture.
    const int32_t per_mb = sps.chroma_format_idc == 1 ? 8 : 16;
    const int32_t width_units = per_mb * PicWidthInMbs(sps);
    const int32_t height_units = per_mb * PicHeightInMapUnits(sps);
    const int32_t left = sps.frame_crop_left_offset, right = sps.frame_crop_right_offset;
    const int32_t top = sps.frame_crop_top_offset, bottom = sps.frame_crop_bottom_offset;
    if (left < 0 || right < 0 || left > width_units - right - 1) return refuse(Rule::kCropLeft);
    if (top < 0 || bottom < 0 || top > height_units - bottom - 1) return refuse(Rule::kCropTop);
    return Status::kOk;
}

Status decode_seq_parameter_set(ParamSetStore& store, BitReader& reader) {
    SyntaxReader rw{reader};

    // The set is read into a record of its own. The table's entry is
    // replaced by it when it passes, and when not by an invalid entry that
    // keeps only profile_idc (a PPS naming the id is checked against it).
    SeqParamSet sps{};
    const Status head_read = sps_head(rw, sps);
    if (!ok(head_read)) return head_read;
    if (forbids_constraint_set0_to_2(sps.profile_idc) &&
        (sps.constraint_set0_flag || sps.constraint_set1_flag || sps.constraint_set2_flag)) {
        return refuse(Rule::kConstraintSet0To2);
    }
    SeqParamSet& entry = store.sps_table[sps.seq_parameter_set_id];
    ++store.param_generation;  // the table changes: slices copy their sets anew
    store.last_sps_profile_idc = sps.profile_idc;

    Status st = sps_body(rw, sps);
    if (ok(st)) {
        derive_picture_size(store, &sps);
        sps_vui(rw, sps, &store.frame_rate);
        st = check_sps_profile(sps);
        if (!ok(st)) st = refuse(Rule::kSpsInvalid);
    }
    if (!ok(st)) {
        entry = SeqParamSet{};
        entry.profile_idc = sps.profile_idc;
        return st;
    }
    sps.valid = 1;
    entry = sps;
    store.active_sps = sps;
    return Status::kOk;
}

int32_t write_seq_parameter_set_rbsp(const SeqParamSet& sps, uint8_t* buffer, int32_t capacity) {
    Bitstream stream;
    init_bitstream(&stream, buffer, capacity);
    SyntaxWriter rw{stream};
    static_cast<void>(sps_head(rw, sps));  // the writer has no rule to break
    static_cast<void>(sps_body(rw, sps));  // the writer has no rule to break
    sps_vui(rw, sps, nullptr);
    write_trailing_bits(&stream);
    return stream.overflow ? -1 : stream.byte_count;
}

}  // namespace kavrel
