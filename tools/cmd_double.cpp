// kavrel double IN OUT: doubles the frame rate of a stream by putting a
// repeat frame (an all-skipped non-reference P picture) after the access
// unit of every picture and writing every SPS again at twice the rate. The
// library decides which pictures a repeat may follow; the tool refuses the
// stream when it may not follow one.
#include <cstdio>
#include <memory>
#include <vector>

#include "cli_common.h"

namespace kavrel_cli {

namespace {

// access_unit_delimiter_rbsp() with primary_pic_type 1 (I and P slices).
const uint8_t kRepeatDelimiter[] = {0, 0, 0, 1, 0x09, 0x30};
constexpr uint32_t kPictureTiming = 1;  // SEI payloadType (Annex D)

struct Prefix {
    bool delimiter = false;
    bool picture_timing = false;
};

Prefix read_prefix(const Unit& unit) {
    Prefix f;
    visit_prefix(unit.data, unit.size, [&](const Nal& u) {
        f.delimiter = f.delimiter || u.type == 9;
        if (u.type == 6) f.picture_timing = f.picture_timing || sei_has(unit.data, u.header, u.end, kPictureTiming);
    });
    return f;
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
        {"shown out of decoding order", "the stream has B-pictures (or pictures shown out of decoding order); only "
                                        "streams without them can be doubled (x264: -bf 0)"},
        {"leaves room for later pictures", "the stream has B-pictures (its pictures are shown out of decoding "
                                           "order); only streams without them can be doubled (x264: -bf 0)"},
        {"is a field", "the stream is coded in fields (interlaced)"},
        {"picture order count type 1", "the stream uses picture order count type 1"},
        {"long-term reference", "the stream uses long-term reference pictures"},
        {"memory_management_control_operation 5", "the stream resets its picture numbering "
                                                  "(memory_management_control_operation 5)"},
        {"steps by 1", "the picture order count advances by 1 per picture, which leaves no value for a repeat"},
        {"slice group", "the stream uses slice groups (FMO)"},
        {"keeps no reference picture", "the stream keeps no reference picture (max_num_ref_frames 0)"},
        {"parameter sets changed", "the parameter sets change between a picture and the next"},
    };
    for (const auto& r : kReasons)
        if (library.find(r.library) != std::string::npos) return r.user;
    return library;
}

// The library's reason for refusing the repeat after `handle`'s last picture.
std::string library_refusal(const ParserHandle* handle) {
    const char* why = kavrel::double_frame_refusal(handle);
    return why ? why : "the repeat picture does not fit";
}

class Doubler {
public:
    Doubler(Rewrite* run, bool have_rate, Rate rate) : run_(run), have_rate_(have_rate), rate_(rate) {}

