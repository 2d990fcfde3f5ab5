// The units of the repeat plan: repeats of reference pictures, written with
// the parameter sets and numbers the plan kept for them, and copies of
// non-reference pictures.
#include <cstring>

#include "kavrel.h"
#include "synth/picture_copy.h"
#include "synth/repeat_frame.h"
#include "synth/repeat_plan_order.h"
#include "stream/parser_handle.h"
#include "synth/repeat_plan.h"
#include "stream/repeat_plan_state.h"

namespace kavrel {

namespace {

// access_unit_delimiter with primary_pic_type 1 (I and P slices).
constexpr uint8_t kDelimiter[6] = {0, 0, 0, 1, 9, 0x30};

// Writes repeat `r` (out null: measures it) with the handle's active sets
// and last slice header standing in for the ones the plan kept, then put
// back. Bytes, or -1 when it does not fit `capacity`.
int32_t write_repeat(ParserHandle* h, const RepeatPlan& p, const PendingRepeat& r, uint8_t* out, int32_t capacity) {
    const int32_t delimiter = r.delimiter ? static_cast<int32_t>(sizeof kDelimiter) : 0;
    if (capacity < delimiter) return -1;
    SeqParamSet sps = h->active_sps;
    PicParamSet pps = h->active_pps;
    SliceHeader slice = h->slice;
    const uint8_t prev_nal_ref_idc = h->prev_nal_ref_idc;
    h->active_sps = p.sps[r.sets];
    h->active_pps = p.pps[r.sets];
    h->slice = r.last;
    const int32_t max_frame_num = int32_t{1} << Log2MaxFrameNum(h->active_sps);
    h->prev_nal_ref_idc = 1;  // the repeat takes frame_num + 1 of the last reference picture
    h->slice.frame_num = (r.repeat_frame_num + max_frame_num - 1) % max_frame_num;
    h->slice.picture_structure = 3;
    // Both fields one above the frame's count: the header writes lsb + 1.
    const int32_t max_lsb = int32_t{1} << Log2MaxPicOrderCntLsb(h->active_sps);
    h->slice.pic_order_cnt_lsb = (repeat_lsb(h->active_sps, h->active_pps, r.last) + max_lsb - 1) % max_lsb;
    h->slice.delta_pic_order_cnt_bottom = 0;
    const int32_t n = write_repeat_unit(h, out ? out + delimiter : nullptr, capacity - delimiter, r.pic_num_diff);
    h->active_sps = sps;
    h->active_pps = pps;
    h->slice = slice;
    h->prev_nal_ref_idc = prev_nal_ref_idc;
    if (n < 0) return -1;
    if (out && delimiter) std::memcpy(out, kDelimiter, sizeof kDelimiter);
    return n + delimiter;
}

// Writes the repeats in `list` (out null: measures them): bytes, or -1.
int32_t write_repeats(ParserHandle* h, const RepeatPlan& p, const PendingRepeat* list, int32_t count, uint8_t* out,
                      int32_t capacity) {
    int32_t total = 0;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t n = write_repeat(h, p, list[i], out ? out + total : nullptr, capacity - total);
        if (n < 0) return -1;
        total += n;
    }
    return total;
}

}  // namespace

int32_t write_planned_units(ParserHandle* h, int32_t place, uint8_t* out, int32_t capacity) {
    RepeatPlan* plan = h->repeat_plan;
    if (!plan) return 0;
    RepeatPlan& p = *plan;
    const int32_t room = out ? capacity : INT32_MAX;
    if (place == KAVREL_REPEAT_AFTER) {
        if (!p.copy_data) return 0;
        const CopyPps sets{p.copy_pps_from, p.copy_pps_to};
        const int32_t n = write_picture_copy(h, p.copy_data, p.copy_size, sets, out, room);
        if (out && n >= 0) p.copy_data = nullptr;
        return n;
    }
    if (place == KAVREL_REPEAT_END) end_plan(h);  // what waits goes now
    // Measure first, so that nothing is written unless all of it fits.
    const int32_t need = write_repeats(h, p, p.before, p.before_count, nullptr, room);
    if (need < 0 || !out) return need;
    const int32_t n = write_repeats(h, p, p.before, p.before_count, out, room);
    if (n >= 0) p.before_count = 0;
    return n;
}

}  // namespace kavrel
