// Reading a container: its H.264 video stream as Annex B access units, as
// `ffmpeg -c copy -bsf:v h264_mp4toannexb` would extract it (libavcodec's
// own filter does the conversion), with each packet's timestamps.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "container_impl.h"
#include "stream_io.h"

namespace kavrel_cli {

namespace {

constexpr size_t kRecords = 512;  // input packets remembered for the output's timestamps
constexpr int kIoBuffer = 1 << 16;

bool at(const uint8_t* p, size_t n, size_t offset, const char* text) {
    const size_t len = std::strlen(text);
    return n >= offset + len && std::memcmp(p + offset, text, len) == 0;
}

// Standard input through the window that has already read its first bytes.
int read_window(void* opaque, uint8_t* buffer, int size) {
    auto* impl = static_cast<Container::Impl*>(opaque);
    size_t available = 0;
    const uint8_t* p = impl->window->view(impl->window_pos, static_cast<size_t>(size), &available);
    if (!p) return AVERROR(EIO);
    const size_t n = available < static_cast<size_t>(size) ? available : static_cast<size_t>(size);
    if (n == 0) return AVERROR_EOF;
    std::memcpy(buffer, p, n);
    impl->window_pos += n;
    return static_cast<int>(n);
}

// A length-prefixed sample of `length_size`-byte lengths holds an SPS or PPS.
bool sample_has_sets(const uint8_t* p, size_t n, int length_size) {
    size_t pos = 0;
    while (pos + length_size < n) {
        size_t len = 0;
        for (int i = 0; i < length_size; ++i) len = len << 8 | p[pos + i];
        pos += length_size;
        const int type = p[pos] & 0x1F;
        if (type == 7 || type == 8) return true;
        pos += len;
    }
    return false;
}

std::string streams_text(const AVFormatContext* in) {
    std::string s;
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        const AVCodecParameters* par = in->streams[i]->codecpar;
        const char* type = av_get_media_type_string(par->codec_type);
        s += (s.empty() ? "" : ", ") + std::to_string(i) + " " + (type ? type : "unknown") + " " +
             avcodec_get_name(par->codec_id);
    }
    return s.empty() ? "none" : s;
}

}  // namespace

std::string av_error_text(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

bool containers_supported() { return true; }

std::string containers_version() {
    const auto text = [](unsigned v) {
        return std::to_string(AV_VERSION_MAJOR(v)) + "." + std::to_string(AV_VERSION_MINOR(v)) + "." +
               std::to_string(AV_VERSION_MICRO(v));
    };
    return "containers: MP4/MOV, Matroska/WebM, MPEG-TS (libavformat " + text(avformat_version()) + ", libavcodec " +
           text(avcodec_version()) + ")";
}

bool looks_like_container(const uint8_t* p, size_t n) {
    for (const char* box : {"ftyp", "moov", "mdat", "free", "skip", "wide"})
        if (at(p, n, 4, box)) return true;
    if (at(p, n, 0, "\x1A\x45\xDF\xA3") || at(p, n, 0, "FLV") || at(p, n, 0, "RIFF")) return true;
    const bool ts = n >= 377 && p[0] == 0x47 && p[188] == 0x47 && p[376] == 0x47;
    const bool m2ts = n >= 389 && p[4] == 0x47 && p[196] == 0x47 && p[388] == 0x47;
    return ts || m2ts || (n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] == 0xBA);
}

Container::Impl::~Impl() {
    for (HeldPacket& h : held) av_packet_free(&h.packet);
    if (out) {
        if (out->pb && !(out->oformat->flags & AVFMT_NOFILE)) avio_closep(&out->pb);
        avformat_free_context(out);
    }
    av_bsf_free(&bsf);
    avformat_close_input(&in);
    if (in_io) {
        av_freep(&in_io->buffer);
        avio_context_free(&in_io);
    }
    av_packet_free(&packet);
    av_packet_free(&annexb);
    av_packet_free(&ahead);
}

