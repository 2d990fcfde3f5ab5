// How a frame-rate conversion writes its access units: the input's, and
// the repeats around them with the picture-timing SEI of the picture each
// shows, telling a container's output which picture each unit shows so
// that it gets that picture's timestamps.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "cli_common.h"

namespace kavrel_cli {

// What the NAL units of an access unit up to its first slice hold.
struct Prefix {
    bool delimiter = false;
    bool sps = false;
    Nal last_sps;                // the last SPS unit, when there is one
    bool parameter_set = false;  // an SPS or PPS
    bool reference = false;      // the first slice's nal_ref_idc is not 0
    std::vector<std::pair<size_t, size_t>> timing_sei;  // SEI units with picture timing, start code on
};

void read_prefix(const Unit& unit, Prefix* f);

// Every byte the conversion writes passes through here, one access unit at
// a time: input access unit k (Unit::index; its SPS written again through
// write_sps), or a repeat written after input access unit `after` that
// shows the picture of input access unit `shown` again. The OutputStream
// gives a container's units their timestamps from that.
class RepeatWriter {
public:
    explicit RepeatWriter(OutputStream* out) : out_(out) {}
    void begin_original(uint64_t k, bool picture) {
        out_->begin_unit(UnitRole::Input, k);  // again after repeats written in front of it
        pictures_ += picture;
    }
    void set_frame_rate(Rate rate) { out_->set_frame_rate(rate); }
    void write(const uint8_t* p, size_t n) { out_->write(p, n); }
    void write_sps(const uint8_t* p, size_t n) { out_->write(p, n); }
    uint64_t pictures() const { return pictures_; }  // in the access units begun

    // The repeat of the picture of `unit`, just parsed by `h`, that
    // H264_Enc_Double_Frame_Sized writes right after it: behind a delimiter
    // when the unit has one, with the unit's picture-timing SEI. False, with
    // nothing written, when the library refuses it.
    bool repeat_last(ParserHandle* h, const Unit& unit, const Prefix& prefix);

    // Kavrel_Repeat_Picture call `call` (0 the first) took a repeat of the
    // reference picture of `unit`: the library writes it later, and it
    // takes the picture's timing SEI along.
    void planned(uint64_t call, const Unit& unit, const Prefix& prefix);
    // Writes the repeats the library planned for `place` around input
    // access unit `k`, one access unit at a time (one that carries a
    // parameter set of its own begins there), each with the picture-timing
    // SEI of the picture it shows after its delimiter, else right before
    // its first slice; false when the library fails. For KAVREL_REPEAT_AFTER `data` and `prefix`
    // are those of the access unit k, whose SEI the repeat takes.
    bool flush(ParserHandle* h, int32_t place, uint64_t k, const uint8_t* data = nullptr,
               const Prefix* prefix = nullptr);

private:
    // A repeat the library has planned for a reference picture, written later.
    struct Planned {
        uint64_t call = 0;            // the Kavrel_Repeat_Picture call that asked for it
        uint64_t shown = 0;           // the input access unit of the picture
        std::vector<uint8_t> timing;  // its picture-timing SEI units
    };
    void begin_repeat(int32_t place, uint64_t k, const uint8_t* data, const Prefix* prefix);
    void write_timing() { out_->write(timing_.data(), timing_.size()); }

    OutputStream* out_;
    uint64_t pictures_ = 0;
    std::vector<uint8_t> repeat_, timing_;
    std::deque<Planned> planned_;
    std::vector<uint64_t> shows_;  // the calls whose pictures the units being written show
    size_t next_show_ = 0;
};

}  // namespace kavrel_cli
