"""A progress bar on standard error, through tqdm, shown only on a terminal."""

from __future__ import annotations

import sys
import time
from types import TracebackType
from typing import Any

__all__ = ["Progress"]


class Progress:
    """Bytes of the input done, with the event rate beside them.

    Draws nothing when standard error is not a terminal, when `quiet` is set,
    or when tqdm is not installed (reading does not depend on it).
    """

    def __init__(self, total: int, label: str, quiet: bool, unit: str = "B") -> None:
        self._bar: Any = None
        self._events = 0
        self._start = time.monotonic()
        if quiet or not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        scaled = unit == "B"
        self._bar = tqdm(total=total, desc=label, unit=unit, unit_scale=scaled, unit_divisor=1024 if scaled else 1000,
                         leave=False, file=sys.stderr, dynamic_ncols=True)

    def update(self, amount: int, events: int = 0) -> None:
        if self._bar is None:
            return
        self._events += events
        if events:
            rate = self._events / max(time.monotonic() - self._start, 1e-9)
            self._bar.set_postfix_str(f"{rate:,.0f} events/s", refresh=False)
        self._bar.update(amount)

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if self._bar is not None:
            self._bar.close()
