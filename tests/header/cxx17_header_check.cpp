// The public header compiles as C++17 with the same record layout.
#include <cstddef>

#include "kavrel.h"

static_assert(offsetof(FrameInfo, consumed) == 12);
static_assert(offsetof(FrameInfo, sps_data) == 40);
static_assert(offsetof(FrameInfo, field_pic_flag) == 64);
static_assert(offsetof(CorrectionRequest, correction_mode) == 44);
static_assert(offsetof(FrameRateRequest, fps) == 12);

int main() {
    ParserHandle* h = Kavrel_Open();
    if (!h) return 1;
    Kavrel_Close(h);
    return 0;
}
