// MP4/MOV, Matroska/WebM and MPEG-TS through libavformat: the video stream
// read as Annex B access units, and the output written back into a
// container with every other stream copied. Nothing here shows libavformat
// to its users; without it (KAVREL_WITH_CONTAINERS OFF) the tool reads and
// writes Annex B only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "rate.h"

namespace kavrel_cli {

class InputWindow;

constexpr int64_t kNoTime = INT64_MIN;

// What a unit written to the output is (see OutputStream::begin_unit).
enum class UnitRole { Input, Repeat, ParameterSets };

// One video packet of the input as Annex B bytes.
struct Packet {
    const uint8_t* data = nullptr;  // valid until the next packet
    size_t size = 0;
    uint64_t index = 0;             // 0, 1, 2, ... in decoding order
    int64_t pts = kNoTime, dts = kNoTime;
    size_t lead = 0, next_lead = 0;  // zero bytes before the first start code, here and in the next packet
};

// Built with container support; and its one-line description for --version.
bool containers_supported();
std::string containers_version();
// The bytes begin like a container file libavformat reads (MP4/MOV,
// Matroska/WebM, MPEG-TS/M2TS, MPEG-PS, FLV, AVI).
bool looks_like_container(const uint8_t* p, size_t n);

// The output format the user asked for with --format (`format`) or with
// OUT's extension: one of mp4 mov mkv webm ts flv avi h264, or "" (as the
// input). False for an unknown --format.
bool output_format_name(const std::string& format, const std::string& out_path, std::string* name);

class Container {
public:
    ~Container();
    Container(const Container&) = delete;
    Container& operator=(const Container&) = delete;

    // Opens the input (read by libavformat from the file, or from `window`
    // for standard input) and picks its video stream: `stream` >= 0 or the
    // first H.264 one. `raw_h264`: the input is an Annex B stream read
    // through libavformat (for timestamps). Null with a message on stderr;
    // *refused is set when the file was read but holds no usable stream.
    static std::unique_ptr<Container> open(InputWindow* window, const std::string& path, int stream, bool raw_h264,
                                           bool* refused);
    // The next video packet: 1, 0 at the end, -1 on a read error (after a message).
    int next(Packet* packet);
    // Bytes of the input read so far, and its size (0 when unknown).
    uint64_t position() const;
    const std::string& short_name() const;  // libavformat's name: "mov,mp4,m4a,3gp,3g2,mj2", "mpegts", ...
    // The output format of the same kind as the input: mp4, mov, mkv, ts, ... (h264 for Annex B).
    std::string default_format() const;
    std::string time_base() const;          // of the video stream, "1/12800"

    // Writes the output as `format` (a name from output_format_name) to the
    // file `url` ("file:..." or "pipe:N"): false with a message.
    bool open_output(const std::string& format, const std::string& url, bool seekable);
    void begin_unit(UnitRole role, uint64_t k, uint64_t of);
    void write(const uint8_t* data, size_t n);
    void set_frame_rate(Rate rate);
    // Writes what is left and the trailer: false with a message.
    bool finish();

    struct Impl;  // libavformat's side (container_impl.h)

private:
    Container();
    std::unique_ptr<Impl> impl_;
};

}  // namespace kavrel_cli
