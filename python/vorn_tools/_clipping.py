"""Samples clipped by the ADC, and baseline windows that do not hold a resting level, counted per channel.

A digitizer's ADC clips what lies beyond its range: such a sample sits at
its full scale, or at zero. Amplitudes, charges and baselines measured over
clipped samples say nothing of the signal, so a table says where they are.

The full scale of a channel is, in this order: the one given (``adc_max``,
or 2**bits - 1 of the ADC's bits); the largest sample value of the
channel's first block when it is a plateau - held for `RUN` samples in a
row in at least `PLATEAU` of the events (and at least `FEWEST` of them);
otherwise the sample type's own limit. A clean recording reaches its
largest value on a pulse's peak, once: it never makes a plateau. Samples of
uint16 at zero count as clipped as well; float samples (volts, or the
board's unit) are clipped only at a full scale given, or at their type's
extremes, which the kernel flags.

A baseline window is said not to hold the resting level when, in more than
half of a channel's events, it holds clipped samples, or a pulse: a sample
further from the window's median than `PULSE` times the channel's noise
(from the spread of neighbouring samples in its first block's windows, at
least one count for integer samples).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from numpy.lib.stride_tricks import sliding_window_view

from .features import DEFAULT_BASELINE, POLARITY_EVENTS

__all__ = ["Clipping", "PLATEAU", "PULSE", "RUN", "full_scale_of"]

RUN = 4  # samples in a row at the largest value that make a flat top
PLATEAU = 0.05  # the share of a first block's events with a flat top that makes it the full scale
FEWEST = 3  # events with a flat top, at least
PULSE = 10.0  # a sample this many times the noise from the window's median is a pulse


@dataclass
class _Channel:
    full_scale: float | None  # None: only the kernel's limits (float samples)
    noise: float  # of the samples, for pulses in the baseline window; 0 when unknown
    how: str  # where the full scale comes from
    events: int = 0
    clipped: int = 0
    baseline_clipped: int = 0
    baseline_pulses: int = 0


@dataclass
class Clipping:
    """Clipped samples and unsettled baseline windows of a table's events, per channel.

    `full_scale` is the ADC's, when given; `baseline` the baseline window.
    `add` counts a block's rows and returns which of them hold a clipped
    sample; `lines` says what was found, one line per channel and finding.
    """

    full_scale: float | None = None
    baseline: tuple[int, int] = DEFAULT_BASELINE
    channels: dict[int, _Channel] = field(default_factory=dict)

    def add(self, rows: NDArray[Any], offsets: NDArray[Any] | None, row_channel: NDArray[Any]) -> NDArray[np.bool_]:
        """Counts the rows (uniform, or flat with offsets) of each channel; which of them hold clipped samples."""
        count = len(row_channel)
        clipped = np.zeros(count, bool)
        if not count:
            return clipped
        if offsets is None:
            top, bottom = rows.max(axis=1), rows.min(axis=1)
        else:
            starts = np.asarray(offsets[:-1], np.int64)
            lengths = np.diff(np.asarray(offsets, np.int64))
            full = lengths > 0
            top = np.full(count, -np.inf)
            bottom = np.full(count, np.inf)
            if full.any():
                top[full] = np.maximum.reduceat(rows, starts[full])
                bottom[full] = np.minimum.reduceat(rows, starts[full])
        integer = rows.dtype == np.uint16
        b0, b1 = self.baseline
        # The default window takes what there is of a shorter waveform, as the kernel does.
        end = min(b1, rows.shape[1]) if offsets is None else b1
        windows = rows[:, b0:end] if offsets is None and b0 < end else None
        for channel in np.unique(row_channel).tolist():
            mine = row_channel == channel
            known = self.channels.get(channel)
            if known is None:
                known = self.channels[channel] = self._decide(rows, offsets, mine, top, integer, windows)
            state = known
            state.events += int(mine.sum())
            if state.full_scale is None:
                continue
            hit = mine & ((top >= state.full_scale) | (bottom <= 0 if integer else False))
            clipped |= hit
            state.clipped += int(hit.sum())
            if windows is not None:
                window = windows[mine].astype(np.float64)
                at_edge = (window >= state.full_scale).any(axis=1)
                if integer:
                    at_edge |= (window <= 0).any(axis=1)
                state.baseline_clipped += int(at_edge.sum())
                if state.noise > 0:
                    middle = np.median(window, axis=1, keepdims=True)
                    far = (np.abs(window - middle) > PULSE * state.noise).any(axis=1)
                    state.baseline_pulses += int((far & ~at_edge).sum())
        return clipped

    def _decide(self, rows: NDArray[Any], offsets: NDArray[Any] | None, mine: NDArray[np.bool_],
                top: NDArray[Any], integer: bool, windows: NDArray[Any] | None) -> _Channel:
        """The full scale and the noise of a channel, from its rows of its first block."""
        noise = 0.0
        if windows is not None and windows.shape[1] >= 2:
            steps = np.abs(np.diff(windows[mine].astype(np.float64), axis=1))
            # The spread of neighbours' differences, robust to a pulse now and then: sqrt(2) times the noise.
            noise = float(1.4826 * np.median(steps) / np.sqrt(2)) if steps.size else 0.0
            noise = max(noise, 1.0) if integer else noise
        if self.full_scale is not None:
            return _Channel(self.full_scale, noise, "given")
        if not integer:
            return _Channel(None, noise, "")
        events = np.flatnonzero(mine)[:POLARITY_EVENTS]
        largest = top[events].max()
        if not np.isfinite(largest):  # waveforms of no samples
            return _Channel(float(np.iinfo(np.uint16).max), noise, "type")
        highest = int(largest)
        if offsets is None:
            held: NDArray[np.bool_] = np.asarray(rows[events] == highest)
            runs = np.asarray(sliding_window_view(held, RUN, axis=1).all(axis=2), bool) \
                if held.shape[1] >= RUN else np.zeros((len(held), 0), bool)
            flat = int(np.count_nonzero(runs.any(axis=1)))
        else:
            flat = 0
            for row in events:
                at = np.flatnonzero(rows[int(offsets[row]):int(offsets[row + 1])] == highest)
                flat += len(at) >= RUN and _longest_run(at) >= RUN
        if highest < np.iinfo(np.uint16).max and flat >= max(FEWEST, PLATEAU * len(events)):
            return _Channel(float(highest), noise, "plateau")
        return _Channel(float(np.iinfo(np.uint16).max), noise, "type")

    def lines(self, what: str = "event") -> list[str]:
        """What was found, one line per channel and finding; none for a clean recording."""
        found = []
        b0, b1 = self.baseline
        for channel, state in sorted(self.channels.items()):
            if not state.events or state.full_scale is None:
                continue
            of = f"{state.events:,} {what}{'' if state.events == 1 else 's'}"
            scale = {"given": "given", "plateau": "the plateau of its largest value", "type": "the sample type's"}
            if state.clipped:
                found.append(f"channel {channel}: {state.clipped:,} of {of} hold samples at the ADC's full scale"
                             f" ({state.full_scale:g}, {scale[state.how]}) or at 0: clipped, their amplitudes and"
                             " charges are not the signal's (the saturated column flags them)")
            if 2 * state.baseline_clipped > state.events:
                found.append(f"channel {channel}: the baseline window [{b0}, {b1}) holds clipped samples in"
                             f" {state.baseline_clipped:,} of {of}: their baselines are not a resting level")
            if 2 * state.baseline_pulses > state.events:
                found.append(f"channel {channel}: the baseline window [{b0}, {b1}) holds pulses in"
                             f" {state.baseline_pulses:,} of {of}: their baselines are not a resting level"
                             " (--baseline moves it)")
        return found


def _longest_run(at: NDArray[np.intp]) -> int:
    """The longest run of consecutive indices among the sorted `at`."""
    breaks = np.flatnonzero(np.diff(at) != 1)
    edges = np.concatenate(([-1], breaks, [len(at) - 1]))
    return int(np.diff(edges).max())


def full_scale_of(options: Any, adc_bits: int | None = None) -> float | None:
    """The full scale the options give (`adc_max`), or that of an ADC of `adc_bits` bits, or None."""
    given = getattr(options, "adc_max", None)
    if given is not None:
        return float(given)
    return None if adc_bits is None else float(2 ** adc_bits - 1)
