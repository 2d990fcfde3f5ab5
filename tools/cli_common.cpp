#include "cli_common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

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

}  // namespace kavrel_cli
