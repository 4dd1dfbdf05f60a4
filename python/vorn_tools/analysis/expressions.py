"""Expressions over the columns of a feature table, for `--of` and `--where`.

An expression is written as in Python and evaluated on whole columns:
column names, numbers, `+ - * / // % **`, unary minus, comparisons (chains
too), `and`, `or`, `not` (element-wise on the selections), and `abs(...)`.
Nothing else is accepted, so no text from the command line ever reaches
`eval`: the syntax tree is checked node by node and evaluated here.

`name@C` is column `name` of channel C of the same event. A table has one
row per (event, channel); an expression that names a channel this way is
evaluated per event instead, over the events that hold every channel it
names, and then every column in it must carry a channel (`amplitude@0 > 20
and amplitude@1 > 20`, `cfd_time@1 - cfd_time@0`). Events are keyed by
`file` (when the table has it) and `entry`. The events left out for lack of
a channel are counted in a `LeftOut`, so that a command can say how many
its result does not include, and why.
"""

from __future__ import annotations

import ast
import operator
import re
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

__all__ = ["Columns", "Expression", "ExpressionError", "LeftOut", "parse", "select", "selected_rows"]

Columns = Mapping[str, NDArray[Any]]


class ExpressionError(ValueError):
    """An expression that cannot be evaluated; `position` is the 1-based column of the fault, or None."""

    def __init__(self, text: str, message: str, position: int | None = None) -> None:
        where = f" at column {position}" if position is not None else ""
        super().__init__(f"{text!r}{where}: {message}")
        self.text = text
        self.position = position


_BINARY: dict[type[ast.operator], Callable[[Any, Any], Any]] = {
    ast.Add: operator.add, ast.Sub: operator.sub, ast.Mult: operator.mul, ast.Div: operator.truediv,
    ast.FloorDiv: operator.floordiv, ast.Mod: operator.mod, ast.Pow: operator.pow,
}
_COMPARE: dict[type[ast.cmpop], Callable[[Any, Any], Any]] = {
    ast.Lt: operator.lt, ast.LtE: operator.le, ast.Gt: operator.gt, ast.GtE: operator.ge,
    ast.Eq: operator.eq, ast.NotEq: operator.ne,
}


@dataclass(frozen=True)
class Expression:
    """A checked expression: its text, its tree, the columns it reads and the channels it names."""

    text: str
    tree: ast.expr
    columns: frozenset[str]  # plain names
    channel_columns: frozenset[tuple[str, int]]  # (name, channel) of name@C

    @property
    def per_event(self) -> bool:
        return bool(self.channel_columns)

    def evaluate(self, columns: Columns) -> NDArray[Any]:
        """The value for every row of `columns`; the names are looked up as given (`name@C` as such)."""
        with np.errstate(all="ignore"):
            value = _evaluate(self, self.tree, columns)
        return np.asarray(value)


def parse(text: str, known: Mapping[str, Any] | None = None) -> Expression:
    """Check `text`; with `known` (the table's columns) unknown names are refused here too."""
    # `name@C` binds tighter than any operator (`2 * amplitude@0`), which
    # Python's @ does not: each is parsed as a placeholder name of the same
    # length, so that columns in messages stay those of the user's text, and
    # put back as name @ C in the tree.
    refs: dict[int, tuple[str, int]] = {}

    def placeholder(found: re.Match[str]) -> str:
        name, at, digits = found.groups()
        refs[found.start()] = (name, int(digits))
        return name + "_" * len(at) + digits

    marked = _CHANNEL.sub(placeholder, text.replace("\n", " "))
    # Parsed in parentheses so that leading blanks are just blanks.
    try:
        tree = ast.parse(f"({marked}\n)", mode="eval").body
    except SyntaxError as error:
        raise _syntax_fault(text, error) from None
    tree = _ChannelNames(refs).visit(tree)
    plain: set[str] = set()
    channels: set[tuple[str, int]] = set()
    _check(text, tree, plain, channels)
    expression = Expression(text, tree, frozenset(plain), frozenset(channels))
    if channels:
        _refuse_plain(expression)
    if known is not None:
        for name in sorted(plain | {n for n, _ in channels}):
            if name not in known:
                raise ExpressionError(text, f"no column {name!r}; the table has {', '.join(known)}")
    return expression


