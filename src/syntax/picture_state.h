// What the slice header reader carries from one picture to the next: the
// frame_num continuity of clause 7.4.3 (PrevRefFrameNum) and what the
// repeat frame must know of the pictures before the last one.
#pragma once

#include <cstdint>

namespace kavrel {

struct PictureState {
    int32_t prev_ref_frame_num;          // frame_num of the last reference picture before the last picture
    uint8_t prev_nal_ref_idc;            // nal_ref_idc of the last picture
    int32_t prev_pic_order_cnt_lsb;      // pic_order_cnt_lsb of the picture before the last, -1 when none
    int16_t first_picture_structure;     // of the first picture (frame or first field) of the last access unit
    int32_t slice_received;              // a slice header parsed well with this handle
    // Whether pictures of the stream may be shown out of decoding order, as
    // far as the pictures since the handle was opened tell: a B-picture or
    // a pic_order_cnt_lsb that went back, and the
    // steps of pic_order_cnt_lsb between pictures (modulo MaxPicOrderCntLsb;
    // 0 none yet): the last picture's and the smallest before it.
    uint8_t reordering_seen;
    int32_t poc_lsb_step;
    int32_t min_poc_lsb_step_before;
    int32_t min_poc_lsb_step;
};

}  // namespace kavrel
