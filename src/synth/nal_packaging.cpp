// NAL packaging: the escaped payload (clause 7.4.1), the NAL unit header
// byte (clause 7.3.1) and the Annex B start code.
#include "synth/nal_packaging.h"

#include "synth/syntax_symbol.h"

namespace kavrel {

void write_nal_prefix(uint8_t* out, int32_t nal_ref_idc, int32_t nal_unit_type) {
    out[0] = 0x00;
    out[1] = 0x00;
    out[2] = 0x00;
    out[3] = 0x01;
    out[4] = static_cast<uint8_t>(((nal_ref_idc & 3) << 5) | (nal_unit_type & 31));
}

int32_t escape_rbsp(const uint8_t* rbsp, int32_t length, uint8_t* out, int32_t capacity) {
    Bitstream payload;
    init_bitstream(&payload, out, capacity, true);
    for (int32_t i = 0; i < length && !payload.overflow; ++i) put_bits(&payload, rbsp[i], 8);
    return payload.overflow ? -1 : payload.byte_count;
}

}  // namespace kavrel
