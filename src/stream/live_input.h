// Live input: a host that reads a socket or pipe hands over the bytes it has
// so far, which may end anywhere inside an access unit. The access unit they
// begin with is parsed only once these bytes prove where it ends, so that the
// codes, lines and state are those the whole stream would give.
#pragma once

#include <cstdint>

#include "stream/parser_handle.h"

namespace kavrel {

// Bytes the frame walk may read behind the start code of the unit that ends
// an access unit: the start code, its header byte and the first 24 payload
// bytes, from which the field-pair check takes up to 16 RBSP bytes.
constexpr int32_t kAccessUnitEndLookahead = 3 + 1 + 24;

// The length of a prefix of data[0, size) over which the frame walk stops
// at or before the start of the next access unit, reading only bytes that
// any longer input beginning with these would hold in the same places; -1
// when these bytes do not yet prove that. Reads the handle, changes nothing
// and prints nothing.
int32_t proven_access_unit_extent(const SyntaxState* handle, const uint8_t* data, int32_t size);

// parse_frame for a buffer after which more bytes of the stream may follow
// (`more_follows`): kNeedMoreData, with nothing parsed, nothing printed and
// the handle unchanged, until the end of the access unit is proven; without
// `more_follows` exactly parse_frame.
Status parse_frame_live(ParserHandle* handle, const uint8_t* data, int32_t size, bool more_follows,
                         uint32_t* out_length);

}  // namespace kavrel
