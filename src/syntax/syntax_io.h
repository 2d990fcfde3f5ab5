// The two sides of one syntax description. A structure's syntax is written
// once, as a function template over `RW`; given a SyntaxReader it reads
// each element into the record, given a SyntaxWriter it writes the
// record's element back, in the same order and under the same conditions,
// so that a set written back is by construction the set that was read.
// Checks and messages that belong to reading only sit under
// `if constexpr (RW::kReading)`. An element with a range of its own
// declares it where it is read, with the rule that refuses it: the reader
// checks the value (one the data ended before, or a code too long for the
// reader, is printed as -1 and is out of every range that starts at 0),
// the writer asserts it.
#pragma once

#include <cassert>
#include <cstdint>

#include "bitstream/bit_reader.h"
#include "bitstream/bit_writer.h"
#include "syntax/syntax_messages.h"

namespace kavrel {

struct SyntaxReader {
    static constexpr bool kReading = true;
    BitReader& r;

    // u(n): kValueNotRead (-1) past the data.
    template <class T>
    void u(T& v, int n) { v = static_cast<T>(read_u_code(r, n).or_else(kValueNotRead)); }
    // u(1) of a flag: 0 or 1; one the data ended before counts as set.
    template <class T>
    void flag(T& v) { v = static_cast<T>(read_flag(r)); }
    // The same for a flag whose users must tell one the data ended before
    // from a 1 that was read: such a flag is also noted in `marks`.
    template <class T, class Marks>
    void flag(T& v, Marks& marks, uint32_t mark) {
        if (past_data(r)) marks = static_cast<Marks>(marks | mark);
        flag(v);
    }
    // ue(v) over 0..65534: kValueNotRead (-1) past the data or for a longer code.
    template <class T>
    void ue(T& v) { v = static_cast<T>(read_ue_code(r).or_else(kValueNotRead)); }
    // u(n) and ue(v) of a number whose users must tell one the data ended
    // before from a value that was read: such a number is 0 and noted in
    // `marks` (u(n) still advances n bits, ue(v) none).
    template <class T, class Marks>
    void u(T& v, int n, Marks& marks, uint32_t mark) {
        if (!note_past_data(v, marks, mark)) u(v, n);
        else r.bit_pos += n;
    }
    template <class T, class Marks>
    void ue(T& v, Marks& marks, uint32_t mark) {
        if (!note_past_data(v, marks, mark)) ue(v);
    }
    template <class T, class Marks>
    bool note_past_data(T& v, Marks& marks, uint32_t mark) {
        if (!past_data(r)) return false;
        marks = static_cast<Marks>(marks | mark);
        v = 0;
        return true;
    }
    // se(v) over -32767..32767: 0 for a longer code, kValueNotRead (-1) past the data.
    template <class T>
    void se(T& v) {
        const Code c = read_se_code(r);
        v = static_cast<T>(c.past_data ? kValueNotRead : c.value);
    }
    // ue(v) of a count that sizes an array (maximum `max`): the value read.
    template <class T>
    int32_t ue_count(T& v, int32_t) {
        ue(v);
        return v;
    }
    // The same with a mark as for ue(v) above: 0 for a count the data ended before.
    template <class T, class Marks>
    int32_t ue_count(T& v, int32_t, Marks& marks, uint32_t mark) {
        ue(v, marks, mark);
        return v;
    }
    // ue(v) of an element that is only kept: decoded in full, stepped
    // exactly; INT32_MAX above it, -1 for a longer code. One the data
    // ended before is 0 and noted in `marks`.
    template <class Marks>
    void ue_kept(int32_t& v, Marks& marks, uint32_t mark) {
        if (note_past_data(v, marks, mark)) return;
        const LongCode c = read_ue_long_code(r);
        v = !c.ok() ? kValueNotRead : c.value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(c.value);
    }
    // ue(v) up to 2^32 - 2 (the HRD's rates and sizes): all ones past the
    // data or for a longer code.
    void ue32(uint32_t& v) { v = static_cast<uint32_t>(read_ue_long_code(r).or_else(UINT32_MAX)); }
    // se(v) over the whole 32-bit range: 0 for a longer code, kValueNotRead past the data.
    void se32(int32_t& v) {
        const LongCode c = read_se_long_code(r);
        v = c.past_data ? kValueNotRead : static_cast<int32_t>(c.value);
    }
    // u(32) as two u(16) halves, upper first; a half past the data reads as all ones.
    void u32(uint32_t& v) {
        const uint32_t hi = static_cast<uint32_t>(read_u_code(r, 16).or_else(0xffff));
        const uint32_t lo = static_cast<uint32_t>(read_u_code(r, 16).or_else(0xffff));
        v = (hi << 16) | lo;
    }
    int32_t position() const { return r.bit_pos; }

