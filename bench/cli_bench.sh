#!/usr/bin/env bash
# Times the kavrel tool on a stream of more than 1 GB read from the page
# cache, against `ffprobe -show_packets`, and reports each command's peak
# resident memory.
#
#   bench/cli_bench.sh [KAVREL] [DIR]     # defaults: build/kavrel, /tmp/kavrel-cli-bench
#
# The stream is 10 s of 1080p25 Baseline IPPP at 10 Mbit/s (x264 ultrafast,
# FFmpeg's test pattern with temporal noise) repeated 86 times: 1.1 GB,
# 21500 frames, a valid input of every command. Made once; delete DIR to
# make it again. Needs ffmpeg, hyperfine and GNU time (/usr/bin/time).
set -euo pipefail

kavrel=$(realpath "${1:-build/kavrel}")
dir=${2:-/tmp/kavrel-cli-bench}
mkdir -p "$dir"
cd "$dir"

if [[ ! -s base.h264 ]]; then
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc2=size=1920x1080:rate=25,noise=alls=10:allf=t+u,format=yuv420p" \
        -frames:v 250 -c:v libx264 -threads 2 -preset ultrafast -bf 0 -g 50 \
        -b:v 10M -maxrate 10M -bufsize 20M -f h264 base.h264.tmp
    mv base.h264.tmp base.h264
fi
if [[ ! -s big.h264 ]]; then
    for _ in $(seq 86); do cat base.h264; done > big.h264.tmp
    mv big.h264.tmp big.h264
fi
size=$(stat -c %s big.h264)
cat big.h264 > /dev/null  # into the page cache
echo "stream: big.h264, $size bytes"

# OUT to a file: the run ends with the temporary file synced and renamed,
# so the floor is `cat IN > OUT && sync OUT`. Each run starts with no OUT
# and nothing dirty in the page cache.
hyperfine --warmup 1 --runs "${KAVREL_BENCH_RUNS:-5}" --export-json times.json --style basic \
    --prepare "rm -f out.h264 && sync" \
    -n "kavrel -q probe" "'$kavrel' -q probe big.h264 > /dev/null" \
    -n "kavrel -q probe --json" "'$kavrel' -q probe --json big.h264 > /dev/null" \
    -n "kavrel probe, diagnostics to a pipe" "'$kavrel' probe big.h264 2>&1 > /dev/null | cat > /dev/null" \
    -n "ffprobe -show_packets" "ffprobe -v error -show_packets big.h264 > /dev/null" \
    -n "kavrel fps 50 to /dev/null" "'$kavrel' -q fps 50 big.h264 /dev/null" \
    -n "kavrel double to /dev/null" "'$kavrel' -q double big.h264 /dev/null" \
    -n "cat IN > OUT && sync OUT" "cat big.h264 > out.h264 && sync out.h264" \
    -n "kavrel fps 50 to a file" "'$kavrel' -q fps 50 big.h264 out.h264" \
    -n "kavrel double to a file" "'$kavrel' -q double big.h264 out.h264" \
    -n "kavrel fps 50, pipe to pipe" "cat big.h264 | '$kavrel' -q fps 50 - - > /dev/null"

python3 - "$size" times.json <<'EOF'
import json, sys
size = int(sys.argv[1])
results = json.load(open(sys.argv[2]))["results"]
by_name = {r["command"]: r for r in results}
print("| command | median s | GB/s |")
print("|---|---|---|")
for r in results:
    m = r["median"]
    print(f"| {r['command']} | {m:.3f} | {size / m / 1e9:.2f} |")
ffprobe = by_name["ffprobe -show_packets"]["median"]
floor = by_name["cat IN > OUT && sync OUT"]["median"]
print()
for name in ("kavrel -q probe", "kavrel -q probe --json", "kavrel probe, diagnostics to a pipe"):
    print(f"{name}: {ffprobe / by_name[name]['median']:.1f}x faster than ffprobe -show_packets")
for name in ("kavrel fps 50 to a file", "kavrel double to a file"):
    print(f"{name}: {by_name[name]['median'] / floor:.2f}x the time of cat IN > OUT && sync OUT")
EOF

echo
echo "| command | peak RSS (MiB) |"
echo "|---|---|"
rss() {
    local name=$1
    shift
    /usr/bin/time -f '%M' -o rss.txt "$@" > /dev/null 2>&1
    echo "| $name | $(( $(cat rss.txt) / 1024 )) |"
}
rss "kavrel probe" "$kavrel" -q probe big.h264
rss "kavrel probe --json" "$kavrel" -q probe --json big.h264
rss "kavrel fps 50" "$kavrel" -q fps 50 big.h264 out.h264
rss "kavrel double" "$kavrel" -q double big.h264 out.h264
rss "kavrel sar 4:3" "$kavrel" -q sar 4:3 big.h264 out.h264
rss "kavrel fps 50 - - (pipe)" sh -c "cat big.h264 | '$kavrel' -q fps 50 - - | cat > /dev/null"
rss "ffprobe -show_packets" ffprobe -v error -show_packets big.h264

# Containers (a tool built with libavformat): the same stream with AAC audio
# in MP4, `kavrel double` against FFmpeg's own copy into a new MP4.
if "$kavrel" --version | grep -q '^containers: MP4'; then
    if [[ ! -s big.mp4 ]]; then
        ffmpeg -nostdin -hide_banner -loglevel error -y -r 25 -i big.h264 -f lavfi -i "sine=sample_rate=48000" \
            -map 0:v -map 1:a -c:v copy -c:a aac -b:a 128k -shortest big.mp4.tmp.mp4
        mv big.mp4.tmp.mp4 big.mp4
    fi
    cat big.mp4 > /dev/null
    echo
    hyperfine --warmup 1 --runs "${KAVREL_BENCH_RUNS:-5}" --style basic --prepare "rm -f out.mp4 && sync" \
        -n "kavrel double in.mp4 out.mp4" "'$kavrel' -q double big.mp4 out.mp4" \
        -n "ffmpeg -i in.mp4 -c copy out.mp4" "ffmpeg -nostdin -v error -y -i big.mp4 -c copy out.mp4"
    rss "kavrel double in.mp4 out.mp4" "$kavrel" -q double big.mp4 out.mp4
    rss "ffmpeg -i in.mp4 -c copy out.mp4" ffmpeg -nostdin -v error -y -i big.mp4 -c copy out.mp4
fi
rm -f out.h264 out.mp4 rss.txt
