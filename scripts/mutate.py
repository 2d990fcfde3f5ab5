#!/usr/bin/env python3
"""Mutation testing: how many seeded one-line faults in src/ do the tests catch?

Each mutant changes one line of src/ (a comparison, arithmetic or logical
operator, an integer constant, true/false, or an if/while condition negated),
rebuilds incrementally, runs the unit tests (stopping at the first failure)
and, if they pass, the interoperability tests. A mutant is killed when a test
fails or times out; mutants that do not compile are left out of the share.
The source file is always restored.

  nice -n 10 scripts/mutate.py --build build --count 70 --seed 1
  scripts/mutate.py --list-only --count 70 --seed 1 > mutants.json
  scripts/mutate.py --build build --mutants mutants.json

The same seed and count pick the same mutants in any tree whose src/ is the
same, so two test suites can be compared on one list.
"""
import argparse
import json
import os
import random
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

SWAPS = [  # (kind, pattern, replacement); patterns need spaces around the operator
    ("cmp", r" == ", " != "), ("cmp", r" != ", " == "),
    ("cmp", r" <= ", " < "), ("cmp", r" >= ", " > "),
    ("cmp", r" < ", " <= "), ("cmp", r" > ", " >= "),
    ("arith", r" \+ ", " - "), ("arith", r" - ", " + "),
    ("arith", r" \* ", " / "), ("arith", r" / ", " * "),
    ("arith", r" \+= ", " -= "), ("arith", r" -= ", " += "),
    ("arith", r" << ", " >> "), ("arith", r" >> ", " << "),
    ("arith", r" & ", " | "), ("arith", r" \| ", " & "),
    ("arith", r"\+\+", "--"), ("arith", r"(?<![-\s])--", "++"),
    ("logic", r" && ", " || "), ("logic", r" \|\| ", " && "),
    ("const", r"\btrue\b", "false"), ("const", r"\bfalse\b", "true"),
]
LITERAL = re.compile(r"(?<![\w.'])(\d+)(?![\w.'])")


def mask_strings(line):
    """The line with string and char literals blanked, so nothing inside them mutates."""
    return re.sub(r'"(\\.|[^"\\])*"|\'(\\.|[^\'\\])*\'', lambda m: "_" * len(m.group(0)), line)


def condition_span(code, start):
    """[open, close] of the parenthesised condition starting at code[start] == '('."""
    depth = 0
    for i in range(start, len(code)):
        depth += {"(": 1, ")": -1}.get(code[i], 0)
        if depth == 0:
            return start, i
    return None


def line_mutations(line):
    """Every (kind, new_line) one change of `line` can give."""
    code = mask_strings(line.split("//")[0])
    out = []
    for kind, pattern, repl in SWAPS:
        for m in re.finditer(pattern, code):
            out.append((kind, line[:m.start()] + repl + line[m.end():]))
    literals = list(LITERAL.finditer(code))
    if len(literals) <= 4:  # leave data tables alone
        for m in literals:
            n = int(m.group(1))
            out.append(("const", line[:m.start()] + str(n + 1 if n > 1 else 1 - n) + line[m.end():]))
    for m in re.finditer(r"\b(if|while) \(", code):
        span = condition_span(code, m.end() - 1)
        if span:
            a, b = span
            out.append(("cond", line[:a + 1] + "!(" + line[a + 1:b] + ")" + line[b:]))
    return out


def candidate_lines(root):
    """(path, line number, text) of every line of src/ that may be mutated."""
    lines = []
    for folder, _, files in sorted(os.walk(os.path.join(root, "src"))):
        for name in sorted(files):
            if not name.endswith((".cpp", ".h")):
                continue
            path = os.path.join(folder, name)
            in_comment = False
            with open(path) as f:
                for no, text in enumerate(f.read().split("\n"), 1):
                    s = text.strip()
                    if in_comment:
                        in_comment = "*/" not in s
                        continue
                    if s.startswith("/*"):
                        in_comment = "*/" not in s
                        continue
                    if not s or s.startswith(("#", "//", "*", "static_assert")):
                        continue
                    lines.append((os.path.relpath(path, root), no, text))
    return lines


