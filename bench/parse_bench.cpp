// Whole-stream parse throughput: the Kavrel_Start frame loop, GStreamer's
// H.264 codec parser (every NAL unit identified; every SPS, PPS and slice
// header parsed), FFmpeg's av_parser_parse2, memcpy of the same bytes, and
// the ceiling: a start-code scan that reads each NAL header byte and
// nothing more. Each reports bytes/s and frames/s; frames are the stream's
// access units.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

extern "C" {
#include <gst/codecparsers/gsth264parser.h>
#include <libavcodec/avcodec.h>
}

#include "bench_common.h"
#include "kavrel.h"

namespace kavrel_bench {

namespace {

void report(benchmark::State& state, const Stream& s) {
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(s.bytes.size()));
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(s.frames), benchmark::Counter::kIsIterationInvariantRate);
}

// The frame loop of an application: one Kavrel_Start per access unit, each
// given the rest of the stream.
// Heap calls made by Kavrel_Start over a whole stream (after Kavrel_Open):
// the one growth of the scratch buffer to the size of the input given.
int64_t kavrel_heap_calls(const Stream& s) {
    ParserHandle* h = Kavrel_Open();
    alloc_reset();
    alloc_counting(true);
    size_t pos = 0;
    while (pos + 3 < s.bytes.size()) {
        const FrameInput input{s.bytes.data() + pos, static_cast<uint32_t>(s.bytes.size() - pos)};
        FrameInfo info;
        if (Kavrel_Start(h, &input, &info) < 0 || info.consumed == 0) break;
        pos += info.consumed;
    }
    alloc_counting(false);
    Kavrel_Close(h);
    return alloc_stats().calls;
}

void count_line(void* opaque, const char*) { ++*static_cast<int64_t*>(opaque); }

// The loop of a host that reads a pipe 64 KiB at a time: Kavrel_Start_Stream
// on what has arrived, 64 KiB more after each "need more data"; the frames.
int64_t walk_live(ParserHandle* h, const uint8_t* data, size_t size) {
    constexpr size_t kPiece = 64 * 1024;
    size_t pos = 0, have = 0;
    int64_t frames = 0;
    while (pos + 3 < size) {
        if (have == pos) have = std::min(size, have + kPiece);
        const FrameInput input{data + pos, static_cast<uint32_t>(have - pos)};
        FrameInfo info;
        const int32_t rc = Kavrel_Start_Stream(h, &input, &info, have < size);
        if (rc == KAVREL_NEED_MORE_DATA) {
            have = std::min(size, have + kPiece);
            continue;
        }
        if (rc < 0 || info.consumed == 0) break;
        pos += info.consumed;
        ++frames;
    }
    return frames;
}

// `quiet`: the host takes the diagnostics through Kavrel_Set_Log_Callback
// (counting them) instead of the library printing each to stdout. `live`:
// the bytes arrive 64 KiB at a time (walk_live).
void bm_kavrel(benchmark::State& state, const Stream* s, bool quiet, bool live) {
    const uint8_t* data = s->bytes.data();
    const size_t size = s->bytes.size();
    const int64_t heap_calls = kavrel_heap_calls(*s);
    int64_t lines = 0;
    if (quiet) Kavrel_Set_Log_Callback(count_line, &lines);
    for (auto _ : state) {
        ParserHandle* h = Kavrel_Open();
        size_t pos = live ? size : 0;
        int64_t frames = live ? walk_live(h, data, size) : 0;
        while (pos + 3 < size) {
            const FrameInput input{data + pos, static_cast<uint32_t>(size - pos)};
            FrameInfo info;
            if (Kavrel_Start(h, &input, &info) < 0 || info.consumed == 0) break;
            pos += info.consumed;
            ++frames;
        }
        Kavrel_Close(h);
        if (frames != s->frames) {
            state.SkipWithError("Kavrel_Start lost its way in the stream");
            break;
        }
        benchmark::DoNotOptimize(frames);
    }
    if (quiet) Kavrel_Set_Log_Callback(nullptr, nullptr);
    report(state, *s);
    state.counters["heap_calls"] = static_cast<double>(heap_calls);
}

