"""Pulse features of digitizer waveforms, computed natively in one pass.

For each waveform x (a row of samples) with baseline b and polarity p, every
feature is a function of y[i] = p * (x[i] - b), evaluated in float64:

``baseline``, ``baseline_rms``
    Mean and population standard deviation of x over the baseline window
    ``[b0, b1)``, clipped to the waveform (by default the first 64 samples,
    or fewer in a shorter waveform). On uint16 samples the variance is
    ``(m * sum(x**2) - sum(x)**2) / m**2``, its integer numerator rounded
    once to float64; on float32 samples the mean of ``(x - b)**2`` summed in
    sample order.
``polarity``
    As given (``"positive"``, ``"negative"``); with ``polarity="auto"``
    decided once per channel by `decide_polarity` from its first events, the
    same for all its waveforms, so that noise alone keeps its sign; with
    ``polarity="each"`` chosen per waveform (for data of mixed polarity): +1
    when ``max(x) - b >= b - min(x)`` (a tie goes positive), else -1.
``amplitude``, ``peak_index``
    The maximum of y and the first index where it is reached.
``charge``
    The sum of y over a fixed window ``charge=(w0, w1)`` (by default the
    whole waveform) or over ``[peak - a, peak + b)`` for ``charge_peak=(a, b)``,
    clipped to the waveform; an empty window sums to 0.
``threshold_time``
    With T the absolute ``threshold`` or ``threshold_rms * baseline_rms``: the
    first i >= max(b1, 1) with y[i-1] < T <= y[i], interpolated linearly,
    ``(i-1) + (T - y[i-1]) / (y[i] - y[i-1])``, in samples. A pulse already
    above T when the baseline window ends does not count as a crossing. NaN
    when nothing crosses.
``cfd_time``
    With L = ``cfd_fraction * amplitude``: the last j before the peak with
    y[j] < L, interpolated as ``j + (L - y[j]) / (y[j+1] - y[j])``. NaN when
    the amplitude is not positive or no sample before the peak is below L.
``rise_time``, ``fall_time``, ``fwhm``
    With A = amplitude > 0, lead(f) is the time of ``cfd_time`` at the
    level f * A, and trail(f) its mirror after the peak: the first k > peak
    with y[k] < f * A, interpolated as ``(k-1) + (L - y[k-1]) / (y[k] -
    y[k-1])``. For ``rise=(lo, hi)`` (default 0.1, 0.9): ``rise_time =
    lead(hi) - lead(lo)``, ``fall_time = trail(lo) - trail(hi)``, and
    ``fwhm = trail(0.5) - lead(0.5)``, in samples. NaN when the amplitude
    is not positive or an edge time is NaN (the pulse is cut off by the
    start or the end of the waveform).
``time_over_threshold``
    With i the sample where ``threshold_time`` crosses T: the first k > i
    with y[k] < T, interpolated as in trail(), minus ``threshold_time``.
    NaN without a crossing, or when y stays at or above T to the end.
``tail_ratio``
    With ``[w0, w1)`` the clipped charge window and ``psd_split=s``: the sum
    of y over ``[min(w0 + s, w1), w1)`` divided by ``charge``, the
    tail-to-total ratio of pulse-shape discrimination. NaN without
    ``psd_split``.
``energy``, ``energy_time``
    Only with ``trap=(k, m)``, else NaN: a trapezoidal filter of rise k >= 1
    and flat top m after pole-zero correction of a decay of ``tau``
    samples (none by default). With d = exp(-1/tau) (1 without tau),
    ``z[i] = y[i] + (1 - d) * (y[0] + ... + y[i-1])`` turns a decaying
    exponential of height H into a step of height H, and for
    n >= 2k + m - 1 the trapezoid
    ``T[n] = (sum(z[n-k+1 : n+1]) - sum(z[n-2k-m+1 : n-k-m+1])) / k`` has a
    flat top of H; T[n] depends on the 2k + m samples up to n only. With i
    the crossing sample of ``threshold_time``, ``energy_time`` is
    ``i + pickoff`` when ``pickoff`` is given, else the first index of the
    maximum of T over ``[i, i + 2k + m)``; ``energy`` is T there, with the
    baseline of the baseline window. NaN without a crossing, when no T is
    read (the times lie before 2k + m - 1 or past the end), or when a
    sample T depends on is not finite. The kernel steps T from running sums,
    exact integers on uint16 samples; it agrees with a direct convolution
    within roundings.
``saturated``
    Some sample of the waveform sits at the sample type's extreme (uint16: 0
    or 65535; float32: +-inf or +-FLT_MAX) or at or above ``adc_max``.

A waveform with no features - its clipped baseline window is empty (only
possible with ``offsets``), or its baseline is not finite (an infinite
sample in the window) - gets NaN for every float feature, peak_index -1
and polarity 0; ``saturated`` is still reported. NaN samples are not expected
from a digitizer: they never count as the maximum or as either side of a
crossing, and they make sums NaN.
"""

