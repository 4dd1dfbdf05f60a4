"""Benchmark `vorn convert` against the limit the machine sets for it.

    python bench/convert.py                          # 1 GB WD1 file in bench/data/, 5 rounds
    python bench/convert.py --data DIR --gigabytes 0.2 --rounds 3
    python bench/convert.py --append bench/RESULTS.md

The input is a WD1 file of 1,024-sample events (pulses on a noisy baseline).
A conversion reads the file with vorn and writes about as many bytes, so its
limit is the time of those two jobs done by the fastest means at hand: a plain
iteration over the file with vorn, plus `cp` of the file. Each round times,
in this order:

  iterate       for event in vorn.EventReader(path, "WD1"): pass
  cp            cp FILE COPY
  convert none  the conversion `vorn convert --compression none` runs
  convert lzf   the same with lzf (bench/compression.py compares the compressions)

Iterations and conversions run in a fresh interpreter each, timed after their
imports; cp is its own process. The figures are medians over the rounds of
process CPU time (user + system, from rusage) and of wall time; the ratio is
the median of the per-round ratios limit / conversion (above 1 the conversion
would beat the limit). The page cache is warm and outputs are deleted right
after each step, so disks hardly take part.

Peak RSS growth is VmHWM after the conversion minus VmRSS before it, in the
converting process. The same is measured on a file an eighth of the size: the
two agree when memory does not grow with the file.

Needs vorn with the cli extra installed (h5py); cp from coreutils.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
SAMPLES = 1024
KEYS = ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")

# Runs in a fresh interpreter: argv = kind, input, output. Prints JSON.
CHILD = r"""
import json, os, resource, sys, time

def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])

def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime

kind, source, target = sys.argv[1:]
import vorn
if kind == "iterate":
    import numpy
    def run():
        for event in vorn.EventReader(source, "WD1"):
            pass
else:
    import h5py
    from vorn_tools.outputs.hdf5_events import Options, Task, convert_into_one
    from vorn_tools.formats import Layout
    task = Task(source, Layout("WD1"), "run", Options(kind))
    def run():
        (outcome,) = convert_into_one([task], target)
        assert outcome.error is None, outcome.error
before = status_kib("VmRSS")
start_cpu, start_wall = cpu(), time.perf_counter()
run()
print(json.dumps({"cpu": cpu() - start_cpu, "wall": time.perf_counter() - start_wall,
                  "rss_growth": (status_kib("VmHWM") - before) * 1024}))
