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
#include <memory>
#include <numeric>
#include <vector>

#include "cli_common.h"
#include "rate_spread.h"
#include "repeat_writer.h"

namespace kavrel_cli {

namespace {

// The library's reason why no repeat may follow a picture, as the user
// would put it.
std::string refusal_reason(const std::string& library) {
    static const struct {
        const char* library;
        const char* user;
    } kReasons[] = {
        {"not a reference picture", "a non-reference picture cannot be repeated in a stream whose SPS says its "
                                    "pictures come in output order (picture order count type 2, or "
                                    "max_num_reorder_frames 0)"},
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

class Converter {
public:
    Converter(Rewrite* run, const RateJob& job) : run_(run), job_(job), out_(&run->output) {
        if (job.doubling) due_.spread.set(2, 1);
    }

    // 0 or an exit code, after a message.
    int add(const Unit& unit, uint64_t index) {
        if (unit.result < 0) return refuse(where(unit, index) + " cannot be parsed (code " + result_text(unit.result) + ")");
        read_prefix(unit, &prefix_);
        // The SPS rewriter reads the unit's SPS once, for this and for its
        // write; only an SPS among the leading units it copies unchanged is
        // described from the parser's.
        if (prefix_.sps) {
            described_ = sps_.parse(unit.data, prefix_.last_sps);
            facts_ = sps_.timing();
        } else if (!described_ && unit.info.sps_data) {
            described_ = kavrel::describe_sps(unit.info.sps_data, unit.info.sps_size, &facts_);
        }
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
        if (!ordered_known_ && due_.spread.up())
            plan_ = described_ && facts_.pic_order_cnt_type == 0 && facts_.max_num_reorder_frames != 0;
        ordered_known_ = true;
        due_.next_picture();
        if (due_.spread.down()) return drop_or_copy(unit, index);
        if (plan_) return copy_with_repeats(unit, index);
        const size_t insert_at = insertion_point(unit.data, unit.size);
        if (const int rc = copy_original(unit, insert_at)) return rc;
        if (due_.pending())
            if (const int rc = repeat(unit, index)) return rc;
        out_.write(unit.data + insert_at, unit.size - insert_at);
        return kDone;
    }

    int finish(int status) {
        if (status == kDone && due_.pending() && due_.spread.up() && !within_a_frame()) status = missed(repeats_ > 0);
        if (status == kDone && plan_ && !out_.flush(run_->parser(), KAVREL_REPEAT_END, last_index_))
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
        due_.spread.set(static_cast<uint64_t>(up) / g, static_cast<uint64_t>(down) / g);
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
        if (due_.pending() && !why) {
            due_.placed();
            ++dropped_;
            // Nothing of it is written but an end of sequence or stream.
            if (std::any_of(unit.data + insert_at, unit.data + unit.size, [](uint8_t b) { return b != 0; }))
                out_.write(unit.data + insert_at, unit.size - insert_at);
            return kDone;
        }
        if (due_.pending()) due_.note([&] { return where(unit, index) + " is " + why; }, "");
        if (due_.pending() && due_.spread.peek() != 1)
            return refuse("halving drops every other picture, which must be a non-reference frame (x264: -bf 1 "
                          "-x264-params b-adapt=0); " + due_.reason() + ", and so is the picture after it");
        return copy_original(unit, unit.size);
    }

    // Writes the access unit between the repeats the library plans for
    // before and after it, asking for a repeat of its picture when one is
    // pending; notes why when the library refuses it. Its end of sequence or
    // stream, if any, is held back behind the repeats that may follow.
    int copy_with_repeats(const Unit& unit, uint64_t index) {
        ParserHandle* h = run_->parser();
        const bool want = unit.picture && due_.pending();
        const FrameInput au{unit.data, unit.size};
        const int32_t asked = Kavrel_Repeat_Picture(h, &au, want ? 1 : 0);
        const uint64_t call = calls_++;
        if (asked == KAVREL_E_REPEAT_BROKEN)
            return refuse("a repeat planned earlier could not be placed: " + library_refusal(h, true) + "; at " +
                          where(unit, index));
        if (want && asked == 0) {
            ++repeats_;
            due_.placed();
            if (prefix_.reference) out_.planned(call, unit, prefix_);
        }
        if (!out_.flush(h, KAVREL_REPEAT_BEFORE, unit.index)) return refuse("the library could not write its repeats");
        out_.write(tail_.data(), tail_.size());
        const size_t insert_at = insertion_point(unit.data, unit.size);
        if (const int rc = copy_original(unit, insert_at)) return rc;
        if (!out_.flush(h, KAVREL_REPEAT_AFTER, unit.index, unit.data, &prefix_))
            return refuse("the library could not write its repeats");
        tail_.assign(unit.data + insert_at, unit.data + unit.size);
        last_index_ = unit.index;
        if (!want || asked == 0) return kDone;
        return not_repeated(unit, index, true);
    }

    // Puts the pending repeat right after this picture, or notes why it cannot.
    int repeat(const Unit& unit, uint64_t index) {
        if (out_.repeat_last(run_->parser(), unit, prefix_)) {
            ++repeats_;
            due_.placed();
            return kDone;
        }
        return not_repeated(unit, index, false);
    }

    // The library refused the pending repeat of this picture (by its plan
    // or by the repeat call): why is noted, and the repeat is missed when
    // the next one falls due at the next picture.
    int not_repeated(const Unit& unit, uint64_t index, bool plan) {
        due_.note([&] { return refusal_reason(library_refusal(run_->parser(), plan)); }, where(unit, index));
        return due_.spread.peek() == 2 ? missed(repeats_ > 0) : kDone;
    }

    // A repeat that found no picture to follow before the next fell due:
    // refused, or left out while no picture has taken one yet.
    int missed(bool refused) {
        if (refused) return refuse(due_.reason() + "; at " + due_.where());
        if (skipped_++ == 0) first_refusal_ = due_.reason() + "; first seen at " + due_.where();
        due_.left_out();
        return kDone;
    }

    // True when the output so far lasts as long as the input within one
    // frame at the new rate: a repeat due at the end may then stay out.
    bool within_a_frame() const {
        using Wide = unsigned __int128;
        const Rate& out = job_.doubling ? Rate{2, 1} : job_.target;  // double: rates relative to the input's
        const Rate in = job_.doubling ? Rate{1, 1} : in_;
        const uint64_t pictures = due_.pictures();
        return Wide{pictures + repeats_ + 1} * out.den * in.num >= Wide{pictures} * in.den * out.num;
    }

    void summary() const {
        if (job_.doubling) {
            std::fprintf(stderr, "kavrel: %llu pictures doubled, %d SPS written again at twice the rate\n",
                         static_cast<unsigned long long>(repeats_), sps_.rewritten());
            return;
        }
        const bool down = due_.spread.down();
        std::fprintf(stderr,
                     "kavrel: %s -> %s fps: %llu pictures in, %llu out (%llu %s), %d SPS written again; the %s lie "
                     "at most %llu picture(s) from the even spread\n",
                     rate_text(in_).c_str(), rate_text(job_.target).c_str(),
                     static_cast<unsigned long long>(due_.pictures()), static_cast<unsigned long long>(out_.pictures()),
                     static_cast<unsigned long long>(down ? dropped_ : repeats_), down ? "dropped" : "repeated",
                     sps_.rewritten(), down ? "drops" : "repeats", static_cast<unsigned long long>(due_.deviation()));
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
    RepeatWriter out_;
    SpsRewriter sps_;
    Schedule due_;
    Prefix prefix_;
    kavrel::SpsFacts facts_;
    bool described_ = false, rate_known_ = false;
    bool ordered_known_ = false, plan_ = false;  // repeats through the library's plan
    Rate in_;
    std::vector<uint8_t> tail_;  // the end of sequence or stream held back behind the repeats
    uint64_t calls_ = 0;         // Kavrel_Repeat_Picture calls made
    uint64_t last_index_ = 0;
    uint64_t repeats_ = 0, dropped_ = 0, skipped_ = 0;
    std::string first_refusal_;
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
