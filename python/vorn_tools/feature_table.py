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
`vorn_tools.features`. The features are in the raw units the kernel
measures in, or with a `Calibration` in mV, pC and ns (see
`vorn_tools.units`); either way each column's unit goes into the table.

Reading and computing overlap: the next block is read in a second thread
while the kernel, which releases the GIL, measures the current one, and
`write_features` writes a block of rows in a third while the next is
measured (see `vorn_tools._overlap`). A block's rows are made by
`vorn_tools._rows`.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import asdict, dataclass, field, replace
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _parallel as parallel, _provenance as provenance, _signals as signals, sizes
from .blocks import FILE_ERRORS, Ending
from ._clipping import Clipping, full_scale_of
from .features import DEFAULT_BASELINE, POLARITY_NAMES, FeatureOptions, Unfit, windows
from .outputs import open_table
from ._overlap import WriteBehind, read_ahead
from .pulses import PulseOptions
from .reading import Endings, classify, iterate_files
from ._rows import Table, block_rows, feature_rows
from .runs import RunError, RunReport, open_run, run_files
from .timing import parse_tick
from .units import Calibration

__all__ = [
    "FeatureTask", "TableOutcome", "TableRecord", "column_units", "failure_message", "feature_tables",
    "features_alone", "polarity_line", "write_features"
]


@dataclass
class TableRecord:
    """What a table's rows came from, filled in as they are read: each source file's bytes, the
    polarity decided for each channel, the unit of the samples and the calibration of the first events."""

    bytes_read: dict[str, int] = field(default_factory=dict)  # path -> bytes of the events read
    polarity: dict[str, dict[int, int]] = field(default_factory=dict)  # input -> channel -> +1 or -1
    samples: str = ""  # the samples' unit
    calibration: Calibration | None = None  # as resolved for the first events, with a WD2 file's period
    clipping: dict[str, Clipping] = field(default_factory=dict)  # input -> its clipped samples, per channel
    unfit: Unfit = field(default_factory=Unfit)  # events of other lengths that a window does not fit
    flagged: bool = True  # the rows have a saturated column

    def notes(self) -> list[str]:
        """What the reading found that the rows alone do not say, a line each: windows clipped to events of
        other lengths, clipped samples and baseline windows that do not hold a resting level (of an input
        named in front when there are several)."""
        line = self.unfit.line()
        found = [line] if line else []
        for key, clipping in self.clipping.items():
            found += [f"{key}: {note}" if len(self.clipping) > 1 else note for note in clipping.lines(self.flagged)]
        return found

    def count(self, path: str, block: Mapping[str, NDArray[Any]], header: int) -> None:
        """Adds the bytes of the block's events, from the header's own sizes where it has them."""
        if "event_size" in block:
            read = int(block["event_size"].astype(np.int64).sum())
        else:
            read = int(block["data"].nbytes) + header * len(block["time_tag"])
        self.bytes_read[path] = self.bytes_read.get(path, 0) + read


