"""What the monitor knows about a run, shared by the reading thread and every browser session.

The reading thread is the only writer; sessions take snapshots. Everything
is bounded whatever the run's length: histograms have fixed bins, the last
waveforms and the rate history sit in ring buffers, error messages in a
bounded queue. One lock guards it all and is held only to merge a block's
results or to copy what a snapshot needs, never while reading, computing
features or talking to a browser.
"""

from __future__ import annotations

import collections
import math
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .. import histograms

WAVEFORMS = 16  # last waveforms kept per channel
BINS = 200
FILL_VALUES = 16384  # values of a feature gathered before they are counted
WARMUP = 1000  # values of a feature looked at before its histogram range is chosen
RATE_POINTS = 3600  # rate history: an hour at one point a second
RATE_INTERVAL = 1.0
ERRORS_KEPT = 50
POINTS = 1000  # a waveform is decimated to at most this many points


class Ring:
    """The last `capacity` rows pushed, each of shape `shape`, oldest first."""

    def __init__(self, capacity: int, shape: tuple[int, ...] = (), dtype: Any = np.float64) -> None:
        if capacity < 1:
            raise ValueError(f"a ring holds at least one row, not {capacity}")
        self._rows = np.zeros((capacity, *shape), dtype)
        self.pushed = 0  # rows ever pushed

    @property
    def shape(self) -> tuple[int, ...]:
        return tuple(self._rows.shape[1:])

    def __len__(self) -> int:
        return min(self.pushed, len(self._rows))

    def push(self, rows: ArrayLike) -> None:
        rows = np.asarray(rows)
        capacity = len(self._rows)
        kept = rows[-capacity:]
        # Rows that would be overwritten within this push are never written.
        at = (self.pushed + len(rows) - len(kept) + np.arange(len(kept))) % capacity
        self._rows[at] = kept
        self.pushed += len(rows)

    def last(self) -> NDArray[Any]:
        """A copy of the rows held, oldest first."""
        capacity = len(self._rows)
        if self.pushed <= capacity:
            return self._rows[:self.pushed].copy()
        start = self.pushed % capacity
        return np.concatenate((self._rows[start:], self._rows[:start]))

    def clear(self) -> None:
        self.pushed = 0


class CounterGaps:
    """Places where `event_counter` does not go up by one from an event to the next.

    Counters are 32-bit and wrap: 2**32 - 1 followed by 0 is no gap. A step
    forward of d > 1 leaves d - 1 counters `missing`; a repeat or a step back
    (more than 2**31 forward, taken as backward) is a gap that misses nothing.
    """

    def __init__(self) -> None:
        self.last: int | None = None
        self.gaps = 0
        self.missing = 0

    def add(self, counters: ArrayLike) -> None:
        values = np.asarray(counters).astype(np.int64) & 0xFFFFFFFF
        if not len(values):
            return
        if self.last is not None:
            values = np.concatenate(([self.last], values))
        steps = np.diff(values) & 0xFFFFFFFF
        self.gaps += int(np.count_nonzero(steps != 1))
        forward = steps[(steps > 1) & (steps <= 2**31)]
        self.missing += int(forward.sum() - len(forward))
        self.last = int(values[-1])


@dataclass(frozen=True)
class HistogramView:
    edges: NDArray[np.float64]
    counts: dict[str, NDArray[np.int64]]  # bins in range, per channel
    entries: dict[str, int]  # per channel: every value counted, out of range ones included
    undefined: dict[str, int]  # per channel: events without a value (NaN features)