from __future__ import annotations

import math
import sys
from collections.abc import Mapping
from dataclasses import dataclass, field, replace
from typing import Any, ClassVar, Literal, NamedTuple

import numpy as np
import numpy.typing as npt

from ._features import compute as native_compute

__all__ = [
    "DEFAULT_BASELINE", "FEATURES", "FeatureOptions", "POLARITY_EVENTS", "POLARITY_NAMES", "Rows", "Unfit", "Window",
    "as_rows", "compute", "decide_polarity", "flat_rows", "option_problem", "units", "window_problem", "windows"
]

#: The arrays compute() returns, with their dtypes.
FEATURES: dict[str, type[np.generic]] = {
    "baseline": np.float64,
    "baseline_rms": np.float64,
    "amplitude": np.float64,
    "charge": np.float64,
    "threshold_time": np.float64,
    "cfd_time": np.float64,
    "peak_index": np.int64,
    "polarity": np.int8,
    "saturated": np.bool_,
    "rise_time": np.float64,
    "fall_time": np.float64,
    "fwhm": np.float64,
    "time_over_threshold": np.float64,
    "tail_ratio": np.float64,
    "energy": np.float64,
    "energy_time": np.float64,
}


def units(samples: str) -> dict[str, str]:
    """The unit of each feature, for samples in `samples` ("ADC counts", "sample values"); "" for none.
    These are the raw units; `vorn_tools.units.Calibration` gives those of calibrated tables."""
    from .units import Calibration

    raw = Calibration().units(samples)
    return {name: raw[name] for name in FEATURES}


#: The baseline window when none is given: the first 64 samples, or all of a shorter waveform.
DEFAULT_BASELINE = (0, 64)

# The kernel's codes: 0 chooses per waveform. "auto" reaches it decided.
_POLARITY = {"auto": 0, "each": 0, "positive": 1, "negative": -1}
POLARITY_NAMES = {1: "positive", -1: "negative"}
#: The events per channel that decide_polarity() looks at.
POLARITY_EVENTS = 1000


