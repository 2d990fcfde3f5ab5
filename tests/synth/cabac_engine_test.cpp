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
    // mb_skip_flag of P slices, ctxIdx 11 with (m, n) = (23, 33):
    // QP 0: preCtxState 33 -> pStateIdx 63 - 33 = 30, valMPS 0.
    // QP 26: (23 * 26) >> 4 = 37, + 33 = 70 -> 70 - 64 = 6, valMPS 1.
    // QP 51: (23 * 51) >> 4 = 73, + 33 = 106 -> 42, valMPS 1.
    const struct { int qp, state, mps; } skip[] = {{0, 30, 0}, {26, 6, 1}, {51, 42, 1}};
    for (const auto& e : skip) {
        MotionInfo m{};
        TextureInfo t{};
        kavrel::init_contexts(&m, &t, e.qp);
        EXPECT_EQ(m.mb_type_ctx[1][0].state, e.state) << "QP " << e.qp;
        EXPECT_EQ(m.mb_type_ctx[1][0].mps, e.mps) << "QP " << e.qp;
        // A (0, 64) filler is state 0, valMPS 1 at every QP.
        EXPECT_EQ(m.mb_type_ctx[0][0].state, 0);
        EXPECT_EQ(m.mb_type_ctx[0][0].mps, 1);
        EXPECT_EQ(t.sig_ctx[3][7].state, 0);
        EXPECT_EQ(t.sig_ctx[3][7].mps, 1);
    }
    // A negative product rounds toward minus infinity: (-37, 118) at QP 1
    // gives -37 >> 4 = -3 and 115 -> state 51 (a truncating division would
    // give 52). A negative QP counts as 0.
    EXPECT_EQ(kavrel::init_context(-37, 118, 1).state, 51);
    EXPECT_EQ(kavrel::init_context(-37, 118, -5).state, 118 - 64);
    // Clipping to 1..126: (65, -43) at QP 51 -> 164 -> 126 -> state 62, MPS 1;
    // (23, -2) at QP 0 -> -2 -> 1 -> state 62, MPS 0.
    EXPECT_EQ(kavrel::init_context(65, -43, 51).state, 62);
    EXPECT_EQ(kavrel::init_context(65, -43, 51).mps, 1);
    EXPECT_EQ(kavrel::init_context(23, -2, 0).state, 62);
    EXPECT_EQ(kavrel::init_context(23, -2, 0).mps, 0);

    // Other arrays hold the standard's pairs where their ctxIdx are listed.
    MotionInfo m{};
    TextureInfo t{};
    kavrel::init_contexts(&m, &t, 26);
    auto same = [](CabacContext a, int m_, int n_) {
        const CabacContext b = kavrel::init_context(m_, n_, 26);
        return a.state == b.state && a.mps == b.mps;
    };
    EXPECT_TRUE(same(m.mb_type_ctx[2][7], 18, 64));        // ctxIdx 24
    EXPECT_TRUE(same(m.transform_8x8_ctx[2], 14, 59));     // 401
    EXPECT_TRUE(same(t.cbp_ctx[2][3], -29, 127));          // 84
    EXPECT_TRUE(same(t.sig_ctx[1][1], 11, 35));            // 120, behind a filler
    EXPECT_TRUE(same(t.field_last_ctx[7][14], 11, 86));    // 398
    EXPECT_TRUE(same(t.coded_block_flag_ctx[9][3], -35, 127));
}

TEST(CabacEngine, WorkedSlicesByteForByte) {
    // One skipped macroblock at QP 26, then end_of_slice_flag 1 and the flush.
    Output one;
    one.start(26);
    EXPECT_EQ(code_skipped_slice(one, 1), 1);  // (2 - 1 + 31) >> 5
    EXPECT_EQ(one.bytes(), kavrel_test::hex("A6 80"));
    EXPECT_EQ(one.enc()->bins, 2u);

    // 99 macroblocks (176x144) at QP 26: 198 bins, min_payload
    // (198 - 99 + 31) >> 5 = 4.
    Output qcif;
    qcif.start(26);
    EXPECT_EQ(code_skipped_slice(qcif, 99), 4);
    EXPECT_EQ(qcif.bytes(), kavrel_test::hex("00 06 7C"));
    EXPECT_EQ(qcif.enc()->bins, 198u);

    // The same at QP 0, where valMPS starts at 0 and the first flags are LPS.
    Output qp0;
    qp0.start(0);
    code_skipped_slice(qp0, 99);
    EXPECT_EQ(qp0.bytes(), kavrel_test::hex("FE DA A6 58 01 43"));
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
        std::vector<CabacContext> enc_ctx, dec_ctx;
        std::vector<double> p_one;
        for (int i = 0; i < 8; ++i) {
            const int idx = 11 + static_cast<int>(rng() % 449);
            enc_ctx.push_back(kavrel::init_context(kavrel::kInitPairsIdc0[idx][0], kavrel::kInitPairsIdc0[idx][1], qp));
            p_one.push_back(std::uniform_real_distribution<double>(0.0, 1.0)(rng));
        }
        dec_ctx = enc_ctx;

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
            if (st.kind == 1) {
                ASSERT_EQ(d.terminate(), 0) << "seed " << seed << " bin " << i;
            } else {
                ASSERT_EQ(d.decision(dec_ctx[st.ctx]), st.bin) << "seed " << seed << " bin " << i;
            }
        }
        ASSERT_EQ(d.terminate(), 1) << "seed " << seed;
        // The last bit the decoder read is the rbsp_stop_one_bit; only
        // alignment zero bits follow it, up to the end of the data.
        ASSERT_GE(d.pos, 1u);
        const size_t stop = d.pos - 1;
        EXPECT_EQ((data[stop / 8] >> (7 - stop % 8)) & 1, 1) << "seed " << seed;
        EXPECT_EQ(data.size(), (stop + 8) / 8) << "seed " << seed;
        EXPECT_EQ(data.back() & ((1u << (7 - stop % 8)) - 1), 0u) << "seed " << seed;
        // The run went through the outstanding-bit path of RenormE.
        EXPECT_GT(max_outstanding, 0u) << "seed " << seed;
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
    EXPECT_EQ(aligned.stream.byte_count, 5);
    EXPECT_EQ(aligned.buffer[3], 0xA6);
    EXPECT_EQ(aligned.buffer[4], 0x80);
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
