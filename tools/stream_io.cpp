#include "stream_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kavrel_cli {

namespace {

constexpr size_t kOutBuffer = size_t{1} << 20;

// Read at a time, at least: a few windows, so that what is left of the
// last read and moved to the front of the buffer is a small part of it.
size_t read_chunk() { return 8 * window_bytes(); }

}  // namespace

size_t window_bytes() {
    static const size_t bytes = [] {
        if (const char* text = std::getenv("KAVREL_WINDOW")) {
            const unsigned long long v = std::strtoull(text, nullptr, 10);
            if (v >= 64 && v <= (1ull << 30)) return static_cast<size_t>(v);
        }
        return size_t{4} << 20;
    }();
    return bytes;
}

InputWindow::~InputWindow() {
    platform::free_buffer(buffer_);
    platform::close_input(&file_);
}

void InputWindow::close() {
    platform::free_buffer(buffer_);
    buffer_ = nullptr;
    capacity_ = buffer_length_ = 0;
    const uint64_t size = file_.size;
    platform::close_input(&file_);
    file_.size = size;
}

bool InputWindow::open(const std::string& path) {
    name_ = path == "-" ? "standard input" : path;
    std::string error;
    if (!platform::open_input(path, &file_, &error)) {
        std::fprintf(stderr, "kavrel: %s\n", error.c_str());
        return false;
    }
    if (file_.regular) {
        end_known_ = true;
        end_ = file_.size;
    }
    return true;
}

const uint8_t* InputWindow::view(uint64_t pos, size_t want, size_t* available) {
    static const uint8_t nothing = 0;
    *available = 0;
    if (end_known_ && pos >= end_) return &nothing;
    const uint64_t buffered_end = buffer_offset_ + buffer_length_;
    if (pos + want > buffered_end && !(end_known_ && buffered_end >= end_)) {
        // Keep the bytes from `pos` on, then fill the rest of the buffer.
        const size_t keep = static_cast<size_t>(buffered_end - std::min(pos, buffered_end));
        const uint8_t* kept = buffer_ + (buffered_end - keep - buffer_offset_);
        const size_t capacity = std::max(read_chunk(), 2 * want);
        if (capacity_ < capacity) {
            uint8_t* grown = platform::alloc_buffer(capacity);
            if (!grown) {
                std::fprintf(stderr, "kavrel: out of memory\n");
                return nullptr;
            }
            if (keep) std::memcpy(grown, kept, keep);
            platform::free_buffer(buffer_);
            buffer_ = grown;
            capacity_ = capacity;
        } else if (keep) {
            std::memmove(buffer_, kept, keep);
        }
        buffer_offset_ = buffered_end - keep;
        buffer_length_ = keep;
        while (buffer_length_ < capacity_) {
            const int64_t got = platform::read_some(file_, buffer_ + buffer_length_, capacity_ - buffer_length_);
            if (got < 0) {
                std::fprintf(stderr, "kavrel: cannot read %s: %s\n", name_.c_str(), std::strerror(errno));
                return nullptr;
            }
            if (got == 0) {
                end_known_ = true;
                end_ = buffer_offset_ + buffer_length_;
                break;
            }
            buffer_length_ += static_cast<size_t>(got);
        }
    }
    if (pos < buffer_offset_) return nullptr;  // positions only move forward
    const uint64_t have_end = buffer_offset_ + buffer_length_;
    *available = pos < have_end ? static_cast<size_t>(have_end - pos) : 0;
    return buffer_ + (pos - buffer_offset_);
}

OutputStream::~OutputStream() {
    if (open_) platform::discard_output(&file_);
}

bool OutputStream::open(const std::string& path, bool force) {
    std::string error;
    if (!platform::open_output(path, &file_, &error, force)) {
        std::fprintf(stderr, "kavrel: %s\n", error.c_str());
        return false;
    }
    open_ = true;
    buffer_.reserve(kOutBuffer);
    return true;
}

void OutputStream::fail() {
    failed_ = true;
    error_ = errno;
}

bool OutputStream::flush() {
    if (!failed_ && !buffer_.empty() && !platform::write_all(file_, buffer_.data(), buffer_.size())) fail();
    buffer_.clear();
    return !failed_;
}

bool OutputStream::attach(Container* container, const std::string& format) {
    const bool seekable = !file_.temp_path.empty();
    const std::string url = seekable ? "file:" + file_.temp_path : "pipe:" + std::to_string(file_.fd);
    if (!container->open_output(format, url, seekable)) return false;
    container_ = container;
    return true;
}

void OutputStream::write(const uint8_t* data, size_t n) {
    if (failed_ || n == 0) return;
    written_ += n;
    if (container_) return container_->write(data, n);
    if (buffer_.size() + n <= kOutBuffer) {
        buffer_.insert(buffer_.end(), data, data + n);
        return;
    }
    // Large pieces go straight from the input window to the file.
    if (flush() && !platform::write_all(file_, data, n)) fail();
}

bool OutputStream::finish() {
    std::string error;
    if (container_ && !container_->finish()) {
        platform::discard_output(&file_);
        open_ = false;
        return !(failed_ = true);
    }
    if (!flush()) {
        error = "cannot write " + file_.path + ": " + std::strerror(error_ ? error_ : EIO);
        platform::discard_output(&file_);
    } else if (!platform::commit_output(&file_, &error)) {
        failed_ = true;
    }
    open_ = false;
    if (failed_) std::fprintf(stderr, "kavrel: %s\n", error.c_str());
    return !failed_;
}

}  // namespace kavrel_cli
