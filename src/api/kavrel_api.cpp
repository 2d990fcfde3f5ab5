// The exported parser calls: open, close, parse one access unit, version.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/diagnostics.h"
#include "stream/live_input.h"
#include "stream/parser_handle.h"
#include "kavrel.h"

namespace {

// FrameInfo.picture_type by the picture type code (0 none, 1 I, 2 P, 3 B).
constexpr int32_t kPictureTypeMap[8] = {255, 0, 1, 2, 255, 0, 1, 0};

void fill_frame_info(const ParserHandle* h, uint32_t consumed, FrameInfo* info) {
    info->width = h->display_width;
    info->height = h->display_height;
    info->picture_type = kPictureTypeMap[h->slice.parity_pic_type[h->first_picture_structure % 2] & 7];
    info->consumed = consumed;
    info->frame_rate = h->frame_rate;
    info->ref_frame_count = static_cast<uint32_t>(h->active_sps.max_num_ref_frames);
    info->picture_structure = h->slice.picture_structure;
    info->coded_width = h->pic_width_mbs * 16;
    info->coded_height = h->pic_height_mbs * 16;
    info->sps_data = h->ps_data[0];
    info->pps_data = h->ps_data[1];
    info->sps_size = h->ps_size[0];
    info->pps_size = h->ps_size[1];
    info->field_pic_flag = h->slice.field_pic_flag;
}

// One access unit (Kavrel_Start, Kavrel_Start_Stream): 0, a negative code
// or KAVREL_NEED_MORE_DATA; `info` is filled in every case.
int32_t start_frame(ParserHandle* handle, const FrameInput* input, FrameInfo* info, bool more_follows,
                    const char* call) {
    uint32_t consumed = 0;
    int32_t rc;
    if (input->size > static_cast<uint32_t>(INT32_MAX)) {
        // The frame walk counts in signed 32 bits; a larger frame cannot be real.
        kavrel::diag("[VsKavrel]:%s: frame size %u is out of range\n", call, input->size);
        rc = -7;
    } else {
        rc = kavrel::result_code(kavrel::parse_frame_live(handle, input->data, static_cast<int32_t>(input->size),
                                                          more_follows, &consumed));
        if (rc != 0) consumed = 0;
    }
    fill_frame_info(handle, consumed, info);
    return rc;
}

// The places the calls' "%s:%d" NULL-pointer messages name: fixed, so that
// the log stays the same whatever the layout of this file.
constexpr int kCloseNullLine = 66;
constexpr int kStartNullLine = 74;
constexpr int kStartStreamNullLine = 113;

void null_pointer(const char* call, int line) {
    kavrel::diag("[VsKavrel]:%s:%d: Error: NULL Pointer\n\n", call, line);
}

void release(ParserHandle* h) {
    std::free(h->repeat_plan);
    kavrel::param_set_copies_close(h);
    kavrel::rbsp_scratch_close(h->scratch);
    std::free(h);
}

}  // namespace

extern "C" {

KAVREL_API ParserHandle* Kavrel_Open(void) {
    auto* h = static_cast<ParserHandle*>(std::calloc(1, sizeof(ParserHandle)));
    if (!h) {
        kavrel::diag("[VsKavrel]:H264_Stream_Open: malloc fail\n\n");
        return nullptr;
    }
    const bool scratch_open = kavrel::rbsp_scratch_open(h->scratch);
    const bool copies_open = kavrel::param_set_copies_open(h);
    if (!scratch_open || !copies_open) {
        kavrel::diag("[VsKavrel]:H264_Stream_Open: malloc fail\n\n");
        release(h);
        return nullptr;
    }
    h->prev_pic_order_cnt_lsb = -1;
    h->first_picture_structure = 3;
    return h;
}

KAVREL_API void Kavrel_Close(ParserHandle* handle) {
    if (!handle) {
        null_pointer("Kavrel_Close", kCloseNullLine);
        return;
    }
    release(handle);
}

KAVREL_API int32_t Kavrel_Start(ParserHandle* handle, const FrameInput* input, FrameInfo* info) {
    if (!handle || !input || !info) {
        null_pointer("Kavrel_Start", kStartNullLine);
        return -7;
    }
    return start_frame(handle, input, info, false, "Kavrel_Start");
}

KAVREL_API int32_t Kavrel_Start_Stream(ParserHandle* handle, const FrameInput* input, FrameInfo* info,
                                       int32_t more_follows) {
    if (!handle || !input || !info) {
        null_pointer("Kavrel_Start_Stream", kStartStreamNullLine);
        return -7;
    }
    return start_frame(handle, input, info, more_follows != 0, "Kavrel_Start_Stream");
}

KAVREL_API const char* Kavrel_lib_get_version(void) {
    static const char kVersion[] = "reserver";
    return kVersion;
}

KAVREL_API void Kavrel_Set_Log_Callback(KavrelLogCallback fn, void* opaque) {
    kavrel::set_diagnostic_sink(fn, opaque);
}

}  // extern "C"
