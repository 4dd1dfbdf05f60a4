"""Benchmark vorn against the alternatives and against the machine's limits.

    python bench/run.py                      # everything: writes bench/RESULTS.md
    python bench/run.py --scale 0.01         # small inputs, to try changes quickly
    python bench/run.py --only wd1_16 --rounds 3

Needs an importable vorn (an installed package, or PYTHONPATH=build/dev for a
development build), NumPy and a C compiler. Missing input files are written
first (bench/generate.py, into bench/data/ unless --data says otherwise).

For each workload, every competitor iterates the whole file with
`for ev in it: pass`, in one process:

  vorn           vorn.EventReader(path, kind)
  hand-written   pure Python + NumPy: struct for the header, np.empty + readinto
                 per event; what a user writes without vorn
  np.fromfile    the whole file as a structured array, one dict per row, "data"
                 a view of the row
  raw read       readinto a 1 MiB buffer until EOF (unbuffered): the bandwidth
                 ceiling for reading the file at all
  object floor   bench/floor/floor.c, compiled at start: builds the same
                 dict, key strings, ints and holder-backed array per event
                 without reading anything: the per-event ceiling

Before timing, the first events of every competitor are compared with vorn's
(keys in order, header values, dtype, shape and samples) and the run stops if
any differ. An untimed warm-up round then reads every file through every
competitor, checking the event counts, so all timed rounds see a warm page
cache: the figures are CPU cost, not disk speed. The timed rounds alternate the
competitors, rotating the starting one. Each pass is timed by the process's
CPU time (user + system) and by the wall clock; the tables report medians of
the first (--clock wall for the other), and each ratio is the median of the
per-round ratios. On a shared machine absolute times drift; ratios from one
run hold.

Peak RSS growth is measured for vorn alone, in a fresh subprocess per file:
the peak resident size (VmHWM) after the iteration minus the resident size
just before it; the first event, and with it vorn's one-time NumPy lookup, is
inside the measurement.

Full-size results go to bench/RESULTS.md (or --output); a scaled or partial
run only prints, unless --output is given.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import os
import platform
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# Nothing here uses BLAS; without this its idle worker threads would compete
# for the machine's cores with the single-threaded loops being timed.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import numpy as np  # noqa: E402

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH / "floor"))

import floor_build  # noqa: E402
import generate  # noqa: E402
from generate import Workload  # noqa: E402

try:
    import vorn
except ImportError as error:  # pragma: no cover - depends on the setup
    raise SystemExit(
        f"cannot import vorn ({error}); install it (pip install .) or run "
        "with PYTHONPATH=build/dev after building") from error

WD1_KEYS = ("event_size", "board_id", "pattern", "board_channel",
            "event_counter", "timestamp")
WD2_KEYS = ("event_counter", "timestamp", "samples", "sampling_period",
            "channels")
GUARD_EVENTS = 5
# "cpu" is the process's CPU time (user + system, so reading from the page
# cache counts): unlike wall time it leaves out the time other processes on
# a busy machine take the core away.
CLOCKS = ("cpu", "wall")


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


# --- Competitors ------------------------------------------------------------
# Each takes the workload and its file and returns an iterable of events (the
# raw read returns an iterable of chunk sizes, so that one loop drives them
# all).


def vorn_events(w: Workload, path: Path):
    return vorn.EventReader(str(path), w.kind)


def wd2_channel_count(f) -> int:
    """The channel layout of a WD2 file: read the first header as if it had
    the channel word, skip the payload that implies and see whether the next
    header continues it. Leaves the file at offset 0."""
    header = struct.Struct("<IQIQi")
    first = f.read(header.size)
    counter_a, _, samples_a, period_a, channels_a = header.unpack(first)
    channels = 1
    if samples_a * channels_a >= 0:
        f.seek(samples_a * channels_a * 4, os.SEEK_CUR)
        second = f.read(header.size)
        if len(second) == header.size:
            counter_b, _, samples_b, period_b, channels_b = header.unpack(second)
            if (counter_b == (counter_a + 1) & 0xFFFFFFFF
                    and (samples_b, period_b, channels_b)
                    == (samples_a, period_a, channels_a)):
                channels = channels_a
    f.seek(0)
    return channels


def handwritten_events(w: Workload, path: Path):
    return handwritten_wd1(path) if w.kind == "WD1" else handwritten_wd2(path)


def handwritten_wd1(path: Path):
    header = struct.Struct("<6i")
    with open(path, "rb") as f:
        while True:
            raw = f.read(24)
            if len(raw) < 24:
                return
            (event_size, board_id, pattern, board_channel, event_counter,
             timestamp) = header.unpack(raw)
            data = np.empty((event_size - 24) // 2, dtype="<u2")
            if f.readinto(data) < data.nbytes:
                return
            yield {"event_size": event_size, "board_id": board_id,
                   "pattern": pattern, "board_channel": board_channel,
                   "event_counter": event_counter, "timestamp": timestamp,
                   "data": data}


def handwritten_wd2(path: Path):
    with open(path, "rb") as f:
        channels = wd2_channel_count(f)
        if channels >= 2:
            header = struct.Struct("<IQIQi")
        else:
            header = struct.Struct("<IQIQ")
        size = header.size
        while True:
            raw = f.read(size)
            if len(raw) < size:
                return
            if channels >= 2:
                (event_counter, timestamp, samples, sampling_period,
                 event_channels) = header.unpack(raw)
            else:
                event_counter, timestamp, samples, sampling_period = \
                    header.unpack(raw)
                event_channels = channels
            data = np.empty(samples * channels, dtype="<f4")
            if f.readinto(data) < data.nbytes:
                return
            yield {"event_counter": event_counter, "timestamp": timestamp,
                   "samples": samples, "sampling_period": sampling_period,
                   "channels": event_channels, "data": data}


def fromfile_events(w: Workload, path: Path):
    return fromfile_wd1(path) if w.kind == "WD1" else fromfile_wd2(path)


def fromfile_wd1(path: Path):
    # All events of a file have the size of the first one.
    with open(path, "rb") as f:
        event_size = struct.unpack("<i", f.read(4))[0]
    dtype = np.dtype([(key, "<i4") for key in WD1_KEYS]
                     + [("data", "<u2", ((event_size - 24) // 2,))])
    events = np.fromfile(path, dtype=dtype)
    columns = [events[key].tolist() for key in WD1_KEYS]
    for (event_size, board_id, pattern, board_channel, event_counter,
         timestamp, data) in zip(*columns, events["data"]):
        yield {"event_size": event_size, "board_id": board_id,
               "pattern": pattern, "board_channel": board_channel,
               "event_counter": event_counter, "timestamp": timestamp,
               "data": data}


def fromfile_wd2(path: Path):
    with open(path, "rb") as f:
        channels = wd2_channel_count(f)
        samples = struct.unpack("<12xI", f.read(16))[0]
    fields = [("event_counter", "<u4"), ("timestamp", "<u8"),
              ("samples", "<u4"), ("sampling_period", "<u8")]
    if channels >= 2:
        fields.append(("channels", "<i4"))
    dtype = np.dtype(fields + [("data", "<f4", (samples * channels,))])
    events = np.fromfile(path, dtype=dtype)
    columns = [events[name].tolist() for name, _ in fields]
    if channels < 2:
        columns.append([channels] * len(events))
    for (event_counter, timestamp, samples, sampling_period, event_channels,
         data) in zip(*columns, events["data"]):
        yield {"event_counter": event_counter, "timestamp": timestamp,
               "samples": samples, "sampling_period": sampling_period,
               "channels": event_channels, "data": data}


def raw_read(w: Workload, path: Path):
    buffer = bytearray(1 << 20)
    with open(path, "rb", buffering=0) as f:
        while n := f.readinto(buffer):
            yield n


def floor_events_factory(floor):
    def floor_events(w: Workload, path: Path):
        return floor.events(w.events, w.samples, w.kind, w.channels)
    return floor_events


def drain(iterable) -> None:
    for ev in iterable:
        pass


# --- Checks -----------------------------------------------------------------


class Mismatch(Exception):
    pass


def header_keys(w: Workload) -> tuple[str, ...]:
    return WD1_KEYS if w.kind == "WD1" else WD2_KEYS


def compare_events(w: Workload, name: str, index: int, ours: dict,
                   theirs: dict, *, samples: bool = True) -> None:
    where = f"{w.name}, event {index}, {name}"
    expected_keys = list(header_keys(w)) + ["data"]
    if list(ours) != expected_keys:
        raise Mismatch(f"{where}: vorn's keys are {list(ours)}")
    if list(theirs) != expected_keys:
        raise Mismatch(f"{where}: keys {list(theirs)} != {expected_keys}")
    for key in header_keys(w):
        a, b = ours[key], theirs[key]
        if type(a) is not int or type(b) is not int or a != b:
            raise Mismatch(f"{where}: {key} = {b!r}, vorn has {a!r}")
    a, b = ours["data"], theirs["data"]
    if type(b) is not np.ndarray or b.ndim != 1:
        raise Mismatch(f"{where}: data is {type(b).__name__} of ndim "
                       f"{getattr(b, 'ndim', '?')}, not a 1-D ndarray")
    if a.dtype != b.dtype or a.shape != b.shape:
        raise Mismatch(f"{where}: data {b.dtype}{b.shape}, vorn has "
                       f"{a.dtype}{a.shape}")
    if samples and not np.array_equal(a, b):
        first = int(np.flatnonzero(a != b)[0])
        raise Mismatch(f"{where}: data[{first}] = {b[first]!r}, vorn has "
                       f"{a[first]!r}")


def first_events(iterable, n: int) -> list[dict]:
    events = []
    for ev in iterable:
        events.append(ev)
        if len(events) == n:
            break
    return events


def guard(w: Workload, path: Path, competitors: dict) -> None:
    """The competitors must produce what vorn produces, or the comparison
    means nothing."""
    ours = first_events(vorn_events(w, path), GUARD_EVENTS)
    if len(ours) != min(GUARD_EVENTS, w.events):
        raise Mismatch(f"{w.name}: vorn yielded only {len(ours)} events")
    for name, make in competitors.items():
        if name in ("vorn", "raw read"):
            continue
        theirs = first_events(make(w, path), GUARD_EVENTS)
        if len(theirs) != len(ours):
            raise Mismatch(f"{w.name}, {name}: {len(theirs)} events, vorn "
                           f"{len(ours)}")
        for i, (a, b) in enumerate(zip(ours, theirs)):
            # The floor reads nothing: its samples are whatever malloc gave.
            compare_events(w, name, i, a, b, samples=(name != "object floor"))
            if name == "object floor":
                for array in (a["data"], b["data"]):
                    if array.flags.owndata or isinstance(array.base, np.ndarray):
                        raise Mismatch(f"{w.name}, {name}: data must be a "
                                       "view over a holder's buffer")


def count_check(w: Workload, path: Path, name: str, produced: int) -> None:
    expected = w.file_bytes if name == "raw read" else w.events
    if produced != expected:
        unit = "bytes" if name == "raw read" else "events"
        raise Mismatch(f"{w.name}, {name}: {produced} {unit}, expected "
                       f"{expected}")


# --- Measuring --------------------------------------------------------------


def warm_up(w: Workload, path: Path, competitors: dict) -> None:
    for name, make in competitors.items():
        if name == "raw read":
            produced = sum(make(w, path))
        else:
            produced = sum(1 for _ in make(w, path))
        count_check(w, path, name, produced)


def time_rounds(w: Workload, path: Path, competitors: dict,
                rounds: int) -> dict[str, dict[str, list[float]]]:
    """Per clock ("cpu", "wall"), per competitor, one time per round."""
    names = list(competitors)
    times = {clock: {name: [] for name in names} for clock in CLOCKS}
    for r in range(rounds):
        start = r % len(names)
        for name in names[start:] + names[:start]:
            make = competitors[name]
            gc.collect()
            c0, t0 = time.process_time(), time.perf_counter()
            drain(make(w, path))
            t1, c1 = time.perf_counter(), time.process_time()
            times["wall"][name].append(t1 - t0)
            times["cpu"][name].append(c1 - c0)
    return times


# ru_maxrss would carry the parent's resident size over the fork, so the
# child reads its own high-water mark (VmHWM), which exec starts afresh.
RSS_CHILD = r"""
import sys
sys.path.insert(0, sys.argv[3])
import numpy, vorn

