// The repeat plan: which units go before and after each access unit.
//
// A non-reference picture is repeated by a copy of its access unit with
// pic_order_cnt_lsb one higher, right after it. A reference picture X is
// repeated by an all-skipped non-reference P picture at PicOrderCnt(X) + 1
// that waits until the first later access unit whose picture is shown
// after X and goes right before it: all pictures decoded between were shown
// before X, so the repeat adds to no picture's reordering count and needs
// no larger max_num_reorder_frames or DPB. It goes earlier, before the
// access unit, when that unit starts a new sequence (IDR, operation 5),
// carries parameter sets, ends the sequence, or drops X from the reference
// frames. When other reference frames were decoded after X,
// ref_pic_list_modification puts X first in list 0.
#include "synth/repeat_plan.h"

#include <cstdlib>

#include "common/diagnostics.h"
#include "kavrel.h"
#include "synth/picture_copy.h"
#include "synth/repeat_plan_order.h"

namespace kavrel {

namespace {

// What the access unit holds besides its picture.
struct UnitFacts {
    bool slice = false;        // a coded slice (nal_unit_type 1 or 5)
    bool delimiter = false;    // it begins with an access unit delimiter
    bool param_sets = false;   // an SPS or PPS
    bool ends = false;         // end of sequence or stream
};

UnitFacts describe_unit(const uint8_t* unit, int32_t size) {
    UnitFacts u;
    bool first = true;
    for_each_nal(unit, size, [&](int32_t at, int32_t) {
        const int32_t type = unit[at] & 0x1f;
        u.slice |= type == 1 || type == 5;
        u.delimiter |= first && type == 9;
        u.param_sets |= type == 7 || type == 8;
        u.ends |= type == 10 || type == 11;
        first = false;
    });
    return u;
}

int32_t refuse(RepeatPlan& p, const char* why) {
    p.reason = why;
    diag("[VsKavrel]:Kavrel_Repeat_Picture: %s\n", why);
    return KAVREL_E_REPEAT_REFUSED;
}

bool broken(RepeatPlan& p, const char* why) {
    p.reason = why;
    diag("[VsKavrel]:Kavrel_Repeat_Picture: %s\n", why);
    return true;
}

// Numbers the waiting repeat `r` for its place before the picture now
// parsed (the plan still describes the state before it): false, after a
// message, when it cannot be placed exactly.
bool number_repeat(const ParserHandle* h, RepeatPlan& p, PendingRepeat& r) {
    const SeqParamSet& sps = p.sps[r.sets];
    const int32_t max_frame_num = int32_t{1} << Log2MaxFrameNum(sps);
    r.repeat_frame_num = (p.prev_ref_frame_num + 1) % max_frame_num;
    int32_t at = -1;
    for (int32_t i = 0; i < p.short_count; ++i)
        if (p.short_term[i] == r.frame_num) at = i;
    if (at < 0) return !broken(p, "the picture to repeat is no longer a reference frame: its repeat is dropped");
    r.pic_num_diff = at == p.short_count - 1 ? 0 : (r.repeat_frame_num - r.frame_num + max_frame_num) % max_frame_num;
    if (r.pic_num_diff == 0 && at != p.short_count - 1)
        return !broken(p, "the picture to repeat has no picture number: its repeat is dropped");
    int32_t poc = 0;
    if (sps.pic_order_cnt_type == 0) {
        int32_t msb = 0;
        poc = poc_after(p, sps, repeat_lsb(sps, p.pps[r.sets], r.last), false, &msb);
    } else {
        int32_t offset = 0;
        poc = poc_type2_after(p, sps, r.repeat_frame_num, false, false, &offset);
        p.prev_frame_num = r.repeat_frame_num;
        p.frame_num_offset = offset;
    }
    if (poc != r.poc + 1)
        return !broken(p, "the repeat's picture order count cannot be reached from its place: it is dropped");
    if (!take_into_order(p, h->active_sps, poc, true))
        return !broken(p, "the repeat would be shown out of order or need deeper reordering: it is dropped");
    return true;
}

// Moves the waiting repeats whose place is before picture `pic` (all of
// them when `all`) behind the units already before it, in output order,
// numbered for that place; false when one had to be dropped.
bool place_pending(const ParserHandle* h, RepeatPlan& p, const PictureFacts& pic, bool all) {
    PendingRepeat moved[kMaxPendingRepeats];
    int32_t count = 0;
    int32_t kept = 0;
    for (int32_t i = 0; i < p.pending_count; ++i) {
        const PendingRepeat& r = p.pending[i];
        if (all || r.poc < pic.poc || marking_drops(h, p, pic, r.frame_num)) {
            int32_t at = count++;
            for (; at > 0 && moved[at - 1].poc > r.poc; --at) moved[at] = moved[at - 1];
            moved[at] = r;
        } else {
            p.pending[kept++] = r;
        }
    }
    p.pending_count = kept;
    bool ok = true;
    for (int32_t i = 0; i < count; ++i) {
        if (number_repeat(h, p, moved[i])) {
            p.before[p.before_count++] = moved[i];
        } else {
            ok = false;
        }
    }
    return ok;
}

// The slot of RepeatPlan.sps/pps holding the handle's active sets, copied
// there if needed; -1 when both slots hold sets repeats still wait for.
int32_t sets_slot(const ParserHandle* h, RepeatPlan& p) {
    bool used[2] = {false, false};
    for (int32_t i = 0; i < p.pending_count; ++i) used[p.pending[i].sets] = true;
    for (int32_t i = 0; i < p.before_count; ++i) used[p.before[i].sets] = true;
    for (int32_t s = 0; s < 2; ++s)
        if (used[s] && p.sets_generation[s] == h->param_generation) return s;
    const int32_t s = !used[0] ? 0 : !used[1] ? 1 : -1;
    if (s < 0) return -1;
    p.sps[s] = h->active_sps;
    p.pps[s] = h->active_pps;
    p.sets_generation[s] = h->param_generation;
    return s;
}

// Why picture `pic` cannot be repeated exactly in any way, or null.
const char* picture_refusal(const ParserHandle* h, const RepeatPlan& p, const PictureFacts& pic, const UnitFacts& u) {
    const SliceHeader& s = h->slice;
    if (pic.field) return "the picture is a field";
    if (h->active_sps.pic_order_cnt_type == 1) return "picture order count type 1 is not supported";
    if (s.marked_long_term != 0) return "the picture is a long-term reference picture";
    if (s.mmco5 != 0) return "the picture carries memory_management_control_operation 5";
    if (h->active_pps.num_slice_groups_minus1 != 0) return "more than one slice group is not supported";
    if (p.odd_poc_seen != 0) return "the stream uses odd picture order counts, leaving no free value for a repeat";
    const int32_t delta = h->active_pps.bottom_field_pic_order_in_frame_present_flag != 0 ? s.delta_pic_order_cnt_bottom : 0;
    if (delta < -1 || delta > 1) return "the frame's fields take two picture order counts, leaving none free for a repeat";
    if (u.ends) return "the access unit ends the sequence or the stream";
    return nullptr;
}

// Plans the repeat of picture `pic`: null, or why it cannot be.
const char* plan_picture(ParserHandle* h, RepeatPlan& p, const PictureFacts& pic, const UnitFacts& u,
                         const uint8_t* unit, int32_t size) {
    if (const char* why = picture_refusal(h, p, pic, u)) return why;
    if (!pic.ref) {
        CopyPps sets;
        if (const char* why = picture_copy_refusal(h, unit, size, pic.poc, &sets)) return why;
        int32_t msb = 0;
        if (poc_after(p, h->active_sps, repeat_lsb(h->active_sps, h->active_pps, h->slice), false, &msb) != pic.poc + 1 ||
            !take_into_order(p, h->active_sps, pic.poc + 1, true))
            return "no free picture order count value right after the picture";
        p.copy_data = unit;
        p.copy_size = size;
        p.copy_pps_from = sets.from;
        p.copy_pps_to = sets.to;
        return nullptr;
    }
    if (p.pending_count == kMaxPendingRepeats) return "too many repeats wait for their place";
    const int32_t slot = sets_slot(h, p);
    if (slot < 0) return "the parameter sets changed while repeats wait for their place";
    PendingRepeat& r = p.pending[p.pending_count++];
    r = PendingRepeat{};
    r.last = h->slice;
    r.poc = pic.poc;
    r.frame_num = pic.frame_num;
    r.sets = slot;
    r.delimiter = u.delimiter ? 1 : 0;
    r.picture = p.calls - 1;
    return nullptr;
}

}  // namespace

int32_t plan_repeat(ParserHandle* h, const uint8_t* unit, int32_t size, bool repeat) {
    if (!h->repeat_plan) h->repeat_plan = static_cast<RepeatPlan*>(std::calloc(1, sizeof(RepeatPlan)));
    if (!h->repeat_plan) return -1;
    RepeatPlan& p = *h->repeat_plan;
    p.reason = nullptr;
    p.copy_data = nullptr;
    ++p.calls;
    bool dropped = p.before_count != 0 &&
                   broken(p, "the units planned before the last access unit were not taken: they are dropped");
    p.before_count = 0;
    const UnitFacts u = describe_unit(unit, size);
    if (!u.slice || h->slice_received == 0) return repeat ? refuse(p, "the access unit holds no picture") : 0;
    PictureFacts pic = describe_picture(h, p);
    if (p.started != 1) {
        if (!pic.idr && p.started != 0) return repeat ? refuse(p, "the plan starts again at the next IDR picture") : 0;
        p.started = 1;
        restart_sequence(p, pic);
        pic = describe_picture(h, p);
    }
    const bool all = pic.idr || h->slice.mmco5 != 0 || u.param_sets || u.ends;
    dropped |= !place_pending(h, p, pic, all);
    if (pic.idr) restart_sequence(p, pic);
    if (!take_into_order(p, h->active_sps, pic.poc, false))
        dropped = broken(p, "a picture is shown out of order after the repeats placed before it");
    follow_decoding(h, p, pic);
    const char* why = repeat ? plan_picture(h, p, pic, u, unit, size) : nullptr;
    const int32_t rc = why ? refuse(p, why) : 0;
    return dropped ? KAVREL_E_REPEAT_BROKEN : rc;
}

bool end_plan(ParserHandle* h) {
    if (!h->repeat_plan) return true;
    RepeatPlan& p = *h->repeat_plan;
    p.copy_data = nullptr;
    if (p.started == 1) p.started = 2;
    return place_pending(h, p, PictureFacts{}, true);
}

int32_t planned_pictures(const ParserHandle* handle, int32_t place, uint64_t* pictures, int32_t max) {
    const RepeatPlan* p = handle->repeat_plan;
    if (!p) return 0;
    if (place == KAVREL_REPEAT_AFTER) {
        if (p->copy_data && max > 0) pictures[0] = p->calls - 1;
        return p->copy_data ? 1 : 0;
    }
    for (int32_t i = 0; i < p->before_count && i < max; ++i) pictures[i] = p->before[i].picture;
    return p->before_count;
}

const char* plan_refusal(const ParserHandle* handle) {
    return handle->repeat_plan ? handle->repeat_plan->reason : nullptr;
}

}  // namespace kavrel
