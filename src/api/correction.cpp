// Placeholder until stream correction lands: refuses every call.
#include "kavrel.h"

extern "C" KAVREL_API int32_t Kavrel_enc_h264Correct(CorrectionRequest*) { return -1; }
