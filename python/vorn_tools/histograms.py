"""Histograms of a feature or header column, one per channel, that add exactly.

A histogram is a boost-histogram `Histogram` of two axes: the values (a
regular axis whose `label` and `unit` name them) and the channel (an
integer axis). Counts are integers, so histograms filled from different
files or worker processes add (`h1 + h2`) to exactly the histogram of all
their events, and pickle to travel between processes.

The range of an event-rate histogram (`time_histogram`) is not known before
the last event, so its axis grows; boost-histogram does not add grown axes
of different ranges, which `merge` does for axes of one bin width.

What `vorn hist` draws and writes is a set of `Series`: one-axis
histograms, one per channel of each input, each on a range of its own, so
that a channel of small pulses beside one of large pulses is not squeezed
into a bin or lost in the overflow.
"""

from __future__ import annotations

import csv
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._output_files import atomic_output
from .budget import OverBudget, check
from .outputs import need
from .rates import Rate

__all__ = [
    "MAP_BINS", "PICTURE_BINS", "Series", "TimeBins", "TooManyBins", "check_bins", "fill", "growing_histogram",
    "histogram", "map_histogram", "merge", "round_width", "series_label", "time_histogram", "value_histogram",
    "write_csv", "write_map_csv", "write_map_png", "write_png"
]


# Relative tolerance within which grown axes of one bin width agree: their
# widths differ by a few units in the last place, far below it.
GRID = 1e-9

# What a picture can show. A panel is some 700 pixels wide, so beyond ten
# thousand bins nothing more is seen, while drawing them takes seconds per
# hundred thousand (and minutes, then all the memory, for millions). A colour
# map draws bins squared: a thousand a side.
PICTURE_BINS = 10_000
MAP_BINS = 1_000
# Bins of a time histogram without a width given, as a multiple of those
# asked for: times are counted this finely until the span of the recording
# is known, then added up into bins of a round width.
FINE_BINS = 40


class TooManyBins(OverBudget):
    """More bins than a picture can show; the message names the option that asked for them."""


def check_bins(what: str, bins: float, pairs: bool = False) -> None:
    """Refuse `bins` bins asked for by `what` that this process cannot hold or a picture cannot show.

    Parameters
    ----------
    what : str
        The option and its value, as the refusal names them: ``"--bins 1000000000"``.
    bins : float
        The bins in range (a side, for a colour map); a span over a width may be fractional or infinite.
    pairs : bool
        Bins of a colour map: `bins` squared of them, at most MAP_BINS a side.

    Raises
    ------
    vorn_tools.budget.OverBudget
        Over the memory this process may take (`vorn_tools.budget.check`).
    TooManyBins
        More than PICTURE_BINS (MAP_BINS a side) bins.
    """
    check(what, (bins + 2) ** 2 if pairs else bins + 2)
    most = MAP_BINS if pairs else PICTURE_BINS
    if not bins <= most:
        count = f"{bins:,.0f}" if math.isfinite(bins) else "unbounded"
        raise TooManyBins(f"{what} makes {count} bins{' a side' if pairs else ''}, more than the {most:,} a picture"
                          " shows")


def round_width(span: float, bins: int, least: float = 0.0) -> float:
    """The width of 1, 2 or 5 times a power of ten that cuts `span` into the number of bins nearest `bins`
    (on a log scale), and no less than `least`."""
    if not span > 0:
        return least if least > 0 else 1.0
    ideal = span / bins
    exponent = math.floor(math.log10(ideal))
    candidates = [m * 10.0 ** e for e in (exponent - 1, exponent, exponent + 1) for m in (1, 2, 5)]
    best = min(candidates, key=lambda w: abs(math.log(w / ideal)))
    return max(best, least)


def _bh() -> Any:
    return need("boost_histogram", "hist")


