"""How fast `vorn monitor` keeps up, how much it holds, and what it sends to a browser.

    python bench/monitor.py                   # writes a section of bench/RESULTS.md
    python bench/monitor.py --events 20000 --rounds 2 --output -   # quick look, printed

Input: a WD1 file of 1,024-sample events (pulses on a noisy baseline),
written into bench/data/ unless it exists; complete before the monitor
starts, so it is followed from its start as fast as the monitor can read.

- Throughput: the monitor's reading thread (reading, stacking, the feature
  kernel, merging into the state) against vorn's plain iteration of the same
  file (`for event in EventReader(...): pass`), alternating, in one process.
  While the monitor reads, a session renders snapshots every update period
  into a Bokeh document from another thread, as a browser's session does.
  Ratios are events/s of the monitor over events/s of the plain iteration,
  by CPU time of the reading thread (`time.thread_time`) and by wall time.
- CPU of the reading thread: its CPU time over the wall time it read for (1.0
  is one core).
- Memory: peak resident size (VmHWM) of a fresh process that monitors the
  file, and one that monitors a file 10x longer.
- Update size: the bytes of array data one session update puts into the
  page's column data sources (Bokeh sends arrays as binary buffers), with the
  update period.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
SAMPLES = 1024


def generate(path: Path, events: int) -> Path:
    if path.exists() and path.stat().st_size == events * (24 + 2 * SAMPLES):
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(42)
    t = np.arange(SAMPLES)
    temporary = path.with_suffix(".tmp")
    with open(temporary, "wb") as out:
        for start in range(0, events, 20_000):
            n = min(20_000, events - start)
            amplitude = rng.uniform(50, 3000, n)
            onset = rng.integers(200, 400, n)
            shape = np.where(t >= onset[:, None], np.exp(-(t - onset[:, None]) / 40.0), 0.0)
            data = np.round(4000 + rng.normal(0, 3, (n, SAMPLES)) - amplitude[:, None] * shape).astype("<u2")
            header = np.zeros((n, 6), "<i4")
            header[:, 0] = 24 + 2 * SAMPLES
            header[:, 4] = np.arange(start, start + n)
            header[:, 5] = np.arange(start, start + n) * 1000
            out.write(np.concatenate((header.view("<u2"), data), axis=1).tobytes())
    os.replace(temporary, path)
    return path


def plain(path: Path) -> tuple[float, float, int]:
    import vorn

    wall, cpu = time.perf_counter(), time.thread_time()
    count = 0
    for _ in vorn.EventReader(str(path), "WD1"):
        count += 1
    return time.thread_time() - cpu, time.perf_counter() - wall, count


class Renderer(threading.Thread):
    """A session rendering snapshots into a Bokeh document every period, as the server's loop would."""

    def __init__(self, state: object, period: float) -> None:
        super().__init__(daemon=True)
        from bokeh.document import Document

        from vorn_tools.monitor.app import Session

        self.session = Session(state, Document(), int(period * 1000))  # type: ignore[arg-type]
        self.period = period
        self.sizes: list[int] = []
        self.times: list[float] = []
        self.done = threading.Event()

    def run(self) -> None:
        while not self.done.wait(self.period):
            self.session.update()
            if self.session.sent:
                self.sizes.append(self.session.sent)


def monitored(path: Path, events: int, period: float) -> dict[str, float]:
    from vorn_tools.monitor.reader import Inputs, ReaderThread
    from vorn_tools.monitor.state import MonitorState

    state = MonitorState()
    renderer = Renderer(state, period)
    reader = ReaderThread(Inputs.of([str(path)]), state, "WD1", poll=0.001)
    renderer.start()
    wall = time.perf_counter()
    reader.start()
    while sum(f.events for f in list(state.files.values())) < events:
        time.sleep(0.002)
    wall = time.perf_counter() - wall
    reader.stop()
    renderer.done.set()
    renderer.join()
    snapshot = state.snapshot()
    assert snapshot.events == events and snapshot.error_count == 0, snapshot.errors
    # The CPU an update costs once the page exists, with a full state: each
    # status change makes a new snapshot to render.
    for i in range(20):
        state.update_file(str(path), status=f"reading {i}")
        start = time.thread_time()
        renderer.session.update()
        renderer.times.append(time.thread_time() - start)
        # A file read faster than the update period gives no update meanwhile.
        renderer.sizes.append(renderer.session.sent)
    return {"cpu": reader.cpu_time, "wall": wall, "update_bytes": max(renderer.sizes, default=0),
            "update_bytes_median": statistics.median(renderer.sizes) if renderer.sizes else 0,
            "update_ms": 1000 * statistics.median(renderer.times) if renderer.times else 0.0,
            "updates": len(renderer.times)}


