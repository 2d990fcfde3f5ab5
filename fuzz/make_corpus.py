#!/usr/bin/env python3
"""Makes the seed corpora of the fuzz harnesses (fuzz/corpus/<harness>/).

Seeds come from small x264 streams made with FFmpeg (SEI removed to keep
them small) and from hand-made units for what x264 does not write (field
pictures, POC type 1, slice groups, marking and reordering commands,
refused headers). The control bytes in front of the correct and synth seeds
follow the layouts in correction_harness.cpp and synthesis_harness.cpp.

Usage: fuzz/make_corpus.py [OUT_DIR]   (default: fuzz/corpus next to it)
"""
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# ---- x264 streams --------------------------------------------------------

SRC = ["-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v", "6"]
STREAMS = {
    "baseline": SRC + ["-c:v", "libx264", "-profile:v", "baseline"],
    "main_cabac_b": SRC + ["-c:v", "libx264", "-profile:v", "main", "-bf", "2"],
    "high_8x8": SRC + ["-c:v", "libx264", "-profile:v", "high"],
    "gray_no8x8": SRC + ["-c:v", "libx264", "-pix_fmt", "gray", "-x264-params", "8x8dct=0"],
    "mbaff": SRC + ["-c:v", "libx264", "-flags", "+ildct+ilme", "-x264-params", "tff=1"],
    "weightb_refs1": SRC + ["-c:v", "libx264", "-bf", "2", "-refs", "1", "-x264-params", "cabac=0"],
    "weighted": ["-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25,fade=in:0:6", "-frames:v", "6",
                 "-c:v", "libx264", "-bf", "2", "-x264-params", "weightp=2:weightb=1"],
    "slices": SRC + ["-c:v", "libx264", "-x264-params", "slices=4"],
    "cqm": SRC + ["-c:v", "libx264", "-profile:v", "high", "-x264-params", "cqm=jvt"],
    "vui_hrd": SRC + ["-c:v", "libx264", "-x264-params",
                      "nal-hrd=vbr:vbv-maxrate=500:vbv-bufsize=1000:sar=4/3:colorprim=bt709"],
    "refs_pyramid": ["-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v", "10", "-c:v", "libx264",
                     "-x264-params", "ref=4:b-pyramid=strict:bframes=3"],
    "crop": ["-f", "lavfi", "-i", "testsrc2=size=50x38:rate=25", "-frames:v", "4", "-c:v", "libx264"],
    "high10": SRC[:-1] + ["3", "-c:v", "libx264", "-pix_fmt", "yuv420p10le"],
    "high444": SRC[:-1] + ["3", "-c:v", "libx264", "-pix_fmt", "yuv444p"],
    "aud": SRC + ["-c:v", "libx264", "-x264-params", "aud=1"],
    "intra_refresh": ["-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v", "8", "-c:v", "libx264",
                      "-x264-params", "intra-refresh=1:keyint=4"],
    "idr_every2": SRC + ["-c:v", "libx264", "-g", "2"],
}


def make_stream(work, name, args):
    path = os.path.join(work, name + ".h264")
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y"] + args +
                   ["-crf", "40", "-bsf:v", "filter_units=remove_types=6", "-f", "h264", path], check=True)
    with open(path, "rb") as f:
        return f.read()


# ---- NAL units -------------------------------------------------------------

def units(stream):
    """(header position, end) of every NAL unit of an Annex B stream."""
    starts = []
    i = 0
    while True:
        i = stream.find(b"\x00\x00\x01", i)
        if i < 0:
            break
        starts.append(i + 3)
        i += 3
    out = []
    for k, h in enumerate(starts):
        end = starts[k + 1] - 3 if k + 1 < len(starts) else len(stream)
        while end > h and stream[end - 1] == 0:
            end -= 1
        out.append((h, end))
    return out


def unescape(payload):
    out = bytearray()
    zeros = 0
    for b in payload:
        if zeros >= 2 and b == 3:
            zeros = 0
            continue
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def escape(rbsp):
    out = bytearray()
    zeros = 0
    for b in rbsp:
        if zeros >= 2 and b <= 3:
            out.append(3)
            zeros = 0
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def nal(header, rbsp):
    return b"\x00\x00\x00\x01" + bytes([header]) + escape(rbsp)


