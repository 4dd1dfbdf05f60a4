"""What the command needs to know about the two formats beyond what EventReader yields.

EventReader hands over events, not where they sit in the file. To say how a
reading ended (the end of the file, or an event cut short at some offset) the
command adds up each event's size from its header; for WD2 that needs the
layout the reader picked when it opened the file, which it does not expose,
so `wd2_layout` repeats that choice here from the same bytes.
"""

from __future__ import annotations

import os
import struct
from dataclasses import dataclass
from typing import Any

import numpy as np

WD1_HEADER = struct.Struct("<6i")
WD2_HEADER = struct.Struct("<IQIQ")
WD2_WORD = struct.Struct("<i")
WD1_HEADER_SIZE = WD1_HEADER.size
WD2_HEADER_SIZE = WD2_HEADER.size

# Header keys in the order EventReader puts them, with the type each has in
# the file; HDF5 columns keep these types.
COLUMNS: dict[str, tuple[tuple[str, np.dtype[np.integer]], ...]] = {
    "WD1": tuple(
        (key, np.dtype(np.int32))
        for key in ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")
    ),
    "WD2": (
        ("event_counter", np.dtype(np.uint32)),
        ("timestamp", np.dtype(np.uint64)),
        ("samples", np.dtype(np.uint32)),
        ("sampling_period", np.dtype(np.uint64)),
        ("channels", np.dtype(np.int32)),
    ),
}
SAMPLE_DTYPES: dict[str, np.dtype[Any]] = {"WD1": np.dtype(np.uint16), "WD2": np.dtype(np.float32)}

# How many events the automatic choice of format walks through at most.
PROBE_EVENTS = 16


@dataclass(frozen=True)
class Layout:
    """How a file's events are laid out, as EventReader reads them."""

    reader_type: str
    channels: int = 1  # WD2: the channel count K that sizes every payload
    channel_word: bool = False  # WD2: every event carries the channels word

    @property
    def header_size(self) -> int:
        if self.reader_type == "WD1":
            return WD1_HEADER_SIZE
        return WD2_HEADER_SIZE + (WD2_WORD.size if self.channel_word else 0)


def _wd2_payload(samples: int, channels: int) -> int | None:
    """Payload bytes, or None where the reader finds the length impossible."""
    if samples == 0 or channels == 0:
        return 0
    if channels < 0 or samples * channels > (2**64 - 1) // 8:
        return None
    return 4 * samples * channels


def _read_at(fd: int, offset: int, size: int) -> bytes | None:
    raw = os.pread(fd, size, offset)
    return raw if len(raw) == size else None


def wd2_layout(fd: int, size: int) -> Layout | None:
    """The layout EventReader chooses for this WD2 file, or None where it fails to open it.

    Mirrors the reader's detection: the first event read with the channels
    word, then the next header decides; a first event that cannot be read
    that way leaves only the one-channel reading without the word.
    """
    head = _read_at(fd, 0, WD2_HEADER_SIZE + WD2_WORD.size)
    if head is None:
        return None
    counter, _, samples, period = WD2_HEADER.unpack_from(head)
    (channels,) = WD2_WORD.unpack_from(head, WD2_HEADER_SIZE)
    payload = _wd2_payload(samples, channels)
    start = len(head)
    if payload is not None and start + payload <= size:
        second = _read_at(fd, start + payload, len(head))
        if second is None:
            return None
        counter2, _, samples2, period2 = WD2_HEADER.unpack_from(second)
        (channels2,) = WD2_WORD.unpack_from(second, WD2_HEADER_SIZE)
        if (counter2, samples2, period2, channels2) == ((counter + 1) % 2**32, samples, period, channels):
            return Layout("WD2", channels, True)
        return Layout("WD2")
    return Layout("WD2") if _repeats_without_word(fd, samples, period) else None


def _repeats_without_word(fd: int, samples: int, period: int) -> bool:
    second = _read_at(fd, WD2_HEADER_SIZE + 4 * samples, WD2_HEADER_SIZE)
    if second is None:
        return False
    _, _, samples2, period2 = WD2_HEADER.unpack(second)
    return (samples2, period2) == (samples, period)


def open_layout(path: str, reader_type: str) -> Layout:
    """The layout of a file read as `reader_type`; WD1 has only one."""
    if reader_type == "WD1":
        return Layout("WD1")
    fd = os.open(path, os.O_RDONLY)
    try:
        return wd2_layout(fd, os.fstat(fd).st_size) or Layout("WD2")
    finally:
        os.close(fd)


# --- telling the formats apart ----------------------------------------------

def _wd1_holds(fd: int, size: int) -> bool:
    """The event_size chain leads from event to event through the first events.

    The walk may stop at the end of the file, or at an event cut by it once
    two whole events have chained: a first word that merely looks like a size
    rarely leads to a second header that does too.
    """
    offset = whole = 0
    while whole < PROBE_EVENTS and offset < size:
        head = _read_at(fd, offset, WD1_HEADER_SIZE)
        if head is None:
            return whole >= 2
        event_size = WD1_HEADER.unpack(head)[0]
        if event_size < WD1_HEADER_SIZE:
            return False
        if offset + event_size > size:
            return whole >= 2
        offset += event_size
        whole += 1
    return whole > 0


def _wd2_holds(fd: int, size: int) -> bool:
    """The reader's detection meets a consistent second header, and the next ones agree.

    A first event whose following header disagrees is read by EventReader as
    one channel without the word anyway; that fallback proves nothing, so it
    counts here only when the header after a one-channel event repeats
    samples and sampling_period.
    """
    layout = wd2_layout(fd, size)
    if layout is None:
        return False
    head = _read_at(fd, 0, layout.header_size)
    assert head is not None  # the detection read it
    _, _, samples, period = WD2_HEADER.unpack_from(head)
    if not layout.channel_word and not _repeats_without_word(fd, samples, period):
        return False
    offset = whole = 0
    while whole < PROBE_EVENTS:
        head = _read_at(fd, offset, layout.header_size)
        if head is None:
            return whole >= 2
        _, _, samples_i, period_i = WD2_HEADER.unpack_from(head)
        if (samples_i, period_i) != (samples, period):
            return False
        if layout.channel_word and WD2_WORD.unpack_from(head, WD2_HEADER_SIZE)[0] != layout.channels:
            return False
        offset += layout.header_size + 4 * samples * layout.channels
        whole += 1
        if offset >= size:
            break
    return True


def guess_type(path: str) -> str | None:
    """"WD1" or "WD2" when only that reading holds, None when both or neither do."""
    fd = os.open(path, os.O_RDONLY)
    try:
        size = os.fstat(fd).st_size
        wd1, wd2 = _wd1_holds(fd, size), _wd2_holds(fd, size)
    finally:
        os.close(fd)
    if wd1 != wd2:
        return "WD1" if wd1 else "WD2"
    return None