def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise LookupError(field)

reader = vorn.EventReader(sys.argv[1], sys.argv[2])
before = status_kib("VmRSS")
for ev in reader:
    pass
del ev
print(max(0, status_kib("VmHWM") - before))
"""


def rss_growth_bytes(w: Workload, path: Path) -> int:
    vorn_dir = str(Path(vorn.__file__).resolve().parent)
    out = subprocess.run(
        [sys.executable, "-c", RSS_CHILD, str(path), w.kind, vorn_dir],
        check=True, capture_output=True, text=True).stdout
    return int(out) * 1024


# --- Reporting --------------------------------------------------------------


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def git_revision() -> str:
    try:
        def git(*args):
            return subprocess.run(["git", "-C", str(BENCH), *args], check=True,
                                  capture_output=True, text=True).stdout.strip()
        rev = git("rev-parse", "--short", "HEAD")
        dirty = git("status", "--porcelain", "--", "src", "CMakeLists.txt")
        return rev + (" with uncommitted changes to src/" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown revision"


def load_average() -> str:
    try:
        return " / ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        return "unavailable"


def si(value: float) -> str:
    for limit, suffix in ((1e9, " G"), (1e6, " M"), (1e3, " k")):
        if value >= limit:
            return f"{value / limit:.3g}{suffix}"
    return f"{value:.3g}"


def mb(n: float) -> str:
    return f"{n / 1e6:,.1f} MB"


def duration(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.3g} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.3g} ms"
    return f"{seconds * 1e6:.3g} µs"


def ratio(x: float, digits: int = 2) -> str:
    return f"{x:.{digits}f}×"


class Result:
    def __init__(self, w: Workload, times: dict[str, dict[str, list[float]]],
                 clock: str, rss: int | None):
        self.w = w
        self.all_times = times
        self.clock = clock
        self.times = times[clock]
        self.median = {k: statistics.median(v) for k, v in self.times.items()}
        self.rss = rss

    def events_per_s(self, name: str) -> float:
        return self.w.events / self.median[name]

    def mb_per_s(self, name: str) -> float:
        return self.w.file_bytes / self.median[name] / 1e6

    def speed_ratio(self, name: str) -> float:
        """vorn's speed over the competitor's, above 1 when vorn is faster:
        the median of the per-round ratios, each from two passes run close
        together, so that the machine's drift over the run cancels."""
        return statistics.median(
            theirs / ours
            for theirs, ours in zip(self.times[name], self.times["vorn"]))

    def spread(self, name: str) -> float:
        t = self.times[name]
        return (max(t) - min(t)) / self.median[name]

    @property
    def rss_limit(self) -> int:
        return 2 * self.w.payload_bytes + (16 << 20)