def breakdown(path: Path, events: int) -> dict[str, float]:
    """CPU seconds of the reading thread's work on the file, with its later steps left out one by one.

    Runs one file's reading loop in this thread: "take" reads and copies the
    samples into blocks (features and merging replaced by nothing), "features"
    adds the kernel, "merge" is the whole (merging into the state).
    """
    from unittest import mock

    from vorn_tools import sizes
    from vorn_tools.monitor import reader
    from vorn_tools.monitor.state import MonitorState

    def run(features: bool, merge: bool) -> float:
        state = MonitorState()
        source = reader.Source(str(path), "bench", str(path), "WD1", reader.pulse_features.FeatureOptions(), state)
        with contextlib.ExitStack() as stack:
            if not features:
                nothing = {k: np.zeros((sizes.MONITOR_BLOCK_EVENTS, 1)) for k in reader.pulse_features.FEATURES}
                stack.enter_context(mock.patch.object(reader.pulse_features, "compute",
                                                      lambda block, options, *_, **__: {k: v[:len(block)]
                                                                                       for k, v in nothing.items()}))
            if not merge:
                stack.enter_context(mock.patch.object(state, "add_events", lambda *a: None))
            start = time.thread_time()
            while source.step(time.monotonic()):
                pass
            return time.thread_time() - start

    return {"take": run(False, False), "features": run(True, False), "merge": run(True, True)}


