"""A run: the per-channel files of one acquisition, read in step and matched event by event.

A WD1 digitizer writes one file per channel (`wave0.dat`, `wave1.dat`, ...).
`open_run` reads them side by side and hands out blocks of the events that
every file holds, aligned: `data` is (events, channels, samples), each header
column is (events, channels), and `event` (the matched counter), `time_tag`
(see `vorn_tools.timing`, taken from the first channel) and `time` (with a
tick) have one value per event.

Matching rule: events are matched by `event_counter`, taken as an unsigned
32-bit value and unwrapped to the value nearest the previous one (a wrap
from the top of the range to the bottom adds 2**32, a small step back is an
event out of order; each file's first counter is put in the period nearest
the first file's, so files that start on either side of a wrap still
agree). Counters are
expected to grow through each file. An event is emitted only when every
file has its counter, so no channel is ever shifted against another; the
others are counted in the run's `report`, which is up to date after each
block:

- `missing`: counters that more than half of the files have and this file
  lacks (with the first few counters);
- `extra`: events of this file whose counter at most half of the files have,
  and events whose counter is not above every counter before them in the
  file, repeated or out of order (with the first few file offsets and
  counters);
- `dropped`: every event of this file that was not emitted, so that each
  file's events are `matched + dropped`.

With two files there is no majority: an event that one of them lacks is an
extra event of the other. Matched events whose timestamps differ between
channels are still emitted, and counted in `timestamp_mismatches`.

Reading is streaming: a file is read ahead only as far as the others have
got, so memory stays flat however long the files are, and unmatched events
are kept only as counts and their first few positions.

One WD2 file of K channels is a run already: its events are split into
(K, samples) and its header values repeated for every channel.
"""

from __future__ import annotations

import functools
import os
import re
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import timing
from .reading import DEFAULT_STEP, Columns, FilePieces, Piece, Steps, classify, parse_step

FIRST = 5  # unmatched events remembered by position, per file
_WAVE = re.compile(r"wave(\d+)\.[^.]+")


class RunError(ValueError):
    """Files that do not make a run: mixed formats, or channels of different sample counts."""


@dataclass(frozen=True)
class Channel:
    index: int
    path: str
    board_channel: int | None  # from the file's first event (WD1); None for a file without events


@dataclass
class ChannelReport:
    path: str
    missing: int = 0
    first_missing: list[int] = field(default_factory=list)  # counters
    extra: int = 0
    first_extra: list[tuple[int, int]] = field(default_factory=list)  # (file offset, counter)
    dropped: int = 0


@dataclass
class RunReport:
    channels: list[ChannelReport]
    matched: int = 0
    timestamp_mismatches: int = 0
    first_timestamp_mismatches: list[tuple[int, tuple[int, ...]]] = field(default_factory=list)  # (counter, per channel)

    @property
    def aligned(self) -> bool:
        """Every event of every file was matched, with equal timestamps."""
        return not self.timestamp_mismatches and not any(c.dropped or c.missing for c in self.channels)


class RunBlock(Columns):
    """Matched events, entries `entry_start` to `entry_stop` of the run."""

    def __init__(self, columns: dict[str, NDArray[Any]], entry_start: int) -> None:
        super().__init__(columns, len(columns["event"]), entry_start)


def run_files(paths_or_folder: str | Sequence[str]) -> list[str]:
    """The files of a run: a folder's `wave<N>.<ext>` files by N, or the paths in their order."""
    if isinstance(paths_or_folder, str):
        if not os.path.isdir(paths_or_folder):
            return [paths_or_folder]
        found: dict[int, str] = {}
        for name in os.listdir(paths_or_folder):
            match = _WAVE.fullmatch(name)
            if match is None:
                continue
            n = int(match.group(1))
            if n in found:
                raise RunError(f"{paths_or_folder} has two files for channel {n}: {found[n]} and {name}")
            found[n] = name
        if not found:
            raise RunError(f"{paths_or_folder} has no wave<N> files (wave0.dat, wave1.dat, ...)")
        return [os.path.join(paths_or_folder, found[n]) for n in sorted(found)]
    if not paths_or_folder:
        raise RunError("a run needs at least one file")
    return list(paths_or_folder)


class _Source:
    """One channel's file: its pieces, with `event` and `time_tag` unwrapped, and what is buffered."""

    def __init__(self, path: str, pieces: Iterator[Piece]) -> None:
        self.path = path
        self.pieces = pieces
        self.buffer: Piece | None = None
        self.done = False
        self.counters: timing.Unwrapper | None = None
        self.times = timing.time_tags()
        self.prepare: Callable[[Piece], Piece] | None = None  # unwraps counters, once they can be
        self.highest = np.iinfo(np.int64).min  # the highest counter kept so far

    @property
    def rows(self) -> int:
        return 0 if self.buffer is None else self.buffer.rows

    def last(self) -> float:
        return float(self.buffer.columns["event"][-1]) if self.buffer is not None and self.rows else -np.inf

    def first_counter(self) -> int | None:
        if self.buffer is None or not self.rows:
            return None
        return int(self.buffer.columns["event_counter"][0]) & 0xFFFFFFFF

    def read(self) -> None:
        piece = next(self.pieces, None)
        if piece is None:
            self.done = True
            return
        if self.prepare is not None:
            piece = self.prepare(piece)
        self.buffer = piece if self.buffer is None or not self.rows else _join(self.buffer, piece)


