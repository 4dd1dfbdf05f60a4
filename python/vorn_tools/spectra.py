"""Histograms of a feature or header column over event files or a run, one series per channel.

A series is the histogram of one channel of one input (a file, or the files
of a run). Without a range given, each series takes its own, from its
channel's first rows in that input, so that a channel of small pulses
beside one of large pulses is neither squeezed into a bin nor lost in the
overflow; what falls outside later is counted in the series' under- and
overflow. A series is filled by the one task of its input only, so deciding
its range there, from the input alone, gives the same histogram whatever
the number of worker processes and whichever worker runs the task.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import parallel
from .blocks import FILE_ERRORS
from .feature_table import FeatureTask, TableOutcome, failure_message, feature_tables
from .histograms import Series, growing_histogram, value_histogram
from .runs import RunError, RunReport

MAX_CHANNELS = 64  # digitizers have fewer; a channel number beyond is refused
# Units of the columns measured on samples, for integer samples and for float ones (WD2, or WD1 with
# --float32), which hold volts or whatever unit the board writes: never ADC counts.
UNITS = {"baseline": "ADC", "baseline_rms": "ADC", "amplitude": "ADC", "charge": "ADC x samples",
         "threshold_time": "samples", "cfd_time": "samples", "peak_index": "samples", "time": "s"}
UNITS.update(dict.fromkeys(["rise_time", "fall_time", "fwhm", "time_over_threshold", "energy_time"], "samples"),
             energy="ADC")
FLOAT_UNITS = {**UNITS, "baseline": "sample units", "baseline_rms": "sample units", "amplitude": "sample units",
               "charge": "sample units x samples", "energy": "sample units"}
PAD = 0.05  # a range taken from the first rows is widened by this fraction on each side


@dataclass(frozen=True)
class Binning:
    """What to histogram and how: `column` of the feature table in `bins` equal bins.

    The bins span `range` for every series, or without it a range of each
    series' own. For `time` the axis grows instead, in bins of `width`
    seconds, from the bin of the series' first event.
    """

    column: str
    bins: int = 100
    range: tuple[float, float] | None = None
    channel: int | None = None  # only this channel's rows
    width: float | None = None  # time only

    def series(self, first: np.ndarray[Any, Any], float_samples: bool) -> Series:
        """An empty series for values whose first are `first` (not empty)."""
        if self.column == "time":
            width = self.width or 1.0
            return Series(growing_histogram(width, math.floor(float(first.min()) / width) * width))
        low, high = self.range if self.range is not None else auto_range(first)
        unit = (FLOAT_UNITS if float_samples else UNITS).get(self.column, "")
        return Series(value_histogram(self.bins, low, high, label=self.column, unit=unit))


def auto_range(values: np.ndarray[Any, Any]) -> tuple[float, float]:
    """The range of `values` widened by PAD on each side; for equal values, a range around them."""
    low, high = float(values.min()), float(values.max())
    pad = (high - low) * PAD or max(abs(low) * PAD, 0.5)
    # Bins are closed below and open above: the largest value must stay below
    # the top edge even where the pad is lost in rounding.
    return min(low - pad, float(np.nextafter(low, -np.inf))), max(high + pad, float(np.nextafter(high, np.inf)))


def _values(rows: dict[str, np.ndarray[Any, Any]], binning: Binning) -> tuple[np.ndarray[Any, Any],
                                                                            np.ndarray[Any, Any]]:
    if binning.column not in rows:
        raise KeyError(binning.column)
    values = rows[binning.column].astype(np.float64)
    channels = rows["channel"]
    # Rows without a value (NaN: no pulse to time, say) stay, to be counted as such.
    keep = np.ones(len(values), dtype=bool)
    if binning.channel is not None:
        keep &= channels == binning.channel
    outside = (channels < 0) | (channels >= MAX_CHANNELS)
    if np.any(outside & keep):
        raise ValueError(f"channel {int(channels[outside][0])} is beyond the {MAX_CHANNELS} a histogram holds")
    return values[keep], channels[keep]


def spectrum(task: FeatureTask, binning: Binning, cancel: str | None = None,
             reports: list[RunReport] | None = None,
             progress: Any = None) -> tuple[dict[int, Series], TableOutcome]:
    """The series of one input, by channel, and the account of its reading; what workers run.

    An error of reading or measuring (BadFile, RunError, the kernel's
    ValueError) ends the series with the rows before it and is kept in the
    outcome's `error`; KeyError, for a column the table does not have, is
    raised. A run's report is appended to `reports`.
    """
    series: dict[int, Series] = {}
    waiting: dict[int, int] = {}  # rows without a value of channels that have no series yet
    float_samples = task.float32
    check = parallel.stopper(cancel)
    outcome = TableOutcome(", ".join(task.paths))
    try:
        for rows in feature_tables(task.paths, task.options, task.run, task.type, task.float32, task.tick,
                                   check=check, reports=reports, ended=outcome.account, progress=progress):
            values, channels = _values(rows, binning)
            # WD1 rows carry board_channel; WD2 samples are floats, as are WD1 samples read with --float32.
            float_samples = task.float32 or "board_channel" not in rows
            for channel in np.unique(channels).tolist():
                mine = values[channels == channel]
                finite = mine[np.isfinite(mine)]
                if channel not in series and finite.size:
                    series[channel] = binning.series(finite, float_samples)
                    series[channel].no_value = waiting.pop(channel, 0)
                if channel in series:
                    series[channel].fill(finite)
                    series[channel].no_value += mine.size - finite.size
                else:
                    waiting[channel] = waiting.get(channel, 0) + mine.size
            entries = rows["entry"]
            outcome.rows += len(entries)
            outcome.events += int(entries[-1] - entries[0]) + 1 if len(entries) else 0
    except (*FILE_ERRORS, RunError, ValueError) as error:
        outcome.error = failure_message(error, task)
    for channel, count in waiting.items():  # channels whose rows all lack a value: shown all the same
        series[channel] = binning.series(np.zeros(1), float_samples)
        series[channel].no_value = count
    return dict(sorted(series.items())), outcome


def in_range(low: float, high: float) -> bool:
    return math.isfinite(low) and math.isfinite(high) and low < high