def first_access_unit(stream):
    """Bytes up to the second picture's first slice (or the end)."""
    seen_slice = False
    for h, _ in units(stream):
        t = stream[h] & 0x1F
        if t in (1, 5):
            if seen_slice and h + 1 < len(stream) and stream[h + 1] & 0x80:
                return stream[:h - 4] if stream[h - 4] == 0 else stream[:h - 3]
            seen_slice = True
    return stream


class Bits:
    """MSB-first bit writer with the Exp-Golomb codes of clause 9.1."""

    def __init__(self):
        self.bits = []

    def u(self, n, v):
        self.bits += [(v >> (n - 1 - i)) & 1 for i in range(n)]
        return self

    def ue(self, v):
        code = v + 1
        n = code.bit_length()
        return self.u(n - 1, 0).u(n, code)

    def se(self, v):
        return self.ue(2 * v - 1 if v > 0 else -2 * v)

    def trailing(self):
        self.bits.append(1)
        while len(self.bits) % 8:
            self.bits.append(0)
        return self

    def bytes(self):
        b = self.bits + [0] * (-len(self.bits) % 8)
        return bytes(int("".join(map(str, b[i:i + 8])), 2) for i in range(0, len(b), 8))


def sps(profile=77, sps_id=0, poc_type=0, frames_only=1, mbs=(4, 3), vui=None, ref_frames=2, poc1=None):
    b = Bits().u(8, profile).u(8, 0).u(8, 30).ue(sps_id)
    if profile >= 100:
        b.ue(1).ue(0).ue(0).u(1, 0).u(1, 0)  # 4:2:0, 8 bit, no matrix
    b.ue(0)  # log2_max_frame_num_minus4
    b.ue(poc_type)
    if poc_type == 0:
        b.ue(2)
    elif poc_type == 1:
        offsets = poc1 or [2, -1, 5]
        b.u(1, 0).se(-1).se(1).ue(len(offsets))
        for o in offsets:
            b.se(o)
    b.ue(ref_frames).u(1, 0).ue(mbs[0] - 1).ue(mbs[1] - 1).u(1, frames_only)
    if not frames_only:
        b.u(1, 0)  # mb_adaptive_frame_field_flag
    b.u(1, 1).u(1, 0)  # direct_8x8_inference_flag, frame_cropping_flag
    if vui is None:
        b.u(1, 0)
    else:
        b.u(1, 1)
        vui(b)
    return b.trailing().bytes()


def pps(pps_id=0, sps_id=0, cabac=0, bottom_poc=0, slice_groups=None, redundant=0, weighted=0, tail=False):
    b = Bits().ue(pps_id).ue(sps_id).u(1, cabac).u(1, bottom_poc)
    if slice_groups is None:
        b.ue(0)
    else:
        slice_groups(b)
    b.ue(0).ue(0).u(1, weighted).u(2, 0).se(0).se(0).se(0).u(1, 1).u(1, 0).u(1, redundant)
    if tail:
        b.u(1, 1).u(1, 0).se(0)
    return b.trailing().bytes()


def slice_header(nal_type, slice_type, frame_num, poc_lsb=0, field=None, idr_id=0, extra=None, qp_delta=0,
                 sps_fields=(4, 0, 6), marking=None, reorder=None, delta_poc=None, cabac=0):
    """sps_fields: (log2_max_frame_num, poc_type, log2_max_poc_lsb)."""
    log2_fn, poc_type, log2_poc = sps_fields
    b = Bits().ue(0).ue(slice_type).ue(0).u(log2_fn, frame_num)
    if field is not None:
        b.u(1, 1 if field else 0)
        if field:
            b.u(1, 1 if field == "bottom" else 0)
    if nal_type == 5:
        b.ue(idr_id)
    if poc_type == 0:
        b.u(log2_poc, poc_lsb)
    elif poc_type == 1:
        b.se(delta_poc if delta_poc is not None else 0)
    if extra:
        extra(b)
    if slice_type % 5 == 0:  # P
        b.u(1, 0)  # num_ref_idx_active_override_flag
        if reorder:
            reorder(b)
        else:
            b.u(1, 0)
    if nal_type == 5:
        b.u(1, 0).u(1, 0)
    elif marking is not None:
        marking(b)
    if cabac and slice_type % 5 != 2:
        b.ue(0)
    b.se(qp_delta)
    b.u(8, 0xA5)  # stands for slice data (never read)
    return b.trailing().bytes()


