"""What the monitor's state keeps of each file and channel, and the frozen views a snapshot hands to
the page: plain records, copied under the state's lock and read without it.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ..rates import Rate, RateCounter
from .tallies import (POINTS, ChannelHistogram, CoincidenceView, CounterGaps, FitSettings, GainHistory, GainView,
                      HistogramView, Ring)

__all__ = ["Channel", "ChannelView", "FileStatus", "FileView", "PulseCount", "PulseSettings", "PulseView", "RateView",
           "Snapshot", "UNITS", "decimate", "triggers_of"]

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
