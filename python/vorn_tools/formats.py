"""What the command needs to know about the two formats beyond what EventReader yields.

EventReader hands over events, not where they sit in the file. To say how a
reading ended (the end of the file, or an event cut short at some offset) the
command adds up each event's size from its header; for WD2 that needs the
layout the reader picked when it opened the file, which it does not expose,
so `wd2_layout` repeats that choice here from the same bytes.
"""

from __future__ import annotations

import errno
import os
import stat
import struct
from dataclasses import dataclass
from typing import Any

import numpy as np

__all__ = [
    "COLUMNS", "Layout", "SAMPLE_DTYPES", "Unclassified", "WD1_HEADER", "WD1_HEADER_SIZE", "WD2_HEADER",
    "declared_size", "detect_type", "guess_type", "look_like_float_halves", "open_layout"
]

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
    """The layout of a file read as `reader_type`; WD1 has only one.

    A WD2 stream that cannot be looked at ahead of the reader (a pipe) gets
    the one-channel layout: the reader itself still reads it right, only the
    offsets the command works out may then be off.

    Parameters
    ----------
    path : str
        The file.
    reader_type : {"WD1", "WD2"}
        The format to read it as.

    Returns
    -------
    Layout
        For WD2, the channel count K and whether events carry the channels
        word, found as `vorn.EventReader` finds them.

    Raises
    ------
    OSError
        When the file cannot be opened, or a WD2 layout cannot be detected
        (``failed to fill whole buffer`` for a file too short to tell).

    Examples
    --------
    A WD2 file of two events of three channels, each with the channels word:

    >>> import numpy as np, struct
    >>> with open("three.wd2", "wb") as f:
    ...     for counter in range(2):
    ...         _ = f.write(struct.pack("<IQIQi", counter, 0, 4, 200, 3) + np.zeros(12, "<f4").tobytes())
    >>> open_layout("three.wd2", "WD2")
    Layout(reader_type='WD2', channels=3, channel_word=True)
    >>> guess_type("three.wd2"), detect_type("three.wd2")
    ('WD2', 'WD2')
    """
    if reader_type == "WD1":
        return Layout("WD1")
    fd = os.open(path, os.O_RDONLY)
    try:
        return wd2_layout(fd, os.fstat(fd).st_size) or Layout("WD2")
    except OSError as error:
        if error.errno == errno.ESPIPE:
            return Layout("WD2")
        raise
    finally:
        os.close(fd)


def declared_size(path: str, offset: int, layout: Layout) -> int | None:
    """The bytes the event at `offset` declares it takes, from its header; None when the header is not all there.

    What a reading that stopped short of the end compares the bytes left
    with: an event cut by the end of the file declares more than are left.
    """
    try:
        with open(path, "rb") as file:
            file.seek(offset)
            head = file.read(layout.header_size)
    except OSError:
        return None
    if len(head) < layout.header_size:
        return None
    if layout.reader_type == "WD1":
        size: int = WD1_HEADER.unpack(head)[0]
        # The reader takes event_size as unsigned: a negative one runs into the end of the file.
        return size % 2**32 if size < 0 else max(size, WD1_HEADER_SIZE)
    samples: int = WD2_HEADER.unpack_from(head)[2]
    # K of the first event sizes every payload, whatever an event's own word says.
    return layout.header_size + 4 * samples * layout.channels


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


def _wd2_untested(fd: int, size: int) -> bool:
    """The file ends before the second header the reader's detection compares.

    A file that is still being written is that short until its second WD2
    event arrives; the WD2 reading has not failed then, it has not been tried.
    """
    head = _read_at(fd, 0, WD2_HEADER_SIZE + WD2_WORD.size)
    if head is None:
        return True
    samples = WD2_HEADER.unpack_from(head)[2]
    payload = _wd2_payload(samples, WD2_WORD.unpack_from(head, WD2_HEADER_SIZE)[0])
    if payload is not None and len(head) + payload <= size:
        return 2 * len(head) + payload > size
    return bool(2 * WD2_HEADER_SIZE + 4 * samples > size)


