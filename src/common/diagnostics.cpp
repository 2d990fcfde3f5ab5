// The diagnostic sink: standard output, or the callback a host set with
// Kavrel_Set_Log_Callback (set_diagnostic_sink). The pair is read and replaced under one lock; the
// callback itself runs outside it, so it may set a new sink.
#include "common/diagnostics.h"

#include <mutex>

#include "kavrel.h"

namespace {

struct Sink {
    KavrelLogCallback fn = nullptr;
    void* opaque = nullptr;
};

std::mutex sink_lock;
Sink sink;

}  // namespace

namespace kavrel {

void emit_diagnostic(const char* text) {
    Sink current;
    {
        std::lock_guard<std::mutex> guard(sink_lock);
        current = sink;
    }
    if (current.fn) {
        current.fn(current.opaque, text);
        return;
    }
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void set_diagnostic_sink(void (*fn)(void* opaque, const char* text), void* opaque) {
    std::lock_guard<std::mutex> guard(sink_lock);
    sink.fn = fn;
    sink.opaque = fn ? opaque : nullptr;
}

}  // namespace kavrel
