"""Files still being written: opened once they hold a readable start, and watched for being replaced.

A writer creates the file before it knows what it will hold, and a WD2
reader needs the whole file header, so the first attempts to open may fail
for reasons that pass by themselves. They are retried until a deadline;
a file whose start can never be one of the formats fails at once.
"""

from __future__ import annotations

import os
import time
from collections.abc import Callable
from typing import Any, TypeVar

import vorn

from .blocks import BadFile, open_reader
from .formats import Layout, Unclassified, detect_type, open_layout

__all__ = ["FileChanged", "StillUnreadable", "same_file", "wait_for_reader", "wait_to_open"]


Reader = TypeVar("Reader")


class StillUnreadable(Exception):
    pass


class FileChanged(Exception):
    """The file shrank below what was read, or another file took its name."""


def wait_for_reader(path: str, reader_type: str, wait: float, poll: float,
                    clock: Callable[[], float] = time.monotonic) -> tuple[vorn.EventReader[Any], Layout, os.stat_result]:
    """Open the file once it exists, has a known format and (WD2) holds enough to open.

    Returns the reader, the layout it reads and the file's identity when it
    was opened. Gives up after `wait` seconds with StillUnreadable; other
    errors are raised.
    """
    return wait_to_open(path, reader_type, wait, poll, open_reader, clock)


def wait_to_open(path: str, reader_type: str, wait: float, poll: float, opener: Callable[[str, Layout], Reader],
                 clock: Callable[[], float] = time.monotonic) -> tuple[Reader, Layout, os.stat_result]:
    """wait_for_reader with the reader that `opener` makes of the path and its layout."""
    deadline = clock() + wait
    while True:
        try:
            before = os.stat(path)
            kind = reader_type if reader_type != "auto" else detect_type(path)
            layout = open_layout(path, kind)
            reader = opener(path, layout)
            if same_file(before, os.stat(path)):
                return reader, layout, before
            reason = "the file was being replaced"
        except FileNotFoundError:
            reason = "the file does not exist"
        except Unclassified as error:
            if error.final:
                raise StillUnreadable(str(error)) from None
            reason = str(error).replace("cannot tell", "still cannot tell")
        except BadFile:
            reason = "the file is still too short to open as WD2"
        if clock() >= deadline:
            raise StillUnreadable(f"after {wait:g} s, {reason}")
        time.sleep(poll)


def same_file(a: os.stat_result, b: os.stat_result) -> bool:
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)
