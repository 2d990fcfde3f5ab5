// Synthesis calls at 1080p: the repeat frame (CAVLC and CABAC streams) and
// the SPS written again with a new frame rate. Each benchmark also reports
// what one call asks of the heap (counted outside the timed loop).
#include <benchmark/benchmark.h>

#include <string>

#include "bench_common.h"
#include "kavrel.h"

namespace kavrel_bench {

namespace {

// A handle that has parsed the first `count` frames of a stream.
ParserHandle* parsed_handle(const Stream& s, int count) {
    ParserHandle* h = Kavrel_Open();
    const size_t size = s.bytes.size();
    size_t pos = 0;
    for (int i = 0; i < count && pos + 3 < size; ++i) {
        const FrameInput input{s.bytes.data() + pos, static_cast<uint32_t>(size - pos)};
        FrameInfo info{};
        if (Kavrel_Start(h, &input, &info) < 0 || info.consumed == 0) break;
        pos += info.consumed;
    }
    return h;
}

template <typename Call>
void run_synth(benchmark::State& state, const Stream* s, Call call) {
    ParserHandle* h = parsed_handle(*s, 10);
    std::vector<uint8_t> out(1 << 20);
    const auto capacity = static_cast<uint32_t>(out.size());

    alloc_reset();
    alloc_counting(true);
    const int32_t first = call(h, out.data(), capacity);
    alloc_counting(false);
    const AllocStats heap = alloc_stats();
    if (first <= 0) {
        state.SkipWithError("the synthesis call wrote nothing");
        Kavrel_Close(h);
        return;
    }

    for (auto _ : state) {
        const int32_t n = call(h, out.data(), capacity);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    Kavrel_Close(h);
    state.SetBytesProcessed(state.iterations() * first);
    state.counters["unit_bytes"] = first;
    state.counters["heap_calls"] = static_cast<double>(heap.calls);
    state.counters["largest_alloc"] = static_cast<double>(heap.largest);
}

void bm_double_frame(benchmark::State& state, const Stream* s) {
    run_synth(state, s, [](ParserHandle* h, uint8_t* out, uint32_t capacity) {
        return H264_Enc_Double_Frame_Sized(h, out, capacity);
    });
}

void bm_iframe_rate(benchmark::State& state, const Stream* s) {
    run_synth(state, s, [](ParserHandle* h, uint8_t* out, uint32_t capacity) {
        return H264_Enc_Iframe_Rate(h, out, capacity, 50, 1);
    });
}

const Stream* find(const std::vector<Stream>& streams, const std::string& prefix) {
    for (const Stream& s : streams)
        if (s.name.rfind(prefix, 0) == 0) return &s;
    return nullptr;
}

}  // namespace

void register_synth_benchmarks(const std::vector<Stream>& streams) {
    const Stream* cavlc = find(streams, "e_");  // 1080p Baseline
    const Stream* cabac = find(streams, "a_");  // 1080p High CABAC
    if (cavlc) {
        benchmark::RegisterBenchmark("synth/double_frame/cavlc_1080p", bm_double_frame, cavlc);
        benchmark::RegisterBenchmark("synth/iframe_rate/1080p_baseline", bm_iframe_rate, cavlc);
    }
    if (cabac) {
        benchmark::RegisterBenchmark("synth/double_frame/cabac_1080p", bm_double_frame, cabac);
        benchmark::RegisterBenchmark("synth/iframe_rate/1080p_high", bm_iframe_rate, cabac);
    }
}

}  // namespace kavrel_bench
