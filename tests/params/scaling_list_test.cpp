// The lists in force derived from the coded ones (7.4.2.1.1.1, Table 7-2): each coded form, and the fall-backs of
// an SPS and of a PPS under it.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "syntax/pic_param_set.h"
#include "syntax/seq_param_set.h"

namespace {

void code(kavrel::CodedScalingLists& c, int i, const std::vector<int8_t>& deltas) {  // list i as `deltas`
    c.present_flag[i] = 1;
    c.delta_count[i] = static_cast<uint8_t>(deltas.size());
    std::copy(deltas.begin(), deltas.end(), i < 6 ? c.delta_scale_4x4[i] : c.delta_scale_8x8[i - 6]);
}

std::vector<int> scan(const uint8_t* list, int n = 16) {  // the first n entries in zig-zag order
    std::vector<int> v;
    for (int k = 0; k < n; ++k) v.push_back(list[n == 64 ? kavrel::kZigzag8x8[k] : kavrel::kZigzag4x4[k]]);
    return v;
}

TEST(ScalingLists, ValuesInForceFromTheCodedLists) {
    const std::vector<int> intra = scan(kavrel::kDefault4x4Intra), inter = scan(kavrel::kDefault4x4Inter);
    std::vector<int> repeat(16, 14), nine(16, 10);
    repeat[0] = 10, nine[0] = 9;
    kavrel::SeqParamSet sps{};
    kavrel::PicParamSet pps{};
    uint8_t l4[6][16], l8[2][64];
    kavrel::scaling_list_values(sps, nullptr, l4, l8);  // no matrix: Flat_16
    EXPECT_EQ(scan(l4[5]), std::vector<int>(16, 16));
    sps.seq_scaling_matrix_present_flag = 1;
    code(sps.scaling_lists, 1, {2, 4, -14});        // ends in a repeat
    code(sps.scaling_lists, 3, {-8});               // useDefaultScalingMatrixFlag
    code(sps.scaling_lists, 7, {-100, 127, -35});   // 164, 35 (wrapped), then 35 to the end
    const std::vector<std::vector<int>> seq = {intra, repeat, repeat, inter, inter, inter};  // rule A
    // A PPS with lists 0 and 4: the others fall back to the SPS's (rule B); no 8x8 lists without the 8x8 transform.
    pps.pic_scaling_matrix_present_flag = 1;
    code(pps.scaling_lists, 0, {1, 1, -10});
    code(pps.scaling_lists, 4, {-8});
    code(pps.scaling_lists, 7, {-4});
    const std::vector<std::vector<int>> pic = {nine, nine, nine, inter, inter, inter};
    for (const kavrel::PicParamSet* p : {static_cast<const kavrel::PicParamSet*>(nullptr), &std::as_const(pps)}) {
        kavrel::scaling_list_values(sps, p, l4, l8);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(scan(l4[i]), (p ? pic : seq)[i]) << i;
        EXPECT_EQ(scan(l8[0], 64), scan(kavrel::kDefault8x8Intra, 64));
        EXPECT_EQ(scan(l8[1], 3), std::vector<int>({164, 35, 35}));
    }
}

}  // namespace
