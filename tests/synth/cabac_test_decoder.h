// An independent CABAC decoder for the tests: the arithmetic decoding
// engine of ITU-T H.264 clauses 9.3.1.2 and 9.3.3.2, reading bits MSB first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "synth/cabac_engine.h"

namespace cabac_test {

// Past the data it reads zeros.
struct Decoder {
    const std::vector<uint8_t>& data;
    size_t pos;  // bit position
    uint32_t range = 510;
    uint32_t offset = 0;
    Decoder(const std::vector<uint8_t>& d, size_t byte_start) : data(d), pos(8 * byte_start) { offset = bits(9); }
    uint32_t bit() {
        const uint32_t b = pos / 8 < data.size() ? (data[pos / 8] >> (7 - pos % 8)) & 1 : 0;
        ++pos;
        return b;
    }
    uint32_t bits(int n) {
        uint32_t v = 0;
        while (n-- > 0) v = (v << 1) | bit();
        return v;
    }
    void renorm() {
        while (range < 256) {
            range <<= 1;
            offset = (offset << 1) | bit();
        }
    }
    int decision(kavrel::CabacContext& c) {
        const uint32_t r_lps = kavrel::kRangeTabLps[c.state][(range >> 6) & 3];
        range -= r_lps;
        int bin;
        if (offset >= range) {
            bin = 1 - c.mps;
            offset -= range;
            range = r_lps;
            if (c.state == 0) c.mps = static_cast<uint8_t>(1 - c.mps);
            c.state = kavrel::kTransIdxLps[c.state];
        } else {
            bin = c.mps;
            c.state = kavrel::kTransIdxMps[c.state];
        }
        renorm();
        return bin;
    }
    int terminate() {
        range -= 2;
        if (offset >= range) return 1;  // no renormalisation: decoding ends
        renorm();
        return 0;
    }
};

}  // namespace cabac_test
