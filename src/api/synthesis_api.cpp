// The exported synthesis calls: argument checks, then the writers of synth/.
#include <climits>

#include "common/diagnostics.h"
#include "kavrel.h"
#include "synth/frame_rate_sps.h"
#include "synth/repeat_frame.h"

namespace {

// The "%s:%d" of each call's NULL-pointer message: fixed, so that the log
// stays the same whatever the layout of the sources.
void null_pointer(const char* call, int line) {
    kavrel::diag("[VsKavrel]:%s:%d: Error: NULL Pointer\n\n", call, line);
}

}  // namespace

extern "C" {

KAVREL_API int32_t H264_Enc_Iframe(ParserHandle* handle, FrameRateRequest* request) {
    if (!handle || !request || !request->out_buf || !kavrel::has_active_sps(handle)) {
        null_pointer("H264_Enc_Iframe", 79);
        return -1;
    }
    return kavrel::write_frame_rate_sps(handle, request->fps, request->out_buf);
}

KAVREL_API int32_t H264_Enc_Iframe_Rate(ParserHandle* handle, uint8_t* out, uint32_t capacity, uint32_t fps_num,
                                        uint32_t fps_den) {
    if (!handle || !out || !kavrel::has_active_sps(handle)) {
        null_pointer("H264_Enc_Iframe_Rate", 100);
        return -1;
    }
    return kavrel::write_frame_rate_sps(handle, out, capacity, fps_num, fps_den);
}

KAVREL_API int32_t H264_Enc_Double_Frame(ParserHandle* handle, uint8_t* out) {
    if (handle == nullptr || out == nullptr) {
        null_pointer("H264_Enc_Double_Frame", 222);
        return -1;
    }
    return kavrel::write_repeat_frame(handle, out);
}

KAVREL_API int32_t H264_Enc_Double_Frame_Sized(ParserHandle* handle, uint8_t* out, uint32_t capacity) {
    if (handle == nullptr || out == nullptr) {
        null_pointer("H264_Enc_Double_Frame_Sized", 234);
        return -1;
    }
    const int32_t room = capacity > INT32_MAX ? INT32_MAX : static_cast<int32_t>(capacity);
    return kavrel::write_repeat_frame(handle, out, room);
}

}  // extern "C"