def histogram(bins: int, start: float, stop: float, channels: int = 1, label: str = "", unit: str = "") -> Any:
    """An empty histogram of `bins` equal bins from `start` to `stop`, for `channels` channels.

    Values outside the range are counted in the underflow and overflow bins.

    Parameters
    ----------
    bins : int
        The number of equal bins.
    start, stop : float
        The range of the values axis.
    channels : int
        The channels, 0 to ``channels - 1``, on the second axis.
    label, unit : str
        What the values are and their unit, kept in the axis's metadata.

    Returns
    -------
    boost_histogram.Histogram
        Of integer counts (``Int64`` storage), so that histograms add exactly.

    Raises
    ------
    ImportError
        When boost-histogram is not installed, naming the pip extra that brings it.

    Examples
    --------
    Two channels' values, filled and then added to a second histogram:

    >>> h = histogram(10, 0.0, 100.0, channels=2, label="amplitude", unit="mV")
    >>> h = fill(h, [[5.0, 55.0], [15.0, 250.0], [float("nan"), 95.0]])
    >>> h[:, 0].values().tolist()
    [1, 1, 0, 0, 0, 0, 0, 0, 0, 0]
    >>> total = merge([h, fill(histogram(10, 0.0, 100.0, 2, "amplitude", "mV"), [[5.0, 5.0]])])
    >>> int(total[:, 0].sum()), int(total[:, 1].sum(flow=True))
    (3, 4)
    """
    bh = _bh()
    return bh.Histogram(bh.axis.Regular(bins, start, stop, __dict__={"label": label, "unit": unit}),
                        bh.axis.Integer(0, channels, underflow=False, overflow=False,
                                        __dict__={"label": "channel"}),
                        storage=bh.storage.Int64())


