// Placeholder until the parameter-set parser lands: accepts nothing.
#include "params/pic_param_set.h"

#include "api/parser_handle.h"

namespace kavrel {

int32_t decode_picture_parameter_set(ParserHandle*, int32_t) { return -22; }

}  // namespace kavrel