def crafted():
    """Hand-made streams for what x264 does not write."""
    out = {}
    # Field pictures: an IDR top/bottom pair, then a P pair (clause 7.3.3 field_pic_flag).
    s = sps(frames_only=0, mbs=(4, 2))
    f = []
    f.append(nal(0x67, s) + nal(0x68, pps()))
    f.append(nal(0x65, slice_header(5, 7, 0, 0, field="top", sps_fields=(4, 0, 6))))
    f.append(nal(0x65, slice_header(5, 7, 0, 1, field="bottom", sps_fields=(4, 0, 6))))
    f.append(nal(0x41, slice_header(1, 5, 1, 4, field="top", sps_fields=(4, 0, 6), marking=lambda b: b.u(1, 0))))
    f.append(nal(0x41, slice_header(1, 5, 1, 5, field="bottom", sps_fields=(4, 0, 6), marking=lambda b: b.u(1, 0))))
    out["fields"] = b"".join(f)
    # POC type 1 with an offset cycle and delta_pic_order_cnt[0].
    s = sps(poc_type=1)
    f = [nal(0x67, s) + nal(0x68, pps())]
    f.append(nal(0x65, slice_header(5, 7, 0, sps_fields=(4, 1, 0), delta_poc=0)))
    for n in range(1, 4):
        f.append(nal(0x41, slice_header(1, 5, n, sps_fields=(4, 1, 0), delta_poc=-n, marking=lambda b: b.u(1, 0))))
    out["poc_type1"] = b"".join(f)
    # Marking commands (MMCO 1, 2, 3, 6, 4, 5-free) and list reordering.
    s = sps(ref_frames=4)
    mmco = lambda b: b.u(1, 1).ue(1).ue(0).ue(6).ue(1).ue(4).ue(2).ue(3).ue(0).ue(1).ue(0)
    reorder = lambda b: b.u(1, 1).ue(0).ue(0).ue(1).ue(1).ue(2).ue(0).ue(3)
    f = [nal(0x67, s) + nal(0x68, pps())]
    f.append(nal(0x65, slice_header(5, 7, 0)))
    f.append(nal(0x41, slice_header(1, 5, 1, 2, marking=mmco, reorder=reorder)))
    f.append(nal(0x21, slice_header(1, 5, 2, 4, marking=lambda b: b.u(1, 0))))
    out["marking_reorder"] = b"".join(f)
    # Baseline with redundant_pic_cnt and slice groups (map type 6: repeat refused).
    s = sps(profile=66)

    def groups(b):  # two groups, map type 6, one slice_group_id bit per macroblock
        b.ue(1).ue(6).ue(11)
        for i in range(12):
            b.u(1, i & 1)

    redundant = lambda b: b.ue(0)
    f = [nal(0x67, s) + nal(0x68, pps(slice_groups=groups, redundant=1))]
    f.append(nal(0x65, slice_header(5, 7, 0, extra=redundant)))
    f.append(nal(0x41, slice_header(1, 5, 1, 2, extra=redundant, marking=lambda b: b.u(1, 0))))
    out["slice_groups"] = b"".join(f)
    # A 1080p CABAC stream (120 x 68 macroblocks): a long repeat frame.
    # VUI: no aspect, overscan, video signal or chroma location; 30000/1001 timing; nothing more.
    timing = lambda b: b.u(4, 0).u(1, 1).u(32, 1001).u(32, 60000).u(1, 1).u(5, 0)
    s = sps(profile=77, mbs=(120, 68), vui=timing)
    f = [nal(0x67, s) + nal(0x68, pps(cabac=1))]
    f.append(nal(0x65, slice_header(5, 7, 0)))
    f.append(nal(0x41, slice_header(1, 5, 1, 2, marking=lambda b: b.u(1, 0), cabac=1)))
    out["cabac_1080p"] = b"".join(f)
    # Refusals: SEI with nal_ref_idc 1, an IDR with nal_ref_idc 0, a slice before any SPS.
    out["refused_units"] = (nal(0x41, slice_header(1, 5, 1)) + nal(0x67, sps()) + nal(0x68, pps()) +
                            nal(0x26, b"\x05\x01\x80") + nal(0x05, slice_header(5, 7, 0)) +
                            nal(0x65, slice_header(5, 7, 0)))
    # Zero runs, repeated start codes and escapes.
    out["start_codes"] = (b"\x00\x00\x00\x00\x01\x00\x00\x00\x01\x09\xf0" + nal(0x67, sps()) +
                          b"\x00\x00\x03\x00\x00\x01" + nal(0x68, pps()) + b"\x00" * 8 +
                          nal(0x65, slice_header(5, 7, 0) + b"\x00\x00\x01\x00\x00\x02"))
    return out


