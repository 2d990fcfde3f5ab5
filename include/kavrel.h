/*
 * Kavrel: look inside an H.264 Annex B stream one access unit at a time, and
 * produce a few NAL units that fit it (corrected SPS/PPS, an SPS with a new
 * frame rate, an all-skipped P picture that repeats the last one).
 *
 * Plain C interface, usable from C11 and C++. All records hold fixed-width
 * integers and pointers only; their offsets are part of the interface.
 */
#ifndef KAVREL_H
#define KAVREL_H

#include <stdint.h>

/* Version of this header and of the library built with it (the CMake project
 * version; configuring fails when the two differ). Kavrel_lib_get_version()
 * returns a fixed text of its own, not this. */
#define KAVREL_VERSION_MAJOR 0
#define KAVREL_VERSION_MINOR 1
#define KAVREL_VERSION_PATCH 0
#define KAVREL_VERSION_STRING "0.1.0"

#if defined(_WIN32)
#  if defined(KAVREL_BUILDING)
#    define KAVREL_API __declspec(dllexport)
#  elif defined(KAVREL_STATIC)
#    define KAVREL_API
#  else
#    define KAVREL_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define KAVREL_API __attribute__((visibility("default")))
#else
#  define KAVREL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Negative results. The values are fixed; where one value has several
 * causes, all are listed. Kavrel_Start returns the first code met while
 * parsing an access unit; the handle stays usable. Parse results are 0,
 * synthesis calls return a byte count. The one positive result,
 * KAVREL_NEED_MORE_DATA, is no failure: Kavrel_Start_Stream returns it. */
enum KavrelResult {
    KAVREL_OK = 0,
    /* Kavrel_Start_Stream with more_follows: the bytes given do not yet
     * prove where the access unit ends. Nothing was parsed or printed,
     * consumed is 0 and the handle is unchanged; call again with the same
     * bytes and more behind them. */
    KAVREL_NEED_MORE_DATA = 1,
    /* A refused argument or request: NULL pointers given to the synthesis
     * and correction calls, a unit that does not fit, a repeat the stream
     * cannot take; while parsing, slice_alpha_c0_offset_div2 or
     * slice_beta_offset_div2 outside -6..6. */
    KAVREL_E_REFUSED = -1,
    KAVREL_E_SLICE_QP = -2,               /* SliceQP outside 0..51 */
    KAVREL_E_PPS_NOT_VALID = -3,          /* a slice names a PPS that is not stored */
    KAVREL_E_SLICE_TYPE_UNSUPPORTED = -4, /* SP or SI slice */
    KAVREL_E_IDR_NOT_I = -5,              /* an IDR NAL unit holds a P or B slice */
    KAVREL_E_SLICE_TYPE = -6,             /* slice_type outside 0..9 */
    /* A slice before any SPS; also a NULL handle, input or info given to
     * Kavrel_Start, or a NULL data pointer in FrameInput. */
    KAVREL_E_NO_SPS = -7,
    KAVREL_E_SPS_NOT_VALID = -8,          /* a slice's PPS names an SPS that is not stored */
    KAVREL_E_PPS_ID = -9,                 /* pic_parameter_set_id above 255 (PPS or slice) */
    KAVREL_E_PARAM_SET_MEMORY = -10,      /* no memory for the copy of a long SPS or PPS */
    KAVREL_E_SEI_REF_IDC = -11,           /* SEI with nal_ref_idc other than 0 */
    KAVREL_E_SPS_ID = -12,                /* seq_parameter_set_id above 31 (SPS or PPS) */
    KAVREL_E_IDR_MIXED = -13,             /* IDR and non-IDR slices in one frame picture */
    KAVREL_E_NAL = -14,                   /* a NAL unit refused at its header (an IDR unit with nal_ref_idc 0) */
    KAVREL_E_FRAME_NUM = -16,             /* frame_num breaks the continuity rules of clause 7.4.3 */
    KAVREL_E_SLICE_RANGE = -18,           /* a slice header element outside its range */
    /* A PPS element outside its range; also init_qp, init_qs or
     * chroma_qp_index_offset out of range for the SPS a slice activates. */
    KAVREL_E_PPS_RANGE = -19,
    /* An SPS element outside its range; also, in correction mode 2, an SPS
     * of 512 bytes or more. */
    KAVREL_E_SPS_RANGE = -20,
    KAVREL_E_MEMORY = -21,                /* no memory for the frame's RBSP buffer */
    KAVREL_E_PROFILE = -22,               /* an SPS or PPS breaks its profile's rules */
    /* Kavrel_Repeat_Picture: the picture cannot be repeated exactly (the
     * message says why: temporal direct prediction, implicit weighted
     * bi-prediction, a field, no free picture order count value, ...).
     * Nothing was planned for it; the plan goes on. */
    KAVREL_E_REPEAT_REFUSED = -23,
    /* Kavrel_Repeat_Picture: a repeat planned for an earlier picture can no
     * longer be placed exactly (the message says why); it is dropped and
     * the output so far is not exact. */
    KAVREL_E_REPEAT_BROKEN = -24
};

