#!/usr/bin/env bash
# Builds the benchmarks, makes the streams, runs kavrel_bench (each parse
# method in rounds of separate processes, the synthesis calls with
# repetitions) and times `kavrel double` against re-encoding; prints the
# tables for README.md. KAVREL_BENCH_REPETITIONS (default 7) sets the rounds.
#
#   bench/run.sh [BUILD_DIR]        (default: build-bench beside the source)
#
# Needs: libbenchmark-dev, libgstreamer-plugins-bad1.0-dev, libavcodec-dev,
# ffmpeg (with libx264), hyperfine, python3.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/../build-bench}
reps=${KAVREL_BENCH_REPETITIONS:-7}

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKAVREL_BUILD_BENCH=ON > /dev/null
cmake --build "$build" -j2 --target kavrel_bench kavrel_cli
cmake --build "$build" --target bench_streams

out=$build/bench/results
mkdir -p "$out"
nproc > "$out/machine.txt"
grep -m1 'model name' /proc/cpuinfo >> "$out/machine.txt" || true

# Parsing: each method in processes of its own, so that no method finds
# the vector state or the caches another left (a method that leaves the
# upper YMM halves in use slows the legacy-SSE code run after it). The
# library prints a line at most frame ends, so the Kavrel loop runs three
# ways: standard output a pipe, standard output a file, and a host log
# callback. Each round runs every method once, in a new random order, so
# that a change of load on the machine falls on each alike; the summary
# takes the median of the rounds.
methods="kavrel:pipe kavrel:file kavrel_callback:null gstreamer:null ffmpeg:null memcpy:null ceiling:null"
rm -rf "$out/parse"
mkdir -p "$out/parse"
for round in $(seq "$reps"); do
    for m in $(printf '%s\n' $methods | shuf); do
        name=${m%%:*}
        stdout=${m##*:}
        args=(--benchmark_filter="^parse/[^/]*/$name\$" --benchmark_color=false
              --benchmark_out="$out/parse/$round-$name-$stdout.json" --benchmark_out_format=json)
        case $stdout in
            pipe) "$build/bench/kavrel_bench" "${args[@]}" 2> /dev/null | cat > /dev/null ;;
            file) "$build/bench/kavrel_bench" "${args[@]}" 2> /dev/null > "$out/stdout.txt" ;;
            *) "$build/bench/kavrel_bench" "${args[@]}" 2> /dev/null > /dev/null ;;
        esac
    done
done
rm -f "$out/stdout.txt"

# Synthesis: one process, interleaved repetitions.
"$build/bench/kavrel_bench" --benchmark_filter=synth/ --benchmark_repetitions="$reps" \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true --benchmark_color=false \
    --benchmark_out="$out/synth.json" --benchmark_out_format=json 2> /dev/null > /dev/null

in=$build/bench/streams/e_1080p_baseline_ippp.h264
rate=$(ffprobe -v error -select_streams v:0 -show_entries stream=r_frame_rate -of csv=p=0 "$in")
double_rate=$(python3 -c "from fractions import Fraction as F; print(F('$rate') * 2)")
hyperfine -N --warmup 2 --runs 10 --export-json "$out/double_kavrel.json" \
    "$build/kavrel double $in $out/doubled.h264"
hyperfine --warmup 1 --runs 5 --export-json "$out/double_ffmpeg.json" \
    "ffmpeg -nostdin -loglevel error -y -i $in -vf fps=$double_rate -c:v libx264 -preset ultrafast -f h264 $out/reencoded.h264"

cat "$out/machine.txt"
python3 "$src/bench/summarize.py" "$out/parse" "$out/synth.json" "$out/double_kavrel.json" "$out/double_ffmpeg.json" \
    | tee "$out/summary.md"