def _wd2_holds(fd: int, size: int) -> bool | None:
    """The reader's detection meets a consistent second header, and the next ones agree.

    A first event whose following header disagrees is read by EventReader as
    one channel without the word anyway; that fallback proves nothing, so it
    counts here only when the header after a one-channel event repeats
    samples and sampling_period. None when the file is too short to tell.
    """
    if _wd2_untested(fd, size):
        return None
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


class Unclassified(Exception):
    """`auto` cannot say which format a file is in; the message says why.

    `final` when waiting for the file to grow cannot help.
    """

    def __init__(self, message: str, final: bool = False) -> None:
        super().__init__(message)
        self.final = final


def guess_type(path: str) -> str | None:
    """"WD1" or "WD2" when only that reading holds, None when both or neither do.

    Also None while the file is too short for the WD2 reading to be tried: a
    WD2 file being written starts with bytes that may read as a whole WD1
    event (a counter of 24 or more read as event_size), so the WD1 reading
    holding proves nothing until the WD2 one has failed.

    Parameters
    ----------
    path : str
        The file, which is read from its start and not changed.

    Returns
    -------
    str or None
        ``"WD1"``, ``"WD2"``, or None when the file cannot be told apart (yet).

    Raises
    ------
    OSError
        When the file cannot be opened or read.
    """
    fd = os.open(path, os.O_RDONLY)
    try:
        size = os.fstat(fd).st_size
        wd1, wd2 = _wd1_holds(fd, size), _wd2_holds(fd, size)
    finally:
        os.close(fd)
    if wd2 is None:
        return None
    if wd1 != wd2:
        return "WD1" if wd1 else "WD2"
    return None


def detect_type(path: str) -> str:
    """The format `auto` settles on, or Unclassified saying why there is none.

    Only regular files are looked at: the look ahead would consume a pipe.

    Parameters
    ----------
    path : str
        The file.

    Returns
    -------
    str
        ``"WD1"`` or ``"WD2"``.

    Raises
    ------
    Unclassified
        For an empty file, one of neither format or of both, or one that is
        not a regular file, with the words the command prints.
    OSError
        When the file cannot be opened or read.
    """
    info = os.stat(path)
    if stat.S_ISDIR(info.st_mode):
        raise Unclassified("a folder, not an event file", final=True)
    if not stat.S_ISREG(info.st_mode):
        raise Unclassified("the format of a pipe or device cannot be detected: pass --type WD1 or --type WD2",
                           final=True)
    if info.st_size == 0:
        raise Unclassified("the file is empty")
    kind = guess_type(path)
    if kind is None:
        raise Unclassified("cannot tell WD1 from WD2: pass --type WD1 or --type WD2")
    return kind


# --- samples that are floats in disguise ---------------------------------------

HINT_PAIRS = 32  # fewer pairs of samples than that prove nothing either way


def look_like_float_halves(samples: np.ndarray[Any, Any]) -> bool:
    """Whether WD1 samples (rows of an even count) read like the halves of 32-bit floats.

    A float's high half holds its sign, its exponent and the top of its
    mantissa: floats of one sign and a similar magnitude give high halves in a
    narrow band of normal, finite exponents, while the low halves, the rest of
    the mantissa, spread over the whole 16-bit range. ADC counts never look
    like that: neighbouring samples come from one distribution, so odd and
    even ones spread alike, pulses and saturation included.
    """
    if samples.ndim != 2 or samples.shape[1] % 2 or samples.size < 2 * HINT_PAIRS:
        return False
    high = samples[:, 1::2].astype(np.int64)
    low = samples[:, 0::2].astype(np.int64)
    exponents = (high >> 7) & 0xFF
    if exponents.min() == 0 or exponents.max() == 0xFF:
        return False  # zeros, subnormals, infinities or NaNs
    if (high >> 15).min() != (high >> 15).max():
        return False
    band = int(high.max() - high.min())
    # The middle 80% of the low halves, not their extremes: a single glitch
    # on one even sample stretches the range of ADC counts as far as float
    # bits spread, but leaves the bulk of them in the noise.
    low_10, low_90 = np.quantile(low, [0.1, 0.9])
    spread = int(low_90 - low_10)
    return band <= 0x400 and spread >= 0x4000 and spread >= 16 * (band + 1)
