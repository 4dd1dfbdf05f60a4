"""The bounded tallies behind the monitor's page: rings of the last values, histograms that choose
their range from their first values, counter gaps, trigger rates, coincidences and fitted gains.

Each holds a fixed amount whatever the run's length; none of them locks: the monitor's state holds
its lock while it fills them.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .. import histograms

__all__ = ["BINS", "ChannelHistogram", "Coincidence", "CoincidenceView", "CounterGaps", "ERRORS_KEPT", "FILL_VALUES",
           "FitSettings", "GAINS_KEPT", "GainHistory", "GainView", "HistogramView", "PENDING", "POINTS",
           "RATE_INTERVAL", "RATE_POINTS", "Ring", "TriggerRate", "WARMUP", "WAVEFORMS", "padded_range"]

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
        self.failed = 0  # fits that were not valid, or could not start
        self.note = ""  # why the last fit gave no gain; empty when it gave one
        self.chi2_ndf = math.nan  # of the last valid fit
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
