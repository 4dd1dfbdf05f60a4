"""Histograms of a feature, a header column or an expression over event files, runs or feature tables.

A series is the histogram of one channel of one input: a file, the files of
a run, or a feature table (`.parquet`, `.h5`, `.root` as `vorn features` or
`vorn pulses` writes them), read in blocks of its rows without re-reading a
waveform. A table made from several files is one input: its series are per
channel, over all its files (`--where "file == 1"` picks one).

What is histogrammed is an expression of `vorn_tools.analysis.expressions`
(a column is the simplest), of the rows that a condition (`where`) keeps.
An expression naming channels (`cfd_time@1 - cfd_time@0`) has a value per
event, not per row: its series is the input's "channel" -1, and the events
that lack a channel it names are counted in the input's outcome
(`left_out`), never dropped unsaid.

Without a range given, each series takes its own, from the first
RANGE_VALUES values of its channel in that input, so that a channel of small
pulses beside one of large pulses is neither squeezed into a bin nor lost in
the overflow; what falls outside later is counted in the series' under- and
overflow. The range depends on those values only, not on how the input is
cut into blocks, so a table gives the histogram of the files it was made
from. A series is filled by the one task of its input only, so deciding
its range there gives the same histogram whatever the number of worker
processes and whichever worker runs the task.
"""

from __future__ import annotations

import ast
import math
import os
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from . import _parallel as parallel
from .analysis import expressions
from .analysis.expressions import Expression, ExpressionError, LeftOut
from .blocks import FILE_ERRORS
from .budget import OverBudget
from .feature_table import FeatureTask, TableOutcome, TableRecord, column_units, failure_message, feature_tables
from .histograms import Series, TimeBins, map_histogram, value_histogram
from .runs import RunError, RunReport

__all__ = [
    "BadExpression", "Binning", "SpectrumOutcome", "TableError", "TableInput", "expression_unit", "in_range",
    "spectrum"
]

MAX_CHANNELS = 64  # digitizers have fewer; a channel number beyond is refused
PER_EVENT = -1  # the channel of the values of an expression per event (name@C)
RANGE_VALUES = 10_000  # the values of a series its range is taken from
PAD = 0.05  # a range taken from the first rows is widened by this fraction on each side


class BadExpression(Exception):
    """An expression that cannot be evaluated on the input's columns, raised from a task as its message
    (ExpressionError itself does not travel back from a worker process)."""


class TableError(OSError):
    """A feature table that its library cannot read."""


@dataclass
class SpectrumOutcome(TableOutcome):
    """A TableOutcome that also counts the events per-event expressions left out for lack of a channel."""

    left_out: LeftOut = field(default_factory=LeftOut)


@dataclass(frozen=True)
class TableInput:
    """A feature table as an input of `spectrum`; what workers receive beside FeatureTasks."""

    path: str  # absolute for workers elsewhere
    name: str
    run: bool = False  # read as tasks are, for the progress bar

    @property
    def paths(self) -> tuple[str, ...]:
        return (self.path,)


@dataclass(frozen=True)
class Binning:
    """What to histogram and how: `column`, a column or an expression of columns, in `bins` equal bins.

    Only rows for which `where` holds are counted. The bins span `range` for
    every series, or without it a range of each series' own. For `time`
    without a range, the bins span the series' times: about `bins` bins of a
    round width (1, 2 or 5 times a power of ten seconds), or bins of `width`
    seconds counted from 0 s.
    """

    column: str
    bins: int = 100
    range: tuple[float, float] | None = None
    channel: int | None = None  # only this channel's rows
    width: float | None = None  # time only: without it, round bins over the times' span
    where: str | None = None
    y: str | None = None  # a second expression, for a histogram of (column, y) pairs
    y_range: tuple[float, float] | None = None

    @property
    def rate(self) -> bool:
        return self.y is None and self.column.strip() == "time"

    def parse(self) -> tuple[Expression, Expression | None, Expression | None]:
        """The expressions of `column`, `where` and `y`; ExpressionError for one that is not well formed."""
        of = expressions.parse(self.column)
        where = expressions.parse(self.where) if self.where is not None else None
        y = expressions.parse(self.y) if self.y is not None else None
        given = [e for e in (of, y, where) if e is not None]
        if any(e.per_event for e in given):
            for expression in given:
                if expression.columns:
                    name = sorted(expression.columns)[0]
                    raise ExpressionError(expression.text, f"{name} has no channel while other columns do:"
                                                           f" write {name}@C")
        return of, where, y

    def series(self, first: np.ndarray[Any, Any], unit: str | tuple[str, str]) -> Series:
        """An empty series for values whose first are `first` (not empty): (values,), or (values, 2) pairs."""
        if self.y is not None:
            x_unit, y_unit = unit if isinstance(unit, tuple) else (unit, "")
            x = self.range if self.range is not None else auto_range(first[:, 0])
            y = self.y_range if self.y_range is not None else auto_range(first[:, 1])
            return Series(map_histogram(self.bins, x, y, (self.column, self.y), (x_unit, y_unit)))
        assert isinstance(unit, str)
        if self.rate:
            if self.range is not None:
                return Series(value_histogram(self.bins, *self.range, label="time", unit="s"))
            width = None if self.width is None else f"--width {self.width:g}"
            return Series(None, times=TimeBins(self.bins, width or f"--bins {self.bins}", self.width))
        low, high = self.range if self.range is not None else auto_range(first)
        return Series(value_histogram(self.bins, low, high, label=self.column, unit=unit))


