// Placeholder until the slice-header parser lands: accepts nothing.
#include "slice/slice_header.h"

#include "api/parser_handle.h"

namespace kavrel {

int32_t decode_slice_header(ParserHandle*) { return -18; }

}  // namespace kavrel
