"""Speed of the pulse-feature kernel on both sample types, with and without
the shape and energy features, against NumPy and dspeed doing the same.

    python bench/features.py [--rows 50000] [--samples 1024] [--rounds 9] [--before GBPS] [--iterate-mb 400]

Waveforms are generated in memory (uint16, a baseline near 1000 ADC counts
with noise, one negative pulse each; the same values as float32 for the
float path) and the same chain is computed by:

- vorn: vorn_tools.features.compute, the native kernel, one thread, on
  uint16 and on float32 samples; every call also measures rise and fall
  time, FWHM and time over threshold;
- vorn with the tail ratio and the energy filter as well (a trapezoid of 16
  and 8 samples after pole-zero correction of the pulses' 40-sample decay);
- NumPy: the chain vectorized over blocks of rows in float64 (baseline mean
  and std, auto polarity, argmax, a charge window around the peak from a
  cumulative sum, threshold and CFD crossings from boolean masks);
- dspeed (only where it is installed): its processors linear_slope_fit on
  the baseline window, bl_subtract, min_max, saturation and
  interpolated_time_point_thresh (forward from the baseline's end for the
  threshold, backward from the peak for the CFD), with NumPy for what it has
  no processor for (the polarity flip and the charge window); and its
  pole_zero, trap_norm and time_over_threshold for the energy and width.

Then `find_pulses` (every pulse, vorn_tools.pulses) runs on waveforms with
three pulses each, as uint16 and as float32, checked to find the same pulses
in both. Last, a loop over `iterate(..., features=...)` is timed against one
over plain `iterate` on a WD1 file in the page cache (--iterate-mb, in wall
time: the features are measured in a second thread while the next block is
read). bench/kernel_before.py compares the kernel with an earlier build of
itself.

Times are medians of process CPU time over rounds in which the competitors
alternate; GB/s counts the sample bytes each one reads (float32 rows are
twice the bytes of uint16 rows). The NumPy result is checked against the
kernel's on both sample types before timing. --before gives the GB/s of an
earlier kernel on the uint16 chain, for the ratio of the whole kernel to it.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import platform
import statistics
import time
from collections.abc import Callable

import numpy as np

from vorn_tools.features import FeatureOptions, compute
from vorn_tools.pulses import PulseOptions, find_pulses

OPTIONS = FeatureOptions(baseline=(0, 64), charge_peak=(10, 100), threshold_rms=5.0,
                         cfd_fraction=0.5)
TAU = 40.0  # the pulses' decay, in samples
EVERYTHING = dataclasses.replace(OPTIONS, psd_split=20, trap=(16, 8), tau=TAU)
BLOCK = 1000  # rows per block for the float64 chains: 8 MB arrays


Pulses = Callable[[np.random.Generator, np.ndarray, np.ndarray], None]


def noisy_rows(rows: int, samples: int, seed: int, pulses: Pulses) -> np.ndarray:
    """uint16 waveforms near 1000 ADC counts with noise of 3, made BLOCK rows at a time;
    `pulses(rng, x, t)` subtracts the negative pulses from the block x at the times t."""
    rng = np.random.default_rng(seed)
    out = np.empty((rows, samples), np.uint16)
    t = np.arange(samples, dtype=float)
    for start in range(0, rows, BLOCK):
        n = min(BLOCK, rows - start)
        x = 1000 + rng.normal(0, 3, (n, samples))
        pulses(rng, x, t)
        out[start:start + n] = np.clip(np.round(x), 0, 65535)
    return out


def waveforms(rows: int, samples: int, seed: int = 1) -> np.ndarray:
    def one_pulse(rng: np.random.Generator, x: np.ndarray, t: np.ndarray) -> None:
        n = len(x)
        at = rng.integers(200, 800, n)[:, None]
        height = rng.uniform(50, 900, n)[:, None]
        s = np.maximum(t[None, :] - at, 0)
        x -= height * (np.exp(-s / 40) - np.exp(-s / 5)) / 0.6

    return noisy_rows(rows, samples, seed, one_pulse)


def numpy_chain(x: np.ndarray) -> dict[str, np.ndarray]:
    b0, b1 = OPTIONS.baseline
    a, b = OPTIONS.charge_peak or (0, 0)
    parts: list[dict[str, np.ndarray]] = []
    for start in range(0, len(x), BLOCK):
        raw = x[start:start + BLOCK]
        xf = raw.astype(np.float64)
        n, length = xf.shape
        r = np.arange(n)
        base = xf[:, b0:b1].mean(axis=1)
        rms = xf[:, b0:b1].std(axis=1)
        p = np.where(xf.max(axis=1) - base >= base - xf.min(axis=1), 1.0, -1.0)
        y = p[:, None] * (xf - base[:, None])
        peak = y.argmax(axis=1)
        amplitude = y[r, peak]
        cum = np.zeros((n, length + 1))
        np.cumsum(y, axis=1, out=cum[:, 1:])
        charge = cum[r, np.minimum(peak + b, length)] - cum[r, np.maximum(peak - a, 0)]

        t = OPTIONS.threshold_rms * rms
        above = y >= t[:, None]
        rise = ~above[:, :-1] & above[:, 1:]  # rise[:, i-1]: crossing at i
        rise[:, :max(b1, 1) - 1] = False
        i = rise.argmax(axis=1) + 1
        y0, y1 = y[r, i - 1], y[r, i]
        threshold_time = np.where(rise.any(axis=1), (i - 1) + (t - y0) / (y1 - y0), np.nan)

        level = OPTIONS.cfd_fraction * amplitude
        below = (y < level[:, None]) & (np.arange(length)[None, :] < peak[:, None])
        j = length - 1 - below[:, ::-1].argmax(axis=1)
        jn = np.minimum(j + 1, length - 1)
        c0, c1 = y[r, j], y[r, jn]
        cfd_time = np.where(below.any(axis=1) & (amplitude > 0), j + (level - c0) / (c1 - c0),
                            np.nan)
        saturated = (raw == 0).any(axis=1) | (raw == 65535).any(axis=1)
        parts.append(dict(baseline=base, baseline_rms=rms, amplitude=amplitude, charge=charge,
                          threshold_time=threshold_time, cfd_time=cfd_time, peak_index=peak,
                          polarity=p.astype(np.int8), saturated=saturated))
    return {k: np.concatenate([part[k] for part in parts]) for k in parts[0]}


def dspeed_chain() -> Callable[[np.ndarray], None] | None:
    try:
        from dspeed.processors import (bl_subtract, interpolated_time_point_thresh,
                                       linear_slope_fit, min_max, saturation)
    except ImportError:
        return None
    b0, b1 = OPTIONS.baseline
    a, b = OPTIONS.charge_peak or (0, 0)

    def run(x: np.ndarray) -> None:
        for start in range(0, len(x), BLOCK):
            xf = x[start:start + BLOCK].astype(np.float64)
            n, length = xf.shape
            r = np.arange(n)
            mean, std, _, _ = linear_slope_fit(xf[:, b0:b1])
            blsub = bl_subtract(xf, mean)
            t_min, t_max, a_min, a_max = min_max(blsub)
            saturation(xf, 16)
            p = np.where(a_max >= -a_min, 1.0, -1.0)
            y = blsub * p[:, None]
            peak = np.where(p > 0, t_max, t_min).astype(np.int64)
            amplitude = np.where(p > 0, a_max, -a_min)
            cum = np.zeros((n, length + 1))
            np.cumsum(y, axis=1, out=cum[:, 1:])
            _ = cum[r, np.minimum(peak + b, length)] - cum[r, np.maximum(peak - a, 0)]
            interpolated_time_point_thresh(y, OPTIONS.threshold_rms * std, float(b1), 1, ord("l"))
            interpolated_time_point_thresh(y, OPTIONS.cfd_fraction * amplitude,
                                           peak.astype(np.float64), 0, ord("l"))
    return run


def dspeed_energy() -> Callable[[np.ndarray], None] | None:
    try:
        from dspeed.processors import pole_zero, time_over_threshold, trap_norm
    except ImportError:
        return None
    k, m = EVERYTHING.trap or (1, 0)

    def run(x: np.ndarray) -> None:
        for start in range(0, len(x), BLOCK):
            xf = x[start:start + BLOCK].astype(np.float64)
            y = -(xf - xf[:, :64].mean(axis=1)[:, None])
            trap = trap_norm(pole_zero(y, TAU), k, m)
            trap.max(axis=1)
            trap.argmax(axis=1)
            time_over_threshold(y, 5 * xf[:, :64].std(axis=1))
    return run


def check_same(kernel: dict[str, np.ndarray], reference: dict[str, np.ndarray]) -> None:
    for name, value in reference.items():
        got = kernel[name]
        if name in ("peak_index", "polarity", "saturated"):
            np.testing.assert_array_equal(got, value, err_msg=name)
        else:
            np.testing.assert_allclose(got, value, rtol=1e-9, atol=1e-6, equal_nan=True,
                                       err_msg=name)


def cpu_seconds(run: Callable[[], object]) -> tuple[float, float]:
    c0, w0 = time.process_time(), time.perf_counter()
    run()
    return time.process_time() - c0, time.perf_counter() - w0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=50_000)
    parser.add_argument("--samples", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--before", type=float, metavar="GBPS",
                        help="an earlier kernel's GB/s on the uint16 chain")
    args, _ = parser.parse_known_args()  # the other parts read their own options

    x = waveforms(args.rows, args.samples)
    xf = x.astype(np.float32)
    reference = numpy_chain(x[:5000])
    check_same(compute(x[:5000], OPTIONS), reference)
    check_same(compute(xf[:5000], OPTIONS), reference)
    inputs: dict[str, np.ndarray] = {}
    competitors: dict[str, Callable[[], object]] = {}

    def add(name: str, data: np.ndarray, run: Callable[[], object]) -> None:
        inputs[name] = data
        competitors[name] = run

    add("vorn uint16", x, lambda: compute(x, OPTIONS))
    add("vorn float32", xf, lambda: compute(xf, OPTIONS))
    add("vorn uint16, tail ratio and energy", x, lambda: compute(x, EVERYTHING))
    add("vorn float32, tail ratio and energy", xf, lambda: compute(xf, EVERYTHING))
    add("NumPy float64", x, lambda: numpy_chain(x))
    dspeed = dspeed_chain()
    if dspeed is not None:
        dspeed(x[:BLOCK])  # compiles the gufuncs
        add("dspeed", x, lambda: dspeed(x))
    energy = dspeed_energy()
    if energy is not None:
        energy(x[:BLOCK])
        add("dspeed pole_zero, trap_norm, time_over_threshold", x, lambda: energy(x))
    for run in competitors.values():
        run()

    names = list(competitors)
    cpu: dict[str, list[float]] = {k: [] for k in names}
    wall: dict[str, list[float]] = {k: [] for k in names}
    for k in range(args.rounds):
        for name in names[k % len(names):] + names[:k % len(names)]:
            c, w = cpu_seconds(competitors[name])
            cpu[name].append(c)
            wall[name].append(w)

    def ratio(a: str, b: str, by_bytes: bool = False) -> float:
        """Median over rounds of a's speed over b's (in bytes/s if asked)."""
        scale = inputs[a].nbytes / inputs[b].nbytes if by_bytes else 1.0
        return statistics.median(scale * t / s for s, t in zip(cpu[a], cpu[b]))

    print(f"{args.rows:,} waveforms of {args.samples:,} samples ({x.nbytes / 1e6:.1f} MB as uint16, "
          f"{xf.nbytes / 1e6:.1f} MB as float32), {args.rounds} rounds; "
          f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, "
          f"load {os.getloadavg()[0]:.2f}; NumPy {np.__version__}")
    print()
    print("| competitor | median cpu time | median wall time | GB/s | waveforms/s "
          "| vorn uint16 ÷ competitor |")
    print("|---|---:|---:|---:|---:|---:|")
    for name in names:
        t = statistics.median(cpu[name])
        print(f"| {name} | {t * 1e3:.1f} ms | {statistics.median(wall[name]) * 1e3:.1f} ms "
              f"| {inputs[name].nbytes / t / 1e9:.2f} | {args.rows / t / 1e6:.2f} M "
              f"| {ratio('vorn uint16', name):.2f}× |")
    print()
    gbps = x.nbytes / statistics.median(cpu["vorn uint16"]) / 1e9
    print("| ratio | measured | target |")
    print("|---|---:|---|")
    print(f"| float32 ÷ uint16, GB/s | {ratio('vorn float32', 'vorn uint16', True):.2f}× | ≥ 0.8× |")
    print(f"| float32 ÷ uint16, GB/s, tail ratio and energy "
          f"| {ratio('vorn float32, tail ratio and energy', 'vorn uint16, tail ratio and energy', True):.2f}× "
          f"| ≥ 0.8× |")
    print(f"| uint16 with tail ratio and energy ÷ without "
          f"| {ratio('vorn uint16, tail ratio and energy', 'vorn uint16'):.2f}× | |")
    if args.before:
        whole = x.nbytes / statistics.median(cpu["vorn uint16, tail ratio and energy"]) / 1e9
        print(f"| whole kernel, uint16 ÷ the earlier kernel's {args.before:.2f} GB/s "
              f"| {whole / args.before:.2f}× | ≥ 0.7× |")
    if energy is not None:
        print(f"| tail ratio and energy ÷ dspeed's pole_zero, trap_norm, time_over_threshold "
              f"| {ratio('vorn uint16, tail ratio and energy', 'dspeed pole_zero, trap_norm, time_over_threshold'):.1f}× "
              f"| ≥ 10× |")
    print()
    print(f"vorn: {gbps:.2f} GB/s of uint16 samples")


# --- Every pulse ------------------------------------------------------------------------

PULSE_OPTIONS = PulseOptions(threshold=15.0, hysteresis=6.0, charge=(5, 20))


def pulse_waveforms(rows: int, samples: int, pulses: int = 3, seed: int = 2) -> np.ndarray:
    """uint16 waveforms near 1000 ADC counts with noise of 3 and `pulses` negative pulses each,
    at random places and heights (they may pile up)."""
    def several(rng: np.random.Generator, x: np.ndarray, t: np.ndarray) -> None:
        for _ in range(pulses):
            at = rng.uniform(0.1 * samples, 0.9 * samples, (len(x), 1))
            height = rng.uniform(50, 900, (len(x), 1))
            s = np.maximum(t[None, :] - at, 0)
            x -= height * (np.exp(-s / 20) - np.exp(-s / 4)) / 0.6

    return noisy_rows(rows, samples, seed, several)


def pulse_bench(argv: list[str] | None = None) -> None:
    """find_pulses on uint16 and on the same samples as float32, alternating rounds."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=50_000)
    parser.add_argument("--samples", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=9)
    args, _ = parser.parse_known_args(argv)
    x16 = pulse_waveforms(args.rows, args.samples)
    x32 = x16.astype(np.float32)
    # The same samples as either type give the same pulses: absolute levels
    # make the comparisons identical.
    a, b = find_pulses(x16, PULSE_OPTIONS), find_pulses(x32, PULSE_OPTIONS)
    for name in a:
        np.testing.assert_array_equal(a[name], b[name], err_msg=name)
    found = len(a["row"]) / args.rows
    inputs = {"uint16": x16, "float32": x32}
    cpu: dict[str, list[float]] = {k: [] for k in inputs}
    for k in range(args.rounds):
        for name in list(inputs)[k % 2:] + list(inputs)[:k % 2]:
            cpu[name].append(cpu_seconds(lambda: find_pulses(inputs[name], PULSE_OPTIONS))[0])
    print()
    print(f"find_pulses: {args.rows:,} waveforms of {args.samples:,} samples, 3 pulses generated in each,"
          f" {found:.2f} found per waveform; {args.rounds} rounds")
    print()
    print("| samples | median cpu time | GB/s of samples | waveforms/s | pulses/s |")
    print("|---|---:|---:|---:|---:|")
    for name, x in inputs.items():
        t = statistics.median(cpu[name])
        print(f"| {name} | {t * 1e3:.1f} ms | {x.nbytes / t / 1e9:.2f} | {args.rows / t / 1e6:.2f} M "
              f"| {found * args.rows / t / 1e6:.1f} M |")
    rate = x16.nbytes / statistics.median(cpu["uint16"]) / 1e9
    print()
    print(f"find_pulses uint16: {rate:.2f} GB/s (target >= 2 GB/s: {'pass' if rate >= 2 else 'FAIL'})")


