// Through the fuzz harness bodies (fuzz/fuzz_harness.h): every file of fuzz/corpus/<harness>/ and
// fuzz/regressions/<harness>/; and hostile inputs as one table: each frame, from a heap block of its size, gives its
// code and sizes, then the harnesses hold every writer after it to its capacity (n, n - 1, 0 and 1 bytes: the same
// unit or nothing written) and the correction to the frame's length and to its own.
#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz_harness.h"
#include "params/param_set_builders.h"

using namespace params_test;
using namespace kavrel_test;

namespace {

TEST(FuzzReplay, CorporaAndReproducersHoldEveryProperty) {
    for (const kavrel_fuzz::Harness& harness : kavrel_fuzz::kHarnesses) {
        size_t count = 0;
        for (const char* kind : {"corpus", "regressions"}) {
            const std::filesystem::path dir = std::filesystem::path(KAVREL_SOURCE_DIR) / "fuzz" / kind / harness.name;
            if (!std::filesystem::is_directory(dir)) continue;
            for (const auto& file : std::filesystem::directory_iterator(dir)) {
                const Bytes data = read_file(file.path().string());  // an exact-size heap copy, as libFuzzer's
                LogCapture quiet;
                const char* failed = harness.run(data.data(), data.size());
                EXPECT_EQ(failed, nullptr) << harness.name << ": " << file.path().filename().string() << ": " << failed;
                ++count;
            }
        }
        EXPECT_GT(count, 5u) << harness.name;  // an empty corpus means a broken checkout
    }
}

const std::string kTag = "[VsKavrel]:";

struct Row {
    const char* what;
    Bytes frame;
    int32_t rc;
    std::string line;        // a line the log must hold; "": the log is empty
    int32_t coded_w = 0, coded_h = 0, width = 0, height = 0;  // FrameInfo when rc is 0
    size_t consumed = 0;     // when rc is 0 and the frame is not one access unit
};

std::vector<Row> rows() {
    const Bytes pps = pps_nal(), cabac = pps_nal({.entropy = 1});
    const SpsSpec largest{.width_mbs_minus1 = 510, .height_map_units_minus1 = 510, .frame_mbs_only = 0};
    SpsSpec cropped = largest;  // one crop unit each way: 2 x 4 luma samples
    cropped.cropping = 1, cropped.crop_right = 8 * 511 - 1, cropped.crop_bottom = 8 * 511 - 1;
    const SpsSpec one{.width_mbs_minus1 = 0, .height_map_units_minus1 = 0};
    const Bytes idr = slice_nal({}), idr_field = slice_nal({.structure = 3});
    SpsSpec big{.poc_type = 1, .offset_for_ref_frame = std::vector<int64_t>(255, 4000000)};
    big.vui = [](BitBuilder& b) {
        b.u(4, 0).u(1, 1).u(32, 1).u(32, 50).u(1, 1);  // 25 frames per second
        for (int hrd = 0; hrd < 2; ++hrd) {            // NAL and VCL HRD with 32 CPBs each
            b.u(1, 1).ue(31).u(4, 2).u(4, 3);
            for (int i = 0; i < 32; ++i) b.ue(10000000 + 1000 * i).ue(20000000 + i).u(1, i % 2);
            b.u(5, 23).u(5, 23).u(5, 23).u(5, 24);
        }
        b.u(1, 0).u(1, 0).u(1, 0);  // low_delay_hrd_flag, pic_struct_present_flag, bitstream_restriction_flag
        for (int i = 0; i < 2048; ++i) b.u(8, 0x5A);
    };
    PpsSpec groups{.slice_groups_minus1 = 7};  // 8 groups, map type 6 over 16000 map units
    groups.slice_group_map = [](BitBuilder& b) {
        b.ue(6).ue(15999);
        for (int i = 0; i < 16000; ++i) b.u(3, i % 8);
    };
    const Bytes real = read_file(std::string(KAVREL_SOURCE_DIR) + "/fuzz/corpus/start/high_8x8");
    return {
        {"empty", {}, 0, ""},
        {"an SPS header alone", {0, 0, 1, 0x67}, -12, kTag + "Invalid sps id: -1\n"},
        {"largest, interlaced, CABAC", concat({sps_nal(largest), cabac, idr_field}), 0, "", 8176, 16352, 8176, 16352},
        {"largest, cropped to one unit", concat({sps_nal(cropped), pps, idr_field}), 0, "", 8176, 16352, 2, 4},
        {"one macroblock", concat({sps_nal(one), pps, idr}), 0, "", 16, 16, 16, 16},
        {"monochrome, one column", concat({sps_nal({.profile_idc = 100, .chroma_format_idc = 0, .width_mbs_minus1 = 0,
                                                    .height_map_units_minus1 = 0, .cropping = 1, .crop_right = 15}),
                                           pps, idr}),
         0, "", 16, 16, 1, 16},
        {"unreadable width", sps_nal({.width_mbs_minus1 = 65535}), -20, kTag + "mb_width is less than 0, \n"},
        {"crop offset without a value", sps_nal({.cropping = 1, .crop_right = 65535}), -20,
         kTag + "crop_left shall be in range of[0, max_frame_widht]\n"},
        {"an SPS of 4 KB", concat({sps_nal(big), pps}), 0, kTag + "WARNING: ps(0) length is greater than ", 176, 144,
         176, 144},
        {"a PPS of 6 KB", concat({sps_nal({.profile_idc = 66, .width_mbs_minus1 = 159, .height_map_units_minus1 = 99}),
                                  pps_nal(groups), idr}),
         0, kTag + "WARNING: ps(1) length is greater than 6007 bytes\n", 2560, 1600, 2560, 1600},
        // 7680x4320 in two slices, the second from macroblock 70000; idr_pic_id 65535.
        {"8K in two slices", concat({sps_nal({.level_idc = 51, .width_mbs_minus1 = 479, .height_map_units_minus1 = 269}),
                                     pps, slice_nal({.idr_pic_id = 65535}),
                                     slice_nal({.first_mb = 70000, .idr_pic_id = 65535})}),
         0, "", 7680, 4320, 7680, 4320},
        {"largest, last macroblock", concat({sps_nal({.width_mbs_minus1 = 510, .height_map_units_minus1 = 510}), pps,
                                             idr, slice_nal({.first_mb = 261120})}),
         0, "", 8176, 8176, 8176, 8176},
        {"32 references", concat({sps_nal(), pps_nal({.l0_minus1 = 31}), idr}), 0, "", 176, 144, 176, 144},
        // A prefix NAL unit (type 14) after the picture begins the next access unit (clause 7.4.1.2.3).
        {"a prefix unit after the picture", concat({sps_nal(), pps, idr, {0, 0, 0, 1, 0x6e, 0x80}}), 0,
         kTag + "nal_unit_type (14) should precede the VCL NAL\n", 176, 144, 176, 144,
         concat({sps_nal(), pps, idr}).size() + 1},
        {"a delimiter after the picture", concat({sps_nal(), pps, idr, {0, 0, 0, 1, 9, 0xf0}}), 0,
         kTag + "nal_unit_type (9) should precede the VCL NAL\n", 176, 144, 176, 144,
         concat({sps_nal(), pps, idr}).size() + 1},
        // An x264 frame cut inside its SPS (after its sizes), and inside its slice data.
        {"SPS cut", Bytes(real.begin(), real.begin() + 12), 0, kTag + "Parse SPS length change\n", 64, 48, 64, 48},
        {"slice data cut", Bytes(real.begin(), real.begin() + 60), 0, "", 64, 48, 64, 48},
        // A Main-profile PPS whose data ends after weighted_bipred_idc: the flags after it count as set.
        {"PPS cut", concat({sps_nal(), {0, 0, 0, 1, 0x68, 0xCE, 0x20}}), -22,
         kTag + "Invalid redundant_pic_cnt_present(-1) for MAIN\n"},
    };
}

TEST(HostileInput, OneTableOfFramesAndEveryWriterAfterThem) {
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.what);
        const Started r = Parser().start(row.frame);
        EXPECT_EQ(r.rc, row.rc);
        if (row.line.empty()) EXPECT_EQ(r.log, "");  // nothing to say about a whole, valid unit
        else EXPECT_NE(r.log.find(row.line), std::string::npos) << r.log.substr(0, 400);
        EXPECT_EQ(r.info.consumed, row.rc == 0 ? (row.consumed ? row.consumed : row.frame.size()) : 0);
        if (r.rc == 0) {
            EXPECT_EQ(std::vector<int32_t>({r.info.coded_width, r.info.coded_height, r.info.width, r.info.height}),
                      std::vector<int32_t>({row.coded_w, row.coded_h, row.width, row.height}));
        }
        LogCapture quiet;
        // Rate 30000/1001 (flags 2: a 16-bit numerator, a 32-bit denominator); the third capacity tried 0, then 1.
        for (uint8_t third : {2, 6}) {
            const Bytes in = concat({{2, 0x75, 0x30, 0, 0, 0x03, 0xE9, third, third}, row.frame});
            const char* failed = kavrel_fuzz::fuzz_synthesis(in.data(), in.size());
            EXPECT_EQ(failed, nullptr) << failed;
        }
        // Mode 2, SAR 16:9, capacity one byte below the frame, then the
        // frame's length plus 0 .. 16 bytes (across the corrected length).
        for (uint8_t capacity = 0; capacity <= 17; ++capacity) {
            const uint8_t sel = capacity == 17 ? 240 : capacity;
            const Bytes in = concat({{3, 0, 16, 0, 9, 0, sel, 0, 0}, row.frame});
            const char* failed = kavrel_fuzz::fuzz_correction(in.data(), in.size());
            EXPECT_EQ(failed, nullptr) << failed << " at capacity selector " << int{sel};
        }
    }
}

}  // namespace