@dataclass(frozen=True)
class FeatureOptions:
    """How compute() measures each waveform; see the module for definitions.

    ``charge`` (a fixed window) and ``charge_peak`` (samples before and after
    the peak) exclude each other; with neither, the charge covers the whole
    waveform. ``threshold`` is absolute; without it the threshold is
    ``threshold_rms`` times the baseline's RMS. Windows count samples from
    the start of each waveform and are half-open. ``rise`` holds the two
    fractions of the amplitude for rise and fall times, ``psd_split`` the
    samples from the charge window's start to its tail, ``trap`` the energy
    filter's rise and flat top, ``tau`` the decay constant for its
    pole-zero correction and ``pickoff`` its reading time after the
    threshold crossing, all in samples.
    """

    baseline: tuple[int, int] = DEFAULT_BASELINE
    polarity: Literal["auto", "each", "positive", "negative"] = "auto"
    charge: tuple[int, int] | None = None
    charge_peak: tuple[int, int] | None = None
    threshold: float | None = None
    threshold_rms: float = 5.0
    cfd_fraction: float = 0.5
    adc_max: float | None = None
    rise: tuple[float, float] = (0.1, 0.9)
    psd_split: int | None = None
    trap: tuple[int, int] | None = None
    tau: float | None = None
    pickoff: int | None = None

    def __post_init__(self) -> None:
        if self.polarity not in _POLARITY:
            raise ValueError(
                f"polarity must be 'auto', 'each', 'positive' or 'negative', not {self.polarity!r}")
        if self.charge is not None and self.charge_peak is not None:
            raise ValueError("charge and charge_peak exclude each other; give one")
        # Refused here, before any file is opened, rather than measured into a
        # table of NaN or of rows that all look saturated.
        for name in ("baseline", "charge", "charge_peak", "threshold", "threshold_rms", "cfd_fraction", "adc_max"):
            problem = option_problem(name, getattr(self, name))
            if problem is not None:
                raise ValueError(problem)
        self._check_shape_and_energy()

    def _check_shape_and_energy(self) -> None:
        low, high = self.rise
        if not 0 < low < high <= 1:
            raise ValueError(f"rise fractions must satisfy 0 < low < high <= 1, not {low:g}, {high:g}")
        if self.trap is not None:
            if self.trap[0] < 1:
                raise ValueError(f"the trapezoid's rise must be at least 1 sample, not {self.trap[0]}")
            if self.trap[1] < 0:
                raise ValueError(f"the trapezoid's flat top must not be negative, not {self.trap[1]}")
        if self.tau is not None and not self.tau > 0:
            raise ValueError(f"tau must be positive, not {self.tau:g}")
        for name in ("psd_split", "pickoff"):
            value = getattr(self, name)
            if value is not None and value < 0:
                raise ValueError(f"{name} must not be negative, not {value}")


def option_problem(name: str, value: object) -> str | None:
    """Why `value` makes no sense for the FeatureOptions field `name`, or None when it does."""
    if value is None and name in ("charge", "charge_peak", "threshold", "adc_max"):
        return None
    if name in ("baseline", "charge", "charge_peak"):
        if not (isinstance(value, (tuple, list)) and len(value) == 2
                and all(isinstance(v, (int, np.integer)) and not isinstance(v, bool) for v in value)):
            return f"{name} must be two whole numbers, not {value!r}"
        low, high = (int(v) for v in value)
        if name == "charge_peak":
            if low < 0 or high < 0:
                return f"charge_peak counts samples before and after the peak, neither negative: not ({low}, {high})"
            return "the charge window around the peak, charge_peak (0, 0), is empty" if low + high == 0 else None
        what = name.replace("_", " ")
        if low < 0:
            return f"the {what} window's start must not be negative, not {low}"
        if high < low:
            return f"the {what} window [{low}, {high}) ends before it begins"
        return f"the {what} window [{low}, {high}) is empty" if high == low else None
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        return f"{name} must be a number, not {value!r}"
    number = float(value)
    if name == "cfd_fraction":
        return None if 0 < number <= 1 else f"cfd_fraction must lie in (0, 1], not {number:g}"
    if not math.isfinite(number):
        return f"{name} must be finite, not {number:g}"
    if name == "adc_max":
        return None if number > 0 else f"adc_max must be above 0, not {number:g}"
    return None if number >= 0 else f"{name} must not be negative, not {number:g}"


class Window(NamedTuple):
    """A window of options, what it is called and the shortest waveform it fits."""

    option: str  # the field of the options ("exclude" for the excluded window of pulses)
    samples: int  # the fewest samples of a waveform it fits
    name: str  # as messages call it