def auto_range(values: np.ndarray[Any, Any]) -> tuple[float, float]:
    """The range of `values` widened by PAD on each side; for equal values, a range around them."""
    low, high = float(values.min()), float(values.max())
    pad = (high - low) * PAD or max(abs(low) * PAD, 0.5)
    # Bins are closed below and open above: the largest value must stay below
    # the top edge even where the pad is lost in rounding.
    return min(low - pad, float(np.nextafter(low, -np.inf))), max(high + pad, float(np.nextafter(high, np.inf)))


def expression_unit(expression: Expression, unit_of: Callable[[str], str]) -> str:
    """The unit of an expression's values: that of its columns where sums, differences, signs, abs()
    and scaling by numbers keep it; "" where it is lost (products of columns, comparisons)."""
    def walk(node: ast.expr) -> str | None:  # None: a number, of whatever unit the other side has
        if isinstance(node, ast.Name):
            return unit_of(node.id)
        if isinstance(node, ast.BinOp) and isinstance(node.op, ast.MatMult) and isinstance(node.left, ast.Name):
            return unit_of(node.left.id)
        if isinstance(node, ast.Constant):
            return None
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
            return walk(node.operand)
        if isinstance(node, ast.Call):
            return walk(node.args[0])
        if isinstance(node, ast.BinOp) and isinstance(node.op, (ast.Add, ast.Sub, ast.Mult, ast.Div)):
            left, right = walk(node.left), walk(node.right)
            if left is None and right is not None and isinstance(node.op, ast.Div):
                return ""  # a number over a column: the inverse unit, which is not written out
            if left is None or right is None:
                return right if left is None else left
            return left if left == right and isinstance(node.op, (ast.Add, ast.Sub)) else ""
        return ""
    return walk(expression.tree) or ""


def _needed(*given: Expression | None) -> list[str]:
    """The columns the expressions read, `channel` first; `entry` (and `file`, where there) for name@C."""
    names = ["channel"]
    per_event = False
    for expression in given:
        if expression is not None:
            names += sorted(expression.columns) + sorted(n for n, _ in expression.channel_columns)
            per_event |= expression.per_event
    return list(dict.fromkeys(names + (["entry", "file"] if per_event else [])))


def _columns(rows: dict[str, np.ndarray[Any, Any]], needed: list[str]) -> dict[str, np.ndarray[Any, Any]]:
    for name in needed:
        if name not in rows and name != "file":
            raise KeyError(name)
    return {name: rows[name] for name in needed if name in rows}


def _select(rows: dict[str, np.ndarray[Any, Any]], of: Expression, where: Expression | None,
            channel: int | None, y: Expression | None = None,
            left_out: LeftOut | None = None) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]:
    """The values of the rows `where` keeps, as float64, and their channels (PER_EVENT for name@C);
    with `y`, (values, 2) pairs. Events without a channel that name@C asks for go into `left_out`."""
    if not any(e is not None and e.per_event for e in (of, where, y)):
        channels = rows["channel"]
        if channel is not None:
            keep = channels == channel
            rows = {name: values[keep] for name, values in rows.items()}
            channels = rows["channel"]
        outside = (channels < 0) | (channels >= MAX_CHANNELS)
        if np.any(outside):
            raise ValueError(f"channel {int(channels[outside][0])} is beyond the {MAX_CHANNELS} a histogram holds")
    if y is not None and y.per_event != of.per_event and (where is None or not where.per_event):
        # One of them per row, the other per event: give the per-row one as a name@C too.
        plain = of if y.per_event else y
        raise ExpressionError(plain.text, "has a value per row, the other per event: name its channels (name@C)")
    # A pair is taken from the events that hold every channel either names, so that they pair up.
    values, chosen = expressions.select(rows, of, where, left_out, beside=y)
    if y is not None:
        second, _ = expressions.select(rows, y, where, beside=of)
        return np.stack([values.astype(np.float64), second.astype(np.float64)], axis=1), chosen
    return values.astype(np.float64, copy=False), chosen


