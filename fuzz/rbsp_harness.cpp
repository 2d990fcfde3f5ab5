// (d) Fuzzed RBSPs made into NAL units and parsed by Kavrel_Start. The first
// byte chooses: 0 or 1 an SPS; 2 [SPS length][SPS][PPS]; 3 [NAL header]
// [SPS length][SPS][PPS length][PPS][slice], the slice given twice.
#include "fuzz_harness.h"
#include "harness_support.h"

namespace kavrel_fuzz {

namespace {

// The next `n` bytes (fewer at the end of the input).
std::vector<uint8_t> take(ControlBytes& in, size_t n) {
    std::vector<uint8_t> b;
    for (size_t i = 0; i < n && in.rest_size() > 0; ++i) b.push_back(in.u8());
    return b;
}

// An SPS that parses is written again for 25 frames per second; that unit
// parses to the same picture at the new rate and is written back byte for
// byte (an element the reader could not take is written as a valid code,
// so only the first writing may change the set).
const char* check_rewrite(const std::vector<uint8_t>& frame) {
    std::vector<uint8_t> unit = frame, written[2];
    FrameInfo info[2];
    for (int round = 0; round < 2; ++round) {
        ParserHandle* h = Kavrel_Open();
        HeapBlock copy(unit.data(), unit.size());
        FrameInput input{copy.data(), static_cast<uint32_t>(unit.size())};
        const int32_t rc = Kavrel_Start(h, &input, &info[round]);
        written[round].resize(16384);
        const int32_t n = rc == 0 ? H264_Enc_Iframe_Rate(h, written[round].data(), 16384, 25, 1) : -1;
        Kavrel_Close(h);
        if (round == 0 && n < 0) return nullptr;
        FUZZ_CHECK(round == 0 || (rc == 0 && info[1].frame_rate == 25), "SPS writer: the written set does not parse");
        FUZZ_CHECK(n > 0, "SPS writer: the set read back is not written");
        written[round].resize(static_cast<size_t>(n));
        unit = written[round];
    }
    FUZZ_CHECK(info[1].coded_width == info[0].coded_width && info[1].coded_height == info[0].coded_height &&
                   info[1].ref_frame_count == info[0].ref_frame_count,
               "SPS writer: the written set reads back otherwise");
    FUZZ_CHECK(written[1] == written[0], "SPS writer: the set read back is written otherwise");
    return nullptr;
}

}  // namespace

const char* fuzz_rbsp_parsers(const uint8_t* data, size_t size) {
    ControlBytes in(data, size);
    const uint8_t target = in.u8() % 4;
    std::vector<uint8_t> frame;
    if (target <= 1) {
        append_unit(frame, 0x67, in.rest(), in.rest_size());
        FUZZ_CHECK(is_parse_result(parse_once(frame.data(), frame.size())), "SPS: result outside the documented codes");
        return check_rewrite(frame);
    }
    const uint8_t header = target == 3 ? in.u8() : 0;
    const std::vector<uint8_t> sps = take(in, in.u8());
    append_unit(frame, 0x67, sps.data(), sps.size());
    const std::vector<uint8_t> pps = target == 3 ? take(in, in.u8()) : take(in, in.rest_size());
    append_unit(frame, 0x68, pps.data(), pps.size());
    if (target == 3) {
        const uint8_t nal = static_cast<uint8_t>((header & 0x60) | ((header & 1) ? 5 : 1));
        for (int round = 0; round < 2; ++round) append_unit(frame, nal, in.rest(), in.rest_size());
    }
    ParserHandle* h = Kavrel_Open();
    const char* failed = walk_frames(h, frame.data(), frame.size(), 8,
                                     [](int32_t, const FrameInfo&, size_t, size_t) -> const char* { return nullptr; });
    Kavrel_Close(h);
    return failed;
}

}  // namespace kavrel_fuzz
