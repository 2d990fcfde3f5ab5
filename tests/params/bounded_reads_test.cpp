// Whatever an SPS or PPS holds, the parsers read nothing beyond the RBSP and
// answer with one of their codes: the RBSP is placed right before a page that
// cannot be read, so a stray read faults.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "param_set_builders.h"

using namespace params_test;

namespace {

class GuardedRbsp {
public:
    GuardedRbsp() : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
        void* p = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = static_cast<uint8_t*>(p);
        mprotect(base_ + page_, page_, PROT_NONE);
    }
    ~GuardedRbsp() { munmap(base_, 2 * page_); }
    // Copies `n` bytes so that the last one ends at the guard page and points
    // the handle's reader at them with `bit_count` syntax bits.
    void point(ParserHandle* h, const uint8_t* bytes, size_t n, int32_t bit_count) {
        uint8_t* at = base_ + page_ - n;
        if (n) std::memcpy(at, bytes, n);
        kavrel::bit_reader_init(h->reader, at, static_cast<int32_t>(n), bit_count);
    }

private:
    size_t page_;
    uint8_t* base_;
};

const std::set<int32_t> kSpsCodes = {0, -12, -20, -22};
const std::set<int32_t> kPpsCodes = {0, -9, -12, -19, -22};

// An SPS that uses every optional part: matrices, POC type 1, cropping, a
// VUI with two HRDs (40 CPBs in the first) and the bitstream restriction.
Bytes rich_sps() {
    SpsSpec s;
    s.profile_idc = 100;
    s.scaling = [](BitBuilder& b) {
        b.u(1, 1);
        for (int i = 0; i < 8; ++i) b.u(1, 1).se(5).se(-3).se(0).se(-10);
    };
    s.poc_type = 1;
    s.offset_for_ref_frame = {3, -70000, 12};
    s.cropping = 1;
    s.crop_right = 3;
    s.crop_bottom = 2;
    s.vui = [](BitBuilder& b) {
        b.u(1, 1).u(8, 255).u(16, 4).u(16, 3).u(2, 3).u(1, 1).u(3, 2).u(2, 3).u(24, 0x010203).u(1, 1).ue(1).ue(2);
        b.u(1, 1).u(32, 1).u(32, 60).u(1, 1);
        for (int hrd = 0; hrd < 2; ++hrd) {
            b.u(1, 1).ue(hrd ? 0 : 39).u(8, 0x21);
            for (int i = 0; i < (hrd ? 1 : 40); ++i) b.ue(100000 + i).ue(3000 + i).u(1, 1);
            b.u(20, 0xabcde);
        }
        b.u(4, 15).ue(1).ue(2).ue(15).ue(15).ue(2).ue(4);
    };
    return build_sps(s).trailing().bytes();
}

Bytes rich_pps() {
    PpsSpec p;
    p.sps_id = 5;  // no SPS: no profile rule
    p.slice_groups_minus1 = 3;
    p.slice_group_map = [](BitBuilder& b) { b.ue(6).ue(40).u(82, 0); };
    p.tail = true;
    p.transform_8x8 = 1;
    p.scaling = [](BitBuilder& b) {
        b.u(1, 1);
        for (int i = 0; i < 8; ++i) b.u(1, 1).se(7).se(-15);  // 15, then repeated
    };
    p.second_chroma_qp_offset = -4;
    return build_pps(p).trailing().bytes();
}

TEST(BoundedReads, EveryPrefixOfARichSpsAndPps) {
    GuardedRbsp guard;
    Handle h;
    const Bytes sps = rich_sps();
    const Bytes pps = rich_pps();
    std::vector<int32_t> sps_codes, pps_codes;
    {
        kavrel_test::StdoutCapture quiet;
        for (size_t n = 0; n <= sps.size(); ++n) {
            guard.point(h.h, sps.data(), n, static_cast<int32_t>(8 * n));
            sps_codes.push_back(kavrel::decode_seq_parameter_set(h.h));
        }
        for (size_t n = 0; n <= pps.size(); ++n) {
            guard.point(h.h, pps.data(), n, static_cast<int32_t>(8 * n));
            pps_codes.push_back(kavrel::decode_picture_parameter_set(h.h, static_cast<int32_t>(8 * n)));
        }
    }
    for (size_t n = 0; n < sps_codes.size(); ++n) EXPECT_EQ(kSpsCodes.count(sps_codes[n]), 1u) << n;
    for (size_t n = 0; n < pps_codes.size(); ++n) EXPECT_EQ(kPpsCodes.count(pps_codes[n]), 1u) << n;
    // The whole sets parse.
    EXPECT_EQ(sps_codes.back(), 0);
    EXPECT_EQ(h->active_sps.nal_hrd.cpb_cnt_minus1, 39);
    EXPECT_EQ(h->active_sps.offset_for_ref_frame[1], -70000);
    EXPECT_EQ(h->active_sps.max_dec_frame_buffering, 4);
    EXPECT_EQ(pps_codes.back(), 0);
    EXPECT_EQ(h->pps_table[0].second_chroma_qp_index_offset, -4);
}

TEST(BoundedReads, RandomSetsGiveOnlyKnownCodesAndSaneSizes) {
    GuardedRbsp guard;
    Handle h;
    std::mt19937 rng(20240601);
    Bytes buf(64);
    int accepted = 0;
    std::string faults;
    {
        kavrel_test::StdoutCapture quiet;
        for (int round = 0; round < 20000; ++round) {
            const size_t n = 1 + rng() % buf.size();
            for (size_t i = 0; i < n; ++i) buf[i] = static_cast<uint8_t>(rng() >> 7);
            if (round % 2 == 0) buf[0] = static_cast<uint8_t>(round % 3 ? 100 : 77);  // reach the deeper syntax
            const int32_t bits = static_cast<int32_t>(rng() % (8 * n + 1));
            guard.point(h.h, buf.data(), n, bits);
            const int32_t rc = kavrel::decode_seq_parameter_set(h.h);
            if (!kSpsCodes.count(rc)) faults += " sps:" + std::to_string(round);
            if (rc == 0) {
                ++accepted;
                if (h->active_sps.poc_cycle_length > 255) faults += " poc:" + std::to_string(round);
                // A 4:2:0 crop window lies inside the picture.
                if (h->active_sps.chroma_format_idc == 1 && (h->display_width <= 0 || h->display_height <= 0)) {
                    faults += " crop:" + std::to_string(round);
                }
            }
            guard.point(h.h, buf.data(), n, bits);
            if (!kPpsCodes.count(kavrel::decode_picture_parameter_set(h.h, bits))) {
                faults += " pps:" + std::to_string(round);
            }
        }
    }
    EXPECT_EQ(faults, "");
    EXPECT_GT(accepted, 0);
}

}  // namespace