def _whole_events(blocks: Iterable[dict[str, np.ndarray[Any, Any]]]) -> Iterator[dict[str, np.ndarray[Any, Any]]]:
    """The blocks, each ending with the last row of an event: the rows of the event a block ends in are
    held back for the next, so that name@C finds every channel of an event in one block.

    The rows of an event are next to each other in every table vorn writes, a
    block of whole events at a time.
    """
    held: dict[str, np.ndarray[Any, Any]] | None = None
    for rows in blocks:
        if held is not None:
            rows = {name: np.concatenate([held[name], values]) for name, values in rows.items()}
        entry = rows["entry"]
        if not len(entry):
            continue
        same = entry == entry[-1]
        if "file" in rows:
            same &= rows["file"] == rows["file"][-1]
        others = np.flatnonzero(~same)
        split = int(others[-1]) + 1 if others.size else 0
        held = {name: values[split:] for name, values in rows.items()}
        if split:
            yield {name: values[:split] for name, values in rows.items()}
    if held is not None and len(held["entry"]):
        yield held


class _Filler:
    """The series of one input by channel, each started once RANGE_VALUES values of it are seen."""

    def __init__(self, binning: Binning) -> None:
        self.binning = binning
        self.series: dict[int, Series] = {}
        self.waiting: dict[int, list[np.ndarray[Any, Any]]] = {}  # finite values of channels without a series
        self.no_value: dict[int, int] = {}  # rows without a value of channels without a series
        self.unit: str | tuple[str, str] = ""

    def add(self, values: np.ndarray[Any, Any], channels: np.ndarray[Any, Any]) -> None:
        for channel in np.unique(channels).tolist():
            mine = values[channels == channel]
            # Rows without a value (NaN: no pulse to time, say; of a pair, either) are counted as such.
            ok = np.isfinite(mine) if mine.ndim == 1 else np.isfinite(mine).all(axis=1)
            finite = mine[ok]
            if channel in self.series:
                self.series[channel].fill(finite)
                self.series[channel].no_value += len(mine) - len(finite)
                continue
            self.waiting.setdefault(channel, []).append(finite)
            self.no_value[channel] = self.no_value.get(channel, 0) + len(mine) - len(finite)
            if sum(len(part) for part in self.waiting[channel]) >= RANGE_VALUES:
                self._start(channel)

    def _start(self, channel: int) -> None:
        values = np.concatenate(self.waiting.pop(channel))
        empty = np.zeros((1, 2) if values.ndim == 2 else 1)
        one = self.binning.series(values[:RANGE_VALUES] if len(values) else empty, self.unit)
        one.fill(values)
        one.no_value = self.no_value.pop(channel)
        self.series[channel] = one

    def finish(self) -> dict[int, Series]:
        # Channels whose rows all lack a value are shown all the same.
        for channel in list(self.waiting):
            self._start(channel)
        for one in self.series.values():
            one.settle()
        return dict(sorted(self.series.items()))


def _table_rows(task: TableInput, needed: list[str], outcome: TableOutcome,
                progress: Any) -> tuple[Iterator[dict[str, np.ndarray[Any, Any]]], dict[str, str]]:
    """The blocks of a table's columns `needed`, and the units its metadata gives."""
    from .analysis.tables import table_blocks, table_columns, table_units

    try:
        present = table_columns(task.path)
        units = table_units(task.path)
    except Exception as error:  # each format's library raises its own errors for a file it cannot read
        raise TableError(f"cannot read the table: {error}") from error
    for name in needed:
        if name not in present and name != "file":
            raise KeyError(name, f"{os.path.basename(task.path)} has {', '.join(present)}")

    def blocks() -> Iterator[dict[str, np.ndarray[Any, Any]]]:
        found = table_blocks(task.path, [n for n in needed if n in present])
        while True:
            try:
                rows = next(found)
            except StopIteration:
                if progress is not None:  # the bar counts the table's bytes, seen once it is read
                    progress.update(os.path.getsize(task.path))
                return
            except Exception as error:
                raise TableError(f"cannot read the table: {error}") from error
            outcome.rows += len(rows["channel"])
            if progress is not None:
                progress.update(0, len(rows["channel"]))
            yield rows
    return blocks(), units


