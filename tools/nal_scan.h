// Finding NAL units by their start codes inside one access unit (with the
// library's own scan), and the two things the tool reads that the library
// does not: which SEI messages a unit carries, and what the input looks
// like when it is no H.264.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "api/tool_interface.h"

namespace kavrel_cli {

// Position of the next 00 00 01 at or after `from` in [0, n), or n.
inline size_t find_start_code(const uint8_t* p, size_t from, size_t n) { return kavrel::next_start_code(p, n, from); }

// One NAL unit: [start, end) holds its start code (a leading zero byte
// included) and its bytes, trailing zero bytes excluded.
struct Nal {
    size_t start = 0;
    size_t header = 0;  // the NAL header byte
    size_t end = 0;
    uint8_t type = 0;
    bool vcl() const { return type >= 1 && type <= 5; }
};

// Calls visit(const Nal&) for each NAL unit of [0, n) up to and including
// the first slice (whose `end` is then not searched and left at n).
template <typename Visit>
void visit_prefix(const uint8_t* p, size_t n, Visit&& visit) {
    size_t sc = find_start_code(p, 0, n);
    while (sc + 3 < n) {
        Nal u;
        u.start = (sc > 0 && p[sc - 1] == 0) ? sc - 1 : sc;
        u.header = sc + 3;
        u.type = p[u.header] & 0x1F;
        if (u.vcl()) {
            u.end = n;
            visit(u);
            return;
        }
        const size_t next = find_start_code(p, u.header, n);
        u.end = next;
        while (u.end > u.header + 1 && p[u.end - 1] == 0) --u.end;
        visit(u);
        sc = next;
    }
}

// Where a unit that follows the access unit's pictures goes: after its
// last NAL unit but before trailing end-of-sequence and end-of-stream
// units and before the zero bytes that lead into the next start code.
size_t insertion_point(const uint8_t* p, size_t n);

// True when the SEI NAL unit [header, end) holds a message of `payload_type`
// (clause 7.3.2.3).
bool sei_has(const uint8_t* p, size_t header, size_t end, uint32_t payload_type);

// What the first bytes of an input look like when they are not an H.264
// Annex B stream, with how to get one out of it; empty when they may be.
// `whole`: the bytes are the entire input.
std::string foreign_input(const uint8_t* p, size_t n, bool whole);

}  // namespace kavrel_cli