def _syntax_fault(text: str, error: SyntaxError) -> ExpressionError:
    """The parser's complaint at its place in the user's text.

    The parser sees the text wrapped in parentheses, the closing one on a
    line of its own, so an expression that stops short (`charge +`) is
    reported on that line, and a parenthesis left open or one too many
    against the wrapping ones: those are found in the text itself instead.
    """
    end = len(text.rstrip()) + 1
    wrapping = error.lineno is not None and error.lineno > 1 or "never closed" in (error.msg or "")
    if not wrapping:
        return ExpressionError(text, error.msg or "invalid syntax",
                               None if error.offset is None else min(max(error.offset - 1, 1), end))
    unclosed: list[int] = []
    for at, char in enumerate(text, start=1):
        if char == "(":
            unclosed.append(at)
        elif char == ")":
            if not unclosed:
                return ExpressionError(text, "unmatched ')'", at)
            unclosed.pop()
    if unclosed:
        return ExpressionError(text, f"'(' at column {unclosed[-1]} is never closed", end)
    return ExpressionError(text, "the expression ends too early", end)


_CHANNEL = re.compile(r"\b([A-Za-z_]\w*)(\s*@\s*)(\d+)\b")


class _ChannelNames(ast.NodeTransformer):
    """Puts `name @ C` back where parse() left a placeholder name, found by its place in the text."""

    def __init__(self, refs: dict[int, tuple[str, int]]) -> None:
        self.refs = refs

    def visit_Name(self, node: ast.Name) -> ast.expr:
        ref = self.refs.get(node.col_offset - 1)  # the parse added one parenthesis in front
        if ref is None:
            return node
        return ast.copy_location(ast.BinOp(ast.Name(ref[0], ast.Load()), ast.MatMult(), ast.Constant(ref[1])), node)


def _fault(text: str, node: ast.AST, message: str) -> ExpressionError:
    # The column in the user's text: the parse added one parenthesis in front.
    return ExpressionError(text, message, max(getattr(node, "col_offset", 1), 1))


def _check(text: str, node: ast.expr, plain: set[str], channels: set[tuple[str, int]]) -> None:
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.MatMult):
        if not isinstance(node.left, ast.Name) or not (isinstance(node.right, ast.Constant)
                                                       and type(node.right.value) is int and node.right.value >= 0):
            raise _fault(text, node, "@ takes a column name on its left and a channel number on its right")
        channels.add((node.left.id, node.right.value))
    elif isinstance(node, ast.BinOp) and type(node.op) in _BINARY:
        _check(text, node.left, plain, channels)
        _check(text, node.right, plain, channels)
    elif isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd, ast.Not)):
        _check(text, node.operand, plain, channels)
    elif isinstance(node, ast.BoolOp):
        for value in node.values:
            _check(text, value, plain, channels)
    elif isinstance(node, ast.Compare) and all(type(op) in _COMPARE for op in node.ops):
        for value in (node.left, *node.comparators):
            _check(text, value, plain, channels)
    elif isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == "abs" \
            and len(node.args) == 1 and not node.keywords:
        _check(text, node.args[0], plain, channels)
    elif isinstance(node, ast.Name):
        plain.add(node.id)
    elif isinstance(node, ast.Constant) and type(node.value) in (int, float, bool):
        pass
    else:
        raise _fault(text, node, f"{type(node).__name__.lower()} is not allowed: use columns, numbers, arithmetic,"
                                 " comparisons, and, or, not and abs()")


