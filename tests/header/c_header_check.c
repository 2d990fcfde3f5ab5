/* The public header compiles as C11, and its records have the published offsets. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "kavrel.h"

_Static_assert(offsetof(FrameInput, data) == 0, "FrameInput.data");
_Static_assert(offsetof(FrameInput, size) == 8, "FrameInput.size");
_Static_assert(offsetof(FrameInfo, width) == 0, "width");
_Static_assert(offsetof(FrameInfo, height) == 4, "height");
_Static_assert(offsetof(FrameInfo, picture_type) == 8, "picture_type");
_Static_assert(offsetof(FrameInfo, consumed) == 12, "consumed");
_Static_assert(offsetof(FrameInfo, frame_rate) == 16, "frame_rate");
_Static_assert(offsetof(FrameInfo, ref_frame_count) == 20, "ref_frame_count");
_Static_assert(offsetof(FrameInfo, picture_structure) == 24, "picture_structure");
_Static_assert(offsetof(FrameInfo, coded_width) == 28, "coded_width");
_Static_assert(offsetof(FrameInfo, coded_height) == 32, "coded_height");
_Static_assert(offsetof(FrameInfo, sps_data) == 40, "sps_data");
_Static_assert(offsetof(FrameInfo, pps_data) == 48, "pps_data");
_Static_assert(offsetof(FrameInfo, sps_size) == 56, "sps_size");
_Static_assert(offsetof(FrameInfo, pps_size) == 60, "pps_size");
_Static_assert(offsetof(FrameInfo, field_pic_flag) == 64, "field_pic_flag");
_Static_assert(offsetof(CorrectionRequest, OrgFrameLength) == 0, "OrgFrameLength");
_Static_assert(offsetof(CorrectionRequest, org_frame) == 8, "org_frame");
_Static_assert(offsetof(CorrectionRequest, cureFrameLength) == 16, "cureFrameLength");
_Static_assert(offsetof(CorrectionRequest, cure_frame) == 24, "cure_frame");
_Static_assert(offsetof(CorrectionRequest, corrected) == 32, "corrected");
_Static_assert(offsetof(CorrectionRequest, sar_width) == 36, "sar_width");
_Static_assert(offsetof(CorrectionRequest, sar_height) == 40, "sar_height");
_Static_assert(offsetof(CorrectionRequest, correction_mode) == 44, "correction_mode");
_Static_assert(sizeof(CorrectionRequest) == 48, "CorrectionRequest size");
_Static_assert(offsetof(FrameRateRequest, out_buf) == 0, "out_buf");
_Static_assert(offsetof(FrameRateRequest, fps) == 12, "fps");

int main(void) {
    /* Linked from C, a handle parses an access unit delimiter. */
    static const uint8_t frame[] = {0, 0, 0, 1, 9, 0xf0};
    const FrameInput in = {frame, sizeof frame};
    FrameInfo info = {0};
    ParserHandle* h = Kavrel_Open();
    const int32_t rc = Kavrel_Start(h, &in, &info);
    const int ok = h && rc == 0 && info.consumed == sizeof frame && !strcmp(Kavrel_lib_get_version(), "reserver");
    Kavrel_Close(h);
    if (!ok) printf("from C: handle %p, rc %d, consumed %u\n", (void*)h, (int)rc, (unsigned)info.consumed);
    return ok ? 0 : 1;
}
