"""Feature tables as lazy Dask DataFrames, one partition per block of events, after uproot's `dask`.

`features(paths, options)` returns the rows, columns and dtypes of the
feature table that `vorn_tools.feature_table.feature_tables` makes of the
same inputs, an input at a time, with the same `step_size`: one row per
event and channel, `file` for several files, `entry` counting events from 0
in each file. The step matters to auto polarity alone, decided from each
channel's first block; with the default step, the command's ("8 MB"), the
rows are those `vorn features` writes. Each partition is one block of a file, a step of events as
`vorn_tools.reading.iterate` cuts it, in the order of the files; a run's
partitions are the steps of its matched events, as `open_run` cuts them.
Filter, group and histogram them with Dask's own API.

How the work is split. The reader reads a file from its start only, so a
block cannot be read without the blocks before it. One task per file (or
run) reads and measures it once, start to end, into its blocks' frames;
each partition takes one of them. Files are read side by side, and a
file's feature rows (a few hundred bytes an event) are held on its worker
until its partitions are used: cut long acquisitions into files of a few GB.

What is known up front. Building the DataFrame finds each file's number of
events, hence its blocks, and reads its first event for the columns. A file
of events of one size needs only their headers, checked at every event's
place; any other file is read through once (not measured), and a run is
matched once, which is a whole read of its files. These looks run as Dask
tasks, on the cluster when a distributed client is active.

Nothing is lost quietly:

- a file that cannot be opened, or not read to its end, raises `BadFile`
  (naming it) when the DataFrame is made; a trailing event cut short by the
  end of the file is no failure, as in the table: it is not a row, and
  `ended` is told of it;
- a run whose matching dropped events raises `RunError` with what it lost,
  unless `reports` is given to take the run's report;
- a file that changed between then and the computation (other blocks, a
  read error) makes computing its partitions raise `BadFile`, never give
  fewer rows.

Needs dask[dataframe] and pandas: `pip install 'vorn[dask]'`.
"""

from __future__ import annotations

import mmap
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from . import sizes
from .blocks import BadFile, Ending, EventBlocks, ending_at
from .feature_table import feature_tables
from .features import FeatureOptions
from .formats import SAMPLE_DTYPES, WD1_HEADER, WD1_HEADER_SIZE, WD2_HEADER, Layout
from .outputs import need
from .reading import classify, iterate_files, parse_step
from ._rows import feature_rows
from .runs import RunError, RunReport, open_run, report_lines, run_files

dask = need("dask", "dask")
dd = need("dask.dataframe", "dask")
pd = need("pandas", "dask")

__all__ = ["features"]

Ended = Callable[[str, Ending], None]


@dataclass(frozen=True)
class _Input:
    """One input of the table: a file, or the files of a run; `file` is its `file` column, if any."""

    paths: tuple[str, ...]
    run: bool
    file: int | None


@dataclass
class _Plan:
    """What building the DataFrame found of one input."""

    blocks: list[int]  # events of each block, in order
    meta: Any  # an empty frame of the input's columns and dtypes
    endings: list[tuple[str, Ending]] = field(default_factory=list)
    report: RunReport | None = None


@dataclass(frozen=True)
class _Reading:
    """How every input is read and measured, the same when planned and when computed."""

    options: FeatureOptions
    step_size: int | str
    type: str
    float32: bool
    tick: str | float | None


