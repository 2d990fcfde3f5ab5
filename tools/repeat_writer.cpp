#include "repeat_writer.h"

#include <algorithm>

namespace kavrel_cli {

namespace {

// access_unit_delimiter_rbsp() with primary_pic_type 1 (I and P slices).
const uint8_t kRepeatDelimiter[] = {0, 0, 0, 1, 0x09, 0x30};
constexpr uint32_t kPictureTiming = 1;  // SEI payloadType (Annex D)

}  // namespace

void read_prefix(const Unit& unit, Prefix* f) {
    f->delimiter = f->sps = f->parameter_set = f->reference = false;
    f->timing_sei.clear();
    visit_prefix(unit.data, unit.size, [&](const Nal& u) {
        f->delimiter = f->delimiter || u.type == 9;
        f->sps = f->sps || u.type == 7;
        if (u.type == 7) f->last_sps = u;
        f->parameter_set = f->parameter_set || u.type == 7 || u.type == 8;
        if (u.vcl()) f->reference = (unit.data[u.header] & 0x60) != 0;
        if (u.type == 6 && sei_has(unit.data, u.header, u.end, kPictureTiming)) f->timing_sei.emplace_back(u.start, u.end);
    });
}

bool RepeatWriter::repeat_last(ParserHandle* h, const Unit& unit, const Prefix& prefix) {
    const uint64_t mbs = uint64_t(unit.info.coded_width / 16) * uint64_t(unit.info.coded_height / 16);
    repeat_.resize(std::max<size_t>(repeat_.size(), 2 * mbs + 4096));
    const int32_t n = H264_Enc_Double_Frame_Sized(h, repeat_.data(), static_cast<uint32_t>(repeat_.size()));
    if (n < 0) return false;
    out_->begin_unit(UnitRole::Repeat, unit.index, unit.index);
    ++pictures_;
    if (prefix.delimiter) out_->write(kRepeatDelimiter, sizeof kRepeatDelimiter);
    for (const auto& [start, end] : prefix.timing_sei) out_->write(unit.data + start, end - start);
    out_->write(repeat_.data(), static_cast<size_t>(n));
    return true;
}

void RepeatWriter::planned(uint64_t call, const Unit& unit, const Prefix& prefix) {
    planned_.push_back({call, unit.index, {}});
    for (const auto& [start, end] : prefix.timing_sei)
        planned_.back().timing.insert(planned_.back().timing.end(), unit.data + start, unit.data + end);
}

bool RepeatWriter::flush(ParserHandle* h, int32_t place, uint64_t k, const uint8_t* data, const Prefix* prefix) {
    const int32_t need = Kavrel_Repeat_Units(h, place, nullptr, 0);
    if (need <= 0) return need == 0;
    repeat_.resize(std::max<size_t>(repeat_.size(), static_cast<size_t>(need)));
    // The library writes the repeats of reference pictures in the order
    // they are shown, not the order they were asked for.
    shows_.resize(kavrel::repeat_unit_pictures(h, place, nullptr, 0));
    kavrel::repeat_unit_pictures(h, place, shows_.data(), static_cast<int32_t>(shows_.size()));
    next_show_ = 0;
    const int32_t n = Kavrel_Repeat_Units(h, place, repeat_.data(), static_cast<uint32_t>(repeat_.size()));
    if (n < 0) return false;
    const uint8_t* p = repeat_.data();
    const size_t size = static_cast<size_t>(n);
    const auto start_of = [&](size_t sc) { return sc < size && sc > 0 && p[sc - 1] == 0 ? sc - 1 : sc; };
    bool before_slices = false;  // an access unit begun, its first slice to come
    bool timed = false;          // its timing SEI written
    for (size_t sc = find_start_code(p, 0, size); sc + 3 < size;) {
        const size_t next = find_start_code(p, sc + 3, size);
        const uint8_t type = p[sc + 3] & 0x1F;
        const bool slice = type >= 1 && type <= 5;
        const bool first_slice = slice && sc + 4 < size && (p[sc + 4] & 0x80);  // first_mb_in_slice 0
        // A new access unit (clause 7.4.1.2.3): a delimiter, SEI or
        // parameter set after the last slice, else its first slice.
        const bool opens = type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18);
        if (!before_slices && (opens || first_slice)) {
            begin_repeat(place, k, data, prefix);
            before_slices = true;
            timed = false;
        }
        if (first_slice && !timed) write_timing();  // no delimiter: right before the picture
        out_->write(p + start_of(sc), start_of(next) - start_of(sc));
        if (type == 9) write_timing();  // right after the delimiter
        timed = timed || type == 9 || first_slice;
        before_slices = before_slices && !slice;
        sc = next;
    }
    return true;
}

// Marks a repeat access unit and finds the picture-timing SEI it takes.
void RepeatWriter::begin_repeat(int32_t place, uint64_t k, const uint8_t* data, const Prefix* prefix) {
    timing_.clear();
    uint64_t shown = k;
    if (place == KAVREL_REPEAT_AFTER) {
        if (prefix)
            for (const auto& [start, end] : prefix->timing_sei) timing_.insert(timing_.end(), data + start, data + end);
    } else if (!planned_.empty()) {
        auto it = planned_.begin();
        if (next_show_ < shows_.size()) {
            const uint64_t call = shows_[next_show_++];
            it = std::find_if(planned_.begin(), planned_.end(), [&](const Planned& r) { return r.call == call; });
            if (it == planned_.end()) it = planned_.begin();
        }
        shown = it->shown;
        timing_.swap(it->timing);
        planned_.erase(it);
    }
    out_->begin_unit(UnitRole::Repeat, place == KAVREL_REPEAT_BEFORE && k > 0 ? k - 1 : k, shown);
    ++pictures_;
}

}  // namespace kavrel_cli
