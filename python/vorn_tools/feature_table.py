"""Pulse features of event files or runs, as a table of one row per event and channel.

One row per (event, channel) rather than a column per channel: the table's
columns are then the same for a one-channel file, a WD2 file of eight
channels and a run, so tables of different acquisitions concatenate, a
channel is a selection (`channel == 2`) rather than a column name, and WD1
files whose events come from different board channels need no reshaping.

Columns, in order: `file` (the index of the input, for a table of several
files) and `entry` (the event's index in its file; for a run the index of the
matched event), `channel` (WD1 files: `board_channel`; WD2 files and runs:
the channel's index), the event's header values, `time_tag` and, with a
tick, `time` in seconds (see `vorn_tools.timing`), then the features of
`vorn_tools.features`.

Reading and computing overlap: the next block is read in a second thread
while the kernel, which releases the GIL, measures the current one.
"""

from __future__ import annotations

import os
import queue
import threading
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import parallel, signals
from .blocks import FILE_ERRORS
from .features import FeatureOptions, compute
from .outputs import open_table
from .pulses import PulseOptions
from .reading import iterate
from .runs import RunError, open_run

Table = dict[str, NDArray[Any]]
PREFETCH = 2  # blocks read ahead of the computation
# Blocks of samples measured at a time: enough to keep the kernel's calls
# long, small enough that the blocks in flight stay a few tens of MB.
STEP = "8 MB"