def render(results: list[Result], meta: dict, rounds: int, clock: str) -> str:
    out = []
    out.append("# vorn benchmark results\n")
    out.append(f"Measured {meta['date']} on {meta['cpu']} "
               f"({meta['cpus']} logical CPUs, {meta['system']}); "
               f"Python {meta['python']}, NumPy {meta['numpy']}; "
               f"vorn {meta['revision']}.\n")
    out.append(f"Load average (1 / 5 / 15 min): {meta['load_start']} at the "
               f"start, {meta['load_end']} at the end.\n")
    clock_text = ("process CPU time (user + system), which leaves out the time "
                  "other processes take the cores away"
                  if clock == "cpu" else "wall-clock time")
    out.append(f"Command: `{meta['command']}`. {rounds} timed rounds per "
               "workload, the competitors alternating within each round "
               "(the first one rotating); times are medians of "
               f"{clock_text}, and events/s and MB/s follow from them. "
               "Ratios are vorn's speed over the competitor's, the median "
               "of the per-round ratios: above 1.00× vorn is faster. Every "
               "file was read once before timing, so all competitors see a "
               "warm page cache (CPU cost, not disk speed). MB = 10^6 bytes "
               "of file; for the object floor, the bytes the same events "
               "occupy on disk.\n")

    names = list(results[0].times)
    others = [n for n in names if n != "vorn"]
    out.append("## Summary\n")
    out.append("| workload | file | vorn events/s | vorn MB/s | "
               + " | ".join(f"vs {n}" for n in others)
               + " | vorn peak RSS growth |")
    out.append("|---|---:|---:|---:|" + "---:|" * len(others) + "---:|")
    for r in results:
        rss = (f"{mb(r.rss)} (limit {mb(r.rss_limit)})"
               if r.rss is not None else "—")
        out.append(f"| {r.w.title} | {mb(r.w.file_bytes)} | "
                   f"{si(r.events_per_s('vorn'))} | {r.mb_per_s('vorn'):,.0f} | "
                   + " | ".join(ratio(r.speed_ratio(n)) for n in others)
                   + f" | {rss} |")
    out.append("")

    out.append("## Targets\n")
    out.append("| target | measured | result |")
    out.append("|---|---|---|")
    for line in targets(results):
        out.append(line)
    out.append("")

    out.append("## Per workload\n")
    for r in results:
        out.append(f"### {r.w.title} ({mb(r.w.file_bytes)})\n")
        other = "wall" if clock == "cpu" else "cpu"
        out.append(f"| competitor | median {clock} time | spread | "
                   f"median {other} time | events/s | MB/s | "
                   "vorn ÷ competitor |")
        out.append("|---|---:|---:|---:|---:|---:|---:|")
        for name in names:
            other_median = statistics.median(r.all_times[other][name])
            out.append(f"| {name} | {duration(r.median[name])} | "
                       f"{r.spread(name) * 100:.0f}% | "
                       f"{duration(other_median)} | "
                       f"{si(r.events_per_s(name))} | "
                       f"{r.mb_per_s(name):,.0f} | "
                       f"{ratio(r.speed_ratio(name))} |")
        out.append("")
    out.append("Spread: (slowest − fastest) ÷ median over the timed rounds. "
               "RSS growth: peak resident size while vorn iterates the whole "
               "file in a fresh process, minus the resident size just before; "
               "the limit is two events' payload + 16 MiB.\n")
    return "\n".join(out)


