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
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .. import histograms
from ..rates import Rate, RateCounter

WAVEFORMS = 16  # last waveforms kept per channel
BINS = 200
FILL_VALUES = 16384  # values of a feature gathered before they are counted
WARMUP = 1000  # values of a feature looked at before its histogram range is chosen
RATE_POINTS = 3600  # rate history: an hour at one point a second
RATE_INTERVAL = 1.0
ERRORS_KEPT = 50
POINTS = 1000  # a waveform is decimated to at most this many points
GAINS_KEPT = 3600  # fitted gains kept per channel: ten hours at one fit every ten seconds
# Events of one channel of a coincidence waiting for the other channel's, whose file may be read
# behind: about two rounds of the reader's blocks.
PENDING = 1 << 17


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
    """One channel's histogram of one feature."""

    edges: NDArray[np.float64]
    counts: NDArray[np.int64]  # the bins in range
    underflow: int
    overflow: int
    undefined: int  # waveforms without a value (a NaN feature)

    @property
    def entries(self) -> int:
        """Every value counted, those outside the range included."""
        return int(self.counts.sum()) + self.underflow + self.overflow

    @property
    def outside(self) -> float:
        """The fraction of the entries outside the range."""
        return (self.underflow + self.overflow) / self.entries if self.entries else 0.0


class ChannelHistogram:
    """One feature of one channel, over a range of its own.

    Channels of one run can differ in scale by orders of magnitude (a SiPM
    next to a PMT), so no range is shared. Values are counted in bulk: they
    wait in a list until `FILL_VALUES` came or a view is asked for, since a
    fill has a fixed cost far above that of a value. Without a fixed range,
    the first `warmup` values are also held back and the range is chosen
    from them (`settle` chooses it earlier, from what came, when the run has
    no more events for now); `reset` forgets it, so the next values choose
    it again. Values outside the range go to the flow bins, so every value
    is counted exactly once and none is hidden.
    """

    def __init__(self, name: str, bins: int = BINS, fixed: tuple[float, float] | None = None,
                 warmup: int = WARMUP) -> None:
        self.name = name
        self.bins = bins
        self.fixed = fixed
        self.warmup = warmup
        self.range = fixed
        self.undefined = 0
        self._held: list[NDArray[np.float64]] = []
        self._held_count = 0
        self._hist: Any = None

    def fill(self, values: ArrayLike) -> None:
        array = np.asarray(values, dtype=np.float64).reshape(-1)
        nan = np.isnan(array)
        self.undefined += int(np.count_nonzero(nan))
        kept = array[~nan]
        if len(kept):
            self._held.append(kept)
            self._held_count += len(kept)
        if self._held_count >= (FILL_VALUES if self.range is not None else self.warmup):
            self.flush()

    @property
    def waiting(self) -> bool:
        """Values are held back until the range is chosen."""
        return self.range is None and self._held_count > 0

    def settle(self) -> None:
        """Choose the range from the values held, however few, and count them."""
        if self.range is None and self._held_count:
            held = np.concatenate(self._held)
            finite = held[np.isfinite(held)]
            self.range = padded_range(float(finite.min()), float(finite.max())) if len(finite) else (-1.0, 1.0)
        self.flush()

    def flush(self) -> None:
        if self.range is None:
            if self._held_count >= self.warmup:
                self.settle()
            return
        if self._held:
            if self._hist is None:
                self._hist = histograms.histogram(self.bins, *self.range, label=self.name)
            self._hist.fill(np.concatenate(self._held), 0)
        self._held, self._held_count = [], 0

    def reset(self) -> None:
        """Forget every value, and the range unless it was given."""
        self._hist = None
        self.range = self.fixed
        self.undefined = 0
        self._held, self._held_count = [], 0

    def view(self) -> HistogramView | None:
        """The counts, or None while the range is still being chosen."""
        self.flush()
        if self.range is None:
            return None
        edges = np.linspace(*self.range, self.bins + 1)
        if self._hist is None:
            return HistogramView(edges, np.zeros(self.bins, np.int64), 0, 0, self.undefined)
        flow = np.asarray(self._hist.values(flow=True)[:, 0], dtype=np.int64)
        return HistogramView(edges, flow[1:-1], int(flow[0]), int(flow[-1]), self.undefined)


