"""Histograms of a feature or header column over event files or a run, one per channel.

Every histogram has `MAX_CHANNELS` channel bins, whatever the input, so that
histograms of different files, filled in different processes, add exactly;
drawing and CSV output leave out the channels without entries.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import parallel, signals
from .feature_table import FeatureTask, feature_tables
from .histograms import histogram, time_histogram

MAX_CHANNELS = 64  # digitizers have fewer; a channel number beyond is refused
UNITS = {"baseline": "ADC", "baseline_rms": "ADC", "amplitude": "ADC", "charge": "ADC x samples",
         "threshold_time": "samples", "cfd_time": "samples", "peak_index": "samples", "time": "s"}
UNITS.update(dict.fromkeys(["rise_time", "fall_time", "fwhm", "time_over_threshold", "energy_time"], "samples"), energy="ADC")


@dataclass(frozen=True)
class Binning:
    """What to histogram and how: `column` of the feature table, equal bins from `low` to `high`.

    For `time` the axis grows instead, in bins of `width` seconds from 0.
    """

    column: str
    bins: int = 100
    low: float = 0.0
    high: float = 1.0
    channel: int | None = None  # only this channel's rows
    width: float | None = None  # time only

    def empty(self) -> Any:
        if self.column == "time":
            return time_histogram(self.width or 1.0, MAX_CHANNELS)
        return histogram(self.bins, self.low, self.high, MAX_CHANNELS, label=self.column,
                         unit=UNITS.get(self.column, ""))


def _values(rows: dict[str, np.ndarray[Any, Any]], binning: Binning) -> tuple[np.ndarray[Any, Any],
                                                                            np.ndarray[Any, Any]]:
    if binning.column not in rows:
        raise KeyError(binning.column)
    values = rows[binning.column].astype(np.float64)
    channels = rows["channel"]
    keep = np.isfinite(values)
    if binning.channel is not None:
        keep &= channels == binning.channel
    outside = (channels < 0) | (channels >= MAX_CHANNELS)
    if np.any(outside & keep):
        raise ValueError(f"channel {int(channels[outside][0])} is beyond the {MAX_CHANNELS} a histogram holds")
    return values[keep], channels[keep]


def spectrum(task: FeatureTask, binning: Binning, cancel: str | None = None) -> Any:
    """The histogram of one input; what worker processes and Dask workers run.

    Errors of reading and measuring are raised (BadFile, RunError, the
    kernel's ValueError); KeyError for a column the table does not have.
    """
    hist = binning.empty()
    check = parallel.stopper(cancel)
    for rows in feature_tables(task.paths, task.options, task.run, task.type, task.float32, task.tick, check=check):
        values, channels = _values(rows, binning)
        hist.fill(values, channels)
    return hist


def first_range(task: FeatureTask, binning: Binning) -> tuple[float, float]:
    """A range for the histogram taken from the first block of rows, for a run without --range.

    Taken once, before the inputs are shared out, so that every worker bins
    alike and their histograms add.
    """
    for rows in feature_tables(task.paths, task.options, task.run, task.type, task.float32, task.tick,
                               check=signals.check):
        values, _ = _values(rows, binning)
        if values.size:
            low, high = float(values.min()), float(values.max())
            pad = (high - low) * 0.05 or max(abs(low) * 0.05, 0.5)
            return low - pad, high + pad
    return 0.0, 1.0


def in_range(low: float, high: float) -> bool:
    return math.isfinite(low) and math.isfinite(high) and low < high