def _rows(block: Mapping[str, NDArray[Any]], options: FeatureOptions, file: int | None,
          first_entry: int, run: bool) -> Table:
    data = block["data"]
    offsets = block.get("offsets")
    events = len(block["time_tag"])
    if offsets is not None and data.ndim == 1 and "sampling_period" in block:
        # A WD2 event of K channels holds K blocks of `samples` each.
        per_event = (np.diff(offsets.astype(np.int64)) // np.maximum(block["samples"].astype(np.int64), 1))
        channels = int(per_event.max()) if events else 1
        starts = offsets[:-1].astype(np.int64)[:, None] + np.arange(channels) * block["samples"].astype(np.int64)[:, None]
        row_offsets = np.append(starts.reshape(-1), offsets[-1]).astype(np.uint64)
        features = {k: v.reshape(events, channels) for k, v in compute(data, options, row_offsets).items()}
    elif offsets is not None:
        features = {k: v[:, None] for k, v in compute(data, options, offsets).items()}
    elif data.ndim == 3:
        features = compute(data, options)
    else:
        features = {k: v[:, None] for k, v in compute(data, options).items()}
    channels = next(iter(features.values())).shape[1]
    table: Table = {}
    if file is not None:
        table["file"] = np.full(events * channels, file, dtype=np.int32)
    table["entry"] = np.repeat(np.arange(first_entry, first_entry + events, dtype=np.int64), channels)
    if run or channels > 1 or "board_channel" not in block:
        table["channel"] = np.tile(np.arange(channels, dtype=np.int32), events)
    else:
        table["channel"] = block["board_channel"].astype(np.int32)
    for key, values in block.items():
        if key in ("data", "offsets", "offset"):
            continue
        if values.ndim == 2:  # a run's header values, one per channel
            table[key] = values.reshape(-1)
        else:
            table[key] = np.repeat(values, channels)
    for key, values in features.items():
        table[key] = values.reshape(-1)
    return table


def feature_tables(paths: Sequence[str], options: FeatureOptions | PulseOptions, run: bool = False,
                   type: str = "auto", float32: bool = False, tick: str | float | None = None,
                   step_size: int | str = STEP, check: Callable[..., None] = signals.check,
                   file: int | None = None, measure: Callable[..., Table] = _rows) -> Iterator[Table]:
    """The feature table of the files (or, with `run`, of the run they make), a block of rows at a time.

    The `file` column is there for several files, numbering them from 0, or
    with `file` given, the number of the one file. Errors are those of
    `iterate` and `open_run`: BadFile for a file that cannot be opened or
    read to its end (after the rows before it), RunError for files that do
    not make a run, and the kernel's ValueError for windows that do not fit
    the events. `check` is called between blocks. `measure` makes a
    block's rows from (block, options, file, first entry, run): by default
    one per event and channel with its features.
    """
    blocks: Iterable[Any]
    if run:
        blocks = open_run(list(paths) if len(paths) > 1 else paths[0], step_size, type, float32, tick)
    else:
        blocks = iterate(list(paths), step_size, type, float32, tick)
    several = not run and len(paths) > 1
    index = {path: i for i, path in enumerate(paths)}
    for block in _prefetched(blocks):
        first = block.entry_start if run else block.file_entry_start
        yield measure(block, options, index[block.path] if several else file, first, run)
        check()


_DONE = object()


def _prefetched(blocks: Iterable[Any]) -> Iterator[Any]:
    """The blocks, read in a second thread up to PREFETCH ahead; its errors come out here."""
    handoff: queue.Queue[Any] = queue.Queue(PREFETCH)
    stop = threading.Event()

    def put(item: Any) -> bool:
        while not stop.is_set():
            try:
                handoff.put(item, timeout=0.1)
                return True
            except queue.Full:
                continue
        return False

    def read() -> None:
        try:
            for block in blocks:
                if not put(block):
                    return
            put(_DONE)
        except BaseException as error:  # handed to the consumer, raised there
            put(error)

    reader = threading.Thread(target=read, name="vorn-read", daemon=True)
    reader.start()
    try:
        while True:
            item = handoff.get()
            if item is _DONE:
                return
            if isinstance(item, BaseException):
                raise item
            yield item
    finally:
        stop.set()
        reader.join()


@dataclass(frozen=True)
class FeatureTask:
    """One input (a file, or the files of a run) and how to measure it; what workers receive."""

    paths: tuple[str, ...]  # absolute for workers elsewhere
    name: str  # of the output OUT/NAME.SUFFIX when each input gets its own
    options: FeatureOptions | PulseOptions
    run: bool = False
    type: str = "auto"
    float32: bool = False
    tick: str | None = None


@dataclass
class TableOutcome:
    """What became of one input; the rows it gave are in the table even when it failed part-way."""

    path: str
    output: str | None = None
    events: int = 0
    rows: int = 0
    error: str | None = None
    salvaged: bool = False  # rows were written before the error

    @property
    def ending(self) -> str:
        return f"{self.rows:,} row{'' if self.rows == 1 else 's'}"


def write_features(tasks: Sequence[FeatureTask], output: str, progress: Any = None,
                   check: Callable[..., None] = signals.check,
                   measure: Callable[..., Table] = _rows) -> list[TableOutcome]:
    """The features of every input into one new table file, its format chosen by the extension.

    An input that fails (it cannot be opened, read to its end, or measured
    with these windows) is reported in its outcome and the others go on; the
    file appears only when complete, and not at all when every input failed
    before giving a row.
    """
    outcomes: list[TableOutcome] = []
    table = open_table(output)
    writer = _Background(table.write)
    try:
        names: tuple[str, ...] | None = None  # the table's columns, set by its first rows
        for number, task in enumerate(tasks):
            outcome = TableOutcome(", ".join(task.paths))
            try:
                for rows in feature_tables(task.paths, task.options, task.run, task.type, task.float32, task.tick,
                                           check=check, file=number if len(tasks) > 1 else None,
                                           measure=measure):
                    if names is None:
                        names = tuple(rows)
                    elif tuple(rows) != names:
                        raise ValueError("its header keys differ from those of the table's first file (WD1 and"
                                         " WD2 files go to tables of their own)")
                    writer.put(rows)
                    entries = rows["entry"]
                    outcome.rows += len(entries)
                    # A block's entries run on from one event to the next.
                    outcome.events += int(entries[-1] - entries[0]) + 1 if len(entries) else 0
                    if progress is not None:
                        progress.update(len(rows["entry"]), 0)
            except (*FILE_ERRORS, RunError, ValueError) as error:
                outcome.error = str(error) or type(error).__name__
                outcome.salvaged = outcome.rows > 0
            if outcome.error is None or outcome.salvaged:
                outcome.output = output
            outcomes.append(outcome)
        writer.finish()
        if not any(o.output for o in outcomes):
            table.discard()
        else:
            check(final=True)
            table.close()
    except BaseException:
        writer.abandon()
        table.discard()
        raise
    return outcomes


class _Background:
    """Calls `write` on the items put, in a thread of its own, in order.

    Table libraries that release the GIL while they encode (Arrow) then
    write one block while the next is read and measured. An error of the
    writing is raised by the next `put` or by `finish`.
    """

    def __init__(self, write: Callable[[Any], None]) -> None:
        self._write = write
        self._queue: queue.Queue[Any] = queue.Queue(PREFETCH)
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._run, name="vorn-write", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while True:
            item = self._queue.get()
            if item is _DONE:
                return
            if self._error is None:
                try:
                    self._write(item)
                except BaseException as error:  # handed to the producer
                    self._error = error

    def _raise(self) -> None:
        if self._error is not None:
            error, self._error = self._error, None
            raise error

    def put(self, item: Any) -> None:
        self._raise()
        self._queue.put(item)

    def finish(self) -> None:
        self._queue.put(_DONE)
        self._thread.join()
        self._raise()

    def abandon(self) -> None:
        """Stop without raising what the writing may have failed with; the table is discarded."""
        if self._thread.is_alive():
            self._error = self._error or RuntimeError("abandoned")
            self._queue.put(_DONE)
            self._thread.join()


def features_alone(task: FeatureTask, folder: str, suffix: str, cancel: str | None = None) -> TableOutcome:
    """One input into folder/NAME.SUFFIX; what worker processes and Dask workers run."""
    try:
        (outcome,) = write_features([task], os.path.join(folder, f"{task.name}{suffix}"),
                                    check=parallel.stopper(cancel))
    except signals.Cancelled:
        return TableOutcome(", ".join(task.paths), error="cancelled")
    except OSError as error:  # the output cannot be written
        return TableOutcome(", ".join(task.paths), error=str(error) or type(error).__name__)
    return outcome