def padded_range(low: float, high: float) -> tuple[float, float]:
    """A range holding [low, high] with a margin, never empty."""
    span = high - low
    pad = 0.05 * span if span > 0 else max(1.0, 0.05 * abs(low))
    return low - pad, high + pad


class TriggerRate:
    """Triggers per second from their times, in bins of `width` seconds counted from the first trigger.

    A whole bin's rate is its triggers over its width. The last bin is
    still filling (and the run may end inside it), so its rate is over the
    time its triggers span, never over the whole width: the triggers after
    its first one, over the time from its first to its last. The last
    `points` bins are kept.
    """

    def __init__(self, width: float = RATE_INTERVAL, points: int = RATE_POINTS) -> None:
        self.width = width
        self.points = points
        self.first: float | None = None
        self.counts: dict[int, int] = {}
        self.earliest: dict[int, float] = {}  # per bin, seconds from the first trigger to its first
        self.latest = 0.0  # seconds from the first trigger to the latest

    def add(self, seconds: NDArray[np.float64]) -> None:
        if not len(seconds):
            return
        if self.first is None:
            self.first = float(seconds[0])
        since = seconds - self.first
        # A trigger older than the first (out of order) counts in the first bin.
        index = np.maximum(np.floor(since / self.width), 0).astype(np.int64)
        order = np.argsort(index, kind="stable")
        bins, starts, counts = np.unique(index[order], return_index=True, return_counts=True)
        for b, start, stop in zip(bins.tolist(), starts.tolist(), (starts + counts).tolist()):
            self.counts[b] = self.counts.get(b, 0) + stop - start
            self.earliest[b] = min(self.earliest.get(b, np.inf), float(since[order[start:stop]].min()))
        self.latest = max(self.latest, float(since.max()))
        if len(self.counts) > self.points:
            for b in sorted(self.counts)[:len(self.counts) - self.points]:
                del self.counts[b], self.earliest[b]

    def view(self) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Seconds since the first trigger (the middle of what each bin covers) and triggers per second."""
        if not self.counts:
            return np.empty(0), np.empty(0)
        last = max(self.counts)
        bins = sorted(self.counts)[:-1]
        t = [(b + 0.5) * self.width for b in bins]
        rate = [self.counts[b] / self.width for b in bins]
        span = self.latest - self.earliest[last]
        if span > 0:
            t.append(self.earliest[last] + span / 2)
            rate.append((self.counts[last] - 1) / span)
        return np.array(t, dtype=np.float64), np.array(rate, dtype=np.float64)


class Coincidence:
    """cfd_time of run channel b minus that of run channel a, event by event, in a histogram.

    The two channels may be in different files, read at different paces, so
    events are matched by their counter (32 bits, as written) like a run's
    files are: a channel's events wait until the other's with the same
    counter come. At most `pending` wait per channel; the oldest beyond are
    given up and counted `unpaired`, so a channel whose file stopped growing
    costs bounded memory. A difference that is NaN (a channel without a CFD
    time) counts as undefined, like a feature's.
    """

    def __init__(self, a: int, b: int, hist: ChannelHistogram, pending: int = PENDING) -> None:
        self.channels = (a, b)
        self.hist = hist
        self.capacity = pending
        self.paired = 0
        self.unpaired = 0
        empty = (np.empty(0, np.int64), np.empty(0, np.float64))
        self._waiting = [empty, empty]  # per side: counters and CFD times

    def add(self, side: int, counters: ArrayLike, times: ArrayLike) -> None:
        """Events of channel a (side 0) or b (side 1)."""
        mine = np.asarray(counters).astype(np.int64) & 0xFFFFFFFF
        values = np.asarray(times, dtype=np.float64)
        theirs, their_times = self._waiting[1 - side]
        _, here, there = np.intersect1d(mine, theirs, return_indices=True)
        if len(here):
            a, b = (their_times[there], values[here]) if side else (values[here], their_times[there])
            self.hist.fill(b - a)
            self.paired += len(here)
            kept = np.ones(len(theirs), bool)
            kept[there] = False
            self._waiting[1 - side] = (theirs[kept], their_times[kept])
        left = np.ones(len(mine), bool)
        left[here] = False
        waiting, waiting_times = self._waiting[side]
        waiting = np.concatenate((waiting, mine[left]))
        waiting_times = np.concatenate((waiting_times, values[left]))
        over = len(waiting) - self.capacity
        if over > 0:
            self.unpaired += over
            waiting, waiting_times = waiting[over:], waiting_times[over:]
        self._waiting[side] = (waiting, waiting_times)

    @property
    def waiting(self) -> int:
        return sum(len(counters) for counters, _ in self._waiting)


@dataclass(frozen=True)
class CoincidenceView:
    group: str  # the run's label
    channels: tuple[int, int]
    histogram: HistogramView | None  # None while its range is being chosen
    paired: int
    waiting: int  # events of one channel whose partner has not come (yet)
    unpaired: int  # events given up waiting


@dataclass(frozen=True)
class FitSettings:
    """The photoelectron fit of every channel's charge histogram, every `every` seconds."""

    model: str = "sipm"
    every: float = 10.0