def targets(results: list[Result]) -> list[str]:
    lines = []

    def row(target, measured, ok):
        lines.append(f"| {target} | {measured} | "
                     f"{'pass' if ok else '**FAIL**'} |")

    by_samples = {(r.w.kind, r.w.samples): r for r in results}
    small = by_samples.get(("WD1", 16))
    if small:
        x = small.speed_ratio("object floor")
        row("WD1, 16 samples: vorn ≥ 0.9 × object floor events/s",
            ratio(x, 3), x >= 0.9)
    large = by_samples.get(("WD1", 262_144))
    if large:
        x = large.speed_ratio("raw read")
        row("WD1, 262,144 samples: vorn ≥ 0.9 × raw read bandwidth",
            ratio(x, 3), x >= 0.9)
    worst = min(results, key=lambda r: r.speed_ratio("hand-written"))
    x = worst.speed_ratio("hand-written")
    row("every workload: vorn faster than the hand-written reader",
        f"slowest margin {ratio(x, 3)} ({worst.w.name})", x > 1)
    measured = [r for r in results if r.rss is not None]
    if measured:
        biggest = max(measured, key=lambda r: r.w.file_bytes)
        row(f"peak RSS growth on the largest file ({biggest.w.name}, "
            f"{mb(biggest.w.file_bytes)}) ≤ two events' payload + 16 MiB",
            f"{mb(biggest.rss)} ≤ {mb(biggest.rss_limit)}",
            biggest.rss <= biggest.rss_limit)
        over = [r.w.name for r in measured if r.rss > r.rss_limit]
        row("the same on every file", "over on " + ", ".join(over)
            if over else "all within", not over)
    return lines


