// CABAC encoding engine: context initialisation (ITU-T H.264 9.3.1.1), the
// coding of regular and terminating bins (9.3.4), checked byte for byte on
// hand-worked slices and against an independent decoder written here from
// the standard's decoding process (9.3.1.2, 9.3.3.2).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/test_support.h"
#include "synth/cabac_test_decoder.h"
#include "synth/cabac_engine.h"

using kavrel::ArithEncoder;
using kavrel::Bitstream;
using kavrel::CabacContext;
using kavrel::MotionInfo;
using kavrel::SliceOutput;
using kavrel::SyntaxSymbol;
using kavrel::TextureInfo;
using kavrel_test::Bytes;
using cabac_test::Decoder;

namespace {

// A slice output over a buffer of `capacity` bytes followed by guard bytes.
struct Output {
    std::vector<uint8_t> buffer;
    Bitstream stream;
    SliceOutput out;
    MotionInfo motion{};
    TextureInfo texture{};
    explicit Output(int32_t capacity = 4096) : buffer(static_cast<size_t>(capacity) + 16, 0xEE) {
        stream.StreamBuffer = buffer.data();
        stream.capacity = capacity;
        out.stream = &stream;
    }
    ArithEncoder* enc() { return &out.ArithEncoder; }
    void start(int32_t qp) {
        kavrel::start_arith(&out);
        out.ArithEncoder.motion = &motion;
        out.ArithEncoder.texture = &texture;
        kavrel::init_contexts(&motion, &texture, qp);
    }
    Bytes bytes() const { return Bytes(buffer.begin(), buffer.begin() + stream.byte_count); }
};

// Codes `mbs` skipped macroblocks as a P slice does: mb_skip_flag 1 through
// the element writer, then end_of_slice_flag; returns min_payload.
int32_t code_skipped_slice(Output& o, int32_t mbs) {
    SyntaxSymbol symbol;
    symbol.value = 0;
    symbol.arith_writer = kavrel::write_skip_flag_cabac;
    for (int32_t i = 0; i < mbs; ++i) {
        kavrel::write_cabac_element(nullptr, &symbol, &o.out, i, 0);
        kavrel::encode_terminate(o.enc(), i + 1 == mbs ? 1 : 0);
    }
    kavrel::finish_arith(o.enc(), mbs);
    return o.enc()->min_payload;
}

TEST(CabacContexts, InitialisationFollowsThePreCtxStateRule) {
    // preCtxState = Clip3(1, 126, ((m * Clip3(0, 51, QP)) >> 4) + n); at or
    // below 63 it gives pStateIdx 63 - preCtxState with valMPS 0, above it
    // preCtxState - 64 with valMPS 1.
    const struct {
        int m, n, qp, state, mps;
    } pairs[] = {
        {23, 33, 0, 30, 0},     // mb_skip_flag of P slices, ctxIdx 11: 33
        {23, 33, 26, 6, 1},     // (23 * 26) >> 4 = 37, + 33 = 70
        {23, 33, 51, 42, 1},    // (23 * 51) >> 4 = 73, + 33 = 106
        {-37, 118, 1, 51, 1},   // -37 >> 4 = -3 rounds toward minus infinity: 115 (not 116)
        {-37, 118, -5, 54, 1},  // a negative QP counts as 0: 118
        {65, -43, 51, 62, 1},   // 164, clipped to 126
        {23, -2, 0, 62, 0},     // -2, clipped to 1
        {0, 64, 17, 0, 1},      // the (0, 64) filler at any QP
    };
    for (const auto& p : pairs) {
        const CabacContext c = kavrel::init_context(p.m, p.n, p.qp);
        EXPECT_EQ(c.state, p.state) << p.m << ", " << p.n << " at QP " << p.qp;
        EXPECT_EQ(c.mps, p.mps) << p.m << ", " << p.n << " at QP " << p.qp;
    }
    // The arrays hold the standard's pairs where their ctxIdx are listed.
    for (int qp : {0, 26, 51}) {
        MotionInfo m{};
        TextureInfo t{};
        kavrel::init_contexts(&m, &t, qp);
        const auto same = [qp](CabacContext a, int m_, int n_) {
            const CabacContext b = kavrel::init_context(m_, n_, qp);
            return a.state == b.state && a.mps == b.mps;
        };
        EXPECT_TRUE(same(m.mb_type_ctx[1][0], 23, 33)) << qp;      // ctxIdx 11
        EXPECT_TRUE(same(m.mb_type_ctx[0][0], 0, 64)) << qp;       // filler
        EXPECT_TRUE(same(t.sig_ctx[3][7], 0, 64)) << qp;           // filler
        EXPECT_TRUE(same(m.mb_type_ctx[2][7], 18, 64)) << qp;      // ctxIdx 24
        EXPECT_TRUE(same(m.transform_8x8_ctx[2], 14, 59)) << qp;   // 401
        EXPECT_TRUE(same(t.cbp_ctx[2][3], -29, 127)) << qp;        // 84
        EXPECT_TRUE(same(t.sig_ctx[1][1], 11, 35)) << qp;          // 120, behind a filler
        EXPECT_TRUE(same(t.field_last_ctx[7][14], 11, 86)) << qp;  // 398
        EXPECT_TRUE(same(t.coded_block_flag_ctx[9][3], -35, 127)) << qp;
    }
}

TEST(CabacEngine, WorkedSlicesByteForByte) {
    // Skipped macroblocks: mb_skip_flag 1 and end_of_slice_flag each, the
    // last end_of_slice_flag 1, then the flush; min_payload is
    // (2 * mbs - mbs + 31) >> 5. At QP 0 valMPS starts at 0 and the first
    // flags are LPS.
    const struct {
        int qp, mbs;
        const char* bytes;
        int32_t min_payload;
    } slices[] = {{26, 1, "a6 80", 1}, {26, 99, "00 06 7c", 4}, {0, 99, "fe da a6 58 01 43", 4}};
    for (const auto& c : slices) {
        Output o;
        o.start(c.qp);
        EXPECT_EQ(code_skipped_slice(o, c.mbs), c.min_payload);
        EXPECT_EQ(kavrel_test::to_hex(o.bytes()), c.bytes);
        EXPECT_EQ(o.enc()->bins, 2u * c.mbs);
    }
}

TEST(CabacEngine, ElementWriterReportsTheBitsItAdded) {
    // At QP 0 the first mb_skip_flag 1 is an LPS of state 30: codIRange 510
    // has qCodIRangeIdx 3, rangeTabLPS[30][3] = 50, and 50 needs three
    // doublings to reach 256: three bits.
    Output o;
    o.start(0);
    SyntaxSymbol s;
    s.value = 0;
    s.arith_writer = kavrel::write_skip_flag_cabac;
    EXPECT_EQ(kavrel::write_cabac_element(nullptr, &s, &o.out, 0, 0), 3);
    EXPECT_EQ(s.length, 3);
    EXPECT_EQ(o.motion.mb_type_ctx[1][0].state, 23);  // transIdxLPS[30]
    EXPECT_EQ(o.motion.mb_type_ctx[1][0].mps, 0);
    // A non-zero value codes mb_skip_flag 0, the MPS here: codIRange 400
    // less rangeTabLPS[23][2] = 63 stays above 256, no renormalisation.
    s.value = 1;
    EXPECT_EQ(kavrel::write_cabac_element(nullptr, &s, &o.out, 1, 0), 0);
    EXPECT_EQ(o.motion.mb_type_ctx[1][0].state, 24);  // transIdxMPS[23]
    EXPECT_EQ(o.enc()->range, 337u);
}

TEST(CabacEngine, RandomBinsDecodeWithTheStandardsDecoder) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const int qp = static_cast<int>(rng() % 52);
        // Header bits before the slice data: 0..7 bits of a partial byte.
        Output o;
        const int header_bits = static_cast<int>(seed % 8);
        o.stream.byte_count = 2;
        o.stream.bits_left = 8 - header_bits;
        o.start(qp);
        ASSERT_EQ(o.stream.byte_count, header_bits == 0 ? 2 : 3);
        const int32_t data_start = o.stream.byte_count;

