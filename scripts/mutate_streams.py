#!/usr/bin/env python3
"""Writes seeded mutations of the streams in a directory, for
scripts/differential.sh.

    mutate_streams.py IN_DIR OUT_DIR COUNT SEED

Each mutant starts from one input (at most its first 256 KiB) and gets one
to three of: byte flips (half of them within the first 24 bytes after a
start code, where the headers are), a truncation, a start code or an
emulation-prevention sequence inserted, a NAL header byte replaced.
"""
import os
import random
import sys

LIMIT = 256 * 1024


def start_codes(data):
    out = []
    i = data.find(b"\x00\x00\x01")
    while i >= 0 and len(out) < 4096:
        out.append(i + 3)
        i = data.find(b"\x00\x00\x01", i + 3)
    return out


def near_header(rng, data, heads):
    if heads and rng.random() < 0.5:
        return min(len(data) - 1, rng.choice(heads) + rng.randrange(24))
    return rng.randrange(len(data))


def mutate(rng, data):
    data = bytearray(data[:LIMIT])
    for _ in range(rng.randint(1, 3)):
        if len(data) < 8:
            break
        heads = start_codes(bytes(data))
        kind = rng.randrange(5)
        if kind == 0:
            for _ in range(rng.randint(1, 16)):
                data[near_header(rng, data, heads)] ^= 1 << rng.randrange(8)
        elif kind == 1:
            del data[rng.randrange(1, len(data)):]
        elif kind == 2:
            at = near_header(rng, data, heads)
            data[at:at] = rng.choice([b"\x00\x00\x01", b"\x00\x00\x00\x01", b"\x00\x00\x03", b"\x00\x00"])
        elif kind == 3 and heads:
            data[min(len(data) - 1, rng.choice(heads))] = rng.randrange(256)
        else:
            data[near_header(rng, data, heads)] = rng.choice([0, 0xff, 0x80, 1, 3])
    return bytes(data)


def main(argv):
    in_dir, out_dir, count, seed = argv[1], argv[2], int(argv[3]), int(argv[4])
    names = sorted(n for n in os.listdir(in_dir) if not n.startswith("mutant"))
    sources = []
    for n in names:
        with open(os.path.join(in_dir, n), "rb") as f:
            data = f.read(LIMIT)
        if len(data) >= 8:
            sources.append((n, data))
    rng = random.Random(seed)
    for i in range(count):
        name, data = rng.choice(sources)
        with open(os.path.join(out_dir, f"mutant{i:04d}_{name}"), "wb") as f:
            f.write(mutate(rng, data))


if __name__ == "__main__":
    main(sys.argv)
