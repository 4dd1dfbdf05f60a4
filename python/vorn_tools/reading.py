"""Public blocks of events: `iterate` reads files in steps of arrays, after uproot's `iterate`.

A block is a mapping of column name to NumPy array, one row per event, plus
where it comes from (`path`) and which events it holds: `entry_start` and
`entry_stop` count events over all the files, `file_entry_start` and
`file_entry_stop` within its file. Blocks never span two files.

Columns: every header key in the file's own type; `time_tag` (int64 for
WD1, the uint64 timestamp for WD2, see `vorn_tools.timing`), and `time` in
seconds when a tick is given; then `data`:

- (events, samples) when every event of the block has as many samples;
- (events, channels, samples) for a WD2 file of two channels or more;
- otherwise flat, all samples one after the other, with `offsets`
  (events + 1 values, uint64) so that event i is data[offsets[i]:offsets[i + 1]].

So a file's blocks may change from the first layout to the last one where
its events stop having the same length. Blocks own their arrays: keeping
one does not keep the file open or change with the next.

`step_size` is a number of events when it is an int, and an amount of memory
when it is a string with a unit ("64 MB", "1 GiB"); the number of events
that fills it is taken from the first block of each file.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import sizes, timing
from .blocks import BadFile, Block, Ending, EventBlocks
from .formats import Layout, guess_type, open_layout
from .units import parse_size

__all__ = [
    "Columns", "EventBlock", "Endings", "FilePieces", "Filled", "Piece", "Steps", "classify", "iterate",
    "iterate_files", "parse_step"
]

TYPES = ("auto", "WD1", "WD2")


class Columns(Mapping[str, NDArray[Any]]):
    """Columns of events by name, entries `entry_start` to `entry_stop` of what is read."""

    def __init__(self, columns: dict[str, NDArray[Any]], events: int, entry_start: int) -> None:
        self.columns = columns
        self.events = events
        self.entry_start = entry_start
        self.entry_stop = entry_start + events

    def __getitem__(self, key: str) -> NDArray[Any]:
        return self.columns[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self.columns)

    def __len__(self) -> int:
        return len(self.columns)


class EventBlock(Columns):
    """The columns of consecutive events of one file, and which events they are."""

    def __init__(self, columns: dict[str, NDArray[Any]], path: str, events: int, entry_start: int,
                 file_entry_start: int) -> None:
        super().__init__(columns, events, entry_start)
        self.path = path
        self.bytes_read = 0  # of the file, when the block was handed out (progress, not the block's end)
        self.file_entry_start = file_entry_start
        self.file_entry_stop = file_entry_start + self.events

    def __repr__(self) -> str:
        return (f"<EventBlock {self.path} entries {self.file_entry_start}:{self.file_entry_stop}"
                f" columns {', '.join(self.columns)}>")


def parse_step(step_size: int | str) -> tuple[int | None, int | None]:
    """(events, None) for an int, (None, bytes) for "64 MB" and the like.

    Parameters
    ----------
    step_size : int or str
        Events (an int of at least 1), or an amount of memory with its unit.

    Returns
    -------
    tuple of (int or None, int or None)
        The events, or the bytes, of a step; the other is None.

    Raises
    ------
    TypeError
        For anything but an int or a str (a bool included).
    ValueError
        For fewer than one event, or a size that cannot be read.

    Examples
    --------
    >>> parse_step(1000), parse_step("64 MB"), parse_step("1 KiB")
    ((1000, None), (None, 64000000), (None, 1024))
    """
    if isinstance(step_size, bool) or not isinstance(step_size, (int, str)):
        raise TypeError(f"step_size must be an int (events) or a str such as '64 MB', not {step_size!r}")
    if isinstance(step_size, int):
        if step_size < 1:
            raise ValueError(f"step_size must be at least 1 event, not {step_size}")
        return step_size, None
    return None, parse_size(step_size, "step size")


def classify(path: str, type: str = "auto") -> Layout:
    """The layout of `path` read as `type`; BadFile naming the file when it cannot be opened or told apart.

    Parameters
    ----------
    path : str
        The file.
    type : {"auto", "WD1", "WD2"}
        The format to read it as; ``"auto"`` decides from the file.

    Returns
    -------
    vorn_tools.formats.Layout
        The format and, for WD2, the channel count and whether events carry the channels word.

    Raises
    ------
    BadFile
        When the file cannot be opened, or ``"auto"`` cannot tell WD1 from WD2.
    ValueError
        For an unknown `type`.
    """
    if type not in TYPES:
        raise ValueError(f"unknown type {type!r}, expected one of {', '.join(map(repr, TYPES))}")
    try:
        kind = guess_type(path) if type == "auto" else type
        if kind is None:
            raise BadFile(f"cannot tell WD1 from WD2 for {path}: pass type='WD1' or type='WD2'")
        return open_layout(path, kind)
    except OSError as error:
        raise BadFile(f"cannot open {path}: {error.strerror or error}") from error


# --- pieces: copied blocks that can be cut and joined -------------------------------

@dataclass
class Piece:
    """Events in arrays this module owns: row-aligned `columns`, and `flat` samples when lengths vary.

    While lengths agree, the samples are the row-aligned column "data" and
    `flat`/`lengths` are None.
    """

    columns: dict[str, NDArray[Any]]
    flat: NDArray[Any] | None = None
    lengths: NDArray[np.int64] | None = None

    @property
    def rows(self) -> int:
        return len(next(iter(self.columns.values())))

    @property
    def nbytes(self) -> int:
        return sum(a.nbytes for a in self.columns.values()) + (0 if self.flat is None else self.flat.nbytes)

    def split(self, n: int) -> tuple[Piece, Piece]:
        head = {k: v[:n] for k, v in self.columns.items()}
        tail = {k: v[n:] for k, v in self.columns.items()}
        if self.flat is None or self.lengths is None:
            return Piece(head), Piece(tail)
        cut = int(self.lengths[:n].sum())
        return (Piece(head, self.flat[:cut], self.lengths[:n]),
                Piece(tail, self.flat[cut:], self.lengths[n:]))

    def take(self, rows: NDArray[np.intp]) -> Piece:
        """The rows at these indices; row-aligned pieces only."""
        assert self.flat is None
        return Piece({k: v[rows] for k, v in self.columns.items()})


def concat(pieces: Sequence[Piece]) -> Piece:
    """One piece of these, flat when their samples do not all have one shape."""
    if len(pieces) == 1:
        return pieces[0]
    keys = [k for k in pieces[0].columns if k != "data"]
    columns = {k: np.concatenate([p.columns[k] for p in pieces]) for k in keys}
    shapes = {p.columns["data"].shape[1:] for p in pieces if p.flat is None}
    if all(p.flat is None for p in pieces) and len(shapes) == 1:
        columns["data"] = np.concatenate([p.columns["data"] for p in pieces])
        return Piece(columns)
    flats, lengths = [], []
    for p in pieces:
        if p.flat is None or p.lengths is None:
            data = p.columns["data"]
            flats.append(data.reshape(-1))
            lengths.append(np.full(len(data), int(np.prod(data.shape[1:])), dtype=np.int64))
        else:
            flats.append(p.flat)
            lengths.append(p.lengths)
    return Piece(columns, np.concatenate(flats), np.concatenate(lengths))


class Steps:
    """Re-cuts a stream of pieces into pieces of `events` rows (the last one shorter).

    With `nbytes` instead, the number of rows is the one that fills it at the
    first piece's size per row; with neither, the pieces pass as they come.
    """

    def __init__(self, events: int | None, nbytes: int | None) -> None:
        self.events = events
        self.nbytes = nbytes
        self._held: list[Piece] = []
        self._count = 0

    def push(self, piece: Piece) -> Iterator[Piece]:
        if piece.rows == 0:
            return
        if self.events is None and self.nbytes is None:  # the pieces are the steps
            yield piece
            return
        if self.events is None:
            assert self.nbytes is not None
            self.events = max(1, self.nbytes * piece.rows // max(1, piece.nbytes))
        self._held.append(piece)
        self._count += piece.rows
        while self._count >= self.events:
            yield self._take(self.events)

    def flush(self) -> Iterator[Piece]:
        if self._count:
            yield self._take(self._count)

    def _take(self, n: int) -> Piece:
        taken, count = [], 0
        while count < n:
            piece = self._held.pop(0)
            if count + piece.rows > n:
                piece, rest = piece.split(n - count)
                self._held.insert(0, rest)
            taken.append(piece)
            count += piece.rows
        self._count -= n
        return concat(taken)


def block_piece(block: Block) -> Piece:
    """An EventBlocks block of `fresh` arrays as a piece; flat blocks are new arrays always."""
    columns = dict(block.headers)
    offsets = block.start + np.concatenate(([0], np.cumsum(block.sizes[:-1], dtype=np.int64)))
    columns["offset"] = offsets.astype(np.int64)
    if block.lengths is None:
        columns["data"] = block.data
        return Piece(columns)
    return Piece(columns, block.data, block.lengths)


class FilePieces:
    """A file's events as pieces, with their file offsets in the column "offset".

    A file that cannot be read to its end (a read error, or a stop before
    the end that is more than a trailing cut event, see `Ending`) raises
    BadFile, naming the file, after the pieces of the events before it. `bytes_read` grows piece by
    piece, and `ending` tells afterwards how the reading ended.
    """

    def __init__(self, path: str, layout: Layout, float32: bool = False, block_bytes: int = sizes.ITERATE_READ_BYTES,
                 filled: Filled | None = None) -> None:
        self.path = path
        self.blocks = EventBlocks(path, layout, float32, block_bytes, fresh=True, filled=filled)
        self.bytes_read = 0

    @property
    def ending(self) -> Ending | None:
        return self.blocks.ending

    def __iter__(self) -> Iterator[Piece]:
        try:
            for block in self.blocks:
                self.bytes_read += int(block.sizes.sum())
                yield block_piece(block)
        except BadFile as error:
            raise BadFile(f"{self.path}: {error}") from error
        assert self.blocks.ending is not None
        if self.blocks.ending.error is not None:
            raise BadFile(f"{self.path}: {self.blocks.ending.error}")
        if self.blocks.ending.failed:
            raise BadFile(f"{self.path}: {self.blocks.ending.describe()}")


# --- the public iteration ------------------------------------------------------------

def iterate(paths: str | Iterable[str], step_size: int | str = sizes.ITERATE_STEP, type: str = "auto",
            float32: bool = False, tick: str | float | None = None) -> Iterator[EventBlock]:
    """Blocks of `step_size` events (or bytes) from each file in turn; see the module's description.

    Every file is opened and classified first: one that cannot be raises
    BadFile naming it before any block is yielded. A file that cannot be read
    to its end yields the blocks of the events before the failure, then
    raises BadFile with the file's name, the message and the event's offset.
    A file that ends inside its last event, one like those before it, just
    ends; a reading that stops before data it cannot reach, such as a second
    recording after a cut event, is a failure too. With `float32`, WD1
    samples are read as the halves of float32 values (see `EventBlocks`).

    Parameters
    ----------
    paths : str or iterable of str
        The files, read one after the other.
    step_size : int or str
        Events per block (an int), or the memory a block's samples take
        (``"64 MB"``, ``"1 GiB"``).
    type : {"auto", "WD1", "WD2"}
        The files' format; ``"auto"`` tells each file's apart, or refuses it.
    float32 : bool
        Read WD1 samples as the two halves of float32 values.
    tick : str or float, optional
        The board's clock tick (``"8 ns"``, or seconds): adds the ``time``
        column, in seconds.

    Returns
    -------
    iterator of EventBlock
        Blocks of the header columns, ``time_tag``, ``time`` (with a tick)
        and ``data`` (with ``offsets`` when the events' lengths differ).

    Raises
    ------
    BadFile
        For a file that cannot be opened, told apart or read to its end.
    ValueError
        For an unknown `type` or a `step_size` that cannot be read.
    TypeError
        For a `step_size` that is neither an int nor a str.

    Examples
    --------
    A file of five WD1 events of 100 samples, read two events at a time:

    >>> import numpy as np, struct
    >>> with open("five.wd1", "wb") as f:
    ...     for counter in range(5):
    ...         _ = f.write(struct.pack("<6i", 224, 1, 0, 0, counter, 10 * counter))
    ...         _ = f.write(np.full(100, 2000 + counter, "<u2").tobytes())
    >>> for block in iterate("five.wd1", step_size=2, tick="8 ns"):
    ...     print(block.entry_start, block["data"].shape, block["event_counter"], block["time"] * 1e9)
    0 (2, 100) [0 1] [ 0. 80.]
    2 (2, 100) [2 3] [160. 240.]
    4 (1, 100) [4] [320.]
    """
    return iterate_files(paths, step_size, type, float32, tick)


# Told, for each file, how its reading ended, also when it failed part-way.
Endings = Callable[[str, Ending], None]
# Told rows [start, stop) of a block's samples and headers as they are read, and the events of the
# file before the block (see EventBlocks.filled).
Filled = Callable[[NDArray[Any], dict[str, NDArray[Any]], int, int, int], None]
# Told the file and its layout first: what `Filled` each file's blocks are read with.
FilledIn = Callable[[str, Layout], Filled]


def iterate_files(paths: str | Iterable[str], step_size: int | str = sizes.ITERATE_STEP, type: str = "auto",
                  float32: bool = False, tick: str | float | None = None,
                  ended: Endings | None = None, filled: FilledIn | None = None) -> Iterator[EventBlock]:
    """`iterate`, telling `ended` how the reading of each file ended; each block's `bytes_read` says how far
    into its file the reading was when it was handed out. With steps in bytes, whose blocks are the ones
    read, `filled(path, layout)` is told the rows of each 2-D block as they are read, in the block's own
    arrays (WD1 samples read as float32 aside, which the block views afresh)."""
    if isinstance(paths, str):
        paths = [paths]
    events, nbytes = parse_step(step_size)
    seconds = None if tick is None else timing.parse_tick(tick)
    layouts = [(path, classify(path, type)) for path in paths]
    entry = 0
    for path, layout in layouts:
        file_entry = 0
        steps = Steps(events, None)
        unwrap = timing.time_tags()
        # A step in bytes is the size EventBlocks fills: its blocks, copied
        # once, are the steps, with no second copy to re-cut them.
        told = None if filled is None or (float32 and layout.reader_type == "WD1") else filled(path, layout)
        pieces = (FilePieces(path, layout, float32, nbytes, told) if nbytes is not None
                  else FilePieces(path, layout, float32))

        def public(piece: Piece) -> EventBlock:
            nonlocal entry, file_entry
            block = EventBlock(public_columns(piece, layout, unwrap, seconds), path, piece.rows, entry, file_entry)
            block.bytes_read = pieces.bytes_read
            entry, file_entry = block.entry_stop, block.file_entry_stop
            return block

        try:
            for piece in pieces:
                for step in steps.push(piece):
                    yield public(step)
        except BadFile:
            # What was read before a failure is still handed out, then the failure.
            for step in steps.flush():
                yield public(step)
            if ended is not None and pieces.ending is not None:
                ended(path, pieces.ending)
            raise
        for step in steps.flush():
            yield public(step)
        if ended is not None and pieces.ending is not None:
            ended(path, pieces.ending)


def public_columns(piece: Piece, layout: Layout, unwrap: timing.Unwrapper,
                   tick: float | None) -> dict[str, NDArray[Any]]:
    columns = {k: v for k, v in piece.columns.items() if k not in ("data", "offset")}
    if layout.reader_type == "WD1":
        columns["time_tag"] = unwrap(columns["timestamp"])
    else:
        columns["time_tag"] = columns["timestamp"]
    if tick is not None:
        columns["time"] = timing.seconds(columns["time_tag"], tick)
    if piece.flat is None or piece.lengths is None:
        data = piece.columns["data"]
        k = layout.channels
        if layout.reader_type == "WD2" and k >= 2 and data.ndim == 2:
            data = data.reshape(len(data), k, data.shape[1] // k)
        columns["data"] = data
    else:
        columns["data"] = piece.flat
        columns["offsets"] = np.concatenate(([0], np.cumsum(piece.lengths))).astype(np.uint64)
    return columns
