// for_each_nal of picture_copy.h: the start-code walk of an access unit.
#pragma once

#include <cstdint>

#include "bitstream/nal_unit.h"

namespace kavrel {

template <typename Fn>
void for_each_nal(const uint8_t* unit, int32_t size, Fn&& fn) {
    int32_t pos = find_start_code(unit, size, 0);
    while (pos + 3 < size) {
        const int32_t header = pos + 3;
        const int32_t next = find_start_code(unit, size, header);
        int32_t end = next + 3 < size ? next : size;
        while (end > header && unit[end - 1] == 0) --end;
        if (end > header) fn(header, end - header);
        pos = next;
    }
}

}  // namespace kavrel
