// The copy of a non-reference picture: each slice's header is read to its
// end (synth/slice_layout.h), checked for what the new count would change,
// and written again with the count, and where needed the PPS id, replaced.
#include "synth/picture_copy.h"

#include <climits>

#include "stream/parser_handle.h"
#include "synth/implicit_weights.h"
#include "synth/slice_layout.h"

namespace kavrel {

namespace {

// A PPS id the stream has not used so far, or -1.
int32_t free_pps_id(const ParserHandle* h) {
    for (int32_t id = 0; id < kMaxPps; ++id)
        if (!h->pps_table[id].valid) return id;
    return -1;
}

// Why slice `f` cannot be copied (its PPS may need replacing: *pps).
const char* slice_refusal(const ParserHandle* h, const SliceLayout& f, int32_t poc, CopyPps* pps) {
    if (f.refusal || f.slice_type != 1 || f.pps->weighted_bipred_idc != 2) return f.refusal;
    if (const char* why = implicit_weights_refusal(h, f, poc)) return why;
    if (pps->from >= 0 && pps->from != f.pps_id)
        return "the picture's B slices name two picture parameter sets with implicit weighted bi-prediction";
    pps->from = f.pps_id;
    pps->to = free_pps_id(h);
    return pps->to < 0 ? "no free picture parameter set id for the copy's weights" : nullptr;
}

}  // namespace

const char* picture_copy_refusal(const ParserHandle* handle, const uint8_t* unit, int32_t size, int32_t poc,
                                 CopyPps* pps) {
    const char* why = nullptr;
    bool slices = false;
    *pps = CopyPps{};
    for_each_nal(unit, size, [&](int32_t at, int32_t len) {
        const int32_t type = unit[at] & 0x1f;
        if (why) return;
        if (type >= 2 && type <= 4) why = "the picture uses data partitioning";
        if (type == 10 || type == 11) why = "the access unit ends the sequence or the stream";
        if (type == 5) why = "the picture is an IDR picture";
        if (type != 1) return;
        slices = true;
        uint8_t rbsp[kSlicePrefix];
        why = slice_refusal(handle, read_slice_layout(handle, unit + at + 1, len - 1, rbsp), poc, pps);
    });
    return why ? why : slices ? nullptr : "the access unit holds no picture";
}

int32_t write_picture_copy(const ParserHandle* handle, const uint8_t* unit, int32_t size, const CopyPps& pps,
                           uint8_t* out, int32_t capacity) {
    if (out) {  // nothing is written unless all of it fits
        const int32_t need = write_picture_copy(handle, unit, size, pps, nullptr, 0);
        if (need < 0 || need > capacity) return -1;
    }
    Bitstream s;
    init_bitstream(&s, out, out ? capacity : INT32_MAX, true);
    bool first = true;
    bool sets = pps.from < 0;
    bool changed = false;  // a slice reads otherwise than when the copy was planned
    for_each_nal(unit, size, [&](int32_t at, int32_t len) {
        const int32_t type = unit[at] & 0x1f;
        if (type == 9 && first) write_nal_as_is(unit + at, len, &s);
        first = false;
        if (type != 1) return;
        if (!sets) write_pps_copy(handle->pps_table[pps.from], pps.to, 0, &s);
        sets = true;
        uint8_t rbsp[kSlicePrefix];
        const SliceLayout f = read_slice_layout(handle, unit + at + 1, len - 1, rbsp);
        changed |= f.refusal != nullptr;
        if (!changed) write_slice_copy(unit + at, len, f, rbsp, f.pps_id == pps.from ? pps.to : f.pps_id, &s);
    });
    return s.overflow || changed ? -1 : s.byte_count;
}

}  // namespace kavrel
