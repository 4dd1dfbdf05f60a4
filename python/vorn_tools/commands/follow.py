"""`vorn follow`: one line per event while a file grows.

A reader that ran out of data is simply iterated again after a pause: it
resumes exactly where it stopped, also when it stopped inside an event the
writer had not finished, so there is nothing to re-synchronise. What the
reader cannot notice is a file that shrank or was replaced under it, so the
follower compares the file with what it has read before every pause.
"""

from __future__ import annotations

import os
import time
from typing import Any, TextIO

import vorn

from .. import signals
from ..blocks import Ending, ending_at, event_size
from ..formats import Layout
from ..growing import FileChanged, same_file


def event_line(event: dict[str, Any]) -> str:
    data = event["data"]
    extremes = f" min={data.min():.6g} max={data.max():.6g}" if data.size else ""
    if "sampling_period" in event:  # WD2: `samples` in the header counts one channel's
        sizes = f"samples_per_channel={event['samples']} samples_per_event={data.size}"
    else:
        sizes = f"samples_per_event={data.size}"
    return f"event_counter={event['event_counter']} timestamp={event['timestamp']} {sizes}{extremes}"


class Follower:
    """Prints events until `idle` seconds pass without one.

    `count` says how many it printed and `position` up to which byte of the
    file they reached.
    """

    def __init__(self, reader: vorn.EventReader[Any], out: TextIO, path: str, layout: Layout,
                 identity: os.stat_result) -> None:
        self.reader = reader
        self.out = out
        self.path = path
        self.layout = layout
        self.identity = identity
        self.count = 0
        self.position = 0
        self.largest = 0  # bytes of the largest event printed

    def run(self, idle: float, poll: float) -> None:
        last = time.monotonic()
        while True:
            before = self.count
            for event in self.reader:
                # Counted first: once its line is out, an interrupt must not lose it.
                self.count += 1
                size = event_size(event, self.layout)
                self.position += size
                self.largest = max(self.largest, size)
                print(event_line(event), file=self.out)
            signals.check()
            if self.count != before:
                self.out.flush()
                last = time.monotonic()
            elif time.monotonic() - last >= idle:
                return
            else:
                self._check_file()
                time.sleep(poll)

    def _check_file(self) -> None:
        try:
            now = os.stat(self.path)
        except FileNotFoundError:
            raise FileChanged("the file was removed") from None
        if not same_file(now, self.identity):
            raise FileChanged("another file took the name of the one being read")
        if os.path.isfile(self.path) and now.st_size < self.position:
            raise FileChanged(f"the file shrank to {now.st_size:,} bytes, below the {self.position:,} already read")

    def ending(self) -> Ending | None:
        """How far the events printed reach into the file, with what is left after them; None for a pipe."""
        try:
            if not os.path.isfile(self.path):
                return None
            return ending_at(self.path, self.layout, self.position, self.count, self.largest)
        except OSError:
            return None
