#include "stream_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kavrel_cli {

namespace {

constexpr size_t kOutBuffer = size_t{1} << 20;

// Mapped at a time and read at a time, at least: a few windows.
size_t map_chunk() { return 8 * window_bytes(); }
size_t read_chunk() { return 2 * window_bytes(); }

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
    platform::unmap_view(map_, map_length_);
    platform::close_input(&file_);
}

bool InputWindow::open(const std::string& path) {
    name_ = path == "-" ? "standard input" : path;
    std::string error;
    if (!platform::open_input(path, &file_, &error)) {
        std::fprintf(stderr, "kavrel: %s\n", error.c_str());
        return false;
    }
    mapping_ = file_.regular;
    if (file_.regular) {
        end_known_ = true;
        end_ = file_.size;
    }
    return true;
}

const uint8_t* InputWindow::view_mapped(uint64_t pos, size_t want, size_t* available) {
    const uint64_t end = std::min<uint64_t>(file_.size, pos + want);
    if (!map_ || pos < map_offset_ || end > map_offset_ + map_length_) {
        platform::unmap_view(map_, map_length_);
        map_ = nullptr;
        const uint64_t offset = pos - pos % platform::map_alignment();
        const uint64_t length = std::min<uint64_t>(file_.size - offset, std::max(map_chunk(), 2 * want + (pos - offset)));
        map_length_ = static_cast<size_t>(length);
        map_offset_ = offset;
        map_ = platform::map_view(file_, offset, map_length_);
        if (!map_) return nullptr;
    }
    *available = static_cast<size_t>(map_offset_ + map_length_ - pos);
    return map_ + (pos - map_offset_);
}

const uint8_t* InputWindow::view(uint64_t pos, size_t want, size_t* available) {
    static const uint8_t nothing = 0;
    *available = 0;
    if (end_known_ && pos >= end_) return &nothing;
    if (mapping_) {
        if (const uint8_t* p = view_mapped(pos, want, available)) return p;
        mapping_ = false;  // cannot map: read it instead, from where we are
        buffer_offset_ = pos;
        buffer_length_ = 0;
        // Position the descriptor: read and drop what lies before `pos`.
        std::vector<uint8_t> skip(1 << 16);
        for (uint64_t at = 0; at < pos;) {
            const int64_t got = platform::read_some(file_, skip.data(), std::min<uint64_t>(skip.size(), pos - at));
            if (got <= 0) break;
            at += static_cast<uint64_t>(got);
        }
    }
    const uint64_t buffered_end = buffer_offset_ + buffer_length_;
    if (pos + want > buffered_end && !(end_known_ && buffered_end >= end_)) {
        // Keep the bytes from `pos` on, then fill the rest of the buffer.
        const size_t keep = static_cast<size_t>(buffered_end - std::min(pos, buffered_end));
        if (keep) std::memmove(buffer_.data(), buffer_.data() + (buffered_end - keep - buffer_offset_), keep);
        buffer_offset_ = buffered_end - keep;
        buffer_length_ = keep;
        const size_t capacity = std::max(read_chunk(), 2 * want);
        if (buffer_.size() < capacity) buffer_.resize(capacity);
        while (buffer_length_ < buffer_.size()) {
            const int64_t got = platform::read_some(file_, buffer_.data() + buffer_length_, buffer_.size() - buffer_length_);
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
    return buffer_.data() + (pos - buffer_offset_);
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

void OutputStream::write(const uint8_t* data, size_t n) {
    if (failed_ || n == 0) return;
    written_ += n;
    if (buffer_.size() + n <= kOutBuffer) {
        buffer_.insert(buffer_.end(), data, data + n);
        return;
    }
    // Large pieces go straight from the input window to the file.
    if (flush() && !platform::write_all(file_, data, n)) fail();
}

bool OutputStream::finish() {
    std::string error;
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