class GainHistory:
    """A channel's fitted gains over the run's time, and the fits that gave none."""

    def __init__(self, points: int = GAINS_KEPT) -> None:
        self.points = Ring(points, (3,))  # time, gain, gain error
        self.converged = 0
        self.failed = 0  # fits that did not converge, or could not start
        self.note = ""  # why the last fit gave no gain; empty when it gave one
        self.chi2_ndf = math.nan  # of the last fit that converged
        self.fitted = -1  # entries of the histogram as last fitted: an unchanged one is not fitted again


@dataclass(frozen=True)
class GainView:
    time: NDArray[np.float64]
    gain: NDArray[np.float64]
    error: NDArray[np.float64]
    converged: int
    failed: int
    note: str
    chi2_ndf: float


UNITS = {"WD1": "ADC counts", "WD2": "sample value"}  # WD2 samples are floats in the board's units


@dataclass
class FileStatus:
    path: str
    label: str
    group: str  # the files of one group are the channels of one run: each holds every trigger
    status: str = "waiting"
    format: str | None = None
    events: int = 0
    waveforms: int = 0  # events times the channels of each
    bytes_read: int = 0
    file_size: int = 0
    pending: int = 0  # bytes of an event the file holds only the start of
    declared: int | None = None  # the pending event's size, as its header gives it
    errors: int = 0
    reopened: int = 0  # times the file was started over: another file took its name, or a new run began in it
    gaps: CounterGaps = field(default_factory=CounterGaps)
    number: int = 0  # its channel's number in its run: N of wave<N>, or its place among the files given
    channels: int = 0  # of its events; 0 before the first
    rate: RateCounter | None = None  # its triggers' rate from their timestamps; None without a tick

    def place(self, run_channel: int) -> int | None:
        """Which of its channels is the run's channel `run_channel`, if it holds it.

        A file of one channel is channel `number` of its run; of K
        channels (WD2), channels number·K to number·K + K - 1.
        """
        k = max(self.channels, 1)
        c = run_channel - self.number * k
        return c if 0 <= c < k else None


@dataclass(frozen=True)
class FileView:
    path: str
    label: str
    group: str
    status: str
    format: str | None
    events: int
    waveforms: int
    bytes_read: int
    file_size: int
    pending: int
    declared: int | None
    errors: int
    reopened: int
    gaps: int
    missing: int
    rate: Rate | None = None  # None without a tick


