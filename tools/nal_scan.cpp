#include "nal_scan.h"

#include <cstring>
#include <initializer_list>

namespace kavrel_cli {

size_t insertion_point(const uint8_t* p, size_t n) {
    size_t end = n;
    for (;;) {
        while (end > 0 && p[end - 1] == 0) --end;
        // end_of_seq_rbsp() and end_of_stream_rbsp() are empty: 00 00 01 0A / 0B.
        const bool end_unit = end >= 4 && p[end - 4] == 0 && p[end - 3] == 0 && p[end - 2] == 1 &&
                              ((p[end - 1] & 0x1F) == 10 || (p[end - 1] & 0x1F) == 11);
        if (!end_unit) return end;
        end -= 4;
    }
}

bool sei_has(const uint8_t* p, size_t header, size_t end, uint32_t payload_type) {
    // Reads the RBSP byte by byte, dropping emulation_prevention_three_bytes.
    size_t pos = header + 1;
    int zeros = 0;
    auto next = [&](uint32_t* byte) {
        if (pos < end && zeros >= 2 && p[pos] == 3) {
            ++pos;
            zeros = 0;
        }
        if (pos >= end) return false;
        *byte = p[pos++];
        zeros = *byte == 0 ? zeros + 1 : 0;
        return true;
    };
    auto value = [&](uint32_t* v) {  // ff_byte* then last_*_byte
        uint32_t b = 0;
        *v = 0;
        while (next(&b)) {
            *v += b;
            if (b != 0xFF) return true;
        }
        return false;
    };
    uint32_t type = 0, size = 0;
    while (end - pos > 1 && value(&type) && value(&size)) {
        if (type == payload_type) return true;
        for (uint32_t skipped = 0, b = 0; skipped < size; ++skipped)
            if (!next(&b)) return false;
    }
    return false;
}

namespace {

bool at(const uint8_t* p, size_t n, size_t offset, const char* text) {
    const size_t len = std::strlen(text);
    return n >= offset + len && std::memcmp(p + offset, text, len) == 0;
}

const char* kMp4Hint = "; to take its H.264 video out: ffmpeg -i IN -c:v copy -bsf:v h264_mp4toannexb -f h264 OUT.h264";
const char* kTsHint = "; to take its H.264 video out: ffmpeg -i IN -c:v copy -f h264 OUT.h264";

std::string container(const uint8_t* p, size_t n) {
    for (const char* box : {"ftyp", "moov", "mdat", "free", "skip", "wide"})
        if (at(p, n, 4, box)) return std::string("looks like an MP4/MOV file, not an H.264 Annex B stream") + kMp4Hint;
    if (at(p, n, 0, "\x1A\x45\xDF\xA3"))
        return std::string("looks like a Matroska/WebM file, not an H.264 Annex B stream") + kMp4Hint;
    if (at(p, n, 0, "FLV") || at(p, n, 0, "RIFF"))
        return std::string("looks like an FLV/AVI file, not an H.264 Annex B stream") + kMp4Hint;
    const bool ts = n >= 377 && p[0] == 0x47 && p[188] == 0x47 && p[376] == 0x47;
    const bool m2ts = n >= 389 && p[4] == 0x47 && p[196] == 0x47 && p[388] == 0x47;
    if (ts || m2ts) return std::string("looks like an MPEG transport stream, not an H.264 Annex B stream") + kTsHint;
    if (n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] == 0xBA)
        return std::string("looks like an MPEG program stream, not an H.264 Annex B stream") + kTsHint;
    if (at(p, n, 0, "\x89PNG") || at(p, n, 0, "\xFF\xD8\xFF") || at(p, n, 0, "GIF8"))
        return "looks like an image, not an H.264 Annex B stream";
    return "";
}

}  // namespace

std::string foreign_input(const uint8_t* p, size_t n, bool whole) {
    if (n == 0 && whole) return "is empty";
    std::string kind = container(p, n);
    if (!kind.empty()) return kind;
    const size_t sc = find_start_code(p, 0, n);
    if (sc + 4 < n) {
        // H.265 NAL unit headers are two bytes: VPS, SPS, PPS, AUD or SEI first.
        const uint8_t h0 = p[sc + 3], h1 = p[sc + 4];
        if (h1 == 0x01 && (h0 == 0x40 || h0 == 0x42 || h0 == 0x44 || h0 == 0x46 || h0 == 0x4E))
            return "looks like an H.265/HEVC stream; kavrel reads H.264 only";
        // forbidden_zero_bit set: the start codes of MPEG-1/2 (00 00 01 B3) or MPEG-4 Part 2 (B0) video.
        if (h0 & 0x80) return "looks like MPEG-1/2 or MPEG-4 Part 2 video, not an H.264 Annex B stream";
        return "";
    }
    size_t zeros = 0;
    while (zeros < n && p[zeros] == 0) ++zeros;
    const std::string where = whole ? "" : " in its first " + std::to_string(n >> 10) + " KiB";
    return (zeros == n ? "holds only zero bytes" : "holds no H.264 start code (00 00 01)") + where;
}

}  // namespace kavrel_cli
