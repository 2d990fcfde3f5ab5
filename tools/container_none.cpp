// Container (container_io.h) in a build without libavformat
// (KAVREL_WITH_CONTAINERS OFF, the Windows build): Annex B only, and every
// container refused as before.
#include "container_io.h"

namespace kavrel_cli {

struct Container::Impl {};

bool containers_supported() { return false; }
std::string containers_version() { return "containers: none (built without libavformat; Annex B only)"; }
bool looks_like_container(const uint8_t*, size_t) { return false; }

bool output_format_name(const std::string& format, const std::string&, std::string* name) {
    name->clear();
    return format.empty();
}

Container::Container() = default;
Container::~Container() = default;
std::unique_ptr<Container> Container::open(InputWindow*, const std::string&, int, bool, bool* refused) {
    *refused = false;
    return nullptr;
}
int Container::next(Packet*) { return 0; }
uint64_t Container::position() const { return 0; }
const std::string& Container::short_name() const {
    static const std::string none;
    return none;
}
std::string Container::default_format() const { return "h264"; }
std::string Container::time_base() const { return ""; }
bool Container::open_output(const std::string&, const std::string&, bool) { return false; }
void Container::begin_unit(UnitRole, uint64_t, uint64_t) {}
void Container::write(const uint8_t*, size_t) {}
void Container::set_frame_rate(Rate) {}
bool Container::finish() { return false; }

}  // namespace kavrel_cli
