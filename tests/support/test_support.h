#pragma once  // helpers shared by the tests

#include <cstdint>
#include <string>
#include <vector>

#include "kavrel.h"

namespace kavrel_test {

using Bytes = std::vector<uint8_t>;

// Collects the library's diagnostics (Kavrel_Set_Log_Callback) while alive.
struct LogCapture {
    LogCapture() {
        Kavrel_Set_Log_Callback([](void* self, const char* l) { static_cast<LogCapture*>(self)->text += l; }, this);
    }
    ~LogCapture() { take(); }
    std::string take() {  // stops collecting (once) and returns every line
        if (active) Kavrel_Set_Log_Callback(nullptr, nullptr);
        active = false;
        return text;
    }
    bool active = true;
    std::string text;
};

// Lower-case hex pairs separated by single spaces.
std::string to_hex(const uint8_t* data, size_t size);
inline std::string to_hex(const Bytes& b) { return to_hex(b.data(), b.size()); }

// Writes bits MSB first, with ue/se Exp-Golomb codes, for crafting RBSPs.
class BitBuilder {
public:
    BitBuilder& u(int bits, uint64_t value);
    BitBuilder& flag(bool value) { return u(1, value ? 1 : 0); }
    BitBuilder& ue(uint64_t value);
    BitBuilder& se(int64_t value);
    BitBuilder& trailing();  // rbsp_trailing_bits()
    size_t bit_length() const { return bits_; }
    Bytes bytes() const { return data_; }  // zero-padded to a byte
private:
    Bytes data_;
    size_t bits_ = 0;
};

// Reads an RBSP MSB first, with ue/se Exp-Golomb codes; zeros past its end.
struct BitReader {
    Bytes data;
    size_t pos = 0;
    uint32_t bit() {
        size_t at = pos++;
        return at < 8 * data.size() ? (data[at / 8] >> (7 - at % 8)) & 1 : 0;
    }
    uint32_t u(int n) {
        uint32_t v = 0;
        while (n-- > 0) v = (v << 1) | bit();
        return v;
    }
    uint32_t ue() {
        int zeros = 0;
        while (bit() == 0 && zeros < 32) ++zeros;
        return (1u << zeros) - 1 + u(zeros);
    }
    int32_t se() {
        const uint32_t k = ue();
        return k % 2 ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }
};

// A NAL unit behind a 4-byte start code, the RBSP escaped (clause 7.4.1).
Bytes nal(uint8_t header, const Bytes& rbsp);
Bytes concat(std::initializer_list<Bytes> parts);
// The units of an Annex B stream from their header bytes, trailing zeros dropped.
std::vector<Bytes> nal_units(const Bytes& stream);
// A payload without its emulation_prevention_three_bytes (clause 7.4.1).
Bytes unescape(const uint8_t* payload, size_t size);

// One Kavrel_Start call: its code, FrameInfo (preset to AB bytes) and its lines.
struct Started {
    int32_t rc;
    FrameInfo info;
    std::string log;
};

// A handle from Kavrel_Open, closed with the object.
struct Parser {
    ParserHandle* h = Kavrel_Open();
    ~Parser() { Kavrel_Close(h); }
    // Kavrel_Start on a heap copy of exactly data[offset..].
    Started start(const Bytes& data, size_t offset = 0) const;
    // start() frame after frame over the whole stream; the last call's result.
    Started walk(const Bytes& stream) const;
};

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& data);
// Runs a shell command; returns its exit status and puts stdout in *out.
int run(const std::string& command, std::string* out = nullptr);

// Directory for streams made at test time (created on demand).
std::string work_dir();
// Makes (once per build tree and recipe) <work_dir>/<name>.h264 of `frames`
// x264 pictures of FFmpeg's test pattern; the path. Fails the test when FFmpeg does.
std::string x264(const std::string& name, const std::string& size, int frames, const std::string& options,
                 const std::string& rate = "25");

}  // namespace kavrel_test