def _evaluate(expression: Expression, node: ast.expr, columns: Columns) -> Any:
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.MatMult):
        assert isinstance(node.left, ast.Name) and isinstance(node.right, ast.Constant)
        return columns[channel_key(node.left.id, int(node.right.value))]  # type: ignore[arg-type]
    if isinstance(node, ast.BinOp):
        return _BINARY[type(node.op)](_evaluate(expression, node.left, columns),
                                      _evaluate(expression, node.right, columns))
    if isinstance(node, ast.UnaryOp):
        operand = _evaluate(expression, node.operand, columns)
        if isinstance(node.op, ast.Not):
            return np.logical_not(operand)
        return -operand if isinstance(node.op, ast.USub) else +operand
    if isinstance(node, ast.BoolOp):
        combine = np.logical_and if isinstance(node.op, ast.And) else np.logical_or
        result = _evaluate(expression, node.values[0], columns)
        for value in node.values[1:]:
            result = combine(result, _evaluate(expression, value, columns))
        return result
    if isinstance(node, ast.Compare):
        left = _evaluate(expression, node.left, columns)
        chained: Any = True
        for op, right_node in zip(node.ops, node.comparators):
            right = _evaluate(expression, right_node, columns)
            chained = np.logical_and(chained, _COMPARE[type(op)](left, right))
            left = right
        return chained
    if isinstance(node, ast.Call):
        return np.abs(_evaluate(expression, node.args[0], columns))
    if isinstance(node, ast.Name):
        return columns[node.id]
    assert isinstance(node, ast.Constant)
    return node.value


@dataclass
class LeftOut:
    """The events that per-event expressions left out because they lack a channel that they name."""

    events: int = 0  # lacking at least one of the channels
    by_channel: dict[int, int] = field(default_factory=dict)  # channel -> events without it

    def add(self, other: LeftOut) -> None:
        self.events += other.events
        for channel, count in other.by_channel.items():
            self.by_channel[channel] = self.by_channel.get(channel, 0) + count

    def line(self, what: str) -> str | None:
        """One line for the command's report, or None when no event was left out."""
        if not self.events:
            return None
        lacking = sorted(((count, c) for c, count in self.by_channel.items() if count), key=lambda x: (-x[0], x[1]))
        events = f"{self.events:,} event{'' if self.events == 1 else 's'}"
        if len(lacking) == 1:
            verb = "has" if self.events == 1 else "have"
            return f"{events} {verb} no channel {lacking[0][1]} and {'is' if self.events == 1 else 'are'}" \
                   f" left out of {what}"
        counts = ", ".join(f"{count:,} no channel {c}" for count, c in lacking)
        return f"{events} lack a channel and are left out of {what} ({counts})"


def channel_key(name: str, channel: int) -> str:
    return f"{name}@{channel}"


def event_columns(table: Columns, wanted: set[tuple[str, int]],
                  left_out: LeftOut | None = None) -> dict[str, NDArray[Any]]:
    """Columns `name@C` of the events that hold every channel named, one row per event, in key order.

    Rows are matched on (`file`, `entry`); an event that lacks one of the
    channels is left out, and counted in `left_out`.
    """
    _, rows = _event_rows(table, sorted({c for _, c in wanted}), left_out)
    return {channel_key(name, c): np.asarray(table[name])[rows[c]] for name, c in wanted}


def _event_rows(table: Columns, channels: list[int],
                left_out: LeftOut | None = None) -> tuple[NDArray[np.int64], dict[int, NDArray[np.intp]]]:
    """The keys of the events that hold all `channels`, and for each channel the row of each such event;
    the events of the table without all of them are counted into `left_out`."""
    channel = np.asarray(table["channel"])
    keys = _event_keys(table)
    steps = np.diff(keys)
    ordered = bool(np.all(steps >= 0))  # as vorn writes tables: then no key needs sorting
    every = (int(np.count_nonzero(steps)) + 1 if len(keys) else 0) if ordered else len(np.unique(keys))
    common: NDArray[np.int64] | None = None
    firsts: dict[int, tuple[NDArray[np.int64], NDArray[np.intp]]] = {}
    for c in channels:
        present, first = firsts[c] = _first_rows(keys, np.flatnonzero(channel == c), ordered)
        if left_out is not None and len(present) < every:
            left_out.by_channel[c] = left_out.by_channel.get(c, 0) + every - len(present)
        if common is None or np.array_equal(common, present):
            common = present
        else:
            common = common[_found(present, common)]
    assert common is not None
    if left_out is not None:
        left_out.events += every - len(common)
    # `common` is a subset of each channel's keys: as long, it is all of them.
    rows = {c: first if len(present) == len(common) else first[np.searchsorted(present, common)]
            for c, (present, first) in firsts.items()}
    return common, rows


