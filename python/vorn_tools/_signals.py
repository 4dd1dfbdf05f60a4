"""Ctrl-C and SIGTERM as KeyboardInterrupt, delivered even when the first one is lost.

Python runs a signal handler at the next bytecode boundary, which may fall
inside a weakref callback or a destructor (h5py closes objects that way);
an exception raised there is dropped. So the handler also records the
signal, and the long loops call `check()` between blocks.

Nor may it be raised inside a lock's machinery: an exception between
acquiring a queue's lock and the `with` that releases it leaves the lock
held, and the cleanup that then waits on that queue waits for ever. Waits
that hand work between threads therefore run `deferred()`: a signal that
comes then is raised as the section ends, and the waits are short enough
that it comes out promptly.
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import threading
from collections.abc import Iterator
from types import FrameType
from typing import Any

__all__ = ["Cancelled", "busy", "check", "deferred", "exit_status", "install", "install_worker"]

caught: int | None = None
_busy = False  # a worker process is converting: a signal must unwind it, not end it on the spot
_deferring = 0  # depth of the main thread's deferred sections
_pending = False  # a signal came inside one: the outermost raises it as it ends


class Cancelled(Exception):
    """The conversion was called off from elsewhere (the cluster's client was interrupted)."""


def _handler(signum: int, frame: FrameType | None) -> None:
    global caught, _pending
    caught = signum
    if _deferring:
        _pending = True
        return
    raise KeyboardInterrupt


def _worker_handler(signum: int, frame: FrameType | None) -> None:
    if not _busy:
        # Between tasks there is nothing to clean up, and an exception
        # would only end in a traceback from the pool's machinery.
        os._exit(128 + signum)
    _handler(signum, frame)


def _quiet_unraisable() -> None:
    previous = sys.unraisablehook

    def quiet(unraisable: Any) -> None:
        # A dropped interrupt is not news: check() raises it again.
        if not issubclass(unraisable.exc_type, KeyboardInterrupt):
            previous(unraisable)

    sys.unraisablehook = quiet


def install() -> None:
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, _handler)
    _quiet_unraisable()


def install_worker() -> None:
    """For a worker process of a pool: the parent alone answers Ctrl-C, and stops workers with SIGTERM."""
    # Ctrl-C reaches the whole process group; the parent then terminates the pool.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _worker_handler)
    _quiet_unraisable()


@contextlib.contextmanager
def busy() -> Iterator[None]:
    global _busy
    _busy = True
    try:
        yield
    finally:
        _busy = False


class deferred:
    """A section of the main thread that a signal does not break into: it is raised as the section ends.

    Only the main thread runs signal handlers; in another thread the section changes nothing.
    """

    def __enter__(self) -> None:
        global _deferring
        self._main = threading.current_thread() is threading.main_thread()
        if self._main:
            _deferring += 1

    def __exit__(self, *exc: object) -> None:
        global _deferring, _pending
        if self._main:
            _deferring -= 1
            if not _deferring and _pending:
                _pending = False
                raise KeyboardInterrupt


def check(final: bool = False) -> None:
    """Raise the interrupt that was caught, if any.

    `final` marks the last look before an output takes its name; checks that
    look elsewhere and rate-limit their looks must not skip that one.
    """
    if caught is not None:
        raise KeyboardInterrupt


def exit_status() -> int:
    """What a shell reports for a process ended by the signal."""
    return 128 + (caught or signal.SIGINT)