@dataclass(frozen=True)
class PulseSettings:
    """How the pulses found are counted: the trigger's window [X0, X1) left out, and the time between samples.

    Pulses that start in the window do not count, nor do its samples
    toward the time looked at, so what is left is the dark-count rate.
    """

    sample_period: float | None = None  # seconds; without it the page shows pulses per waveform
    exclude: tuple[int, int] | None = None

    def live_samples(self, samples: int) -> int:
        """The samples of a waveform of `samples` that lie outside the window."""
        if self.exclude is None:
            return samples
        x0, x1 = self.exclude
        return samples - max(0, min(samples, x1) - max(x0, 0))

    def counted(self, start_time: NDArray[np.float64]) -> NDArray[np.bool_]:
        """Which of the pulses starting at these times (in samples) count."""
        if self.exclude is None:
            return np.ones(len(start_time), bool)
        x0, x1 = self.exclude
        return (start_time < x0) | (start_time >= x1)


@dataclass
class PulseCount:
    """A channel's pulses outside the excluded window, and the waveforms and samples they were looked for in."""

    pulses: int = 0
    waveforms: int = 0
    samples: int = 0  # of waveform outside the excluded window, summed over the waveforms


@dataclass(frozen=True)
class PulseView:
    """The dark-count rate of a channel, or without a sample period its pulses per waveform."""

    pulses: int
    waveforms: int
    seconds: float | None  # of waveform looked at; None without a sample period

    @property
    def rate(self) -> float:
        """Pulses per second (per waveform without a sample period); NaN before anything was looked at."""
        span = self.waveforms if self.seconds is None else self.seconds
        return self.pulses / span if span > 0 else math.nan

    @property
    def error(self) -> float:
        """The rate's Poisson error: sqrt(pulses) over the same span."""
        span = self.waveforms if self.seconds is None else self.seconds
        return math.sqrt(self.pulses) / span if span > 0 else math.nan


@dataclass
class Channel:
    """A channel of a file: its last waveforms, its histograms and, when pulses are found, their count."""

    key: tuple[str, int]  # the file's path and the channel's index in it
    label: str
    unit: str
    waveforms: Ring
    histograms: dict[str, ChannelHistogram]
    pulses: PulseCount | None = None
    gains: GainHistory | None = None


@dataclass(frozen=True)
class ChannelView:
    key: tuple[str, int]
    label: str
    unit: str
    waveforms: tuple[NDArray[np.float64], NDArray[np.float64]]  # x (points,), y (waveforms, points)
    histograms: dict[str, HistogramView | None]
    pulses: PulseView | None = None
    gains: GainView | None = None


@dataclass(frozen=True)
class RateView:
    """The trigger rate of each group from the triggers' times, or, without a tick, the reading rate."""

    triggers: bool  # True: from the triggers' times; False: triggers read per second of the monitor's clock
    lines: dict[str, tuple[NDArray[np.float64], NDArray[np.float64]]]  # seconds, per second


@dataclass(frozen=True)
class Snapshot:
    version: int
    files: list[FileView]
    channels: list[ChannelView]
    rate: RateView
    notices: list[str]
    errors: list[str]
    triggers: int
    waveforms: int
    events: int  # events read from the files: a run's trigger counts once per file
    gaps: int
    missing: int
    bytes_read: int
    file_size: int
    error_count: int
    restarted: int  # files started over
    earlier_waveforms: int  # waveforms read from files before they were started over
    features: tuple[str, ...] = ()  # the columns histogrammed, in the page's order
    pulses: PulseSettings | None = None
    coincidences: list[CoincidenceView] = field(default_factory=list)
    fits: FitSettings | None = None
    fit_seconds: float = 0.0  # what the last round of fits that fitted anything took

    @property
    def channel_labels(self) -> list[str]:
        return [c.label for c in self.channels]


def triggers_of(files: list[FileView]) -> int:
    """Triggers: every file of a group holds each of the group's triggers, so a group counts its longest file."""
    longest: dict[str, int] = {}
    for f in files:
        longest[f.group] = max(longest.get(f.group, 0), f.events)
    return sum(longest.values())


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


FEATURES = ("amplitude", "charge")  # the columns the page histograms unless told others


