#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include <sys/wait.h>
#include <unistd.h>

namespace kavrel_test {

std::string to_hex(const uint8_t* data, size_t size) {
    std::string s;
    char byte[4];
    for (size_t i = 0; i < size; ++i) s += (std::snprintf(byte, sizeof byte, i ? " %02x" : "%02x", data[i]), byte);
    return s;
}

BitBuilder& BitBuilder::u(int bits, uint64_t value) {
    for (int i = bits - 1; i >= 0; --i) {
        if (bits_ % 8 == 0) data_.push_back(0);
        // Fields wider than 64 bits get leading zeros.
        if (i < 64 && ((value >> i) & 1)) data_.back() |= static_cast<uint8_t>(0x80 >> (bits_ % 8));
        ++bits_;
    }
    return *this;
}

BitBuilder& BitBuilder::ue(uint64_t value) {
    uint64_t code = value + 1;
    int len = 0;
    while ((code >> len) > 1) ++len;
    u(len, 0);
    return u(len + 1, code);
}

BitBuilder& BitBuilder::se(int64_t value) {
    return ue(value > 0 ? static_cast<uint64_t>(2 * value - 1) : static_cast<uint64_t>(-2 * value));
}

BitBuilder& BitBuilder::trailing() {
    u(1, 1);
    while (bits_ % 8) u(1, 0);
    return *this;
}

Bytes nal(uint8_t header, const Bytes& rbsp) {
    Bytes out = {0, 0, 0, 1, header};
    int zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros == 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<Bytes> nal_units(const Bytes& s) {
    std::vector<size_t> starts;  // header byte positions
    for (size_t i = 0; i + 3 < s.size(); ++i)
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) starts.push_back(i + 3);
    std::vector<Bytes> units;
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : s.size();
        while (end > starts[k] && s[end - 1] == 0) --end;
        units.emplace_back(s.begin() + static_cast<long>(starts[k]), s.begin() + static_cast<long>(end));
    }
    return units;
}

Bytes unescape(const uint8_t* p, size_t n) {
    Bytes out;
    int zeros = 0;
    for (size_t i = 0; i < n; ++i) {
        if (zeros >= 2 && p[i] == 0x03) {
            zeros = 0;
            continue;
        }
        out.push_back(p[i]);
        zeros = p[i] == 0 ? zeros + 1 : 0;
    }
    return out;
}

Started Parser::start(const Bytes& data, size_t offset) const {
    Started r{};
    std::memset(&r.info, 0xAB, sizeof r.info);
    // A heap copy of exactly the bytes given, so that AddressSanitizer catches a read past them.
    const size_t n = data.size() - offset;
    const std::unique_ptr<uint8_t[]> bytes(new uint8_t[n]);
    if (n) std::memcpy(bytes.get(), data.data() + offset, n);
    FrameInput in{bytes.get(), static_cast<uint32_t>(n)};
    LogCapture cap;
    r.rc = Kavrel_Start(h, &in, &r.info);
    r.log = cap.take();
    return r;
}

Started Parser::walk(const Bytes& stream) const {
    Started r = start(stream);
    for (size_t pos = r.info.consumed; r.rc == 0 && r.info.consumed > 0 && pos + 3 < stream.size();
         pos += r.info.consumed)
        r = start(stream, pos);
    return r;
}

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

int run(const std::string& command, std::string* out) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) text.append(buf, n);
    int status = pclose(pipe);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string work_dir() {
    std::filesystem::create_directories(KAVREL_TEST_WORK_DIR);
    return KAVREL_TEST_WORK_DIR;
}

std::string x264(const std::string& name, const std::string& size, int frames, const std::string& options,
                 const std::string& rate) {
    const std::string recipe = "-f lavfi -i testsrc2=size=" + size + ":rate=" + rate + " -frames:v " +
                               std::to_string(frames) + " -c:v libx264 " + options;
    const std::string path = work_dir() + "/" + name + ".h264";
    const Bytes old = read_file(path + ".recipe");
    if (std::filesystem::exists(path) && std::string(old.begin(), old.end()) == recipe) return path;
    const std::string tmp = path + ".tmp" + std::to_string(getpid()) + ".h264";
    std::string log;
    const int rc = run("ffmpeg -nostdin -hide_banner -loglevel error -y " + recipe + " -f h264 '" + tmp + "' 2>&1",
                       &log);
    EXPECT_EQ(rc, 0) << "ffmpeg failed for " << name << ": " << log;
    if (rc != 0) return path;
    std::filesystem::rename(tmp, path);
    write_file(path + ".recipe", Bytes(recipe.begin(), recipe.end()));
    return path;
}

}  // namespace kavrel_test
