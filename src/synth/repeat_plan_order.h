// The decoding-process state the repeat plan follows: picture order count
// (clause 8.2.1), frame_num, the short-term reference frames (8.2.5.3,
// 8.2.5.4 operation 1) and the order pictures are shown in.
#pragma once

#include <cstdint>

#include "stream/parser_handle.h"
#include "stream/repeat_plan_state.h"

namespace kavrel {

// The picture of the access unit just parsed.
struct PictureFacts {
    bool idr = false;
    bool ref = false;
    bool field = false;
    int32_t frame_num = 0;
    int32_t lsb = 0;
    int32_t poc = 0;          // PicOrderCnt
    int32_t poc_msb = 0;      // type 0: PicOrderCntMsb
    int32_t frame_num_offset = 0;  // type 2: FrameNumOffset
};

// PicOrderCnt of a frame with pic_order_cnt_lsb `lsb` decoded after the
// plan's last reference picture (type 0; the IDR's when `idr`); its
// PicOrderCntMsb in *msb.
int32_t poc_after(const RepeatPlan& p, const SeqParamSet& sps, int32_t lsb, bool idr, int32_t* msb);
// The same for type 2 with frame_num `frame_num`; FrameNumOffset in *offset.
int32_t poc_type2_after(const RepeatPlan& p, const SeqParamSet& sps, int32_t frame_num, bool idr, bool ref,
                        int32_t* offset);
// pic_order_cnt_lsb of the repeat of the frame whose (last) slice header
// is `s`: its PicOrderCnt + 1, both fields at it (type 0).
int32_t repeat_lsb(const SeqParamSet& sps, const PicParamSet& pps, const SliceHeader& s);
// The facts of the handle's last picture, its count derived with the plan.
PictureFacts describe_picture(const ParserHandle* h, const RepeatPlan& p);

// Whether the marking of reference picture `pic` (the handle's last slice
// header) drops short-term frame `frame_num` (sliding window, operation 1,
// or any operation the plan does not follow).
bool marking_drops(const ParserHandle* h, const RepeatPlan& p, const PictureFacts& pic, int32_t frame_num);
// Follows the reference marking, picture order count and frame_num of `pic`.
void follow_decoding(const ParserHandle* h, RepeatPlan& p, const PictureFacts& pic);
// Restarts the followed state at the picture `pic` (first picture, IDR).
void restart_sequence(RepeatPlan& p, const PictureFacts& pic);

// Takes a picture (original or repeat) with count `poc` into the shown
// order: false when it takes the count of another picture or needs a
// deeper reordering than the stream announces (max_num_reorder_frames, or
// without it what the original pictures showed so far).
bool take_into_order(RepeatPlan& p, const SeqParamSet& sps, int32_t poc, bool repeat);

}  // namespace kavrel
