"""Histograms of a feature or header column, one per channel, that add exactly.

A histogram is a boost-histogram `Histogram` of two axes: the values (a
regular axis whose `label` and `unit` name them) and the channel (an
integer axis). Counts are integers, so histograms filled from different
files or worker processes add (`h1 + h2`) to exactly the histogram of all
their events, and pickle to travel between processes.

The range of an event-rate histogram (`time_histogram`) is not known before
the last event, so its axis grows; boost-histogram does not add grown axes
of different ranges, which `merge` does for axes of one bin width.
"""

from __future__ import annotations

import csv
import math
import os
from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .output_files import temporary_beside
from .outputs import need


def _bh() -> Any:
    return need("boost_histogram", "hist")


def histogram(bins: int, start: float, stop: float, channels: int = 1, label: str = "", unit: str = "") -> Any:
    """An empty histogram of `bins` equal bins from `start` to `stop`, for `channels` channels.

    Values outside the range are counted in the underflow and overflow bins.
    """
    bh = _bh()
    return bh.Histogram(bh.axis.Regular(bins, start, stop, __dict__={"label": label, "unit": unit}),
                        bh.axis.Integer(0, channels, underflow=False, overflow=False,
                                        __dict__={"label": "channel"}),
                        storage=bh.storage.Int64())


def time_histogram(bin_width: float, channels: int = 1, start: float = 0.0, unit: str = "s") -> Any:
    """An empty histogram of event times in bins of `bin_width`, growing to hold every time from `start`.

    Divide its counts by the bin width for the rate.
    """
    bh = _bh()
    return bh.Histogram(bh.axis.Regular(1, start, start + bin_width, growth=True,
                                        __dict__={"label": "time", "unit": unit}),
                        bh.axis.Integer(0, channels, underflow=False, overflow=False,
                                        __dict__={"label": "channel"}),
                        storage=bh.storage.Int64())


def fill(hist: Any, values: ArrayLike) -> Any:
    """Counts `values` into `hist` and returns it.

    `values` is (events,) for one channel or (events, channels), as the
    per-channel features and the run's header columns are; NaN values are
    not counted.
    """
    array = np.asarray(values, dtype=np.float64)
    if array.ndim == 1:
        array = array[:, None]
    if array.ndim != 2:
        raise ValueError(f"values must be (events,) or (events, channels), not of shape {array.shape}")
    channels = len(hist.axes[1])
    if array.shape[1] > channels:
        raise ValueError(f"values of {array.shape[1]} channels for a histogram of {channels}")
    channel = np.broadcast_to(np.arange(array.shape[1]), array.shape)
    keep = ~np.isnan(array)
    hist.fill(array[keep], channel[keep])
    return hist


def merge(histograms: Sequence[Any]) -> Any:
    """The sum of histograms, also of grown time axes of one bin width and start but different ranges."""
    if not histograms:
        raise ValueError("nothing to merge")
    first = histograms[0]
    value_axes = [h.axes[0] for h in histograms]
    if all(axis == value_axes[0] for axis in value_axes):
        total = first.copy()
        for h in histograms[1:]:
            total += h
        return total
    widths = {float(axis.widths[0]) for axis in value_axes}
    if len(widths) != 1 or not all(axis.traits.growth for axis in value_axes):
        raise ValueError("histograms of different value axes add only when their axes grow in bins of one width")
    width = widths.pop()
    low = min(float(axis.edges[0]) for axis in value_axes)
    high = max(float(axis.edges[-1]) for axis in value_axes)
    bins = int(round((high - low) / width))
    bh = _bh()
    total = bh.Histogram(bh.axis.Regular(bins, low, low + bins * width, growth=True,
                                         __dict__=dict(first.axes[0].__dict__)),
                         first.axes[1], storage=bh.storage.Int64())
    view = total.view(flow=True)
    for h in histograms:
        at = int(round((float(h.axes[0].edges[0]) - low) / width))
        # Grown axes keep their flow bins empty; the bins in range line up.
        view[1 + at:1 + at + len(h.axes[0])] += h.view()
    return total


def _axis_title(axis: Any) -> str:
    label = getattr(axis, "label", "") or "value"
    unit = getattr(axis, "unit", "")
    return f"{label} [{unit}]" if unit else label


def write_png(hist: Any, path: str, *, log: bool = False, panels: bool = False, title: str = "",
              size: tuple[float, float] = (8.0, 6.0), dpi: int = 100) -> None:
    """Draws `hist` to a PNG: a line per channel, or with `panels` a panel per channel."""
    from matplotlib.figure import Figure

    edges = hist.axes[0].edges
    counts = hist.values()
    channels = filled_channels(hist)
    rows = max(1, len(channels)) if panels else 1
    figure = Figure(figsize=(size[0], size[1] if not panels else max(size[1], 2.0 * rows)), dpi=dpi)
    axes = figure.subplots(rows, 1, sharex=True, squeeze=False)[:, 0]
    # A histogram of times is a rate: its counts over the bin width.
    rate = getattr(hist.axes[0], "label", "") == "time"
    for n, c in enumerate(channels):
        ax = axes[n if panels else 0]
        ax.stairs(counts[:, c] / np.diff(edges) if rate else counts[:, c], edges, label=f"channel {c}")
        if panels:
            ax.set_title(f"channel {c}", fontsize="small")
    for ax in axes:
        ax.set_ylabel(f"events per {getattr(hist.axes[0], 'unit', '') or 'unit'}" if rate else "events per bin")
        if log:
            ax.set_yscale("log")
    axes[-1].set_xlabel(_axis_title(hist.axes[0]))
    if not panels and len(channels) > 1:
        axes[0].legend()
    if title:
        figure.suptitle(title)
    figure.tight_layout()
    temporary = temporary_beside(path)
    try:
        figure.savefig(temporary, format="png")
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def filled_channels(hist: Any) -> list[int]:
    """The channels that counted something, under- and overflow included; channel 0 when none did."""
    counts = hist.values(flow=True)
    return [c for c in range(counts.shape[1]) if counts[:, c].any()] or [0]


def rows(hist: Any) -> list[list[float]]:
    """The CSV's rows: low edge, high edge, a count per filled channel; under- and overflow as infinite edges."""
    axis = hist.axes[0]
    counts = hist.values(flow=True)[:, filled_channels(hist)]
    edges = [float(e) for e in axis.edges]
    lows, highs = edges[:-1], edges[1:]
    if axis.traits.underflow:
        lows, highs = [-math.inf] + lows, [edges[0]] + highs
    if axis.traits.overflow:
        lows, highs = lows + [edges[-1]], highs + [math.inf]
    return [[low, high, *map(int, counts[i])] for i, (low, high) in enumerate(zip(lows, highs))]


def write_csv(hist: Any, path: str) -> None:
    """Bin edges and counts per channel as CSV, with a header line naming the columns."""
    channels = filled_channels(hist)
    title = _axis_title(hist.axes[0])
    temporary = temporary_beside(path)
    try:
        with open(temporary, "w", newline="") as out:
            writer = csv.writer(out)
            writer.writerow([f"low {title}", f"high {title}", *(f"channel {c}" for c in channels)])
            writer.writerows(rows(hist))
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def counts(hist: Any) -> NDArray[np.int64]:
    """The counts of the bins in range, (bins, channels)."""
    return np.asarray(hist.values(), dtype=np.int64)