def windows(options: object, exclude: tuple[int, int] | None = None) -> list[Window]:
    """The windows of `options` (FeatureOptions, or PulseOptions for its baseline) and of `exclude`, each
    with the shortest waveform it fits.

    A window fits a waveform that holds all of it: the baseline window
    ``[b0, b1)`` needs b1 samples, a fixed charge window ``[w0, w1)`` w1,
    ``charge_peak=(a, b)`` a + b, the split of ``psd_split=s`` in a charge
    window of the whole waveform s + 1, the trapezoid ``trap=(k, m)`` 2k + m
    (its first value), ``pickoff=q`` a sample q after the earliest crossing,
    ``max(b1, 1)``, and ``exclude=(x0, x1)`` x1. In a shorter waveform the
    window would be clipped, or never read. The default baseline window,
    `DEFAULT_BASELINE`, is the exception: it is the first 64 samples, or all
    of a shorter waveform.
    """
    found = []
    baseline = getattr(options, "baseline", None)
    if baseline is not None and tuple(baseline) != DEFAULT_BASELINE:
        found.append(Window("baseline", baseline[1], f"the baseline window [{baseline[0]}, {baseline[1]})"))
    if isinstance(options, FeatureOptions):
        if options.charge is not None:
            found.append(Window("charge", options.charge[1], f"the charge window [{options.charge[0]},"
                                                             f" {options.charge[1]})"))
        if options.charge_peak is not None:
            before, after = options.charge_peak
            found.append(Window("charge_peak", before + after, f"the charge window of {before} samples before the"
                                                               f" peak and {after} from it"))
        if options.psd_split is not None and options.charge is None and options.charge_peak is None:
            found.append(Window("psd_split", options.psd_split + 1, f"the split {options.psd_split} samples into"
                                                                    " the charge window of the whole waveform"))
        if options.trap is not None:
            rise, flat = options.trap
            found.append(Window("trap", 2 * rise + flat, f"the trapezoid of rise {rise} and flat top {flat}"))
            if options.pickoff is not None:
                first = max(options.baseline[1], 1)
                found.append(Window("pickoff", first + options.pickoff + 1,
                                    f"the pick-off {options.pickoff} samples after a crossing, at sample {first} or"
                                    " later"))
    if exclude is not None:
        found.append(Window("exclude", exclude[1], f"the excluded window [{exclude[0]}, {exclude[1]})"))
    return found


def window_problem(options: object, samples: int, exclude: tuple[int, int] | None = None) -> str | None:
    """Why the windows of `options` (as `windows` gives them) do not fit waveforms of `samples` samples, in
    one line, or None when they all fit."""
    unfit = [w for w in windows(options, exclude) if w.samples > samples]
    if not unfit:
        return None
    parts = []
    for window in unfit:
        if window.option == "baseline" and getattr(options, "baseline")[0] >= samples:
            parts.append(f"{window.name} is empty in waveforms of {samples} samples")
        else:
            parts.append(f"{window.name} reaches past the end of waveforms of {samples} samples")
    return "; ".join(parts)


@dataclass
class Unfit:
    """The events of waveforms of different lengths that a window does not fit, counted per window.

    Such events are measured with the window clipped to them; `line` says
    so. `entries` keeps the first few of each window's, to name them.
    """

    events: dict[str, int] = field(default_factory=dict)  # window name -> events it does not fit
    entries: dict[str, list[int]] = field(default_factory=dict)  # window name -> its first such entries
    shortest: dict[str, int] = field(default_factory=dict)  # window name -> the samples it needs
    NAMED: ClassVar[int] = 5

    def add(self, options: object, lengths: npt.NDArray[Any], entries: npt.NDArray[Any],
            exclude: tuple[int, int] | None = None) -> None:
        """Counts the events of rows of `lengths` samples, row i of event `entries[i]`, that a window does
        not fit."""
        for window in windows(options, exclude):
            short = np.asarray(lengths) < window.samples
            if not short.any():
                continue
            found = np.unique(np.asarray(entries)[short])
            self.events[window.name] = self.events.get(window.name, 0) + len(found)
            named = self.entries.setdefault(window.name, [])
            named += found[:max(self.NAMED - len(named), 0)].tolist()
            self.shortest[window.name] = window.samples

    def line(self) -> str | None:
        """One line naming each window and the events it does not fit, or None when every window fit."""
        if not self.events:
            return None
        parts = []
        for name, count in self.events.items():
            named = ", ".join(map(str, self.entries[name]))
            more = f" and {count - len(self.entries[name]):,} more" if count > len(self.entries[name]) else ""
            parts.append(f"{name} does not fit {count:,} event{'' if count == 1 else 's'} of fewer than"
                         f" {self.shortest[name]} samples (entr{'y' if count == 1 else 'ies'} {named}{more})")
        return "; ".join(parts) + ": clipped to them"


