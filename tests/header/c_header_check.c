/* The public header compiles as C11, and its records have the published offsets. */
#include <stddef.h>
#include <string.h>

#include "kavrel.h"

_Static_assert(offsetof(FrameInput, data) == 0 && offsetof(FrameInput, size) == 8, "FrameInput layout");
_Static_assert(offsetof(FrameInfo, width) == 0 && offsetof(FrameInfo, height) == 4 &&
               offsetof(FrameInfo, picture_type) == 8 && offsetof(FrameInfo, consumed) == 12 &&
               offsetof(FrameInfo, frame_rate) == 16 && offsetof(FrameInfo, ref_frame_count) == 20 &&
               offsetof(FrameInfo, picture_structure) == 24 && offsetof(FrameInfo, coded_width) == 28 &&
               offsetof(FrameInfo, coded_height) == 32 && offsetof(FrameInfo, sps_data) == 40 &&
               offsetof(FrameInfo, pps_data) == 48 && offsetof(FrameInfo, sps_size) == 56 &&
               offsetof(FrameInfo, pps_size) == 60 && offsetof(FrameInfo, field_pic_flag) == 64, "FrameInfo layout");
_Static_assert(offsetof(CorrectionRequest, OrgFrameLength) == 0 && offsetof(CorrectionRequest, org_frame) == 8 &&
               offsetof(CorrectionRequest, cureFrameLength) == 16 && offsetof(CorrectionRequest, cure_frame) == 24 &&
               offsetof(CorrectionRequest, corrected) == 32 && offsetof(CorrectionRequest, sar_width) == 36 &&
               offsetof(CorrectionRequest, sar_height) == 40 && offsetof(CorrectionRequest, correction_mode) == 44 &&
               sizeof(CorrectionRequest) == 48, "CorrectionRequest layout");
_Static_assert(offsetof(FrameRateRequest, out_buf) == 0 && offsetof(FrameRateRequest, fps) == 12, "FrameRateRequest layout");

int main(void) {
    /* Linked from C, a handle parses an access unit delimiter. */
    static const uint8_t frame[] = {0, 0, 0, 1, 9, 0xf0};
    const FrameInput in = {frame, sizeof frame};
    FrameInfo info = {0};
    ParserHandle* h = Kavrel_Open();
    const int32_t rc = Kavrel_Start(h, &in, &info);
    Kavrel_Close(h);
    return !(h && rc == 0 && info.consumed == sizeof frame && !strcmp(Kavrel_lib_get_version(), "reserver"));
}
