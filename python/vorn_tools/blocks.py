"""Events gathered into blocks of NumPy arrays, the unit that `info` and `convert` work on.

Python work per event is what limits a reading that keeps every sample, so
none runs per event: `_blocks.BlockReader` decodes the events of a block
straight into its arrays, allocated once and reused while they stay in the
CPU cache, and counts the bytes they took in the file.

As long as every event has the same number of samples, blocks are 2-D
(events x samples). The first event of another length switches the rest of
the file to flat blocks: all samples one after the other, plus each event's
length.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

import vorn

from . import _signals as signals, sizes
from ._blocks import BlockReader
from .formats import COLUMNS, SAMPLE_DTYPES, WD1_HEADER_SIZE, Layout, declared_size

__all__ = [
    "BadFile", "Block", "CountedEvents", "Ending", "EventBlocks", "FILE_ERRORS", "READ_ERRORS", "Selection",
    "ending_at", "event_size", "open_reader"
]

# What EventReader raises for a file it cannot go on reading.
READ_ERRORS = (OSError, MemoryError)

class BadFile(Exception):
    """A file that cannot be read the way it was asked for; the message names the place."""


# The message of the plain OSError a WD2 reader raises when the file ends
# before its first event and the next header.
TOO_SHORT = "failed to fill whole buffer"


def open_reader(path: str, layout: Layout) -> vorn.EventReader[Any]:
    """An EventReader, with the command's own words for a file too short to open as WD2."""
    with _too_short(layout):
        return vorn.EventReader(path, layout.reader_type)


def open_block_reader(path: str, layout: Layout) -> BlockReader:
    """A BlockReader, opened as open_reader opens an EventReader."""
    with _too_short(layout):
        return BlockReader(path, layout.reader_type)


@contextlib.contextmanager
def _too_short(layout: Layout) -> Iterator[None]:
    try:
        yield
    except OSError as error:
        if layout.reader_type == "WD2" and type(error) is OSError and str(error) == TOO_SHORT:
            raise BadFile("too short for WD2, or not a WD2 file: try --type auto") from None
        raise


# What reading a file can fail with, opening included: a failure of that file alone.
FILE_ERRORS = (*READ_ERRORS, BadFile)


@dataclass
class Block:
    headers: dict[str, NDArray[Any]]  # one column per header key, in the file's types
    data: NDArray[Any]  # 2-D (events, samples) when `lengths` is None, else flat
    lengths: NDArray[np.int64] | None
    start: int  # file offset of the block's first event
    sizes: NDArray[np.int64]  # bytes each event occupies in the file

    @property
    def events(self) -> int:
        return len(self.sizes)

    def event_lengths(self) -> NDArray[np.int64]:
        if self.lengths is not None:
            return self.lengths
        return np.full(self.events, self.data.shape[1], dtype=np.int64)


@dataclass
class Ending:
    """How a reading stopped, and what it left of the file: one account that every command words alike.

    A reading that stops before the end of the file without an error meets
    an event the file does not hold whole. When the bytes left could be the
    start of an event like those read (fewer than the largest of them, and
    the event there declares no more), an acquisition stopped while writing
    it: a trailing cut event, reported but no failure. Anything else, such as
    a whole recording after it, is data the reader could not reach: the file
    was not read to its end, a failure (`failed`).
    """

    bytes_read: int
    file_size: int
    error: str | None = None
    selected: bool = False  # it stopped after the events asked for, before the end
    events: int = 0  # events read (after those a selection skipped)
    largest: int = 0  # bytes of the largest event read, 0 for none
    declared: int | None = None  # bytes the event at the stop declares, None without its whole header

    @property
    def cut_offset(self) -> int | None:
        """Where the event that the end of the file cut short starts."""
        if self.error is None and not self.selected and self.bytes_read < self.file_size:
            return self.bytes_read
        return None

    @property
    def unread(self) -> int:
        """Bytes of the file after the reading's stop."""
        return max(0, self.file_size - self.bytes_read)

    @property
    def trailing(self) -> bool:
        """The stop is at one event cut short, of the file's usual size: nothing but that event is left."""
        if self.cut_offset is None:
            return False
        if not self.largest:  # nothing to compare with
            return self.declared is None or self.unread < self.declared
        return self.unread < self.largest and (self.declared is None or self.unread < self.declared <= self.largest)

    @property
    def failed(self) -> bool:
        """Data of the file was lost: a read error, or a stop before the end that is not a trailing cut event."""
        return self.error is not None or (self.cut_offset is not None and not self.trailing)

    @property
    def kind(self) -> str:
        if self.error is not None:
            return "error"
        if self.selected:
            return "selection"
        if self.cut_offset is None:
            return "end of file"
        return "cut" if self.trailing else "stopped"

    def describe(self) -> str:
        """How the reading ended, in the words every command prints."""
        if self.error is not None:
            return f"error: {self.error}; {self.unread} bytes unread"
        if self.selected:
            return f"stopped after the selected events, at offset {self.bytes_read}"
        offset = self.cut_offset
        if offset is None:
            return "end of file"
        if self.declared is None:
            event = f"{self.unread} bytes present, less than a header"
        else:
            event = f"{self.unread} of its {self.declared} bytes present"
        if self.trailing:
            return f"event cut at offset {offset}: {event}"
        largest = f"; events read take at most {self.largest} bytes" if self.largest else ""
        return (f"not read to its end: stopped at offset {offset} of {self.file_size}, {self.unread} bytes unread"
                f" (the event there: {event}{largest})")

    def as_dict(self) -> dict[str, Any]:
        """The same account for JSON and metadata."""
        offset = self.cut_offset
        return {
            "bytes_read": self.bytes_read,
            "file_size": self.file_size,
            "bytes_unread": 0 if self.selected else self.unread,
            "ending": self.kind,
            "ended": self.describe(),
            "cut_offset": offset,
            "cut_declared_size": self.declared if offset is not None else None,
            "cut_bytes_present": self.unread if offset is not None else None,
            "error": self.error,
        }