def decide_polarity(data: npt.ArrayLike, options: FeatureOptions | None = None,
                    offsets: npt.ArrayLike | None = None, channels: npt.ArrayLike | None = None,
                    events: int = POLARITY_EVENTS) -> dict[int, int]:
    """The pulse polarity of each channel, +1 or -1, from its first `events` waveforms.

    Each waveform's larger excursion from its baseline counts with its sign
    (what ``polarity="each"`` chooses, times the amplitude); the sign of
    their sum is the channel's polarity; a tie (noise alone, or no waveform
    with features) and a sum that is not a number (infinite samples of both
    signs) go positive. Pulses then decide, however rare, while noise
    averages out. ``data`` and ``offsets`` are as for `compute`: the channels
    of (events, channels, samples) are its second axis; rows of other data
    belong to the channels ``channels`` gives, one per row (by default all to
    channel 0). Only the baseline window of ``options`` matters.
    """
    options = FeatureOptions() if options is None else options
    # Only the baseline window matters: the others are left out, so that none of them has to fit.
    each = replace(options, polarity="each", charge=None, charge_peak=None, psd_split=None, trap=None, pickoff=None)
    samples = np.asarray(data)
    if offsets is None and samples.ndim == 3:
        measured = compute(samples[:events], each)
        with np.errstate(invalid="ignore"):  # infinite samples of both signs
            totals = np.nansum(measured["amplitude"] * measured["polarity"], axis=0)
        return {c: -1 if total < 0 else 1 for c, total in enumerate(totals.tolist())}
    rows = len(samples) if offsets is None else max(len(np.asarray(offsets)) - 1, 0)
    ids = np.zeros(rows, np.int64) if channels is None else np.asarray(channels, np.int64).reshape(-1)
    if len(ids) != rows:
        raise ValueError(f"channels has {len(ids)} entries for {rows} rows")
    # Only the rows up to every channel's `events`-th are measured.
    first: dict[int, np.ndarray] = {c: np.flatnonzero(ids == c)[:events] for c in np.unique(ids).tolist()}
    prefix = max((int(at[-1]) + 1 for at in first.values() if len(at)), default=0)
    if offsets is None:
        measured = compute(samples[:prefix], each)
    else:
        measured = compute(samples, each, np.asarray(offsets, np.uint64)[:prefix + 1])
    signed = measured["amplitude"] * measured["polarity"]
    with np.errstate(invalid="ignore"):
        return {c: -1 if np.nansum(signed[at]) < 0 else 1 for c, at in first.items()}


def flat_rows(data: np.ndarray) -> np.ndarray:
    """Waveforms of (..., samples) as (rows, samples); a reshape to (-1, samples) fails on waveforms of no samples."""
    return data.reshape(math.prod(data.shape[:-1]), data.shape[-1])


class Rows(NamedTuple):
    """Samples as the native functions take them: uniform rows, or flat with offsets."""

    samples: np.ndarray  # contiguous, as given
    rows: np.ndarray  # (rows, samples), or flat with offsets
    offsets: np.ndarray | None  # contiguous uint64, or None for uniform rows
    shape: tuple[int, ...]  # one result per row, shaped as the rows of data
    length: int  # samples per row; sys.maxsize with offsets


