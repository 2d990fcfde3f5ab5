#include "cli_common.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace kavrel_cli {

namespace {

std::mutex log_mutex;
std::string last_message;
bool log_quiet = false;

void log_to_stderr(void*, const char* message) {
    std::lock_guard<std::mutex> lock(log_mutex);
    last_message = message;
    if (!log_quiet) std::fputs(message, stderr);
}

}  // namespace

void install_log_sink() { Kavrel_Set_Log_Callback(log_to_stderr, nullptr); }

bool* log_quiet_flag() { return &log_quiet; }

std::string last_library_message() {
    std::lock_guard<std::mutex> lock(log_mutex);
    std::string m = last_message;
    const std::string tag = "[VsKavrel]:";
    if (m.rfind(tag, 0) == 0) m.erase(0, tag.size());
    while (!m.empty() && (m.back() == '\n' || m.back() == ' ')) m.pop_back();
    return m;
}

int open_checked(InputWindow* input, const std::string& path) {
    if (!input->open(path)) return kIoError;
    size_t available = 0;
    // Container signatures sit in the first bytes, but a stream cut inside a
    // large slice (a 1080p I slice is hundreds of KiB) reaches its first
    // start code only later: look for it as far as the window reaches.
    const size_t probe = std::max<size_t>(65536, window_bytes());
    const uint8_t* p = input->view(0, probe, &available);
    if (!p) return kIoError;
    const size_t n = std::min(available, probe);
    const std::string foreign = foreign_input(p, n, input->ends_at(n));
    if (foreign.empty()) return kDone;
    std::fprintf(stderr, "kavrel: %s %s\n", input->name().c_str(), foreign.c_str());
    return kRefused;
}

Rewrite::~Rewrite() {
    delete walker_;
    if (handle_) Kavrel_Close(handle_);
}

int Rewrite::open(const std::string& in, const std::string& out) {
    if (const int rc = open_checked(&input, in)) return rc;
    handle_ = Kavrel_Open();
    if (!handle_) {
        std::fprintf(stderr, "kavrel: out of memory\n");
        return kIoError;
    }
    walker_ = new UnitWalker(&input, handle_);
    return output.open(out) ? kDone : kIoError;
}

bool Rewrite::next(Unit* unit) {
    while (walker_->next(unit)) {
        if (!unit->leading) return !output.failed();
        output.write(unit->data, unit->size);
        ++leading_units_;
        leading_bytes_ += unit->size;
    }
    walker_->end_progress();
    return false;
}

int Rewrite::finish(int status) {
    walker_->end_progress();
    if (walker_->io_error()) status = kIoError;
    if (status == kDone && walker_->pictures() == 0) {
        std::fprintf(stderr, "kavrel: %s holds no H.264 picture the library can parse; nothing written\n",
                     in_name().c_str());
        status = kRefused;
    }
    if (leading_units_)
        std::fprintf(stderr,
                     "kavrel: %llu leading unit(s) (%llu bytes) before the first parsable picture%s "
                     "(the stream starts mid-GOP)\n",
                     static_cast<unsigned long long>(leading_units_), static_cast<unsigned long long>(leading_bytes_),
                     status == kDone ? " copied unchanged" : "");
    if (status != kDone) return status;  // the output's destructor removes the temporary file
    return output.finish() ? kDone : kIoError;
}

SpsRewriter::SpsRewriter() : handle_(Kavrel_Open()) {}

SpsRewriter::~SpsRewriter() {
    if (handle_) Kavrel_Close(handle_);
}

bool SpsRewriter::parse(const uint8_t* p, const Nal& u) {
    if (!handle_) return false;
    const size_t sc = u.header - 3;
    const FrameInput input{p + sc, static_cast<uint32_t>(u.end - sc)};
    info_ = FrameInfo{};
    timing_ = SpsTiming{};
    return Kavrel_Start(handle_, &input, &info_) == 0 && info_.sps_data &&
           read_sps_timing(info_.sps_data, info_.sps_size, &timing_);
}

bool SpsRewriter::write(Rate rate, OutputStream* out) {
    rate = reduced(rate);
    if (rate.num > 0x7FFFFFFFu || rate.den > 0xFFFFFFFFu) return false;
    uint8_t unit[65536];
    const int32_t n = H264_Enc_Iframe_Rate(handle_, unit, sizeof unit, static_cast<uint32_t>(rate.num),
                                           static_cast<uint32_t>(rate.den));
    if (n < 8 || (unit[4] & 0x1F) != 7) return false;
    // level_idc is the third RBSP byte (clause 7.3.2.1.1); profile_idc is
    // never zero, so no emulation prevention byte comes before it. Level 1b
    // of Baseline, Main and Extended is level_idc 11 with constraint_set3_flag.
    const int profile = timing_.profile_idc;
    const bool level_1b = (profile == 66 || profile == 77 || profile == 88) && unit[7] == 11 && (unit[6] & 0x10);
    const int level = level_1b ? 9 : unit[7];
    const uint64_t mbs = uint64_t(info_.coded_width / 16) * uint64_t(info_.coded_height / 16);
    const int needed = level_for_rate(level, mbs, rate);
    if (needed != level) {
        if (level_1b) unit[6] &= static_cast<uint8_t>(~0x10);
        unit[7] = static_cast<uint8_t>(needed);
        if (raised_to_ != needed)
            std::fprintf(stderr, "kavrel: level_idc %d raised to %d: %dx%d at %s fps needs it (Table A-1 MaxMBPS)\n",
                         level, needed, info_.coded_width, info_.coded_height, rate_text(rate).c_str());
        raised_to_ = needed;
    }
    if (timing_.hrd && !hrd_warned_) {
        std::fprintf(stderr,
                     "kavrel: warning: the SPS carries HRD parameters; their bit rates and CPB timing no longer "
                     "hold at the new rate\n");
        hrd_warned_ = true;
    }
    out->write(unit, static_cast<size_t>(n));
    ++rewritten_;
    return true;
}

}  // namespace kavrel_cli
