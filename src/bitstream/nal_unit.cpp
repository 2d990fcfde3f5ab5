#include "bitstream/nal_unit.h"

#include <cstdlib>
#include <cstring>

#include "common/diagnostics.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KAVREL_SCAN_SSE2 1
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KAVREL_SCAN_AVX2 1  // chosen at run time where the processor has it
#endif

namespace kavrel {

namespace {

// p[s] and p[s+1] are 0: does a start code, zero run or escape begin at s?
inline bool pattern_at(const uint8_t* p, int32_t s) { return p[s + 2] <= 3; }

// The candidates of a 64-bit mask of zero pairs from s on, in order.
inline int32_t first_pattern(const uint8_t* p, int32_t s, uint64_t m) {
    while (m != 0) {
        const int32_t k = s + __builtin_ctzll(m);
        if (pattern_at(p, k)) return k;
        m &= m - 1;
    }
    return -1;
}

int32_t find_words(const uint8_t* p, int32_t size, int32_t s) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHighs = 0x8080808080808080ull;
    // Eight candidate positions per step: bytes s .. s+8 are compared in
    // pairs, and p[s+9] is the third byte of the last candidate.
    while (s + 10 <= size) {
        uint64_t a;
        uint64_t b;
        std::memcpy(&a, p + s, 8);
        std::memcpy(&b, p + s + 1, 8);
        const uint64_t t = a | b;  // a zero byte where both bytes of a pair are zero
        if (((t - kOnes) & ~t & kHighs) != 0) {
            for (int32_t k = s; k < s + 8; ++k) {
                if (p[k] == 0 && p[k + 1] == 0 && pattern_at(p, k)) return k;
            }
        }
        s += 8;
    }
    for (; s + 2 < size; ++s) {
        if (p[s] == 0 && p[s + 1] == 0 && pattern_at(p, s)) return s;
    }
    return -1;
}

// How far ahead of the scan its bytes are asked for (never past the
// input): the scan of a long stream waits for memory, and the processor's
// own prefetching, interrupted at every NAL unit, keeps too little in
// flight. 2 KB measured best here (1 KB to 4 KB within a few per cent).
constexpr int32_t kPrefetchAhead = 2048;

#ifdef KAVREL_SCAN_SSE2
inline __m128i zero_pairs(const uint8_t* q) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 1));
    return _mm_cmpeq_epi8(_mm_or_si128(a, b), _mm_setzero_si128());
}

inline uint64_t mask16(__m128i z) { return static_cast<uint32_t>(_mm_movemask_epi8(z)); }

int32_t find_sse2(const uint8_t* p, int32_t size, int32_t s) {
    // 64 candidate positions per step (bytes s .. s+64 compared in pairs,
    // p[s+65] the third byte of the last). Zero pairs are rare in coded
    // slice data, so most steps end at one combined test.
    while (s + 66 <= size) {
        if (s + kPrefetchAhead < size) __builtin_prefetch(p + s + kPrefetchAhead);
        const __m128i z0 = zero_pairs(p + s);
        const __m128i z1 = zero_pairs(p + s + 16);
        const __m128i z2 = zero_pairs(p + s + 32);
        const __m128i z3 = zero_pairs(p + s + 48);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(z0, z1), _mm_or_si128(z2, z3))) != 0) {
            const uint64_t m = mask16(z0) | (mask16(z1) << 16) | (mask16(z2) << 32) | (mask16(z3) << 48);
            const int32_t k = first_pattern(p, s, m);
            if (k >= 0) return k;
        }
        s += 64;
    }
    // Then 16 at a time.
    while (s + 18 <= size) {
        const int32_t k = first_pattern(p, s, mask16(zero_pairs(p + s)));
        if (k >= 0) return k;
        s += 16;
    }
    return find_words(p, size, s);
}
#endif

