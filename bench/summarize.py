#!/usr/bin/env python3
"""Prints the ratios of a kavrel_bench run (Google Benchmark JSON with
repetitions) and, when given, of the `kavrel double` timing (hyperfine JSON)
as Markdown tables.

    summarize.py BENCH.json [DOUBLE_KAVREL.json DOUBLE_FFMPEG.json]
"""
import json
import statistics
import sys


def medians(path):
    """{benchmark name: median aggregate entry}."""
    with open(path) as f:
        data = json.load(f)
    out = {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") == "median":
            out[b["run_name"]] = b
    if not out:  # a run without repetitions
        out = {b["name"]: b for b in data["benchmarks"] if b.get("run_type") == "iteration"}
    return data.get("context", {}), out


def gbs(entry):
    return entry["bytes_per_second"] / 1e9


def parse_table(results):
    """Each method's rate as a share of the ceiling (the start-code scan that
    reads each NAL header byte and nothing more), then the rates."""
    streams = sorted({name.split("/")[1] for name in results if name.startswith("parse/")})
    peers = ["ceiling", "kavrel", "kavrel_callback", "gstreamer", "ffmpeg", "memcpy"]
    lines = [
        "| stream | ceiling GB/s | Kavrel / ceiling | Kavrel, log callback / ceiling | GStreamer / ceiling "
        "| FFmpeg / ceiling | memcpy / ceiling | Kavrel GB/s | Kavrel frames/s | Kavrel / GStreamer "
        "| Kavrel / FFmpeg | Kavrel heap calls per stream |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for s in streams:
        r = {p: results.get(f"parse/{s}/{p}") for p in peers}
        if any(v is None for v in r.values()):
            continue
        c = gbs(r["ceiling"])
        k = gbs(r["kavrel"])
        lines.append(
            f"| {s} | {c:.2f} | {k / c:.2f} | {gbs(r['kavrel_callback']) / c:.2f} | "
            f"{gbs(r['gstreamer']) / c:.2f} | {gbs(r['ffmpeg']) / c:.2f} | "
            f"{gbs(r['memcpy']) / c:.2f} | {k:.2f} | {r['kavrel']['frames/s']:.0f} | "
            f"{k / gbs(r['gstreamer']):.2f}x | {k / gbs(r['ffmpeg']):.2f}x | "
            f"{r['kavrel'].get('heap_calls', float('nan')):.0f} |"
        )
    return "\n".join(lines)


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
    context, results = medians(argv[1])
    print(f"host: {context.get('host_name', '?')}, {context.get('num_cpus', '?')} CPUs, "
          f"load average {context.get('load_avg', '?')}")
    print()
    print(parse_table(results))
    print()
    print(synth_table(results))
    if len(argv) >= 4:
        k = hyperfine_median(argv[2])
        f = hyperfine_median(argv[3])
        print()
        print("| `kavrel double` | re-encoding with FFmpeg/x264 ultrafast | ratio |")
        print("|---|---|---|")
        print(f"| {k * 1000:.1f} ms | {f * 1000:.0f} ms | {f / k:.0f}x |")


if __name__ == "__main__":
    main(sys.argv)