"""


def generate(path: Path, events: int) -> None:
    """Events of a pulse of random height on a baseline of 2000 counts with uniform noise."""
    dtype = np.dtype([(k, "<i4") for k in KEYS] + [("data", "<u2", SAMPLES)])
    rng = np.random.default_rng(42)
    t = np.arange(SAMPLES)
    pulse = np.where(t >= 300, np.exp(-(t - 300) / 60.0), 0.0)
    partial = path.with_suffix(".partial")
    with open(partial, "wb") as f:
        for first in range(0, events, 20_000):
            count = min(20_000, events - first)
            block = np.zeros(count, dtype)
            index = np.arange(first, first + count)
            block["event_size"] = dtype.itemsize
            block["board_id"] = 7
            block["board_channel"] = index % 4
            block["event_counter"] = index
            block["timestamp"] = index * 1000
            heights = rng.uniform(0, 800, (count, 1))
            block["data"] = 2000 + rng.integers(-6, 7, (count, SAMPLES)) + heights * pulse
            f.write(block.tobytes())
    partial.rename(path)


def child(kind: str, source: Path, target: Path) -> dict[str, float]:
    proc = subprocess.run([sys.executable, "-c", CHILD, kind, str(source), str(target)],
                          check=True, capture_output=True, text=True)
    return json.loads(proc.stdout)


def copy(source: Path, target: Path) -> dict[str, float]:
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(["cp", str(source), str(target)], check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return {"cpu": cpu, "wall": wall}


def check(source: Path, target: Path, events: int) -> None:
    """The converted file holds the file's events (first, middle and last compared)."""
    import h5py

    import vorn

    with h5py.File(target) as out:
        group = out["run"]
        assert group["data"].shape == (events, SAMPLES), group["data"].shape
        wanted = {0, events // 2, events - 1}
        for i, event in enumerate(vorn.EventReader(str(source), "WD1")):
            if i in wanted:
                assert np.array_equal(group["data"][i], event["data"]), i
                assert all(group[k][i] == event[k] for k in KEYS), i


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", type=Path, default=BENCH / "data", help="where inputs and outputs go")
    parser.add_argument("--gigabytes", type=float, default=1.0, help="input size (default 1)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--append", type=Path, help="append the results as a section to this Markdown file")
    args = parser.parse_args()
    if shutil.which("cp") is None:
        sys.exit("needs cp")
    args.data.mkdir(parents=True, exist_ok=True)
    event_bytes = 24 + 2 * SAMPLES
    events = int(args.gigabytes * 1e9) // event_bytes
    small_events = events // 8
    source = args.data / f"convert_wd1_1024_{events}ev.bin"
    small = args.data / f"convert_wd1_1024_{small_events}ev.bin"
    for path, count in ((source, events), (small, small_events)):
        if not path.exists():
            print(f"writing {path} ({count * event_bytes / 1e6:,.0f} MB)", file=sys.stderr)
            generate(path, count)
    for path in (source, small):
        with open(path, "rb") as f:  # warm the page cache
            while f.read(1 << 24):
                pass
    out = args.data / "convert-out.h5"
    copied = args.data / "convert-copy.bin"

    steps = ("iterate", "cp", "none", "lzf")
    times: dict[str, list[dict[str, float]]] = {step: [] for step in steps}
    for round_number in range(args.rounds):
        for step in steps:
            if step == "cp":
                times[step].append(copy(source, copied))
                copied.unlink()
                continue
            times[step].append(child(step, source, out))
            if step != "iterate":
                if round_number == 0:
                    check(source, out, events)
                    times[step][-1]["size"] = out.stat().st_size
                out.unlink()
        print(f"round {round_number + 1}/{args.rounds}: "
              + ", ".join(f"{s} {times[s][-1]['cpu']:.2f} s" for s in steps), file=sys.stderr)
    small_growth = {kind: child(kind, small, out)["rss_growth"] for kind in ("none", "lzf")}
    out.unlink()

    text = report(args, source, events, times, small, small_growth)
    print(text)
    if args.append:
        with open(args.append, "a") as f:
            f.write("\n" + text)
    return 0


def report(args: argparse.Namespace, source: Path, events: int, times: dict[str, list[dict[str, float]]],
           small: Path, small_growth: dict[str, float]) -> str:
    size = source.stat().st_size

    def median(step: str, clock: str) -> float:
        return statistics.median(t[clock] for t in times[step])

    def ratio(step: str, clock: str) -> float:
        return statistics.median((i[clock] + c[clock]) / s[clock]
                                 for i, c, s in zip(times["iterate"], times["cp"], times[step]))

    load = os.getloadavg()
    lines = [
        f"## `vorn convert`, {size / 1e9:.2f} GB WD1 file of 1,024-sample events",
        "",
        f"Measured {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC on {platform.machine()}"
        f" ({os.cpu_count()} logical CPUs), Python {platform.python_version()}, NumPy {np.__version__};"
        f" load average {load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f} at the end.",
        f"Command: `python bench/convert.py{' --data DIR' if args.data != BENCH / 'data' else ''}"
        f" --rounds {args.rounds}` ({events:,} events, {args.rounds} rounds;"
        " medians; the ratio is the limit's time over the conversion's, so above 0.6 meets the target).",
        "",
        "| step | cpu time | cpu, fastest .. slowest round | wall time | MB/s (cpu) | output / input |"
        " peak RSS growth |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for step, title in (("iterate", "vorn iteration"), ("cp", "cp of the file"), ("none", "convert, no compression"),
                        ("lzf", "convert, lzf")):
        cpu, wall = median(step, "cpu"), median(step, "wall")
        spread = f"{min(t['cpu'] for t in times[step]):.3f} .. {max(t['cpu'] for t in times[step]):.3f} s"
        output = f"{times[step][0]['size'] / size:.2f}" if "size" in times[step][0] else ""
        growth = f"{statistics.median(t['rss_growth'] for t in times[step]) / 1e6:.1f} MB" \
            if "rss_growth" in times[step][0] else ""
        lines.append(f"| {title} | {cpu:.3f} s | {spread} | {wall:.3f} s | {size / cpu / 1e6:,.0f} | {output} |"
                     f" {growth} |")
    limit_cpu = median("iterate", "cpu") + median("cp", "cpu")
    limit_wall = median("iterate", "wall") + median("cp", "wall")
    lines += [
        f"| limit: iteration + cp | {limit_cpu:.3f} s | | {limit_wall:.3f} s | {size / limit_cpu / 1e6:,.0f} | | |",
        "",
        "| conversion | vs limit (cpu) | lowest .. highest round | vs limit (wall) | target |",
        "|---|---:|---:|---:|---|",
    ]
    for step, title in (("none", "no compression"), ("lzf", "lzf")):
        rounds = [(i["cpu"] + c["cpu"]) / s["cpu"] for i, c, s in zip(times["iterate"], times["cp"], times[step])]
        target = f"≥ 0.6×: {'pass' if ratio(step, 'cpu') >= 0.6 else 'FAIL'}" if step == "none" else "reported"
        lines.append(f"| {title} | {ratio(step, 'cpu'):.2f}× | {min(rounds):.2f} .. {max(rounds):.2f}× |"
                     f" {ratio(step, 'wall'):.2f}× | {target} |")
    lines += [
        "",
        f"Peak RSS growth on a file of {small.stat().st_size / 1e6:,.0f} MB: "
        f"{small_growth['none'] / 1e6:.1f} MB (no compression), {small_growth['lzf'] / 1e6:.1f} MB (lzf);"
        " target ≤ 64 MB.",
        "",
    ]
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main())
