"""The feature kernel against an earlier build of itself, both in one process.

    python bench/kernel_before.py [--commit 47d6d66] [--rows 50000] [--rounds 15]

The kernel's sources at the working tree and at `--commit` are compiled
alike (c++ -O3, as the Release build, with bench/kernel_shim.cpp as the
entry point) into two shared libraries loaded side by side, and timed
alternately on the same uint16 waveforms as bench/features.py, with its
chain: the earlier kernel on the chain it has, the current one on the same
chain (the shape features come with it) and with the tail ratio and the
energy filter as well, on the uint16 samples and on the same samples as
float32. The ratios are medians over rounds of the per-round ratios of
process CPU time, so a load that slows one round slows both sides of its
ratio. Needs git and a C++20 compiler.
"""

from __future__ import annotations

import argparse
import ctypes
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))

from features import waveforms  # noqa: E402

FLAGS = ["-std=c++20", "-O3", "-DNDEBUG", "-ffp-contract=off", "-fPIC", "-shared",
         "-fvisibility=hidden"]


def build(src: Path, out: Path) -> ctypes.CDLL:
    compiler = os.environ.get("CXX", "c++")
    subprocess.run([compiler, *FLAGS, f"-I{src}", str(BENCH / "kernel_shim.cpp"),
                    str(src / "features" / "pulse_features.cpp"), "-o", str(out)], check=True)
    lib = ctypes.CDLL(str(out))
    for run in (lib.run_u16, lib.run_f32):
        run.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_int, ctypes.c_void_p]
        run.restype = None
    return lib


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--commit", default="47d6d66")
    parser.add_argument("--rows", type=int, default=50_000)
    parser.add_argument("--samples", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        earlier = Path(tmp) / "earlier"
        earlier.mkdir()
        archive = subprocess.run(["git", "-C", str(ROOT), "archive", args.commit, "src/features"],
                                 check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", str(earlier)], input=archive, check=True)
        before = build(earlier / "src", Path(tmp) / "before.so")
        now = build(ROOT / "src", Path(tmp) / "now.so")

        x = np.ascontiguousarray(waveforms(args.rows, args.samples))
        xf = x.astype(np.float32)
        out = np.empty(16 * args.rows)
        competitors = {
            f"{args.commit}, its chain": lambda: before.run_u16(x.ctypes.data, *x.shape, 0, out.ctypes.data),
            "now, the chain with shape": lambda: now.run_u16(x.ctypes.data, *x.shape, 0, out.ctypes.data),
            "now, with tail ratio and energy": lambda: now.run_u16(x.ctypes.data, *x.shape, 1, out.ctypes.data),
            "now, float32, the chain with shape": lambda: now.run_f32(xf.ctypes.data, *xf.shape, 0, out.ctypes.data),
            "now, float32, with tail ratio and energy":
                lambda: now.run_f32(xf.ctypes.data, *xf.shape, 1, out.ctypes.data),
        }
        sizes = {name: xf.nbytes if "float32" in name else x.nbytes for name in competitors}
        names = list(competitors)
        cpu: dict[str, list[float]] = {k: [] for k in names}
        for run in competitors.values():
            run()
        for k in range(args.rounds):
            for name in names[k % len(names):] + names[:k % len(names)]:
                c0 = time.process_time()
                competitors[name]()
                cpu[name].append(time.process_time() - c0)

    print(f"{args.rows:,} waveforms of {args.samples:,} uint16 samples, {args.rounds} rounds, "
          f"load {os.getloadavg()[0]:.2f}")
    print()
    print(f"| kernel | median cpu time | GB/s | ÷ {args.commit} in rows/s (median of rounds) |")
    print("|---|---:|---:|---:|")
    first = names[0]
    for name in names:
        t = statistics.median(cpu[name])
        r = statistics.median(b / a for a, b in zip(cpu[name], cpu[first]))
        print(f"| {name} | {t * 1e3:.1f} ms | {sizes[name] / t / 1e9:.2f} | {r:.2f}× |")
    print()
    for chain in ("the chain with shape", "with tail ratio and energy"):
        u16, f32 = cpu[f"now, {chain}"], cpu[f"now, float32, {chain}"]
        r = statistics.median(2 * a / b for a, b in zip(u16, f32))
        print(f"float32 ÷ uint16 in GB/s, {chain}: {r:.2f}× (target >= 0.8)")


if __name__ == "__main__":
    main()