def features(paths_or_run: str | Sequence[str], options: FeatureOptions | None = None,
             step_size: int | str = sizes.TABLE_STEP, *, run: bool = False, type: str = "auto",
             float32: bool = False, tick: str | float | None = None, ended: Ended | None = None,
             reports: list[RunReport] | None = None) -> Any:
    """The feature table of the files (or, with `run` or a folder, of the run they make) as a Dask DataFrame.

    One partition per block of `step_size` events (an int) or bytes of
    samples ("64 MB"), cut as `iterate` cuts each file; a run's partitions
    are the steps of its matched events. A file without events has no
    partition; when no input has one, the DataFrame is one empty partition.
    Options are those of `feature_table.feature_tables`, whose rows it
    holds: with the same `step_size` (by default the command's), auto
    polarity is decided from the same first block of each channel. Paths
    are made absolute, for workers that see the files at the same place.
    `ended` is told how the reading of each file will end (not for a
    run); with `reports`, a run's report is appended to it instead of a run
    that dropped events raising RunError. See the module's description for
    what is read when, and the errors.

    Parameters
    ----------
    paths_or_run : str or sequence of str
        Event files, or a folder of a run's ``wave<N>`` files.
    options : FeatureOptions, optional
        What to measure, as for `vorn_tools.features.compute`.
    step_size : int or str
        Events, or bytes of samples, per partition.
    run : bool
        Read the files as the channels of one run, matching their events.
    type : {"auto", "WD1", "WD2"}
        The files' format.
    float32 : bool
        Read WD1 samples as the two halves of float32 values.
    tick : str or float, optional
        The board's clock tick: adds the ``time`` column, in seconds.
    ended : callable, optional
        Told ``(path, ending)`` for each file, when its partitions are computed.
    reports : list of RunReport, optional
        Receives a run's report, instead of RunError for dropped events.

    Returns
    -------
    dask.dataframe.DataFrame
        Lazy: the rows, columns and dtypes of the feature table of the same
        inputs and step.

    Raises
    ------
    BadFile
        For a file that cannot be opened or read to its end (when the
        DataFrame is made), or that changed since (when a partition is computed).
    RunError
        For files that do not make a run, or a run that dropped events without `reports`.
    ImportError
        When Dask or pandas is missing, naming the pip extra that brings them.

    Examples
    --------
    Two WD1 files of 300 events, measured in partitions of 100 events on
    Dask's default scheduler:

    >>> import numpy as np, struct
    >>> for name in ("a.wd1", "b.wd1"):
    ...     with open(name, "wb") as f:
    ...         for c in range(300):
    ...             wave = np.full(128, 1000, "<u2")
    ...             wave[40:50] = 1000 - 5 * (c % 7)
    ...             _ = f.write(struct.pack("<6i", 24 + 256, 1, 0, 0, c, c) + wave.tobytes())
    >>> from vorn_tools.features import FeatureOptions
    >>> table = features(["a.wd1", "b.wd1"], FeatureOptions(baseline=(0, 32)), step_size=100)
    >>> table.npartitions, len(table)
    (6, 600)
    >>> int((table.amplitude > 12).sum().compute())     # pulses of 15, 20, 25 and 30 ADC counts
    342
    """
    reading = _Reading(FeatureOptions() if options is None else options, step_size, type, float32, tick)
    parse_step(step_size)  # a bad step is a usage error here, not in a task
    inputs = _inputs(paths_or_run, run)
    plans: tuple[_Plan, ...] = dask.compute(*[dask.delayed(_plan, pure=False)(i, reading) for i in inputs])
    for source, plan in zip(inputs, plans):
        for path, ending in plan.endings:
            if ended is not None:
                ended(path, ending)
        if plan.report is not None:
            if reports is not None:
                reports.append(plan.report)
            elif any(c.dropped for c in plan.report.channels):
                raise RunError("; ".join(report_lines(plan.report, ", ".join(source.paths))))
    meta = plans[0].meta
    for source, plan in zip(inputs, plans):
        if list(plan.meta.columns) != list(meta.columns):
            raise ValueError(f"{source.paths[0]}: its header keys differ from those of the first file"
                             " (WD1 and WD2 files go to tables of their own)")
    parts = []
    for source, plan in zip(inputs, plans):
        if plan.blocks:
            frames = dask.delayed(_measure, pure=False)(source, reading, plan.blocks)
            parts += [frames[k] for k in range(len(plan.blocks))]
    if not parts:
        return dd.from_pandas(meta, npartitions=1)
    return dd.from_delayed(parts, meta=meta, verify_meta=True)


def _inputs(paths_or_run: str | Sequence[str], run: bool) -> list[_Input]:
    paths = [os.path.abspath(p) for p in ([paths_or_run] if isinstance(paths_or_run, str) else paths_or_run)]
    if not paths:
        raise ValueError("no input files given")
    if run or (len(paths) == 1 and os.path.isdir(paths[0])):
        return [_Input(tuple(run_files(paths if len(paths) > 1 else paths[0])), True, None)]
    return [_Input((path,), False, i if len(paths) > 1 else None) for i, path in enumerate(paths)]


