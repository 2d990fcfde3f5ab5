// Slice data of the repeat frame (ITU-T H.264 clause 7.3.4): every
// macroblock skipped, then the end of the RBSP and the cabac_zero_words.
#include "stream/parser_handle.h"
#include "synth/cabac_engine.h"
#include "synth/repeat_frame.h"

namespace kavrel {

namespace {

// CAVLC: one mb_skip_run over the whole picture (ue(v); past 65534 with
// the longer codes of clause 9.1), then rbsp_slice_trailing_bits.
void write_cavlc_data(ParserHandle* handle, RepeatSlice* slice) {
    SliceOutput* out = &slice->output;
    slice->symbol.value = slice->mb_count;
    slice->symbol.signed_code = false;
    out->write_element(handle, &slice->symbol, out, 0, 0);
    write_trailing_bits(out->stream);
}

// CABAC: mb_skip_flag 1 for each macroblock, each followed by
// end_of_slice_flag; in an MBAFF frame end_of_slice_flag follows only the
// bottom macroblock of a pair, and mb_field_decoding_flag is inferred for
// pairs with both macroblocks skipped (clause 7.4.4).
void write_cabac_data(ParserHandle* handle, RepeatSlice* slice) {
    SliceOutput* out = &slice->output;
    ArithEncoder* enc = &out->ArithEncoder;
    const SeqParamSet& sps = handle->active_sps;
    const int32_t width = PicWidthInMbs(sps) > 0 ? PicWidthInMbs(sps) : 1;
    const bool mbaff = sps.mb_adaptive_frame_field_flag != 0 && sps.frame_mbs_only_flag == 0 &&
                       handle->slice.picture_structure == 3;
    const int32_t n = slice->mb_count;
    slice->symbol.value = 0;
    slice->symbol.arith_writer = write_skip_flag_cabac;
    if (n == 0) encode_terminate(enc, 1);
    for (int32_t mb = 0; mb < n; ++mb) {
        int32_t x = mb % width;
        int32_t y = mb / width;
        if (mbaff) {
            const int32_t pair = mb / 2;
            x = pair % width;
            y = 2 * (pair / width) + mb % 2;
        }
        out->write_element(handle, &slice->symbol, out, x, y);
        if (mbaff && mb % 2 == 0) continue;
        encode_terminate(enc, mb + 1 == n ? 1 : 0);
    }
    finish_arith(enc, n);
}

}  // namespace

int32_t write_repeat_data(ParserHandle* handle, RepeatSlice* slice) {
    if (handle->active_pps.entropy_coding_mode_flag != 0) {
        write_cabac_data(handle, slice);
        // The bin count asks for a least payload (clause 9.3.4.6).
        append_cabac_zero_words(&slice->stream, slice->output.ArithEncoder.min_payload);
    } else {
        write_cavlc_data(handle, slice);
    }
    return slice->stream.overflow ? -1 : 0;
}

}  // namespace kavrel
