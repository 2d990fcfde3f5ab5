/*
 * differential_dump: prints everything the library's interface reports for
 * one stream, so that two builds can be compared with diff
 * (scripts/differential.sh). Uses only kavrel.h.
 *
 *   differential_dump STREAM.h264
 *
 * The stream is walked as an application does: Kavrel_Start on the rest of
 * the stream, then the bytes taken are skipped. After a failure the walk
 * goes on at the next start code. Per call it prints the result, every
 * diagnostic (through the log callback), every FrameInfo field with the
 * SPS/PPS bytes, and the units H264_Enc_Iframe_Rate,
 * H264_Enc_Double_Frame_Sized and Kavrel_enc_h264Correct (both modes) write.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kavrel.h"

static void log_line(void* opaque, const char* message) {
    (void)opaque;
    printf("  log: ");
    for (const char* c = message; *c; ++c) {
        if (*c == '\n') printf("\\n");
        else putchar(*c);
    }
    putchar('\n');
}

static void print_bytes(const char* label, const uint8_t* p, long n) {
    printf("  %s(%ld):", label, n);
    if (!p) {
        printf(" null\n");
        return;
    }
    /* Long outputs (corrected frames) as a hash; short ones in full. */
    if (n > 256) {
        uint64_t h = 1469598103934665603ull;
        for (long i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
        printf(" fnv %016llx\n", (unsigned long long)h);
        return;
    }
    for (long i = 0; i < n; ++i) printf(" %02x", p[i]);
    putchar('\n');
}

static void print_info(const FrameInfo* f) {
    printf("  info: w %d h %d type %d consumed %u rate %u refs %u structure %d coded %dx%d field %u\n",
           f->width, f->height, f->picture_type, f->consumed, f->frame_rate, f->ref_frame_count,
           f->picture_structure, f->coded_width, f->coded_height, f->field_pic_flag);
    print_bytes("sps", f->sps_data, f->sps_data ? (long)f->sps_size : 0);
    print_bytes("pps", f->pps_data, f->pps_data ? (long)f->pps_size : 0);
}

static uint8_t out[1 << 16];

static void synthesise(ParserHandle* h) {
    int32_t n = H264_Enc_Iframe_Rate(h, out, sizeof out, 50, 1);
    printf("  iframe_rate 50/1: %d\n", n);
    if (n > 0) print_bytes("unit", out, n);
    n = H264_Enc_Iframe_Rate(h, out, sizeof out, 30000, 1001);
    printf("  iframe_rate 30000/1001: %d\n", n);
    if (n > 0) print_bytes("unit", out, n);
    n = H264_Enc_Double_Frame_Sized(h, out, sizeof out);
    printf("  double: %d\n", n);
    if (n > 0) print_bytes("unit", out, n);
}

static void correct(const uint8_t* frame, uint32_t len, int32_t mode, uint32_t sar_width, uint32_t sar_height) {
    uint32_t capacity = len + 4096;
    uint8_t* cure = malloc(capacity);
    if (!cure) return;
    CorrectionRequest r;
    memset(&r, 0, sizeof r);
    r.OrgFrameLength = len;
    r.org_frame = frame;
    r.cureFrameLength = capacity;
    r.cure_frame = cure;
    r.correction_mode = mode;
    r.sar_width = sar_width;
    r.sar_height = sar_height;
    const int32_t rc = Kavrel_enc_h264Correct(&r);
    printf("  correct mode %d sar %u:%u: %d corrected %d length %u\n", mode, sar_width, sar_height, rc, r.corrected,
           r.cureFrameLength);
    if (r.corrected == 1 && r.cureFrameLength <= capacity) print_bytes("cure", cure, r.cureFrameLength);
    free(cure);
}

/* The next start code 00 00 01 after `from`, or `size`. */
static size_t next_start(const uint8_t* p, size_t size, size_t from) {
    for (size_t i = from; i + 2 < size; ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) return i;
    }
    return size;
}

static int walk(const uint8_t* data, size_t size) {
    ParserHandle* h = Kavrel_Open();
    if (!h) return 1;
    size_t pos = 0;
    for (long call = 0; pos + 3 < size; ++call) {
        FrameInput in = {data + pos, (uint32_t)(size - pos)};
        FrameInfo info;
        memset(&info, 0xa5, sizeof info);
        printf("call %ld at %zu\n", call, pos);
        const int32_t rc = Kavrel_Start(h, &in, &info);
        printf("  rc %d\n", rc);
        print_info(&info);
        synthesise(h);
        const uint32_t len = info.consumed > 0 ? info.consumed : (uint32_t)(size - pos < 4096 ? size - pos : 4096);
        correct(data + pos, len, 1, 4, 3);
        correct(data + pos, len, 2, 4, 3);
        correct(data + pos, len, 2, 0, 0); /* the aspect ratio of the frame's sets, else the display size */
        pos = info.consumed > 0 ? pos + info.consumed : next_start(data, size, pos + 1);
    }
    Kavrel_Close(h);
    return 0;
}

/* The refusals of null arguments, whose messages name a function and a
 * source line. */
static void null_arguments(void) {
    ParserHandle* h = Kavrel_Open();
    FrameInput in = {NULL, 4};
    FrameInfo info;
    CorrectionRequest r;
    memset(&info, 0, sizeof info);
    memset(&r, 0, sizeof r);
    printf("null arguments\n");
    Kavrel_Close(NULL);
    printf("  start: %d", Kavrel_Start(NULL, &in, &info));
    printf(" %d", Kavrel_Start(h, NULL, &info));
    printf(" %d", Kavrel_Start(h, &in, NULL));
    printf(" %d\n", Kavrel_Start(h, &in, &info));
    printf("  correct: %d", Kavrel_enc_h264Correct(NULL));
    printf(" %d\n", Kavrel_enc_h264Correct(&r));
    printf("  iframe: %d %d", H264_Enc_Iframe(NULL, NULL), H264_Enc_Iframe(h, NULL));
    printf(" %d\n", H264_Enc_Iframe_Rate(NULL, out, sizeof out, 25, 1));
    printf("  double: %d %d", H264_Enc_Double_Frame(NULL, out), H264_Enc_Double_Frame(h, NULL));
    printf(" %d\n", H264_Enc_Double_Frame_Sized(NULL, out, sizeof out));
    Kavrel_Close(h);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: differential_dump STREAM\n");
        return 2;
    }
    FILE* f = fopen(argv[1], "rb");
    if (!f) {
        perror(argv[1]);
        return 1;
    }
    fseek(f, 0, SEEK_END);
    const long size = ftell(f);
    fseek(f, 0, SEEK_SET);
    uint8_t* data = malloc(size > 0 ? (size_t)size : 1);
    if (!data || fread(data, 1, (size_t)size, f) != (size_t)size) return 1;
    fclose(f);
    Kavrel_Set_Log_Callback(log_line, NULL);
    null_arguments();
    const int rc = walk(data, (size_t)size);
    free(data);
    return rc;
}