def time_histogram(bin_width: float, channels: int = 1, start: float = 0.0, unit: str = "s") -> Any:
    """An empty histogram of event times in bins of `bin_width`, growing to hold every time from `start`.

    Divide its counts by the bin width for the rate.

    Parameters
    ----------
    bin_width : float
        The width of a bin, in `unit`.
    channels : int
        The channels on the second axis.
    start : float
        The low edge of the first bin.
    unit : str
        The unit of the times.

    Returns
    -------
    boost_histogram.Histogram
        Of integer counts, its time axis growing as times arrive.
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

    Parameters
    ----------
    hist : boost_histogram.Histogram
        A histogram of `histogram` or `time_histogram`.
    values : array_like
        (events,) values of channel 0, or (events, channels).

    Returns
    -------
    boost_histogram.Histogram
        `hist`, filled.

    Raises
    ------
    ValueError
        For values of another shape, or of more channels than `hist` has.
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
    """The sum of histograms, also of grown axes of one bin width but different ranges.

    Axes grown apart compute their bin width from different spans, so widths
    that are not binary fractions (1 ms) differ in the last bit: bins are
    matched by their index from the first histogram's low edge, never by
    equal floats, and the counts, flow bins included, add exactly.

    Parameters
    ----------
    histograms : sequence of boost_histogram.Histogram
        Histograms of one value axis, or of growing axes of one bin width.

    Returns
    -------
    boost_histogram.Histogram
        A new histogram: their sum.

    Raises
    ------
    ValueError
        For no histograms, axes that differ without growing, or grown axes
        whose bins are not of one width or do not line up.
    """
    if not histograms:
        raise ValueError("nothing to merge")
    first = histograms[0]
    value_axes = [h.axes[0] for h in histograms]
    if all(axis == value_axes[0] for axis in value_axes):
        total = first.copy()
        for h in histograms[1:]:
            total += h
        return total
    if not all(axis.traits.growth for axis in value_axes):
        raise ValueError("histograms of different value axes add only when their axes grow")
    width = (float(value_axes[0].edges[-1]) - float(value_axes[0].edges[0])) / len(value_axes[0])
    origin = float(value_axes[0].edges[0])
    starts = []
    for axis in value_axes:
        own = (float(axis.edges[-1]) - float(axis.edges[0])) / len(axis)
        at = (float(axis.edges[0]) - origin) / width
        if not math.isclose(own, width, rel_tol=GRID) or abs(at - round(at)) > GRID * max(1.0, abs(at)):
            raise ValueError("histograms of grown axes add only when their bins are of one width and line up")
        starts.append(round(at))
    low = min(starts)
    bins = max(at + len(axis) for at, axis in zip(starts, value_axes)) - low
    bh = _bh()
    total = bh.Histogram(bh.axis.Regular(bins, origin + low * width, origin + (low + bins) * width, growth=True,
                                         __dict__=dict(first.axes[0].__dict__)),
                         *first.axes[1:], storage=bh.storage.Int64())
    view = total.view(flow=True)
    for h, at in zip(histograms, starts):
        own = h.view(flow=True)
        n = len(h.axes[0])
        view[1 + at - low:1 + at - low + n] += own[1:1 + n]
        view[0] += own[0]
        view[-1] += own[-1]
    return total


def value_histogram(bins: int, start: float, stop: float, label: str = "", unit: str = "") -> Any:
    """An empty histogram of one series: `bins` equal bins from `start` to `stop`, with under- and overflow."""
    bh = _bh()
    return bh.Histogram(bh.axis.Regular(bins, start, stop, __dict__={"label": label, "unit": unit}),
                        storage=bh.storage.Int64())


def growing_histogram(bin_width: float, start: float = 0.0, label: str = "time", unit: str = "s") -> Any:
    """An empty histogram of one series in bins of `bin_width` from `start`, growing to hold every value."""
    bh = _bh()
    return bh.Histogram(bh.axis.Regular(1, start, start + bin_width, growth=True,
                                        __dict__={"label": label, "unit": unit}),
                        storage=bh.storage.Int64())


def map_histogram(bins: int, x: tuple[float, float], y: tuple[float, float], labels: tuple[str, str] = ("", ""),
                  units: tuple[str, str] = ("", "")) -> Any:
    """An empty histogram of (x, y) pairs: `bins` equal bins on each axis, with under- and overflow on both."""
    bh = _bh()
    return bh.Histogram(*(bh.axis.Regular(bins, low, high, __dict__={"label": label, "unit": unit})
                          for (low, high), label, unit in zip((x, y), labels, units)),
                        storage=bh.storage.Int64())


class TimeBins:
    """Times counted in bins of one width, the bins growing to hold every time, before their span is known.

    Without a width given (`exponent`), the width is a power of ten fine
    enough for `bins` round bins over the span, made ten times wider whenever
    the span outgrows `FINE_BINS` times `bins` of it, so that the memory stays
    bounded whatever the span; `histogram` then adds them up into bins of a
    round width. With a width given (`width`), that is the width of the bins,
    and a span that would need more bins than a picture shows is refused
    once it is seen, naming `what`.

    Bins are counted by their index from 0 s, so bins of one width line up
    whichever time came first.
    """

    def __init__(self, bins: int, what: str, width: float | None = None) -> None:
        self.bins = bins
        self.what = what
        self.given = width
        self.exponent: int | None = None  # of the fine width, without a width given
        self.first = 0  # the index of the first bin
        self.counts: NDArray[np.int64] = np.zeros(0, np.int64)

    @property
    def width(self) -> float:
        if self.given is not None:
            return self.given
        assert self.exponent is not None
        return 10.0 ** self.exponent

    def _most(self) -> int:
        return self.bins * FINE_BINS if self.given is None else PICTURE_BINS

    def fill(self, values: NDArray[np.float64]) -> None:
        if not values.size:
            return
        low, high = float(values.min()), float(values.max())
        if self.exponent is None and self.given is None:
            # Finer than a clock ticks is no use, and below 2**-40 of the times an index loses their digits.
            least = max(1e-12, max(abs(low), abs(high)) * 2.0 ** -40, (high - low) / self._most())
            self.exponent = math.ceil(math.log10(least))
        start = min(self.first, math.floor(low / self.width)) if self.counts.size else math.floor(low / self.width)
        stop = max(self.first + self.counts.size, math.floor(high / self.width) + 1) if self.counts.size else \
            math.floor(high / self.width) + 1
        while self.given is None and stop - start > self._most():
            self._coarsen()
            start = min(self.first, math.floor(low / self.width))
            stop = max(self.first + self.counts.size, math.floor(high / self.width) + 1)
        if self.given is not None:
            check_bins(f"{self.what} over the {(stop - start) * self.width:g} s of times read", stop - start)
        grown = np.zeros(stop - start, np.int64)
        grown[self.first - start:self.first - start + self.counts.size] = self.counts
        index = (np.floor(values / self.width) - float(start)).astype(np.int64)
        grown += np.bincount(np.clip(index, 0, stop - start - 1), minlength=stop - start)
        self.first, self.counts = start, grown

    def _coarsen(self) -> None:
        """Ten times wider bins: those of the same tenth of the time line added up."""
        assert self.exponent is not None
        start = self.first // 10
        padded = np.zeros(-(-(self.first + self.counts.size - start * 10) // 10) * 10, np.int64)
        padded[self.first - start * 10:self.first - start * 10 + self.counts.size] = self.counts
        self.first, self.counts, self.exponent = start, padded.reshape(-1, 10).sum(axis=1), self.exponent + 1

    def histogram(self, span: float) -> Any:
        """The counts as a histogram: in round bins, about `bins` over `span` (seconds), or of the width given."""
        width, first, counts = self.width, self.first, self.counts
        if self.given is None and counts.size:
            assert self.exponent is not None
            width = round_width(span, self.bins, 10.0 ** self.exponent)
            factor = max(1, round(width / 10.0 ** self.exponent))
            start = first // factor
            padded = np.zeros(-(-(first + counts.size - start * factor) // factor) * factor, np.int64)
            padded[first - start * factor:first - start * factor + counts.size] = counts
            first, counts = start, padded.reshape(-1, factor).sum(axis=1)
        if not counts.size:
            counts = np.zeros(1, np.int64)
        bh = _bh()
        hist = bh.Histogram(bh.axis.Regular(counts.size, first * width, (first + counts.size) * width, growth=True,
                                            __dict__={"label": "time", "unit": "s"}),
                            storage=bh.storage.Int64())
        hist.view()[:] = counts
        return hist


@dataclass
class Series:
    """The histogram of one channel of one input, and the extremes of the values filled.

    A histogram of times (its axis labelled `time`) is drawn as a rate: each
    bin's count over the time it covers (`cover`), which for the first and
    last bins starts near the first event and ends near the last, not at
    their edges.
    """

    hist: Any  # None while `times` counts
    first: float = math.inf
    last: float = -math.inf
    no_value: int = 0  # rows whose value is not a number (a time where no pulse crossed): counted, not binned
    times: TimeBins | None = None  # times counted before their span is known; `settle` makes them `hist`

    @property
    def rate(self) -> bool:
        return self.times is not None or getattr(self.hist.axes[0], "label", "") == "time"

    def settle(self) -> None:
        """The histogram of the times counted, once they all are."""
        if self.times is not None:
            self.hist = self.times.histogram(self.last - self.first if self.last >= self.first else 0.0)
            self.times = None

    @property
    def unit(self) -> str:
        return "s" if self.times is not None else str(getattr(self.hist.axes[0], "unit", ""))

    @property
    def pairs(self) -> bool:
        return self.hist is not None and bool(self.hist.ndim == 2)

    def fill(self, values: NDArray[np.float64]) -> None:
        """Counts values, or for a histogram of pairs (values, 2) rows."""
        if values.size:
            if self.times is not None:
                self.times.fill(values)
            elif self.pairs:
                self.hist.fill(values[:, 0], values[:, 1])
            else:
                self.hist.fill(values)
            self.first = min(self.first, float(values.min()))
            self.last = max(self.last, float(values.max()))

    def entries(self) -> int:
        return int(self.hist.sum(flow=True))

    def outside(self) -> int:
        """The entries outside the range (of pairs: outside it on either axis)."""
        return self.entries() - int(self.hist.sum(flow=False))

    def flow(self) -> tuple[int, int]:
        """The counts below and above the axis (always 0 for an axis that grows)."""
        view = self.hist.view(flow=True)
        return int(view[0]), int(view[-1])

    def cover(self) -> NDArray[np.float64]:
        """The time each bin covers of the recording.

        Each event stands for the mean interval between events, half before
        and half after it, so the recording covers its first to its last
        event and half an interval beyond each: a regular recording then
        shows its rate in every bin, and a lone event just inside an end bin
        reads as twice the rate at most, never as a spike of one over an
        instant.
        """
        edges = np.asarray(self.hist.axes[0].edges, dtype=np.float64)
        events = self.entries()
        half = (self.last - self.first) / (events - 1) / 2 if events > 1 else 0.0
        start, stop = self.first - half, self.last + half
        covered: NDArray[np.float64] = np.maximum(np.minimum(edges[1:], stop) - np.maximum(edges[:-1], start), 0.0)
        return covered

    def drawable(self) -> bool:
        """Whether a picture shows anything of it: entries, and for a rate some time that its bins cover (one
        event, or events all at one time, have no rate to draw)."""
        return self.entries() > 0 and (not self.rate or bool(np.any(self.cover() > 0)))

    def trigger_rate(self) -> Rate:
        """The rate of the whole series of times (seconds): (N - 1) / T from its first time to its last,
        which is also its N events over the time its bins cover."""
        events = self.entries()
        return Rate(events, self.last - self.first if events else 0.0)

    def heights(self) -> NDArray[np.float64]:
        """What is drawn: counts, or for a rate counts per unit of time (NaN where a bin covers no time)."""
        counts = np.asarray(self.hist.values(), dtype=np.float64)
        if not self.rate:
            return counts
        cover = self.cover()
        return np.divide(counts, cover, out=np.full_like(counts, np.nan), where=cover > 0)


SeriesKey = tuple[str, int]  # (the input's name, the channel)


def series_label(key: SeriesKey, several_inputs: bool) -> str:
    name, channel = key
    # A negative channel holds the values of an expression per event (name@C), of no one channel.
    what = "per event" if channel < 0 else f"channel {channel}"
    return f"{name}, {what}" if several_inputs else what


def _legend(label: str, series: Series) -> str:
    if series.rate:
        return f"{label}: {series.entries():,} events, {series.trigger_rate().text()}"
    under, over = series.flow()
    missing = f", no value {series.no_value:,}" if series.no_value else ""
    return f"{label}: {series.entries():,} entries, underflow {under:,}, overflow {over:,}{missing}"


def _axis_title(series: Sequence[Series], column: str) -> str:
    units = list(dict.fromkeys(s.unit for s in series if s.unit))
    return f"{column} [{', '.join(units)}]" if units else column


def _legend_above(ax: Any) -> None:
    """The legend in a box above the axes, as wide as they are: never over the data, whatever their shape."""
    if ax.get_legend_handles_labels()[0]:
        ax.legend(loc="lower left", bbox_to_anchor=(0.0, 1.02, 1.0, 0.0), mode="expand", borderaxespad=0.0,
                  fontsize="small")


def write_png(series: Mapping[SeriesKey, Series], path: str, column: str, *, log: bool = False,
              panels: bool = False, title: str = "", size: tuple[float, float] = (8.0, 6.0), dpi: int = 100,
              counted: str = "events", format: str = "png") -> None:
    """Draws every series: on one plot, or with `panels` a panel each, on an x axis of its own, in `format`
    (a Matplotlib format name) under exactly the name `path`.

    The legend gives each series' entries and its under- and overflow, so
    that what lies outside the drawn range is still seen; it sits above the
    axes, never over the data. `counted` is what a row stands for (events,
    pulses), named on the count axis.
    """
    from matplotlib.figure import Figure

    keys = list(series)
    several = len({name for name, _ in keys}) > 1
    rows = max(1, len(keys)) if panels else 1
    high = size[1] + 0.25 * len(keys) if not panels else max(size[1], 2.6 * rows)
    figure = Figure(figsize=(size[0], high), dpi=dpi, layout="constrained")
    axes = figure.subplots(rows, 1, squeeze=False)[:, 0]
    rate = any(s.rate for s in series.values())
    for n, key in enumerate(keys):
        one = series[key]
        ax = axes[n if panels else 0]
        ax.stairs(one.heights(), one.hist.axes[0].edges, label=_legend(series_label(key, several), one))
    unit = next((s.unit for s in series.values()), "") or "unit"
    for ax in axes:
        if rate:
            ax.set_ylabel(f"{counted[:-1]} rate [Hz]" if unit == "s" else f"{counted} per {unit}")
        else:
            ax.set_ylabel(f"{counted} per bin")
        if log:
            ax.set_yscale("log")
        _legend_above(ax)
    axes[-1].set_xlabel(_axis_title(list(series.values()), column))
    if title:
        figure.suptitle(title)
    with atomic_output(path) as temporary:
        figure.savefig(temporary, format=format)


def rows(key: SeriesKey, series: Series) -> list[list[Any]]:
    """The CSV rows of one series: input, channel, unit, low and high edge, count, and for a rate the
    seconds the bin covers; under- and overflow as bins of an infinite edge, and the rows without a
    value as a bin of NaN edges, present even when empty. A rate's rows also give the rate of the whole
    series and its error, per second (empty without one)."""
    edges = [float(e) for e in series.hist.axes[0].edges]
    counts = [int(c) for c in series.hist.values()]
    head = [key[0], key[1], series.unit]
    if series.rate:
        whole = series.trigger_rate()
        tail = [whole.per_second, whole.error] if whole.known else ["", ""]
        return [[*head, low, high, count, float(cover), *tail]
                for low, high, count, cover in zip(edges, edges[1:], counts, series.cover())]
    under, over = series.flow()
    return ([[*head, -math.inf, edges[0], under]]
            + [[*head, low, high, count] for low, high, count in zip(edges, edges[1:], counts)]
            + [[*head, edges[-1], math.inf, over], [*head, math.nan, math.nan, series.no_value]])


def write_csv(series: Mapping[SeriesKey, Series], path: str) -> None:
    """Every series' bins as CSV rows, a series after the other, with a header line naming the columns."""
    rate = any(s.rate for s in series.values())
    with atomic_output(path) as temporary, open(temporary, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["input", "channel", "unit", "low", "high", "count",
                         *(["seconds", "rate_hz", "rate_error_hz"] if rate else [])])
        for key, one in series.items():
            writer.writerows(rows(key, one))