def feature_tables(paths: Sequence[str], options: FeatureOptions | PulseOptions, run: bool = False,
                   type: str = "auto", float32: bool = False, tick: str | float | None = None,
                   step_size: int | str = sizes.TABLE_STEP, check: Callable[..., None] = signals.check,
                   file: int | None = None, record: TableRecord | None = None,
                   reports: list[RunReport] | None = None, ended: Endings | None = None, progress: Any = None,
                   measure: Callable[..., Table] = feature_rows,
                   calibration: Calibration | None = None, full_scale: float | None = None) -> Iterator[Table]:
    """The feature table of the files (or, with `run`, of the run they make), a block of rows at a time.

    The `file` column is there for several files, numbering them from 0, or
    with `file` given, the number of the one file. `entry` counts events from
    0 in each file, or in the run; a row per channel of an event shares its
    entry. Auto polarity is decided per channel from its first events (up
    to POLARITY_EVENTS of the first block that holds the channel, by
    `decide_polarity`) and kept for the rest of the file, or of the run;
    `record`, when given, collects the decisions and the bytes read.
    Errors are those of `iterate` and `open_run`: BadFile for a file that
    cannot be opened or read to its end (after the rows before it), RunError
    for files that do not make a run, and the kernel's ValueError for
    windows that do not fit events of one length; events of other lengths
    that a window does not fit are counted into `record.unfit`. Samples at
    the ADC's full scale (`full_scale`, or the options' ``adc_max``; without
    either, a channel's plateau: see `vorn_tools._clipping`) or at 0 set
    ``saturated`` and are counted per channel into `record.clipping`; its
    `notes` say both. `check` is called between blocks.
    With `run`, the run's report is appended to `reports`, complete once the
    rows are.

    `ended` is told how the reading of each file ended (not for a run), also
    of one that failed, before its error is raised. `progress` is updated
    with the bytes read of files (a run's: none) and the events measured.
    `measure` makes a block's rows from (block, options, file, first entry,
    run, polarity decided): by default one per event and channel with its
    features.

    With `calibration`, the measured columns are scaled to its units, with
    the sample period of each WD2 file when a tick makes it a time (see
    `Calibration.resolve`); `record` keeps the calibration of the first
    events. ValueError when a period given disagrees with a file's, or when
    later events would get other units than the first.
    """
    blocks: Iterable[Any]
    if run:
        blocks = open_run(list(paths) if len(paths) > 1 else paths[0], step_size, type, float32, tick)
        if reports is not None:
            reports.append(blocks.report)
    else:
        blocks = iterate_files(list(paths), step_size, type, float32, tick, ended)
    several = not run and len(paths) > 1
    index = {path: i for i, path in enumerate(paths)}
    record = TableRecord() if record is None else record
    files = run_paths(paths) if run else []
    headers: dict[str, int] = {}
    shown: dict[str, int] = {}  # bytes of each file shown to `progress`
    seconds = None if tick is None or calibration is None else parse_tick(tick)
    exclude = getattr(measure, "exclude", None)
    fitting = bool(windows(options, exclude))
    full_scale = full_scale_of(options) if full_scale is None else full_scale
    baseline = tuple(getattr(options, "baseline", DEFAULT_BASELINE))
    for block in read_ahead(blocks):
        key = ", ".join(paths) if run else block.path
        decided = record.polarity.setdefault(key, {})
        first = block.entry_start if run else block.file_entry_start
        samples, offsets, channels, row_channel = block_rows(block, run)
        clipping = record.clipping.setdefault(key, Clipping(full_scale, baseline))
        clipping.decide(samples, offsets, row_channel)
        # Measured with the channels' full scale, the kernel's saturated flag is the clipped samples.
        adc_max = clipping.adc_max()
        measured = options if adc_max is None or not isinstance(options, FeatureOptions) \
            or options.adc_max == adc_max else replace(options, adc_max=adc_max)
        rows = measure(block, measured, index[block.path] if several else file, first, run, decided)
        clipping.add(samples, offsets, row_channel, rows.get("saturated"))
        record.flagged = "saturated" in rows
        if fitting and offsets is not None:
            # Events of other lengths than the first, measured with the windows clipped to them: counted.
            entries = np.repeat(np.arange(first, first + block.events, dtype=np.int64), channels)
            record.unfit.add(options, np.diff(offsets.astype(np.int64)), entries, exclude)
        if not record.samples:
            record.samples = "ADC counts" if block["data"].dtype == np.uint16 else "sample values"
        if calibration is not None:
            resolved = calibration.resolve(block, seconds)
            if record.calibration is None:
                record.calibration = resolved
            elif not resolved.same_units(record.calibration):
                known = ("unknown", "known")
                raise ValueError(f"{block.path}: the sample period of its events is"
                                 f" {known[resolved.sample_period is not None]}, that of the first events"
                                 f" {known[record.calibration.sample_period is not None]}: give the sample period")
            rows = resolved.apply(rows)
        if run:
            _count_run(record, block, files, headers)
        else:
            if block.path not in headers:
                headers[block.path] = _header_bytes(block.path, type)
            record.count(block.path, block, headers[block.path])
        if progress is not None:
            read = getattr(block, "bytes_read", 0)
            progress.update(block.events if run else max(0, read - shown.get(block.path, 0)), block.events)
            if not run:
                shown[block.path] = max(read, shown.get(block.path, 0))
        yield rows
        check()


def run_paths(paths: Sequence[str]) -> list[str]:
    """The files of the run that `paths` (files, or one folder) make."""
    return run_files(list(paths) if len(paths) > 1 else paths[0])


def _header_bytes(path: str, type: str) -> int:
    """The bytes of an event's header besides its samples, for files whose header does not give the event's size."""
    layout = classify(path, type)
    return 0 if layout.reader_type == "WD1" else 24 + 4 * layout.channel_word


def _count_run(record: TableRecord, block: Mapping[str, NDArray[Any]], paths: list[str],
               headers: dict[str, int]) -> None:
    """A run's bytes per file: up to the end of its last event matched so far."""
    event_sizes, offsets = block.get("event_size"), block.get("offset")
    if event_sizes is not None and offsets is not None and event_sizes.ndim == 2 and len(event_sizes):
        ends = (offsets.astype(np.int64) + event_sizes.astype(np.int64)).max(axis=0)
        for path, end in zip(paths, ends.tolist()):
            record.bytes_read[path] = max(record.bytes_read.get(path, 0), end)
    elif len(paths) == 1:  # one WD2 file of K channels, read from its start
        if paths[0] not in headers:
            headers[paths[0]] = _header_bytes(paths[0], "WD2")
        record.count(paths[0], block, headers[paths[0]])


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
    command: str = field(default_factory=provenance.command_line)  # taken where the task is made
    calibration: Calibration | None = None  # None: the raw units
    full_scale: float | None = None  # the ADC's, when given and not the options' adc_max


