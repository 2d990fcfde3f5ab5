#include "cli_common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <numeric>

namespace kavrel_cli {

bool read_input(const std::string& path, Bytes* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "kavrel: cannot read " << path << ": " << std::strerror(errno) << "\n";
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        std::cerr << "kavrel: cannot read " << path << "\n";
        return false;
    }
    if (out->size() > 0x7fffffffu) {
        std::cerr << "kavrel: " << path << " is larger than 2 GiB\n";
        return false;
    }
    return true;
}

bool write_output(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out) {
        std::cerr << "kavrel: cannot write " << path << ": " << std::strerror(errno) << "\n";
        return false;
    }
    return true;
}

size_t next_start_code(const Bytes& data, size_t from) {
    for (size_t i = from; i + 2 < data.size(); ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
    }
    return data.size();
}

std::vector<NalUnit> split_units(const Bytes& data, size_t begin, size_t end) {
    std::vector<NalUnit> units;
    size_t sc = next_start_code(data, begin);
    while (sc < end) {
        NalUnit u;
        u.start = (sc > begin && data[sc - 1] == 0) ? sc - 1 : sc;
        u.header = sc + 3;
        size_t next = next_start_code(data, u.header);
        if (next > end) next = end;
        u.end = next;
        while (u.end > u.header + 1 && data[u.end - 1] == 0) --u.end;
        if (u.header < end) {
            u.type = data[u.header] & 0x1F;
            u.ref_idc = (data[u.header] >> 5) & 3;
            units.push_back(u);
        }
        sc = next;
    }
    return units;
}

bool parse_rate(const std::string& text, uint32_t* num, uint32_t* den) {
    unsigned long long value[2] = {0, 1};
    int field = 0;
    bool digits = false;
    for (char c : text) {
        if (c == '/' && field == 0 && digits) {
            field = 1;
            value[1] = 0;
            digits = false;
        } else if (c >= '0' && c <= '9') {
            value[field] = value[field] * 10 + static_cast<unsigned>(c - '0');
            if (value[field] > 0xFFFFFFFFull) return false;
            digits = true;
        } else {
            return false;
        }
    }
    if (!digits || value[0] == 0 || value[1] == 0) return false;
    *num = static_cast<uint32_t>(value[0]);
    *den = static_cast<uint32_t>(value[1]);
    return true;
}

bool parse_sps_unit(ParserHandle* handle, const Bytes& data, const NalUnit& u) {
    const size_t sc = u.header - 3;
    FrameInput input{data.data() + sc, static_cast<uint32_t>(u.end - sc)};
    FrameInfo info{};
    return Kavrel_Start(handle, &input, &info) == 0;
}

bool append_sps_at_rate(ParserHandle* handle, uint64_t num, uint64_t den, Bytes* out) {
    const uint64_t g = std::gcd(num, den);
    if (g == 0 || num / g > 0x7FFFFFFFu || den / g > 0xFFFFFFFFu) return false;
    uint8_t unit[65536];
    const int32_t n = H264_Enc_Iframe_Rate(handle, unit, sizeof unit, static_cast<uint32_t>(num / g),
                                           static_cast<uint32_t>(den / g));
    if (n < 0) return false;
    out->insert(out->end(), unit, unit + n);
    return true;
}

}  // namespace kavrel_cli
