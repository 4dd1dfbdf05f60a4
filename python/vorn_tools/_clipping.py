"""Samples clipped by the ADC, and baseline windows that do not hold a resting level, counted per channel.

A digitizer's ADC clips what lies beyond its range: such a sample sits at
its full scale, or at zero. Amplitudes, charges and baselines measured over
clipped samples say nothing of the signal, so a table says where they are.

The full scale of a channel is, in this order: the one given (``adc_max``,
or 2**bits - 1 of the ADC's bits); the largest sample value of the
channel's first events (up to POLARITY_EVENTS of its first block) when it
is a plateau - held for `RUN` samples in a row in at least `PLATEAU` of
them, and `FEWEST` at least - at a value an ADC's largest code can have
(2**bits - 1, or that code in the top bits of the sample); otherwise the
sample type's own limit. A clean recording reaches its largest value on a
pulse's peak, once, or on noise: it never makes a plateau; a quiet channel
whose flat baseline is its largest value is not at an ADC's largest code. Samples of uint16 at zero are clipped as well; float samples
(volts, or the board's unit) are clipped only at a full scale given, or at
their type's extremes.

The kernel's `saturated` flag is exactly that when it measures with the
full scale as its ``adc_max``: `adc_max` gives the value to measure with,
and `add` then counts the kernel's flags rather than going over the
samples again.

A baseline window is said not to hold the resting level when, in more than
half of a channel's events, it holds clipped samples, or a pulse: its
samples spread over more than `PULSE` times the channel's noise (from the
differences of neighbouring samples in its first events' windows, at least
one count for integer samples), where noise alone spreads over about five.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view
from numpy.typing import NDArray

from .features import DEFAULT_BASELINE, POLARITY_EVENTS

__all__ = ["Clipping", "FEWEST", "PLATEAU", "PULSE", "RUN", "full_scale_of"]

RUN = 4  # samples in a row at the largest value that make a flat top
PLATEAU = 0.05  # the share of a channel's first events with a flat top that makes it the full scale
FEWEST = 3  # events with a flat top, at least
PULSE = 10.0  # a baseline window spread over this many times the noise holds a pulse

_U16_TOP = float(np.iinfo(np.uint16).max)


@dataclass
class _Channel:
    full_scale: float | None  # None: clipped only at the float type's extremes, which the kernel flags
    noise: float  # of the samples, for pulses in the baseline window; 0 when unknown
    how: str  # where the full scale comes from: "given", "plateau" or "type"
    events: int = 0
    clipped: int = 0
    baseline_clipped: int = 0
    baseline_pulses: int = 0


@dataclass
class Clipping:
    """Clipped samples and unsettled baseline windows of the events of one input, per channel.

    `full_scale` is the ADC's, when given; `baseline` the baseline window.
    `decide` settles the full scale of the channels a block brings first,
    `add` counts a block's rows and gives those that hold a clipped sample,
    `lines` says what was found, one line per channel and finding.
    """

    full_scale: float | None = None
    baseline: tuple[int, int] = DEFAULT_BASELINE
    channels: dict[int, _Channel] = field(default_factory=dict)

    def decide(self, rows: NDArray[Any], offsets: NDArray[Any] | None, row_channel: NDArray[Any]) -> None:
        """The full scale and noise of each channel not seen before, from its rows of this block."""
        for channel in np.setdiff1d(np.unique(row_channel), list(self.channels)).tolist():
            mine = np.flatnonzero(row_channel == channel)[:POLARITY_EVENTS]
            self.channels[channel] = self._decide(rows, offsets, mine)

    def adc_max(self) -> float | None:
        """The kernel's ``adc_max`` for its `saturated` flag to be exactly the clipped samples; None when the
        sample type's limits, which it flags anyway, are every channel's full scale."""
        scales = [c.full_scale for c in self.channels.values() if c.full_scale is not None and c.how != "type"]
        return min(scales) if scales else None

    def add(self, rows: NDArray[Any], offsets: NDArray[Any] | None, row_channel: NDArray[Any],
            saturated: NDArray[Any] | None = None) -> NDArray[np.bool_]:
        """Counts the rows (uniform, or flat with offsets) of each channel, decided first; which of them hold
        clipped samples. `saturated`, the kernel's flags measured with `adc_max()`, spares a pass over the
        samples."""
        self.decide(rows, offsets, row_channel)
        if saturated is not None:
            clipped = np.asarray(saturated, bool).reshape(-1)
        else:
            clipped = self._clipped(rows, offsets, row_channel)
        integer = rows.dtype == np.uint16
        b0, b1 = self.baseline
        end = min(b1, rows.shape[1]) if offsets is None else b0  # the default window takes what there is
        # Of uniform rows (flat ones are not looked into), copied: reductions over short strided rows are slow.
        windows = np.ascontiguousarray(rows[:, b0:end]) if end > b0 else None
        low = high = None
        if windows is not None:
            low, high = windows.min(axis=1), windows.max(axis=1)  # high - low: no unsigned wrap
        for channel, state in self.channels.items():
            mine = row_channel == channel
            state.events += int(np.count_nonzero(mine))
            state.clipped += int(np.count_nonzero(clipped & mine))
            if low is None or high is None or state.full_scale is None:
                continue
            at_edge = (high[mine] >= state.full_scale) | ((low[mine] <= 0) if integer else False)
            state.baseline_clipped += int(np.count_nonzero(at_edge))
            if state.noise > 0:
                spread = high[mine] - low[mine] > PULSE * state.noise
                state.baseline_pulses += int(np.count_nonzero(spread & ~at_edge))
        return clipped

    def _clipped(self, rows: NDArray[Any], offsets: NDArray[Any] | None,
                 row_channel: NDArray[Any]) -> NDArray[np.bool_]:
        """The rows with a sample at their channel's full scale or, of integer samples, at 0."""
        count = len(row_channel)
        if offsets is None:
            top, bottom = rows.max(axis=1, initial=0), rows.min(axis=1, initial=_U16_TOP)
        else:
            starts = np.asarray(offsets[:-1], np.int64)
            full = np.diff(np.asarray(offsets, np.int64)) > 0
            top, bottom = np.full(count, -np.inf), np.full(count, np.inf)
            if full.any():
                top[full] = np.maximum.reduceat(rows, starts[full])
                bottom[full] = np.minimum.reduceat(rows, starts[full])
        clipped = np.zeros(count, bool)
        integer = rows.dtype == np.uint16
        for channel, state in self.channels.items():
            if state.full_scale is not None:
                mine = row_channel == channel
                clipped |= mine & ((top >= state.full_scale) | ((bottom <= 0) if integer else False))
        return clipped

    def _decide(self, rows: NDArray[Any], offsets: NDArray[Any] | None, events: NDArray[np.intp]) -> _Channel:
        """The full scale and the noise of a channel, from its first rows."""
        integer = rows.dtype == np.uint16
        noise = 0.0
        b0, b1 = self.baseline
        if offsets is None and min(b1, rows.shape[1]) - b0 >= 2:
            steps = np.abs(np.diff(rows[events, b0:b1].astype(np.float64), axis=1))
            # The spread of neighbours' differences, robust to a pulse now and then: sqrt(2) times the noise.
            noise = float(1.4826 * np.median(steps) / np.sqrt(2)) if steps.size else 0.0
            noise = max(noise, 1.0) if integer else noise
        if self.full_scale is not None:
            return _Channel(self.full_scale, noise, "given")
        if not integer:
            return _Channel(None, noise, "")
        waves = [rows[r] if offsets is None else rows[int(offsets[r]):int(offsets[r + 1])] for r in events]
        largest = max((int(w.max()) for w in waves if len(w)), default=None)
        if largest is None or largest >= _U16_TOP or not _adc_code(largest):
            return _Channel(_U16_TOP, noise, "type")
        if offsets is None:
            held = np.asarray(rows[events] == largest)
            runs = np.asarray(sliding_window_view(held, RUN, axis=1).all(axis=2), bool) \
                if held.shape[1] >= RUN else np.zeros((len(held), 0), bool)
            flat = int(np.count_nonzero(runs.any(axis=1)))
        else:
            flat = sum(_longest_run(np.flatnonzero(w == largest)) >= RUN for w in waves)
        if flat >= max(FEWEST, PLATEAU * len(events)):
            return _Channel(float(largest), noise, "plateau")
        return _Channel(_U16_TOP, noise, "type")

    def lines(self, flagged: bool = True) -> list[str]:
        """What was found, one line per channel and finding; none for a clean recording. `flagged`: the rows
        have a saturated column, which the line points to."""
        found = []
        b0, b1 = self.baseline
        scale = {"given": "given", "plateau": "the plateau of its largest value", "type": "the sample type's"}
        for channel, state in sorted(self.channels.items()):
            if not state.events or state.full_scale is None:
                continue
            of = f"{state.events:,} event{'' if state.events == 1 else 's'}"
            if state.clipped:
                flags = " (the saturated column flags them)" if flagged else ""
                found.append(f"channel {channel}: {state.clipped:,} of {of} hold samples at the ADC's full scale"
                             f" ({state.full_scale:g}, {scale[state.how]}) or at 0: clipped, their amplitudes and"
                             f" charges are not the signal's{flags}")
            if 2 * state.baseline_clipped > state.events:
                found.append(f"channel {channel}: the baseline window [{b0}, {b1}) holds clipped samples in"
                             f" {state.baseline_clipped:,} of {of}: their baselines are not a resting level")
            if 2 * state.baseline_pulses > state.events:
                found.append(f"channel {channel}: the baseline window [{b0}, {b1}) holds pulses in"
                             f" {state.baseline_pulses:,} of {of}: their baselines are not a resting level"
                             " (--baseline moves it)")
        return found


def _adc_code(value: int) -> bool:
    """Whether `value` can be the largest code of an ADC of 8 to 16 bits in uint16 samples: 2**bits - 1, or the
    same code shifted to the top bits (65535 less the bits below it). A flat baseline of a quiet channel, at
    another value, is then never taken for a full scale."""
    below = (1 << 16) - value
    return (value + 1 >= 1 << 8 and value & (value + 1) == 0) or (0 < below <= 1 << 8 and below & (below - 1) == 0)


def _longest_run(at: NDArray[np.intp]) -> int:
    """The longest run of consecutive indices among the sorted `at`."""
    if not len(at):
        return 0
    breaks = np.flatnonzero(np.diff(at) != 1)
    edges = np.concatenate(([-1], breaks, [len(at) - 1]))
    return int(np.diff(edges).max())


def full_scale_of(options: Any) -> float | None:
    """The full scale the options give (their `adc_max`), or None."""
    given = getattr(options, "adc_max", None)
    return None if given is None else float(given)