/* Where the units of Kavrel_Repeat_Units go, relative to the access unit
 * last given to Kavrel_Repeat_Picture. */
enum KavrelRepeatPlace {
    KAVREL_REPEAT_BEFORE = 0, /* right before the access unit */
    KAVREL_REPEAT_AFTER = 1,  /* right after the access unit */
    KAVREL_REPEAT_END = 2     /* at the end of the stream: what is still pending */
};

/* Opaque parser state, one per stream.
 *
 * Threads: the library starts none and keeps no state outside its handles,
 * except the log sink (Kavrel_Set_Log_Callback), which all handles share.
 * A handle may be used from any thread, by one thread at a time: every call
 * that takes it (Kavrel_Start, the synthesis calls, Kavrel_Close) must not
 * overlap another call on the same handle (H264_Enc_Iframe changes the
 * handle too: it keeps the new time_scale in the active SPS).
 * Calls on different handles, Kavrel_enc_h264Correct (which parses on a
 * handle of its own) and Kavrel_lib_get_version may run on any threads at
 * the same time. */
typedef struct ParserHandle ParserHandle;

/* One access unit of Annex B bytes given to Kavrel_Start. */
typedef struct FrameInput {
    const uint8_t* data; /* offset 0 */
    uint32_t size;       /* offset 8 */
} FrameInput;

/* What Kavrel_Start reports after each call: the handle's state after the
 * call, not only what the unit itself carried.
 *
 * After a refused unit (a negative result) `consumed` is 0 and every other
 * member still describes the handle: what earlier units established, plus
 * whatever the refused unit stored before the element that failed (a good
 * SPS or PPS earlier in the unit, the sizes of an SPS that then failed its
 * profile check, a slice header's picture type and structure). Only a NULL
 * handle, input or info leaves `info` untouched.
 *
 * sps_data / pps_data point into the handle and hold sps_size / pps_size
 * bytes (0 until a set of that kind has been parsed). They stay valid until
 * the next SPS (resp. PPS) is parsed by this handle, or Kavrel_Close: a set
 * of up to 1024 bytes is copied over them in place, a longer one
 * reallocates the copy, so the pointer itself may change (and is NULL,
 * size 0, from a failed reallocation on: KAVREL_E_PARAM_SET_MEMORY). Copy
 * the bytes to keep them longer. */
typedef struct FrameInfo {
    int32_t width;             /* 0: cropped (display) width */
    int32_t height;            /* 4: cropped (display) height */
    int32_t picture_type;      /* 8: 0 I, 1 P, 2 B, 255 none yet */
    uint32_t consumed;         /* 12: input bytes taken as this frame; 0 on failure */
    uint32_t frame_rate;       /* 16: whole frames per second from the VUI timing */
    uint32_t ref_frame_count;  /* 20: max_num_ref_frames of the active SPS */
    int32_t picture_structure; /* 24: 1 top field, 2 bottom field, 3 frame, 0 none yet */
    int32_t coded_width;       /* 28: PicWidthInMbs * 16 */
    int32_t coded_height;      /* 32: FrameHeightInMbs * 16 */
    uint32_t reserved36;       /* 36: never written */
    const uint8_t* sps_data;   /* 40: RBSP of the last SPS (owned by the handle) */
    const uint8_t* pps_data;   /* 48: RBSP of the last PPS (owned by the handle) */
    uint32_t sps_size;         /* 56 */
    uint32_t pps_size;         /* 60 */
    uint32_t field_pic_flag;   /* 64: 1 field picture, 0 frame */
} FrameInfo;

