"""Tables and event files as ROOT TTrees, written with uproot.

uproot writes an RNTuple unless asked for a TTree, so trees are made with
`mktree`. uproot writes one basket per branch at each `extend`, and small
baskets make slow files, so blocks are held back until every branch has
`sizes.TREE_BASKET_BYTES` or the held blocks reach `sizes.TREE_HELD_BYTES`.

A column's unit goes into its branch's title (`amplitude [ADC counts]`), a
table's metadata into a TNamed `provenance` beside the tree, its title the
metadata as JSON.

Branches: a 1-D column is a scalar branch, a fixed-shape column a
fixed-size array branch (float[2][1024]), a jagged column NAME a
variable-size array branch counted by an int32 branch nNAME.
"""

from __future__ import annotations

import json
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Protocol

import awkward as ak
import numpy as np
import uproot

from .. import reading, sizes
from ..blocks import FILE_ERRORS
from ..formats import COLUMNS, SAMPLE_DTYPES, Layout
from .._output_files import in_users_words, temporary_beside
from . import Column, Jagged, TableWriter

__all__ = ["Writer", "write_waveforms_root"]


def _branch_type(column: Column) -> Any:
    if isinstance(column, Jagged):
        return f"var * {column.content.dtype.name}"
    return np.dtype((column.dtype, column.shape[1:])) if column.ndim > 1 else column.dtype


def _awkward(column: Jagged) -> Any:
    return ak.Array(ak.contents.ListOffsetArray(ak.index.Index64(column.offsets),
                                                ak.contents.NumpyArray(column.content)))


class TreeWriter:
    """Appends blocks of columns to one new TTree of an open file, in baskets of a useful size."""

    def __init__(self, directory: Any, name: str, units: dict[str, str] | None = None) -> None:
        self.directory = directory
        self.name = name
        self.units = {} if units is None else units
        self.tree: Any = None
        self.held: list[dict[str, Column]] = []
        self.held_bytes: dict[str, int] = {}  # bytes held per column

    def write(self, columns: dict[str, Column]) -> None:
        if self.tree is None:
            self.tree = self.directory.mktree(self.name, {k: _branch_type(v) for k, v in columns.items()})
            if self.units:
                _title_branches(self.directory, self.tree, self.units)
        self.held.append(columns)
        for key, column in columns.items():
            self.held_bytes[key] = self.held_bytes.get(key, 0) + _nbytes(column)
        if (min(self.held_bytes.values(), default=0) >= sizes.TREE_BASKET_BYTES
                or sum(self.held_bytes.values()) >= sizes.TREE_HELD_BYTES):
            self.flush()

    def flush(self) -> None:
        if not self.held:
            return
        names = list(self.held[0])
        data: dict[str, Any] = {}
        for name in names:
            parts = [block[name] for block in self.held]
            if isinstance(parts[0], Jagged):
                data[name] = _awkward(_join_jagged([p for p in parts if isinstance(p, Jagged)]))
            else:
                data[name] = np.concatenate([np.asarray(p) for p in parts])
        self.held = []
        self.held_bytes = {}
        self.tree.extend(data)


def _title_branches(directory: Any, tree: Any, units: dict[str, str]) -> None:
    """Branch titles `NAME [UNIT]` for the columns with a unit, on a tree with no entries yet.

    uproot names each branch's title after its leaf list and has no option
    for another, so the titles are set on its description of the new tree,
    which is then written again.
    """
    cascading = tree._cascading
    for branch in cascading._branch_data:
        unit = units.get(branch.get("fName", ""))
        if unit:
            branch["fTitle"] = f"{branch['fName']} [{unit}]"
    cascading.write_anew(directory._file.sink)


def _tnamed(name: str, title: str) -> Any:
    named = uproot.models.TNamed.Model_TNamed.empty()
    named._deeply_writable = True
    named._bases.append(uproot.models.TObject.Model_TObject.empty())
    named._members["fName"] = name
    named._members["fTitle"] = title
    return named


def _nbytes(column: Column) -> int:
    return column.content.nbytes if isinstance(column, Jagged) else column.nbytes


def _join_jagged(parts: list[Jagged]) -> Jagged:
    if len(parts) == 1:
        return parts[0]
    starts = np.cumsum([0] + [len(p.content) for p in parts[:-1]])
    offsets = np.concatenate([parts[0].offsets[:1]] + [p.offsets[1:] + s for p, s in zip(parts, starts)])
    return Jagged(np.concatenate([p.content for p in parts]), offsets)


class Writer(TableWriter):
    """A table as the TTree `tree` of a new ROOT file."""

    def __init__(self, path: str, tree: str = "events") -> None:
        super().__init__(path)
        self.file = uproot.recreate(self.temporary)
        self.tree = TreeWriter(self.file, tree, self.units)

    def _write(self, columns: dict[str, Column]) -> None:
        self.tree.write(columns)

    def _finish(self) -> None:
        if not self.file.closed:
            try:
                self.tree.flush()
                if self.metadata:
                    self.file["provenance"] = _tnamed("provenance", json.dumps(self.metadata))
            finally:
                self.file.close()


