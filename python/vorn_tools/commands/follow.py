"""`vorn follow`: one line per event while a file grows.

A reader that ran out of data is simply iterated again after a pause: it
resumes exactly where it stopped, also when it stopped inside an event the
writer had not finished, so there is nothing to re-synchronise. What the
reader cannot notice is a file that shrank or was replaced under it, so the
follower compares the file with what it has read before every pause.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any, TextIO

import vorn

from .. import _signals as signals
from ..blocks import FILE_ERRORS, READ_ERRORS, Ending, ending_at, event_size
from ..formats import Layout
from .._growing import FileChanged, same_file
from .common import FAILED, OK, error, plural
from .options import Checked, add_command, seconds, type_option

__all__ = ["Follower", "add_parser", "event_line", "run"]

EXAMPLES = """
  vorn follow live.wd2 --idle 30
"""


def add_parser(commands: Any) -> None:
    follow = add_command(commands, "follow", "print events as a file grows",
                         "Print one line per event (counter, timestamp, samples, min, max) as the file grows. Waits"
                         " up to --wait seconds for the file to exist and, for WD2, to hold enough to open. Stops"
                         " after --idle seconds without a new event, or on Ctrl-C, with a summary line; a file that"
                         " shrinks or is replaced stops it with an error.", EXAMPLES)
    follow.add_argument("file", metavar="FILE")
    type_option(follow)
    follow.add_argument("--idle", type=seconds(True), default=10.0, metavar="SECONDS",
                        help="stop after this long without a new event (default 10)")
    follow.add_argument("--wait", type=seconds(False), default=10.0, metavar="SECONDS",
                        help="how long to wait for the file to appear and become readable (default 10)")
    follow.add_argument("--poll", type=seconds(True), default=0.2, metavar="SECONDS", help=argparse.SUPPRESS)
    follow.set_defaults(run=run)


def run(args: argparse.Namespace, checked: Checked) -> int:
    from .._growing import StillUnreadable, wait_for_reader

    try:
        reader, layout, identity = wait_for_reader(args.file, args.type, args.wait, args.poll)
    except (StillUnreadable, *FILE_ERRORS) as failure:
        error(f"{args.file}: {failure}")
        return FAILED
    follower = Follower(reader, sys.stdout, args.file, layout, identity)
    status = OK
    interrupted = False
    try:
        follower.run(args.idle, args.poll)
        ended = f"then {args.idle:g} s without new data"
    except KeyboardInterrupt:
        ended, interrupted = "interrupted", True
    except FileChanged as failure:
        error(f"{args.file}: {failure}")
        ended, status = "then the file changed under the reader", FAILED
    except BrokenPipeError:
        raise  # our reader went away, not the file's: the command ends quietly
    except READ_ERRORS as failure:
        error(f"{args.file}: {failure}")
        ended, status = "then a read error", FAILED
    ending = follower.ending() if status == OK else None
    if ending is not None and ending.cut_offset is not None:
        ended += f"; {ending.describe()}"
    print(f"{plural(follower.count, 'event')}, {ended}")
    if ending is not None and ending.failed and not interrupted:
        # The writer has been quiet for --idle seconds: what the reader cannot reach is lost to it.
        error(f"{args.file}: {ending.describe()}")
        status = FAILED
    return status


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
