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
    As given, or with ``polarity="auto"`` chosen per waveform: +1 when
    ``max(x) - b >= b - min(x)`` (a tie goes positive), else -1.
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
from dataclasses import dataclass
from typing import Literal

import numpy as np
import numpy.typing as npt

from . import _features

__all__ = ["FEATURES", "FeatureOptions", "compute"]

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

_POLARITY = {"auto": 0, "positive": 1, "negative": -1}


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

    baseline: tuple[int, int] = (0, 64)
    polarity: Literal["auto", "positive", "negative"] = "auto"
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
                f"polarity must be 'auto', 'positive' or 'negative', not {self.polarity!r}")
        if self.charge is not None and self.charge_peak is not None:
            raise ValueError("charge and charge_peak exclude each other; give one")
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


def compute(data: npt.ArrayLike, options: FeatureOptions | None = None,
            offsets: npt.ArrayLike | None = None) -> dict[str, np.ndarray]:
    """Features of every waveform in ``data``, as arrays keyed by name.

    ``data`` holds uint16 or float32 samples: (rows, samples), or (events,
    channels, samples) giving arrays shaped (events, channels). With
    ``offsets`` (rows + 1 non-decreasing uint64 entries), ``data`` is flat
    and row r is ``data[offsets[r]:offsets[r+1]]``; windows are then clipped
    to each row, where for uniform rows a baseline window that is empty once
    clipped, or a fixed charge window past the end, raises ValueError.

    Raises TypeError for other sample types and ValueError for shapes,
    windows or filter settings that do not fit. The computation releases the GIL.
    """
    options = FeatureOptions() if options is None else options
    samples = np.ascontiguousarray(data)
    flat_offsets: np.ndarray | None = None
    if offsets is None:
        if samples.ndim < 2:
            raise ValueError(
                f"data must be (rows, samples) or (events, channels, samples), "
                f"not {samples.ndim}-dimensional; give offsets for a flat array")
        shape = samples.shape[:-1]
        length = samples.shape[-1]
        rows = samples.reshape(-1, length)
    else:
        flat_offsets = np.ascontiguousarray(offsets, dtype=np.uint64)
        shape = (max(flat_offsets.shape[0] - 1, 0),) if flat_offsets.ndim == 1 else ()
        length = sys.maxsize
        rows = samples
    outputs = {name: np.empty(shape, dtype) for name, dtype in FEATURES.items()}

    if options.charge_peak is not None:
        around_peak, (w0, w1) = True, options.charge_peak
    else:
        around_peak, (w0, w1) = False, options.charge or (0, length)
    trap_rise, trap_flat = options.trap or (0, 0)
    tau = math.inf if options.tau is None else options.tau
    in_rms = options.threshold is None
    threshold = options.threshold_rms if options.threshold is None else options.threshold
    _features.compute(
        rows, flat_offsets, outputs, options.baseline[0], options.baseline[1],
        _POLARITY[options.polarity], around_peak, w0, w1, threshold, in_rms,
        options.cfd_fraction, options.adc_max, options.rise[0], options.rise[1],
        options.psd_split, trap_rise, trap_flat, tau, options.pickoff)
    return outputs
