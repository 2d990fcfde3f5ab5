// Writing a container: the video units the command wrote, with timestamps
// from the input packets they came from, and every other stream of the
// input copied packet for packet. The header waits for the first SPS and
// PPS the command wrote, so that avcC / CodecPrivate holds them.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "container_impl.h"

namespace kavrel_cli {

namespace {

// Other streams' packets held until the header is written, at most.
constexpr size_t kHeldLimit = size_t{64} << 20;

const struct {
    const char* name;    // as typed (--format) or as OUT's extension
    const char* format;  // libavformat's muxer; h264 is Annex B, written without it
} kFormats[] = {{"mp4", "mp4"},       {"m4v", "mp4"},   {"mov", "mov"},       {"mkv", "matroska"},
                {"matroska", "matroska"}, {"webm", "webm"}, {"ts", "mpegts"},   {"mpegts", "mpegts"},
                {"m2ts", "mpegts"},   {"mts", "mpegts"}, {"flv", "flv"},      {"avi", "avi"},
                {"h264", "h264"},     {"264", "h264"},  {"avc", "h264"},      {"h26l", "h264"}};

const char* known_format(std::string name) {
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto& f : kFormats)
        if (name == f.name) return f.format;
    return nullptr;
}

// Calls visit(start, header, end) for each NAL unit of Annex B `p` before
// its first slice (where parameter sets stand): its start code from `start`
// (a leading zero byte included), header byte at `header`, trailing zero
// bytes excluded from [header, end).
template <typename Visit>
void each_nal_before_slice(const uint8_t* p, size_t n, Visit&& visit) {
    const auto start_code = [&](size_t from) {  // the 01 by memchr, then the two zeros before it
        for (size_t i = from + 2; i < n;) {
            const void* hit = std::memchr(p + i, 1, n - i);
            if (!hit) return n;
            i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - p);
            if (p[i - 1] == 0 && p[i - 2] == 0) return i - 2;
            ++i;
        }
        return n;
    };
    for (size_t sc = start_code(0); sc + 3 < n;) {
        const int type = p[sc + 3] & 0x1F;
        if (type >= 1 && type <= 5) return;
        const size_t next = start_code(sc + 3);
        size_t end = next;
        while (end > sc + 4 && p[end - 1] == 0) --end;
        visit(sc > 0 && p[sc - 1] == 0 ? sc - 1 : sc, sc + 3, end);
        sc = next;
    }
}

bool copyable(const AVOutputFormat* format, const AVCodecParameters* par) {
    if (par->codec_id == AV_CODEC_ID_NONE) return false;
    return avformat_query_codec(format, par->codec_id, FF_COMPLIANCE_NORMAL) != 0;
}

void copy_chapters(const AVFormatContext* in, AVFormatContext* out) {
    for (unsigned i = 0; i < in->nb_chapters; ++i) {
        const AVChapter* from = in->chapters[i];
        auto** grown = static_cast<AVChapter**>(av_realloc_array(out->chapters, out->nb_chapters + 1, sizeof(AVChapter*)));
        auto* to = grown ? static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter))) : nullptr;
        if (grown) out->chapters = grown;
        if (!to) return;
        to->id = from->id;
        to->time_base = from->time_base;
        to->start = from->start;
        to->end = from->end;
        av_dict_copy(&to->metadata, from->metadata, 0);
        out->chapters[out->nb_chapters++] = to;
    }
}

// The output stream for input stream `is`: parameters, metadata,
// disposition and side data (the display matrix among them).
AVStream* copy_stream(AVFormatContext* out, const AVStream* is) {
    AVStream* os = avformat_new_stream(out, nullptr);
    if (!os || avcodec_parameters_copy(os->codecpar, is->codecpar) < 0) return nullptr;
    os->codecpar->codec_tag = 0;
    os->time_base = is->time_base;
    os->avg_frame_rate = is->avg_frame_rate;
    os->r_frame_rate = is->r_frame_rate;
    os->disposition = is->disposition;
    av_dict_copy(&os->metadata, is->metadata, 0);
    for (int s = 0; s < is->nb_side_data; ++s) {
        const AVPacketSideData& sd = is->side_data[s];
        if (uint8_t* d = av_stream_new_side_data(os, sd.type, sd.size)) std::memcpy(d, sd.data, sd.size);
    }
    return os;
}

}  // namespace

bool output_format_name(const std::string& format, const std::string& out_path, std::string* name) {
    name->clear();
    if (!format.empty()) {
        const char* f = known_format(format);
        if (f) *name = f;
        return f != nullptr;
    }
    const size_t slash = out_path.find_last_of("/\\");
    const size_t dot = out_path.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        if (const char* f = known_format(out_path.substr(dot + 1))) *name = f;
    return true;
}

