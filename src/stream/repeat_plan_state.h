// What the repeat plan (Kavrel_Repeat_Picture) keeps between access units:
// the decoding process state it follows (picture order count, frame_num,
// short-term reference frames, ITU-T H.264 clauses 8.2.1 and 8.2.5), the
// repeats waiting for their place and the units to write around the access
// unit last given. Allocated with the handle's first plan call.
#pragma once

#include <cstdint>

#include "syntax/pic_param_set.h"
#include "syntax/seq_param_set.h"
#include "syntax/slice_header.h"

namespace kavrel {

constexpr int32_t kMaxPendingRepeats = 16;
constexpr int32_t kPocWindow = 32;

// A repeat of a reference picture: the picture's last slice header and
// what places and numbers the repeat.
struct PendingRepeat {
    SliceHeader last;
    int32_t poc;             // PicOrderCnt of the picture; the repeat's is one above
    int32_t frame_num;       // of the picture
    int32_t sets;            // index of the parameter sets in RepeatPlan it is written with
    uint8_t delimiter;       // the picture's access unit began with a delimiter
    int32_t repeat_frame_num;  // set when placed: PrevRefFrameNum + 1 there
    int32_t pic_num_diff;      // set when placed: see RepeatSlice
    uint64_t picture;          // the Kavrel_Repeat_Picture call (0 the first) that gave the picture
};

struct RepeatPlan {
    uint8_t started;          // following a coded video sequence
    uint8_t odd_poc_seen;     // a picture order count not even (no free value above it)
    int32_t prev_poc_msb;     // prevPicOrderCntMsb / Lsb after the last reference picture
    int32_t prev_poc_lsb;
    int32_t prev_ref_frame_num;  // PrevRefFrameNum
    int32_t prev_frame_num;      // of the previous picture (type 2)
    int32_t frame_num_offset;    // FrameNumOffset of the previous picture (type 2)
    int32_t short_term[16];      // frame_num of short-term reference frames, oldest first
    int32_t short_term_poc[16];  // their PicOrderCnt
    int32_t short_count;
    uint8_t refs_unknown;        // long-term references or fields since the IDR picture: the lists are not followed
    // The highest picture order counts of the sequence so far, originals
    // and repeats, to check order and reordering depth.
    int32_t window_poc[kPocWindow];
    uint8_t window_repeat[kPocWindow];
    int32_t window_count;
    int32_t max_reorder_seen;    // of the original pictures
    // Parameter sets the repeats are written with, by the handle's
    // param_generation when copied.
    SeqParamSet sps[2];
    PicParamSet pps[2];
    uint32_t sets_generation[2];
    PendingRepeat pending[kMaxPendingRepeats];
    int32_t pending_count;
    PendingRepeat before[kMaxPendingRepeats];  // to write before the access unit
    int32_t before_count;
    const uint8_t* copy_data;    // the access unit to copy after itself, or null
    int32_t copy_pps_from;       // the PPS its copy names again with weighted_bipred_idc 0 (CopyPps), or -1
    int32_t copy_pps_to;
    uint64_t calls;              // Kavrel_Repeat_Picture calls so far, the current one included
    int32_t copy_size;
    const char* reason;          // of the last refusal, or null
};

}  // namespace kavrel