        // Eight contexts from the table, with a probability of 1 each.
        std::vector<CabacContext> enc_ctx;
        std::vector<double> p_one;
        for (int i = 0; i < 8; ++i) {
            const int idx = 11 + static_cast<int>(rng() % 449);
            enc_ctx.push_back(kavrel::init_context(kavrel::kInitPairsIdc0[idx][0], kavrel::kInitPairsIdc0[idx][1], qp));
            p_one.push_back(std::uniform_real_distribution<double>(0.0, 1.0)(rng));
        }
        std::vector<CabacContext> dec_ctx = enc_ctx;

        struct Step { int kind; int ctx; int bin; };  // kind 0 regular, 1 terminate
        std::vector<Step> steps;
        uint32_t max_outstanding = 0;
        const int count = 3000;
        for (int i = 0; i < count; ++i) {
            Step st{};
            if (rng() % 10 == 0) {
                st = {1, 0, 0};
                kavrel::encode_terminate(o.enc(), 0);
            } else {
                st.ctx = static_cast<int>(rng() % 8);
                st.bin = std::bernoulli_distribution(p_one[st.ctx])(rng) ? 1 : 0;
                kavrel::encode_bin(o.enc(), static_cast<uint16_t>(st.bin), &enc_ctx[st.ctx]);
            }
            if (o.enc()->bits_outstanding > max_outstanding) max_outstanding = o.enc()->bits_outstanding;
            steps.push_back(st);
        }
        kavrel::encode_terminate(o.enc(), 1);
        kavrel::finish_arith(o.enc(), 0);
        ASSERT_FALSE(o.enc()->overflow);
        EXPECT_EQ(o.enc()->bins, static_cast<uint32_t>(count + 1));
        EXPECT_EQ(o.enc()->bits_left, 8);