class FeatureHistograms:
    """One feature's histograms, one per channel, over one range shared by all channels.

    Values are counted in bulk: they wait in a list until `FILL_VALUES` came
    or a view is asked for, since a fill has a fixed cost far above that of a
    value. Without a fixed range, the first `warmup` values are also held back
    and the range is chosen from them (`settle` chooses it earlier, from what
    came, when the run has no more events for now). Values outside the range
    go to the flow bins, so every value is counted exactly once.
    """

    def __init__(self, name: str, bins: int = BINS, value_range: tuple[float, float] | None = None,
                 warmup: int = WARMUP) -> None:
        self.name = name
        self.bins = bins
        self.range = value_range
        self.warmup = warmup
        self._held: list[tuple[str, NDArray[np.float64]]] = []
        self._held_count = 0
        self._hists: dict[str, Any] = {}
        self._undefined: collections.Counter[str] = collections.Counter()

    def fill(self, channel: str, values: ArrayLike) -> None:
        array = np.asarray(values, dtype=np.float64).reshape(-1)
        nan = np.isnan(array)
        self._undefined[channel] += int(np.count_nonzero(nan))
        self._held.append((channel, array[~nan]))
        self._held_count += len(array)
        if self._held_count >= (FILL_VALUES if self.range is not None else self.warmup):
            self.flush()

    @property
    def waiting(self) -> bool:
        """Values are held back until the range is chosen."""
        return self.range is None and self._held_count > 0

    def settle(self) -> None:
        """Choose the range from the values held, however few, and count them."""
        if self.range is None and self._held_count:
            held = np.concatenate([values for _, values in self._held])
            if len(held):
                self.range = padded_range(float(held.min()), float(held.max()))
        self.flush()

    def flush(self) -> None:
        if self.range is None:
            if self._held_count >= self.warmup:
                self.settle()
            return
        by_channel: dict[str, list[NDArray[np.float64]]] = {}
        for channel, values in self._held:
            by_channel.setdefault(channel, []).append(values)
        for channel, parts in by_channel.items():
            self._hist(channel).fill(np.concatenate(parts), 0)
        self._held, self._held_count = [], 0

    def _hist(self, channel: str) -> Any:
        hist = self._hists.get(channel)
        if hist is None:
            assert self.range is not None
            hist = histograms.histogram(self.bins, *self.range, label=self.name)
            self._hists[channel] = hist
        return hist

    def reset(self) -> None:
        for hist in self._hists.values():
            hist.reset()
        self._held, self._held_count = [], 0
        self._undefined = collections.Counter({channel: 0 for channel in self._undefined})

    def view(self) -> HistogramView | None:
        self.flush()
        if self.range is None:
            return None
        edges = np.linspace(*self.range, self.bins + 1)
        return HistogramView(edges, {c: histograms.counts(h)[:, 0] for c, h in self._hists.items()},
                             {c: int(h.sum(flow=True)) for c, h in self._hists.items()},
                             dict(self._undefined))


def padded_range(low: float, high: float) -> tuple[float, float]:
    """A range holding [low, high] with a margin, never empty."""
    span = high - low
    pad = 0.05 * span if span > 0 else max(1.0, 0.05 * abs(low))
    return low - pad, high + pad


@dataclass
class FileStatus:
    path: str
    label: str
    status: str = "waiting"
    format: str | None = None
    events: int = 0
    bytes_read: int = 0
    file_size: int = 0
    pending: int = 0  # bytes of an event the file holds only the start of
    errors: int = 0
    reopened: int = 0  # times another file took its name and reading started over
    gaps: CounterGaps = field(default_factory=CounterGaps)


@dataclass(frozen=True)
class FileView:
    path: str
    label: str
    status: str
    format: str | None
    events: int
    bytes_read: int
    file_size: int
    pending: int
    errors: int
    reopened: int
    gaps: int
    missing: int


@dataclass(frozen=True)
class Snapshot:
    version: int
    files: list[FileView]
    channels: list[str]
    waveforms: dict[str, tuple[NDArray[np.float64], NDArray[np.float64]]]  # x (points,), y (waveforms, points)
    histograms: dict[str, HistogramView | None]
    rate: tuple[NDArray[np.float64], NDArray[np.float64]]  # seconds since start, events/s
    errors: list[str]
    events: int
    gaps: int
    missing: int
    bytes_read: int
    file_size: int
    error_count: int