def spectrum(task: FeatureTask | TableInput, binning: Binning, cancel: str | None = None,
             reports: list[RunReport] | None = None,
             progress: Any = None) -> tuple[dict[int, Series], SpectrumOutcome]:
    """The series of one input, by channel, and the account of its reading; what workers run.

    An error of reading or measuring (BadFile, RunError, TableError, the
    kernel's ValueError) ends the series with the rows before it and is kept
    in the outcome's `error`; KeyError, for a column the input does not
    have, and BadExpression are raised. A run's report is appended to
    `reports`.

    Parameters
    ----------
    task : FeatureTask or TableInput
        Event files (or a run) to measure, or a feature table to read.
    binning : Binning
        What to histogram (a column or an expression, a cut, a second value
        for a map) and its bins.
    cancel : str, optional
        The path of a file whose appearance stops the reading at the next
        block (how a parallel run is interrupted).
    reports : list of RunReport, optional
        Where a run's matching report is appended.
    progress : optional
        A progress bar that is told the bytes or rows read.

    Returns
    -------
    series : dict of int to Series
        A series per channel (-1 for values of an expression per event,
        ``name@C``), with their under- and overflow.
    outcome : SpectrumOutcome
        The account of the reading: events, rows, how it ended, its error,
        and the rows left out for lack of a value or a channel.

    Raises
    ------
    KeyError
        For a column the input does not have.
    BadExpression
        For an expression that cannot be evaluated on the input.
    """
    try:
        of, where, y = binning.parse()
    except ExpressionError as error:
        raise BadExpression(str(error)) from None
    needed = _needed(of, where, y)
    per_event = any(e is not None and e.per_event for e in (of, where, y))
    filler = _Filler(binning)
    check = parallel.stopper(cancel)
    if isinstance(task, TableInput):
        outcome = SpectrumOutcome(task.path)
    else:
        outcome = SpectrumOutcome(", ".join(task.paths))
    try:
        if isinstance(task, TableInput):
            blocks, units = _table_rows(task, needed, outcome, progress)
            filler.unit = _units(of, y, units)
            found: Iterable[dict[str, np.ndarray[Any, Any]]] = (_columns(rows, needed) for rows in blocks)
        else:
            found = _raw_rows(task, needed, outcome, filler, of, y, check, reports, progress)
        for rows in _whole_events(found) if per_event else found:
            filler.add(*_select(rows, of, where, binning.channel, y, outcome.left_out))
            check()
    except ExpressionError as error:
        raise BadExpression(str(error)) from None
    except OverBudget:
        raise  # the option asked for too much: not an error of the input
    except (*FILE_ERRORS, RunError, ValueError, TableError) as error:
        outcome.error = str(error) if isinstance(task, TableInput) else failure_message(error, task)
    return filler.finish(), outcome


def _units(of: Expression, y: Expression | None, units: dict[str, str]) -> str | tuple[str, str]:
    x_unit = expression_unit(of, lambda name: units.get(name, ""))
    return x_unit if y is None else (x_unit, expression_unit(y, lambda name: units.get(name, "")))


def _raw_rows(task: FeatureTask, needed: list[str], outcome: TableOutcome, filler: _Filler, of: Expression,
              y: Expression | None, check: Callable[..., None], reports: list[RunReport] | None,
              progress: Any) -> Iterator[dict[str, np.ndarray[Any, Any]]]:
    """The needed columns of the feature table of raw files, a block at a time, counted into `outcome`,
    in the units of the task's calibration (as `vorn features` writes them)."""
    found = TableRecord()
    for rows in feature_tables(task.paths, task.options, task.run, task.type, task.float32, task.tick,
                               check=check, record=found, reports=reports, ended=outcome.account, progress=progress,
                               calibration=task.calibration):
        # Float samples (WD2, WD1 read with --float32) hold volts or the board's unit: never ADC counts.
        filler.unit = _units(of, y, column_units(rows, found.samples, found.calibration))
        entries = rows["entry"]
        outcome.rows += len(entries)
        outcome.events += int(entries[-1] - entries[0]) + 1 if len(entries) else 0
        outcome.notes = found.notes()
        yield _columns(rows, needed)


# Beyond this a picture's axis has no room for its ticks (they overflow), and
# a range of both signs near the largest floats has no finite width.
RANGE_LIMIT = 1e300


def in_range(low: float, high: float) -> bool:
    """A range a histogram can bin and a picture can draw: LO < HI, both within ±1e300."""
    return -RANGE_LIMIT <= low < high <= RANGE_LIMIT