def ending_at(path: str, layout: Layout, position: int, events: int = 0, largest: int = 0,
              error: str | None = None, selected: bool = False) -> Ending:
    """The Ending of a reading of `path` that reached `position`, after `events` events of at most `largest` bytes."""
    size = os.stat(path).st_size
    stopped = error is None and not selected and position < size
    return Ending(position, size, error, selected and position < size, events, largest,
                  declared_size(path, position, layout) if stopped else None)


def event_size(event: dict[str, Any], layout: Layout) -> int:
    """How many bytes of the file an event that EventReader handed over took."""
    if layout.reader_type == "WD1":
        return max(int(event["event_size"]), WD1_HEADER_SIZE)
    return layout.header_size + 4 * int(event["data"].size)


class CountedEvents:
    """The events of an EventReader, counted with the bytes they take, for the account EventBlocks gives.

    A read error ends the iteration and is kept; `ending` tells afterwards
    how the reading ended, given whether it stopped at the events it wanted.
    """

    def __init__(self, path: str, layout: Layout) -> None:
        self.path = path
        self.layout = layout
        self.reader = open_reader(path, layout)
        self.events = 0
        self.position = 0
        self.largest = 0
        self.error: str | None = None

    def __iter__(self) -> Iterator[dict[str, Any]]:
        try:
            for event in self.reader:
                size = event_size(event, self.layout)
                self.events += 1
                self.position += size
                self.largest = max(self.largest, size)
                yield event
        except READ_ERRORS as error:
            message = str(error) or type(error).__name__
            where = f", reading the event at offset {self.position}"
            self.error = message if " at offset " in message else message + where

    def ending(self, selected: bool) -> Ending:
        return ending_at(self.path, self.layout, self.position, self.events, self.largest, self.error,
                         selected and self.error is None)


@dataclass(frozen=True)
class Selection:
    """Events START to STOP (STOP excluded, None for the end), counted from 0 as in a Python slice."""

    start: int = 0
    stop: int | None = None

    def __post_init__(self) -> None:
        # An empty or reversed range reads nothing, which is never what was meant.
        if self.start < 0:
            raise ValueError(f"START must not be negative, not {self.start}")
        if self.stop is not None and self.stop <= self.start:
            raise ValueError(f"{self.start}:{self.stop} selects no events: STOP must be above START")

    @classmethod
    def parse(cls, text: str) -> Selection:
        """'N' for the first N events, 'START:STOP' with either side left out; no negative numbers."""
        if ":" not in text:
            count = _count(text, "N")
            if count == 0:
                raise ValueError("N must be at least 1, not 0")
            return cls(0, count)
        low, high, *more = text.split(":")
        if more:
            raise ValueError(f"{text!r} is neither N nor START:STOP")
        start = _count(low, "START") if low.strip() else 0
        stop = _count(high, "STOP") if high.strip() else None
        return cls(start, stop)

    @property
    def everything(self) -> bool:
        return self.start == 0 and self.stop is None

    @property
    def count(self) -> int | None:
        return None if self.stop is None else max(0, self.stop - self.start)


