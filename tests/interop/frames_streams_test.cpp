// Kavrel_Start frame by frame against FFmpeg on streams made with x264:
// every access unit's consumed bytes against FFmpeg's packet split (with
// the library's own rule where the two differ, see library_boundary), and
// picture type, structure, sizes, rate and reference count against ffprobe
// and trace_headers. Each case first checks that the stream really has the
// feature it is meant to exercise.
#include "interop/frames_oracle.h"

#include <algorithm>

namespace frames_test {
namespace {

using kavrel_test::make_stream;

const std::string kSmall = "-f lavfi -i testsrc2=size=176x144:rate=25 ";

bool any_unit(const Oracle& o, const std::string& title) {
    for (const Packet& p : o.packets) {
        for (const TracedUnit& u : p.units) {
            if (u.title == title) return true;
        }
    }
    return false;
}

Oracle check_stream(const std::string& name, const std::string& recipe) {
    const std::string path = make_stream(name, recipe);
    Oracle o = probe(path);
    expect_frames_match(o, walk(o.data));
    return o;
}

TEST(FramesInterop, BaselineCavlcIntraAndPredicted) {
    // keyint 4: a second IDR with its own SPS and PPS ends the frame before it.
    const Oracle o = check_stream(
        "frames_baseline", kSmall + "-frames:v 9 -c:v libx264 -profile:v baseline -x264-params keyint=4:min-keyint=4");
    EXPECT_EQ(o.sps.get("profile_idc"), 66);
    EXPECT_EQ(o.pps.get("entropy_coding_mode_flag"), 0);
    int idr = 0;
    for (const Packet& p : o.packets) idr += p.last_slice()->get("nal_unit_type") == 5;
    EXPECT_GE(idr, 2);
}

TEST(FramesInterop, MainAndHighCabacWithBFramesAndPyramid) {
    const Oracle main = check_stream("frames_main_b", kSmall + "-frames:v 10 -c:v libx264 -profile:v main -bf 2 "
                                                               "-x264-params b-pyramid=none");
    EXPECT_EQ(main.sps.get("profile_idc"), 77);
    EXPECT_EQ(main.pps.get("entropy_coding_mode_flag"), 1);

    const Oracle high = check_stream("frames_high_pyramid", kSmall + "-frames:v 12 -c:v libx264 -profile:v high "
                                                                     "-bf 3 -refs 3 -x264-params b-pyramid=normal");
    EXPECT_EQ(high.sps.get("profile_idc"), 100);
    // A B picture used as a reference: the pyramid is there.
    bool b_reference = false;
    for (const Packet& p : high.packets) {
        const TracedUnit* s = p.last_slice();
        b_reference |= s->get("slice_type") % 5 == 1 && s->get("nal_ref_idc") > 0;
    }
    EXPECT_TRUE(b_reference);
}

TEST(FramesInterop, WeightedPrediction) {
    // A fade makes x264 send explicit weights in P slices (weightp) and
    // use implicit bi-prediction weights in B slices (weightb).
    const Oracle o = check_stream("frames_weighted", "-f lavfi -i testsrc2=size=176x144:rate=25 -vf fade=in:0:8 "
                                                     "-frames:v 8 -c:v libx264 -x264-params weightp=2:weightb=1");
    EXPECT_EQ(o.pps.get("weighted_pred_flag"), 1);
    EXPECT_EQ(o.pps.get("weighted_bipred_idc"), 2);
    int tables = 0;
    for (const Packet& p : o.packets) {
        for (const TracedUnit& u : p.units) tables += u.values.count("luma_log2_weight_denom") > 0;
    }
    EXPECT_GT(tables, 0);
}

TEST(FramesInterop, FourSlicesPerPicture) {
    const Oracle o = check_stream("frames_slices", kSmall + "-frames:v 6 -c:v libx264 -bf 1 -slices 4");
    for (const Packet& p : o.packets) {
        int slices = 0;
        for (const TracedUnit& u : p.units) slices += u.title == "Slice Header";
        EXPECT_EQ(slices, 4);
    }
}

TEST(FramesInterop, MbaffInterlacedTopAndBottomFieldFirst) {
    // MBAFF pictures are frames (field_pic_flag 0) holding field macroblock
    // pairs; 288 rows are 9 map units of 32.
    for (const char* order : {"tff", "bff"}) {
        SCOPED_TRACE(order);
        const Oracle o =
            check_stream(std::string("frames_mbaff_") + order,
                         "-f lavfi -i testsrc2=size=352x288:rate=25 -frames:v 6 -c:v libx264 -bf 2 "
                         "-x264-params interlaced=1:" + std::string(order) + "=1");
        EXPECT_EQ(o.sps.get("frame_mbs_only_flag"), 0);
        EXPECT_EQ(o.sps.get("mb_adaptive_frame_field_flag"), 1);
        // Picture timing SEI: pic_struct 3 top-bottom, 4 bottom-top (Table D-1).
        for (const Packet& p : o.packets) {
            EXPECT_EQ(p.interlaced_frame, 1);
            for (const TracedUnit& u : p.units) {
                if (u.title == "Picture Timing") {
                    EXPECT_EQ(u.get("pic_struct"), order[0] == 't' ? 3 : 4);
                }
            }
        }
    }
}

TEST(FramesInterop, InterlacedHighDefinitionIsCroppedFromMapUnits) {
    // 1080 interlaced rows: 34 map units of 32 rows, 1088 coded, cropped by
    // 8 rows in units of 4.
    const Oracle o = check_stream("frames_1080i", "-f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v 2 "
                                                  "-c:v libx264 -preset ultrafast -x264-params interlaced=1:tff=1");
    EXPECT_EQ(o.sps.get("pic_height_in_map_units_minus1"), 33);
    EXPECT_EQ(o.sps.get("frame_crop_bottom_offset"), 2);
}

TEST(FramesInterop, LongGopWrapsFrameNumAndPictureOrderCount) {
    // No IDR after the first picture: frame_num runs past MaxFrameNum and
    // pic_order_cnt_lsb past MaxPicOrderCntLsb, both wrapping to 0.
    const Oracle o = check_stream("frames_long_gop", "-f lavfi -i testsrc2=size=64x64:rate=25 -frames:v 80 "
                                                     "-c:v libx264 -bf 1 -x264-params keyint=infinite");
    const int64_t max_frame_num = int64_t{1} << (o.sps.get("log2_max_frame_num_minus4") + 4);
    const int64_t max_poc_lsb = int64_t{1} << (o.sps.get("log2_max_pic_order_cnt_lsb_minus4") + 4);
    int64_t highest_frame_num = 0;
    int frame_num_wraps = 0;
    int64_t last = -1;
    for (const Packet& p : o.packets) {
        const int64_t f = p.last_slice()->get("frame_num");
        highest_frame_num = std::max(highest_frame_num, f);
        frame_num_wraps += f < last;
        last = f;
    }
    EXPECT_EQ(highest_frame_num, max_frame_num - 1);
    EXPECT_GE(frame_num_wraps, 2);
    // x264 counts two POC units per frame.
    EXPECT_GT(2 * static_cast<int64_t>(o.packets.size()), max_poc_lsb);
}

TEST(FramesInterop, CroppedSizesNotMultiplesOfSixteen) {
    const Oracle small = check_stream("frames_crop_small", "-f lavfi -i testsrc2=size=98x58:rate=30000/1001 "
                                                           "-frames:v 5 -c:v libx264 -bf 1");
    EXPECT_EQ(small.sps.get("frame_cropping_flag"), 1);
    const Oracle hd = check_stream("frames_1080p", "-f lavfi -i testsrc2=size=1920x1080:rate=50 -frames:v 2 "
                                                   "-c:v libx264 -preset ultrafast");
    EXPECT_EQ(hd.sps.get("frame_crop_bottom_offset"), 4);
}

TEST(FramesInterop, AccessUnitDelimitersStartEveryFrame) {
    const Oracle o = check_stream("frames_aud", kSmall + "-frames:v 6 -c:v libx264 -bf 2 -x264-params aud=1");
    for (const Packet& p : o.packets) {
        ASSERT_FALSE(p.units.empty());
        EXPECT_EQ(p.units.front().title, "Access Unit Delimiter");
    }
}

TEST(FramesInterop, SeiAndHrdTimingMessages) {
    // With NAL HRD parameters x264 sends buffering-period and picture-timing
    // SEI in front of each picture's slices; without delimiters they stay
    // with the frame before (see library_boundary).
    const Oracle o = check_stream("frames_hrd", kSmall + "-frames:v 8 -c:v libx264 -bf 2 -b:v 300k -maxrate 300k "
                                                         "-bufsize 300k -x264-params nal-hrd=vbr");
    EXPECT_EQ(o.sps.get("nal_hrd_parameters_present_flag"), 1);
    EXPECT_TRUE(any_unit(o, "Picture Timing"));
    int moved = 0;
    for (size_t k = 1; k < o.packets.size(); ++k) {
        int type = 0;
        moved += library_boundary(o, k, &type) > static_cast<size_t>(o.packets[k].pos) + 1;
    }
    EXPECT_EQ(moved, static_cast<int>(o.packets.size()) - 1);
}

// High 10 and High 4:2:2 sets parse, but the library supports 8-bit 4:2:0
// only: the first frame is refused at its SPS.
TEST(FramesInterop, TenBitAndFourTwoTwoStreamsAreRefused) {
    std::string formats;
    kavrel_test::run("ffmpeg -hide_banner -h encoder=libx264 2>/dev/null", &formats);
    const std::pair<const char*, const char*> cases[] = {{"yuv420p10le", "bit_depth_luma_minus8"},
                                                         {"yuv422p", "chroma_format_idc"}};
    for (const auto& [pix_fmt, element] : cases) {
        SCOPED_TRACE(pix_fmt);
        if (formats.find(pix_fmt) == std::string::npos) {
            GTEST_SKIP() << "the installed libx264 cannot encode " << pix_fmt;
        }
        const std::string path = make_stream(std::string("frames_refused_") + pix_fmt,
                                             kSmall + "-frames:v 2 -pix_fmt " + pix_fmt + " -c:v libx264");
        const Oracle o = probe(path);
        EXPECT_EQ(o.stream.at("pix_fmt"), pix_fmt);
        EXPECT_EQ(o.sps.get(element), 2);  // 10-bit luma, or 4:2:2 chroma
        const std::vector<Call> calls = walk(o.data);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].rc, -22);
        EXPECT_EQ(calls[0].info.consumed, 0u);
        EXPECT_EQ(calls[0].log,
                  "[VsKavrel]:Only support 8-bit 4:2:0 format\n"
                  "[VsKavrel]:Warnning: sps exists invalid sytnax\n"
                  "[VsKavrel]:Parse sps fail\n");
    }
}

}  // namespace
}  // namespace frames_test
