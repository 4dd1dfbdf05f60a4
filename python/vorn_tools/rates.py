"""Trigger rates from time tags, with their Poisson errors.

N triggers seen between the first and the last of them, T seconds apart,
are N - 1 intervals: the rate is (N - 1) / T and, counts being Poisson, its
error is sqrt(N - 1) / T. Counting the first trigger too would bias a short
run upwards (two triggers a microsecond apart are not a megahertz of them).

A `RateCounter` takes time tags block by block, in any order within and
between blocks, so the rate of a file is the same whichever step it is read
in, and counters of two files add with `merge`. `ChannelRates` keeps one per
channel of a file, from its raw timestamps.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .timing import Unwrapper

__all__ = ["ChannelRates", "Rate", "RateCounter"]


@dataclass(frozen=True)
class Rate:
    """`triggers` seen over `seconds`, from the first to the last of them."""

    triggers: int
    seconds: float

    @property
    def known(self) -> bool:
        return self.triggers > 1 and self.seconds > 0

    @property
    def per_second(self) -> float:
        return (self.triggers - 1) / self.seconds if self.known else math.nan

    @property
    def error(self) -> float:
        return math.sqrt(self.triggers - 1) / self.seconds if self.known else math.nan

    def as_dict(self) -> dict[str, float | int | None]:
        """`triggers`, `seconds`, `rate_hz` and `rate_error_hz`, None where there is no rate (JSON has no NaN)."""
        return {"triggers": self.triggers, "seconds": self.seconds,
                "rate_hz": self.per_second if self.known else None,
                "rate_error_hz": self.error if self.known else None}

    def text(self) -> str:
        """'1.234 kHz ± 0.012 kHz', or why there is no rate."""
        if self.triggers < 2:
            return "no rate (fewer than two triggers)"
        if self.seconds <= 0:
            return "no rate (all triggers at the same time)"
        scale, unit = next(((s, u) for s, u in ((1e6, "MHz"), (1e3, "kHz")) if self.per_second >= s), (1.0, "Hz"))
        digits = max(0, 1 - math.floor(math.log10(self.error / scale))) if self.error > 0 else 3
        return f"{self.per_second / scale:.{digits}f} {unit} ± {self.error / scale:.{digits}f} {unit}"


class RateCounter:
    """The trigger rate of a stream of time tags (in ticks), counted block by block."""

    def __init__(self, tick_seconds: float) -> None:
        self.tick_seconds = tick_seconds
        self.triggers = 0
        self.first: int | None = None
        self.last: int | None = None

    def add(self, time_tags: ArrayLike) -> None:
        tags = np.asarray(time_tags)
        if tags.size == 0:
            return
        low, high = int(tags.min()), int(tags.max())
        self.triggers += int(tags.size)
        self.first = low if self.first is None else min(self.first, low)
        self.last = high if self.last is None else max(self.last, high)

    def merge(self, other: RateCounter) -> None:
        """Add the triggers of another stream with the same clock."""
        if other.first is None or other.last is None:
            return
        self.triggers += other.triggers
        self.first = other.first if self.first is None else min(self.first, other.first)
        self.last = other.last if self.last is None else max(self.last, other.last)

    def rate(self) -> Rate:
        span = 0 if self.first is None or self.last is None else self.last - self.first
        return Rate(self.triggers, span * self.tick_seconds)


class ChannelRates:
    """The trigger rate of each channel of one file, its events fed block by block in file order.

    Each block gives the events' raw timestamps and, per channel, which of
    them hold it. With `bits` (WD1: 31), timestamps are unwrapped as the
    `time` column is (`vorn_tools.timing`): every decrease is a wrap. Between
    events less than half the counter's period apart, a wrap always lowers
    the counter by more than half of it; a smaller decrease is an event out
    of order, most likely, and taking it for a wrap adds a whole period to
    the span. Those are counted in `steps_back`, so that a rate resting on
    them is not taken on trust. Without `bits` (WD2: 64-bit timestamps),
    an event out of order is harmless: the span runs from the lowest time
    tag to the highest.
    """

    def __init__(self, tick_seconds: float, bits: int | None = None) -> None:
        self.tick_seconds = tick_seconds
        self.bits = bits
        self.counters: dict[Any, RateCounter] = {}
        self.steps_back = 0
        self._unwrap = Unwrapper(bits) if bits is not None else None
        self._previous: int | None = None  # the low bits of the last event before this block

    def add(self, timestamps: ArrayLike, holding: Mapping[Any, ArrayLike]) -> None:
        """The next events' timestamps, and for each channel a mask of the events that hold it."""
        raw = np.asarray(timestamps)
        if raw.size == 0:
            return
        tags: NDArray[Any] = raw
        if self._unwrap is not None and self.bits is not None:
            low = raw.astype(np.int64) & ((1 << self.bits) - 1)
            previous = int(low[0]) if self._previous is None else self._previous
            drops = -np.diff(low, prepend=np.int64(previous))
            self.steps_back += int(np.count_nonzero((drops > 0) & (drops < 1 << (self.bits - 1))))
            self._previous = int(low[-1])
            tags = self._unwrap(low)
        for channel, mask in holding.items():
            self.counters.setdefault(channel, RateCounter(self.tick_seconds)).add(tags[np.asarray(mask, bool)])

    def rates(self) -> dict[Any, Rate]:
        return {channel: counter.rate() for channel, counter in self.counters.items()}
