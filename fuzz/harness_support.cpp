#include "harness_support.h"

namespace kavrel_fuzz {

namespace {

size_t next_start_code(const uint8_t* data, size_t size, size_t from) {
    for (size_t i = from; i + 2 < size; ++i)
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
    return size;
}

}  // namespace

int32_t parse_once(const uint8_t* data, size_t size, FrameInfo* info) {
    ParserHandle* handle = Kavrel_Open();
    if (!handle) std::abort();
    HeapBlock copy(data, size);
    FrameInput input{copy.data(), static_cast<uint32_t>(size)};
    FrameInfo local;
    const int32_t rc = Kavrel_Start(handle, &input, info ? info : &local);
    Kavrel_Close(handle);
    return rc;
}

void append_unit(std::vector<uint8_t>& out, uint8_t header, const uint8_t* rbsp, size_t size) {
    out.insert(out.end(), {0, 0, 0, 1, header});
    int zeros = 0;
    for (size_t i = 0; i < size; ++i) {
        if (zeros == 2 && rbsp[i] <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(rbsp[i]);
        zeros = rbsp[i] == 0 ? zeros + 1 : 0;
    }
}

size_t frame_step(const uint8_t* data, size_t size, size_t pos, int32_t rc, const FrameInfo& info) {
    const size_t rest = size - pos;
    if (rc < 0) {
        const size_t first = next_start_code(data, size, pos);
        return (first >= size ? size : next_start_code(data, size, first + 3)) - pos;
    }
    return info.consumed == 0 || info.consumed + 3 >= rest ? rest : info.consumed;
}

const char* check_frame_info(int32_t rc, const FrameInfo& info, size_t rest) {
    FUZZ_CHECK(is_parse_result(rc), "Kavrel_Start: result outside the documented codes");
    FUZZ_CHECK(rc == 0 || info.consumed == 0, "Kavrel_Start: consumed set on failure");
    FUZZ_CHECK(info.consumed <= rest, "Kavrel_Start: consumed beyond the input");
    FUZZ_CHECK(info.picture_type == 0 || info.picture_type == 1 || info.picture_type == 2 || info.picture_type == 255,
               "Kavrel_Start: picture_type outside 0, 1, 2, 255");
    FUZZ_CHECK(info.picture_structure >= 0 && info.picture_structure <= 3, "Kavrel_Start: structure outside 0..3");
    FUZZ_CHECK(info.field_pic_flag <= 1 && info.ref_frame_count <= 16, "Kavrel_Start: field flag or reference count");
    FUZZ_CHECK(info.coded_width % 16 == 0 && info.coded_height % 16 == 0, "Kavrel_Start: coded size not in MBs");
    FUZZ_CHECK((info.sps_size == 0 || info.sps_data) && (info.pps_size == 0 || info.pps_data),
               "Kavrel_Start: a size without its copy");
    // The copies must be readable for their stated sizes (AddressSanitizer).
    volatile uint8_t sink = 0;
    for (uint32_t i = 0; i < info.sps_size; ++i) sink = static_cast<uint8_t>(sink ^ info.sps_data[i]);
    for (uint32_t i = 0; i < info.pps_size; ++i) sink = static_cast<uint8_t>(sink ^ info.pps_data[i]);
    (void)sink;
    return nullptr;
}

}  // namespace kavrel_fuzz
