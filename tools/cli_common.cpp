#include "cli_common.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>

namespace kavrel_cli {

namespace {

std::mutex log_mutex;
LogOptions log_options;

bool starts_with(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// Lines the library prints on every valid stream: where it found the end
// of an access unit it was given more bytes of (the next picture's slice,
// or a NAL unit that begins the next access unit), and the note of the SPS
// writer. Also why a picture cannot be repeated: `rate` then repeats the
// next one that can, and a job that fails for it says so in its own words.
bool routine_line(const char* m) {
    static const char kTag[] = "[VsKavrel]:";
    if (starts_with(m, kTag)) {
        m += sizeof kTag - 1;
        return starts_with(m, "Unexpected more data in current frame\n") ||
               starts_with(m, "H264_Enc_Double_Frame: ") ||
               (starts_with(m, "Kavrel_Repeat_Picture: ") && !starts_with(m, "Kavrel_Repeat_Picture: Error")) ||
               (starts_with(m, "nal_unit_type (") && std::strstr(m, ") should precede the VCL NAL\n"));
    }
    return starts_with(m, "test: writing Sequence Parameter VUI to signal RGB format");
}

std::vector<std::string>* held_lines = nullptr;

const char* profile_name(int idc) {
    switch (idc) {
    case 66: return "Baseline";
    case 77: return "Main";
    case 88: return "Extended";
    case 100: return "High";
    case 110: return "High 10";
    case 122: return "High 4:2:2";
    case 244: return "High 4:4:4 Predictive";
    case 44: return "CAVLC 4:4:4 Intra";
    default: return "profile";
    }
}

// Why the library does not take a stream with this SPS, in the user's
// words ("High 10 (profile_idc 110), bit depth 10: kavrel takes 8-bit 4:2:0
// only"), or empty when its format is one the library takes.
std::string unsupported_format(const kavrel::SpsFacts& sps) {
    const std::string profile =
        std::string(profile_name(sps.profile_idc)) + " (profile_idc " + std::to_string(sps.profile_idc) + ")";
    std::string why;
    if (sps.chroma_format_idc >= 2) why += sps.chroma_format_idc == 2 ? ", 4:2:2 chroma" : ", 4:4:4 chroma";
    if (sps.bit_depth_luma != 8 || sps.bit_depth_chroma != 8) {
        why += ", bit depth " + std::to_string(sps.bit_depth_luma);
        if (sps.bit_depth_chroma != sps.bit_depth_luma) why += "/" + std::to_string(sps.bit_depth_chroma);
    }
    if (sps.qpprime_y_zero_transform_bypass_flag) why += ", lossless (qpprime_y_zero_transform_bypass_flag 1)";
    if (!why.empty()) return profile + why + ": kavrel takes 8-bit 4:2:0 only";
    const int32_t columns = sps.pic_width_in_mbs, map_units = sps.pic_height_in_map_units;
    if (columns > 511 || map_units > 511) {
        const int32_t rows = map_units * (sps.frame_mbs_only_flag ? 1 : 2);
        return std::to_string(16 * columns) + "x" + std::to_string(16 * rows) + " pictures (" +
               std::to_string(columns) + "x" + std::to_string(rows) +
               " macroblocks): kavrel takes pictures up to 511x511 macroblocks (8176x8176)";
    }
    if (sps.profile_idc == 66 && !sps.frame_mbs_only_flag) return profile + " with field coding: kavrel takes it in frames only";
    return "";
}

void show(const char* message, bool routine) {
    if (log_options.quiet || (routine && !log_options.verbose)) return;
    std::fputs(message, stderr);
}

void log_to_stderr(void*, const char* message) {
    std::lock_guard<std::mutex> lock(log_mutex);
    const bool routine = routine_line(message);
    if (held_lines) held_lines->push_back(message);
    else show(message, routine);
}

}  // namespace

HeldLog::HeldLog() {
    std::lock_guard<std::mutex> lock(log_mutex);
    held_lines = &lines_;
}

HeldLog::~HeldLog() {
    std::lock_guard<std::mutex> lock(log_mutex);
    held_lines = nullptr;
}

void HeldLog::release() {
    std::lock_guard<std::mutex> lock(log_mutex);
    for (const std::string& l : lines_) show(l.c_str(), routine_line(l.c_str()));
    lines_.clear();
}

void install_log_sink() { Kavrel_Set_Log_Callback(log_to_stderr, nullptr); }

LogOptions* log_options_flags() { return &log_options; }

std::string result_text(int32_t code) {
    static const char* const kNames[] = {
        "KAVREL_OK",           "KAVREL_E_REFUSED",        "KAVREL_E_SLICE_QP",      "KAVREL_E_PPS_NOT_VALID",
        "KAVREL_E_SLICE_TYPE_UNSUPPORTED", "KAVREL_E_IDR_NOT_I", "KAVREL_E_SLICE_TYPE", "KAVREL_E_NO_SPS",
        "KAVREL_E_SPS_NOT_VALID", "KAVREL_E_PPS_ID",      "KAVREL_E_PARAM_SET_MEMORY", "KAVREL_E_SEI_REF_IDC",
        "KAVREL_E_SPS_ID",     "KAVREL_E_IDR_MIXED",      "KAVREL_E_NAL",           nullptr,
        "KAVREL_E_FRAME_NUM",  nullptr,                   "KAVREL_E_SLICE_RANGE",   "KAVREL_E_PPS_RANGE",
        "KAVREL_E_SPS_RANGE",  "KAVREL_E_MEMORY",         "KAVREL_E_PROFILE"};
    const int32_t index = -code;
    const char* name = index >= 0 && index < static_cast<int32_t>(std::size(kNames)) ? kNames[index] : nullptr;
    return std::to_string(code) + (name ? " (" + std::string(name) + ")" : "");
}

int open_checked(InputWindow* input, const std::string& path, std::unique_ptr<Container>* container) {
    if (!input->open(path)) return kIoError;
    size_t available = 0;
    // Container signatures sit in the first bytes, but a stream cut inside a
    // large slice (a 1080p I slice is hundreds of KiB) reaches its first
    // start code only later: look for it as far as the window reaches.
    const size_t probe = std::max<size_t>(65536, window_bytes());
    const uint8_t* p = input->view(0, probe, &available);
    if (!p) return kIoError;
    const size_t n = std::min(available, probe);
    if (containers_supported() && looks_like_container(p, n)) {
        bool refused = false;
        *container = Container::open(input, path, log_options.stream, false, &refused);
        if (!*container) return refused ? kRefused : kIoError;
        if (path != "-") input->close();  // libavformat reads the file itself
        return kDone;
    }
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
    std::string format;
    if (!output_format_name(log_options.format, out, &format)) {
        std::fprintf(stderr, "kavrel: unknown --format '%s'; the formats are mp4, mov, mkv, webm, ts, flv, avi and "
                             "h264 (Annex B)\n", log_options.format.c_str());
        return kUsage;
    }
    if (const int rc = open_checked(&input, in, &container_)) return rc;
    if (format.empty()) format = container_ ? container_->default_format() : "h264";
    if (format != "h264" && !container_) {  // Annex B into a container: libavformat gives the timestamps
        bool refused = false;
        container_ = Container::open(&input, in, -1, true, &refused);
        if (!container_) return refused ? kRefused : kIoError;
        if (in != "-") input.close();
    }
    handle_ = Kavrel_Open();
    if (!handle_) {
        std::fprintf(stderr, "kavrel: out of memory\n");
        return kIoError;
    }
    walker_ = new UnitWalker(&input, handle_, container_.get());
    if (!output.open(out, log_options.force)) return kIoError;
    return format == "h264" || output.attach(container_.get(), format) ? kDone : kIoError;
}

std::string refused_format(const Unit& unit) {
    std::string why;
    if (unit.result >= 0) return why;
    visit_prefix(unit.data, unit.size, [&](const Nal& u) {
        kavrel::SpsFacts sps;
        if (u.type == 7 && why.empty() && kavrel::describe_sps_unit(unit.data + u.header, u.end - u.header, &sps))
            why = unsupported_format(sps);
    });
    return why;
}

bool Rewrite::next(Unit* unit) {
    while (walker_->next(unit)) {
        format_refusal_ = refused_format(*unit);
        if (!format_refusal_.empty()) break;
        output.begin_unit(UnitRole::Input, unit->index);
        if (!unit->leading) return !output.failed();
        if (leading_writer_) leading_writer_(*unit);
        else output.write(unit->data, unit->size);
        ++leading_units_;
        leading_bytes_ += unit->size;
    }
    walker_->end_progress();
    return false;
}

int Rewrite::finish(int status) {
    walker_->end_progress();
    if (walker_->io_error()) status = kIoError;
    if (status == kDone && !format_refusal_.empty()) {
        std::fprintf(stderr, "kavrel: %s: %s; nothing written\n", in_name().c_str(), format_refusal_.c_str());
        return kRefused;
    }
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
                     status != kDone      ? ""
                     : leading_writer_ ? " copied, only their parameter sets corrected"
                                       : " copied unchanged");
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
    const uint8_t* unit = p + sc;
    const size_t size = u.end - sc;
    if (!parsed_.empty() && std::equal(unit, unit + size, parsed_.begin(), parsed_.end())) return true;
    parsed_.clear();
    const FrameInput input{unit, static_cast<uint32_t>(size)};
    info_ = FrameInfo{};
    timing_ = kavrel::SpsFacts{};
    if (Kavrel_Start(handle_, &input, &info_) != 0 || !info_.sps_data ||
        !kavrel::describe_sps(info_.sps_data, info_.sps_size, &timing_))
        return false;
    parsed_.assign(unit, unit + size);
    return true;
}

const uint8_t* SpsRewriter::encode(Rate rate, size_t* size) {
    rate = reduced(rate);
    if (rate.num > 0x7FFFFFFFu || rate.den > 0xFFFFFFFFu) return nullptr;
    const int level = timing_.level;  // 9 for level 1b
    const uint64_t mbs = uint64_t(info_.coded_width / 16) * uint64_t(info_.coded_height / 16);
    const int needed = level_for_rate(level, mbs, rate);
    unit_.resize(65536);
    uint8_t* unit = unit_.data();
    const int32_t n = kavrel::write_sps_at_rate(handle_, unit, static_cast<uint32_t>(unit_.size()),
                                                static_cast<uint32_t>(rate.num), static_cast<uint32_t>(rate.den),
                                                needed != level ? needed : -1);
    if (n < 8 || (unit[4] & 0x1F) != 7) return nullptr;
    const std::string shape = std::to_string(info_.coded_width) + "x" + std::to_string(info_.coded_height) + " at " +
                              rate_text(rate) + " fps";
    if (needed != level)
        note("level_idc " + std::to_string(level) + " raised to " + std::to_string(needed) + ": " + shape +
             " needs it (Table A-1 MaxMBPS)");
    if (!any_level_admits(mbs, rate))
        note("warning: " + shape + " is more than any level of Table A-1 admits (level 6.2: 16711680 macroblocks "
             "a second); level_idc " + std::to_string(needed) + " written");
    if (timing_.hrd_parameters_present)
        note("warning: the SPS carries HRD parameters; their bit rates and CPB timing no longer hold at the new rate");
    ++rewritten_;
    *size = static_cast<size_t>(n);
    return unit;
}

void SpsRewriter::note(const std::string& text) {
    if (std::find(notes_.begin(), notes_.end(), text) == notes_.end()) notes_.push_back(text);
}

void SpsRewriter::report() const {
    for (const std::string& n : notes_) std::fprintf(stderr, "kavrel: %s\n", n.c_str());
}

const char* input_help() {
    return containers_supported() ? "H.264 Annex B stream, or MP4/MOV, Matroska or MPEG-TS file; - for standard input"
                                  : "H.264 Annex B stream, - for standard input";
}

}  // namespace kavrel_cli
