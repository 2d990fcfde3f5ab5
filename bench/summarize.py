#!/usr/bin/env python3
"""Prints the ratios of a kavrel_bench run as Markdown tables: the parse
methods from rounds of separate processes (a directory of Google Benchmark
JSON files named ROUND-METHOD-STDOUT.json, as bench/run.sh writes them),
the synthesis calls (one JSON file with repetitions) and, when given, the
`kavrel double` timing (hyperfine JSON).

    summarize.py PARSE_DIR SYNTH.json [DOUBLE_KAVREL.json DOUBLE_FFMPEG.json]
"""
import json
import os
import statistics
import sys


def load(path):
    with open(path) as f:
        return json.load(f)


def parse_rounds(directory):
    """{(stream, method): [entries, one per round]} and one file's context.
    The method of the Kavrel loop with its lines on stdout is named for
    what stdout was: kavrel/pipe, kavrel/file."""
    rounds, context = {}, {}
    for name in sorted(os.listdir(directory)):
        if not name.endswith(".json"):
            continue
        _, method, stdout = name[:-5].split("-", 2)
        data = load(os.path.join(directory, name))
        context = data.get("context", context)
        for b in data["benchmarks"]:
            if b.get("run_type") != "iteration" or "error_occurred" in b:
                continue
            stream = b["name"].split("/")[1]
            key = method + ("/" + stdout if method == "kavrel" else "")
            rounds.setdefault((stream, key), []).append(b)
    return context, rounds


def median_of(entries, field):
    return statistics.median(e[field] for e in entries)


def parse_table(rounds):
    """Each method's rate (median of the rounds) as a share of the ceiling's
    (the start-code scan that reads each NAL header byte and nothing more),
    then the rates."""
    streams = sorted({s for s, _ in rounds})
    peers = ["ceiling", "kavrel/pipe", "kavrel/file", "kavrel_callback", "gstreamer", "ffmpeg", "memcpy"]
    lines = [
        "| stream | ceiling GB/s | Kavrel, stdout a pipe / ceiling | Kavrel, stdout a file / ceiling "
        "| Kavrel, log callback / ceiling | GStreamer / ceiling | FFmpeg / ceiling | memcpy / ceiling "
        "| Kavrel (pipe) GB/s | Kavrel (pipe) frames/s | Kavrel (pipe) / GStreamer | Kavrel (pipe) / FFmpeg "
        "| Kavrel heap calls per stream | rounds |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for s in streams:
        r = {p: rounds.get((s, p)) for p in peers}
        if any(not v for v in r.values()):
            continue
        g = {p: median_of(v, "bytes_per_second") / 1e9 for p, v in r.items()}
        c, k = g["ceiling"], g["kavrel/pipe"]
        lines.append(
            f"| {s} | {c:.2f} | {k / c:.2f} | {g['kavrel/file'] / c:.2f} | {g['kavrel_callback'] / c:.2f} | "
            f"{g['gstreamer'] / c:.2f} | {g['ffmpeg'] / c:.2f} | {g['memcpy'] / c:.2f} | {k:.2f} | "
            f"{median_of(r['kavrel/pipe'], 'frames/s'):.0f} | {k / g['gstreamer']:.2f}x | {k / g['ffmpeg']:.2f}x | "
            f"{median_of(r['kavrel/pipe'], 'heap_calls'):.0f} | {min(len(v) for v in r.values())} |"
        )
    return "\n".join(lines)


def synth_medians(path):
    """{benchmark name: median aggregate entry}."""
    benchmarks = load(path)["benchmarks"]
    out = {b["run_name"]: b for b in benchmarks
           if b.get("run_type") == "aggregate" and b.get("aggregate_name") == "median"}
    if not out:  # a run without repetitions
        out = {b["name"]: b for b in benchmarks if b.get("run_type") == "iteration"}
    return out


def synth_table(results):
    lines = [
        "| call | time per call (CPU) | unit bytes | heap calls per call | largest allocation (bytes) |",
        "|---|---|---|---|---|",
    ]
    for name, e in sorted(results.items()):
        if not name.startswith("synth/"):
            continue
        unit = e.get("time_unit", "ns")
        lines.append(
            f"| {name} | {e['cpu_time']:.0f} {unit} | {e['unit_bytes']:.0f} | {e['heap_calls']:.0f} | "
            f"{e['largest_alloc']:.0f} |"
        )
    return "\n".join(lines)


def hyperfine_median(path):
    with open(path) as f:
        data = json.load(f)
    return statistics.median(data["results"][0]["times"])


def main(argv):
    context, rounds = parse_rounds(argv[1])
    print(f"host: {context.get('host_name', '?')}, {context.get('num_cpus', '?')} CPUs, "
          f"load average {context.get('load_avg', '?')} (last parse process)")
    print()
    print(parse_table(rounds))
    print()
    print(synth_table(synth_medians(argv[2])))
    if len(argv) >= 5:
        k = hyperfine_median(argv[3])
        f = hyperfine_median(argv[4])
        print()
        print("| `kavrel double` | re-encoding with FFmpeg/x264 ultrafast | ratio |")
        print("|---|---|---|")
        print(f"| {k * 1000:.1f} ms | {f * 1000:.0f} ms | {f / k:.0f}x |")


if __name__ == "__main__":
    main(sys.argv)