#ifdef KAVREL_SCAN_AVX2
__attribute__((target("avx2"))) int32_t find_avx2(const uint8_t* p, int32_t size, int32_t s) {
    const __m256i zero = _mm256_setzero_si256();
    while (s + 66 <= size) {
        const uint8_t* q = p + s;
        if (s + kPrefetchAhead < size) __builtin_prefetch(q + kPrefetchAhead);
        const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
        const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 1));
        const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32));
        const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 33));
        const __m256i z0 = _mm256_cmpeq_epi8(_mm256_or_si256(a0, b0), zero);
        const __m256i z1 = _mm256_cmpeq_epi8(_mm256_or_si256(a1, b1), zero);
        if (_mm256_movemask_epi8(_mm256_or_si256(z0, z1)) != 0) {
            const uint64_t m = static_cast<uint32_t>(_mm256_movemask_epi8(z0)) |
                               (static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(z1))) << 32);
            const int32_t k = first_pattern(p, s, m);
            if (k >= 0) return k;
        }
        s += 64;
    }
    // The compiler clears the upper YMM halves on every return but not
    // before this tail call: without it the host would go on with the AVX
    // upper state in use, and its legacy-SSE code would pay for it.
    _mm256_zeroupper();
    return find_sse2(p, size, s);
}
#endif

}  // namespace

bool zero_pair_scan_available(ZeroPairScan kind) {
    switch (kind) {
    case ZeroPairScan::kWords:
        return true;
    case ZeroPairScan::kSse2:
#ifdef KAVREL_SCAN_SSE2
        return true;
#else
        return false;
#endif
    case ZeroPairScan::kAvx2:
#ifdef KAVREL_SCAN_AVX2
        return __builtin_cpu_supports("avx2");
#else
        return false;
#endif
    }
    return false;
}

int32_t find_zero_pair_with(ZeroPairScan kind, const uint8_t* p, int32_t size, int32_t from) {
    switch (kind) {
#ifdef KAVREL_SCAN_AVX2
    case ZeroPairScan::kAvx2:
        if (__builtin_cpu_supports("avx2")) return find_avx2(p, size, from);
        break;
#endif
#ifdef KAVREL_SCAN_SSE2
    case ZeroPairScan::kSse2:
        return find_sse2(p, size, from);
#endif
    default:
        break;
    }
    return find_words(p, size, from);
}

int32_t find_zero_pair(const uint8_t* p, int32_t size, int32_t from) {
#ifdef KAVREL_SCAN_AVX2
    if (__builtin_cpu_supports("avx2")) return find_avx2(p, size, from);
#endif
#ifdef KAVREL_SCAN_SSE2
    return find_sse2(p, size, from);
#else
    return find_words(p, size, from);
#endif
}

int32_t rbsp_bit_count(const uint8_t* rbsp, int32_t len) {
    if (len > 0 && rbsp[len - 1] == 0) --len;
    if (len == 0) return 0;
    return nal_unit_detail::bits_before_stop(len, rbsp[len - 1]);
}

void rbsp_source_init(RbspSource& source, const uint8_t* payload, const NalExtent& extent, uint8_t* buffer) {
    source.payload = payload;
    source.payload_len = extent.payload_len;
    source.next = 0;
    source.zeros = 0;
    source.rbsp = buffer;
    source.rbsp_len = extent.rbsp_len();
    source.ready = 0;
}

void rbsp_fill(RbspSource& source, int32_t upto) {
    if (upto <= source.ready) return;
    // A little ahead of the request: headers are read a few bits at a time.
    int32_t target = upto + 12;
    if (target > source.rbsp_len) target = source.rbsp_len;
    const uint8_t* p = source.payload;
    int32_t next = source.next;
    int32_t zeros = source.zeros;
    int32_t ready = source.ready;
    // Within the unit no 00 00 00/01/02 occurs, so a 03 after two zeros is
    // always an emulation_prevention_three_byte (clause 7.4.1.1). Eight
    // bytes without a zero among them are copied as they are (an escape
    // needs two zeros before it, so none can be among them unless the first
    // is a 03 after two zeros).
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHighs = 0x8080808080808080ull;
    while (ready < target) {
        if (ready + 8 <= target) {  // then p[next .. next+8) lies within the payload
            uint64_t w;
            std::memcpy(&w, p + next, 8);
            if (((w - kOnes) & ~w & kHighs) == 0 && !(zeros >= 2 && p[next] == 3)) {
                std::memcpy(source.rbsp + ready, &w, 8);
                ready += 8;
                next += 8;
                zeros = 0;
                continue;
            }
        }
        const uint8_t b = p[next++];
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        source.rbsp[ready++] = b;
        zeros = b == 0 ? zeros + 1 : 0;
    }
    source.next = next;
    source.zeros = zeros;
    source.ready = ready;
}