/* Request of Kavrel_enc_h264Correct. */
typedef struct CorrectionRequest {
    uint32_t OrgFrameLength;  /* 0: bytes in org_frame */
    uint32_t reserved4;       /* 4 */
    const uint8_t* org_frame; /* 8: the frame to correct */
    uint32_t cureFrameLength; /* 16: in: capacity of cure_frame; out: bytes written */
    uint32_t reserved20;      /* 20 */
    uint8_t* cure_frame;      /* 24: output buffer (must not overlap org_frame) */
    int32_t corrected;        /* 32: out: -1 parse failure, 0 nothing written, 1 written */
    uint32_t sar_width;       /* 36: mode 2: requested SAR width (0: none) */
    uint32_t sar_height;      /* 40: mode 2: requested SAR height (0: none) */
    int32_t correction_mode;  /* 44: 1 extend the PPS, 2 give the SPS an aspect ratio */
} CorrectionRequest;

/* Request of H264_Enc_Iframe. */
typedef struct FrameRateRequest {
    uint8_t* out_buf;   /* 0: receives the SPS NAL unit */
    uint32_t reserved8; /* 8: not read */
    uint32_t fps;       /* 12: new rate in whole frames per second */
} FrameRateRequest;

/* Receives one diagnostic text (a whole line, as the library would print it). */
typedef void (*KavrelLogCallback)(void* opaque, const char* message);

/* Sends every diagnostic of the library to `fn` with `opaque` instead of
 * standard output; NULL restores standard output (the default). Process-wide
 * and thread-safe; `fn` may be called from any thread that calls the library,
 * from several at once when threads parse on separate handles. */
KAVREL_API void Kavrel_Set_Log_Callback(KavrelLogCallback fn, void* opaque);

/* Opens a parser handle; NULL when memory is short. */
KAVREL_API ParserHandle* Kavrel_Open(void);
/* Releases a handle and everything it owns. */
KAVREL_API void Kavrel_Close(ParserHandle* handle);
/* Parses one access unit; 0 or a negative code. `info` is filled in either case. */
KAVREL_API int32_t Kavrel_Start(ParserHandle* handle, const FrameInput* input, FrameInfo* info);
/* Kavrel_Start for live input (a socket or pipe), where `input` may end
 * inside an access unit. With more_follows non-zero the access unit that
 * input->data begins with is parsed only once the bytes given prove where
 * it ends (the next unit's start code, header and, for a slice, the start
 * of its header, 28 bytes, lie within them; for an access unit that
 * carries its own SPS or PPS that may take the first slice of the access
 * unit after the next, or a delimiter, SEI or parameter set behind the
 * next one); until then the call
 * returns KAVREL_NEED_MORE_DATA with consumed 0, printing nothing and
 * changing nothing, and the host calls again with the same bytes and more
 * appended. With more_follows 0 (the end of the stream) it is Kavrel_Start.
 * Codes, FrameInfo, consumed and diagnostics are those Kavrel_Start gives
 * over the whole stream, however the bytes arrive. */
KAVREL_API int32_t Kavrel_Start_Stream(ParserHandle* handle, const FrameInput* input, FrameInfo* info,
                                       int32_t more_follows);
/* Constant version text. */
KAVREL_API const char* Kavrel_lib_get_version(void);
/* Writes a corrected copy of one frame (see CorrectionRequest). The frame
 * is parsed on a handle of its own and must carry its SPS and PPS.
 * Results, with `corrected` and `cureFrameLength` on return:
 *   - -1, both untouched: `request` NULL, org_frame or cure_frame NULL,
 *     cureFrameLength below OrgFrameLength, OrgFrameLength above INT32_MAX,
 *     in mode 2 sar_width or sar_height above 65535, or no memory;
 *   - a negative code of Kavrel_Start, `corrected` -1: the frame did not
 *     parse (and in mode 2, KAVREL_E_SPS_RANGE for an SPS of 512 bytes or
 *     more); nothing written;
 *   - -1, `corrected` 0: correction_mode not 1 or 2, or the corrected frame
 *     does not fit cureFrameLength (with a message); nothing written;
 *   - 0, `corrected` 1: the corrected frame is in cure_frame and
 *     cureFrameLength holds its length;
 *   - 0, `corrected` 0: nothing to correct, nothing written: the frame lacks
 *     an SPS or a PPS, or (mode 1) its PPS already has the 8x8-transform
 *     tail or names an SPS of a profile_idc below 100;
 *   - OrgFrameLength, `corrected` 0: mode 2 only, the SPS's
 *     vui_parameters_present_flag lies past the end of the set; nothing
 *     written. */