std::string Container::default_format() const {
    const Impl& m = *impl_;
    if (m.name.find("mp4") != std::string::npos) {
        const AVDictionaryEntry* brand = av_dict_get(m.in->metadata, "major_brand", nullptr, 0);
        return brand && std::strncmp(brand->value, "qt", 2) == 0 ? "mov" : "mp4";
    }
    if (m.name.find("matroska") != std::string::npos) return "matroska";
    if (m.name == "flv" || m.name == "avi" || m.name == "h264") return m.name;
    return "mpegts";
}

void Container::Impl::fail(const std::string& what, int error) {
    if (!failed) std::fprintf(stderr, "kavrel: %s: %s\n", what.c_str(), av_error_text(error).c_str());
    failed = true;
}

bool Container::open_output(const std::string& format, const std::string& url, bool seekable) {
    Impl& m = *impl_;
    int rc = avformat_alloc_output_context2(&m.out, nullptr, format.c_str(), nullptr);
    if (rc < 0) return m.fail("cannot write " + format, rc), false;
    m.stream_map.assign(m.in->nb_streams, -1);
    for (unsigned i = 0; i < m.in->nb_streams; ++i) {
        const AVStream* is = m.in->streams[i];
        const bool video = static_cast<int>(i) == m.video;
        if (video && !copyable(m.out->oformat, is->codecpar)) {
            std::fprintf(stderr, "kavrel: %s cannot hold H.264 video\n", format.c_str());
            return false;
        }
        if (!video && !copyable(m.out->oformat, is->codecpar)) {
            std::fprintf(stderr, "kavrel: warning: stream %u (%s) cannot go into %s: left out\n", i,
                         avcodec_get_name(is->codecpar->codec_id), format.c_str());
            continue;
        }
        AVStream* os = copy_stream(m.out, is);
        if (!os) return m.fail("cannot copy stream " + std::to_string(i), AVERROR(ENOMEM)), false;
        if (video) {  // the header takes the sets the command wrote; the SPS says the aspect ratio
            av_freep(&os->codecpar->extradata);
            os->codecpar->extradata_size = 0;
            os->codecpar->sample_aspect_ratio = AVRational{0, 1};
            os->sample_aspect_ratio = AVRational{0, 1};
        }
        m.stream_map[i] = os->index;
    }
    av_dict_copy(&m.out->metadata, m.in->metadata, 0);
    copy_chapters(m.in, m.out);
    m.out_of_band = format == "mp4" || format == "mov" || format == "matroska" || format == "webm";
    m.fragmented = !seekable && (format == "mp4" || format == "mov");
    // Into another container the timestamps start at 0, as FFmpeg copies them.
    if (format != default_format() && m.in->start_time != AV_NOPTS_VALUE) m.shift = m.in->start_time;
    if (!(m.out->oformat->flags & AVFMT_NOFILE) && (rc = avio_open(&m.out->pb, url.c_str(), AVIO_FLAG_WRITE)) < 0)
        return m.fail("cannot write the output", rc), false;
    return true;
}

bool Container::Impl::send(AVPacket* p, int stream) {
    const int os = stream_map[static_cast<size_t>(stream)];
    if (os >= 0 && !failed) {
        const AVRational from = in->streams[stream]->time_base;
        const int64_t by = shift ? av_rescale_q(shift, AV_TIME_BASE_Q, from) : 0;
        if (p->pts != AV_NOPTS_VALUE) p->pts -= by;
        if (p->dts != AV_NOPTS_VALUE) p->dts -= by;
        av_packet_rescale_ts(p, from, out->streams[os]->time_base);
        // Distinct decoding times can meet in a coarser output time base
        // (a repeat one tick after its neighbour, 1/1200000 into 1/90000).
        if (stream == video && p->dts != AV_NOPTS_VALUE) {
            if (muxed_last_dts != kNoTime && p->dts <= muxed_last_dts) p->dts = muxed_last_dts + 1;
            if (p->pts != AV_NOPTS_VALUE && p->pts < p->dts) p->pts = p->dts;
            muxed_last_dts = p->dts;
        }
        p->stream_index = os;
        p->pos = -1;
        const int rc = av_interleaved_write_frame(out, p);
        if (rc < 0) fail("cannot write the output", rc);
    }
    av_packet_unref(p);
    return !failed;
}

void Container::Impl::route(AVPacket* p) {
    if (!out || stream_map[static_cast<size_t>(p->stream_index)] < 0 || failed) {
        av_packet_unref(p);
        return;
    }
    if (header_written) {
        send(p, p->stream_index);
        return;
    }
    AVPacket* kept = av_packet_alloc();
    if (!kept) return fail("cannot hold a packet", AVERROR(ENOMEM));
    av_packet_move_ref(kept, p);
    held.push_back({kept, kept->stream_index});
    held_bytes += static_cast<size_t>(kept->size);
    if (held_bytes > kHeldLimit) write_header();
}