@dataclass
class TableOutcome:
    """What became of one input; the rows it gave are in the table even when it failed part-way."""

    path: str
    output: str | None = None
    events: int = 0
    rows: int = 0
    error: str | None = None
    salvaged: bool = False  # rows were written before the error, and kept (--salvage)
    run_report: RunReport | None = None  # of a run: what its matching could not pair
    bytes_read: int = 0  # of the input's files, up to where their reading ended
    read_ending: str = ""  # how the reading of its files ended, as Ending.describe() words it
    polarity: dict[int, int] = field(default_factory=dict)  # channel -> +1 or -1, decided by auto polarity
    calibration: Calibration | None = None  # of its first events, a WD2 file's sample period filled in
    notes: list[str] = field(default_factory=list)  # what the reading found besides: see TableRecord.notes

    @property
    def ending(self) -> str:
        rows = f"{self.rows:,} row{'' if self.rows == 1 else 's'}"
        return f"{rows}, {self.read_ending}" if self.read_ending else rows

    def account(self, path: str, ending: Ending) -> None:
        """Add how the reading of one of its files (`path`) ended."""
        self.bytes_read += ending.bytes_read
        self.read_ending = "; ".join(filter(None, (self.read_ending, ending.describe())))


def write_features(tasks: Sequence[FeatureTask], output: str, progress: Any = None,
                   check: Callable[..., None] = signals.check, salvage: bool = False,
                   measure: Callable[..., Table] = feature_rows) -> list[TableOutcome]:
    """The features of every input into one new table file, its format chosen by the extension.

    An input that fails (it cannot be opened, read to its end, or measured
    with these windows) is reported in its outcome and the others go on; the
    file appears only when complete, and not at all when every input failed
    before giving a row. Rows cannot be taken back from a table: one input
    that fails after giving rows leaves no table, unless `salvage` keeps
    them (its outcome is `salvaged`). `progress` is updated with the bytes
    read and the events measured.
    """
    outcomes: list[TableOutcome] = []
    found_all: list[TableRecord] = []
    table = open_table(output)
    writer = WriteBehind(table.write)
    try:
        names: tuple[str, ...] | None = None  # the table's columns, set by its first rows
        for number, task in enumerate(tasks):
            outcome = TableOutcome(", ".join(task.paths))
            found = TableRecord()
            reports: list[RunReport] = []
            try:
                for rows in feature_tables(task.paths, task.options, task.run, task.type, task.float32, task.tick,
                                           check=check, file=number if len(tasks) > 1 else None,
                                           record=found, reports=reports, ended=outcome.account,
                                           progress=progress, measure=measure, calibration=task.calibration,
                                           full_scale=task.full_scale):
                    units = column_units(rows, found.samples, found.calibration)
                    if names is None:
                        names = tuple(rows)
                        table.describe(units=units)
                    elif tuple(rows) != names:
                        raise ValueError("its header keys differ from those of the table's first file (WD1 and"
                                         " WD2 files go to tables of their own)")
                    elif units != table.units:
                        raise ValueError("its columns would have other units than the table's first file's: "
                                         + ", ".join(f"{k} in {v}, not {table.units[k]}" for k, v in units.items()
                                                     if v != table.units[k]))
                    writer.put(rows)
                    entries = rows["entry"]
                    outcome.rows += len(entries)
                    # A block's entries run on from one event to the next.
                    outcome.events += int(entries[-1] - entries[0]) + 1 if len(entries) else 0
            except (*FILE_ERRORS, RunError, ValueError) as error:
                outcome.error = failure_message(error, task)
                outcome.salvaged = salvage and outcome.rows > 0
            outcome.run_report = reports[0] if reports else None
            outcome.bytes_read = outcome.bytes_read or sum(found.bytes_read.values())
            outcome.calibration = found.calibration
            outcome.notes = found.notes()
            outcome.polarity = found.polarity.get(outcome.path, {}) if task.options.polarity == "auto" else {}
            outcomes.append(outcome)
            found_all.append(found)
        writer.finish()
        table.describe(metadata=table_metadata(tasks, found_all, table.units, outcomes))
        lost = [o for o in outcomes if o.error is not None and o.rows and not o.salvaged]
        if lost or not any(o.error is None or o.salvaged for o in outcomes):
            table.discard()
        else:
            check(final=True)
            table.close()
            for outcome in outcomes:
                if outcome.error is None or outcome.salvaged:
                    outcome.output = output
    except BaseException:
        writer.abandon()
        table.discard()
        raise
    return outcomes


