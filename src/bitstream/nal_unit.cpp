#include "bitstream/nal_unit.h"

#include <cstdlib>
#include <cstring>

#include "api/diagnostics.h"
#include "api/parser_handle.h"

namespace kavrel {

namespace {

// First s with s + 2 < size where p[s], p[s+1] are 0 and p[s+2] <= 3: the
// start of a start code, of a zero run, or of an emulation-prevention
// sequence 00 00 03. -1 when there is none.
int32_t find_zero_pair(const uint8_t* p, int32_t size, int32_t from) {
    int32_t s = from;
    while (s + 2 < size) {
        const void* z = std::memchr(p + s, 0, static_cast<size_t>(size - 2 - s));
        if (!z) return -1;
        s = static_cast<int32_t>(static_cast<const uint8_t*>(z) - p);
        if (p[s + 1] == 0 && p[s + 2] <= 3) return s;
        s += (p[s + 1] == 0) ? 2 : 1;  // p[s+1] == 0 means p[s+2] > 3: no pattern at s+1 either
    }
    return -1;
}

void check_header(ParserHandle* handle, uint8_t header) {
    const int forbidden_zero_bit = header >> 7;
    const int nal_ref_idc = (header >> 5) & 3;
    const int nal_unit_type = header & 0x1f;
    handle->nal_ref_idc = static_cast<uint8_t>(nal_ref_idc);
    handle->nal_unit_type = static_cast<uint8_t>(nal_unit_type);

    if (forbidden_zero_bit &&
        (nal_unit_type == 0 || (nal_unit_type >= 2 && nal_unit_type <= 4) ||
         (nal_unit_type >= 14 && nal_unit_type <= 18) || nal_unit_type >= 20)) {
        diag("[VsKavrel]:forbidden_zero_bit (0) and  nal_unit_type(%d)\n\n", nal_unit_type);
    }
    // nal_ref_idc shall be 0 for SEI, AUD, end of sequence/stream, filler (7.4.1).
    if (nal_ref_idc > 0 && (nal_unit_type == 6 || (nal_unit_type >= 9 && nal_unit_type <= 12))) {
        diag("[VsKavrel]:nal_ref_idc should equal to zero but it is %d, when nal_unit_type is %d\n", nal_ref_idc,
             nal_unit_type);
    }
}

}  // namespace

uint8_t* read_nal_unit(ParserHandle* handle, const uint8_t* nal, int32_t* rbsp_len, int32_t* consumed,
                       int32_t length, uint8_t* buffer) {
    check_header(handle, nal[0]);
    const int nal_unit_type = handle->nal_unit_type;
    if (handle->nal_ref_idc == 0 && nal_unit_type == 5) {
        diag("[VsKavrel]:IDR nal with nal_ref_idc(0)\n");
        return nullptr;
    }
    if (nal_unit_type == 0 || nal_unit_type >= 24) {
        diag("[VsKavrel]:the nal unit type is unspecified, %d\n", nal_unit_type);
    }
    if (nal_unit_type == 22 || nal_unit_type == 23) {
        diag("[VsKavrel]:the nal unit type is reserved, %d\n", nal_unit_type);
    }

    const uint8_t* p = nal + 1;
    const int32_t size = length - 1;
    handle->scratch = buffer;
    if (!buffer) return nullptr;

    // The unit ends before the first 00 00 00, 00 00 01 or 00 00 02 of its
    // payload; each 00 00 03 loses its 03 (clause 7.4.1.1).
    int32_t s = find_zero_pair(p, size, 0);
    if (s < 0 || p[s + 2] != 3) {
        const int32_t end = s < 0 ? size : s;
        std::memcpy(buffer, p, static_cast<size_t>(end));
        *rbsp_len = end;
        *consumed = end + 1;
        return buffer;
    }
    std::memcpy(buffer, p, static_cast<size_t>(s));
    int32_t d = s;
    for (;;) {
        // Here p[s], p[s+1] are 0 and p[s+2] <= 3.
        if (p[s + 2] != 3) break;  // a start code or zero run ends the unit
        buffer[d++] = 0;
        buffer[d++] = 0;
        s += 3;
        const int32_t next = find_zero_pair(p, size, s);
        const int32_t stop = next < 0 ? size : next;
        std::memcpy(buffer + d, p + s, static_cast<size_t>(stop - s));
        d += stop - s;
        s = stop;
        if (next < 0) break;
    }
    *rbsp_len = d;
    *consumed = s + 1;
    return buffer;
}

int32_t store_param_set(ParserHandle* handle, const uint8_t* bytes, int32_t len, int index) {
    handle->ps_size[index] = 0;
    if (!handle->ps_data[index]) return 0;
    if (len > kParamSetInitialSize) {
        diag("[VsKavrel]:WARNING: ps(%d) length is greater than %d bytes\n", index, len);
        void* grown = std::realloc(handle->ps_data[index], static_cast<size_t>(len));
        if (!grown) {
            diag("[VsKavrel]:ERROR: get ps(%d) fail\n", index);
            std::free(handle->ps_data[index]);
            handle->ps_data[index] = nullptr;
            return -10;
        }
        handle->ps_data[index] = static_cast<uint8_t*>(grown);
    }
    if (len > 0) std::memcpy(handle->ps_data[index], bytes, static_cast<size_t>(len));
    handle->ps_size[index] = static_cast<uint32_t>(len);
    return 0;
}

}  // namespace kavrel
