"""Every pulse of digitizer waveforms, found natively: dark counts, afterpulses, pile-up.

For a waveform x[0, n) with baseline b and polarity p, everything is a
function of y[i] = p * (x[i] - b), in float64. The baseline is measured as
`vorn_tools.features` measures it: b and ``rms`` are the mean and population
standard deviation of x over the baseline window ``[b0, b1)`` clipped to the
waveform. The polarity is given (``"negative"`` by default, the usual
photodetector pulse), or with ``"auto"`` decided per channel as
`vorn_tools.features.decide_polarity` decides it from the channel's first
events, never per waveform: a waveform of noise alone would pick one at
random, and find the noise's excursions of that sign.

Levels
    The threshold T is the absolute ``threshold`` or ``threshold_rms * rms``;
    the re-arm level R = T - H, with H the absolute ``hysteresis`` or
    ``hysteresis_rms * rms``, and without either H = T: R = 0, the baseline.
    A re-arm level above the baseline lets the noise on a pulse's decaying
    tail dip below R and climb back over T, a second pulse that is not
    there. Measured on generated pulses (see the README), re-arming 1 RMS
    below a threshold of 5 RMS counted 13 to 45 % more pulses than there
    were for decays of 6 to 12 samples, re-arming at the baseline under
    0.5 % (and about 2 % for a decay of 50 samples, whose tail lingers in
    the noise). A waveform without noise that comes back exactly to its
    baseline never falls below it: give it a hysteresis.
Finding
    The scan starts armed. While armed, a crossing is the first i >= 1 with
    ``y[i-1] < T <= y[i]``, and it disarms the scan; the first e after it with
    ``y[e] < R`` re-arms it and ends the crossing (e = n when nothing falls
    below R). Noise around T therefore gives one pulse unless it dips below
    R. A crossing less than ``separation`` samples (by index) after the
    current pulse's first crossing belongs to that pulse, which then ends
    where that crossing ends. A pulse spans ``[i, e)``: i its first
    crossing, e the end of its last.
Slope trigger
    For pulses on the tails of others, with ``slope=S`` (> 0) over
    ``slope_span=L`` samples: with d[k] = y[k] - y[k-L], inside a pulse's span
    the trigger arms at the first k > i (k >= L) with ``d[k] <= 0`` (the
    pulse stopped rising), and the first later k with ``d[k] >= S`` splits
    the pulse: it ends at k, and another starts at k. The trigger then waits
    to arm again. A split less than ``separation`` after the open pulse's
    first index is passed over. Off by default.

Per pulse (times in samples from the waveform's first sample):

``start_time``
    ``(i-1) + (T - y[i-1]) / (y[i] - y[i-1])``; for a pulse the slope
    trigger starts, ``(k-1) + (S - d[k-1]) / (d[k] - d[k-1])``.
``peak_index``, ``amplitude``
    The first index of the maximum of y over ``[i, e)``, and that maximum.
``charge``
    The sum of y over ``[i - a, e + c)`` clipped to the waveform, for
    ``charge=(a, c)``. Windows of close pulses may overlap.
``fwhm``
    With L = amplitude / 2: ``t2 - t1``, t1 interpolated as
    ``j + (L - y[j]) / (y[j+1] - y[j])`` at the last j in ``[e', peak)`` with
    ``y[j] < L`` (e' the end of the waveform's previous pulse, 0 for the
    first), t2 as ``(k-1) + (y[k-1] - L) / (y[k-1] - y[k])`` at the first
    k > peak with ``y[k] < L``. NaN when either is missing or the amplitude
    is not positive.
``time_over_threshold``
    ``m + (y[m] - T) / (y[m] - y[m+1]) - start_time`` for m the last index in
    ``[i, e)`` with ``y[m] >= T``; NaN when the pulse is still above T at the
    waveform's end, when no sample of it reaches T, or when the slope
    trigger ends it.
``delay``
    The start time minus the previous pulse's in the same waveform; NaN for
    a waveform's first pulse (the afterpulse delay distribution).

A waveform whose clipped baseline window is empty, or whose baseline is not
finite, has no pulses. NaN samples never start or end a pulse; no other
promise is made about them.

Memory: the kernel appends the pulses it finds to a native array, 64 bytes
a pulse, while the GIL is released: room for one pulse a waveform is made at
once, and more by doubling (up to twice the size while it grows). It then
copies them once into the returned columns (68 bytes a pulse with
``delay``) and frees the array. What a call holds grows with the waveforms
and the pulses found, never with the samples of a waveform.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Literal

import numpy as np
import numpy.typing as npt

from ._features import find_pulses as native_find_pulses
from .features import FeatureOptions, Rows, as_rows, decide_polarity

__all__ = ["PULSES", "PulseOptions", "find_pulses"]

#: The columns find_pulses() returns, with their dtypes, in order.
PULSES: dict[str, type[np.generic]] = {
    "row": np.int64,
    "pulse": np.int32,
    "start_time": np.float64,
    "peak_index": np.int64,
    "amplitude": np.float64,
    "charge": np.float64,
    "fwhm": np.float64,
    "time_over_threshold": np.float64,
    "delay": np.float64,
}

_POLARITY = {"positive": 1, "negative": -1}


@dataclass(frozen=True)
class PulseOptions:
    """How find_pulses() finds and measures pulses; see the module for definitions.

    ``threshold`` and ``hysteresis`` are absolute (in ADC counts above the
    baseline); without them they are ``threshold_rms`` and ``hysteresis_rms``
    times the baseline's RMS. Without either hysteresis it is the threshold
    itself: a pulse ends, and the finder re-arms, below the baseline. ``charge`` is the number of samples before a
    pulse's first crossing and after its end that its charge takes in.
    ``polarity="auto"`` is decided per channel (see `find_pulses`).

    Parameters
    ----------
    baseline : tuple of int
        The baseline window ``[b0, b1)`` in samples, clipped to each waveform.
    polarity : {"negative", "positive", "auto"}
        The sign of the pulses.
    threshold, threshold_rms : float
        The threshold T: absolute, or (when ``threshold`` is None) in baseline RMS.
    hysteresis, hysteresis_rms : float or None
        H, below T, where a pulse ends and the finder re-arms: absolute, or in baseline RMS;
        T when both are None (the default), re-arming at the baseline.
    separation : int
        Crossings closer than this (in samples) to a pulse's first one belong to it.
    charge : tuple of int
        Samples before the first crossing and after the end that the charge takes in.
    slope : float or None
        The slope trigger's level S (off when None), over ``slope_span`` samples.
    slope_span : int
        L, the samples over which the slope trigger measures a rise.

    Raises
    ------
    ValueError
        For an unknown polarity, a negative hysteresis, separation or charge
        window, or a slope trigger without a positive level and span.
    """

    baseline: tuple[int, int] = (0, 64)
    polarity: Literal["auto", "positive", "negative"] = "negative"
    threshold: float | None = None
    threshold_rms: float = 5.0
    hysteresis: float | None = None
    hysteresis_rms: float | None = None
    separation: int = 0
    charge: tuple[int, int] = (5, 10)
    slope: float | None = None
    slope_span: int = 4

    def __post_init__(self) -> None:
        if self.polarity not in (*_POLARITY, "auto"):
            raise ValueError(f"polarity must be 'auto', 'positive' or 'negative', not {self.polarity!r}")
        hysteresis = self.hysteresis if self.hysteresis is not None else self.hysteresis_rms
        if hysteresis is not None and not hysteresis >= 0:
            raise ValueError(f"the hysteresis must not be negative, not {hysteresis}")
        if self.separation < 0 or min(self.charge) < 0:
            raise ValueError("the separation and the charge window's samples must not be negative")
        if self.slope is not None and not (self.slope > 0 and self.slope_span >= 1):
            raise ValueError(f"the slope trigger needs a level above 0 and a span of at least 1 sample,"
                             f" not {self.slope} over {self.slope_span}")


def find_pulses(data: npt.ArrayLike, options: PulseOptions | None = None,
                offsets: npt.ArrayLike | None = None,
                polarity: npt.ArrayLike | Mapping[int, int] | None = None) -> dict[str, np.ndarray]:
    """Every pulse of every waveform in ``data``, as a flat table of columns.

    ``data`` holds uint16 or float32 samples: (rows, samples), or (events,
    channels, samples) whose rows are numbered ``event * channels +
    channel``. With ``offsets`` (rows + 1 non-decreasing uint64 entries),
    ``data`` is flat and row r is ``data[offsets[r]:offsets[r+1]]``. The
    table has one entry per pulse, ordered by row then time: ``row`` (the
    waveform), ``pulse`` (its index within the waveform) and the columns of
    the module's definitions.

    ``polarity`` (+1 or -1 for each row, or for each channel of 3-D data, or
    what `vorn_tools.features.decide_polarity` returns for them) overrides
    ``options.polarity``: a caller that reads a file in blocks decides once
    per channel and passes the decision with every block. Without it,
    ``"auto"`` is decided from the data given, per channel of 3-D data.
    Rows of both signs take two passes of the kernel over all rows, one per
    sign, rather than a copy of each sign's samples.

    The search releases the GIL.

    Parameters
    ----------
    data : array_like
        uint16 or float32 samples: (rows, samples), (events, channels,
        samples), or flat with ``offsets``.
    options : PulseOptions, optional
        How pulses are found and measured; ``PulseOptions()`` by default.
    offsets : array_like, optional
        rows + 1 non-decreasing entries, for flat ``data`` of waveforms of
        different lengths.
    polarity : array_like or mapping, optional
        +1 or -1 per row, per channel of 3-D data, or ``{channel: sign}``;
        overrides ``options.polarity``.

    Returns
    -------
    dict of str to numpy.ndarray
        The columns of `PULSES`, in its order, one entry per pulse.

    Raises
    ------
    TypeError
        For samples of another type than uint16 or float32.
    ValueError
        For shapes, offsets, polarities or a baseline window that do not fit.

    Examples
    --------
    Two negative pulses on a flat baseline of 100, the second 20 samples
    after the first:

    >>> import numpy as np
    >>> wave = np.full(200, 100, dtype=np.uint16)
    >>> wave[80:85] = 40
    >>> wave[100:103] = 70
    >>> found = find_pulses(wave[np.newaxis], PulseOptions(threshold=20, hysteresis=5))
    >>> found["row"].tolist(), found["amplitude"].tolist()
    ([0, 0], [60.0, 30.0])
    >>> found["start_time"].round(2).tolist(), found["delay"].round(2).tolist()
    ([79.33, 99.67], [nan, 20.33])
    """
    options = PulseOptions() if options is None else options
    given = as_rows(data, offsets)
    if polarity is None and options.polarity == "auto":
        polarity = decide_polarity(given.samples if given.offsets is None else given.rows,
                                   FeatureOptions(baseline=options.baseline), given.offsets)
    if polarity is None:
        table = _found(given, options, _POLARITY[options.polarity])
    else:
        signs = _row_signs(polarity, given.shape)
        kinds = np.unique(signs).tolist()
        if len(kinds) <= 1:
            table = _found(given, options, kinds[0] if kinds else -1)
        else:
            # The kernel takes one polarity a call: each sign's rows are
            # searched in a call of their own, over all rows (no copy of
            # the samples), and keep only the pulses of rows of that sign.
            parts = []
            for sign in kinds:
                found = _found(given, options, sign)
                keep = signs[found["row"]] == sign
                parts.append({name: values[keep] for name, values in found.items()})
            merged = {name: np.concatenate([part[name] for part in parts]) for name in parts[0]}
            # Stable: a row's pulses all come from one part, in time order.
            order = np.argsort(merged["row"], kind="stable")
            table = {name: values[order] for name, values in merged.items()}
    start = table["start_time"]
    delay = np.full(len(start), np.nan)
    later = table["pulse"] > 0
    delay[later] = start[later] - start[np.flatnonzero(later) - 1]
    table["delay"] = delay
    return table


def _row_signs(polarity: npt.ArrayLike | Mapping[int, int], shape: tuple[int, ...]) -> np.ndarray:
    """The polarity of each row, flat, from one per row, one per channel (the last axis) or a channel mapping."""
    if isinstance(polarity, Mapping):
        channels = shape[-1] if len(shape) == 2 else 1
        polarity = [polarity[c] for c in range(channels)]
    given = np.asarray(polarity, dtype=np.int8)
    if not np.isin(given, (-1, 1)).all():
        raise ValueError(f"polarity must be +1 or -1 for each row or channel, not {np.unique(given).tolist()}")
    return np.broadcast_to(given, shape).reshape(-1)


def _found(given: Rows, options: PulseOptions, sign: int) -> dict[str, np.ndarray]:
    """The kernel's pulses of all rows, searched with polarity `sign`, as columns (without `delay`)."""
    in_rms = options.threshold is None
    threshold = options.threshold_rms if options.threshold is None else options.threshold
    if options.hysteresis is not None:
        hysteresis, hysteresis_in_rms = options.hysteresis, False
    elif options.hysteresis_rms is not None:
        hysteresis, hysteresis_in_rms = options.hysteresis_rms, True
    else:
        # H = T in T's own unit: the kernel's R = T - H is then exactly 0.
        hysteresis, hysteresis_in_rms = threshold, in_rms
    found = native_find_pulses(
        given.rows, given.offsets, options.baseline[0], options.baseline[1], sign,
        threshold, in_rms, hysteresis, hysteresis_in_rms, options.separation, options.charge[0],
        options.charge[1], options.slope, options.slope_span)
    return {name: np.frombuffer(found[name], dtype) for name, dtype in PULSES.items() if name in found}