def decimate(rows: NDArray[Any], points: int = POINTS) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Waveforms (rows of samples) cut to at most `points` x values by min/max decimation.

    Each chunk of samples becomes its minimum and its maximum at the chunk's
    centre, so a pulse of one sample still shows at full height.
    """
    samples = rows.shape[1]
    if samples <= points:
        return np.arange(samples, dtype=np.float64), rows.astype(np.float64)
    per = math.ceil(samples / (points // 2))
    starts = np.arange(0, samples, per)
    low = np.minimum.reduceat(rows, starts, axis=1).astype(np.float64)
    high = np.maximum.reduceat(rows, starts, axis=1).astype(np.float64)
    centres = starts + (np.minimum(starts + per, samples) - 1 - starts) / 2
    y = np.empty((len(rows), 2 * len(starts)))
    y[:, 0::2], y[:, 1::2] = low, high
    return np.repeat(centres, 2), y


class MonitorState:
    """The shared state; the reading thread writes it, sessions call `snapshot` and `reset_histograms`."""

    def __init__(self, waveforms: int = WAVEFORMS, bins: int = BINS,
                 amplitude_range: tuple[float, float] | None = None,
                 charge_range: tuple[float, float] | None = None, warmup: int = WARMUP,
                 rate_points: int = RATE_POINTS, rate_interval: float = RATE_INTERVAL,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.lock = threading.Lock()
        self.waveform_count = waveforms
        self.files: dict[str, FileStatus] = {}
        self.channels: list[str] = []
        self._waveforms: dict[str, Ring] = {}
        self.histograms = {"amplitude": FeatureHistograms("amplitude", bins, amplitude_range, warmup),
                           "charge": FeatureHistograms("charge", bins, charge_range, warmup)}
        self._rate_t = Ring(rate_points)
        self._rate = Ring(rate_points)
        self._rate_interval = rate_interval
        self._clock = clock
        self._started = clock()
        self._last_rate = (self._started, 0)
        self._events = 0
        self.errors: collections.deque[str] = collections.deque(maxlen=ERRORS_KEPT)
        self.error_count = 0
        self.version = 0
        self._snapshot: Snapshot | None = None
        self._snapshot_lock = threading.Lock()  # one session computes a snapshot, the others reuse it

    # --- the reading thread ----------------------------------------------------

    def add_file(self, path: str, label: str) -> None:
        with self.lock:
            self.files[path] = FileStatus(path, label)
            self.version += 1

    def update_file(self, path: str, **changes: Any) -> None:
        with self.lock:
            status = self.files[path]
            if any(getattr(status, key) != value for key, value in changes.items()):
                for key, value in changes.items():
                    setattr(status, key, value)
                self.version += 1

    def restart_file(self, path: str, message: str) -> None:
        """Another file took the name: what is counted for this one from now on is the new file's."""
        with self.lock:
            status = self.files[path]
            self.files[path] = FileStatus(path, status.label, reopened=status.reopened + 1,
                                          errors=status.errors)
            self.errors.append(f"{status.label}: {message}")
            self.version += 1

    def add_events(self, path: str, channels: list[str], counters: NDArray[Any], sizes: int,
                   features: dict[str, NDArray[Any]], last: NDArray[Any]) -> None:
        """A block of a file's events: their counters, bytes, features (events, channels) and last waveforms.

        `last` is (events, channels, samples): the block's last waveforms.
        """
        with self.lock:
            status = self.files[path]
            status.events += len(counters)
            status.bytes_read += sizes
            status.gaps.add(counters)
            self._events += len(counters)
            for c, channel in enumerate(channels):
                if channel not in self._waveforms or self._waveforms[channel].shape != last.shape[2:]:
                    if channel not in self.channels:
                        self.channels.append(channel)
                    self._waveforms[channel] = Ring(self.waveform_count, last.shape[2:], last.dtype)
                self._waveforms[channel].push(last[:, c])
                for name, hist in self.histograms.items():
                    hist.fill(channel, features[name][:, c])
            self.version += 1

    def record_error(self, path: str, message: str) -> None:
        with self.lock:
            status = self.files[path]
            status.errors += 1
            self.error_count += 1
            self.errors.append(f"{status.label}: {message}")
            self.version += 1

    def record_fatal(self, message: str) -> None:
        with self.lock:
            self.error_count += 1
            self.errors.append(message)
            self.version += 1

    def settle(self) -> None:
        """The run has no more events for now: choose the histogram ranges that still wait for values."""
        with self.lock:
            for hist in self.histograms.values():
                if hist.waiting:
                    hist.settle()
                    self.version += 1

    def sample_rate(self) -> None:
        """Adds a point to the rate history once `rate_interval` has passed since the last."""
        now = self._clock()
        with self.lock:
            then, events = self._last_rate
            if now - then < self._rate_interval:
                return
            self._rate_t.push([now - self._started])
            self._rate.push([(self._events - events) / (now - then)])
            self._last_rate = (now, self._events)
            self.version += 1

    # --- sessions --------------------------------------------------------------

    def reset_histograms(self) -> None:
        with self.lock:
            for hist in self.histograms.values():
                hist.reset()
            self.version += 1

    def snapshot(self, points: int = POINTS) -> Snapshot:
        """A consistent copy of the state, waveforms decimated to at most `points` x values.

        Sessions asking while nothing changed get the same object back.
        """
        with self._snapshot_lock:
            cached = self._snapshot
            if cached is not None and cached.version == self.version:
                return cached
            with self.lock:
                version = self.version
                files = [FileView(s.path, s.label, s.status, s.format, s.events, s.bytes_read, s.file_size,
                                  s.pending, s.errors, s.reopened, s.gaps.gaps, s.gaps.missing)
                         for s in self.files.values()]
                channels = list(self.channels)
                raw = {c: self._waveforms[c].last() for c in channels}
                views = {name: hist.view() for name, hist in self.histograms.items()}
                rate = (self._rate_t.last(), self._rate.last())
                errors = list(self.errors)
                error_count = self.error_count
            # Decimation reads every sample held: outside the lock.
            waveforms = {c: decimate(rows, points) for c, rows in raw.items()}
            snapshot = Snapshot(version, files, channels, waveforms, views, rate, errors,
                                sum(f.events for f in files), sum(f.gaps for f in files),
                                sum(f.missing for f in files), sum(f.bytes_read for f in files),
                                sum(f.file_size for f in files), error_count)
            self._snapshot = snapshot
            return snapshot


def summary(snapshot: Snapshot) -> dict[str, int]:
    """The figures of the command's last line."""
    return {"events": snapshot.events, "files": len(snapshot.files), "bytes": snapshot.bytes_read,
            "errors": snapshot.error_count}