KAVREL_API int32_t Kavrel_enc_h264Correct(CorrectionRequest* request);
/* Writes the active SPS again with a new frame rate; bytes written or -1.
 * out_buf must have room for the whole unit: prefer H264_Enc_Iframe_Rate. */
KAVREL_API int32_t H264_Enc_Iframe(ParserHandle* handle, FrameRateRequest* request);
/* Writes the active SPS again announcing the rate fps_num / fps_den frames
 * per second (num_units_in_tick = fps_den, time_scale = 2 * fps_num; e.g.
 * 30000 / 1001). Bytes written to out, or -1 with nothing written when the
 * unit does not fit `capacity`, the rate is 0 or out of range, or no SPS has
 * been parsed. The handle is not changed. */
KAVREL_API int32_t H264_Enc_Iframe_Rate(ParserHandle* handle, uint8_t* out, uint32_t capacity,
                                        uint32_t fps_num, uint32_t fps_den);
/* Writes an all-skipped non-reference P picture repeating the last one;
 * bytes written or -1. out must have room for the whole unit: prefer
 * H264_Enc_Double_Frame_Sized.
 *
 * Both repeat calls refuse with -1, a message saying why and nothing
 * written, unless the last parsed picture can be shown again right after
 * itself by such a picture:
 *   - an SPS, a PPS and a slice have been parsed, with parameter sets that
 *     have not changed since that slice;
 *   - one slice group, and the stream keeps reference frames;
 *   - the last picture is a reference picture (nal_ref_idc != 0) and a
 *     frame, not a field;
 *   - it is a short-term reference: no long_term_reference_flag 1 and no
 *     memory_management_control_operation 6, nor operation 5;
 *   - pic_order_cnt_type is 0 or 2; with type 0, a non-IDR picture's
 *     pic_order_cnt_lsb did not step by exactly 1 from the picture before
 *     it (the repeat takes the last one's lsb + 1);
 *   - no later picture can be shown before it, as far as the stream
 *     tells: the SPS's VUI says max_num_reorder_frames 0; or the stream
 *     has shown no B-picture nor picture order count that went back since
 *     the handle was opened and, where the VUI allows reordering, the last
 *     picture's pic_order_cnt_lsb did not step ahead by more than one
 *     picture (2) and than any step before it (a gap left for pictures to
 *     come). A repeat right after a picture that later pictures precede in
 *     output order would be shown before them, and decoders drop them.
 *     Streams with B-pictures take repeats through Kavrel_Repeat_Picture. */
KAVREL_API int32_t H264_Enc_Double_Frame(ParserHandle* handle, uint8_t* out);
/* As H264_Enc_Double_Frame, into out of `capacity` bytes: bytes written, or
 * -1 with nothing written when the unit does not fit or a condition above
 * fails. The handle is not changed, so two calls in a
 * row write the same unit. */
KAVREL_API int32_t H264_Enc_Double_Frame_Sized(ParserHandle* handle, uint8_t* out, uint32_t capacity);