def counts(hist: Any) -> NDArray[np.int64]:
    """The counts of the bins in range, (bins, channels)."""
    return np.asarray(hist.values(), dtype=np.int64)


def write_map_png(series: Mapping[SeriesKey, Series], path: str, x: str, y: str, *, log: bool = False,
                  title: str = "", dpi: int = 100, counted: str = "events", format: str = "png") -> None:
    """Draws each series of pairs as a colour map, a panel each (each has ranges of its own), the count
    of each bin in colour, on a logarithmic scale with `log`; each panel's title gives its entries, those
    outside its ranges and those without a value."""
    from matplotlib.colors import LogNorm
    from matplotlib.figure import Figure

    keys = list(series)
    several = len({name for name, _ in keys}) > 1
    rows = max(1, len(keys))
    figure = Figure(figsize=(8.0, max(6.0, 4.5 * rows)), dpi=dpi, layout="constrained")
    axes = figure.subplots(rows, 1, squeeze=False)[:, 0]
    for ax, key in zip(axes, keys):
        one = series[key]
        counts = np.asarray(one.hist.values(), dtype=np.float64).T
        shown = np.ma.masked_less_equal(counts, 0) if log else counts
        norm = LogNorm(vmin=1, vmax=max(1.0, float(counts.max()))) if log else None
        mesh = ax.pcolormesh(one.hist.axes[0].edges, one.hist.axes[1].edges, shown, norm=norm, cmap="viridis")
        figure.colorbar(mesh, ax=ax, label=f"{counted} per bin")
        missing = f", no value {one.no_value:,}" if one.no_value else ""
        ax.set_title(f"{series_label(key, several)}: {one.entries():,} entries, outside {one.outside():,}{missing}",
                     fontsize="small")
        ax.set_xlabel(_pair_title(one, 0, x))
        ax.set_ylabel(_pair_title(one, 1, y))
    if title:
        figure.suptitle(title)
    with atomic_output(path) as temporary:
        figure.savefig(temporary, format=format)