    // 0 or an exit code, after a message.
    int add(const Unit& unit, uint64_t index) {
        const std::string where = "access unit " + std::to_string(index) + " (offset " + std::to_string(unit.offset) + ")";
        if (unit.result < 0) return refuse(where + " cannot be parsed (code " + result_text(unit.result) + ")");
        const Prefix prefix = read_prefix(unit);
        if (prefix.picture_timing)
            return refuse(where + " carries picture-timing SEI, which would describe the wrong pictures; take the "
                                  "SEI out first: ffmpeg -i IN -c:v copy -bsf:v filter_units=remove_types=6 -f h264 "
                                  "OUT.h264");
        const size_t insert_at = insertion_point(unit.data, unit.size);
        const auto to_rate = [&](const kavrel::SpsFacts& t, Rate* r) {
            if (have_rate_) {
                *r = {2 * rate_.num, rate_.den};
                run_->output.set_frame_rate(*r);
                return true;
            }
            if (!t.timing_info_present_flag || !t.num_units_in_tick || !t.time_scale) {
                std::fprintf(stderr, "kavrel: the SPS carries no frame rate; give the input's rate with --rate\n");
                return false;
            }
            *r = {t.time_scale, t.num_units_in_tick};  // time_scale / (2 x num_units_in_tick), doubled
            run_->output.set_frame_rate(*r);
            return true;
        };
        if (const int rc = copy_rewriting_sps(unit, insert_at, &sps_, to_rate, &run_->output)) return rc;
        if (unit.picture) {
            const uint64_t mbs = uint64_t(unit.info.coded_width / 16) * uint64_t(unit.info.coded_height / 16);
            repeat_.resize(2 * mbs + 4096);
            const int32_t n = H264_Enc_Double_Frame_Sized(run_->parser(), repeat_.data(),
                                                          static_cast<uint32_t>(repeat_.size()));
            if (n >= 0) {
                run_->output.begin_unit(UnitRole::Repeat, unit.index);  // it and the units that end the stream
                if (prefix.delimiter) run_->output.write(kRepeatDelimiter, sizeof kRepeatDelimiter);
                run_->output.write(repeat_.data(), static_cast<size_t>(n));
                ++repeats_;
            } else if (repeats_ > 0) {
                return refuse(refusal_reason(library_refusal(run_->parser())) + "; at " + where);
            } else {
                // Not yet at a picture a repeat may follow: copied as it is.
                if (skipped_++ == 0) first_refusal_ = refusal_reason(library_refusal(run_->parser())) + "; first seen at " + where;
            }
        }
        run_->output.write(unit.data + insert_at, unit.size - insert_at);
        return kDone;
    }

    int finish(int status) {
        if (status == kDone && repeats_ == 0 && skipped_ > 0)
            status = refuse(first_refusal_);
        if (status == kDone && skipped_ > 0)
            std::fprintf(stderr, "kavrel: %llu picture(s) before the first one a repeat may follow copied unchanged\n",
                         static_cast<unsigned long long>(skipped_));
        status = run_->finish(status);
        if (status == kDone) sps_.report();
        if (status == kDone)
            std::fprintf(stderr, "kavrel: %llu pictures doubled, %d SPS written again at twice the rate\n",
                         static_cast<unsigned long long>(repeats_), sps_.rewritten());
        return status;
    }

private:
    int refuse(const std::string& reason) {
        run_->end_progress();
        std::fprintf(stderr, "kavrel: cannot double %s: %s; nothing written\n", run_->in_name().c_str(), reason.c_str());
        return kRefused;
    }

    Rewrite* run_;
    bool have_rate_;
    Rate rate_;
    SpsRewriter sps_;
    std::vector<uint8_t> repeat_;
    uint64_t repeats_ = 0, skipped_ = 0;
    std::string first_refusal_;
};

int run_double(const std::string& in_path, const std::string& out_path, bool have_rate, Rate rate) {
    Rewrite run;
    if (const int rc = run.open(in_path, out_path)) return rc;
    Doubler doubler(&run, have_rate, rate);
    int status = kDone;
    Unit unit;
    for (uint64_t index = 0; status == kDone && run.next(&unit); ++index) status = doubler.add(unit, index);
    return doubler.finish(status);
}

}  // namespace

void register_double(CLI::App& app, int* status) {
    auto* cmd = app.add_subcommand("double", "Double the frame rate: a repeat frame after every picture");
    auto in = std::make_shared<std::string>();
    auto out = std::make_shared<std::string>();
    auto rate = std::make_shared<std::string>();
    cmd->add_option("IN", *in, "H.264 Annex B stream (reference frames only), - for standard input")->required();
    cmd->add_option("OUT", *out, "Where to write the doubled stream, - for standard output")->required();
    cmd->add_option("--rate", *rate,
                    "The input's frame rate (25, 30000/1001, 29.97); needed when the stream carries no timing; when "
                    "given it replaces the stream's own");
    cmd->callback([=]() {
        Rate r;
        if (!rate->empty() && !parse_rate(*rate, &r))
            throw CLI::ValidationError("--rate", "expected N, N/D or a decimal, e.g. 25, 30000/1001, 29.97");
        *status = run_double(*in, *out, !rate->empty(), r);
    });
}

}  // namespace kavrel_cli
