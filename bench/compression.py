"""Measure `vorn convert`'s compression choices: speed against output size.

    python bench/compression.py                       # about 150 MB per file in bench/data/, 3 rounds
    python bench/compression.py --megabytes 50 --rounds 1
    python bench/compression.py --append bench/RESULTS.md

Three inputs of 1,024-sample events, pulses of random height on a noisy
baseline, as digitizers record them:

  wd1-12bit   WD1, a 12-bit ADC: baseline 400 counts, noise of 2 counts rms
  wd1-14bit   WD1, a 14-bit ADC: baseline 1600 counts, noise of 6 counts rms
  wd2-floats  WD2, 2 channels with the channels word: calibrated floats in mV,
              noise of 0.6 mV rms (floats carry the noise in every mantissa bit)

Each is converted with no compression, lzf, and deflate (gzip) with the shuffle
filter at levels 1, 4 and 6, in a fresh interpreter each, timed after its
imports. MB/s is input megabytes (10^6 bytes) over the median process CPU time
(user + system) of the rounds; the size is the output's over the input's.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
SAMPLES = 1024
WD1_KEYS = ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")
SETTINGS = ("none", "lzf", "gzip-1", "gzip-4", "gzip-6")

# Runs in a fresh interpreter: argv = setting, reader type, input, output. Prints JSON.
CHILD = r"""
import json, resource, sys

def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime

setting, kind, source, target = sys.argv[1:]
from vorn_tools.outputs import hdf5_events as convert
from vorn_tools.formats import open_layout
if setting.startswith("gzip-"):
    convert.COMPRESSION[setting] = {**convert.COMPRESSION["gzip"], "compression_opts": int(setting[5:])}
task = convert.Task(source, open_layout(source, kind), "run", convert.Options(setting))
start = cpu()
(outcome,) = convert.convert_into_one([task], target)
assert outcome.error is None, outcome.error
print(json.dumps({"cpu": cpu() - start}))
"""


def pulses(rng: np.random.Generator, count: int, height: float, tau: float) -> np.ndarray:
    t = np.arange(SAMPLES)
    start = rng.integers(200, 400, (count, 1))
    shape = np.where(t >= start, np.exp(-np.maximum(t - start, 0) / tau), 0.0)
    return rng.exponential(height, (count, 1)) * shape


def write_wd1(path: Path, events: int, bits: int, baseline: int, noise: float) -> None:
    dtype = np.dtype([(k, "<i4") for k in WD1_KEYS] + [("data", "<u2", SAMPLES)])
    rng = np.random.default_rng(bits)
    with open(path, "wb") as f:
        for first in range(0, events, 10_000):
            count = min(10_000, events - first)
            block = np.zeros(count, dtype)
            index = np.arange(first, first + count)
            block["event_size"] = dtype.itemsize
            block["board_id"] = 7
            block["board_channel"] = index % 4
            block["event_counter"] = index
            block["timestamp"] = index * 1000
            waves = baseline + rng.normal(0, noise, (count, SAMPLES)) + pulses(rng, count, 2 ** (bits - 3), 80.0)
            block["data"] = np.clip(np.rint(waves), 0, 2**bits - 1)
            f.write(block.tobytes())


def write_wd2(path: Path, events: int, channels: int = 2) -> None:
    dtype = np.dtype([("event_counter", "<u4"), ("timestamp", "<u8"), ("samples", "<u4"),
                      ("sampling_period", "<u8"), ("channels", "<i4"), ("data", "<f4", channels * SAMPLES)])
    rng = np.random.default_rng(2)
    with open(path, "wb") as f:
        for first in range(0, events, 5_000):
            count = min(5_000, events - first)
            block = np.zeros(count, dtype)
            index = np.arange(first, first + count)
            block["event_counter"] = index
            block["timestamp"] = 123_456_789_000 + index * 40_000
            block["samples"] = SAMPLES
            block["sampling_period"] = 5000
            block["channels"] = channels
            waves = [rng.normal(0, 0.6, (count, SAMPLES)) - pulses(rng, count, 40.0, 30.0) for _ in range(channels)]
            block["data"] = np.concatenate(waves, axis=1)
            f.write(block.tobytes())


def inputs(folder: Path, megabytes: float) -> list[tuple[str, str, Path]]:
    wd1_events = int(megabytes * 1e6) // (24 + 2 * SAMPLES)
    wd2_events = int(megabytes * 1e6) // (28 + 8 * SAMPLES)
    files = [("wd1-12bit", "WD1", folder / f"compression_wd1_12bit_{wd1_events}ev.bin"),
             ("wd1-14bit", "WD1", folder / f"compression_wd1_14bit_{wd1_events}ev.bin"),
             ("wd2-floats", "WD2", folder / f"compression_wd2_2x1024_{wd2_events}ev.bin")]
    writers = {"wd1-12bit": lambda p: write_wd1(p, wd1_events, 12, 400, 2.0),
               "wd1-14bit": lambda p: write_wd1(p, wd1_events, 14, 1600, 6.0),
               "wd2-floats": lambda p: write_wd2(p, wd2_events)}
    for name, _, path in files:
        if not path.exists():
            print(f"writing {path}", file=sys.stderr)
            partial = path.with_suffix(".partial")
            writers[name](partial)
            partial.rename(path)
    return files


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", type=Path, default=BENCH / "data", help="where inputs and outputs go")
    parser.add_argument("--megabytes", type=float, default=150.0, help="size of each input (default 150)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--append", type=Path, help="append the results as a section to this Markdown file")
    args = parser.parse_args()
    args.data.mkdir(parents=True, exist_ok=True)
    files = inputs(args.data, args.megabytes)
    out = args.data / "compression-out.h5"
    cpu: dict[tuple[str, str], list[float]] = {}
    size: dict[tuple[str, str], int] = {}
    for round_number in range(args.rounds):
        for name, kind, path in files:
            for setting in SETTINGS:
                proc = subprocess.run([sys.executable, "-c", CHILD, setting, kind, str(path), str(out)],
                                      check=True, capture_output=True, text=True)
                cpu.setdefault((name, setting), []).append(json.loads(proc.stdout)["cpu"])
                size[name, setting] = out.stat().st_size
                out.unlink()
        print(f"round {round_number + 1}/{args.rounds} done", file=sys.stderr)

    load = os.getloadavg()
    lines = [
        "## `vorn convert` compression: speed against size",
        "",
        f"Measured {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC on {platform.machine()}"
        f" ({os.cpu_count()} logical CPUs), Python {platform.python_version()}, NumPy {np.__version__};"
        f" load average {load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f} at the end.",
        f"Command: `python bench/compression.py --megabytes {args.megabytes:g} --rounds {args.rounds}`"
        " (medians of process CPU time; MB = 10^6 bytes of input).",
        "",
        "| input | size | " + " | ".join(SETTINGS) + " |",
        "|---|---:|" + "---:|" * len(SETTINGS),
    ]
    for name, _, path in files:
        mb = path.stat().st_size / 1e6
        speeds = " | ".join(f"{mb / statistics.median(cpu[name, s]):,.0f} MB/s" for s in SETTINGS)
        ratios = " | ".join(f"{size[name, s] / path.stat().st_size:.3f}" for s in SETTINGS)
        lines.append(f"| {name} | {mb:,.0f} MB | {speeds} |")
        lines.append(f"| {name}, output / input | | {ratios} |")
    text = "\n".join(lines) + "\n"
    print(text)
    if args.append:
        with open(args.append, "a") as f:
            f.write("\n" + text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
