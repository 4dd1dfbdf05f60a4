"""A run: the per-channel files of one acquisition, read in step and matched event by event.

A WD1 digitizer writes one file per channel (`wave0.dat`, `wave1.dat`, ...).
`open_run` reads them side by side and hands out blocks of the events that
every file holds, aligned: `data` is (events, channels, samples), each header
column is (events, channels), and `event` (the matched counter), `time_tag`
(see `vorn_tools.timing`, taken from the first channel) and `time` (with a
tick) have one value per event.

Folders: `run_files` takes a folder's files named by a common prefix, `wave`,
an optional `_` and the channel number (`wave0.dat`, `x_wave1.dat`,
`RUN1_wave_3.dat`); a folder holding two prefixes is refused, naming both.

Matching rule: events are matched by `event_counter`, taken as an unsigned
32-bit value and unwrapped to the value nearest the previous one (a wrap
from the top of the range to the bottom adds 2**32, a small step back is an
event out of order; each file's first counter is put in the period nearest
the first file's, so files that start on either side of a wrap still
agree). Within a file an event may come up to `WINDOW` events late: its
counter need only be above every counter at least `WINDOW + 1` events
before it. Events are sorted by counter within that window before they are
matched, so swapped events are matched and aligned like any other, and
`time_tag` is unwrapped in counter order. An event later than that, or one
repeating a counter of its file, is an extra event of its file.

An event is emitted only when every file has its counter, so no channel is
ever shifted against another. A counter that some files have and others
lack is accounted for in the run's `report`, up to date after each block:

- more files have it than lack it: it is `missing` from those that lack it;
- fewer files have it: it is `extra` in those that have it;
- as many have it as lack it (always so with two files): counters run on
  from one trigger to the next, so a file whose own counters run past it
  (it has counters below and above) skipped it, and it is `missing` from
  that file; where no lacking file does, the counter lies before or after
  what they recorded and it is `extra` in the files that have it.

`dropped` counts every event of a file that was not emitted, so that each
file's events are `matched + dropped`. Matched events whose `timestamp`
differs from the first file's are still emitted, and counted for the file
that differs. `report_lines` words all of this, one line per file and
problem, the same for every command.

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
from collections.abc import Collection, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import sizes, timing
from .reading import Columns, FilePieces, Piece, Steps, classify, iterate_files, parse_step

__all__ = ["Run", "RunBlock", "RunError", "RunReport", "event_blocks", "folder_runs", "open_run", "report_lines",
           "run_files"]

FIRST = 5  # unmatched events remembered by position, per file
WINDOW = 64  # events by which an event may come late in its file and still be matched
_WAVE = re.compile(r"(?P<prefix>.*?)wave_?(?P<channel>\d+)\.[^.]+", re.IGNORECASE)
_LOWEST = np.iinfo(np.int64).min


class RunError(ValueError):
    """Files that do not make a run: mixed formats, channels of different sample counts, a folder of two runs."""


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
    timestamp_mismatches: int = 0  # matched events whose timestamp differs from the first file's
    first_timestamp_mismatches: list[int] = field(default_factory=list)  # counters
    # How the file's reading ended when its last event was cut short (Ending.describe()): that event is
    # no event of the run, and the other files' copies of it are extra, so the line names the cause.
    cut: str | None = None


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


def _counters(first: Sequence[int], count: int) -> str:
    # The counter as the file holds it, not its unwrapped value.
    words = ", ".join(str(c & 0xFFFFFFFF) for c in first)
    if count > len(first):
        return f"first counters {words}"
    return f"counter{'s' if len(first) > 1 else ''} {words}"


def _plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}{'' if count == 1 else 's'}"


def report_lines(report: RunReport, run: str | None = None) -> list[str]:
    """What a run's matching lost, one line per file and problem, each starting with the file's path.

    A last line, starting with `run` (by default the files' paths), sums up
    the events dropped. Empty for a run whose every event was matched with
    equal timestamps.
    """
    lines = []
    reference = report.channels[0].path if report.channels else ""
    for channel in report.channels:
        if channel.cut:
            lines.append(f"{channel.path}: {channel.cut}")
        if channel.missing:
            lines.append(f"{channel.path}: {_plural(channel.missing, 'event')} missing"
                         f" ({_counters(channel.first_missing, channel.missing)}), so dropped from the other files")
        if channel.extra:
            lines.append(f"{channel.path}: {_plural(channel.extra, 'extra event')}"
                         f" ({_counters([c for _, c in channel.first_extra], channel.extra)}), dropped")
        if channel.timestamp_mismatches:
            lines.append(f"{channel.path}: timestamp differs from {reference}'s in"
                         f" {_plural(channel.timestamp_mismatches, 'event')}"
                         f" ({_counters(channel.first_timestamp_mismatches, channel.timestamp_mismatches)})")
    dropped = sum(c.dropped for c in report.channels)
    if dropped:
        lines.append(f"{run or ', '.join(c.path for c in report.channels)}: {_plural(report.matched, 'event')}"
                     f" matched in every file, {_plural(dropped, 'event')} dropped from the files that held them")
    return lines


class RunBlock(Columns):
    """Matched events, entries `entry_start` to `entry_stop` of the run."""

    def __init__(self, columns: dict[str, NDArray[Any]], entry_start: int) -> None:
        super().__init__(columns, len(columns["event"]), entry_start)


def run_files(paths_or_folder: str | Sequence[str]) -> list[str]:
    """The files of a run: a folder's `[PREFIX]wave[_]<N>.<ext>` files by N, or the paths in their order.

    Parameters
    ----------
    paths_or_folder : str or sequence of str
        A folder, one file, or the files of the run in channel order.

    Returns
    -------
    list of str
        The paths, channel 0 first.

    Raises
    ------
    RunError
        For a folder without wave<N> files, with two files of one channel,
        or holding the files of two runs (two prefixes).
    """
    if isinstance(paths_or_folder, str):
        if not os.path.isdir(paths_or_folder):
            return [paths_or_folder]
        groups = folder_runs(paths_or_folder)
        if len(groups) > 1:
            named = "; ".join(f"{prefix}wave<N> ({', '.join(os.path.basename(found[n]) for n in sorted(found))})"
                              for prefix, found in groups.items())
            raise RunError(f"{paths_or_folder} holds the files of {len(groups)} runs: {named}: give one run's"
                           " files")
        (found,) = groups.values()
        return [found[n] for n in sorted(found)]
    if not paths_or_folder:
        raise RunError("a run needs at least one file")
    return list(paths_or_folder)


def folder_runs(folder: str, older: Collection[str] = ()) -> dict[str, dict[int, str]]:
    """A folder's `[PREFIX]wave[_]<N>.<ext>` files, run by run.

    Parameters
    ----------
    folder : str
        The folder to look in; names that start with a dot are left out.
    older : collection of str
        The prefixes of runs to leave out.

    Returns
    -------
    dict of str to dict of int to str
        For each PREFIX, the paths of its files by channel N.

    Raises
    ------
    RunError
        When a channel has two files, or no run is left.
    """
    groups: dict[str, dict[int, str]] = {}
    for name in sorted(os.listdir(folder)):
        match = _WAVE.fullmatch(name)
        if match is None or name.startswith("."):
            continue
        found = groups.setdefault(match["prefix"], {})
        n = int(match["channel"])
        if n in found:
            raise RunError(f"{folder} has two files for channel {n}: {os.path.basename(found[n])} and {name}")
        found[n] = os.path.join(folder, name)
    groups = {prefix: found for prefix, found in groups.items() if prefix not in older}
    if not groups:
        raise RunError(f"{folder} has no wave<N> files (wave0.dat, x_wave1.dat, RUN1_wave_2.dat, ...)")
    return groups


class _Source:
    """One channel's file: its pieces, with `event` unwrapped, and the events read but not yet matched."""

    def __init__(self, path: str, file: FilePieces, pieces: Iterator[Piece], report: ChannelReport) -> None:
        self.path = path
        self.file = file
        self.pieces = pieces
        self.report = report
        self.first: Piece | None = None  # the first piece, until counters can be unwrapped
        self.buffer: list[Piece] = []
        self.done = False
        self.counters: timing.Unwrapper | None = None
        self.times = timing.time_tags()
        self.tail = np.empty(0, np.int64)  # the counters of the last WINDOW events read
        self.settled = _LOWEST  # the highest counter before those: every later event comes above it
        self.low: int | None = None  # the lowest and highest counter kept so far
        self.high: int | None = None

    def frontier(self) -> float:
        """Counters up to this one are all read: the file adds no event at or below it."""
        return np.inf if self.done else float(self.settled)

    def read(self) -> Piece | None:
        piece = next(self.pieces, None)
        if piece is None:
            self.done = True
            ending = self.file.ending
            if ending is not None and ending.kind == "cut":
                self.report.cut = ending.describe()
        return piece


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
        self._wd1 = self._layouts[0].reader_type == "WD1"
        self._float32 = float32
        self.report = RunReport([ChannelReport(path) for path in paths])
        files = [FilePieces(path, layout, float32) for path, layout in zip(paths, self._layouts)]
        self._sources = [_Source(path, file, self._checked(path, iter(file)), report)
                         for path, file, report in zip(paths, files, self.report.channels)]
        self._width: int | None = None
        self._started = False
        for source in self._sources:
            source.first = source.read()
        firsts = [s.first for s in self._sources]
        near = next((int(p.columns["event_counter"][0]) & 0xFFFFFFFF for p in firsts if p is not None and p.rows),
                    None)
        for source in self._sources:
            source.counters = timing.Unwrapper(timing.COUNTER_BITS, near, nearest=True)
        if self._split:
            k = self._layouts[0].channels
            self.channels = [Channel(c, paths[0], c) for c in range(k)]
        else:
            self.channels = [Channel(i, p, int(f.columns["board_channel"][0])
                                     if f is not None and f.rows and "board_channel" in f.columns else None)
                             for i, (p, f) in enumerate(zip(paths, firsts))]

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

    def _take_in(self, source: _Source, piece: Piece | None) -> None:
        """Buffers the piece's events with their unwrapped `event`, less those too late to be matched.

        An event is in time when its counter is above every counter at least
        WINDOW + 1 events before it in the file; then no event after the
        last WINDOW can come at or below `settled`, and the counters up to
        it are decided.
        """
        if piece is None or not piece.rows:
            return
        assert source.counters is not None
        columns = dict(piece.columns)
        events = columns["event"] = source.counters(columns["event_counter"])
        seen = np.concatenate((source.tail, events))
        before = np.maximum.accumulate(seen)
        reach = np.arange(len(source.tail), len(seen)) - WINDOW - 1
        bar = np.maximum(source.settled, np.where(reach >= 0, before[np.maximum(reach, 0)], _LOWEST))
        late = np.flatnonzero(events <= bar)
        if len(seen) > WINDOW:
            source.settled = max(source.settled, int(before[len(seen) - WINDOW - 1]))
        source.tail = seen[-WINDOW:]
        if len(late):
            report = self.report.channels[self._sources.index(source)]
            report.extra += len(late)
            report.dropped += len(late)
            for i in late[:FIRST - len(report.first_extra)]:
                report.first_extra.append((int(columns["offset"][i]), int(events[i])))
            kept = Piece(columns).take(np.flatnonzero(events > bar))
        else:
            kept = Piece(columns)
        if kept.rows:
            counters = kept.columns["event"]
            low, high = int(counters.min()), int(counters.max())
            source.low = low if source.low is None else min(source.low, low)
            source.high = high if source.high is None else max(source.high, high)
            source.buffer.append(kept)

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
        for source in sources:
            self._take_in(source, source.first)
            source.first = None
        decided = -np.inf
        while True:
            live = [s for s in sources if not s.done]
            # The file that holds the others back.
            behind = min(live, key=_Source.frontier, default=None)
            if behind is not None:
                self._take_in(behind, behind.read())
            frontier = min(s.frontier() for s in sources)
            if frontier > decided:
                decided = frontier
                matched = self._decide(frontier)
                if matched is not None:
                    yield matched
            if not live:
                return

    def _decide(self, frontier: float) -> Piece | None:
        """Matches the buffered events up to counter `frontier`, which no file can add to any more."""
        decided: list[Piece] = []
        for source in self._sources:
            held = [p for p in source.buffer if p.rows]
            if not held:
                decided.append(Piece({"event": np.empty(0, np.int64), "time_tag": np.empty(0, np.int64)}))
                continue
            buffered = held[0] if len(held) == 1 else Piece(
                {k: np.concatenate([p.columns[k] for p in held]) for k in held[0].columns})
            events = buffered.columns["event"]
            due = events <= frontier
            source.buffer = [buffered.take(np.flatnonzero(~due))]
            head = buffered.take(np.flatnonzero(due))
            head = head.take(np.argsort(head.columns["event"], kind="stable"))
            # Time tags unwrap in counter order, over the events that are not repeats.
            ordered = head.columns["event"]
            repeat = np.concatenate(([False], np.diff(ordered) == 0)) if len(ordered) else np.empty(0, bool)
            if self._wd1:
                tags = np.zeros(len(ordered), np.int64)
                tags[~repeat] = source.times(head.columns["timestamp"][~repeat])
            else:
                tags = head.columns["timestamp"].copy()
            head.columns["time_tag"] = tags
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
        holders = present.sum(axis=0) * 2
        files = len(unique)
        tie = holders == files
        # With as many files for a counter as against it, those whose counters run past it skipped it.
        skipped = np.array([~present[c] & (s.low is not None and s.high is not None)
                            & (unmatched > (s.low or 0)) & (unmatched < (s.high or 0))
                            for c, s in enumerate(self._sources)]).reshape(present.shape)
        lost = (holders > files) | (tie & skipped.any(axis=0))
        for c, report in enumerate(self.report.channels):
            report.dropped += len(counters[c]) - len(common)
            lacking = unmatched[~present[c] & ((holders > files) | (tie & skipped[c]))]
            report.missing += len(lacking)
            report.first_missing.extend(int(x) for x in lacking[:FIRST - len(report.first_missing)])
            extra = np.flatnonzero(~firsts[c] | np.isin(counters[c], unmatched[present[c] & ~lost]))
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
        differs = stamps != stamps[:, :1]
        report = self.report
        for channel, differ in zip(report.channels, differs.T):
            at = np.flatnonzero(differ)
            channel.timestamp_mismatches += len(at)
            channel.first_timestamp_mismatches.extend(
                int(common[i]) for i in at[:FIRST - len(channel.first_timestamp_mismatches)])
        differ = np.flatnonzero(differs.any(axis=1))
        report.timestamp_mismatches += len(differ)
        for i in differ[:FIRST - len(report.first_timestamp_mismatches)]:
            report.first_timestamp_mismatches.append((int(common[i]), tuple(int(t) for t in stamps[i])))
        return Piece(columns)

    def _split_channels(self) -> Iterator[Piece]:
        source, k = self._sources[0], self._layouts[0].channels
        piece, source.first = source.first, None
        while piece is not None:
            assert source.counters is not None
            n = piece.rows
            columns = {key: np.repeat(value[:, None], k, axis=1)
                       for key, value in piece.columns.items() if key != "data"}
            columns["event"] = source.counters(piece.columns["event_counter"])
            columns["time_tag"] = piece.columns["timestamp"].copy()
            data = piece.columns["data"]
            columns["data"] = data.reshape(n, k, data.shape[1] // k if k else 0)
            self.report.matched += n
            yield Piece(columns)
            piece = source.read()


def open_run(paths_or_folder: str | Sequence[str], step_size: int | str = sizes.ITERATE_STEP, type: str = "auto",
             float32: bool = False, tick: str | float | None = None) -> Run:
    """The run of these per-channel files (or of a folder's wave<N> files, or one WD2 file).

    Every file is opened, classified and its first events read here: a file
    that cannot be opened raises BadFile, files that do not make a run
    RunError. While iterating, a file that cannot be read to its end raises
    BadFile after the blocks matched before it.

    Parameters
    ----------
    paths_or_folder : str or sequence of str
        A folder of ``[PREFIX]wave[_]<N>`` files, the files in channel
        order, or one WD2 file.
    step_size : int or str
        Matched events per block (an int), or the memory of a block's
        samples (``"64 MB"``).
    type : {"auto", "WD1", "WD2"}
        The files' format.
    float32 : bool
        Read WD1 samples as the two halves of float32 values.
    tick : str or float, optional
        The board's clock tick: adds the ``time`` column, in seconds.

    Returns
    -------
    Run
        An iterable of blocks of matched events (``data`` of (events,
        channels, samples)), whose ``report`` (a `RunReport`) accounts for
        every event that was not matched.

    Raises
    ------
    BadFile
        For a file that cannot be opened or told apart.
    RunError
        For files that do not make a run: mixed formats, different sample
        counts, a folder of no run or of two.

    Examples
    --------
    Two channel files of three events, the second lacking counter 1:

    >>> import numpy as np, os, struct
    >>> os.makedirs("run", exist_ok=True)
    >>> for channel, counters in ((0, [0, 1, 2]), (1, [0, 2])):
    ...     with open(f"run/wave{channel}.dat", "wb") as f:
    ...         for c in counters:
    ...             _ = f.write(struct.pack("<6i", 24 + 2 * 8, 1, 0, channel, c, 100 * c))
    ...             _ = f.write(np.full(8, 1000 * channel + c, "<u2").tobytes())
    >>> run = open_run("run")
    >>> for block in run:
    ...     print(block["event"], block["data"][:, :, 0].tolist())
    [0 2] [[0, 1000], [2, 1002]]
    >>> for line in report_lines(run.report):
    ...     print(line)
    run/wave1.dat: 1 event missing (counter 1), so dropped from the other files
    run/wave0.dat, run/wave1.dat: 2 events matched in every file, 1 event dropped from the files that held them
    """
    return Run(run_files(paths_or_folder), step_size, type, float32, tick)


def event_blocks(paths: Sequence[str], run: bool, step_size: int | str = sizes.ITERATE_STEP, type: str = "auto",
                 float32: bool = False, outcome: Any = None) -> Any:
    """The blocks of `paths`: a run's matched events with `run`, else each file's in turn.

    `outcome` (a feature_table.TableOutcome, or None) receives the run's
    report, or how each file's reading ended, as the blocks are read.
    """
    if run:
        blocks = open_run(list(paths) if len(paths) > 1 else paths[0], step_size, type=type, float32=float32)
        if outcome is not None:
            outcome.run_report = blocks.report
        return blocks
    return iterate_files(list(paths), step_size, type=type, float32=float32,
                         ended=None if outcome is None else outcome.account)
