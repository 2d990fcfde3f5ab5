// The lists in force derived from the coded ones (7.4.2.1.1.1, Table 7-2): each coded form, and the fall-backs of
// an SPS and of a PPS under it.
#include <gtest/gtest.h>

#include <vector>

#include "syntax/pic_param_set.h"
#include "syntax/seq_param_set.h"

namespace {

using kavrel::CodedScalingLists;

// List `i` of `c` coded with `deltas`.
void code(CodedScalingLists& c, int i, const std::vector<int8_t>& deltas) {
    c.present_flag[i] = 1;
    c.delta_count[i] = static_cast<uint8_t>(deltas.size());
    int8_t* coded = i < 6 ? c.delta_scale_4x4[i] : c.delta_scale_8x8[i - 6];
    for (size_t k = 0; k < deltas.size(); ++k) coded[k] = deltas[k];
}

std::vector<int> zigzag(const uint8_t* list) {  // a 4x4 list in scan order
    std::vector<int> v;
    for (uint8_t p : kavrel::kZigzag4x4) v.push_back(list[p]);
    return v;
}

TEST(ScalingLists, ValuesInForceFromTheCodedLists) {
    const std::vector<int> intra = {6, 13, 13, 20, 20, 20, 28, 28, 28, 28, 32, 32, 32, 37, 37, 42};
    const std::vector<int> inter = {10, 14, 14, 20, 20, 20, 24, 24, 24, 24, 27, 27, 27, 30, 30, 34};
    kavrel::SeqParamSet sps{};
    kavrel::PicParamSet pps{};
    uint8_t l4[6][16], l8[2][64];
    kavrel::scaling_list_values(sps, nullptr, l4, l8);  // no matrix: Flat_16
    EXPECT_EQ(zigzag(l4[5]), std::vector<int>(16, 16));
    sps.seq_scaling_matrix_present_flag = 1;
    code(sps.scaling_lists, 1, {2, 4, -14});  // ends in a repeat: 10 14 14 ..
    code(sps.scaling_lists, 3, {-8});         // useDefaultScalingMatrixFlag
    code(sps.scaling_lists, 7, {-100, 127, -35});  // 164, 35 (wrapped), then 35 to the end
    kavrel::scaling_list_values(sps, nullptr, l4, l8);
    std::vector<int> repeat(16, 14);
    repeat[0] = 10;
    const std::vector<std::vector<int>> seq = {intra, repeat, repeat, inter, inter, inter};  // rule A
    for (int i = 0; i < 6; ++i) EXPECT_EQ(zigzag(l4[i]), seq[i]) << i;
    EXPECT_EQ(std::vector<int>(l8[0], l8[0] + 64),
              std::vector<int>(kavrel::kDefault8x8Intra, kavrel::kDefault8x8Intra + 64));
    EXPECT_EQ(std::vector<int>({l8[1][0], l8[1][1], l8[1][63]}), std::vector<int>({164, 35, 35}));
    // A PPS with lists 0 and 4: the others fall back to the SPS's (rule B); no 8x8 lists without the 8x8 transform.
    pps.pic_scaling_matrix_present_flag = 1;
    code(pps.scaling_lists, 0, {1, 1, -10});  // 9, then 10 to the end
    code(pps.scaling_lists, 4, {-8});
    code(pps.scaling_lists, 7, {-4});
    kavrel::scaling_list_values(sps, &pps, l4, l8);
    std::vector<int> nine(16, 10);
    nine[0] = 9;
    const std::vector<std::vector<int>> pic = {nine, nine, nine, inter, inter, inter};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(zigzag(l4[i]), pic[i]) << i;
    EXPECT_EQ(l8[1][0], 164);
}

}  // namespace
