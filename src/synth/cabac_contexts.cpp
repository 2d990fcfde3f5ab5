// Context initialisation for cabac_init_idc 0 (ITU-T H.264 clause 9.3.1.1)
// and the placement of the standard's ctxIdx in MotionInfo and TextureInfo.
#include <algorithm>
#include <cstddef>
#include <iterator>

#include "synth/cabac_engine.h"

namespace kavrel {

namespace {

constexpr int kFiller = -1;  // an entry initialised from (0, 64)

CabacContext context_for(int ctx_idx, int32_t qp) {
    if (ctx_idx < 0 || ctx_idx >= kInitPairCount) return init_context(0, 64, qp);
    return init_context(kInitPairsIdc0[ctx_idx][0], kInitPairsIdc0[ctx_idx][1], qp);
}

// Sets `count` entries of `row` from `first` on to consecutive ctxIdx.
void place(CabacContext* row, int first, int ctx_idx, int count, int32_t qp) {
    for (int i = 0; i < count; ++i) row[first + i] = context_for(ctx_idx + i, qp);
}

// Sets entries from a list of ctxIdx (kFiller for fillers).
template <size_t N>
void place_list(CabacContext (&row)[N], const int (&ctx_idx)[N], int32_t qp) {
    for (size_t i = 0; i < N; ++i) row[i] = context_for(ctx_idx[i], qp);
}

template <size_t R, size_t C>
void fill(CabacContext (&rows)[R][C], CabacContext value) {
    for (auto& row : rows) std::fill(std::begin(row), std::end(row), value);
}

// One 15-wide residual array: rows 0, 1, 5, 6, 7 hold block categories 0..4
// (categories 1 and 4 have 14 contexts and start one entry in), row 2 the
// 8x8 luma category 5; rows 3, 4, 8, 9 are fillers.
void place_residual(CabacContext (&rows)[10][15], int cat0, int cat5, int cat5_count, int32_t qp) {
    place(rows[0], 0, cat0, 15, qp);
    place(rows[1], 1, cat0 + 15, 14, qp);
    place(rows[5], 0, cat0 + 29, 15, qp);
    place(rows[6], 0, cat0 + 44, 3, qp);
    place(rows[7], 1, cat0 + 47, 14, qp);
    place(rows[2], 0, cat5, cat5_count, qp);
}

void init_motion(MotionInfo* m, int32_t qp) {
    constexpr int F = kFiller;
    static constexpr int kMbType[3][11] = {
        {F, F, F, F, F, F, F, F, F, F, F},
        {11, 12, 13, F, 14, 15, 16, 17, 18, 19, 20},
        {27, 28, 29, F, 30, 31, 32, 24, 25, 26, F},
    };
    static constexpr int kSubMbType[2][9] = {
        {F, 21, F, 22, 23, F, F, F, F},
        {36, 37, 38, 39, F, F, F, F, F},
    };
    static constexpr int kMvd[2][10] = {
        {40, F, 41, 42, F, 47, F, 48, 49, F},
        {43, 44, 45, 46, F, 50, 51, 52, 53, F},
    };
    static constexpr int kRefIdx[2][6] = {{54, 55, 56, 57, 58, 59}, {F, F, F, F, F, F}};
    static constexpr int kQpDelta[4] = {60, 61, 62, 63};
    static constexpr int kField[4] = {70, 71, 72, F};
    static constexpr int kTransform8x8[3] = {399, 400, 401};
    for (int r = 0; r < 3; ++r) place_list(m->mb_type_ctx[r], kMbType[r], qp);
    for (int r = 0; r < 2; ++r) place_list(m->sub_mb_type_ctx[r], kSubMbType[r], qp);
    for (int r = 0; r < 2; ++r) place_list(m->mvd_ctx[r], kMvd[r], qp);
    for (int r = 0; r < 2; ++r) place_list(m->ref_idx_ctx[r], kRefIdx[r], qp);
    place_list(m->qp_delta_ctx, kQpDelta, qp);
    place_list(m->field_ctx, kField, qp);
    place_list(m->transform_8x8_ctx, kTransform8x8, qp);
}

void init_texture(TextureInfo* t, int32_t qp) {
    const CabacContext filler = init_context(0, 64, qp);
    place(t->intra_pred_ctx, 0, 68, 2, qp);
    place(t->chroma_pred_ctx, 0, 64, 4, qp);
    for (int r = 0; r < 3; ++r) place(t->cbp_ctx[r], 0, 73 + 4 * r, 4, qp);

    // coded_block_flag: categories 0..4 in rows 0, 1, 4, 5, 6; rows 8 and 9
    // hold pairs of their own.
    fill(t->coded_block_flag_ctx, filler);
    static constexpr int kCbfRow[5] = {0, 1, 4, 5, 6};
    for (int cat = 0; cat < 5; ++cat) place(t->coded_block_flag_ctx[kCbfRow[cat]], 0, 85 + 4 * cat, 4, qp);
    static constexpr int kCbfExtra[2][4][2] = {
        {{0, 80}, {-5, 89}, {-7, 94}, {-4, 92}},
        {{0, 39}, {0, 65}, {-15, 84}, {-35, 127}},
    };
    for (int r = 0; r < 2; ++r)
        for (int i = 0; i < 4; ++i)
            t->coded_block_flag_ctx[8 + r][i] = init_context(kCbfExtra[r][i][0], kCbfExtra[r][i][1], qp);

    fill(t->sig_ctx, filler);
    fill(t->last_ctx, filler);
    fill(t->field_sig_ctx, filler);
    fill(t->field_last_ctx, filler);
    place_residual(t->sig_ctx, 105, 402, 15, qp);
    place_residual(t->last_ctx, 166, 417, 9, qp);
    place_residual(t->field_sig_ctx, 277, 436, 15, qp);
    place_residual(t->field_last_ctx, 338, 451, 9, qp);

    // coeff_abs_level_minus1: per category the first-bin contexts
    // (ctxIdxInc 0..4) and those of the further bins (5..9; 5..8 for chroma
    // DC), in the rows of coded_block_flag, and category 5 in row 2.
    fill(t->abs_one_ctx, filler);
    fill(t->abs_level_ctx, filler);
    static constexpr int kAbsOffset[5] = {0, 10, 20, 30, 39};
    for (int cat = 0; cat < 5; ++cat) {
        const int base = 227 + kAbsOffset[cat];
        place(t->abs_one_ctx[kCbfRow[cat]], 0, base, 5, qp);
        place(t->abs_level_ctx[kCbfRow[cat]], 0, base + 5, cat == 3 ? 4 : 5, qp);
    }
    place(t->abs_one_ctx[2], 0, 426, 5, qp);
    place(t->abs_level_ctx[2], 0, 431, 5, qp);
}

}  // namespace

CabacContext init_context(int32_t m, int32_t n, int32_t qp) {
    if (qp < 0) qp = 0;
    // (m * qp) >> 4 rounds toward minus infinity, as the standard's shift.
    const int32_t product = m * qp;
    const int32_t shifted = product >= 0 ? product / 16 : -((-product + 15) / 16);
    const int32_t pre = std::clamp(shifted + n, 1, 126);
    CabacContext c;
    if (pre <= 63) {
        c.state = static_cast<uint16_t>(63 - pre);
        c.mps = 0;
    } else {
        c.state = static_cast<uint16_t>(pre - 64);
        c.mps = 1;
    }
    return c;
}

void init_contexts(MotionInfo* motion, TextureInfo* texture, int32_t qp) {
    if (motion != nullptr) init_motion(motion, qp);
    if (texture != nullptr) init_texture(texture, qp);
}

}  // namespace kavrel
