// kavrel rate RATE IN OUT, and kavrel double IN OUT (the same at twice the
// input's rate): a new frame rate without re-encoding, the output lasting
// as long as the input.
//
// Going up (at most to twice the rate), some pictures are shown twice,
// spread evenly: at 25 -> 30 fps every 5th picture, at 24 -> 30 every 4th,
// at twice the rate every one. The library writes each repeat and decides
// where it goes: right after its picture (H264_Enc_Double_Frame_Sized) in a
// stream whose pictures come in output order, else wherever its plan puts
// it (Kavrel_Repeat_Picture, streams with B-pictures). A repeat due for a
// picture the library cannot repeat exactly goes to the next one it can,
// before the next repeat falls due; the summary says how far the farthest
// moved. Going down to half the rate, every other picture is dropped, which
// must be a non-reference frame. Every SPS announces the new rate (level_idc
// raised where the rate needs it).
#include "cmd_rate.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <numeric>
#include <utility>
#include <vector>

#include "cli_common.h"

namespace kavrel_cli {

namespace {

// access_unit_delimiter_rbsp() with primary_pic_type 1 (I and P slices).
const uint8_t kRepeatDelimiter[] = {0, 0, 0, 1, 0x09, 0x30};
constexpr uint32_t kPictureTiming = 1;  // SEI payloadType (Annex D)

// What the NAL units of an access unit up to its first slice hold.
struct Prefix {
    bool delimiter = false;
    bool sps = false;
    bool parameter_set = false;  // an SPS or PPS
    bool reference = false;      // the first slice's nal_ref_idc is not 0
    std::vector<std::pair<size_t, size_t>> timing_sei;  // SEI units with picture timing, start code on
};

void read_prefix(const Unit& unit, Prefix* f) {
    f->delimiter = f->sps = f->parameter_set = f->reference = false;
    f->timing_sei.clear();
    visit_prefix(unit.data, unit.size, [&](const Nal& u) {
        f->delimiter = f->delimiter || u.type == 9;
        f->sps = f->sps || u.type == 7;
        f->parameter_set = f->parameter_set || u.type == 7 || u.type == 8;
        if (u.vcl()) f->reference = (unit.data[u.header] & 0x60) != 0;
        if (u.type == 6 && sei_has(unit.data, u.header, u.end, kPictureTiming)) f->timing_sei.emplace_back(u.start, u.end);
    });
}

// The library's reason why no repeat may follow a picture, as the user
// would put it.
std::string refusal_reason(const std::string& library) {
    static const struct {
        const char* library;
        const char* user;
    } kReasons[] = {
        {"not a reference picture", "the stream has B-pictures (or other non-reference pictures); only streams "
                                    "without them can be doubled (x264: -bf 0)"},
        {"is a field", "the stream is coded in fields (interlaced)"},
        {"picture order count type 1", "the stream uses picture order count type 1"},
        {"long-term reference", "the stream uses long-term reference pictures"},
        {"memory_management_control_operation 5", "the stream resets its picture numbering "
                                                  "(memory_management_control_operation 5)"},
        {"steps by 1", "the picture order count advances by 1 per picture, which leaves no value for a repeat"},
        {"slice group", "the stream uses slice groups (FMO)"},
        {"keeps no reference picture", "the stream keeps no reference picture (max_num_ref_frames 0)"},
        {"parameter sets changed", "the parameter sets change between a picture and the next"},
        {"implicit weighted bi-prediction", "the B-pictures use implicit weighted bi-prediction (weighted_bipred_idc 2, "
                                            "x264's default), whose copy would decode differently (x264: -x264-params "
                                            "weightb=0)"},
    };
    for (const auto& r : kReasons)
        if (library.find(r.library) != std::string::npos) return r.user;
    return library;
}

// The library's reason for refusing the repeat of the last picture, by
// its plan or by the repeat call.
std::string library_refusal(const ParserHandle* handle, bool plan) {
    const char* why = plan ? kavrel::repeat_picture_refusal(handle) : kavrel::double_frame_refusal(handle);
    return why ? why : "the repeat picture does not fit";
}

std::string where(const Unit& unit, uint64_t index) {
    return "access unit " + std::to_string(index) + " (offset " + std::to_string(unit.offset) + ")";
}

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

// Every byte the conversion writes passes through here, one access unit at
// a time: input access unit k (Unit::index; its SPS written again through
// write_sps), or a repeat written after input access unit `after` that
// shows the picture of input access unit `shown` again. The OutputStream
// gives a container's units their timestamps from that.
class ConvertedUnits {
public:
    explicit ConvertedUnits(OutputStream* out) : out_(out) {}
    void begin_original(uint64_t k, bool picture) {
        out_->begin_unit(UnitRole::Input, k);  // again after repeats written in front of it
        pictures_ += picture;
    }
    void begin_repeat(uint64_t after, uint64_t shown) {
        out_->begin_unit(UnitRole::Repeat, after, shown);
        ++pictures_;
    }
    void set_frame_rate(Rate rate) { out_->set_frame_rate(rate); }
    void write(const uint8_t* p, size_t n) { out_->write(p, n); }
    void write_sps(const uint8_t* p, size_t n) { out_->write(p, n); }
    uint64_t pictures() const { return pictures_; }  // in the access units begun

private:
    OutputStream* out_;
    uint64_t pictures_ = 0;
};

// A repeat the library has planned for a reference picture, written later.
struct Planned {
    uint64_t call = 0;             // the Kavrel_Repeat_Picture call that asked for it (0 the first)
    uint64_t shown = 0;            // the input access unit of the picture
    std::vector<uint8_t> timing;   // its picture-timing SEI units
};

class Converter {
public:
    Converter(Rewrite* run, const RateJob& job) : run_(run), job_(job), out_(&run->output) {
        if (job.doubling) spread_.set(2, 1);
    }