def _count(text: str, name: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise ValueError(f"{name} must be a whole number, not {text.strip()!r}") from None
    if value < 0:
        raise ValueError(f"{name} must not be negative")
    return value


@dataclass
class EventBlocks:
    """Iterates a file in blocks; `ending` tells afterwards how the reading stopped.

    A block's arrays are reused for the next one, unless `fresh`: use or
    copy them first.

    With `float32`, WD1 samples are taken as the halves of 32-bit floats: a
    file with an event of an odd number of samples is refused with BadFile.
    WD2 files ignore it.
    A read error ends the iteration after the block of the events before it
    and is kept in `ending`; BadFile and faults are raised.
    """

    path: str
    layout: Layout
    float32: bool = False
    block_bytes: int = sizes.BLOCK_BYTES
    selection: Selection = Selection()
    # Called between blocks; it raises to abandon the reading (an interrupt, a cancelled task).
    check: Callable[..., None] = signals.check
    # New arrays for every block, which the caller may then keep, rather
    # than arrays the next block overwrites.
    fresh: bool = False
    # Told filled(data, headers, start, stop, before) as each part of
    # sizes.FILL_PART_BYTES of a 2-D block's rows is read, while those rows are still
    # in the cache, with the events handed over before the block; the block
    # itself is handed over once all of it is read.
    filled: Callable[[NDArray[Any], dict[str, NDArray[Any]], int, int, int], None] | None = None
    max_rows: int | None = None  # events per 2-D block at most, None for sizes.BLOCK_MAX_EVENTS
    # Every block 2-D, an event of another length starting the next one, rather than the rest of the file flat.
    fixed: bool = False
    # The file opened at once and kept open: each iteration goes on where the last one stopped, so that a
    # file still being written gives the events added since, one its end cut short once it is whole.
    follow: bool = False
    ending: Ending | None = field(default=None, init=False)

    def __post_init__(self) -> None:
        kind = self.layout.reader_type
        self.float32 = self.float32 and kind == "WD1"  # WD2 samples are floats already
        self._columns = COLUMNS[kind]
        self._sample_dtype = SAMPLE_DTYPES[kind]
        self._offset = 0
        self._events = 0
        self._largest = 0  # bytes of the largest event handed over
        self._error: BaseException | None = None
        self._left = self.selection.count  # events still to hand over, None for all
        self._arrays: tuple[NDArray[Any], list[NDArray[Any]]] | None = None  # reused by every 2-D block
        self._flat = False  # an event of another length came: the blocks are flat from there on
        self._width: int | None = None  # samples per event of the 2-D blocks so far
        self._reader: BlockReader | None = None
        if self.follow:
            self._reader = self._open()

    @property
    def sample_dtype(self) -> np.dtype[Any]:
        return np.dtype(np.float32) if self.float32 else self._sample_dtype

    @property
    def position(self) -> int:
        """The file offset just past the last event handed over."""
        return self._offset

    @property
    def read_error(self) -> BaseException | None:
        """The read error that ended the iteration, as the reader raised it."""
        return self._error

    def _open(self) -> BlockReader:
        reader = open_block_reader(self.path, self.layout)
        self._skip(reader, self.selection.start)
        return reader

    def __iter__(self) -> Iterator[Block]:
        reader = self._reader if self._reader is not None else self._open()
        while (length := self._peek(reader)) is not None:
            # Decided on the event peeked, not at the end of the block before: a block that filled
            # up just before an event of another length ended without reading it.
            if not (self._flat or self.fixed) and self._width not in (None, length):
                self._flat = True
            if self._flat:
                block = self._flat_block(reader, length)
            else:
                block = self._fixed_block(reader, length)
                self._width = length
            yield self._finish(block)
            self.check()
        self.ending = ending_at(self.path, self.layout, self._offset, self._events, self._largest,
                                None if self._error is None else self._describe(self._error),
                                self._left == 0 and self._error is None)

    def _peek(self, reader: BlockReader) -> int | None:
        """The length of the next event to hand over; None at the end of the data, of the selection, or at a read error."""
        if self._left == 0 or self._error is not None:
            return None
        try:
            return reader.peek()
        except READ_ERRORS as error:
            self._error = error
            return None

    def _skip(self, reader: BlockReader, count: int) -> None:
        """Read past `count` events, keeping the offset."""
        left, self._left = self._left, None
        try:
            while count and (length := self._peek(reader)) is not None:
                rows = max(1, min(count, 4096, sizes.SKIP_READ_BYTES // max(1, length * self._sample_dtype.itemsize)))
                columns = self._header_arrays(rows)
                count -= reader.read(self._named(columns), np.empty((rows, length), self._sample_dtype), 0, rows)
                self.check()
        finally:
            self._left = left
        self._offset = reader.position

    def block_rows(self, event_bytes: int) -> int:
        """Events in every 2-D block but the last, for events of that many bytes of samples."""
        rows = sizes.BLOCK_MAX_EVENTS if self.max_rows is None else self.max_rows
        return max(1, min(rows, self.block_bytes // max(1, event_bytes)))

    def _header_arrays(self, rows: int) -> list[NDArray[Any]]:
        return [np.empty(rows, dtype=dtype) for _, dtype in self._columns]

    def _named(self, columns: list[NDArray[Any]]) -> dict[str, NDArray[Any]]:
        return {key: column for (key, _), column in zip(self._columns, columns)}

    def _rows(self, capacity: int) -> int:
        return capacity if self._left is None else min(capacity, self._left)

    def _fixed_block(self, reader: BlockReader, width: int) -> Block:
        """A 2-D block of events of `width` samples, up to the first event of another length."""
        capacity = self.block_rows(width * self._sample_dtype.itemsize)
        if self.fresh or self._arrays is None or self._arrays[0].shape != (capacity, width):
            # Allocated once: fresh memory for every block would cost a page
            # fault per page and reach the cache cold.
            self._arrays = (np.empty((capacity, width), dtype=self._sample_dtype), self._header_arrays(capacity))
        data, columns = self._arrays
        named = self._named(columns)
        if self.filled is None:
            count = reader.read(named, data, 0, self._rows(capacity))
        else:
            count, wanted = 0, self._rows(capacity)
            part = max(1, sizes.FILL_PART_BYTES // max(1, width * self._sample_dtype.itemsize))
            while count < wanted:
                stop = min(wanted, count + part)
                try:
                    got = reader.read(named, data, count, stop)
                except READ_ERRORS as error:
                    # A part that fails at its first event: the reader raises at once, where one read
                    # of the block would have ended it there and kept the error for the next call.
                    if count == 0:
                        raise
                    self._error = error
                    break
                if got:
                    self.filled(data, named, count, count + got, self._events)
                count += got
                if count < stop:  # the end, an event of another length, or a read error
                    break
        if self._left is not None:
            self._left -= count
        return self._block(columns, data, count, None)

    def _flat_block(self, reader: BlockReader, length: int) -> Block:
        data = np.empty(max(length, sizes.FLAT_BLOCK_BYTES // self._sample_dtype.itemsize),
                        dtype=self._sample_dtype)
        rows = self._rows(sizes.BLOCK_MAX_EVENTS)
        columns = self._header_arrays(rows)
        lengths = np.empty(rows, dtype=np.int64)
        count, used = reader.read_flat(self._named(columns), data, lengths, 0, rows, 0)
        if self._left is not None:
            self._left -= count
        return self._block(columns, data[:used], count, lengths[:count])

    def _block(self, columns: list[NDArray[Any]], data: NDArray[Any], count: int,
               lengths: NDArray[np.int64] | None) -> Block:
        headers = {key: column[:count] for (key, _), column in zip(self._columns, columns)}
        if self.layout.reader_type == "WD1":
            sizes = np.maximum(headers["event_size"], WD1_HEADER_SIZE).astype(np.int64)
        else:
            per_event = lengths if lengths is not None else np.full(count, data.shape[1], dtype=np.int64)
            sizes = self.layout.header_size + 4 * per_event
        return Block(headers, data[:count] if lengths is None else data, lengths, self._offset, sizes)

    def _finish(self, block: Block) -> Block:
        self._offset += int(block.sizes.sum())
        self._events += block.events
        if block.events:
            self._largest = max(self._largest, int(block.sizes.max()))
        if not self.float32:
            return block
        odd = np.flatnonzero(block.event_lengths() % 2)
        if odd.size:
            i = int(odd[0])
            offset = block.start + int(block.sizes[:i].sum())
            raise BadFile(
                f"event at offset {offset} has {int(block.event_lengths()[i])} samples,"
                " an odd number, so they cannot be read as float32 (--float32)"
            )
        lengths = None if block.lengths is None else block.lengths // 2
        return Block(block.headers, block.data.view(np.float32), lengths, block.start, block.sizes)

    def _describe(self, error: BaseException) -> str:
        message = str(error) or type(error).__name__
        if " at offset " in message:
            return message
        # The reader names the offset of invalid data only; any other error
        # struck while it read the event after the last whole one.
        return f"{message}, reading the event at offset {self._offset}"
