"""Reading and writing overlapped with computing, each in a second thread.

The feature kernel and the table libraries that encode (Arrow) release the
GIL, so a second thread gets a core of its own while they run: `read_ahead`
reads the next blocks while the current one is measured, and `WriteBehind`
writes one table block while the next is read and measured. Either hands an
error of its thread to the caller, where it is raised as if raised there.

An interrupt must neither hang these hand-overs nor leave a thread running:
the caller's waits on the other thread are short and `deferred` (see
`vorn_tools._signals`), so that the interrupt never lands inside a queue's
lock, and a thread still running when the interpreter exits is stopped and
waited for first, since one left inside a native read or write would be
killed there.
"""

from __future__ import annotations

import atexit
import contextlib
import queue
import threading
from collections.abc import Callable, Generator, Iterable
from typing import Any

from . import _signals as signals

__all__ = ["AHEAD", "WriteBehind", "read_ahead"]

AHEAD = 2  # blocks held between the two threads: one ready while the next is made
WAIT = 0.1  # seconds a wait on the other thread lasts before a signal may come through
EXIT_WAIT = 30.0  # seconds the interpreter's exit waits for each thread still running
_DONE = object()

# The threads running, and how to stop each.
_running: dict[threading.Thread, Callable[[], None]] = {}


@atexit.register
def _stop_running() -> None:
    for thread, stop in list(_running.items()):
        stop()
    for thread in list(_running):
        thread.join(EXIT_WAIT)


def _get(handoff: queue.Queue[Any]) -> Any:
    while True:
        with signals.deferred():
            try:
                return handoff.get(timeout=WAIT)
            except queue.Empty:
                pass


def _put(handoff: queue.Queue[Any], item: Any) -> None:
    while True:
        with signals.deferred():
            try:
                handoff.put(item, timeout=WAIT)
                return
            except queue.Full:
                pass


def _join(thread: threading.Thread) -> None:
    """Waits for `thread`; an interrupt comes through between the short waits."""
    while thread.is_alive():
        with signals.deferred():
            thread.join(WAIT)


def read_ahead(items: Iterable[Any]) -> Generator[Any, None, None]:
    """The items, taken from `items` in a second thread up to AHEAD ahead; its errors come out here.

    Closing the generator stops the thread, once it has the item it is taking, and waits for it.
    """
    handoff: queue.Queue[Any] = queue.Queue(AHEAD)
    stop = threading.Event()

    def put(item: Any) -> bool:
        while not stop.is_set():
            try:
                handoff.put(item, timeout=WAIT)
                return True
            except queue.Full:
                continue
        return False

    def read() -> None:
        try:
            for item in items:
                if not put(item) or stop.is_set():
                    return
            put(_DONE)
        except BaseException as error:  # handed to the consumer, raised there
            put(error)

    def read_and_leave() -> None:
        try:
            read()
        finally:
            _running.pop(reader, None)

    reader = threading.Thread(target=read_and_leave, name="vorn-read", daemon=True)
    try:
        with signals.deferred():
            _running[reader] = stop.set
            reader.start()
        while True:
            item = _get(handoff)
            if item is _DONE:
                return
            if isinstance(item, BaseException):
                raise item
            yield item
    finally:
        stop.set()
        # Room in the queue, so that a reader waiting to put an item sees `stop` at once.
        with signals.deferred():
            while not handoff.empty():
                handoff.get_nowait()
        if reader.ident is not None:
            _join(reader)
        _running.pop(reader, None)


class WriteBehind:
    """Calls `write` on the items put, in a thread of its own, in order.

    Table libraries that release the GIL while they encode (Arrow) then
    write one block while the next is read and measured. An error of the
    writing is raised by the next `put` or by `finish`.
    """

    def __init__(self, write: Callable[[Any], None]) -> None:
        self._write = write
        self._queue: queue.Queue[Any] = queue.Queue(AHEAD)
        self._error: BaseException | None = None
        self._stop = threading.Event()  # end once the queue is empty, without _DONE
        self._thread = threading.Thread(target=self._run, name="vorn-write", daemon=True)
        with signals.deferred():
            _running[self._thread] = self._drop
            self._thread.start()

    def _run(self) -> None:
        try:
            while True:
                if self._stop.is_set() and self._queue.empty():
                    return
                try:
                    item = self._queue.get(timeout=WAIT)
                except queue.Empty:
                    continue
                if item is _DONE:
                    return
                if self._error is None:
                    try:
                        self._write(item)
                    except BaseException as error:  # handed to the producer
                        self._error = error
        finally:
            _running.pop(self._thread, None)

    def _drop(self) -> None:
        """Write nothing more, and end once the items put are passed over."""
        self._error = self._error or RuntimeError("abandoned")
        self._stop.set()
        with signals.deferred(), contextlib.suppress(queue.Full):
            self._queue.put_nowait(_DONE)  # wakes the thread if it waits for an item

    def _raise(self) -> None:
        if self._error is not None:
            error, self._error = self._error, None
            raise error

    def put(self, item: Any) -> None:
        """Hand `item` to the writing thread; raises what an earlier write failed with."""
        self._raise()
        _put(self._queue, item)

    def finish(self) -> None:
        """Wait for every item put to be written; raises what the writing failed with."""
        _put(self._queue, _DONE)
        _join(self._thread)
        self._raise()

    def abandon(self) -> None:
        """Stop without raising what the writing may have failed with; the table is discarded.

        Returns once the thread has ended: the block it is writing is finished, the others dropped.
        """
        self._drop()
        _join(self._thread)