    // 0 or an exit code, after a message.
    int add(const Unit& unit, uint64_t index) {
        if (unit.result < 0) return refuse(where(unit, index) + " cannot be parsed (code " + result_text(unit.result) + ")");
        read_prefix(unit, &prefix_);
        if ((prefix_.sps || !described_) && unit.info.sps_data)
            described_ = kavrel::describe_sps(unit.info.sps_data, unit.info.sps_size, &facts_);
        // Picture timing with pic_struct only goes along with a repeat; HRD
        // delays would count the pictures wrongly.
        if (!prefix_.timing_sei.empty() && (!described_ || facts_.hrd_parameters_present))
            return refuse(where(unit, index) +
                          " carries picture-timing SEI, which would describe the wrong pictures; take the SEI out "
                          "first: ffmpeg -i IN -c:v copy -bsf:v filter_units=remove_types=6 -f h264 OUT.h264");
        if (!job_.doubling && (prefix_.sps || !rate_known_))
            if (const int rc = check_rate(unit, index)) return rc;
        if (!unit.picture) return plan_ ? copy_with_repeats(unit, index) : copy_original(unit, unit.size);
        // The repeat call takes a stream whose SPS says its pictures come in
        // output order; the plan takes the others.
        if (!ordered_known_ && spread_.up())
            plan_ = described_ && facts_.pic_order_cnt_type == 0 && facts_.max_num_reorder_frames != 0;
        ordered_known_ = true;
        const int shows = spread_.next();
        ++pictures_;
        if (shows != 1) {
            pending_ = true;
            due_at_ = pictures_;
            pending_reason_.clear();
            pending_where_.clear();
        }
        if (spread_.down()) return drop_or_copy(unit, index);
        if (plan_) return copy_with_repeats(unit, index);
        const size_t insert_at = insertion_point(unit.data, unit.size);
        if (const int rc = copy_original(unit, insert_at)) return rc;
        if (pending_)
            if (const int rc = repeat(unit, index)) return rc;
        out_.write(unit.data + insert_at, unit.size - insert_at);
        return kDone;
    }