bool check_nal_header(NalUnitState* handle, uint8_t header) {
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
    if (nal_ref_idc == 0 && nal_unit_type == 5) {
        static_cast<void>(refuse(Status::kNal, "[VsKavrel]:IDR nal with nal_ref_idc(0)\n"));
        return false;
    }
    if (nal_unit_type == 0 || nal_unit_type >= 24) {
        diag("[VsKavrel]:the nal unit type is unspecified, %d\n", nal_unit_type);
    }
    if (nal_unit_type == 22 || nal_unit_type == 23) {
        diag("[VsKavrel]:the nal unit type is reserved, %d\n", nal_unit_type);
    }
    return true;
}

uint8_t* read_nal_unit(NalUnitState* handle, const uint8_t* nal, int32_t* rbsp_len, int32_t* consumed,
                       int32_t length, uint8_t* buffer) {
    if (!check_nal_header(handle, nal[0])) return nullptr;

    const uint8_t* p = nal + 1;
    const int32_t size = length - 1;
    if (!buffer) return nullptr;

    // The unit ends before the first 00 00 00, 00 00 01 or 00 00 02 of its
    // payload; each 00 00 03 loses its 03 (clause 7.4.1.1). The bytes
    // between those places are copied in blocks.
    int32_t s = 0;
    int32_t d = 0;
    for (;;) {
        const int32_t k = find_zero_pair(p, size, s);
        const int32_t stop = k < 0 ? (size > s ? size : s) : k;
        std::memcpy(buffer + d, p + s, static_cast<size_t>(stop - s));
        d += stop - s;
        s = stop;
        if (k < 0 || p[k + 2] != 3) break;
        buffer[d++] = 0;
        buffer[d++] = 0;
        s = k + 3;
    }
    *rbsp_len = d;
    *consumed = s + 1;
    return buffer;
}

bool param_set_copies_open(ParamSetCopies* copies) {
    copies->ps_data[0] = static_cast<uint8_t*>(std::malloc(kParamSetInitialSize));
    copies->ps_data[1] = static_cast<uint8_t*>(std::malloc(kParamSetInitialSize));
    return copies->ps_data[0] && copies->ps_data[1];
}

void param_set_copies_close(ParamSetCopies* copies) {
    std::free(copies->ps_data[1]);
    std::free(copies->ps_data[0]);
    copies->ps_data[0] = nullptr;
    copies->ps_data[1] = nullptr;
}

Status store_param_set(ParamSetCopies* handle, const uint8_t* bytes, int32_t len, int index) {
    handle->ps_size[index] = 0;
    if (!handle->ps_data[index]) return Status::kOk;
    if (len > kParamSetInitialSize) {
        diag("[VsKavrel]:WARNING: ps(%d) length is greater than %d bytes\n", index, len);
        void* grown = std::realloc(handle->ps_data[index], static_cast<size_t>(len));
        if (!grown) {
            std::free(handle->ps_data[index]);
            handle->ps_data[index] = nullptr;
            return refuse(Status::kParamSetMemory, "[VsKavrel]:ERROR: get ps(%d) fail\n", index);
        }
        handle->ps_data[index] = static_cast<uint8_t*>(grown);
    }
    if (len > 0) std::memcpy(handle->ps_data[index], bytes, static_cast<size_t>(len));
    handle->ps_size[index] = static_cast<uint32_t>(len);
    return Status::kOk;
}

}  // namespace kavrel