bool Container::Impl::write_header() {
    header_written = true;
    AVCodecParameters* par = out->streams[stream_map[static_cast<size_t>(video)]]->codecpar;
    std::vector<uint8_t> extra;
    for (const auto& s : sets) {
        extra.insert(extra.end(), {0, 0, 0, 1});
        extra.insert(extra.end(), s.begin(), s.end());
    }
    const AVCodecParameters* from = in->streams[video]->codecpar;
    if (extra.empty() && out_of_band) extra.assign(from->extradata, from->extradata + from->extradata_size);
    if (!extra.empty()) {
        par->extradata = static_cast<uint8_t*>(av_mallocz(extra.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!par->extradata) return fail("cannot write the header", AVERROR(ENOMEM)), false;
        std::memcpy(par->extradata, extra.data(), extra.size());
        par->extradata_size = static_cast<int>(extra.size());
    }
    if (rate.num) {
        AVStream* vs = out->streams[stream_map[static_cast<size_t>(video)]];
        vs->avg_frame_rate = vs->r_frame_rate = AVRational{static_cast<int>(rate.num), static_cast<int>(rate.den)};
    }
    AVDictionary* options = nullptr;
    if (fragmented) av_dict_set(&options, "movflags", "frag_keyframe+empty_moov", 0);
    const int rc = avformat_write_header(out, &options);
    av_dict_free(&options);
    if (rc < 0) fail("cannot write the output's header", rc);
    for (HeldPacket& h : held) {
        send(h.packet, h.stream);
        av_packet_free(&h.packet);
    }
    held.clear();
    held_bytes = 0;
    return !failed;
}

void Container::begin_unit(UnitRole role, uint64_t k, uint64_t of) {
    Impl& m = *impl_;
    // A packet that held two access units gives them back as one.
    if (role == UnitRole::Input && m.have_current && m.current.role == role && m.current.k == k) return;
    m.close_current();
    m.current = OutUnit{};
    m.current.role = role;
    m.current.k = k;
    m.current.of = of == UINT64_MAX ? k : of;
    if (role == UnitRole::Input) m.latest_begun = std::max(m.latest_begun, k);
    if (role == UnitRole::Repeat) {
        const OutUnit& last = m.last_repeat;
        const bool same = last.role == UnitRole::Repeat && last.k == k && last.of == m.current.of;
        m.current.ordinal = same ? last.ordinal + 1 : 1;
        m.last_repeat = OutUnit{role, k, m.current.of, m.current.ordinal, {}};
    }
    m.have_current = true;
}

void Container::write(const uint8_t* data, size_t n) {
    Impl& m = *impl_;
    if (!m.have_current) begin_unit(UnitRole::ParameterSets, 0, 0);
    m.current.bytes.insert(m.current.bytes.end(), data, data + n);
}

void Container::set_frame_rate(Rate rate) { impl_->rate = reduced(rate); }

void Container::Impl::close_current() {
    if (!have_current) return;
    have_current = false;
    if (current.role == UnitRole::ParameterSets) {
        pending_sets.insert(pending_sets.end(), current.bytes.begin(), current.bytes.end());
        return;
    }
    if (current.bytes.empty()) return;  // a unit the command dropped
    if (!pending_sets.empty()) {
        current.bytes.insert(current.bytes.begin(), pending_sets.begin(), pending_sets.end());
        pending_sets.clear();
    }
    pending.push_back(std::move(current));
    resolve(false);
}

// Units leave in order once their timestamps are known: a repeat's, once
// the pictures that may follow it in output order have been read.
void Container::Impl::resolve(bool at_end) {
    const uint64_t lookahead = video_delay ? 2 * video_delay + 2 : 0;
    while (!pending.empty() && !failed) {
        OutUnit& u = pending.front();
        // Every repeat after u.k is written once the command has begun a later unit.
        if (u.role == UnitRole::Repeat && !at_end &&
            (latest_begun <= u.k || records.empty() || records.back().index < u.of + 1 + lookahead))
            break;
        emit(u);
        pending.pop_front();
    }
}

bool Container::Impl::timestamps(const OutUnit& u, int64_t* pts, int64_t* dts, int64_t* duration, bool* key) const {
    const InputRecord* r = record(u.role == UnitRole::Repeat ? u.of : u.k);
    if (!r) return false;
    const int64_t frame = rate.num ? av_rescale_q(1, AVRational{static_cast<int>(rate.den), static_cast<int>(rate.num)}, tb) : 0;
    *key = u.role == UnitRole::Input && r->key;
    if (u.role == UnitRole::Input) {
        *pts = r->pts;
        *dts = r->dts;
        *duration = frame ? frame : r->duration;
        return true;
    }
    // Between the picture and the next one in output order; r repeats evenly.
    const uint64_t lookahead = video_delay ? 2 * video_delay + 2 : 0;
    int64_t next = INT64_MAX;
    for (uint64_t k = u.of + 1; k <= u.of + 1 + lookahead; ++k)
        if (const InputRecord* n = record(k); n && n->pts > r->pts) next = std::min(next, n->pts);
    if (next == INT64_MAX) next = r->pts + std::max<int64_t>(r->duration, 1);
    uint32_t count = u.ordinal;
    for (const OutUnit& o : pending)
        if (o.role == UnitRole::Repeat && o.k == u.k && o.of == u.of) count = std::max(count, o.ordinal);
    double step = static_cast<double>(next - r->pts) / (count + 1);
    if (frame > 0) step = std::min(step, static_cast<double>(frame));
    *pts = r->pts + std::llround(step * u.ordinal);
    const InputRecord* a = record(u.k);
    const InputRecord* b = record(u.k + 1);
    const int64_t d0 = a ? a->dts : r->dts;
    const int64_t d1 = b ? b->dts : d0 + std::max<int64_t>(a ? a->duration : r->duration, 1);
    *dts = std::min(*pts, d0 + (d1 - d0) * static_cast<int64_t>(u.ordinal) / (count + 1));
    *duration = frame ? frame : std::max<int64_t>(std::llround(step), 1);
    return true;
}

// Takes out of an avcC / CodecPrivate output the sets the Annex B
// conversion put in, and notes the first ones for the header.
void Container::Impl::emit(OutUnit& u) {
    int64_t pts = 0, dts = 0, duration = 0;
    bool key = false;
    if (!timestamps(u, &pts, &dts, &duration, &key)) pts = dts = out_last_dts == kNoTime ? 0 : out_last_dts + 1;
    if (out_last_dts != kNoTime && dts <= out_last_dts) dts = out_last_dts + 1;
    if (pts < dts) pts = dts;
    out_last_dts = dts;
    const InputRecord* r = record(u.k);
    const bool strip = out_of_band && u.role == UnitRole::Input && r && r->sets_added;
    std::vector<std::pair<size_t, size_t>> dropped;  // [start, end) of the sets taken out
    if (strip || !header_written)
        each_nal_before_slice(u.bytes.data(), u.bytes.size(), [&](size_t start, size_t header, size_t end) {
            const int type = u.bytes[header] & 0x1F;
            if (type != 7 && type != 8) return;
            std::vector<uint8_t> set(u.bytes.begin() + static_cast<ptrdiff_t>(header),
                                     u.bytes.begin() + static_cast<ptrdiff_t>(end));
            const bool known = std::find(sets.begin(), sets.end(), set) != sets.end();
            if (!header_written && !known) {
                sets.push_back(set);
                (type == 7 ? have_sps : have_pps) = true;
            }
            if (strip && (!header_written || known)) dropped.emplace_back(start, end);
        });
    size_t size = u.bytes.size();
    for (const auto& [start, end] : dropped) size -= end - start;
    if (size == 0) {  // parameter sets only, now in the header
        if (!header_written && have_sps && have_pps) write_header();
        return;
    }
    AVPacket* p = av_packet_alloc();
    if (!p || av_new_packet(p, static_cast<int>(size)) < 0)
        return av_packet_free(&p), fail("cannot make a packet", AVERROR(ENOMEM));
    size_t from = 0, at = 0;
    dropped.emplace_back(u.bytes.size(), u.bytes.size());
    for (const auto& [start, end] : dropped) {
        std::memcpy(p->data + at, u.bytes.data() + from, start - from);
        at += start - from;
        from = end;
    }
    p->pts = pts;
    p->dts = dts;
    p->duration = duration;
    p->flags = key ? AV_PKT_FLAG_KEY : 0;
    p->stream_index = video;
    if (header_written) {
        send(p, video);
        av_packet_free(&p);
        return;
    }
    held.push_back({p, video});
    held_bytes += size;
    if ((have_sps && have_pps) || held_bytes > kHeldLimit) write_header();
}

bool Container::finish() {
    Impl& m = *impl_;
    m.close_current();
    while (!m.ended && !m.failed) {  // the other streams' packets after the last picture
        const int rc = av_read_frame(m.in, m.packet);
        if (rc < 0) break;
        if (m.packet->stream_index == m.video) av_packet_unref(m.packet);
        else m.route(m.packet);
    }
    m.resolve(true);
    if (!m.header_written) m.write_header();
    if (!m.failed) {
        const int rc = av_write_trailer(m.out);
        if (rc < 0) m.fail("cannot write the output", rc);
    }
    if (m.out->pb && !(m.out->oformat->flags & AVFMT_NOFILE)) {
        const int rc = avio_closep(&m.out->pb);
        if (rc < 0) m.fail("cannot write the output", rc);
    }
    return !m.failed;
}

}  // namespace kavrel_cli