    int finish(int status) {
        if (status == kDone && pending_ && spread_.up() && !within_a_frame()) status = missed(repeats_ > 0);
        if (status == kDone && plan_ && !flush(KAVREL_REPEAT_END, last_index_))
            status = refuse("the library could not write its repeats");
        if (status == kDone) out_.write(tail_.data(), tail_.size());
        if (status == kDone && repeats_ == 0 && skipped_ > 0) status = refuse(first_refusal_);
        if (status == kDone && skipped_ > 0)
            std::fprintf(stderr, job_.doubling ? "kavrel: %llu picture(s) before the first one a repeat may follow "
                                                 "copied unchanged\n"
                                               : "kavrel: %llu repeat(s) due before the first picture a repeat may "
                                                 "follow left out\n",
                         static_cast<unsigned long long>(skipped_));
        status = run_->finish(status);
        if (status == kDone) sps_.report();
        if (status == kDone) summary();
        return status;
    }

private:
    // Settles the ratio of the new rate to the input's from the first SPS,
    // and refuses what cannot be converted or a rate that changes.
    int check_rate(const Unit& unit, uint64_t index) {
        Rate in = job_.from;
        if (!job_.have_from) {
            if (!facts_.timing_info_present_flag || !facts_.num_units_in_tick || !facts_.time_scale)
                return refuse("the SPS carries no frame rate; give the input's rate with --from");
            in = reduced({facts_.time_scale, 2 * uint64_t{facts_.num_units_in_tick}});
        }
        if (rate_known_) {
            if (in.num == in_.num && in.den == in_.den) return kDone;
            return refuse("the frame rate changes from " + rate_text(in_) + " to " + rate_text(in) + " fps at " +
                          where(unit, index) + "; convert the parts one by one");
        }
        rate_known_ = true;
        in_ = in;
        const Rate& t = job_.target;
        const unsigned __int128 up = static_cast<unsigned __int128>(t.num) * in.den;  // ratio up / down
        const unsigned __int128 down = static_cast<unsigned __int128>(t.den) * in.num;
        if (up > 2 * down)
            return refuse(rate_text(t) + " fps is more than twice the input's " + rate_text(in) +
                          " fps: a picture is repeated at most once");
        if (up < down && 2 * up != down)
            return refuse(rate_text(t) + " fps is below the input's " + rate_text(in) +
                          " fps but not half of it: a rate goes down only to half, by dropping every other picture");
        const uint64_t g = std::gcd(static_cast<uint64_t>(up), static_cast<uint64_t>(down));
        spread_.set(static_cast<uint64_t>(up) / g, static_cast<uint64_t>(down) / g);
        return kDone;
    }

    // Writes [0, end) of the access unit with its SPS at the new rate.
    int copy_original(const Unit& unit, size_t end) {
        out_.begin_original(unit.index, unit.picture);
        const auto to_rate = [&](const kavrel::SpsFacts& t, Rate* r) {
            if (!job_.doubling) {
                *r = job_.target;
            } else if (job_.have_from) {
                *r = {2 * job_.from.num, job_.from.den};
            } else if (!t.timing_info_present_flag || !t.num_units_in_tick || !t.time_scale) {
                std::fprintf(stderr, "kavrel: the SPS carries no frame rate; give the input's rate with --rate\n");
                return false;
            } else {
                *r = {t.time_scale, t.num_units_in_tick};  // time_scale / (2 x num_units_in_tick), doubled
            }
            out_.set_frame_rate(*r);
            return true;
        };
        return copy_rewriting_sps(unit, end, &sps_, to_rate, &out_);
    }