class MonitorState:
    """The shared state; the reading thread writes it, sessions call `snapshot` and `reset_histograms`.

    `features` are the feature columns histogrammed for every channel.
    `ranges` fixes a feature's histogram range for every channel; a feature
    left out gets each channel's range from its first values. With `tick`
    (seconds per timestamp tick) the rate is that of the triggers, from
    their times; without, it is the rate at which triggers are read. With
    `pulses` the reading thread finds every pulse and each channel counts
    them as those settings say. With `coincidence` (a, b), each run holding
    both channels gets a histogram of cfd_time@b - cfd_time@a, in
    `coincidence_range` or one chosen from its first values. With `fits`,
    `fit_spectra` (called by a thread of its own) fits every channel's
    charge histogram and keeps the gains.
    """

    def __init__(self, waveforms: int = WAVEFORMS, bins: int = BINS,
                 ranges: dict[str, tuple[float, float]] | None = None, warmup: int = WARMUP,
                 rate_points: int = RATE_POINTS, rate_interval: float = RATE_INTERVAL, tick: float | None = None,
                 clock: Callable[[], float] = time.monotonic, features: Sequence[str] = FEATURES,
                 pulses: PulseSettings | None = None, coincidence: tuple[int, int] | None = None,
                 coincidence_range: tuple[float, float] | None = None, fits: FitSettings | None = None) -> None:
        self.lock = threading.Lock()
        self.waveform_count = waveforms
        self.bins = bins
        self.features = tuple(dict.fromkeys(features))
        self.ranges = dict(ranges or {})
        self.pulses = pulses
        self.coincidence = coincidence
        self.coincidence_range = coincidence_range
        self.fits = fits
        # The columns the reading thread hands over: those shown, and those the analyses need.
        self.measured = self.features + tuple(
            name for name in ("cfd_time",) if coincidence is not None and name not in self.features)
        self.coincidences: dict[str, Coincidence] = {}  # by group
        self.fit_seconds = 0.0
        self.warmup = warmup
        self.tick = tick
        self.files: dict[str, FileStatus] = {}
        self.channels: dict[tuple[str, int], Channel] = {}  # in the order they appeared
        self._rate_points = rate_points
        self._rate_t = Ring(rate_points)
        self._rate = Ring(rate_points)
        self._rate_interval = rate_interval
        self._trigger_rates: dict[str, TriggerRate] = {}  # by group
        self._clocks: dict[str, str] = {}  # by group: the file whose times are the group's triggers'
        self._clock = clock
        self._started = clock()
        self._last_rate = (self._started, 0)
        self.notices: collections.deque[str] = collections.deque(maxlen=ERRORS_KEPT)
        self.errors: collections.deque[str] = collections.deque(maxlen=ERRORS_KEPT)
        self.error_count = 0
        self.restarted = 0
        self.earlier_waveforms = 0
        self.version = 0
        self._snapshot: Snapshot | None = None
        self._snapshot_lock = threading.Lock()  # one session computes a snapshot, the others reuse it

    # --- the reading thread ----------------------------------------------------

    def add_file(self, path: str, label: str, group: str | None = None, number: int = 0) -> None:
        """A file to follow; `number` is its channel's in its run (`group`), for coincidences."""
        with self.lock:
            self.files[path] = self._status(path, label, path if group is None else group, number)
            self.version += 1

    def _status(self, path: str, label: str, group: str, number: int, **counted: Any) -> FileStatus:
        return FileStatus(path, label, group, number=number,
                          rate=None if self.tick is None else RateCounter(self.tick), **counted)

    def update_file(self, path: str, **changes: Any) -> None:
        with self.lock:
            status = self.files[path]
            if any(getattr(status, key) != value for key, value in changes.items()):
                for key, value in changes.items():
                    setattr(status, key, value)
                self.version += 1

    def restart_file(self, path: str, message: str) -> None:
        """The file is read again from its start (another file took its name, a new run began in it).

        What is shown for it from now on is the new file's: its counters,
        its channels' waveforms and histograms, whose ranges are chosen
        anew, and its group's trigger rate if its times gave it. Read
        errors stay counted.
        """
        with self.lock:
            status = self.files[path]
            self.restarted += 1
            self.earlier_waveforms += status.waveforms
            self.files[path] = self._status(path, status.label, status.group, status.number,
                                            reopened=status.reopened + 1, errors=status.errors)
            for key in [key for key in self.channels if key[0] == path]:
                del self.channels[key]
            self.coincidences.pop(status.group, None)  # its events' counters start again
            if self._clocks.get(status.group) == path:
                del self._clocks[status.group]
                self._trigger_rates.pop(status.group, None)
            self.notices.append(f"{status.label}: {message}")
            self.version += 1

    def remove_file(self, path: str, message: str) -> None:
        """The file is no longer followed (a new run took its place): it leaves the page, its errors stay counted."""
        with self.lock:
            status = self.files.pop(path)
            self.restarted += 1
            self.earlier_waveforms += status.waveforms
            for key in [key for key in self.channels if key[0] == path]:
                del self.channels[key]
            self.coincidences.pop(status.group, None)
            if self._clocks.get(status.group) == path:
                del self._clocks[status.group]
                self._trigger_rates.pop(status.group, None)
            self.notices.append(f"{status.label}: {message}")
            self.version += 1

    def add_events(self, path: str, counters: NDArray[Any], sizes: int, features: dict[str, NDArray[Any]],
                   last: NDArray[Any], time_tags: NDArray[Any] | None = None,
                   pulses: NDArray[Any] | None = None) -> None:
        """A block of a file's events: counters, bytes, features (events, channels), last waveforms, times.

        `last` is (events, channels, samples): the block's last waveforms.
        `time_tags` are the events' timestamps, unwrapped, in ticks.
        `pulses` are the pulses counted per channel in the block's waveforms,
        which are as long as those of `last`; None when none were looked for.
        """
        with self.lock:
            status = self.files[path]
            channels = last.shape[1]
            status.events += len(counters)
            status.waveforms += len(counters) * channels
            status.bytes_read += sizes
            status.gaps.add(counters)
            status.channels = channels
            for c in range(channels):
                channel = self.channels.get((path, c))
                if channel is None or channel.waveforms.shape != last.shape[2:]:
                    channel = self._channel(status, c, channels, last)
                channel.waveforms.push(last[:, c])
                for name, hist in channel.histograms.items():
                    hist.fill(features[name][:, c])
                if pulses is not None and self.pulses is not None:
                    if channel.pulses is None:
                        channel.pulses = PulseCount()
                    channel.pulses.pulses += int(pulses[c])
                    channel.pulses.waveforms += len(counters)
                    channel.pulses.samples += len(counters) * self.pulses.live_samples(last.shape[2])
            if self.coincidence is not None:
                group = [f for f in self.files.values() if f.group == status.group]
                for side, wanted in enumerate(self.coincidence):
                    at = status.place(wanted)
                    # Only while the run has a file for the other channel: else nothing could pair.
                    if at is not None and any(f.place(self.coincidence[1 - side]) is not None for f in group):
                        self._coincidence(status.group).add(side, counters, features["cfd_time"][:, at])
            if status.rate is not None and time_tags is not None:
                status.rate.add(time_tags)
            if self.tick is not None and time_tags is not None and len(time_tags):
                if self._clocks.setdefault(status.group, path) == path:
                    rate = self._trigger_rates.setdefault(status.group, TriggerRate(self._rate_interval,
                                                                                    self._rate_points))
                    rate.add(np.asarray(time_tags, dtype=np.float64) * self.tick)
            self.version += 1

    def _coincidence(self, group: str) -> Coincidence:
        found = self.coincidences.get(group)
        if found is None:
            assert self.coincidence is not None
            a, b = self.coincidence
            found = self.coincidences[group] = Coincidence(
                a, b, ChannelHistogram(f"cfd_time@{b} - cfd_time@{a}", self.bins, self.coincidence_range,
                                       self.warmup))
        return found

    def _channel(self, status: FileStatus, c: int, channels: int, last: NDArray[Any]) -> Channel:
        key = (status.path, c)
        old = self.channels.get(key)
        channel = Channel(key, status.label if channels == 1 else f"{status.label} ch{c}",
                          UNITS.get(status.format or "", UNITS["WD1"]),
                          Ring(self.waveform_count, last.shape[2:], last.dtype),
                          {name: ChannelHistogram(name, self.bins, self.ranges.get(name), self.warmup)
                           for name in self.features} if old is None else old.histograms,
                          None if old is None else old.pulses,
                          (GainHistory() if self.fits is not None else None) if old is None else old.gains)
        self.channels[key] = channel
        return channel

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

    def record_notice(self, message: str) -> None:
        """Something the page says that is no error: a file started over, a folder's new run."""
        with self.lock:
            self.notices.append(message)
            self.version += 1

    def settle(self) -> None:
        """The run has no more events for now: choose the histogram ranges that still wait for values."""
        with self.lock:
            hists = [h for c in self.channels.values() for h in c.histograms.values()]
            for hist in hists + [c.hist for c in self.coincidences.values()]:
                if hist.waiting:
                    hist.settle()
                    self.version += 1

    def sample_rate(self) -> None:
        """Adds a point to the reading rate's history once `rate_interval` has passed since the last."""
        now = self._clock()
        with self.lock:
            then, triggers = self._last_rate
            if now - then < self._rate_interval:
                return
            longest: dict[str, int] = {}
            for f in self.files.values():
                longest[f.group] = max(longest.get(f.group, 0), f.events)
            read = sum(longest.values())
            self._rate_t.push([now - self._started])
            # A file started over reads fewer triggers than before: no negative rates.
            self._rate.push([max(0, read - triggers) / (now - then)])
            self._last_rate = (now, read)
            self.version += 1

    # --- sessions --------------------------------------------------------------

    def reset_histograms(self) -> None:
        """Empties every histogram, and counts pulses anew; histograms without a given range choose it again."""
        with self.lock:
            for channel in self.channels.values():
                for hist in channel.histograms.values():
                    hist.reset()
                if channel.pulses is not None:
                    channel.pulses = PulseCount()
                if channel.gains is not None:
                    channel.gains.fitted = -1  # fits go on, of what comes from now on
            for coincidence in self.coincidences.values():
                coincidence.hist.reset()
                coincidence.paired = coincidence.unpaired = 0
            self.version += 1

    def fit_spectra(self) -> int:
        """Fits each channel's charge histogram that changed since its last fit; returns how many were fitted.

        The histograms are copied under the lock and fitted outside it, so a
        fit holds up neither the reading nor the page. A gain is kept only
        from a fit that converged, at the time of the fit: seconds since the
        channel's first trigger from the timestamps with a tick, else since
        the monitor started.
        """
        if self.fits is None:
            return 0
        from ..analysis.fits import fit_spe_histogram

        started = time.perf_counter()
        with self.lock:
            now = self._clock() - self._started
            jobs: list[tuple[Channel, GainHistory, HistogramView, float]] = []
            for channel in self.channels.values():
                hist = channel.histograms.get("charge")
                view = None if hist is None else hist.view()
                gains = channel.gains
                if view is None or gains is None or int(view.counts.sum()) == gains.fitted:
                    continue
                at = now
                if self.tick is not None:
                    counter = self.files[channel.key[0]].rate
                    seconds = math.nan if counter is None else counter.rate().seconds
                    if not np.isfinite(seconds):
                        continue
                    at = seconds
                jobs.append((channel, gains, view, at))
        results: list[tuple[Channel, GainHistory, HistogramView, float, tuple[float, float, float] | None, str]] = []
        for channel, gains, view, at in jobs:
            try:
                result, _ = fit_spe_histogram(view.counts, view.edges, self.fits.model)
            except (ValueError, ArithmeticError, RuntimeError) as failure:
                # A spectrum it cannot start from (FitError), or numbers the minimizer gave up on: said on
                # the page, and the next fit is tried all the same.
                why = str(failure) or type(failure).__name__
                results.append((channel, gains, view, at, None, f"not fitted: {why}"))
                continue
            gain, error = result.extra["gain"], result.extra["gain_error"]
            good = result.converged and math.isfinite(gain) and math.isfinite(error)
            results.append((channel, gains, view, at, (gain, error, result.chi2_ndf) if good else None,
                            "" if good else f"the fit at {at:.4g} s did not converge"))
        with self.lock:
            for channel, gains, view, at, found, note in results:
                current = self.channels.get(channel.key)
                if current is None or current.gains is not gains:  # its file was started over meanwhile
                    continue
                gains.fitted = int(view.counts.sum())
                gains.note = note
                if found is None:
                    gains.failed += 1
                else:
                    gains.converged += 1
                    gains.points.push([[at, found[0], found[1]]])
                    gains.chi2_ndf = found[2]
            if results:
                self.fit_seconds = time.perf_counter() - started
                self.version += 1
        return len(results)

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
                files = [FileView(s.path, s.label, s.group, s.status, s.format, s.events, s.waveforms, s.bytes_read,
                                  s.file_size, s.pending, s.declared, s.errors, s.reopened, s.gaps.gaps,
                                  s.gaps.missing, None if s.rate is None else s.rate.rate())
                         for s in self.files.values()]
                period = None if self.pulses is None else self.pulses.sample_period
                channels = [(c.key, c.label, c.unit, c.waveforms.last(),
                             {name: hist.view() for name, hist in c.histograms.items()},
                             None if c.pulses is None else
                             PulseView(c.pulses.pulses, c.pulses.waveforms,
                                       None if period is None else c.pulses.samples * period),
                             None if c.gains is None else gain_view(c.gains))
                            for c in self.channels.values()]
                if self.tick is not None:
                    labels = {f.path: f.label for f in files}  # a file that is a run of its own by its label
                    rate = RateView(True, {labels.get(g, g): r.view() for g, r in self._trigger_rates.items()})
                else:
                    rate = RateView(False, {"read": (self._rate_t.last(), self._rate.last())})
                labels = {f.path: f.label for f in files}
                coincidences = [CoincidenceView(labels.get(g, g), c.channels, c.hist.view(), c.paired, c.waiting,
                                                c.unpaired) for g, c in self.coincidences.items()]
                fit_seconds = self.fit_seconds
                notices, errors = list(self.notices), list(self.errors)
                error_count, restarted, earlier = self.error_count, self.restarted, self.earlier_waveforms
            # Decimation reads every sample held: outside the lock.
            views = [ChannelView(key, label, unit, decimate(rows, points), hists, pulses, gains)
                     for key, label, unit, rows, hists, pulses, gains in channels]
            snapshot = Snapshot(version, files, views, rate, notices, errors, triggers_of(files),
                                sum(f.waveforms for f in files), sum(f.events for f in files),
                                sum(f.gaps for f in files), sum(f.missing for f in files),
                                sum(f.bytes_read for f in files), sum(f.file_size for f in files), error_count,
                                restarted, earlier, self.features, self.pulses, coincidences, self.fits,
                                fit_seconds)
            self._snapshot = snapshot
            return snapshot