# --- Main -------------------------------------------------------------------


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(
        description="Benchmark vorn against the alternatives.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", type=Path, default=generate.DEFAULT_DIR,
                        help="directory of the input files (default: %(default)s)")
    parser.add_argument("--rounds", type=int, default=15,
                        help="timed rounds per workload (default: %(default)s)")
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiply every event count (default: 1)")
    parser.add_argument("--only", help="comma-separated workload names: "
                        + ", ".join(w.name for w in generate.WORKLOADS))
    parser.add_argument("--output", type=Path,
                        help="where to write the markdown (default: "
                        "bench/RESULTS.md for a full-size run of everything)")
    parser.add_argument("--clock", choices=CLOCKS, default="cpu",
                        help="the time that medians and ratios use "
                        "(default: %(default)s)")
    parser.add_argument("--no-rss", action="store_true",
                        help="skip the peak RSS measurement")
    args = parser.parse_args(argv)
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")

    workloads = generate.select(args.only, args.scale)
    output = args.output
    if output is None and args.scale == 1 and not args.only:
        output = BENCH / "RESULTS.md"

    meta = {
        "date": datetime.datetime.now(datetime.timezone.utc)
                .strftime("%Y-%m-%d %H:%M UTC"),
        "cpu": cpu_model(),
        "cpus": os.cpu_count(),
        "system": f"{platform.system()} {platform.release()}",
        "python": platform.python_version(),
        "numpy": np.__version__,
        "revision": f"{git_revision()}, loaded from {vorn.__file__}",
        "load_start": load_average(),
        "command": " ".join(["python", "bench/run.py", *argv]),
    }

    paths = generate.ensure(workloads, args.data, log=log)
    with tempfile.TemporaryDirectory(prefix="vorn-floor-") as tmp:
        floor = floor_build.load(tmp)
        competitors = {
            "vorn": vorn_events,
            "hand-written": handwritten_events,
            "np.fromfile": fromfile_events,
            "raw read": raw_read,
            "object floor": floor_events_factory(floor),
        }
        results = []
        try:
            for w, path in zip(workloads, paths):
                log(f"{w.name}: checking competitors")
                guard(w, path, competitors)
                warm_up(w, path, competitors)
                log(f"{w.name}: {args.rounds} rounds")
                times = time_rounds(w, path, competitors, args.rounds)
                rss = None if args.no_rss else rss_growth_bytes(w, path)
                results.append(Result(w, times, args.clock, rss))
        except Mismatch as error:
            log(f"competitors disagree: {error}")
            return 1
    meta["load_end"] = load_average()

    text = render(results, meta, args.rounds, args.clock)
    print(text)
    if output is not None:
        output.write_text(text + "\n")
        log(f"wrote {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
