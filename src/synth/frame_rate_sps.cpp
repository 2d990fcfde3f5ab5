// Placeholder until SPS synthesis lands: refuses every call.
#include "kavrel.h"

extern "C" KAVREL_API int32_t H264_Enc_Iframe(ParserHandle*, FrameRateRequest*) { return -1; }
