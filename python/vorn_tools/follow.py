"""`vorn follow`: one line per event while a file grows.

A reader that ran out of data is simply iterated again after a pause: it
resumes exactly where it stopped, also when it stopped inside an event the
writer had not finished, so there is nothing to re-synchronise.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import Any, TextIO

import vorn

from . import signals
from .formats import guess_type

# The message of the plain OSError a WD2 reader raises while the file does
# not yet hold its first event and the next header.
TOO_SHORT = "failed to fill whole buffer"


class StillUnreadable(Exception):
    pass


def wait_for_reader(path: str, reader_type: str, idle: float, poll: float,
                    clock: Callable[[], float] = time.monotonic) -> vorn.EventReader[Any]:
    """Open the file once it exists, has a known format and (WD2) holds enough to open.

    Gives up after `idle` seconds with StillUnreadable; other errors are raised.
    """
    deadline = clock() + idle
    while True:
        try:
            kind = reader_type if reader_type != "auto" else guess_type(path)
            if kind is not None:
                return vorn.EventReader(path, kind)
            reason = "cannot tell WD1 from WD2 yet: pass --type"
        except FileNotFoundError:
            reason = "the file does not exist"
        except OSError as error:
            if type(error) is not OSError or str(error) != TOO_SHORT:
                raise
            reason = "too short to open as WD2"
        if clock() >= deadline:
            raise StillUnreadable(f"{reason} after {idle:g} s")
        time.sleep(poll)


def event_line(event: dict[str, Any]) -> str:
    data = event["data"]
    extremes = f" min={data.min():.6g} max={data.max():.6g}" if data.size else ""
    return f"event_counter={event['event_counter']} timestamp={event['timestamp']} samples={data.size}{extremes}"


class Follower:
    """Prints events until `idle` seconds pass without one; `count` says how many it printed."""

    def __init__(self, reader: vorn.EventReader[Any], out: TextIO) -> None:
        self.reader = reader
        self.out = out
        self.count = 0

    def run(self, idle: float, poll: float) -> None:
        last = time.monotonic()
        while True:
            before = self.count
            for event in self.reader:
                # Counted first: once its line is out, an interrupt must not lose it.
                self.count += 1
                print(event_line(event), file=self.out)
            signals.check()
            if self.count != before:
                self.out.flush()
                last = time.monotonic()
            elif time.monotonic() - last >= idle:
                return
            else:
                time.sleep(poll)
