#include "unit_walker.h"

#include <algorithm>
#include <cstdio>

#include "nal_scan.h"
#include "platform.h"

namespace kavrel_cli {

namespace {

constexpr size_t kLargestUnit = size_t{1} << 30;
// A slice header or parameter set is read whole within this many bytes of
// its start code; a failure with a start code closer to the window's edge
// may be the edge's doing.
constexpr size_t kHeaderReach = 65536;

size_t last_start_code(const uint8_t* p, size_t n) {
    size_t last = 0;
    for (size_t sc = find_start_code(p, 0, n); sc < n; sc = find_start_code(p, sc + 3, n)) last = sc;
    return last;
}

bool has_slice(const uint8_t* p, size_t n) {
    bool found = false;
    visit_prefix(p, n, [&](const Nal& u) { found = found || u.vcl(); });
    return found;
}

}  // namespace

UnitWalker::UnitWalker(InputWindow* input, ParserHandle* handle, Container* packets)
    : packets_(packets), input_(input), handle_(handle), begin_(std::chrono::steady_clock::now()) {}

UnitWalker::~UnitWalker() { end_progress(); }

void UnitWalker::end_progress() {
    if (progress_shown_) std::fprintf(stderr, "\n");
    progress_shown_ = false;
}

bool UnitWalker::next(Unit* unit) {
    if (packets_) return next_in_packet(unit);
    size_t want = window_bytes() + largest_;
    for (;;) {
        size_t available = 0;
        const uint8_t* p = input_->view(pos_, want, &available);
        if (!p) {
            io_error_ = true;
            return false;
        }
        if (available == 0) return false;
        const size_t n = std::min(available, want);
        const bool cut = !input_->ends_at(pos_ + n);
        if (!started_) {
            started_ = true;
            const size_t sc = find_start_code(p, 0, n);
            for (size_t i = 0; i < sc; ++i) garbage_ += p[i] != 0;
        }
        *unit = Unit{};
        const FrameInput in{p, static_cast<uint32_t>(n)};
        unit->result = Kavrel_Start(handle_, &in, &unit->info);
        size_t size = unit->info.consumed;
        const bool grow = unit->result >= 0 ? (size == 0 || size + 3 >= n) : n - last_start_code(p, n) < kHeaderReach;
        if (cut && grow && want < kLargestUnit) {
            want *= 2;  // the unit may go on past the window: parse it again in a wider one
            continue;
        }
        if (unit->result < 0) {
            size = find_start_code(p, find_start_code(p, 0, n) + 3, n);
        } else if (size == 0 || size + 3 >= n) {
            size = n;
        }
        unit->offset = pos_;
        unit->data = p;
        unit->size = static_cast<uint32_t>(size);
        unit->picture = unit->result >= 0 && has_slice(p, size);
        unit->leading = unit->result < 0 && pictures_ == 0;
        unit->index = units_;
        pictures_ += unit->picture;
        pos_ += size;
        largest_ = std::max(largest_, size);
        if ((++units_ & 63) == 0) show_progress();
        return true;
    }
}

// The library is given the rest of the packet; a packet normally holds
// one access unit, and a failed unit takes what is left of it.
bool UnitWalker::next_in_packet(Unit* unit) {
    while (packet_pos_ >= packet_.size) {
        stream_offset_ += packet_.size;
        packet_pos_ = 0;
        packet_ = Packet{};
        const int rc = packets_->next(&packet_);
        if (rc < 0) io_error_ = true;
        if (rc <= 0) return false;
    }
    const uint8_t* p = packet_.data + packet_pos_;
    const size_t n = packet_.size - packet_pos_;
    *unit = Unit{};
    const FrameInput in{p, static_cast<uint32_t>(n)};
    unit->result = Kavrel_Start(handle_, &in, &unit->info);
    size_t size = unit->info.consumed;
    if (unit->result < 0 || size == 0 || size > n || find_start_code(p, size, n) >= n) size = n;
    // Where the unit lies in the Annex B extraction: from its start code
    // (the zero_byte before it belongs to the unit before), to the next one's.
    const size_t lead = packet_pos_ == 0 && stream_offset_ > 0 ? packet_.lead : 0;
    const size_t tail = packet_pos_ + size == packet_.size ? packet_.next_lead : 0;
    unit->offset = stream_offset_ + packet_pos_ + lead;
    unit->extent = static_cast<uint32_t>(size - lead + tail);
    unit->data = p;
    unit->size = static_cast<uint32_t>(size);
    unit->picture = unit->result >= 0 && has_slice(p, size);
    unit->leading = unit->result < 0 && pictures_ == 0;
    unit->index = packet_.index;
    unit->pts = packet_.pts;
    unit->dts = packet_.dts;
    pictures_ += unit->picture;
    packet_pos_ += size;
    pos_ = packets_->position();
    if ((++units_ & 63) == 0) show_progress();
    return true;
}

void UnitWalker::show_progress() {
    const auto now = std::chrono::steady_clock::now();
    if (now - begin_ < std::chrono::seconds(1) || now - last_shown_ < std::chrono::milliseconds(250)) return;
    static const bool terminal = platform::stderr_is_terminal();
    if (!terminal) return;
    last_shown_ = now;
    progress_shown_ = true;
    const uint64_t size = input_->size();
    if (size)
        std::fprintf(stderr, "\rkavrel: %llu of %llu MiB (%d%%)  ", static_cast<unsigned long long>(pos_ >> 20),
                     static_cast<unsigned long long>(size >> 20), static_cast<int>(pos_ * 100 / size));
    else
        std::fprintf(stderr, "\rkavrel: %llu MiB  ", static_cast<unsigned long long>(pos_ >> 20));
}

}  // namespace kavrel_cli
