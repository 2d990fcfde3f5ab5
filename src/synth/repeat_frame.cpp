// Placeholder until repeat-frame synthesis lands: refuses every call.
#include "kavrel.h"

extern "C" KAVREL_API int32_t H264_Enc_Double_Frame(ParserHandle*, uint8_t*) { return -1; }
