#!/usr/bin/env bash
# Makes the benchmark streams with FFmpeg/x264 into DIR (default: ./streams).
# Each stream is made once; delete a file to make it again. The source is
# FFmpeg's test pattern with temporal noise, so that x264 spends the bit
# rate asked for instead of coding a static picture.
#
#   a_1080p_high_cabac_b.h264    1920x1080 High, CABAC, B-frames, ~8 Mbit/s, 600 frames
#   b_720p_baseline_4slices.h264 1280x720 Baseline CAVLC, IPPP, 4 slices/frame, 600 frames
#   c_2160p_30mbps.h264          3840x2160 ~30 Mbit/s, 300 frames
#   d_1080p_slices1200.h264      1920x1080, slices of at most 1200 bytes, 300 frames
#   e_1080p_baseline_ippp.h264   1920x1080 Baseline CAVLC IPPP, 300 frames: input of `kavrel double`
set -euo pipefail

dir=${1:-streams}
mkdir -p "$dir"
threads=${KAVREL_BENCH_THREADS:-2}

make_one() {
    local name=$1 size=$2 rate=$3 frames=$4
    shift 4
    local out="$dir/$name"
    if [[ -s "$out" ]]; then
        return
    fi
    echo "making $out" >&2
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc2=size=${size}:rate=${rate},noise=alls=10:allf=t+u,format=yuv420p" \
        -frames:v "$frames" -c:v libx264 -threads "$threads" "$@" -f h264 "$out.tmp"
    mv "$out.tmp" "$out"
}

# (a) needs CABAC and B-frames, which ultrafast turns off: veryfast keeps both.
make_one a_1080p_high_cabac_b.h264 1920x1080 25 600 \
    -preset veryfast -profile:v high -b:v 8M -maxrate 10M -bufsize 16M -x264-params bframes=3:cabac=1
# (b) ultrafast is Baseline-compatible: CAVLC, no B-frames.
make_one b_720p_baseline_4slices.h264 1280x720 30 600 \
    -preset ultrafast -profile:v baseline -b:v 4M -x264-params slices=4:keyint=60
make_one c_2160p_30mbps.h264 3840x2160 30 300 \
    -preset ultrafast -b:v 30M -maxrate 36M -bufsize 60M
make_one d_1080p_slices1200.h264 1920x1080 25 300 \
    -preset veryfast -profile:v high -b:v 8M -x264-params slice-max-size=1200
make_one e_1080p_baseline_ippp.h264 1920x1080 25 300 \
    -preset ultrafast -profile:v baseline -b:v 6M