# --- Computing while reading ------------------------------------------------------------

def iterate_bench(argv: list[str] | None = None) -> None:
    """iterate(features=...) against plain iterate over one WD1 file in the page cache."""
    import sys
    import tempfile

    from vorn_tools.pipeline import iterate
    from vorn_tools.reading import iterate as plain_iterate

    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from physics import generate  # noqa: E402  (the end-to-end benchmark's WD1 events)

    parser = argparse.ArgumentParser()
    parser.add_argument("--iterate-mb", type=int, default=400)
    parser.add_argument("--rounds", type=int, default=9)
    args, _ = parser.parse_known_args(argv)
    options = FeatureOptions(charge=(290, 600))
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "events.wd1")
        events = generate(path, args.iterate_mb * 10**6)
        size = os.path.getsize(path)

        def plain() -> None:
            for block in plain_iterate(path, type="WD1"):
                block["data"]

        def measured() -> None:
            for block in iterate(path, type="WD1", features=options):
                block["charge"]

        runs = {"iterate": plain, "iterate(features=...)": measured}
        for run in runs.values():  # the file into the page cache, the kernel loaded
            run()
        wall: dict[str, list[float]] = {k: [] for k in runs}
        cpu: dict[str, list[float]] = {k: [] for k in runs}
        for k in range(args.rounds):
            for name in list(runs)[k % 2:] + list(runs)[:k % 2]:
                c, w = cpu_seconds(runs[name])
                cpu[name].append(c)
                wall[name].append(w)
    print()
    print(f"iterate with features: {events:,} WD1 events of 1,024 samples, {size / 1e6:.0f} MB in the page cache, "
          f"{args.rounds} rounds alternating; load {os.getloadavg()[0]:.2f}")
    print()
    print("| loop | median wall time | median cpu time | MB/s (wall) |")
    print("|---|---:|---:|---:|")
    for name in runs:
        t = statistics.median(wall[name])
        print(f"| {name} | {t * 1e3:.0f} ms | {statistics.median(cpu[name]) * 1e3:.0f} ms | {size / t / 1e6:,.0f} |")
    ratios = sorted(p / f for p, f in zip(wall["iterate"], wall["iterate(features=...)"]))
    ratio = statistics.median(ratios)
    print()
    print(f"iterate(features=...) / iterate, by wall time: {ratio:.2f}x (rounds {ratios[0]:.2f} .. {ratios[-1]:.2f}; "
          f"target >= 0.9: {'pass' if ratio >= 0.9 else 'FAIL'})")


if __name__ == "__main__":
    main()
    pulse_bench()
    iterate_bench()
