// Diagnostics: one formatted write to standard output per event, flushed at
// once so that a host on another C runtime sees the lines in order.
#pragma once

#include <cstdio>

namespace kavrel {

template <typename... Args>
inline void diag(const char* format, Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        std::fputs(format, stdout);
    } else {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
        std::printf(format, args...);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    }
    std::fflush(stdout);
}

// "[VsKavrel]:<function>:<line>: Error: NULL Pointer"
#define KAVREL_NULL_POINTER() ::kavrel::diag("[VsKavrel]:%s:%d: Error: NULL Pointer\n\n", __func__, __LINE__)

}  // namespace kavrel