def _plan(source: _Input, reading: _Reading) -> _Plan:
    """The blocks of one input and its columns; a task, so that the looks run beside each other."""
    if source.run:
        return _plan_run(source, reading)
    (path,) = source.paths
    layout = classify(path, reading.type)
    events, nbytes = parse_step(reading.step_size)
    uniform = _uniform(path, layout, reading.float32)
    if uniform is not None:
        count, width, ending = uniform
        if events is None:
            assert nbytes is not None
            events = EventBlocks(path, layout, block_bytes=nbytes).block_rows(width * SAMPLE_DTYPES[
                layout.reader_type].itemsize)
        blocks = [events] * (count // events) + ([count % events] if count % events else [])
    else:
        blocks, ending = _read_through(path, layout, reading.float32, events, nbytes)
    return _Plan(blocks, _first_rows(source, reading) if blocks else _no_rows(source, reading, layout),
                 [(path, ending)])


def _uniform(path: str, layout: Layout, float32: bool) -> tuple[int, int, Ending] | None:
    """(events, samples each, ending) of a file whose events all have the size of its first, found from the
    headers alone at every event's place; None for any other file, and for one whose reading would fail."""
    size = os.stat(path).st_size
    wd1 = layout.reader_type == "WD1"
    with open(path, "rb") as file:
        head = file.read(layout.header_size)
        if len(head) < layout.header_size:
            return None
        if wd1:
            event = WD1_HEADER.unpack(head)[0]
            if event < WD1_HEADER_SIZE:
                return None
            width, at, kind, value = (event - WD1_HEADER_SIZE) // 2, 0, "<i4", event
        else:
            samples = WD2_HEADER.unpack_from(head)[2]
            width, at, kind, value = samples * layout.channels, 12, "<u4", samples
            event = layout.header_size + 4 * width
        if float32 and wd1 and width % 2:
            return None  # refused, in the reader's words, by the reading through
        count = size // event
        if count == 0:
            return None
        with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as view:
            # The word that sizes each event, one `event` apart: all alike, or the file is read through.
            words = np.ndarray((count,), dtype=kind, buffer=view, offset=at, strides=(event,))
            alike = bool((words == value).all())
            del words
    if not alike:
        return None
    ending = ending_at(path, layout, count * event, count, event)
    return None if ending.failed else (count, width, ending)


def _read_through(path: str, layout: Layout, float32: bool, events: int | None,
                  nbytes: int | None) -> tuple[list[int], Ending]:
    """The blocks of a file read through as `iterate` reads it, without measuring; BadFile as it raises it."""
    reader = EventBlocks(path, layout, float32) if nbytes is None else EventBlocks(path, layout, float32, nbytes)
    try:
        counts = [block.events for block in reader if block.events]
    except BadFile as error:
        raise BadFile(f"{path}: {error}") from error
    ending = reader.ending
    assert ending is not None
    if ending.error is not None:
        raise BadFile(f"{path}: {ending.error}")
    if ending.failed:
        raise BadFile(f"{path}: {ending.describe()}")
    if events is None:
        return counts, ending
    count = sum(counts)
    return [events] * (count // events) + ([count % events] if count % events else []), ending


def _plan_run(source: _Input, reading: _Reading) -> _Plan:
    paths = list(source.paths)
    matched = open_run(paths if len(paths) > 1 else paths[0], reading.step_size, reading.type, reading.float32,
                       reading.tick)
    blocks, meta = [], None
    for block in matched:
        if meta is None:
            meta = _empty(feature_rows({k: v[:1] for k, v in block.items()}, reading.options, None, 0, True))
        blocks.append(block.events)
    if meta is None:
        raise RunError(f"{', '.join(paths)}: no event is matched in every file, so the run has no columns")
    return _Plan(blocks, meta, report=matched.report)


def _first_rows(source: _Input, reading: _Reading) -> Any:
    """The input's columns, from the rows of its first event."""
    # The generator is dropped, and the file closed, as soon as it has given the event.
    block = next(iterate_files(list(source.paths), 1, reading.type, reading.float32, reading.tick))
    return _empty(feature_rows(block, reading.options, source.file, 0, False))


def _no_rows(source: _Input, reading: _Reading, layout: Layout) -> Any:
    """The columns of a file without events, from a block of no events made up for them."""
    from .formats import COLUMNS

    columns: dict[str, Any] = {key: np.zeros(0, dtype) for key, dtype in COLUMNS[layout.reader_type]}
    columns["time_tag"] = np.zeros(0, np.int64 if layout.reader_type == "WD1" else np.uint64)
    if reading.tick is not None:
        columns["time"] = np.zeros(0)
    sample = np.dtype(np.float32) if reading.float32 else SAMPLE_DTYPES[layout.reader_type]
    channels = layout.channels if layout.reader_type == "WD2" and layout.channels >= 2 else 0
    # No event: no window has to fit it.
    columns["data"] = np.zeros((0, channels, 1) if channels else (0, 1), sample)
    return _empty(feature_rows(columns, reading.options, source.file, 0, False))


def _empty(rows: dict[str, Any]) -> Any:
    return pd.DataFrame(rows).iloc[:0]


def _measure(source: _Input, reading: _Reading, blocks: list[int]) -> list[Any]:
    """The frames of every block of one input, read and measured start to end; the blocks must be the planned ones."""
    frames: list[Any] = []
    start = 0
    for rows in feature_tables(list(source.paths), reading.options, source.run, reading.type, reading.float32,
                               reading.tick, step_size=reading.step_size, file=source.file):
        entries = rows["entry"]
        k = len(frames)
        events = int(entries[-1] - entries[0]) + 1 if len(entries) else 0
        if k >= len(blocks) or events != blocks[k] or (len(entries) and int(entries[0]) != start):
            raise BadFile(f"{', '.join(source.paths)}: block {k} holds entries {int(entries[0])}"
                          f" to {int(entries[-1])}, where {len(blocks)} blocks of {sum(blocks)} events were found"
                          " when the DataFrame was made: the input changed since")
        frames.append(pd.DataFrame(rows))
        start += events
    if len(frames) != len(blocks):
        raise BadFile(f"{', '.join(source.paths)}: {len(frames)} blocks read, where {len(blocks)} were found"
                      " when the DataFrame was made: the input changed since")
    return frames
