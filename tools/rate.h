// Frame rates as people type and read them, and the level a rate needs.
#pragma once

#include <cstdint>
#include <string>

namespace kavrel_cli {

struct Rate {
    uint64_t num = 0;
    uint64_t den = 1;
};

// "25", "30000/1001" or a decimal ("12.5" = 25/2; 23.976, 29.97 and 59.94
// are 24000/1001, 30000/1001 and 60000/1001). Reduced; false unless
// positive with num < 2^31 and den < 2^32.
bool parse_rate(const std::string& text, Rate* rate);
Rate reduced(Rate r);
// "25" or "30000/1001 (29.97)".
std::string rate_text(Rate r);

// level_idc of the lowest level of Table A-1 at or above `level_idc` whose
// MaxMBPS admits frames of `frame_mbs` macroblocks at `rate`; `level_idc`
// itself when it already does or is not in the table.
int level_for_rate(int level_idc, uint64_t frame_mbs, Rate rate);
// False when even the highest level of Table A-1 does not admit that many.
bool any_level_admits(uint64_t frame_mbs, Rate rate);

}  // namespace kavrel_cli