def _first_rows(keys: NDArray[np.int64], rows: NDArray[np.intp],
                ordered: bool) -> tuple[NDArray[np.int64], NDArray[np.intp]]:
    """The distinct keys of `rows`, sorted, and the first of `rows` with each.

    A table never repeats (file, entry, channel), but one made by hand is not
    trusted to: only an event's first row counts.
    """
    chosen = keys[rows]
    if ordered:
        first = np.ones(len(chosen), dtype=bool)
        first[1:] = chosen[1:] != chosen[:-1]
        return chosen[first], rows[first]
    # Sorted by index: NumPy 2's hashing unique of a million distinct keys takes seconds.
    unique, index = np.unique(chosen, return_index=True)
    return unique, rows[index]


def _found(sorted_keys: NDArray[np.int64], wanted: NDArray[np.int64]) -> NDArray[np.bool_]:
    """Which of `wanted` are among `sorted_keys` (distinct, ascending)."""
    if not len(sorted_keys):
        return np.zeros(len(wanted), dtype=bool)
    at = np.minimum(np.searchsorted(sorted_keys, wanted), len(sorted_keys) - 1)
    return np.asarray(sorted_keys[at] == wanted)


def _event_keys(table: Columns) -> NDArray[np.int64]:
    entry = np.asarray(table["entry"], dtype=np.int64)
    if "file" not in table:
        return entry
    # Entries stay below 2**40 in any file a digitizer writes.
    return np.asarray(table["file"], dtype=np.int64) << 40 | entry


def select(table: Columns, of: Expression | None, where: Expression | None,
           left_out: LeftOut | None = None, beside: Expression | None = None) -> tuple[NDArray[Any], NDArray[Any]]:
    """The values of `of` (or None's placeholder: an empty array) for the selected rows, and their channels.

    Per-row expressions give one value per selected row with its channel;
    per-event ones (any name@C in either) one value per selected event, with
    channel -1, and the events without a channel they name counted into
    `left_out`. The events are those that also hold the channels `beside`
    names: the other of a pair of values.
    """
    per_event = any(e is not None and e.per_event for e in (of, where, beside))
    if per_event:
        for expression in (of, where):
            if expression is not None:
                _refuse_plain(expression)
        wanted = set().union(*(e.channel_columns for e in (of, where, beside) if e is not None))
        columns: Columns = event_columns(table, wanted, left_out)
        rows = len(next(iter(columns.values()))) if columns else 0
        channels = np.full(rows, -1, dtype=np.int64)
    else:
        columns = table
        rows = len(table["channel"])
        channels = np.asarray(table["channel"], dtype=np.int64)
    values = np.broadcast_to(of.evaluate(columns), (rows,)) if of is not None else np.empty(rows)
    if where is not None:
        keep = _condition(where, where.evaluate(columns), rows)
        values, channels = values[keep], channels[keep]
    return np.asarray(values), channels


def selected_rows(table: Columns, where: Expression, left_out: LeftOut | None = None) -> NDArray[np.bool_]:
    """Which rows of `table` a condition keeps; with name@C, every row of each event that it keeps, and
    the events without a channel it names counted into `left_out`."""
    if not where.per_event:
        return _condition(where, where.evaluate(table), len(table["channel"]))
    _refuse_plain(where)
    keys, rows = _event_rows(table, sorted({c for _, c in where.channel_columns}), left_out)
    columns = {channel_key(name, c): np.asarray(table[name])[rows[c]] for name, c in where.channel_columns}
    keep = _condition(where, where.evaluate(columns), len(keys))
    return np.isin(_event_keys(table), keys[keep])


def _condition(where: Expression, value: Any, rows: int) -> NDArray[np.bool_]:
    keep = np.broadcast_to(value, (rows,))
    if keep.dtype != np.bool_:
        raise ExpressionError(where.text, "is not a condition: compare a column with a value")
    return np.asarray(keep)


def _refuse_plain(expression: Expression) -> None:
    if expression.columns:
        name = sorted(expression.columns)[0]
        raise ExpressionError(expression.text, f"{name} has no channel while other columns do: write {name}@C")