def gain_view(gains: GainHistory) -> GainView:
    points = gains.points.last()
    return GainView(points[:, 0], points[:, 1], points[:, 2], gains.converged, gains.failed, gains.note,
                    gains.chi2_ndf)


def _plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}{'' if count == 1 else 's'}"


def summary_line(final: Snapshot) -> str:
    """The command's last line: what was read, the errors, files started over, files not read, events pending."""
    parts = [f"{_plural(final.triggers, 'trigger')} ({_plural(final.waveforms, 'waveform')}) from"
             f" {_plural(len(final.files), 'file')}", f"{_plural(final.bytes_read, 'byte')} read",
             _plural(final.error_count, "error")]
    if final.restarted:
        parts.append(f"{_plural(final.restarted, 'file')} started over"
                     f" ({_plural(final.earlier_waveforms, 'waveform')} read before)")
    line = ", ".join(parts)
    for f in final.files:
        if f.status.startswith("waiting"):  # never opened: not there yet, or not told apart as WD1 or WD2
            line += f"; {f.label}: nothing read ({f.status})"
        if f.pending:
            arrived = (f"{f.pending:,} of its {_plural(f.declared, 'byte')}" if f.declared is not None
                       else f"{_plural(f.pending, 'byte')} of it")
            line += f"; {f.label}: an event cut at offset {f.bytes_read:,} is pending ({arrived} so far)"
    return line