def _pair_title(series: Series, axis: int, text: str) -> str:
    unit = str(getattr(series.hist.axes[axis], "unit", ""))
    return f"{text} [{unit}]" if unit else text


def map_rows(key: SeriesKey, series: Series) -> list[list[Any]]:
    """The CSV rows of one series of pairs: input, channel, the two units, the x and y edges and the count
    of every bin, under- and overflow bins included (of infinite edges), and the rows without a value as
    a bin of NaN edges."""
    x, y = (np.concatenate([[-math.inf], np.asarray(axis.edges, dtype=np.float64), [math.inf]])
            for axis in series.hist.axes)
    counts = series.hist.view(flow=True)
    head = [key[0], key[1], *(str(getattr(axis, "unit", "")) for axis in series.hist.axes)]
    return ([[*head, float(x[i]), float(x[i + 1]), float(y[j]), float(y[j + 1]), int(counts[i, j])]
             for i in range(len(x) - 1) for j in range(len(y) - 1)]
            + [[*head, math.nan, math.nan, math.nan, math.nan, series.no_value]])


def write_map_csv(series: Mapping[SeriesKey, Series], path: str) -> None:
    """Every series of pairs' bins as CSV rows, with a header line naming the columns."""
    with atomic_output(path) as temporary, open(temporary, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["input", "channel", "x_unit", "y_unit", "x_low", "x_high", "y_low", "y_high", "count"])
        for key, one in series.items():
            writer.writerows(map_rows(key, one))