def _join(a: Piece, b: Piece) -> Piece:
    return Piece({k: np.concatenate((v, b.columns[k])) for k, v in a.columns.items()})


class Run:
    """The matched events of a run's files, in blocks; see the module's description."""

    def __init__(self, paths: list[str], step_size: int | str, type: str, float32: bool,
                 tick: str | float | None) -> None:
        self.paths = paths
        self._step = parse_step(step_size)
        self._tick = None if tick is None else timing.parse_tick(tick)
        self._layouts = [classify(path, type) for path in paths]
        kinds = {layout.reader_type for layout in self._layouts}
        if len(kinds) > 1:
            raise RunError(f"a run's files must be of one format, these are {' and '.join(sorted(kinds))}")
        many = [p for p, layout in zip(paths, self._layouts) if layout.reader_type == "WD2" and layout.channels != 1]
        if many and len(paths) > 1:
            raise RunError(f"{many[0]} holds {self._layouts[paths.index(many[0])].channels} channels:"
                           " it is a run on its own")
        self._split = bool(many)  # one WD2 file of K channels
        self._float32 = float32
        self.report = RunReport([ChannelReport(path) for path in paths])
        self._sources = [_Source(path, self._checked(path, iter(FilePieces(path, layout, float32))))
                         for path, layout in zip(paths, self._layouts)]
        self._width: int | None = None
        self._started = False
        for source in self._sources:
            source.read()
        near = next((c for c in (s.first_counter() for s in self._sources) if c is not None), None)
        for source in self._sources:
            source.counters = timing.Unwrapper(timing.COUNTER_BITS, near, nearest=True)
            source.prepare = functools.partial(self._unwrapped, source)
            if source.buffer is not None:
                source.buffer = source.prepare(source.buffer)
        if self._split:
            k = self._layouts[0].channels
            self.channels = [Channel(c, paths[0], c) for c in range(k)]
        else:
            self.channels = [Channel(i, s.path, int(s.buffer.columns["board_channel"][0])
                                     if s.buffer is not None and s.rows and "board_channel" in s.buffer.columns
                                     else None)
                             for i, s in enumerate(self._sources)]

    def _checked(self, path: str, pieces: Iterator[Piece]) -> Iterator[Piece]:
        """The pieces of a file, refused once one has a sample count other than the run's."""
        for piece in pieces:
            if piece.lengths is not None:
                first = int(np.flatnonzero(piece.lengths != piece.lengths[0])[0])
                raise RunError(f"{path}: the event at offset {int(piece.columns['offset'][first])} has"
                               f" {int(piece.lengths[first])} samples, the one before it {int(piece.lengths[0])}:"
                               " a run's events must all have as many samples")
            width = piece.columns["data"].shape[1]
            if self._width is None:
                self._width = width
            elif width != self._width and piece.rows:
                raise RunError(f"{path}: events of {width} samples, where the run's other events have"
                               f" {self._width}: a run's channels must have as many samples")
            yield piece

    def _unwrapped(self, source: _Source, piece: Piece) -> Piece:
        """The piece with `event` and `time_tag`, less the events that do not come after the ones before.

        Matching walks every file's counters upwards; an event out of order
        or repeating a counter would shift the file against the others, so it
        is an extra event of its file instead.
        """
        assert source.counters is not None
        columns = dict(piece.columns)
        columns["event"] = source.counters(columns["event_counter"])
        if self._layouts[0].reader_type == "WD1":
            columns["time_tag"] = source.times(columns["timestamp"])
        else:
            columns["time_tag"] = columns["timestamp"].copy()
        events = columns["event"]
        if not len(events):
            return Piece(columns)
        before = np.maximum.accumulate(np.concatenate(([source.highest], events[:-1])))
        stray = np.flatnonzero(events <= before)
        source.highest = max(source.highest, int(events.max()))
        if not len(stray):
            return Piece(columns)
        report = self.report.channels[self._sources.index(source)]
        report.extra += len(stray)
        report.dropped += len(stray)
        for i in stray[:FIRST - len(report.first_extra)]:
            report.first_extra.append((int(columns["offset"][i]), int(events[i])))
        return Piece(columns).take(np.flatnonzero(events > before))

    def __iter__(self) -> Iterator[RunBlock]:
        if self._started:
            raise RuntimeError("a run can be iterated once; open it again to read it again")
        self._started = True
        steps = Steps(*self._step)
        entry = 0
        for matched in self._matched():
            for step in steps.push(matched):
                block = RunBlock(self._public(step), entry)
                entry = block.entry_stop
                yield block
        for step in steps.flush():
            yield RunBlock(self._public(step), entry)

    def _public(self, piece: Piece) -> dict[str, NDArray[Any]]:
        columns = {k: v for k, v in piece.columns.items() if k != "data"}
        if self._tick is not None:
            columns["time"] = timing.seconds(columns["time_tag"], self._tick)
        columns["data"] = piece.columns["data"]
        return columns

    def _matched(self) -> Iterator[Piece]:
        if self._split:
            yield from self._split_channels()
            return
        sources = self._sources
        while True:
            live = [s for s in sources if not s.done]
            # An empty buffer first, else the file that is furthest behind.
            behind = min(live, key=_Source.last, default=None)
            if behind is not None:
                behind.read()
            if any(s.rows == 0 and not s.done for s in sources):
                continue
            frontier = min((s.last() for s in sources if not s.done), default=np.inf)
            matched = self._decide(frontier)
            if matched is not None:
                yield matched
            if not live:
                return

    def _decide(self, frontier: float) -> Piece | None:
        """Matches the buffered events up to counter `frontier`, which no file can add to any more."""
        decided: list[Piece] = []
        for source in self._sources:
            if source.buffer is None:
                decided.append(Piece({"event": np.empty(0, np.int64)}))
                continue
            k = int(np.searchsorted(source.buffer.columns["event"], frontier, "right")) if frontier < np.inf \
                else source.rows
            head, source.buffer = source.buffer.split(k)
            decided.append(head)
        counters = [d.columns["event"] for d in decided]
        if not any(len(c) for c in counters):
            return None
        firsts = [np.concatenate(([True], np.diff(c) != 0)) if len(c) else np.empty(0, bool) for c in counters]
        unique = [c[f] for c, f in zip(counters, firsts)]
        common = functools.reduce(lambda a, b: np.intersect1d(a, b, assume_unique=True), unique)
        self._count_unmatched(decided, counters, firsts, unique, common)
        if not len(common):
            return None
        rows = [np.searchsorted(c, common) for c in counters]
        kept = [d.take(r) for d, r in zip(decided, rows)]
        return self._aligned(kept, common)

    def _count_unmatched(self, decided: list[Piece], counters: list[NDArray[np.int64]],
                         firsts: list[NDArray[np.bool_]], unique: list[NDArray[np.int64]],
                         common: NDArray[np.int64]) -> None:
        self.report.matched += len(common)
        everything = functools.reduce(np.union1d, unique)
        unmatched = np.setdiff1d(everything, common, assume_unique=True)
        present = np.array([np.isin(unmatched, u) for u in unique]).reshape(len(unique), len(unmatched))
        majority = present.sum(axis=0) * 2 > len(unique)
        for c, report in enumerate(self.report.channels):
            report.dropped += len(counters[c]) - len(common)
            lacking = unmatched[majority & ~present[c]]
            report.missing += len(lacking)
            report.first_missing.extend(int(x) for x in lacking[:FIRST - len(report.first_missing)])
            extra = np.flatnonzero(~firsts[c] | np.isin(counters[c], unmatched[~majority & present[c]]))
            report.extra += len(extra)
            offsets = decided[c].columns.get("offset")
            for i in extra[:FIRST - len(report.first_extra)]:
                assert offsets is not None
                report.first_extra.append((int(offsets[i]), int(counters[c][i])))

    def _aligned(self, kept: list[Piece], common: NDArray[np.int64]) -> Piece:
        keys = [k for k in kept[0].columns if k not in ("event", "time_tag")]
        columns: dict[str, NDArray[Any]] = {"event": common, "time_tag": kept[0].columns["time_tag"]}
        for key in keys:
            columns[key] = np.stack([p.columns[key] for p in kept], axis=1)
        stamps = columns["timestamp"]
        differ = np.flatnonzero((stamps != stamps[:, :1]).any(axis=1))
        report = self.report
        report.timestamp_mismatches += len(differ)
        for i in differ[:FIRST - len(report.first_timestamp_mismatches)]:
            report.first_timestamp_mismatches.append((int(common[i]), tuple(int(t) for t in stamps[i])))
        return Piece(columns)

    def _split_channels(self) -> Iterator[Piece]:
        source, k = self._sources[0], self._layouts[0].channels
        while source.buffer is not None and source.rows:
            piece, source.buffer = source.buffer, None
            n = piece.rows
            columns = {key: value if key in ("event", "time_tag")
                       else np.repeat(value[:, None], k, axis=1)
                       for key, value in piece.columns.items() if key != "data"}
            data = piece.columns["data"]
            columns["data"] = data.reshape(n, k, data.shape[1] // k if k else 0)
            self.report.matched += n
            yield Piece(columns)
            source.read()


def open_run(paths_or_folder: str | Sequence[str], step_size: int | str = DEFAULT_STEP, type: str = "auto",
             float32: bool = False, tick: str | float | None = None) -> Run:
    """The run of these per-channel files (or of a folder's wave<N> files, or one WD2 file).

    Every file is opened, classified and its first events read here: a file
    that cannot be opened raises BadFile, files that do not make a run
    RunError. While iterating, a file that cannot be read to its end raises
    BadFile after the blocks matched before it.
    """
    return Run(run_files(paths_or_folder), step_size, type, float32, tick)