/* Repeats in any order of pictures (streams with B-pictures too): a plan
 * kept in the handle that says which units to write where, so that every
 * picture of the stream is shown in its order and each repeated one again
 * right after itself.
 *
 * After every access unit Kavrel_Start (or Kavrel_Start_Stream) parsed with
 * result 0, the host calls Kavrel_Repeat_Picture with that unit's bytes
 * (input->data, info.consumed) and `repeat` 1 to ask for a repeat of its
 * picture, 0 not to; then writes, in this order, the units of
 * Kavrel_Repeat_Units(KAVREL_REPEAT_BEFORE), the access unit itself, the
 * units of Kavrel_Repeat_Units(KAVREL_REPEAT_AFTER); and at the end of the
 * stream the units of Kavrel_Repeat_Units(KAVREL_REPEAT_END). The unit's
 * bytes must stay in place until the AFTER units are written.
 *
 * A reference picture is repeated by an all-skipped non-reference P
 * picture whose picture order count lies one above its own, written before
 * the first later access unit whose picture follows it in output order
 * (or an IDR picture, new parameter sets, a picture whose reference marking
 * would drop it, or the end), with ref_pic_list_modification naming it when
 * another reference picture came in between; a non-reference picture by a
 * copy of its own access unit (its delimiter and slices) with only
 * pic_order_cnt_lsb one higher, written right after it. When a frame's
 * fields take two counts (2k and 2k + 1, as in x264's interlaced MBAFF
 * output) both fields of its repeat or copy take 2k + 1
 * (delta_pic_order_cnt_bottom 0). When the copy's B slices use implicit
 * weighted bi-prediction whose weights are 32/32 for every pair of
 * references they may use (the picture halfway between its references,
 * one reference per list), the copy carries a PPS of its own right after
 * its delimiter: the stream's PPS with weighted_bipred_idc 0 under an id
 * the stream has not used so far, which the copy's slices name. Placed so, no
 * repeat raises the number of pictures a decoder must hold back: the SPS
 * (max_num_reorder_frames, max_dec_frame_buffering, level_idc) stays as it
 * is.
 *
 * Kavrel_Repeat_Picture returns 0 (repeat planned, or none asked),
 * KAVREL_E_REPEAT_REFUSED (this picture cannot be repeated exactly; one
 * message says why; the plan goes on), KAVREL_E_REPEAT_BROKEN (a repeat
 * planned earlier could not be placed and was dropped; one message says
 * why), or -1 for a NULL handle or unit. A picture is refused when it is a
 * field, a long-term reference or carries memory_management_control_
 * operation 5; with picture order count type 1; when its picture order
 * count (or a picture's before it) leaves no free value one above it, or
 * a frame's fields lie more than one count apart; a non-reference copy
 * also with a B slice using temporal direct prediction
 * (direct_spatial_mv_pred_flag 0) or implicit weighted bi-prediction
 * (weighted_bipred_idc 2) with weights other than 32/32 for a pair of its
 * references, or in an MBAFF frame (field macroblocks weigh by the
 * fields' counts), with data
 * partitioning, or an access unit that ends the sequence or stream. After
 * an access unit Kavrel_Start refused, the host writes the END units before
 * it; planning then starts again at the next IDR picture (earlier requests
 * are refused).
 *
 * Kavrel_Repeat_Units writes the units for `place` into out (Annex B, each
 * behind a four-byte start code, an access unit delimiter first when the
 * stream's access units carry one) and returns the bytes written, 0 when
 * there are none; they are then taken from the plan. With out NULL it
 * returns the bytes they need and changes nothing; with too little
 * `capacity` it returns -1, writes nothing and keeps them. A copy needs
 * the size of the access unit plus a few bytes (and the size of its PPS);
 * a repeat of a reference
 * picture the size H264_Enc_Double_Frame_Sized needs plus 24 bytes. */
KAVREL_API int32_t Kavrel_Repeat_Picture(ParserHandle* handle, const FrameInput* unit, int32_t repeat);
KAVREL_API int32_t Kavrel_Repeat_Units(ParserHandle* handle, int32_t place, uint8_t* out, uint32_t capacity);
/* Which pictures the units Kavrel_Repeat_Units writes for `place` show
 * again, one entry per repeat or copy in the order written: the
 * Kavrel_Repeat_Picture call that gave the picture, counted from 0 on the
 * handle (a host that muxes into a container gives each repeat its
 * picture's timestamps with it). Up to `max` entries go to `pictures`;
 * returns how many there are, or -1 for a NULL handle, a place out of
 * range, or pictures NULL with max above 0. Ask before Kavrel_Repeat_Units
 * writes the units, after it measured them (out NULL): for
 * KAVREL_REPEAT_END the measuring call places them. */
KAVREL_API int32_t Kavrel_Repeat_Unit_Pictures(const ParserHandle* handle, int32_t place, uint64_t* pictures,
                                               int32_t max);

#ifdef __cplusplus
}
#endif

#endif /* KAVREL_H */
