#include "rate.h"

#include <cstdio>
#include <numeric>

namespace kavrel_cli {

Rate reduced(Rate r) {
    const uint64_t g = std::gcd(r.num, r.den);
    return g ? Rate{r.num / g, r.den / g} : r;
}

bool parse_rate(const std::string& text, Rate* rate) {
    uint64_t value[2] = {0, 1};
    uint64_t scale = 1;  // 10^(decimal places)
    int field = 0;
    bool digits = false, point = false;
    for (char c : text) {
        if (c == '/' && field == 0 && digits && !point) {
            field = 1;
            value[1] = 0;
            digits = false;
        } else if (c == '.' && field == 0 && !point) {
            point = true;
        } else if (c >= '0' && c <= '9') {
            value[field] = value[field] * 10 + static_cast<unsigned>(c - '0');
            if (point) scale *= 10;
            if (value[field] > 0xFFFFFFFFull || scale > 1000000000ull) return false;
            digits = true;
        } else {
            return false;
        }
    }
    if (!digits || value[0] == 0 || value[1] == 0) return false;
    Rate r = reduced({value[0], value[1] * scale});
    // The NTSC family as people write it.
    if (point && r.den != 1) {
        if (r.num * 1000 == 23976 * r.den) r = {24000, 1001};
        if (r.num * 100 == 2997 * r.den) r = {30000, 1001};
        if (r.num * 100 == 5994 * r.den) r = {60000, 1001};
    }
    if (r.num > 0x7FFFFFFFu || r.den > 0xFFFFFFFFu) return false;
    *rate = r;
    return true;
}

std::string rate_text(Rate r) {
    r = reduced(r);
    if (r.den == 1) return std::to_string(r.num);
    char approx[32];
    std::snprintf(approx, sizeof approx, "%.3f", static_cast<double>(r.num) / static_cast<double>(r.den));
    std::string a = approx;
    while (a.back() == '0') a.pop_back();
    if (a.back() == '.') a.pop_back();
    return std::to_string(r.num) + "/" + std::to_string(r.den) + " (" + a + ")";
}

namespace {

constexpr uint64_t kHighestMaxMbps = 16711680;  // level 6.2

}  // namespace

bool any_level_admits(uint64_t frame_mbs, Rate rate) { return frame_mbs * rate.num <= kHighestMaxMbps * rate.den; }

int level_for_rate(int level_idc, uint64_t frame_mbs, Rate rate) {
    // level_idc and MaxMBPS of Table A-1, in order (9 is level 1b).
    static const struct {
        int idc;
        uint64_t max_mbps;
    } kLevels[] = {{9, 1485},      {10, 1485},     {11, 3000},     {12, 6000},     {13, 11880},
                   {20, 11880},    {21, 19800},    {22, 20250},    {30, 40500},    {31, 108000},
                   {32, 216000},   {40, 245760},   {41, 245760},   {42, 522240},   {50, 589824},
                   {51, 983040},   {52, 2073600},  {60, 4177920},  {61, 8355840},  {62, kHighestMaxMbps}};
    const auto admits = [&](uint64_t max_mbps) { return frame_mbs * rate.num <= max_mbps * rate.den; };
    bool at_or_above = false;
    for (const auto& level : kLevels) {
        at_or_above = at_or_above || level.idc == level_idc;
        if (!at_or_above) continue;
        if (admits(level.max_mbps)) return level.idc;
    }
    if (!at_or_above) return level_idc;
    return 62;  // beyond every level: the highest there is
}

}  // namespace kavrel_cli
