#include "platform.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#endif

namespace kavrel_cli::platform {

namespace {

std::string reason(const std::string& what, const std::string& path) {
    return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

#ifdef _WIN32
using StatRecord = struct _stat64;
int stat_path(const std::string& p, StatRecord* st) { return _stat64(p.c_str(), st); }
int stat_fd(int fd, StatRecord* st) { return _fstat64(fd, st); }
bool is_regular(const StatRecord& st) { return (st.st_mode & _S_IFMT) == _S_IFREG; }
bool is_directory(const StatRecord& st) { return (st.st_mode & _S_IFMT) == _S_IFDIR; }
int make_temp(std::string* path, const StatRecord*) {
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string p = *path + ".tmp" + std::to_string(_getpid()) + "-" + std::to_string(counter++);
        const int fd = _open(p.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST) {
            *path = p;
            return fd;
        }
    }
    return -1;
}
int sync_fd(int fd) { return _commit(fd); }
bool replace_file(const std::string& from, const std::string& to) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    errno = EACCES;
    return false;
}
void watch_temp(const std::string&) {}
void unwatch_temp() {}
bool write_protected(const std::string&, const StatRecord& st) { return (st.st_mode & _S_IWRITE) == 0; }
#else
using StatRecord = struct stat;
int stat_path(const std::string& p, StatRecord* st) { return ::stat(p.c_str(), st); }
int stat_fd(int fd, StatRecord* st) { return ::fstat(fd, st); }
bool is_regular(const StatRecord& st) { return S_ISREG(st.st_mode); }
bool is_directory(const StatRecord& st) { return S_ISDIR(st.st_mode); }
// `replaced`: the file the output is renamed over, whose permissions it
// keeps, as it would if written in place; null for a new file.
int make_temp(std::string* path, const StatRecord* replaced) {
    std::string pattern = *path + ".tmpXXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd >= 0) {
        // mkstemp gives 0600; a new output gets the usual 0666 less the umask.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, replaced ? replaced->st_mode & 07777 : 0666 & ~mask);
    }
    *path = pattern;
    return fd;
}
int sync_fd(int fd) { return ::fsync(fd); }
bool replace_file(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()) == 0; }

// The temporary file of the output being written, removed when a signal
// (Ctrl-C, kill, a closed terminal) ends the run before it is renamed.
char pending_temp[4096];
volatile sig_atomic_t temp_pending = 0;

void remove_pending_temp(int sig) {
    if (temp_pending) ::unlink(pending_temp);
    ::signal(sig, SIG_DFL);
    ::raise(sig);  // end as the signal would have, with its exit status
}

void watch_temp(const std::string& path) {
    if (path.size() >= sizeof pending_temp) return;
    std::memcpy(pending_temp, path.c_str(), path.size() + 1);
    temp_pending = 1;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {}, old {};
        action.sa_handler = remove_pending_temp;
        sigemptyset(&action.sa_mask);
        // A signal the caller ignores (nohup) stays ignored.
        if (::sigaction(sig, &action, &old) == 0 && old.sa_handler == SIG_IGN) ::sigaction(sig, &old, nullptr);
    }
}
void unwatch_temp() { temp_pending = 0; }
// No write permission for us, or none for anybody (which root would
// otherwise pass over, as cp and FFmpeg do not).
bool write_protected(const std::string& path, const StatRecord& st) {
    return (st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0;
}
#endif

}  // namespace

bool open_input(const std::string& path, InFile* file, std::string* error) {
    if (path == "-") {
#ifdef _WIN32
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        file->fd = 0;
    } else {
#ifdef _WIN32
        file->fd = _open(path.c_str(), _O_RDONLY | _O_BINARY);
#else
        file->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
#endif
        if (file->fd < 0) {
            *error = reason("read", path);
            return false;
        }
    }
    StatRecord st{};
    if (stat_fd(file->fd, &st) == 0) {
        if (is_directory(st)) {
            close_input(file);
            *error = path + " is a directory";
            return false;
        }
        file->regular = is_regular(st);
        file->size = file->regular ? static_cast<uint64_t>(st.st_size) : 0;
    }
    return true;
}

