// Placeholder until the parameter-set parser lands: accepts nothing.
#include "params/seq_param_set.h"

#include "api/parser_handle.h"

namespace kavrel {

int32_t decode_seq_parameter_set(ParserHandle*) { return -22; }

}  // namespace kavrel
