// The ceiling of the parse benchmarks: every start code 00 00 01 found and
// the header byte behind it read (counted by nal_unit_type), nothing else.
// No parser that has to find every NAL unit can read less of the stream.
#include "bench_common.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace kavrel_bench {

namespace {

inline void count_header(const uint8_t* p, size_t k, TypeCounts& counts) { ++counts[p[k + 3] & 0x1f]; }

}  // namespace

// Plain bytes: the reference count, and the tail of the vector scan.
void ceiling_tail(const uint8_t* p, size_t size, size_t s, TypeCounts& counts) {
    for (; s + 3 < size; ++s) {
        if (p[s] == 0 && p[s + 1] == 0 && p[s + 2] == 1) count_header(p, s, counts);
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
namespace {

// 64 positions per step: a zero pair at k (p[k] and p[k+1] both 0) is
// looked at further only when p[k+2] is 1; zero pairs are rare in slice data.
__attribute__((target("avx2"))) void ceiling_avx2(const uint8_t* p, size_t size, TypeCounts& counts) {
    const __m256i zero = _mm256_setzero_si256();
    size_t s = 0;
    for (; s + 67 <= size; s += 64) {
        const uint8_t* q = p + s;
        const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
        const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 1));
        const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32));
        const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 33));
        const __m256i z0 = _mm256_cmpeq_epi8(_mm256_or_si256(a0, b0), zero);
        const __m256i z1 = _mm256_cmpeq_epi8(_mm256_or_si256(a1, b1), zero);
        if (_mm256_movemask_epi8(_mm256_or_si256(z0, z1)) == 0) continue;
        uint64_t m = static_cast<uint32_t>(_mm256_movemask_epi8(z0)) |
                     (static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(z1))) << 32);
        for (; m != 0; m &= m - 1) {
            const size_t k = s + static_cast<size_t>(__builtin_ctzll(m));
            if (p[k + 2] == 1) count_header(p, k, counts);
        }
    }
    ceiling_tail(p, size, s, counts);
}

}  // namespace
#endif

void ceiling_scan(const uint8_t* p, size_t size, TypeCounts& counts) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (__builtin_cpu_supports("avx2")) return ceiling_avx2(p, size, counts);
#endif
    ceiling_tail(p, size, 0, counts);
}

}  // namespace kavrel_bench
