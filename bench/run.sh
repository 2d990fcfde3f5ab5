#!/usr/bin/env bash
# Builds the benchmarks, makes the streams, runs kavrel_bench with
# repetitions and times `kavrel double` against re-encoding; prints the
# tables for README.md.
#
#   bench/run.sh [BUILD_DIR]        (default: build-bench beside the source)
#
# Needs: libbenchmark-dev, libgstreamer-plugins-bad1.0-dev, libavcodec-dev,
# ffmpeg (with libx264), hyperfine, python3.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/../build-bench}
reps=${KAVREL_BENCH_REPETITIONS:-7}
filter=${KAVREL_BENCH_FILTER:-.}

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKAVREL_BUILD_BENCH=ON > /dev/null
cmake --build "$build" -j2 --target kavrel_bench kavrel_cli
cmake --build "$build" --target bench_streams

out=$build/bench/results
mkdir -p "$out"
nproc > "$out/machine.txt"
grep -m1 'model name' /proc/cpuinfo >> "$out/machine.txt" || true

# The library prints a line at most frame ends: stdout goes to /dev/null,
# as it would in an application that does not show it. The repetitions of
# all benchmarks are run in random interleaved order, so that a change of
# load on the machine falls on every method alike.
"$build/bench/kavrel_bench" --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true \
    --benchmark_filter="$filter" --benchmark_report_aggregates_only=true --benchmark_color=false \
    --benchmark_out="$out/bench.json" --benchmark_out_format=json > /dev/null

in=$build/bench/streams/e_1080p_baseline_ippp.h264
rate=$(ffprobe -v error -select_streams v:0 -show_entries stream=r_frame_rate -of csv=p=0 "$in")
double_rate=$(python3 -c "from fractions import Fraction as F; print(F('$rate') * 2)")
hyperfine -N --warmup 2 --runs 10 --export-json "$out/double_kavrel.json" \
    "$build/kavrel double $in $out/doubled.h264"
hyperfine --warmup 1 --runs 5 --export-json "$out/double_ffmpeg.json" \
    "ffmpeg -nostdin -loglevel error -y -i $in -vf fps=$double_rate -c:v libx264 -preset ultrafast -f h264 $out/reencoded.h264"

cat "$out/machine.txt"
python3 "$src/bench/summarize.py" "$out/bench.json" "$out/double_kavrel.json" "$out/double_ffmpeg.json" \
    | tee "$out/summary.md"