    // u(n) within [min, max]; kOk or the refusal of `rule` (value printed).
    template <class T>
    Status u(T& v, int n, int32_t min, int32_t max, Rule rule) {
        const int32_t got = read_u_code(r, n).or_else(kValueNotRead);
        v = static_cast<T>(got);
        return got < min || got > max ? refuse(rule, got) : Status::kOk;
    }
    // ue(v) within [min, max]; the value printed is the one read plus `bias`
    // (the derived value the message names).
    template <class T>
    Status ue(T& v, int32_t min, int32_t max, Rule rule, int32_t bias = 0) {
        const int32_t got = read_ue_code(r).or_else(kValueNotRead);
        v = static_cast<T>(got);
        return got < min || got > max ? refuse(rule, got + bias) : Status::kOk;
    }
    // ue(v) of an element whose range reaches beyond 65534, read in full.
    Status ue_wide(int32_t& v, int32_t min, int32_t max, Rule rule) {
        const LongCode c = read_ue_long_code(r);
        const bool in_range = c.ok() && c.value >= min && c.value <= max;
        v = in_range ? static_cast<int32_t>(c.value) : kValueNotRead;
        return in_range ? Status::kOk : refuse(rule, v);
    }
};

struct SyntaxWriter {
    static constexpr bool kReading = false;
    Bitstream& s;

    // The low n bits of the value.
    template <class T>
    void u(const T& v, int n) { put_bits(&s, static_cast<uint32_t>(v), n); }
    // A flag: any value other than 0 is 1 (one the data ended before was read as 1).
    template <class T>
    void flag(const T& v) { put_bits(&s, v != 0 ? 1u : 0u, 1); }
    template <class T, class Marks>
    void flag(const T& v, const Marks&, uint32_t) { flag(v); }
    // A number the data ended before as the reader used to give it: u(n)
    // all ones; ue(v) 0 (the value the record holds for it).
    template <class T, class Marks>
    void u(const T& v, int n, const Marks& marks, uint32_t mark) {
        if ((marks & mark) != 0) put_bits(&s, n >= 32 ? UINT32_MAX : (1u << n) - 1u, n);
        else u(v, n);
    }
    template <class T, class Marks>
    void ue(const T& v, const Marks&, uint32_t) { ue(v); }
    // A negative value (one the reader could not take) is written as 0.
    template <class T>
    void ue(const T& v) { put_ue(&s, v > 0 ? static_cast<uint64_t>(v) : 0u); }
    // The count clamped to 0..max, as many entries as the record holds; the
    // value written.
    template <class T>
    int32_t ue_count(const T& v, int32_t max) {
        const int32_t n = v < 0 ? 0 : v > max ? max : static_cast<int32_t>(v);
        ue(n);
        return n;
    }
    template <class T, class Marks>
    int32_t ue_count(const T& v, int32_t max, const Marks&, uint32_t) { return ue_count(v, max); }
    template <class Marks>
    void ue_kept(const int32_t& v, const Marks&, uint32_t) { ue(v); }
    // All ones, the reader's mark for a value it could not take, is
    // written as the 63 zero bits it steps over for such a code.
    void ue32(const uint32_t& v) {
        if (v == UINT32_MAX) {
            put_bits(&s, 0, 31);
            put_bits(&s, 0, 32);
            return;
        }
        put_ue(&s, v);
    }
    template <class T>
    void se(const T& v) { put_se(&s, v); }
    void se32(const int32_t& v) { put_se(&s, v); }
    void u32(const uint32_t& v) { put_bits(&s, v, 32); }
    int32_t position() const { return bits_written(&s); }

    // The ranged elements: a record the reader accepted holds them in range.
    template <class T>
    Status u(const T& v, int n, [[maybe_unused]] int32_t min, [[maybe_unused]] int32_t max, Rule) {
        assert(v >= min && v <= max);
        u(v, n);
        return Status::kOk;
    }
    template <class T>
    Status ue(const T& v, [[maybe_unused]] int32_t min, [[maybe_unused]] int32_t max, Rule, int32_t = 0) {
        assert(v >= min && v <= max);
        ue(v);
        return Status::kOk;
    }
};

}  // namespace kavrel
