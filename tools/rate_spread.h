// Which pictures a frame-rate conversion shows twice or drops: the even
// spread, the repeat or drop due and not yet placed, and how far those
// placed lie from where the spread put them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string>

namespace kavrel_cli {

// The even spread: with num / den the new rate over the old, picture k
// (from 1) is shown floor(k num / den) - floor((k - 1) num / den) times:
// twice where a repeat falls due, not at all where a drop does. Going down,
// the count starts half a step on, so that the first picture stays.
class Spread {
public:
    void set(uint64_t num, uint64_t den) {
        const uint64_t g = std::gcd(num, den);
        whole_ = num / g / (den / g);
        frac_ = num / g % (den / g);
        den_ = den / g;
        acc_ = whole_ == 0 ? den_ - frac_ : 0;
    }
    // How often the next picture is shown; it then counts as seen.
    int next() {
        const int shows = peek();
        acc_ = (acc_ + frac_) % den_;
        return shows;
    }
    int peek() const { return static_cast<int>(whole_ + (acc_ + frac_ >= den_ ? 1 : 0)); }
    bool up() const { return whole_ + (frac_ ? 1 : 0) > 1; }
    bool down() const { return whole_ == 0; }

private:
    uint64_t whole_ = 1, frac_ = 0, den_ = 1, acc_ = 0;
};

// The pictures counted so far against the spread, the repeat or drop due
// at one of them and not yet placed, and why it has not been.
class Schedule {
public:
    Spread spread;

    // Counts the next picture; a repeat or drop falls due at it when the
    // spread says it is shown other than once.
    void next_picture() {
        const int shows = spread.next();
        ++pictures_;
        if (shows == 1) return;
        pending_ = true;
        due_at_ = pictures_;
        reason_.clear();
        where_.clear();
    }
    bool pending() const { return pending_; }
    // The pending one went to the picture counted last.
    void placed() {
        pending_ = false;
        deviation_ = std::max(deviation_, pictures_ - due_at_);
    }
    void left_out() { pending_ = false; }
    // Why the pending one could not go to a picture, and where: the first
    // of each since it fell due is kept. why() is asked only then.
    template <typename Why>
    void note(Why&& why, const std::string& at) {
        if (reason_.empty()) reason_ = why();
        if (where_.empty()) where_ = at;
    }
    const std::string& reason() const { return reason_; }
    const std::string& where() const { return where_; }
    uint64_t pictures() const { return pictures_; }
    uint64_t deviation() const { return deviation_; }  // in pictures, the largest so far

private:
    bool pending_ = false;
    uint64_t pictures_ = 0, due_at_ = 0, deviation_ = 0;  // due_at_ counted from 1
    std::string reason_, where_;
};

}  // namespace kavrel_cli
