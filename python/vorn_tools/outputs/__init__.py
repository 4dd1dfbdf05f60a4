"""Tables of per-event columns written a block at a time: HDF5, Parquet or a ROOT TTree.

`open_table(path)` picks the format by the file's extension; each format is
one module of this package, imported only when used, with its library. A
writer takes blocks (`write`) with the same columns every time: 1-D arrays,
N-D arrays of a fixed shape per event (waveforms), or `Jagged` columns (a
variable number of values per event). The file appears under its name only
once closed without error; until then it is a hidden temporary file in the
same folder, removed if the writing fails. Errors of the writing are
`OutputError`s that name `path`, never the temporary file.

A table can say where it came from: `describe` gives it metadata (text by
key) and the unit of each column, which each format keeps in its own
metadata (Parquet: schema metadata and each field's `unit`; HDF5: the
file's attributes and each dataset's `unit`; ROOT: a TNamed `provenance`
holding the metadata as JSON, and branch titles `NAME [UNIT]`). Units are
needed before the first block, metadata any time before `close`.
"""

from __future__ import annotations

import contextlib
import importlib
import os
from collections.abc import Mapping
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Union

import numpy as np
from numpy.typing import NDArray

from .._output_files import temporary_beside, writing

__all__ = ["Column", "Jagged", "TableWriter", "need", "open_table"]

# extension -> (module, pip extra, library)
FORMATS = {
    ".h5": ("hdf5_table", "cli", "h5py"),
    ".hdf5": ("hdf5_table", "cli", "h5py"),
    ".parquet": ("parquet_table", "parquet", "pyarrow"),
    ".root": ("root_tree", "root", "uproot"),
}


@dataclass(frozen=True)
class Jagged:
    """A column of a variable number of values per event: event i is content[offsets[i]:offsets[i + 1]]."""

    content: NDArray[Any]
    offsets: NDArray[Any]  # events + 1 values, non-decreasing

    def __len__(self) -> int:
        return len(self.offsets) - 1

    def normalized(self) -> Jagged:
        """The same events with offsets from 0, as int64, and only the content they cover."""
        offsets = np.asarray(self.offsets, dtype=np.int64)
        start, stop = int(offsets[0]), int(offsets[-1])
        return Jagged(np.asarray(self.content)[start:stop], offsets - start)


Column = Union[NDArray[Any], Jagged]


class TableWriter:
    """Writes blocks of columns to a temporary file that becomes `path` on `close`.

    Used as a context manager it closes on success and discards on an error.
    Subclasses implement `_write` (the temporary file is `self.temporary`)
    and `_finish`.
    """

    def __init__(self, path: str) -> None:
        self.path = path
        self.temporary = temporary_beside(path)
        self.events = 0
        self._names: tuple[str, ...] | None = None
        self.metadata: dict[str, str] = {}
        self.units: dict[str, str] = {}

    def describe(self, metadata: Mapping[str, str] | None = None, units: Mapping[str, str] | None = None) -> None:
        """Adds metadata (kept at `close`) and the unit of columns (those of blocks still to come)."""
        self.metadata.update(metadata or {})
        self.units.update(units or {})

    def write(self, columns: Mapping[str, Column]) -> None:
        names = tuple(columns)
        if self._names is None:
            self._names = names
        elif names != self._names:
            raise ValueError(f"columns {', '.join(names)} differ from the table's {', '.join(self._names)}")
        lengths = {len(c) for c in columns.values()}
        if len(lengths) > 1:
            raise ValueError(f"columns of different lengths: {sorted(lengths)}")
        normal = {k: v.normalized() if isinstance(v, Jagged) else np.asarray(v) for k, v in columns.items()}
        with writing(self.path):
            self._write(normal)
        self.events += lengths.pop() if lengths else 0

    def close(self) -> None:
        try:
            with writing(self.path):
                self._finish()
                os.replace(self.temporary, self.path)
        except BaseException:
            self.discard()
            raise

    def discard(self) -> None:
        with contextlib.suppress(Exception):
            self._finish()
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.temporary)

    def __enter__(self) -> TableWriter:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if kind is None:
            self.close()
        else:
            self.discard()

    def _write(self, columns: dict[str, Column]) -> None:
        raise NotImplementedError

    def _finish(self) -> None:
        raise NotImplementedError


def need(library: str, extra: str) -> Any:
    """Imports `library`, or ImportError naming the pip extra that brings it."""
    try:
        return importlib.import_module(library)
    except ImportError as error:
        raise ImportError(f"{library} is not installed ({error}): pip install 'vorn[{extra}]'") from error


def open_table(path: str, **options: Any) -> TableWriter:
    """A writer of the format that the extension of `path` names (.h5, .hdf5, .parquet, .root).

    Options go to the format's writer (ROOT: `tree`, the TTree's name).
    ValueError for another extension, ImportError naming the pip extra when
    the format's library is missing.
    """
    extension = os.path.splitext(path)[1].lower()
    if extension not in FORMATS:
        raise ValueError(f"cannot tell the table format of {path}: use one of {', '.join(FORMATS)}")
    module_name, extra, library = FORMATS[extension]
    need(library, extra)
    module = importlib.import_module(f".{module_name}", __name__)
    with writing(path):
        writer: TableWriter = module.Writer(path, **options)
    return writer
