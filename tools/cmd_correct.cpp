// kavrel sar W:H IN OUT and kavrel fix-pps IN OUT: Kavrel_enc_h264Correct
// applied to every access unit, and to every SPS (sar) or PPS (fix-pps)
// wherever it stands.
//
// The call parses the access unit it is given with no earlier state, so it
// refuses one whose picture continues the stream (a P picture after a
// repeated SPS and PPS: its frame_num follows pictures it has not seen),
// and it rewrites only the last set of a unit. Each set is therefore also
// corrected on its own: the call applied to a unit of just that set and
// its partner (for a PPS the latest SPS it names, for an SPS a minimal PPS
// naming it), which gives the bytes the call writes for it in a whole
// unit. Sets the call has corrected already come out of that unchanged.
#include <cstdio>
#include <map>
#include <vector>

#include "cli_common.h"

namespace kavrel_cli {

namespace {

struct Correction {
    int32_t mode = 0;  // 1 PPS tail, 2 sample aspect ratio
    uint32_t sar_width = 0;
    uint32_t sar_height = 0;
    bool strict = false;
};

// Kavrel_enc_h264Correct on `unit`: its result and why it refused; *out
// holds the corrected unit when *corrected is 1.
kavrel::CorrectionOutcome correct_unit(const Correction& c, const uint8_t* unit, size_t size,
                                       std::vector<uint8_t>* out, int32_t* corrected) {
    // Room for the larger parameter set and its emulation prevention.
    out->resize(size + size / 2 + 1024);
    CorrectionRequest req{};
    req.OrgFrameLength = static_cast<uint32_t>(size);
    req.org_frame = unit;
    req.cureFrameLength = static_cast<uint32_t>(out->size());
    req.cure_frame = out->data();
    req.sar_width = c.sar_width;
    req.sar_height = c.sar_height;
    req.correction_mode = c.mode;
    const kavrel::CorrectionOutcome outcome = kavrel::correct_access_unit(&req);
    *corrected = req.corrected;
    if (req.corrected == 1) out->resize(req.cureFrameLength);
    return outcome;
}

// A PPS that names SPS `id` and nothing more, as a NAL unit.
std::string minimal_pps(int32_t id) {
    uint8_t nal[16];
    const int32_t n = kavrel::write_plain_pps_unit(id, nal, sizeof nal);
    return n > 0 ? std::string(reinterpret_cast<const char*>(nal), static_cast<size_t>(n)) : std::string();
}

// The corrected form of each SPS or PPS, by its bytes.
class SetCorrections {
public:
    explicit SetCorrections(const Correction& c) : c_(c) {}

    struct Outcome {
        int32_t code = 0;  // the call's result on the set alone
        std::string reason;  // why it failed, when it says
        bool failed = false;
        std::string nal;  // the set as it is to be written (header byte on)
    };

    // For the set [u.header, u.end) of `p`, which is an SPS in mode 2 and a
    // PPS in mode 1.
    const Outcome& correct(const uint8_t* p, const Nal& u) {
        const std::string set(reinterpret_cast<const char*>(p + u.header), u.end - u.header);
        // A PPS is keyed with the SPS it names, an SPS by itself alone.
        std::string partner;
        if (c_.mode == 1) {
            const int id = kavrel::pps_seq_parameter_set_id(p + u.header, u.end - u.header);
            partner = id >= 0 ? sps_by_id_[id] : std::string();
        }
        const std::string key = c_.mode == 1 ? set + '\0' + partner : set;
        if (const auto found = cache_.find(key); found != cache_.end()) return found->second;
        if (c_.mode == 2) {
            kavrel::SpsFacts sps;
            kavrel::describe_sps_unit(p + u.header, u.end - u.header, &sps);
            partner = minimal_pps(sps.seq_parameter_set_id & 31);
        }
        if (cache_.size() >= 256) cache_.clear();  // a stream of ever new sets
        return cache_[key] = alone(set, partner);
    }

