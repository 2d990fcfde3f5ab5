#!/usr/bin/env bash
# Differential check: runs scripts/differential_dump.c, linked once against
# this tree's library and once against a base commit's, over the benchmark
# streams, the test streams, the fuzz corpus and seeded mutations of them,
# and compares every output. Exit status 0 when all are identical.
#
#   scripts/differential.sh [BASE_COMMIT]      (default 7b27ac4)
#
# Environment: KAVREL_DIFF_DIR work directory (default /tmp/kavrel-differential),
# KAVREL_DIFF_MUTANTS number of mutated streams (default 400),
# KAVREL_DIFF_SEED seed of the mutations (default 17),
# KAVREL_DIFF_STREAMS extra directories of .h264 streams (default: the
# benchmark streams of build-bench and the test streams of build).
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
base=${1:-7b27ac4}
work=${KAVREL_DIFF_DIR:-/tmp/kavrel-differential}
mutants=${KAVREL_DIFF_MUTANTS:-400}
seed=${KAVREL_DIFF_SEED:-17}
streams=${KAVREL_DIFF_STREAMS:-"$src/../build-bench/bench/streams $src/build/test-streams $src/build-bench/bench/streams"}

rm -rf "$work"
mkdir -p "$work/base-src" "$work/inputs" "$work/out/base" "$work/out/head"

# The two libraries, without tests or tools.
git -C "$src" archive "$base" | tar -x -C "$work/base-src"
build_lib() {
    cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DKAVREL_BUILD_TESTS=OFF -DKAVREL_BUILD_TOOLS=OFF > /dev/null
    cmake --build "$2" -j2 --target kavrel > /dev/null
    cc -O1 -std=c11 -I "$1/include" "$src/scripts/differential_dump.c" -L "$2" -lkavrel \
        -Wl,-rpath,"$2" -o "$2/differential_dump"
}
build_lib "$work/base-src" "$work/build-base"
build_lib "$src" "$work/build-head"

# Inputs: whole streams, the corpus, and mutations of the smaller ones.
n=0
for dir in $streams; do
    [[ -d $dir ]] || continue
    for f in "$dir"/*.h264; do
        [[ -f $f ]] || continue
        cp "$f" "$work/inputs/$(printf 'stream%03d' $n)_$(basename "$f")"
        n=$((n + 1))
    done
done
find "$src/fuzz/corpus" "$src/fuzz/regressions" -type f 2>/dev/null | sort | while read -r f; do
    cp "$f" "$work/inputs/corpus_$(echo "$f" | sed "s|$src/fuzz/||; s|/|_|g")"
done
python3 "$src/scripts/mutate_streams.py" "$work/inputs" "$work/inputs" "$mutants" "$seed"

fail=0
count=0
for f in "$work/inputs"/*; do
    name=$(basename "$f")
    "$work/build-base/differential_dump" "$f" > "$work/out/base/$name.txt" 2>&1 || true
    "$work/build-head/differential_dump" "$f" > "$work/out/head/$name.txt" 2>&1 || true
    count=$((count + 1))
    if ! cmp -s "$work/out/base/$name.txt" "$work/out/head/$name.txt"; then
        echo "DIFFERENT: $name" >&2
        diff "$work/out/base/$name.txt" "$work/out/head/$name.txt" | head -20 >&2 || true
        fail=$((fail + 1))
    fi
done
lines=$(cat "$work/out/head"/*.txt | wc -l)
logs=$(cat "$work/out/head"/*.txt | grep -c '  log: ' || true)
echo "differential: $count inputs, $fail different; $lines output lines ($logs diagnostics) compared against $base"
[[ $fail -eq 0 ]]