void bm_gstreamer(benchmark::State& state, const Stream* s) {
    const uint8_t* data = s->bytes.data();
    const gsize size = s->bytes.size();
    for (auto _ : state) {
        GstH264NalParser* parser = gst_h264_nal_parser_new();
        GstH264NalUnit nalu;
        guint offset = 0;
        int64_t slices = 0;
        int64_t failures = 0;
        for (;;) {
            const GstH264ParserResult found = gst_h264_parser_identify_nalu(parser, data, offset, size, &nalu);
            if (found != GST_H264_PARSER_OK && found != GST_H264_PARSER_NO_NAL_END) break;
            switch (nalu.type) {
            case GST_H264_NAL_SPS: {
                GstH264SPS sps;
                if (gst_h264_parser_parse_sps(parser, &nalu, &sps) != GST_H264_PARSER_OK) ++failures;
                else gst_h264_sps_clear(&sps);
                break;
            }
            case GST_H264_NAL_PPS: {
                GstH264PPS pps;
                if (gst_h264_parser_parse_pps(parser, &nalu, &pps) != GST_H264_PARSER_OK) ++failures;
                else gst_h264_pps_clear(&pps);
                break;
            }
            case GST_H264_NAL_SLICE:
            case GST_H264_NAL_SLICE_IDR: {
                GstH264SliceHdr slice;
                if (gst_h264_parser_parse_slice_hdr(parser, &nalu, &slice, TRUE, TRUE) != GST_H264_PARSER_OK)
                    ++failures;
                ++slices;
                break;
            }
            default:
                break;
            }
            offset = nalu.offset + nalu.size;
            if (found == GST_H264_PARSER_NO_NAL_END) break;
        }
        gst_h264_nal_parser_free(parser);
        if (failures != 0 || slices < s->frames) {
            state.SkipWithError("GStreamer's parser failed on the stream");
            break;
        }
        benchmark::DoNotOptimize(slices);
    }
    report(state, *s);
}

void bm_ffmpeg(benchmark::State& state, const Stream* s) {
    for (auto _ : state) {
        AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H264);
        AVCodecContext* ctx = avcodec_alloc_context3(nullptr);
        const uint8_t* in = s->bytes.data();
        int left = static_cast<int>(s->bytes.size());
        int64_t frames = 0;
        uint8_t* out = nullptr;
        int out_size = 0;
        while (left > 0) {
            const int used = av_parser_parse2(parser, ctx, &out, &out_size, in, left, AV_NOPTS_VALUE,
                                              AV_NOPTS_VALUE, 0);
            in += used;
            left -= used;
            if (out_size > 0) ++frames;
        }
        av_parser_parse2(parser, ctx, &out, &out_size, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (out_size > 0) ++frames;
        av_parser_close(parser);
        avcodec_free_context(&ctx);
        if (frames != s->frames) {
            state.SkipWithError("av_parser_parse2 found another number of frames");
            break;
        }
        benchmark::DoNotOptimize(frames);
    }
    report(state, *s);
}

void bm_ceiling(benchmark::State& state, const Stream* s) {
    TypeCounts expected{};
    ceiling_tail(s->bytes.data(), s->bytes.size(), 0, expected);
    for (auto _ : state) {
        TypeCounts counts{};
        ceiling_scan(s->bytes.data(), s->bytes.size(), counts);
        if (counts != expected) {
            state.SkipWithError("the start-code scan missed a NAL unit");
            break;
        }
        benchmark::DoNotOptimize(counts.data());
    }
    report(state, *s);
}

void bm_memcpy(benchmark::State& state, const Stream* s) {
    std::vector<uint8_t> copy(s->bytes.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), s->bytes.data(), s->bytes.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    report(state, *s);
}

}  // namespace

void register_parse_benchmarks(const std::vector<Stream>& streams, size_t count) {
    for (size_t i = 0; i < count && i < streams.size(); ++i) {
        const Stream& s = streams[i];
        const std::string base = "parse/" + s.name + "/";
        benchmark::RegisterBenchmark((base + "kavrel").c_str(), bm_kavrel, &s, false, false)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((base + "kavrel_callback").c_str(), bm_kavrel, &s, true, false)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((base + "kavrel_live").c_str(), bm_kavrel, &s, false, true)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((base + "kavrel_live_callback").c_str(), bm_kavrel, &s, true, true)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((base + "gstreamer").c_str(), bm_gstreamer, &s)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((base + "ffmpeg").c_str(), bm_ffmpeg, &s)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((base + "memcpy").c_str(), bm_memcpy, &s)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((base + "ceiling").c_str(), bm_ceiling, &s)->Unit(benchmark::kMillisecond);
    }
}

}  // namespace kavrel_bench
