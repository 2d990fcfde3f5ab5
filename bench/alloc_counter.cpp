// Counts heap calls around the synthesis calls, so that the benchmark can
// report what each call allocates. The process's malloc, calloc and realloc
// are interposed here and forwarded to glibc's own entry points; counting
// is off except inside the measured synthesis loops.
#include <atomic>
#include <cstddef>

#include "bench_common.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
}

namespace {

std::atomic<bool> g_counting{false};
std::atomic<int64_t> g_calls{0};
std::atomic<int64_t> g_largest{0};

void note(size_t size) {
    if (!g_counting.load(std::memory_order_relaxed)) return;
    g_calls.fetch_add(1, std::memory_order_relaxed);
    const auto s = static_cast<int64_t>(size);
    int64_t prev = g_largest.load(std::memory_order_relaxed);
    while (s > prev && !g_largest.compare_exchange_weak(prev, s, std::memory_order_relaxed)) {
    }
}

}  // namespace

extern "C" {
void* malloc(size_t size) {
    note(size);
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    note(count * size);
    return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) {
    note(size);
    return __libc_realloc(p, size);
}
}

namespace kavrel_bench {

void alloc_counting(bool on) { g_counting.store(on, std::memory_order_relaxed); }

AllocStats alloc_stats() { return AllocStats{g_calls.load(), g_largest.load()}; }

void alloc_reset() {
    g_calls.store(0);
    g_largest.store(0);
}

}  // namespace kavrel_bench
