/* count_frames FILE: parses every access unit of an H.264 Annex B file with
 * Kavrel and prints how many it parsed and how many it rejected. A host of
 * the installed library: built by examples/CMakeLists.txt through
 * find_package(kavrel), or by hand with `pkg-config --cflags --libs kavrel`. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "kavrel.h"

/* Offset of the first start code (00 00 01) at or after `from`, or `size`. */
static size_t next_start_code(const uint8_t* data, size_t size, size_t from) {
    for (size_t i = from; i + 3 <= size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
    }
    return size;
}

/* As in README.md: every access unit of data[0, size), any size. */
static void parse_stream(const uint8_t* data, size_t size, size_t* parsed, size_t* rejected) {
    ParserHandle* h = Kavrel_Open();
    if (!h) return;
    size_t pos = 0;
    while (pos < size) {
        /* At most INT32_MAX bytes per call; the frame ends well before. */
        size_t left = size - pos;
        FrameInput in = {data + pos, (uint32_t)(left < INT32_MAX ? left : INT32_MAX)};
        FrameInfo info;
        int32_t rc = Kavrel_Start(h, &in, &info);
        if (rc < 0 || info.consumed == 0) {
            /* Rejected (README.md, "Result codes"); the handle stays usable.
             * Resume at the start code after the one this unit began with. */
            if (rc < 0) ++*rejected;
            pos = next_start_code(data, size, next_start_code(data, size, pos) + 3);
            continue;
        }
        ++*parsed; /* info.width, info.height, info.picture_type, ... */
        pos += info.consumed;
    }
    Kavrel_Close(h);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE.h264\n", argv[0]);
        return 2;
    }
    FILE* f = fopen(argv[1], "rb");
    if (!f) {
        perror(argv[1]);
        return 1;
    }
    size_t size = 0, capacity = 1 << 16;
    uint8_t* data = malloc(capacity);
    for (size_t n; data && (n = fread(data + size, 1, capacity - size, f)) > 0;) {
        size += n;
        if (size == capacity) {
            uint8_t* more = realloc(data, capacity *= 2);
            if (!more) free(data);
            data = more;
        }
    }
    fclose(f);
    if (!data) {
        fprintf(stderr, "%s: out of memory\n", argv[1]);
        return 1;
    }
    size_t parsed = 0, rejected = 0;
    parse_stream(data, size, &parsed, &rejected);
    free(data);
    printf("kavrel %s: %zu access units parsed, %zu rejected\n", KAVREL_VERSION_STRING, parsed, rejected);
    return rejected ? 1 : 0;
}
