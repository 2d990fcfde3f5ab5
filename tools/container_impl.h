// The state behind Container (container_io.h): libavformat's contexts for
// the input and the output, and the video units waiting for their
// timestamps. Seen only by container_input.cpp and container_output.cpp.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

#include <deque>
#include <string>
#include <vector>

#include "container_io.h"

namespace kavrel_cli {

// What the output needs of input video packet k.
struct InputRecord {
    uint64_t index = 0;
    int64_t pts = kNoTime, dts = kNoTime, duration = 0;
    bool key = false;
    bool sets_added = false;  // the Annex B conversion put SPS/PPS in front of it
};

// A video unit of the output, as the command wrote it.
struct OutUnit {
    UnitRole role = UnitRole::Input;
    uint64_t k = 0, of = 0;  // written after input unit k; shows the picture of input unit `of`
    uint32_t ordinal = 0;    // the n-th repeat of `of` after k (from 1)
    std::vector<uint8_t> bytes;
};

// Held back from the output until its header can be written.
struct HeldPacket {
    AVPacket* packet;
    int stream;  // input stream index; timestamps in its time base
};

struct Container::Impl {
    ~Impl();
    // Input.
    AVFormatContext* in = nullptr;
    AVIOContext* in_io = nullptr;  // reading standard input through the window
    InputWindow* window = nullptr;
    uint64_t window_pos = 0;
    int video = -1;
    AVRational tb{1, 1};  // the video stream's time base
    AVBSFContext* bsf = nullptr;
    bool bsf_flushed = false, ended = false;
    std::deque<bool> had_sets;  // per packet in the filter: its sample carried SPS/PPS
    AVPacket* packet = av_packet_alloc();
    AVPacket* annexb = av_packet_alloc();  // the packet handed out
    AVPacket* ahead = av_packet_alloc();   // and the one after it
    int ahead_rc = 0;                      // read_packet's result for `ahead`
    bool primed = false;
    InputRecord ahead_record;
    uint64_t next_index = 0;
    uint64_t latest_begun = 0;  // the highest input unit the command has begun
    OutUnit last_repeat;        // the repeat begun last (role Input when none)
    int64_t last_dts = kNoTime, last_duration = 0;
    std::deque<InputRecord> records;  // the latest input packets
    std::string name;

    // Output.
    AVFormatContext* out = nullptr;
    std::vector<int> stream_map;  // input stream -> output stream, or -1
    bool out_of_band = false;     // avcC / CodecPrivate carry the parameter sets
    bool header_written = false, failed = false, fragmented = false;
    std::vector<HeldPacket> held;
    size_t held_bytes = 0;
    std::vector<std::vector<uint8_t>> sets;  // SPS/PPS for the header (NAL units, no start code)
    bool have_sps = false, have_pps = false;
    OutUnit current;
    bool have_current = false;
    std::vector<uint8_t> pending_sets;  // UnitRole::ParameterSets bytes for the next unit
    std::deque<OutUnit> pending;        // waiting for their timestamps
    Rate rate{0, 0};
    int64_t shift = 0;  // subtracted from every timestamp (AV_TIME_BASE units): another container starts at 0
    int64_t out_last_dts = kNoTime;
    int64_t muxed_last_dts = kNoTime;  // of the video, in the output stream's time base
    uint64_t video_delay = 0;

    // container_input.cpp
    bool open_input(const std::string& path, int stream, bool raw_h264, bool* refused);
    int read_packet(AVPacket* p);  // 1, 0 at the end, -1 error
    void remember(const AVPacket* p, bool sets_added);
    const InputRecord* record(uint64_t k) const;
    // container_output.cpp
    void route(AVPacket* p);  // a packet of another stream
    bool send(AVPacket* p, int stream);
    bool write_header();
    void close_current();
    void resolve(bool at_end);
    bool timestamps(const OutUnit& u, int64_t* pts, int64_t* dts, int64_t* duration, bool* key) const;
    void emit(OutUnit& u);
    void fail(const std::string& what, int error);
};

// "Invalid data found when processing input".
std::string av_error_text(int error);

}  // namespace kavrel_cli