def peak_rss(path: Path, events: int) -> tuple[float, float]:
    """MB before reading and at the peak, in a fresh process monitoring the file."""
    code = ("import sys; sys.path.insert(0, %r); import monitor as m; from pathlib import Path\n"
            "def kb(key): return int([l.split()[1] for l in open('/proc/self/status') if l.startswith(key)][0])\n"
            "import vorn_tools.monitor.app, vorn_tools.monitor.reader\n"
            "before = kb('VmRSS'); m.monitored(Path(sys.argv[1]), int(sys.argv[2]), 0.4)\n"
            "print(before / 1024, kb('VmHWM') / 1024)") % str(HERE)
    out = subprocess.run([sys.executable, "-c", code, str(path), str(events)], capture_output=True, text=True,
                         check=True).stdout.split()
    return float(out[0]), float(out[1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=HERE / "data")
    parser.add_argument("--events", type=int, default=200_000, help="events of the throughput file")
    parser.add_argument("--rss-events", type=int, default=50_000, help="events of the short memory run (x10 long)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--period", type=float, default=0.4, help="seconds between session updates")
    parser.add_argument("--output", default=str(HERE / "RESULTS.md"), help="'-' to print only")
    args = parser.parse_args()

    from vorn_tools.monitor.app import PERIOD_MS

    path = generate(args.data / f"monitor_wd1_1024_{args.events}.wd1", args.events)
    plain(path)  # warm the page cache
    rows = []
    for r in range(args.rounds):
        pair = [("plain", lambda: plain(path)), ("monitor", lambda: monitored(path, args.events, args.period))]
        results = {}
        for name, run in pair if r % 2 == 0 else pair[::-1]:
            results[name] = run()
        cpu, wall, count = results["plain"]
        assert count == args.events
        m = results["monitor"]
        rows.append({"plain_cpu": cpu, "plain_wall": wall, **m})
        print(f"round {r + 1}: plain {count / cpu:,.0f} ev/s cpu, monitor {args.events / m['cpu']:,.0f} ev/s cpu;"
              f" ratio cpu {cpu / m['cpu']:.2f}, wall {wall / m['wall']:.2f}; reader cpu {m['cpu'] / m['wall']:.2f}"
              f" core; update {m['update_bytes'] / 1000:.0f} kB, {m['update_ms']:.1f} ms cpu", flush=True)
    parts = [breakdown(path, args.events) for _ in range(3)]
    costs = {key: statistics.median(p[key] for p in parts) for key in parts[0]}
    short = generate(args.data / f"monitor_wd1_1024_{args.rss_events}.wd1", args.rss_events)
    long = generate(args.data / f"monitor_wd1_1024_{10 * args.rss_events}.wd1", 10 * args.rss_events)
    memory = [(n, *peak_rss(p, n)) for n, p in ((args.rss_events, short), (10 * args.rss_events, long))]

    med = {key: statistics.median(row[key] for row in rows) for key in rows[0]}
    ratios_cpu = [row["plain_cpu"] / row["cpu"] for row in rows]
    ratios_wall = [row["plain_wall"] / row["wall"] for row in rows]
    load = os.getloadavg()
    lines = [
        "",
        f"## `vorn monitor`, WD1 file of {args.events:,} 1,024-sample events",
        "",
        f"Measured {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC on {platform.machine()}"
        f" ({os.cpu_count()} logical CPUs), Python {platform.python_version()}, NumPy {np.__version__};"
        f" load average {load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f} at the end.",
        f"Command: `python bench/monitor.py --rounds {args.rounds}` ({args.rounds} rounds, plain and monitor"
        f" alternating; medians). The file is complete and followed from its start; a session renders a"
        f" snapshot every {args.period * 1000:.0f} ms meanwhile (the page's period is {PERIOD_MS} ms).",
        "",
        "| | events/s (cpu) | events/s (wall) | reading thread cpu |",
        "|---|---:|---:|---:|",
        f"| plain EventReader iteration | {args.events / med['plain_cpu']:,.0f} | {args.events / med['plain_wall']:,.0f} | |",
        f"| monitor: read, stack, features, merge | {args.events / med['cpu']:,.0f} | {args.events / med['wall']:,.0f}"
        f" | {med['cpu'] / med['wall']:.2f} core |",
        "",
        "| figure | measured | target |",
        "|---|---|---|",
        f"| monitor ÷ plain, events/s by cpu | {statistics.median(ratios_cpu):.2f}× ({min(ratios_cpu):.2f} .. "
        f"{max(ratios_cpu):.2f}) | ≥ 0.8×: {'pass' if statistics.median(ratios_cpu) >= 0.8 else 'FAIL'} |",
        f"| monitor ÷ plain, events/s by wall time | {statistics.median(ratios_wall):.2f}× ({min(ratios_wall):.2f} .. "
        f"{max(ratios_wall):.2f}) | reported |",
        f"| reading thread cpu | {med['cpu'] / med['wall']:.2f} core | ≤ 1 core |",
        *(f"| peak RSS, {n:,} events ({n * (24 + 2 * SAMPLES) / 1e6:,.0f} MB file) | {peak:.1f} MB"
          f" ({peak - before:+.1f} MB over the {before:.1f} MB before reading) | bounded |"
          for n, before, peak in memory),
        f"| one session update, array data put into the sources | {med['update_bytes'] / 1000:.0f} kB at most"
        f" (median {med['update_bytes_median'] / 1000:.0f} kB), {med['update_ms']:.1f} ms of CPU to render | bounded |",
        f"| update period | {PERIOD_MS} ms | a few a second at most |",
        "",
        "Where the reading thread's time goes, per event (one file's reading loop run alone, later steps"
        " left out; medians of 3):",
        "",
        "| step | µs per event | of the plain iteration's |",
        "|---|---:|---:|",
        f"| plain `EventReader` iteration | {1e6 * med['plain_cpu'] / args.events:.2f} | 1.00 |",
        *(f"| {label} | {1e6 * cost / args.events:.2f} | {cost / med['plain_cpu']:.2f} |"
          for label, cost in (("read + copy into blocks", costs["take"]),
                              ("+ feature kernel", costs["features"] - costs["take"]),
                              ("+ merge into the state", costs["merge"] - costs["features"]),
                              ("whole loop", costs["merge"]))),
        "",
    ]
    text = "\n".join(lines)
    print(text)
    if args.output != "-":
        with open(args.output, "a") as out:
            out.write(text)


if __name__ == "__main__":
    main()