void close_input(InFile* file) {
#ifdef _WIN32
    if (file->fd > 0) _close(file->fd);
#else
    if (file->fd > 0) ::close(file->fd);
#endif
    file->fd = -1;
}

int64_t read_some(const InFile& file, uint8_t* buffer, size_t n) {
    for (;;) {
#ifdef _WIN32
        const int64_t got = _read(file.fd, buffer, static_cast<unsigned>(n > (1u << 30) ? (1u << 30) : n));
#else
        const int64_t got = ::read(file.fd, buffer, n);
#endif
        if (got >= 0 || errno != EINTR) return got;
    }
}

#ifdef _WIN32
uint8_t* alloc_buffer(size_t n) { return static_cast<uint8_t*>(std::malloc(n)); }
void free_buffer(uint8_t* buffer) { std::free(buffer); }
#else
uint8_t* alloc_buffer(size_t n) {
    constexpr size_t kHugePage = size_t{2} << 20;
    n = (n + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, n);
#ifdef MADV_HUGEPAGE
    if (p) ::madvise(p, n, MADV_HUGEPAGE);  // advice only: without it the pages are small
#endif
    return static_cast<uint8_t*>(p);
}
void free_buffer(uint8_t* buffer) { std::free(buffer); }
#endif

bool open_output(const std::string& path, OutFile* file, std::string* error, bool force) {
    file->path = path;
    file->temp_path.clear();
    if (path == "-") {
        file->path = "standard output";
#ifdef _WIN32
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        std::fflush(stdout);
        file->fd = 1;
        return true;
    }
    StatRecord st{};
    std::string target = path;
    if (stat_path(path, &st) == 0) {
        if (is_directory(st)) {
            *error = path + " is a directory";
            return false;
        }
        if (is_regular(st) && !force && write_protected(path, st)) {
            *error = path + " is write-protected; --force writes over it";
            return false;
        }
        if (!is_regular(st)) {  // /dev/stdout, a FIFO: no rename over those
#ifdef _WIN32
            file->fd = _open(path.c_str(), _O_WRONLY | _O_BINARY);
#else
            file->fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
#endif
            if (file->fd < 0) *error = reason("write", path);
            return file->fd >= 0;
        }
#ifndef _WIN32
        // Through a symbolic link the file it names is replaced, not the link.
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            target = real;
            std::free(real);
        }
#endif
    }
    file->temp_path = target;
    file->fd = make_temp(&file->temp_path, is_regular(st) ? &st : nullptr);
    if (file->fd < 0) {
        *error = reason("write", path);
        file->temp_path.clear();
        return false;
    }
    watch_temp(file->temp_path);
    file->path = target;
    return true;
}

bool write_all(const OutFile& file, const uint8_t* data, size_t n) {
    while (n > 0) {
#ifdef _WIN32
        const int64_t put = _write(file.fd, data, static_cast<unsigned>(n > (1u << 30) ? (1u << 30) : n));
#else
        const int64_t put = ::write(file.fd, data, n);
#endif
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        data += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

bool commit_output(OutFile* file, std::string* error) {
    if (file->fd == 1) return true;
    bool ok = true;
    if (!file->temp_path.empty() && sync_fd(file->fd) != 0) ok = false;
#ifdef _WIN32
    if (_close(file->fd) != 0) ok = false;
#else
    if (::close(file->fd) != 0) ok = false;
#endif
    file->fd = -1;
    if (ok && !file->temp_path.empty()) ok = replace_file(file->temp_path, file->path);
    if (!ok) {
        *error = reason("write", file->path);
        discard_output(file);
        return false;
    }
    unwatch_temp();
    file->temp_path.clear();
    return true;
}

void discard_output(OutFile* file) {
    if (file->fd > 1) {
#ifdef _WIN32
        _close(file->fd);
#else
        ::close(file->fd);
#endif
    }
    file->fd = -1;
    if (!file->temp_path.empty()) std::remove(file->temp_path.c_str());
    unwatch_temp();
    file->temp_path.clear();
}

bool stderr_is_terminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return ::isatty(STDERR_FILENO) != 0;
#endif
}

}  // namespace kavrel_cli::platform