def as_rows(data: npt.ArrayLike, offsets: npt.ArrayLike | None) -> Rows:
    """`data` and `offsets` as `compute` and `vorn_tools.pulses.find_pulses` take them.

    Raises ValueError for data of fewer than two dimensions without offsets;
    the native functions check the rest.
    """
    samples = np.ascontiguousarray(data)
    if offsets is None:
        if samples.ndim < 2:
            raise ValueError(
                f"data must be (rows, samples) or (events, channels, samples), "
                f"not {samples.ndim}-dimensional; give offsets for a flat array")
        length = samples.shape[-1]
        return Rows(samples, flat_rows(samples), None, samples.shape[:-1], length)
    flat_offsets = np.ascontiguousarray(offsets, dtype=np.uint64)
    shape = (max(flat_offsets.shape[0] - 1, 0),) if flat_offsets.ndim == 1 else ()
    return Rows(samples, samples, flat_offsets, shape, sys.maxsize)


def compute(data: npt.ArrayLike, options: FeatureOptions | None = None,
            offsets: npt.ArrayLike | None = None,
            polarity: npt.ArrayLike | Mapping[int, int] | None = None) -> dict[str, np.ndarray]:
    """Features of every waveform in ``data``, as arrays keyed by name.

    ``data`` holds uint16 or float32 samples: (rows, samples), or (events,
    channels, samples) giving arrays shaped (events, channels). With
    ``offsets`` (rows + 1 non-decreasing uint64 entries), ``data`` is flat
    and row r is ``data[offsets[r]:offsets[r+1]]``; windows are then clipped
    to each row (`Unfit` counts the rows a window does not fit), where for
    uniform rows a window that does not fit them (see `windows`) raises
    ValueError.

    ``polarity`` (+1 or -1 for each row, or for each channel of 3-D data, or
    what `decide_polarity` returns for them) overrides ``options.polarity``:
    a caller that reads a file in blocks decides once and passes the
    decision with every block. Without it, ``"auto"`` is decided from the
    data given.

    Raises TypeError for other sample types and ValueError for shapes,
    windows or filter settings that do not fit. The computation releases the GIL.
    """
    options = FeatureOptions() if options is None else options
    samples, rows, flat_offsets, shape, length = as_rows(data, offsets)
    problem = None if flat_offsets is not None or not len(rows) else window_problem(options, length)
    if problem is not None:
        raise ValueError(problem)
    outputs = {name: np.empty(shape, dtype) for name, dtype in FEATURES.items()}

    if options.charge_peak is not None:
        around_peak, (w0, w1) = True, options.charge_peak
    else:
        around_peak, (w0, w1) = False, options.charge or (0, length)
    code: int | np.ndarray = _POLARITY[options.polarity]
    if polarity is None and options.polarity == "auto":
        decided = decide_polarity(samples if flat_offsets is None else rows, options, flat_offsets)
        polarity = np.array([decided[c] for c in sorted(decided)], np.int8) if decided else None
    if isinstance(polarity, Mapping):
        polarity = np.array([polarity[c] for c in range(shape[-1] if len(shape) == 2 else 1)], np.int8)
    if polarity is not None:
        given = np.asarray(polarity, dtype=np.int8)
        per_row = np.broadcast_to(given, shape) if given.ndim else np.full(shape, given, np.int8)
        code = np.ascontiguousarray(per_row, dtype=np.int8).reshape(-1)
    trap_rise, trap_flat = options.trap or (0, 0)
    tau = math.inf if options.tau is None else options.tau
    in_rms = options.threshold is None
    threshold = options.threshold_rms if options.threshold is None else options.threshold
    native_compute(
        rows, flat_offsets, outputs, polarity=code,
        baseline_begin=options.baseline[0], baseline_end=options.baseline[1],
        charge_around_peak=around_peak, charge_begin=w0, charge_end=w1,
        threshold=threshold, threshold_in_rms=in_rms, cfd_fraction=options.cfd_fraction,
        adc_max=options.adc_max, rise_low=options.rise[0], rise_high=options.rise[1],
        psd_split=options.psd_split, trap_rise=trap_rise, trap_flat=trap_flat, tau=tau,
        pickoff=options.pickoff)
    return outputs
