"""The noise spectrum of each channel: the power spectral density of its baselines, averaged over events.

Each waveform gives one window of noise: its baseline window ``[b0, b1)``
clipped to the waveform, or with ``whole`` the whole waveform when the
pulse finder (`vorn_tools.pulses.find_pulses`) finds no pulse in it. The
density of a window of n samples is `scipy.signal.welch` of it, one-sided,
``scaling="density"``, ``detrend="constant"``, with a single boxcar segment
of all n samples: frequencies ``k / n`` cycles per sample, ``k = 0 .. n//2``.
One segment of the whole window keeps Parseval exact: the spectrum's
integral, ``sum(density) / n``, is the window's population variance about
its mean; averaged over events, that of the mean variance. Overlapping
tapered segments would trade that for less leakage, and a window of 64
samples has little to spare.

A channel's windows must all have the length of its first one: a waveform
whose window is shorter (a shorter event) is left out and counted, as is,
with ``whole``, a waveform with a pulse.

Lines
    A line is a local maximum of the spectrum at least ``factor`` (10)
    times its local median (over ``8 * width + 1`` bins, the median being
    blind to the line itself), away from 0 and from a stronger line. Its
    power is the integral of the spectrum above that median over ``width``
    bins either side of it, where the leakage of a boxcar window puts all but
    about ``2 / (pi**2 * width)`` of a sine's power: ``A**2 / 2`` for a sine
    of amplitude A.

Sizes: the sums of a channel hold ``n // 2 + 1`` floats; the densities of a
block of waveforms are computed at once, as large as the block's samples.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import sizes
from .features import FeatureOptions
from .pulses import PulseOptions, find_pulses

__all__ = ["Line", "NoiseSpectrum", "band_power", "density", "lines", "noise_spectrum"]

LINE_FACTOR = 10.0  # how far above the local median a line stands
MOST_LINES = 5
LINE_WIDTH = 32  # bins either side of a line that its power takes in, at most


def density(windows: ArrayLike) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The one-sided power spectral density of each row of `windows`, in units of the samples squared per cycle
    per sample.

    Parameters
    ----------
    windows : array_like
        (rows, n) samples, n >= 2.

    Returns
    -------
    frequencies : numpy.ndarray
        ``k / n`` cycles per sample, ``k = 0 .. n // 2``.
    densities : numpy.ndarray
        (rows, n // 2 + 1): the density of each row; ``densities.sum(axis=1) / n`` is each row's population
        variance.

    Examples
    --------
    >>> import numpy as np
    >>> x = np.array([[1.0, -1.0, 1.0, -1.0], [0.0, 1.0, 2.0, 3.0]])
    >>> f, p = density(x)
    >>> f.tolist()
    [0.0, 0.25, 0.5]
    >>> (p.sum(axis=1) / 4).tolist(), x.var(axis=1).tolist()
    ([1.0, 1.25], [1.0, 1.25])
    """
    from scipy.signal import welch

    rows = np.asarray(windows, dtype=np.float64)
    if rows.ndim != 2 or rows.shape[1] < 2:
        raise ValueError(f"windows must be (rows, n) with n >= 2, not of shape {rows.shape}")
    n = rows.shape[1]
    frequencies, found = welch(rows, fs=1.0, window="boxcar", nperseg=n, noverlap=0, detrend="constant",
                               return_onesided=True, scaling="density", axis=-1)
    return np.asarray(frequencies, np.float64), np.asarray(found, np.float64)