    // Halving: drops the picture when a drop is pending and it is a
    // non-reference frame without parameter sets, else copies it.
    int drop_or_copy(const Unit& unit, uint64_t index) {
        const size_t insert_at = insertion_point(unit.data, unit.size);
        const char* why = prefix_.reference                    ? "a reference picture"
                          : unit.info.picture_structure != 3 ? "a field"
                          : prefix_.parameter_set            ? "a picture with parameter sets of its own"
                                                             : nullptr;
        if (pending_ && !why) {
            pending_ = false;
            ++dropped_;
            deviation_ = std::max(deviation_, pictures_ - due_at_);
            // Nothing of it is written but an end of sequence or stream.
            if (std::any_of(unit.data + insert_at, unit.data + unit.size, [](uint8_t b) { return b != 0; }))
                out_.write(unit.data + insert_at, unit.size - insert_at);
            return kDone;
        }
        if (pending_ && pending_reason_.empty()) pending_reason_ = where(unit, index) + " is " + why;
        if (pending_ && spread_.peek() != 1)
            return refuse("halving drops every other picture, which must be a non-reference frame (x264: -bf 1 "
                          "-x264-params b-adapt=0); " + pending_reason_ + ", and so is the picture after it");
        return copy_original(unit, unit.size);
    }

    // Writes the access unit between the repeats the library plans for
    // before and after it, asking for a repeat of its picture when one is
    // pending; notes why when the library refuses it. Its end of sequence or
    // stream, if any, is held back behind the repeats that may follow.
    int copy_with_repeats(const Unit& unit, uint64_t index) {
        const bool want = unit.picture && pending_;
        unit_data_ = unit.data;
        const FrameInput au{unit.data, unit.size};
        const int32_t asked = Kavrel_Repeat_Picture(run_->parser(), &au, want ? 1 : 0);
        const uint64_t call = calls_++;
        if (asked == KAVREL_E_REPEAT_BROKEN)
            return refuse("a repeat planned earlier could not be placed: " + library_refusal(run_->parser(), true) +
                          "; at " + where(unit, index));
        if (want && asked == 0) {
            ++repeats_;
            pending_ = false;
            deviation_ = std::max(deviation_, pictures_ - due_at_);
            if (prefix_.reference) {
                planned_.push_back({call, unit.index, {}});
                for (const auto& [start, end] : prefix_.timing_sei)
                    planned_.back().timing.insert(planned_.back().timing.end(), unit.data + start, unit.data + end);
            }
        }
        if (!flush(KAVREL_REPEAT_BEFORE, unit.index)) return refuse("the library could not write its repeats");
        out_.write(tail_.data(), tail_.size());
        const size_t insert_at = insertion_point(unit.data, unit.size);
        if (const int rc = copy_original(unit, insert_at)) return rc;
        if (!flush(KAVREL_REPEAT_AFTER, unit.index)) return refuse("the library could not write its repeats");
        tail_.assign(unit.data + insert_at, unit.data + unit.size);
        last_index_ = unit.index;
        if (!want || asked == 0) return kDone;
        if (pending_reason_.empty()) pending_reason_ = refusal_reason(library_refusal(run_->parser(), true));
        if (pending_where_.empty()) pending_where_ = where(unit, index);
        return spread_.peek() == 2 ? missed(repeats_ > 0) : kDone;
    }

    // Writes the repeats the library planned for `place` (around input
    // access unit `k`), one access unit at a time, each with the
    // picture-timing SEI of the picture it shows after its delimiter; false
    // when the library fails.
    bool flush(int32_t place, uint64_t k) {
        ParserHandle* h = run_->parser();
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
        bool delimited = false;  // the access unit begun has its delimiter or PPS
        for (size_t sc = find_start_code(p, 0, size); sc + 3 < size;) {
            const size_t next = find_start_code(p, sc + 3, size);
            const uint8_t type = p[sc + 3] & 0x1F;
            const bool slice = type >= 1 && type <= 5;
            // A new access unit: its delimiter, or without one a PPS (a copy's
            // own) or a first slice (first_mb_in_slice 0).
            const bool opens = !delimited && (type == 8 || (slice && sc + 4 < size && (p[sc + 4] & 0x80)));
            if (type == 9 || opens) begin_repeat(place, k);
            if (opens) write_timing();
            out_.write(p + start_of(sc), start_of(next) - start_of(sc));
            if (type == 9) write_timing();
            delimited = type == 9 || type == 8 || (delimited && !slice);
            sc = next;
        }
        return true;
    }

