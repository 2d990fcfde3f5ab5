// The decoding-process state the repeat plan follows.
#include "synth/repeat_plan_order.h"

namespace kavrel {

int32_t poc_after(const RepeatPlan& p, const SeqParamSet& sps, int32_t lsb, bool idr, int32_t* msb) {
    const int32_t max_lsb = int32_t{1} << Log2MaxPicOrderCntLsb(sps);
    const int32_t prev_msb = idr ? 0 : p.prev_poc_msb;
    const int32_t prev_lsb = idr ? 0 : p.prev_poc_lsb;
    *msb = prev_msb;
    if (lsb < prev_lsb && prev_lsb - lsb >= max_lsb / 2) *msb += max_lsb;
    if (lsb > prev_lsb && lsb - prev_lsb > max_lsb / 2) *msb -= max_lsb;
    return *msb + lsb;
}

int32_t poc_type2_after(const RepeatPlan& p, const SeqParamSet& sps, int32_t frame_num, bool idr, bool ref,
                        int32_t* offset) {
    const int32_t max_frame_num = int32_t{1} << Log2MaxFrameNum(sps);
    *offset = idr ? 0 : p.frame_num_offset + (p.prev_frame_num > frame_num ? max_frame_num : 0);
    return idr ? 0 : 2 * (*offset + frame_num) - (ref ? 0 : 1);
}

int32_t repeat_lsb(const SeqParamSet& sps, const PicParamSet& pps, const SliceHeader& s) {
    const int32_t max_lsb = int32_t{1} << Log2MaxPicOrderCntLsb(sps);
    const int32_t delta = pps.bottom_field_pic_order_in_frame_present_flag != 0 ? s.delta_pic_order_cnt_bottom : 0;
    const int32_t lsb = s.pic_order_cnt_lsb + (delta < 0 ? delta : 0) + 1;
    return (lsb % max_lsb + max_lsb) % max_lsb;
}

PictureFacts describe_picture(const ParserHandle* h, const RepeatPlan& p) {
    const SliceHeader& s = h->slice;
    const SeqParamSet& sps = h->active_sps;
    PictureFacts pic;
    pic.idr = s.idr_pic_flag != 0;
    pic.ref = h->prev_nal_ref_idc != 0;  // nal_ref_idc of the picture's first slice
    pic.field = s.picture_structure != 3 || h->first_picture_structure != 3;
    pic.frame_num = s.frame_num;
    pic.lsb = s.pic_order_cnt_lsb;
    if (sps.pic_order_cnt_type == 0) {
        pic.poc = poc_after(p, sps, pic.lsb, pic.idr, &pic.poc_msb);
        const bool bottom = h->active_pps.bottom_field_pic_order_in_frame_present_flag != 0;
        if (bottom && s.delta_pic_order_cnt_bottom < 0) pic.poc += s.delta_pic_order_cnt_bottom;
    } else {
        pic.poc = poc_type2_after(p, sps, pic.frame_num, pic.idr, pic.ref, &pic.frame_num_offset);
    }
    return pic;
}

// The short-term frame `frame_num`: its index, or -1.
static int32_t short_term_index(const RepeatPlan& p, int32_t frame_num) {
    for (int32_t i = 0; i < p.short_count; ++i)
        if (p.short_term[i] == frame_num) return i;
    return -1;
}

// frame_num of the frame operation 1 with difference `diff` unmarks.
static int32_t unmarked_frame_num(const SeqParamSet& sps, const PictureFacts& pic, int32_t diff) {
    const int32_t max_frame_num = int32_t{1} << Log2MaxFrameNum(sps);
    return ((pic.frame_num - diff) % max_frame_num + max_frame_num) % max_frame_num;
}

static bool sliding_window(const ParserHandle* h) {
    const SliceHeader& s = h->slice;
    return s.mmco_unmark_count == 0 && s.mmco_other == 0 && s.mmco5 == 0;
}

bool marking_drops(const ParserHandle* h, const RepeatPlan& p, const PictureFacts& pic, int32_t frame_num) {
    const SliceHeader& s = h->slice;
    if (!pic.ref) return false;
    if (pic.idr || s.mmco5 != 0 || s.mmco_other != 0 || s.marked_long_term != 0) return true;
    const int32_t max_refs = h->active_sps.max_num_ref_frames > 1 ? h->active_sps.max_num_ref_frames : 1;
    if (sliding_window(h)) return p.short_count >= max_refs && p.short_count > 0 && p.short_term[0] == frame_num;
    for (int32_t i = 0; i < s.mmco_unmark_count; ++i)
        if (unmarked_frame_num(h->active_sps, pic, s.mmco_unmark[i]) == frame_num) return true;
    return false;
}

void restart_sequence(RepeatPlan& p, const PictureFacts& pic) {
    p.prev_poc_msb = 0;
    p.prev_poc_lsb = pic.idr ? 0 : pic.lsb;
    p.prev_ref_frame_num = pic.frame_num;
    p.prev_frame_num = pic.frame_num;
    p.frame_num_offset = 0;
    p.short_count = 0;
    p.refs_unknown = 0;
    p.window_count = 0;
    p.max_reorder_seen = 0;
    p.odd_poc_seen = 0;
}

static void drop_short_term(RepeatPlan& p, int32_t index) {
    for (int32_t i = index; i + 1 < p.short_count; ++i) {
        p.short_term[i] = p.short_term[i + 1];
        p.short_term_poc[i] = p.short_term_poc[i + 1];
    }
    --p.short_count;
}

// Reference marking of `pic` (clause 8.2.5), but operation 5, which the
// caller follows as a new sequence.
static void follow_marking(const ParserHandle* h, RepeatPlan& p, const PictureFacts& pic) {
    const SliceHeader& s = h->slice;
    const int32_t max_refs = h->active_sps.max_num_ref_frames > 1 ? h->active_sps.max_num_ref_frames : 1;
    if (pic.idr || s.mmco_other != 0 || s.marked_long_term != 0) p.short_count = 0;  // not followed further
    if (s.mmco_other != 0 || s.marked_long_term != 0 || s.mmco5 != 0) p.refs_unknown = 1;
    for (int32_t i = 0; i < s.mmco_unmark_count; ++i) {
        const int32_t at = short_term_index(p, unmarked_frame_num(h->active_sps, pic, s.mmco_unmark[i]));
        if (at >= 0) drop_short_term(p, at);
    }
    if (sliding_window(h) && p.short_count >= max_refs) drop_short_term(p, 0);
    if (s.marked_long_term != 0) return;
    if (p.short_count == 16) drop_short_term(p, 0);
    p.short_term_poc[p.short_count] = pic.poc;
    p.short_term[p.short_count++] = s.mmco5 != 0 ? 0 : pic.frame_num;
}

void follow_decoding(const ParserHandle* h, RepeatPlan& p, const PictureFacts& pic) {
    const SliceHeader& s = h->slice;
    if ((pic.poc & 1) != 0) p.odd_poc_seen = 1;
    if (pic.field) p.refs_unknown = 1;
    p.prev_frame_num = pic.frame_num;
    p.frame_num_offset = pic.frame_num_offset;
    if (!pic.ref) return;
    follow_marking(h, p, pic);
    p.prev_ref_frame_num = pic.frame_num;
    p.prev_poc_msb = pic.poc_msb;
    p.prev_poc_lsb = pic.lsb;
    if (s.mmco5 == 0) return;
    // Operation 5: the picture counts as frame_num 0 with its count made 0
    // (clause 8.2.1); later pictures are ordered anew.
    p.prev_ref_frame_num = p.prev_frame_num = p.frame_num_offset = 0;
    p.prev_poc_msb = 0;
    p.prev_poc_lsb = 0;
    p.window_count = 0;
}

bool take_into_order(RepeatPlan& p, const SeqParamSet& sps, int32_t poc, bool repeat) {
    int32_t later = 0;           // pictures taken before it and shown after it
    int32_t later_original = 0;  // of them, original pictures
    for (int32_t i = 0; i < p.window_count; ++i) {
        if (p.window_poc[i] == poc) return false;
        if (p.window_poc[i] > poc) {
            ++later;
            if (!p.window_repeat[i]) ++later_original;
        }
    }
    if (!repeat && later_original > p.max_reorder_seen) p.max_reorder_seen = later_original;
    const int32_t limit = sps.bitstream_restriction_flag != 0 ? max_num_reorder_frames_bound(sps) : p.max_reorder_seen;
    if (later > limit && later > later_original) return false;
    int32_t at = p.window_count;
    if (at == kPocWindow) {  // the lowest count leaves the window
        at = 0;
        for (int32_t i = 1; i < kPocWindow; ++i)
            if (p.window_poc[i] < p.window_poc[at]) at = i;
        if (p.window_poc[at] > poc) return true;
    } else {
        ++p.window_count;
    }
    p.window_poc[at] = poc;
    p.window_repeat[at] = repeat ? 1 : 0;
    return true;
}

}  // namespace kavrel