    // Notes the SPS NAL unit [u.header, u.end) for the PPS that follow it
    // (fix-pps).
    void saw_sps(const uint8_t* p, const Nal& u) {
        kavrel::SpsFacts sps;
        if (kavrel::describe_sps_unit(p + u.header, u.end - u.header, &sps) && sps.seq_parameter_set_id < 32)
            sps_by_id_[sps.seq_parameter_set_id].assign(reinterpret_cast<const char*>(p + u.header), u.end - u.header);
    }

private:
    // The call on a unit of the set and its partner (the SPS first).
    Outcome alone(const std::string& set, const std::string& partner) {
        Outcome o;
        o.nal = set;
        if (partner.empty()) {  // a PPS before any SPS it names
            o.failed = true;
            o.code = KAVREL_E_SPS_NOT_VALID;
            o.reason = "no SPS with the id it names comes before it";
            return o;
        }
        const std::string& sps = c_.mode == 1 ? partner : set;
        const std::string& pps = c_.mode == 1 ? set : partner;
        const std::string sc("\0\0\0\1", 4);
        const std::string unit = sc + sps + sc + pps;
        int32_t corrected = 0;
        HeldLog held;  // the walk has shown what the library says of these sets
        const kavrel::CorrectionOutcome call =
            correct_unit(c_, reinterpret_cast<const uint8_t*>(unit.data()), unit.size(), &out_, &corrected);
        o.code = call.code;
        o.reason = call.reason;
        if (o.code != 0 || corrected != 1) {
            // Mode 1 leaves a PPS that has its tail (or needs none) as it is.
            o.failed = o.code < 0 || c_.mode == 2;
            return o;
        }
        // The corrected unit is the two sets again, one of them rewritten.
        const size_t second = find_start_code(out_.data(), 4, out_.size());
        size_t first_end = second;
        while (first_end > 4 && out_[first_end - 1] == 0) --first_end;
        const char* b = reinterpret_cast<const char*>(out_.data());
        o.nal = c_.mode == 2 ? std::string(b + 4, first_end - 4) : std::string(b + second + 3, out_.size() - second - 3);
        return o;
    }

    const Correction& c_;
    std::map<std::string, Outcome> cache_;
    std::string sps_by_id_[32];
    std::vector<uint8_t> out_;
};

class Corrector {
public:
    Corrector(const Correction& c, Rewrite* run) : c_(c), run_(run), sets_(c) {
        // A stream that starts mid-GOP: its sets before the first picture the
        // library parses are corrected too.
        run->set_leading_writer([this](const Unit& unit) { write_sets(unit, unit.data, unit.size, ""); });
    }

    // Writes the unit, corrected; 0 or an exit code after a message.
    int add(const Unit& unit, uint64_t index) {
        const std::string where = "access unit " + std::to_string(index) + " (offset " + std::to_string(unit.offset) + ")";
        const uint8_t* data = unit.data;
        size_t size = unit.size;
        int32_t corrected = 0;
        if (unit.result < 0) {
            if (c_.strict) return refuse(where + " does not parse (code " + result_text(unit.result) + "; --strict)");
            if (failures_++ < 5)
                std::fprintf(stderr, "kavrel: warning: %s does not parse (code %s): copied unchanged\n", where.c_str(),
                             result_text(unit.result).c_str());
        } else {
            // The call refuses a unit whose picture continues the stream
            // (its frame_num follows pictures it has not seen): its sets are
            // then corrected on their own, and what it said is beside the point.
            HeldLog held;
            const int32_t rc = correct_unit(c_, data, size, &whole_, &corrected).code;
            if (rc >= 0) held.release();
            if (rc == 0 && corrected == 1) {
                data = whole_.data();  // the call's own result for the unit
                size = whole_.size();
                ++rewritten_;
            }
        }
        return write_sets(unit, data, size, where);
    }

    int finish(int status) {
        if (status == kDone && failures_)
            std::fprintf(stderr, "kavrel: %llu access unit(s) the library could not parse were copied unchanged\n",
                         static_cast<unsigned long long>(failures_));
        status = run_->finish(status);
        if (status == kDone)
            std::fprintf(stderr, "kavrel: %llu %s\n", static_cast<unsigned long long>(rewritten_),
                         c_.mode == 2 ? "SPS given the sample aspect ratio" : "PPS given the 8x8-transform tail");
        return status;
    }

private:
    // Writes [0, size) of `data` (the unit, or the call's correction of it)
    // with every set corrected on its own.
    int write_sets(const Unit& unit, const uint8_t* data, size_t size, const std::string& where) {
        const uint8_t kind = c_.mode == 2 ? 7 : 8;
        size_t copied = 0;
        std::string refusal;
        visit_prefix(data, size, [&](const Nal& u) {
            if (u.type == 7 && c_.mode == 1) sets_.saw_sps(data, u);
            if (u.type != kind || !refusal.empty()) return;
            const SetCorrections::Outcome& o = sets_.correct(data, u);
            if (o.failed && unit.result >= 0)
                refusal = std::string(kind == 7 ? "the SPS" : "the PPS") + " at offset " +
                          std::to_string(unit.offset + u.start) + " (" + where + ") cannot be corrected" +
                          (o.reason.empty() ? "" : ": " + o.reason) + " (code " + result_text(o.code) + ")";
            const std::string now(reinterpret_cast<const char*>(data + u.header), u.end - u.header);
            if (o.failed || o.nal == now) return;
            run_->output.write(data + copied, u.header - copied);
            run_->output.write(reinterpret_cast<const uint8_t*>(o.nal.data()), o.nal.size());
            copied = u.end;
            ++rewritten_;
        });
        if (!refusal.empty()) return refuse(refusal);
        run_->output.write(data + copied, size - copied);
        return kDone;
    }