# --- event files as trees -------------------------------------------------------------

class Source(Protocol):
    """An event file to convert, as `vorn convert` describes one (its Task)."""

    @property
    def path(self) -> str: ...

    @property
    def layout(self) -> Layout: ...

    @property
    def name(self) -> str:  # of the tree
        ...


@dataclass
class TreeOutcome:
    """What became of one event file, with the fields of the HDF5 conversion's outcome."""

    path: str
    output: str | None = None  # "FILE.root:/tree", None when it failed
    events: int = 0
    bytes_read: int = 0
    ending: str = ""
    error: str | None = None
    salvaged: bool = False  # never: a tree is written whole or not at all


class _Varying(Exception):
    """The file's events stop having one length: its tree needs a jagged data branch."""


def _tree_columns(piece: reading.Piece, layout: Layout, jagged: bool) -> dict[str, Column]:
    columns: dict[str, Column] = {k: v for k, v in piece.columns.items() if k not in ("data", "offset")}
    if piece.flat is not None and piece.lengths is not None:
        if not jagged:
            raise _Varying
        columns["data"] = Jagged(piece.flat, np.concatenate(([0], np.cumsum(piece.lengths))))
        return columns
    data = piece.columns["data"]
    if jagged:
        columns["data"] = Jagged(data.reshape(-1), np.arange(len(data) + 1, dtype=np.int64) * data.shape[1])
    elif layout.reader_type == "WD2" and layout.channels >= 2:
        columns["data"] = data.reshape(len(data), layout.channels, data.shape[1] // layout.channels)
    else:
        columns["data"] = data
    return columns


def write_tree(file: Any, source: Source, float32: bool = False, progress: Any = None) -> TreeOutcome:
    """One event file as the TTree `source.name` of an open uproot file.

    Header keys are branches of the file's own types, `data` a fixed-size
    array branch ((K, samples) for WD2 files of K >= 2 channels) or, once the
    events of the file differ in length, a jagged branch of each event's
    samples (all channels one after the other). A file that cannot be read
    to its end leaves no tree and an outcome with `error`.
    """
    outcome = TreeOutcome(source.path)
    counted = [0, 0]  # bytes and events shown to `progress`, which a second pass must not repeat
    for jagged in (False, True):
        tree = TreeWriter(file, source.name)
        pieces = reading.FilePieces(source.path, source.layout, float32, sizes.TREE_READ_BYTES)
        events = 0
        try:
            for piece in pieces:
                tree.write(_tree_columns(piece, source.layout, jagged))
                events += piece.rows
                if progress is not None and pieces.bytes_read > counted[0]:
                    progress.update(pieces.bytes_read - counted[0], max(0, events - counted[1]))
                    counted = [pieces.bytes_read, max(events, counted[1])]
            if tree.tree is None:  # not one event
                tree.tree = file.mktree(source.name, _empty_types(source.layout, float32))
            tree.flush()
        except _Varying:
            if tree.tree is not None:
                del file[source.name]
            continue
        except FILE_ERRORS as error:
            if tree.tree is not None:
                del file[source.name]
            outcome.error = str(error) or type(error).__name__
            outcome.ending = f"error: {outcome.error}"
            return outcome
        break
    assert pieces.ending is not None
    outcome.events = events
    outcome.bytes_read = pieces.ending.bytes_read
    outcome.ending = pieces.ending.describe()
    return outcome


def _empty_types(layout: Layout, float32: bool) -> dict[str, Any]:
    types: dict[str, Any] = dict(COLUMNS[layout.reader_type])
    dtype = np.dtype(np.float32) if float32 else SAMPLE_DTYPES[layout.reader_type]
    types["data"] = f"var * {dtype.name}"
    return types


# The command's compression names, in ROOT's terms: deflate at level 1 is
# what HDF5's default writes too, LZ4 stands in for the fast lzf.
COMPRESSION = {"gzip": ("ZLIB", 1), "lzf": ("LZ4", 1), "none": None}


def write_waveforms_root(sources: Sequence[Source], output: str, float32: bool = False,
                         progress: Any = None, compression: str = "gzip") -> list[TreeOutcome]:
    """Event files into one new ROOT file, a TTree each named `source.name`.

    Every field reads back bit for bit with uproot. A file that fails leaves
    no tree and an outcome with `error`; the others still convert. The
    output appears only when complete, and not at all if no file converted.
    `progress`, if given, has `update(bytes, events)`.
    """
    temporary = temporary_beside(output)
    outcomes: list[TreeOutcome] = []
    try:
        chosen = COMPRESSION[compression]
        codec = None if chosen is None else getattr(uproot, chosen[0])(chosen[1])
        with uproot.recreate(temporary, compression=codec) as file:
            for source in sources:
                outcome = write_tree(file, source, float32, progress)
                if outcome.error is None:
                    outcome.output = f"{output}:/{source.name}"
                outcomes.append(outcome)
        if any(o.error is None for o in outcomes):
            os.replace(temporary, output)
    except OSError as error:
        if in_users_words(error) is not error:  # the output's, not an input's
            raise in_users_words(error) from error
        raise
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)
    return outcomes