@dataclass
class NoiseSpectrum:
    """Sums of the densities of each channel's windows, and what was left out.

    Channels are keys ``(source, channel)``: the file (or "run") and the
    channel number, a WD1 file's board channel.
    """

    sums: dict[tuple[str, int], NDArray[np.float64]] = field(default_factory=dict)
    windows: dict[tuple[str, int], int] = field(default_factory=dict)
    variances: dict[tuple[str, int], float] = field(default_factory=dict)  # summed, to check Parseval against
    other_length: dict[tuple[str, int], int] = field(default_factory=dict)
    with_pulses: dict[tuple[str, int], int] = field(default_factory=dict)
    lengths: dict[tuple[str, int], int] = field(default_factory=dict)
    events: int = 0

    def add(self, key: tuple[str, int], windows: NDArray[Any]) -> None:
        """The windows (rows) of one channel; rows of another length than its first ones are left out."""
        if not len(windows):
            return
        n = windows.shape[1]
        if n < 2 or self.lengths.get(key, n) != n:
            self.other_length[key] = self.other_length.get(key, 0) + len(windows)
            return
        _, found = density(windows)
        self.sums[key] = self.sums.get(key, 0.0) + found.sum(axis=0)
        self.windows[key] = self.windows.get(key, 0) + len(windows)
        self.variances[key] = self.variances.get(key, 0.0) + float(windows.astype(np.float64).var(axis=1).sum())
        self.lengths[key] = n

    def result(self, key: tuple[str, int]) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Frequencies (cycles per sample) and the mean density of a channel's windows."""
        n = self.lengths[key]
        return np.arange(n // 2 + 1) / n, self.sums[key] / self.windows[key]

    def variance(self, key: tuple[str, int]) -> float:
        """The mean population variance of a channel's windows."""
        return self.variances[key] / self.windows[key]


class Line(NamedTuple):
    """A line of a spectrum: its frequency, its density there, and its power (the integral of the line)."""

    frequency: float
    density: float
    power: float


def _floor(psd: NDArray[np.float64], width: int) -> NDArray[np.float64]:
    from scipy.ndimage import median_filter

    # Without the bin at 0, which the removed mean leaves empty, and mirrored at the ends rather than padded
    # with the end bins: either would pull the median at the low end towards nothing.
    found = np.asarray(median_filter(psd[1:], size=8 * width + 1, mode="mirror"), np.float64)
    return np.concatenate([found[:1], found])


def _width(bins: int) -> int:
    return max(1, min(LINE_WIDTH, bins // 16))


def lines(frequencies: ArrayLike, psd: ArrayLike, factor: float = LINE_FACTOR, most: int = MOST_LINES
          ) -> list[Line]:
    """The largest lines of a spectrum, strongest first (see the module).

    Parameters
    ----------
    frequencies : array_like
        Equally spaced, from 0.
    psd : array_like
        The density at each frequency.
    factor : float
        How many times its local median a line's density must be.
    most : int
        At most this many lines.

    Returns
    -------
    list of Line

    Examples
    --------
    A sine of amplitude 2 at 0.125 cycles per sample on a little noise:

    >>> import numpy as np
    >>> x = 2 * np.sin(2 * np.pi * 0.125 * np.arange(256)) + np.random.default_rng(1).normal(0, 0.1, 256)
    >>> f, p = density(x[np.newaxis])
    >>> [(line.frequency, round(line.power, 1)) for line in lines(f, p[0])]
    [(0.125, 2.0)]
    """
    f = np.asarray(frequencies, np.float64)
    p = np.asarray(psd, np.float64)
    if len(p) < 3:
        return []
    step = f[1] - f[0]
    width = _width(len(p))
    floor = _floor(p, width)
    inner = np.arange(1, len(p))
    right = np.append(p[2:], -np.inf)
    peaks = inner[(p[1:] >= p[:-1]) & (p[1:] > right) & (p[1:] > factor * floor[1:])]
    chosen: list[int] = []
    for peak in peaks[np.argsort(-p[peaks], kind="stable")].tolist():
        if len(chosen) == most:
            break
        if all(abs(peak - other) > width for other in chosen):
            chosen.append(peak)
    found = []
    for peak in chosen:
        span = slice(max(1, peak - width), peak + width + 1)
        found.append(Line(float(f[peak]), float(p[peak]), float(np.sum(p[span] - floor[span]) * step)))
    return found


def band_power(frequencies: ArrayLike, psd: ArrayLike, low: float = 0.0, high: float = np.inf) -> float:
    """The integral of the density over the bins of frequencies in ``[low, high]``: the whole spectrum's is the
    variance (its square root the RMS).

    Examples
    --------
    >>> band_power([0.0, 0.25, 0.5], [0.0, 2.0, 2.0], 0.2, 0.3)
    0.5
    """
    f = np.asarray(frequencies, np.float64)
    p = np.asarray(psd, np.float64)
    step = f[1] - f[0] if len(f) > 1 else 1.0
    inside = (f >= low) & (f <= high)
    return float(p[inside].sum() * step)


def noise_spectrum(paths: Sequence[str], baseline: tuple[int, int] = (0, 64), whole: bool = False,
                   pulses: PulseOptions | None = None, run: bool = False, type: str = "auto", float32: bool = False,
                   outcome: Any = None, step_size: int | str = sizes.ITERATE_STEP) -> NoiseSpectrum:
    """The noise spectrum of each channel of event files, or of a run's files (`run`).

    Parameters
    ----------
    paths : sequence of str
        Event files, or the files (or folder) of one run.
    baseline : tuple of int
        The window ``[b0, b1)``, clipped to each waveform; with `whole`, the pulse finder's baseline.
    whole : bool
        Whole waveforms without pulses instead of baseline windows.
    pulses : PulseOptions, optional
        How pulses are found with `whole`; its baseline is `baseline`. Its polarity "auto" is decided per
        channel of each file from its first events.
    run, type, float32, step_size
        As `vorn_tools.reading.iterate_files` and `vorn_tools.runs.open_run` take them.
    outcome : feature_table.TableOutcome, optional
        Receives the events read, how each file ended and a run's report.

    Returns
    -------
    NoiseSpectrum
    """
    from dataclasses import replace

    from ._rows import block_rows, row_polarity
    from .runs import event_blocks

    finder = replace(pulses or PulseOptions(), baseline=baseline)
    blocks = event_blocks(paths, run, step_size, type, float32, outcome)
    found = NoiseSpectrum()
    decided: dict[str, dict[int, int]] = {}
    for block in blocks:
        source = "run" if run else block.path
        rows, offsets, _, row_channel = block_rows(block, run)
        found.events += block.events
        if outcome is not None:
            outcome.events += block.events
            outcome.rows += len(row_channel)
        keep = np.ones(len(row_channel), dtype=bool)
        if whole and len(row_channel):
            signs = None
            if finder.polarity == "auto":
                signs = row_polarity(rows, FeatureOptions(baseline=baseline), offsets, row_channel,
                                     decided.setdefault(source, {}))
            hits = find_pulses(rows, replace(finder, polarity="negative") if signs is not None else finder,
                               offsets, signs)["row"]
            keep[hits] = False
            for channel, count in zip(*np.unique(row_channel[~keep], return_counts=True)):
                key = (source, int(channel))
                found.with_pulses[key] = found.with_pulses.get(key, 0) + int(count)
        for length, members in _by_length(rows, offsets):
            low, high = (0, length) if whole else (min(baseline[0], length), min(baseline[1], length))
            members = members[keep[members]]
            for channel in np.unique(row_channel[members]).tolist():
                mine = members[row_channel[members] == channel]
                found.add((source, channel), _windows(rows, offsets, mine, low, high))
    return found


def _by_length(rows: NDArray[Any], offsets: NDArray[Any] | None) -> list[tuple[int, NDArray[np.int64]]]:
    """The rows of each length: all of them for uniform rows."""
    if offsets is None:
        return [(rows.shape[1], np.arange(len(rows)))]
    lengths = np.diff(offsets.astype(np.int64))
    return [(int(n), np.flatnonzero(lengths == n)) for n in np.unique(lengths).tolist()]


def _windows(rows: NDArray[Any], offsets: NDArray[Any] | None, members: NDArray[np.int64], low: int,
             high: int) -> NDArray[np.float64]:
    if offsets is None:
        return np.asarray(rows[members, low:high], np.float64)
    starts = offsets[members].astype(np.int64) + low
    return np.asarray(rows[starts[:, None] + np.arange(high - low)], np.float64)
