// The diagnostic sink: standard output, or the callback a host set with
// Kavrel_Set_Log_Callback (set_diagnostic_sink). The pair is read and replaced under one lock; the
// callback itself runs outside it, so it may set a new sink. Whether a
// callback is set at all is also kept in an atomic, so that the lines for
// standard output (the default) take no lock of ours.
#include "common/diagnostics.h"

#include <atomic>
#include <mutex>

#include "kavrel.h"

namespace {

struct Sink {
    KavrelLogCallback fn = nullptr;
    void* opaque = nullptr;
};

std::mutex sink_lock;
Sink sink;
std::atomic<bool> callback_set{false};  // sink.fn is not null (written under sink_lock)
thread_local int muted = 0;             // MutedDiagnostics alive on this thread

// One line to standard output, flushed at once, so that a host on another
// C runtime sees the lines in order. (Writing it under one stream lock with
// the unlocked calls measured no faster: the write system call is the cost.)
void write_stdout(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

}  // namespace

namespace kavrel {

MutedDiagnostics::MutedDiagnostics() { ++muted; }
MutedDiagnostics::~MutedDiagnostics() { --muted; }

void emit_diagnostic(const char* text) {
    if (muted > 0) return;
    if (callback_set.load(std::memory_order_acquire)) {
        Sink current;
        {
            std::lock_guard<std::mutex> guard(sink_lock);
            current = sink;
        }
        if (current.fn) {
            current.fn(current.opaque, text);
            return;
        }
    }
    write_stdout(text);
}

void set_diagnostic_sink(void (*fn)(void* opaque, const char* text), void* opaque) {
    std::lock_guard<std::mutex> guard(sink_lock);
    sink.fn = fn;
    sink.opaque = fn ? opaque : nullptr;
    callback_set.store(fn != nullptr, std::memory_order_release);
}

}  // namespace kavrel