# ---- per-harness seeds -----------------------------------------------------

def correct_control(mode, sar=(0, 0), capacity=64):
    """mode byte (0: mode 1, 3: mode 2, 6: mode 0), SAR, wide flags, capacity."""
    return bytes([mode, sar[0] >> 8, sar[0] & 255, sar[1] >> 8, sar[1] & 255, 0, capacity, 0, 0])


def synth_control(fps_num=50, fps_den=1, rate_cap=0, repeat_cap=0):
    return bytes([0, fps_num >> 8, fps_num & 255, fps_den, rate_cap, repeat_cap])


def rbsp_seeds(name, stream):
    seeds = {}
    sps_rbsp = pps_rbsp = None
    for k, (h, end) in enumerate(units(stream)):
        header = stream[h]
        rbsp = unescape(stream[h + 1:end])
        t = header & 0x1F
        if t == 7:
            sps_rbsp = rbsp
            seeds["sps_" + name] = b"\x01" + rbsp
        elif t == 8 and sps_rbsp is not None and len(sps_rbsp) < 256:
            pps_rbsp = rbsp
            seeds["pps_" + name] = b"\x02" + bytes([len(sps_rbsp)]) + sps_rbsp + rbsp
        elif t in (1, 5) and pps_rbsp is not None and len(pps_rbsp) < 256 and "slice_" + name not in seeds:
            seeds["slice_" + name] = (b"\x03" + bytes([header | (1 if t == 5 else 0)]) + bytes([len(sps_rbsp)]) +
                                      sps_rbsp + bytes([len(pps_rbsp)]) + pps_rbsp + rbsp[:48])
    return seeds


def first_sps_sar():
    """Two SPSs, the first with Extended_SAR 7:5 and the one the PPS names
    without a VUI: mode 2 without a requested ratio gives that one 7:5."""
    sar = lambda b: b.u(1, 1).u(8, 255).u(16, 7).u(16, 5).u(8, 0)  # then eight flags clear
    return (nal(0x67, sps(vui=sar)) + nal(0x67, sps(sps_id=1)) + nal(0x68, pps(sps_id=1)) +
            nal(0x65, slice_header(5, 7, 0)))


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "corpus")
    work = tempfile.mkdtemp()
    try:
        streams = {name: make_stream(work, name, args) for name, args in STREAMS.items()}
    finally:
        shutil.rmtree(work)
    streams.update(crafted())

    corpora = {"start": {}, "correct": {}, "synth": {}, "rbsp": {}}
    for name, stream in sorted(streams.items()):
        corpora["start"][name] = stream
        corpora["synth"][name] = synth_control(rate_cap=len(name), repeat_cap=3 * len(name)) + stream
        au = first_access_unit(stream)
        corpora["correct"][name + "_mode1"] = correct_control(0, capacity=16) + au
        corpora["correct"][name + "_mode2"] = correct_control(3, sar=(4, 3), capacity=32) + au
        corpora["rbsp"].update(rbsp_seeds(name, stream))
    corpora["correct"]["vui_hrd_mode2_own_sar"] = correct_control(3) + first_access_unit(streams["vui_hrd"])
    corpora["correct"]["gray_no8x8_exact"] = correct_control(0, capacity=0) + first_access_unit(streams["gray_no8x8"])
    corpora["correct"]["baseline_mode0"] = correct_control(6) + first_access_unit(streams["baseline"])
    corpora["correct"]["first_sps_sar_mode2"] = correct_control(3) + first_sps_sar()
    corpora["synth"]["rate_30000_1001"] = bytes([2, 0x75, 0x30, 0, 0, 0x03, 0xe9, 1, 2]) + streams["baseline"]

    for harness, seeds in corpora.items():
        d = os.path.join(out_dir, harness)
        os.makedirs(d, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(d, name), "wb") as f:
                f.write(data)
        print(f"{harness}: {len(seeds)} seeds, {sum(map(len, seeds.values()))} bytes")


if __name__ == "__main__":
    main()
