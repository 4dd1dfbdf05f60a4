"""Reading and writing overlapped with computing, each in a second thread.

The feature kernel and the table libraries that encode (Arrow) release the
GIL, so a second thread gets a core of its own while they run: `read_ahead`
reads the next blocks while the current one is measured, and `WriteBehind`
writes one table block while the next is read and measured. Either hands an
error of its thread to the caller, where it is raised as if raised there.
"""

from __future__ import annotations

import queue
import threading
from collections.abc import Callable, Generator, Iterable
from typing import Any

__all__ = ["AHEAD", "WriteBehind", "read_ahead"]

AHEAD = 2  # blocks held between the two threads: one ready while the next is made
_DONE = object()


def read_ahead(items: Iterable[Any]) -> Generator[Any, None, None]:
    """The items, taken from `items` in a second thread up to AHEAD ahead; its errors come out here.

    Closing the generator stops the thread, once it has the item it is taking, and waits for it.
    """
    handoff: queue.Queue[Any] = queue.Queue(AHEAD)
    stop = threading.Event()

    def put(item: Any) -> bool:
        while not stop.is_set():
            try:
                handoff.put(item, timeout=0.1)
                return True
            except queue.Full:
                continue
        return False

    def read() -> None:
        try:
            for item in items:
                if not put(item):
                    return
            put(_DONE)
        except BaseException as error:  # handed to the consumer, raised there
            put(error)

    reader = threading.Thread(target=read, name="vorn-read", daemon=True)
    reader.start()
    try:
        while True:
            item = handoff.get()
            if item is _DONE:
                return
            if isinstance(item, BaseException):
                raise item
            yield item
    finally:
        stop.set()
        reader.join()


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
        self._thread = threading.Thread(target=self._run, name="vorn-write", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while True:
            item = self._queue.get()
            if item is _DONE:
                return
            if self._error is None:
                try:
                    self._write(item)
                except BaseException as error:  # handed to the producer
                    self._error = error

    def _raise(self) -> None:
        if self._error is not None:
            error, self._error = self._error, None
            raise error

    def put(self, item: Any) -> None:
        """Hand `item` to the writing thread; raises what an earlier write failed with."""
        self._raise()
        self._queue.put(item)

    def finish(self) -> None:
        """Wait for every item put to be written; raises what the writing failed with."""
        self._queue.put(_DONE)
        self._thread.join()
        self._raise()

    def abandon(self) -> None:
        """Stop without raising what the writing may have failed with; the table is discarded."""
        if self._thread.is_alive():
            self._error = self._error or RuntimeError("abandoned")
            self._queue.put(_DONE)
            self._thread.join()