bool Container::Impl::open_input(const std::string& path, int stream, bool raw_h264, bool* refused) {
    in = avformat_alloc_context();
    if (!in) return false;
    const std::string shown = path == "-" ? "standard input" : path;
    if (path == "-") {  // the window holds what was read to recognise the input
        auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBuffer));
        in_io = buffer ? avio_alloc_context(buffer, kIoBuffer, 0, this, read_window, nullptr, nullptr) : nullptr;
        if (!in_io) {
            av_free(buffer);
            return false;
        }
        in->pb = in_io;
    }
    const AVInputFormat* format = raw_h264 ? av_find_input_format("h264") : nullptr;
    int rc = avformat_open_input(&in, path == "-" ? "" : ("file:" + path).c_str(), format, nullptr);
    if (rc >= 0) rc = avformat_find_stream_info(in, nullptr);
    if (rc < 0) {
        std::fprintf(stderr, "kavrel: cannot read %s: %s\n", shown.c_str(), av_error_text(rc).c_str());
        *refused = rc == AVERROR_INVALIDDATA;
        return false;
    }
    for (unsigned i = 0; i < in->nb_streams && stream < 0; ++i)
        if (in->streams[i]->codecpar->codec_id == AV_CODEC_ID_H264) stream = static_cast<int>(i);
    if (stream < 0 || stream >= static_cast<int>(in->nb_streams) ||
        in->streams[stream]->codecpar->codec_id != AV_CODEC_ID_H264) {
        std::fprintf(stderr, "kavrel: %s holds no H.264 video stream%s (streams: %s); nothing done\n", shown.c_str(),
                     stream >= 0 ? (" numbered " + std::to_string(stream)).c_str() : "", streams_text(in).c_str());
        *refused = true;
        return false;
    }
    video = stream;
    tb = in->streams[video]->time_base;
    name = in->iformat->name;
    video_delay = static_cast<uint64_t>(in->streams[video]->codecpar->video_delay);
    const AVCodecParameters* par = in->streams[video]->codecpar;
    if (par->extradata_size >= 7 && par->extradata[0] == 1) {  // avcC: samples are length-prefixed
        const AVBitStreamFilter* filter = av_bsf_get_by_name("h264_mp4toannexb");
        if (!filter || av_bsf_alloc(filter, &bsf) < 0 || avcodec_parameters_copy(bsf->par_in, par) < 0 ||
            (bsf->time_base_in = tb, av_bsf_init(bsf) < 0)) {
            std::fprintf(stderr, "kavrel: cannot convert the H.264 samples of %s to Annex B\n", shown.c_str());
            return false;
        }
    }
    return true;
}

void Container::Impl::remember(const AVPacket* p, bool sets_added) {
    InputRecord r;
    r.index = next_index++;
    r.duration = p->duration > 0 ? p->duration : last_duration;
    // Matroska has no decoding times for the first pictures of a reordered
    // stream, raw H.264 none at all: below the pts by the reorder delay.
    const int64_t step = std::max<int64_t>(r.duration, 1);
    if (p->dts != AV_NOPTS_VALUE) r.dts = p->dts;
    else if (last_dts != kNoTime) r.dts = p->pts != AV_NOPTS_VALUE ? std::min(last_dts + step, p->pts) : last_dts + step;
    else r.dts = p->pts != AV_NOPTS_VALUE ? p->pts - static_cast<int64_t>(video_delay) * step : 0;
    r.pts = p->pts != AV_NOPTS_VALUE ? p->pts : r.dts;
    r.key = (p->flags & AV_PKT_FLAG_KEY) != 0;
    r.sets_added = sets_added;
    last_dts = r.dts;
    last_duration = r.duration;
    records.push_back(r);
    if (records.size() > kRecords) records.pop_front();
}

const InputRecord* Container::Impl::record(uint64_t k) const {
    if (records.empty() || k < records.front().index || k > records.back().index) return nullptr;
    return &records[static_cast<size_t>(k - records.front().index)];
}

