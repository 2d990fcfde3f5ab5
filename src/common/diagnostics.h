// Diagnostics: every event is one formatted line handed to the process-wide
// sink: standard output (flushed at once on Windows, where a host may use
// another C runtime and stdout buffer), or the host's callback when one is set.
#pragma once

#include <cstdio>

namespace kavrel {

// Hands one finished diagnostic text to the sink.
void emit_diagnostic(const char* text);

// While one is alive, this thread's diagnostics are dropped: for readers
// that describe a unit on the side, outside the parse a host sees.
class MutedDiagnostics {
public:
    MutedDiagnostics();
    ~MutedDiagnostics();
    MutedDiagnostics(const MutedDiagnostics&) = delete;
    MutedDiagnostics& operator=(const MutedDiagnostics&) = delete;
};

// Sets the sink: the callback and its opaque pointer, or standard output
// when fn is null.
void set_diagnostic_sink(void (*fn)(void* opaque, const char* text), void* opaque);

template <typename... Args>
inline void diag(const char* format, Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        emit_diagnostic(format);
    } else {
        char text[512];
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
        std::snprintf(text, sizeof text, format, args...);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
        emit_diagnostic(text);
    }
}

// "[VsKavrel]:<function>:<line>: Error: NULL Pointer"
#define KAVREL_NULL_POINTER() ::kavrel::diag("[VsKavrel]:%s:%d: Error: NULL Pointer\n\n", __func__, __LINE__)

}  // namespace kavrel
