"""Follow a WD1 or WD2 file that is still being written, like `tail -f`.

    python examples/follow.py                       # demo: a thread appends events while we follow
    python examples/follow.py FILE WD1|WD2 [--idle SECONDS]

An EventReader that ran out of data can simply be iterated again: it goes on
where it stopped. Writers flush in blocks that ignore event boundaries, so the
data often ends inside an event; the reader keeps what it has of that event
and yields it once the rest has arrived.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import TYPE_CHECKING

import vorn
from sample_files import write_wd2

if TYPE_CHECKING:
    from vorn import AnyEvent


def open_when_ready(path: str, reader_type: str, poll: float, idle: float) -> vorn.EventReader[AnyEvent]:
    # A WD2 reader needs the first event and the next header to exist before
    # it can be created; until then (or until the file exists) keep polling.
    deadline = time.monotonic() + idle
    while True:
        try:
            return vorn.EventReader(path, reader_type)
        except OSError as error:
            waiting = isinstance(error, FileNotFoundError) or str(error) == "failed to fill whole buffer"
            if not waiting or time.monotonic() > deadline:
                raise
        time.sleep(poll)


def follow(path: str, reader_type: str, poll: float = 0.1, idle: float = 5.0) -> Iterator[AnyEvent]:
    """Yield events as they arrive; stop after `idle` seconds without a new one."""
    reader = open_when_ready(path, reader_type, poll, idle)
    last_event = time.monotonic()
    while True:
        event = next(reader, None)
        if event is not None:
            last_event = time.monotonic()
            yield event
        elif time.monotonic() - last_event > idle:
            return
        else:
            time.sleep(poll)


def demo_writer(path: Path, events: int, interval: float) -> None:
    """Append WD2 events in 4 KiB blocks, the way a C stdio buffer flushes:
    most blocks end inside an event."""
    scratch = path.with_suffix(".all")
    write_wd2(scratch, events=events, samples=1500, channels=1)
    raw = scratch.read_bytes()
    block = 4096
    with path.open("ab", buffering=0) as f:
        for start in range(0, len(raw), block):
            f.write(raw[start : start + block])
            time.sleep(interval)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", nargs="?", help="file to follow (default: a demo WD2 file written meanwhile)")
    parser.add_argument("reader_type", nargs="?", choices=["WD1", "WD2"])
    parser.add_argument("--idle", type=float, default=5.0, help="stop after this many seconds without events")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        writer = None
        if args.file is None:
            args.file, args.reader_type, args.idle = str(Path(tmp) / "growing.wd2"), "WD2", 1.0
            writer = threading.Thread(target=demo_writer, args=(Path(args.file), 10, 0.02))
            writer.start()
        elif args.reader_type is None:
            parser.error("give the reader type, WD1 or WD2, after the file")
        count = 0
        for event in follow(args.file, args.reader_type, idle=args.idle):
            count += 1
            print(f"event_counter={event['event_counter']} timestamp={event['timestamp']} n={event['data'].size}")
        if writer is not None:
            writer.join()
    print(f"{count} events, then {args.idle:g} s without new data")
    return 0


if __name__ == "__main__":
    sys.exit(main())