def pick(root, count, seed):
    rng = random.Random(seed)
    lines = [l for l in candidate_lines(root) if line_mutations(l[2])]
    rng.shuffle(lines)
    mutants = []
    for path, no, text in lines[:count]:
        kind, new = rng.choice(line_mutations(text))
        mutants.append({"file": path, "line": no, "kind": kind, "old": text, "new": new})
    return mutants


def run(cmd, cwd, timeout):
    try:
        return subprocess.run(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout, start_new_session=True).returncode
    except subprocess.TimeoutExpired:
        return "timeout"


def build(args):
    targets = []
    for t in ("kavrel_tests", "kavrel_interop_tests", "kavrel_cli"):
        targets += ["--target", t]
    return run(["cmake", "--build", args.build, "-j", str(args.jobs)] + targets, ROOT, 900) == 0


def suites(args):
    unit = [os.path.join(args.build, "tests", "kavrel_tests")]
    interop = [os.path.join(args.build, "tests", "kavrel_interop_tests")]
    return [b for b in (unit, interop) if os.path.exists(b[0])]


def try_mutant(args, m):
    path = os.path.join(ROOT, m["file"])
    with open(path) as f:
        original = f.read()
    lines = original.split("\n")
    if lines[m["line"] - 1] != m["old"]:
        return "stale"
    lines[m["line"] - 1] = m["new"]
    try:
        with open(path, "w") as f:
            f.write("\n".join(lines))
        if not build(args):
            return "uncompilable"
        for binary in suites(args):
            rc = run(binary + ["--gtest_fail_fast", "--gtest_brief=1"], args.build, args.timeout)
            if rc != 0:
                return "killed" if rc != "timeout" else "killed (timeout)"
        return "survived"
    finally:
        with open(path, "w") as f:
            f.write(original)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default="build", help="configured build tree (absolute or relative to the checkout)")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--count", type=int, default=70)
    p.add_argument("--mutants", help="JSON list written by --list-only, instead of seed/count")
    p.add_argument("--list-only", action="store_true", help="print the chosen mutants as JSON and stop")
    p.add_argument("--timeout", type=int, default=0, help="seconds per test binary (default: 5x a clean run, at least 30)")
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--report", help="write per-mutant results as JSON here")
    args = p.parse_args()
    args.build = os.path.join(ROOT, args.build)
    # Stopped from outside: unwind, so that the mutated file is restored.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("stopped"))

    if args.mutants:
        with open(args.mutants) as f:
            mutants = json.load(f)
    else:
        mutants = pick(ROOT, args.count, args.seed)
    if args.list_only:
        json.dump(mutants, sys.stdout, indent=1)
        return 0

    if not build(args):
        sys.exit("the unmutated tree does not build")
    start = time.time()
    for binary in suites(args):
        if run(binary + ["--gtest_brief=1"], args.build, 3600) != 0:
            sys.exit("the unmutated tree fails its tests: " + binary[0])
    if not args.timeout:
        args.timeout = max(30, int(5 * (time.time() - start)))

    results = []
    for i, m in enumerate(mutants, 1):
        t = time.time()
        outcome = try_mutant(args, m)
        results.append(dict(m, outcome=outcome))
        print(f"[{i}/{len(mutants)}] {outcome:16} {m['file']}:{m['line']} {m['kind']}: "
              f"{m['new'].strip()}  ({time.time() - t:.0f}s)", flush=True)
    build(args)  # leave the tree built from the restored sources

    counted = [r for r in results if r["outcome"].startswith(("killed", "survived"))]
    killed = sum(r["outcome"].startswith("killed") for r in counted)
    if args.report:
        with open(args.report, "w") as f:
            json.dump(results, f, indent=1)
    share = 100.0 * killed / len(counted) if counted else 0.0
    print(f"seed {args.seed}: {len(results)} mutants, {len(results) - len(counted)} not compiled/stale, "
          f"killed {killed}/{len(counted)} = {share:.1f}%")
    return 0


if __name__ == "__main__":
    sys.exit(main())