def failure_message(error: BaseException, task: FeatureTask) -> str:
    """The error's message, without the file's path in front when the task is that one file: reports name it."""
    message = str(error) or type(error).__name__
    if not task.run and len(task.paths) == 1:
        return message.removeprefix(f"{task.paths[0]}: ")
    return message


# Units of the columns besides the features; "" for numbers without one
# (counters, indices, flags).
HEADER_UNITS = {
    "file": "", "entry": "", "channel": "", "event": "", "event_size": "bytes", "board_id": "", "pattern": "",
    "board_channel": "", "event_counter": "", "timestamp": "ticks", "samples": "samples",
    "sampling_period": "digitizer units", "channels": "", "time_tag": "ticks", "time": "s",
}


def column_units(names: Iterable[str], samples: str, calibration: Calibration | None = None) -> dict[str, str]:
    """The unit of each column of a feature (or pulse) table whose samples are in `samples`, as
    `calibration` (None: the raw units) leaves it."""
    known = {**HEADER_UNITS, **(calibration or Calibration()).units(samples or "ADC counts")}
    return {name: known.get(name, "") for name in names}


def polarity_names(decided: Mapping[int, int]) -> dict[str, str]:
    return {str(c): POLARITY_NAMES[p] for c, p in sorted(decided.items())}


def table_metadata(tasks: Sequence[FeatureTask], found: Sequence[TableRecord], units: Mapping[str, str],
                   outcomes: Sequence[TableOutcome] = ()) -> dict[str, str]:
    """What a feature table records about its making: version, command, options, sources, polarity, units,
    and with `outcomes` how the reading of each input ended and what a run's matching lost."""
    first = tasks[0] if tasks else None
    options: dict[str, Any] = {}
    if first is not None:
        options = {**asdict(first.options), "run": first.run, "float32": first.float32, "tick": first.tick}
    sources = []
    polarity: dict[str, Any] = {}
    calibration: dict[str, Any] = {}
    for task, record in zip(tasks, found):
        files = list(task.paths)
        if task.run:
            with contextlib.suppress(RunError, OSError):  # a run that failed to open: its paths as given
                files = run_paths(task.paths)
        sources += [provenance.source(path, record.bytes_read.get(path)) for path in files]
        key = ", ".join(task.paths)
        polarity[key] = polarity_names(record.polarity.get(key, {})) if task.options.polarity == "auto" \
            else task.options.polarity
        calibration[key] = (record.calibration or task.calibration or Calibration()).as_metadata()
    return provenance.as_text({
        "vorn_version": provenance.version(),
        "command": first.command if first is not None else "",
        "options": options,
        "sources": sources,
        "polarity": polarity,
        "units": dict(units),
        "calibration": calibration,
        "reading": {o.path: _reading(o) for o in outcomes},
    })


def _reading(outcome: TableOutcome) -> dict[str, Any]:
    from .runs import report_lines

    found: dict[str, Any] = {"events": outcome.events, "rows": outcome.rows, "ended": outcome.read_ending,
                             "error": outcome.error}
    if outcome.run_report is not None:
        found["run"] = report_lines(outcome.run_report, outcome.path)
        found["run_aligned"] = outcome.run_report.aligned
    return found


def polarity_line(outcomes: Sequence[TableOutcome]) -> str | None:
    """One line of the polarity auto decided per channel of each input, or None when nothing was decided."""
    parts = []
    for outcome in outcomes:
        if outcome.polarity:
            channels = ", ".join(f"channel {c} {POLARITY_NAMES[p]}" for c, p in sorted(outcome.polarity.items()))
            parts.append(channels if len(outcomes) == 1 else f"{outcome.path} {channels}")
    return f"polarity: {'; '.join(parts)}" if parts else None


def features_alone(task: FeatureTask, folder: str, suffix: str, cancel: str | None = None,
                   salvage: bool = False) -> TableOutcome:
    """One input into folder/NAME.SUFFIX; what worker processes and Dask workers run."""
    try:
        (outcome,) = write_features([task], os.path.join(folder, f"{task.name}{suffix}"),
                                    check=parallel.stopper(cancel), salvage=salvage)
    except signals.Cancelled:
        return TableOutcome(", ".join(task.paths), error="cancelled")
    except OSError as error:  # the output cannot be written
        return TableOutcome(", ".join(task.paths), error=str(error) or type(error).__name__)
    return outcome
