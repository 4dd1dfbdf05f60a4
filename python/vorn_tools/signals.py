"""Ctrl-C and SIGTERM as KeyboardInterrupt, delivered even when the first one is lost.

Python runs a signal handler at the next bytecode boundary, which may fall
inside a weakref callback or a destructor (h5py closes objects that way);
an exception raised there is dropped. So the handler also records the
signal, and the long loops call `check()` between blocks.
"""

from __future__ import annotations

import signal
import sys
from types import FrameType
from typing import Any

caught: int | None = None


def _handler(signum: int, frame: FrameType | None) -> None:
    global caught
    caught = signum
    raise KeyboardInterrupt


def install() -> None:
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, _handler)
    previous = sys.unraisablehook

    def quiet(unraisable: Any) -> None:
        # A dropped interrupt is not news: check() raises it again.
        if not issubclass(unraisable.exc_type, KeyboardInterrupt):
            previous(unraisable)

    sys.unraisablehook = quiet


def check() -> None:
    if caught is not None:
        raise KeyboardInterrupt


def exit_status() -> int:
    """What a shell reports for a process ended by the signal."""
    return 128 + (caught or signal.SIGINT)