// The next video packet in Annex B into `p`: 1, 0 at the end, -1 on an error.
int Container::Impl::read_packet(AVPacket* p) {
    for (;;) {
        if (bsf) {
            const int got = av_bsf_receive_packet(bsf, p);
            if (got == 0) {
                const bool had = !had_sets.empty() && had_sets.front();
                if (!had_sets.empty()) had_sets.pop_front();
                bool has = false;
                for (size_t i = 0; i + 3 < static_cast<size_t>(p->size) && !has; ++i)
                    has = p->data[i] == 0 && p->data[i + 1] == 0 && p->data[i + 2] == 1 &&
                          ((p->data[i + 3] & 0x1F) == 7 || (p->data[i + 3] & 0x1F) == 8);
                remember(p, has && !had);
                return 1;
            }
            if (got == AVERROR_EOF) return 0;
            if (got != AVERROR(EAGAIN)) return fail("cannot convert a video packet", got), -1;
            if (bsf_flushed) return 0;
        }
        const int rc = av_read_frame(in, packet);
        if (rc == AVERROR_EOF || (rc < 0 && avio_feof(in->pb))) {
            ended = true;
            if (!bsf) return 0;
            av_bsf_send_packet(bsf, nullptr);
            bsf_flushed = true;
            continue;
        }
        if (rc < 0) return fail("cannot read the input", rc), -1;
        if (packet->stream_index != video) {
            route(packet);
            continue;
        }
        if (!bsf) {
            av_packet_move_ref(p, packet);
            remember(p, false);
            return 1;
        }
        const int length_size = (in->streams[video]->codecpar->extradata[4] & 3) + 1;
        had_sets.push_back(sample_has_sets(packet->data, static_cast<size_t>(packet->size), length_size));
        const int sent = av_bsf_send_packet(bsf, packet);
        if (sent < 0) return fail("cannot convert a video packet", sent), -1;
    }
}

Container::Container() : impl_(std::make_unique<Impl>()) {}
Container::~Container() = default;

std::unique_ptr<Container> Container::open(InputWindow* window, const std::string& path, int stream, bool raw_h264,
                                           bool* refused) {
    *refused = false;
    std::unique_ptr<Container> c(new Container());
    c->impl_->window = window;
    av_log_set_level(AV_LOG_ERROR);
    if (!c->impl_->open_input(path, stream, raw_h264, refused)) return nullptr;
    return c;
}

static size_t leading_zeros(const AVPacket* p) {
    size_t n = 0;
    while (n + 3 < static_cast<size_t>(p->size) && p->data[n] == 0 && !(p->data[n + 1] == 0 && p->data[n + 2] == 1)) ++n;
    return n;
}

// One packet is read ahead, to say where the next one's start code begins.
int Container::next(Packet* out) {
    Impl& m = *impl_;
    if (!m.primed) {
        m.primed = true;
        m.ahead_rc = m.read_packet(m.ahead);
        if (m.ahead_rc > 0) m.ahead_record = m.records.back();
    }
    if (m.ahead_rc <= 0) return m.ahead_rc;
    av_packet_unref(m.annexb);
    av_packet_move_ref(m.annexb, m.ahead);
    const InputRecord r = m.ahead_record;
    m.ahead_rc = m.read_packet(m.ahead);
    if (m.ahead_rc > 0) m.ahead_record = m.records.back();
    out->data = m.annexb->data;
    out->size = static_cast<size_t>(m.annexb->size);
    out->index = r.index;
    out->pts = r.pts;
    out->dts = r.dts;
    out->lead = leading_zeros(m.annexb);
    out->next_lead = m.ahead_rc > 0 ? leading_zeros(m.ahead) : 0;
    return 1;
}

uint64_t Container::position() const {
    const int64_t pos = impl_->in && impl_->in->pb ? avio_tell(impl_->in->pb) : 0;
    return pos > 0 ? static_cast<uint64_t>(pos) : 0;
}

const std::string& Container::short_name() const { return impl_->name; }

std::string Container::time_base() const { return std::to_string(impl_->tb.num) + "/" + std::to_string(impl_->tb.den); }

}  // namespace kavrel_cli