        const Bytes data = o.bytes();
        Decoder d(data, static_cast<size_t>(data_start));
        for (size_t i = 0; i < steps.size(); ++i) {
            const Step& st = steps[i];
            ASSERT_EQ(st.kind == 1 ? d.terminate() : d.decision(dec_ctx[st.ctx]), st.bin) << "bin " << i;
        }
        ASSERT_EQ(d.terminate(), 1);
        // The last bit the decoder read is the rbsp_stop_one_bit; only
        // alignment zero bits follow it, up to the end of the data.
        ASSERT_GE(d.pos, 1u);
        const size_t stop = d.pos - 1;
        EXPECT_EQ((data[stop / 8] >> (7 - stop % 8)) & 1, 1);
        EXPECT_EQ(data.size(), (stop + 8) / 8);
        EXPECT_EQ(data.back() & ((1u << (7 - stop % 8)) - 1), 0u);
        // The run went through the outstanding-bit path of RenormE.
        EXPECT_GT(max_outstanding, 0u);
    }
}

TEST(CabacEngine, AlignmentAfterTheSliceHeader) {
    // A header ending 3 bits into a byte (101): five cabac_alignment_one_bits
    // complete it to 1011 1111.
    Output mid;
    mid.stream.pending_byte = 0x5;
    mid.stream.bits_left = 5;
    mid.start(26);
    EXPECT_EQ(mid.stream.byte_count, 1);
    EXPECT_EQ(mid.buffer[0], 0xBF);
    EXPECT_EQ(mid.stream.bits_left, 8);
    EXPECT_EQ(mid.stream.pending_byte, 0);
    EXPECT_EQ(mid.enc()->code_len, &mid.stream.byte_count);
    code_skipped_slice(mid, 1);
    EXPECT_EQ(mid.bytes(), kavrel_test::hex("BF A6 80"));

    // A header ending on a byte boundary gets no alignment byte.
    Output aligned;
    aligned.stream.byte_count = 3;
    aligned.start(26);
    EXPECT_EQ(aligned.stream.byte_count, 3);
    code_skipped_slice(aligned, 1);
    EXPECT_EQ(aligned.bytes(), kavrel_test::hex("EE EE EE A6 80"));
}

TEST(CabacEngine, NothingIsStoredPastTheCapacity) {
    // Six bytes are needed at QP 0; with room for four, the rest is dropped.
    Output small(4);
    small.start(0);
    code_skipped_slice(small, 99);
    EXPECT_TRUE(small.enc()->overflow);
    EXPECT_EQ(small.stream.byte_count, 4);
    EXPECT_EQ(small.bytes(), kavrel_test::hex("FE DA A6 58"));
    for (size_t i = 4; i < small.buffer.size(); ++i) EXPECT_EQ(small.buffer[i], 0xEE) << i;

    // The alignment byte respects the capacity too.
    Output full(2);
    full.stream.byte_count = 2;
    full.stream.bits_left = 3;
    kavrel::start_arith(&full.out);
    EXPECT_TRUE(full.stream.overflow);
    EXPECT_EQ(full.buffer[2], 0xEE);
}

}  // namespace
