// The diagnostic sink: standard output, or the callback a host set with
// Kavrel_Set_Log_Callback (set_diagnostic_sink). The pair is read and replaced under one lock; the
// callback itself runs outside it, so it may set a new sink. Whether a
// callback is set at all is also kept in an atomic, so that the lines for
// standard output (the default) take no lock of ours.
#include "common/diagnostics.h"

#include <atomic>
#include <cstring>
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
thread_local kavrel::RefusalNote* note = nullptr;  // the innermost RefusalNote alive on this thread

// One line to standard output. Where the library shares the host's C
// runtime (an ELF shared object beside the host's libc) the two write
// through one stdout buffer, so the lines stay in order with the host's own
// and reach the output when the host flushes or exits; a flush per line
// would cost a write system call per frame whenever stdout is a pipe or a
// file. Kavrel.dll links msvcrt.dll, a host built with MSVC its own CRT
// with its own stdout buffer: there each line is flushed at once.
void write_stdout(const char* text) {
    std::fputs(text, stdout);
#if defined(_WIN32)
    std::fflush(stdout);
#endif
}

}  // namespace

namespace kavrel {

MutedDiagnostics::MutedDiagnostics() { ++muted; }
MutedDiagnostics::~MutedDiagnostics() { --muted; }

RefusalNote::RefusalNote() : outer_(note) { note = this; }
RefusalNote::~RefusalNote() { note = outer_; }

void emit_refusal(const char* text) {
    if (muted > 0) return;
    if (note && note->text_[0] == '\0') {
        static const char kTag[] = "[VsKavrel]:";
        const char* from = std::strncmp(text, kTag, sizeof kTag - 1) == 0 ? text + sizeof kTag - 1 : text;
        size_t len = std::strlen(from);
        while (len > 0 && (from[len - 1] == '\n' || from[len - 1] == ' ')) --len;
        if (len >= sizeof note->text_) len = sizeof note->text_ - 1;
        std::memcpy(note->text_, from, len);
        note->text_[len] = '\0';
    }
    emit_diagnostic(text);
}

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