    // Marks a repeat access unit and finds the picture-timing SEI it takes.
    void begin_repeat(int32_t place, uint64_t k) {
        timing_.clear();
        uint64_t shown = k;
        if (place == KAVREL_REPEAT_AFTER) {
            for (const auto& [start, end] : prefix_.timing_sei) timing_.insert(timing_.end(), unit_data_ + start, unit_data_ + end);
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
        out_.begin_repeat(place == KAVREL_REPEAT_BEFORE && k > 0 ? k - 1 : k, shown);
    }
    void write_timing() { out_.write(timing_.data(), timing_.size()); }

    // Puts the pending repeat after this picture, or notes why it cannot.
    int repeat(const Unit& unit, uint64_t index) {
        const uint64_t mbs = uint64_t(unit.info.coded_width / 16) * uint64_t(unit.info.coded_height / 16);
        repeat_.resize(std::max<size_t>(repeat_.size(), 2 * mbs + 4096));
        const int32_t n = H264_Enc_Double_Frame_Sized(run_->parser(), repeat_.data(), static_cast<uint32_t>(repeat_.size()));
        if (n >= 0) {
            out_.begin_repeat(unit.index, unit.index);
            if (prefix_.delimiter) out_.write(kRepeatDelimiter, sizeof kRepeatDelimiter);
            for (const auto& [start, end] : prefix_.timing_sei) out_.write(unit.data + start, end - start);
            out_.write(repeat_.data(), static_cast<size_t>(n));
            ++repeats_;
            pending_ = false;
            deviation_ = std::max(deviation_, pictures_ - due_at_);
            return kDone;
        }
        if (pending_reason_.empty()) pending_reason_ = refusal_reason(library_refusal(run_->parser(), false));
        if (pending_where_.empty()) pending_where_ = where(unit, index);
        return spread_.peek() == 2 ? missed(repeats_ > 0) : kDone;
    }

    // A repeat that found no picture to follow before the next fell due:
    // refused, or left out while no picture has taken one yet.
    int missed(bool refused) {
        if (refused) return refuse(pending_reason_ + "; at " + pending_where_);
        if (skipped_++ == 0) first_refusal_ = pending_reason_ + "; first seen at " + pending_where_;
        pending_ = false;
        return kDone;
    }

    // True when the output so far lasts as long as the input within one
    // frame at the new rate: a repeat due at the end may then stay out.
    bool within_a_frame() const {
        using Wide = unsigned __int128;
        const Rate& out = job_.doubling ? Rate{2, 1} : job_.target;  // double: rates relative to the input's
        const Rate in = job_.doubling ? Rate{1, 1} : in_;
        return Wide{pictures_ + repeats_ + 1} * out.den * in.num >= Wide{pictures_} * in.den * out.num;
    }

    void summary() const {
        if (job_.doubling) {
            std::fprintf(stderr, "kavrel: %llu pictures doubled, %d SPS written again at twice the rate\n",
                         static_cast<unsigned long long>(repeats_), sps_.rewritten());
            return;
        }
        const char* moved = spread_.down() ? "drops" : "repeats";
        std::fprintf(stderr,
                     "kavrel: %s -> %s fps: %llu pictures in, %llu out (%llu %s), %d SPS written again; the %s lie "
                     "at most %llu picture(s) from the even spread\n",
                     rate_text(in_).c_str(), rate_text(job_.target).c_str(), static_cast<unsigned long long>(pictures_),
                     static_cast<unsigned long long>(out_.pictures()),
                     static_cast<unsigned long long>(spread_.down() ? dropped_ : repeats_),
                     spread_.down() ? "dropped" : "repeated", sps_.rewritten(), moved,
                     static_cast<unsigned long long>(deviation_));
    }

    int refuse(const std::string& reason) {
        run_->end_progress();
        if (job_.doubling)
            std::fprintf(stderr, "kavrel: cannot double %s: %s; nothing written\n", run_->in_name().c_str(), reason.c_str());
        else
            std::fprintf(stderr, "kavrel: cannot convert %s to %s fps: %s; nothing written\n", run_->in_name().c_str(),
                         rate_text(job_.target).c_str(), reason.c_str());
        return kRefused;
    }

    Rewrite* run_;
    RateJob job_;
    ConvertedUnits out_;
    SpsRewriter sps_;
    Spread spread_;
    Prefix prefix_;
    kavrel::SpsFacts facts_;
    bool described_ = false, rate_known_ = false;
    bool ordered_known_ = false, plan_ = false;  // repeats through the library's plan
    Rate in_;
    std::vector<uint8_t> repeat_, tail_, timing_;
    std::deque<Planned> planned_;
    uint64_t calls_ = 0;               // Kavrel_Repeat_Picture calls made
    std::vector<uint64_t> shows_;      // the calls whose pictures the units being written show
    size_t next_show_ = 0;
    const uint8_t* unit_data_ = nullptr;  // the access unit being written
    uint64_t last_index_ = 0;
    uint64_t pictures_ = 0, repeats_ = 0, dropped_ = 0, skipped_ = 0, deviation_ = 0;
    // A repeat or drop due at picture due_at_ (counted from 1) not yet placed.
    bool pending_ = false;
    uint64_t due_at_ = 0;
    std::string pending_reason_, pending_where_, first_refusal_;
};

}  // namespace

int run_rate(const RateJob& job, const std::string& in_path, const std::string& out_path) {
    Rewrite run;
    if (const int rc = run.open(in_path, out_path)) return rc;
    Converter converter(&run, job);
    int status = kDone;
    Unit unit;
    for (uint64_t index = 0; status == kDone && run.next(&unit); ++index) status = converter.add(unit, index);
    return converter.finish(status);
}

void register_rate(CLI::App& app, int* status) {
    auto* cmd = app.add_subcommand("rate", "Change the frame rate: up to twice it by repeating pictures, or to half "
                                           "by dropping non-reference pictures");
    auto rate = std::make_shared<std::string>();
    auto in = std::make_shared<std::string>();
    auto out = std::make_shared<std::string>();
    auto from = std::make_shared<std::string>();
    cmd->add_option("RATE", *rate, "Frames per second: 30, 60000/1001, 59.94; 23.976, 29.97 and 59.94 are N/1001")
        ->required();
    cmd->add_option("IN", *in, input_help())->required();
    cmd->add_option("OUT", *out, "Where to write the converted stream, - for standard output")->required();
    cmd->add_option("--from", *from,
                    "The input's frame rate (25, 30000/1001, 29.97); needed when the stream carries no timing; when "
                    "given it replaces the stream's own");
    cmd->callback([=]() {
        RateJob job;
        if (!parse_rate(*rate, &job.target))
            throw CLI::ValidationError("RATE", "expected N, N/D or a decimal, e.g. 30, 60000/1001, 59.94");
        job.have_from = !from->empty();
        if (job.have_from && !parse_rate(*from, &job.from))
            throw CLI::ValidationError("--from", "expected N, N/D or a decimal, e.g. 25, 30000/1001, 29.97");
        *status = run_rate(job, *in, *out);
    });
}

}  // namespace kavrel_cli
