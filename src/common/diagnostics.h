// Diagnostics: every event is one formatted line handed to the process-wide
// sink: standard output (flushed at once on Windows, where a host may use
// another C runtime and stdout buffer), or the host's callback when one is set.
#pragma once

#include <cstdio>

#include "common/status.h"

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

// While one is alive, the first refusal printed on this thread (see
// refuse) is kept as the reason of the call it belongs to: the text as
// printed, without the "[VsKavrel]:" tag and the line ends.
class RefusalNote {
public:
    RefusalNote();
    ~RefusalNote();
    RefusalNote(const RefusalNote&) = delete;
    RefusalNote& operator=(const RefusalNote&) = delete;
    const char* text() const { return text_; }

private:
    friend void emit_refusal(const char* text);
    RefusalNote* outer_;
    char text_[256] = {};
};

// Hands a refusal's text to the sink and to the RefusalNote alive, if any.
void emit_refusal(const char* text);

// Sets the sink: the callback and its opaque pointer, or standard output
// when fn is null.
void set_diagnostic_sink(void (*fn)(void* opaque, const char* text), void* opaque);

namespace diagnostics_detail {
template <typename... Args>
inline void format(char (&text)[512], const char* fmt, Args... args) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
    std::snprintf(text, sizeof text, fmt, args...);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}
}  // namespace diagnostics_detail

template <typename... Args>
inline void diag(const char* format, Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        emit_diagnostic(format);
    } else {
        char text[512];
        diagnostics_detail::format(text, format, args...);
        emit_diagnostic(text);
    }
}

// Prints the message of a failure and returns its result `st`: the line
// the call's RefusalNote keeps as its reason.
template <typename... Args>
inline Status refuse(Status st, const char* format, Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        emit_refusal(format);
    } else {
        char text[512];
        diagnostics_detail::format(text, format, args...);
        emit_refusal(text);
    }
    return st;
}

// "[VsKavrel]:<function>:<line>: Error: NULL Pointer"
#define KAVREL_NULL_POINTER() ::kavrel::diag("[VsKavrel]:%s:%d: Error: NULL Pointer\n\n", __func__, __LINE__)

}  // namespace kavrel