    int refuse(const std::string& reason) {
        run_->end_progress();
        std::fprintf(stderr, "kavrel: %s: %s; nothing written\n", run_->in_name().c_str(), reason.c_str());
        return kRefused;
    }

    const Correction& c_;
    Rewrite* run_;
    SetCorrections sets_;
    std::vector<uint8_t> whole_;
    uint64_t failures_ = 0, rewritten_ = 0;
};

int correct_stream(const Correction& c, const std::string& in_path, const std::string& out_path) {
    Rewrite run;
    if (const int rc = run.open(in_path, out_path)) return rc;
    Corrector corrector(c, &run);
    int status = kDone;
    Unit unit;
    for (uint64_t index = 0; status == kDone && run.next(&unit); ++index) status = corrector.add(unit, index);
    return corrector.finish(status);
}

void add_io(CLI::App* cmd, std::shared_ptr<std::string> in, std::shared_ptr<std::string> out,
            std::shared_ptr<bool> strict) {
    cmd->add_option("IN", *in, input_help())->required();
    cmd->add_option("OUT", *out, "Output stream, - for standard output")->required();
    cmd->add_flag("--strict", *strict,
                  "Refuse the stream when an access unit does not parse (by default it is copied unchanged)");
}

}  // namespace

void register_sar(CLI::App& app, int* status) {
    auto* cmd = app.add_subcommand(
        "sar", "Give every SPS an explicit sample aspect ratio (VUI aspect_ratio_idc 255, W:H reduced); "
               "the rest of each SPS, its VUI included, is kept. 0:0 takes the picture's own size");
    auto ratio = std::make_shared<std::string>();
    auto in = std::make_shared<std::string>();
    auto out = std::make_shared<std::string>();
    auto strict = std::make_shared<bool>(false);
    cmd->add_option("W:H", *ratio, "Sample aspect ratio, e.g. 4:3 or 16:11")->required();
    add_io(cmd, in, out, strict);
    cmd->callback([=]() {
        Correction c;
        c.mode = 2;
        c.strict = *strict;
        unsigned w = 0, h = 0;
        char extra = 0;
        if (std::sscanf(ratio->c_str(), "%5u:%5u%c", &w, &h, &extra) != 2 || w > 65535 || h > 65535 ||
            (w == 0) != (h == 0)) {
            throw CLI::ValidationError("W:H", "expected two whole numbers from 1 to 65535, e.g. 4:3, or 0:0");
        }
        c.sar_width = w;
        c.sar_height = h;
        *status = correct_stream(c, *in, *out);
    });
}

void register_fix_pps(CLI::App& app, int* status) {
    auto* cmd = app.add_subcommand(
        "fix-pps",
        "Add transform_8x8_mode_flag = 1 (no scaling matrix, second_chroma_qp_index_offset = "
        "chroma_qp_index_offset) to every PPS of a High-profile stream that ends after "
        "redundant_pic_cnt_present_flag. Right only when the slices really use the 8x8 transform "
        "(a stream whose PPS lost its High-profile tail); on any other stream it breaks decoding");
    auto in = std::make_shared<std::string>();
    auto out = std::make_shared<std::string>();
    auto strict = std::make_shared<bool>(false);
    add_io(cmd, in, out, strict);
    cmd->callback([=]() {
        Correction c;
        c.mode = 1;
        c.strict = *strict;
        *status = correct_stream(c, *in, *out);
    });
}

}  // namespace kavrel_cli
