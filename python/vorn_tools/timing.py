"""Trigger times: counters that wrap, unwrapped into 64-bit time tags, and clock ticks.

A WD1 board keeps its trigger time in a 31-bit counter and uses bit 31 of
the `timestamp` word as an overflow flag, so only the low 31 bits count
ticks. The time tag of an event is those 31 bits, unwrapped: every time they
decrease from one event to the next, the counter has wrapped, and 2**31 is
added to this and every later event. The same rule rebuilds a plain 32-bit
counter exactly, flag or no flag, as long as consecutive events come less
than 2**31 ticks apart: its low 31 bits then also decrease exactly once per
crossing of a multiple of 2**31. Events more than 2**31 ticks apart (about
17 s at 8 ns a tick) lose whole periods, which nothing in the file can tell.

WD2 timestamps are 64-bit already: their time tag is the timestamp as it is.

Time in seconds is the time tag times the tick, the board's clock period,
given as "8 ns" or as the clock's rate, "125 MHz" (`parse_tick`; a bare
number in text is refused, see `vorn_tools.units`).
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .units import parse_time

__all__ = ["COUNTER_BITS", "TIME_TAG_BITS", "Unwrapper", "parse_tick", "seconds", "time_tags"]

TIME_TAG_BITS = 31  # WD1: bit 31 of the timestamp is the overflow flag
COUNTER_BITS = 32


class Unwrapper:
    """Unwraps a counter of `bits` bits over a stream of blocks, keeping its state between them.

    Each call takes the next events' raw values (only their low `bits` bits
    are used, so signed 32-bit words and flag bits are fine) and returns
    int64 values that add 2**bits at every decrease, counting from the
    previous call's last value. With `near`, the first value is placed in
    the period closest to `near`: counters of files that started on either
    side of a wrap then still agree.

    With `nearest`, each value is instead the one closest to the previous
    value: a decrease by less than half the period is a step back (an event
    out of order), not a wrap. That is the rule for event counters, which
    only ever wrap from near the top of their range to near the bottom.
    """

    def __init__(self, bits: int, near: int | None = None, nearest: bool = False) -> None:
        self.bits = bits
        self.nearest = nearest
        self._mask = (1 << bits) - 1
        self._near = near
        self._last: int | None = None  # low bits of the previous value
        self._base = 0  # periods added so far, times 2**bits

    def __call__(self, values: ArrayLike) -> NDArray[np.int64]:
        low = np.asarray(values).astype(np.int64) & self._mask
        if low.size == 0:
            return low
        if self._last is None:
            if self._near is not None:
                half = 1 << (self.bits - 1)
                first = int(low[0])
                self._base = self._near + ((first - self._near + half) & self._mask) - half - first
            previous = int(low[0])
        else:
            previous = self._last
        steps = np.diff(low, prepend=np.int64(previous))
        if self.nearest:
            half = 1 << (self.bits - 1)
            steps = ((steps + half) & self._mask) - half
            out = (self._base + previous) + np.cumsum(steps, dtype=np.int64)
            self._base = int(out[-1]) - int(low[-1])
            self._last = int(low[-1])
            return out
        wraps = np.cumsum(steps < 0, dtype=np.int64)
        out = low + (self._base + (wraps << self.bits))
        self._base += int(wraps[-1]) << self.bits
        self._last = int(low[-1])
        return out


def time_tags(bits: int = TIME_TAG_BITS) -> Unwrapper:
    """A fresh unwrapper of WD1 time tags: one per file, fed its events in order."""
    return Unwrapper(bits)


def parse_tick(tick: str | float) -> float:
    """Seconds per tick from "8 ns", "0.008 us", "125 MHz" (the clock's rate) or a Python number (seconds).

    `vorn_tools.units.parse_time`, naming the tick: UnitError (a ValueError) for a bare number in text, a
    unit of neither time nor rate, or a tick that is not finite and above 0.
    """
    return parse_time(tick, "tick")


def seconds(time_tag: NDArray[Any], tick: float) -> NDArray[np.float64]:
    """Time tags in seconds, for a tick in seconds."""
    return time_tag.astype(np.float64) * tick
