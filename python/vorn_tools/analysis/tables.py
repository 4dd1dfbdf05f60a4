"""Feature tables read back, and inputs that are either tables or raw event files.

A table is what `vorn features` writes: Parquet, HDF5 (a dataset per
column) or a ROOT TTree `events`. `load(paths, columns)` gives the named
columns of a table as NumPy arrays; for raw files it measures them first,
with the given FeatureOptions, exactly as `vorn features` would.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .. import sizes

__all__ = ["is_table", "load", "read_table", "table_blocks", "table_columns", "table_metadata", "table_units"]

TABLE_SUFFIXES = (".parquet", ".h5", ".hdf5", ".root")
ROOT_TREE = "events"


def is_table(path: str) -> bool:
    return os.path.splitext(path)[1].lower() in TABLE_SUFFIXES and os.path.isfile(path)


def table_columns(path: str) -> list[str]:
    """The names of the table's columns, in its order."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix == ".parquet":
        import pyarrow.parquet as pq

        return list(pq.read_schema(path).names)
    if suffix in (".h5", ".hdf5"):
        import h5py

        with h5py.File(path, "r") as f:
            return [name for name, item in f.items()
                    if isinstance(item, h5py.Dataset) and not name.endswith("_offsets")]
    import uproot

    with uproot.open(path) as f:
        return list(f[ROOT_TREE].keys())


def table_units(path: str) -> dict[str, str]:
    """The unit each column's metadata gives (as `vorn features` records it); columns without one are left out."""
    suffix = os.path.splitext(path)[1].lower()
    units: dict[str, str] = {}
    if suffix == ".parquet":
        import pyarrow.parquet as pq

        for field in pq.read_schema(path):
            unit = (field.metadata or {}).get(b"unit")
            if unit:
                units[field.name] = unit.decode()
    elif suffix in (".h5", ".hdf5"):
        import h5py

        with h5py.File(path, "r") as f:
            for name, item in f.items():
                unit = item.attrs.get("unit") if isinstance(item, h5py.Dataset) else None
                if unit:
                    units[name] = unit.decode() if isinstance(unit, bytes) else str(unit)
    else:
        import uproot

        with uproot.open(path) as f:
            for name, branch in f[ROOT_TREE].items():
                # The tree writer titles a branch `name [unit]`.
                title = str(branch.title)
                if title.startswith(f"{name} [") and title.endswith("]"):
                    units[name] = title[len(name) + 2:-1]
    return units


def table_blocks(path: str, columns: Sequence[str], rows: int | None = None) -> Iterator[dict[str, NDArray[Any]]]:
    """The named columns of one table, `rows` (default `sizes.TABLE_READ_ROWS`) rows at a time, in the table's order.

    Read in blocks rather than whole, so that a table of any length is
    histogrammed in the memory of one block: Parquet by record batches,
    HDF5 by slices of its datasets, ROOT by uproot's steps.
    """
    suffix = os.path.splitext(path)[1].lower()
    wanted = list(dict.fromkeys(columns))
    rows = rows or sizes.TABLE_READ_ROWS
    if suffix == ".parquet":
        import pyarrow.parquet as pq

        with pq.ParquetFile(path) as parquet:
            for batch in parquet.iter_batches(batch_size=rows, columns=wanted):
                yield {name: batch.column(name).to_numpy(zero_copy_only=False) for name in wanted}
    elif suffix in (".h5", ".hdf5"):
        import h5py

        with h5py.File(path, "r") as f:
            length = len(f[wanted[0]]) if wanted else 0
            for start in range(0, length, rows):
                yield {name: f[name][start:start + rows] for name in wanted}
    else:
        import uproot

        with uproot.open(path) as f:
            for arrays in f[ROOT_TREE].iterate(wanted, step_size=rows, library="np"):
                yield {name: np.asarray(arrays[name]) for name in wanted}


def read_table(path: str, columns: Iterable[str] | None = None) -> dict[str, NDArray[Any]]:
    """The columns of one table (all of them by default) as 1-D arrays."""
    suffix = os.path.splitext(path)[1].lower()
    wanted = None if columns is None else list(dict.fromkeys(columns))
    if suffix == ".parquet":
        import pyarrow.parquet as pq

        table = pq.read_table(path, columns=wanted)
        return {name: table.column(name).to_numpy() for name in table.column_names}
    if suffix in (".h5", ".hdf5"):
        import h5py

        with h5py.File(path, "r") as f:
            names = wanted if wanted is not None else table_columns(path)
            return {name: f[name][()] for name in names}
    import uproot

    with uproot.open(path) as f:
        arrays = f[ROOT_TREE].arrays(wanted, library="np")
        return {name: np.asarray(values) for name, values in arrays.items()}


def concatenate(tables: Sequence[dict[str, NDArray[Any]]]) -> dict[str, NDArray[Any]]:
    """Tables of the same columns one after the other; `file` numbers them when there are several."""
    if len(tables) == 1:
        return tables[0]
    names = list(tables[0])
    for number, table in enumerate(tables):
        if list(table) != names:
            raise ValueError(f"the tables' columns differ: {', '.join(names)} against {', '.join(table)}")
    joined = {name: np.concatenate([t[name] for t in tables]) for name in names}
    # Entries restart in every file, so each table's files get numbers of their own.
    numbers, first = [], 0
    for table in tables:
        rows = len(table[names[0]])
        files = np.asarray(table["file"], dtype=np.int64) if "file" in table else np.zeros(rows, np.int64)
        numbers.append(files + first)
        first += int(files.max()) + 1 if rows else 0
    joined["file"] = np.concatenate(numbers).astype(np.int32)
    return joined


def load(paths: Sequence[str], columns: Iterable[str], options: Any = None, run: bool = False,
         type: str = "auto", float32: bool = False, tick: str | None = None,
         outcome: Any = None, calibration: Any = None, units: dict[str, str] | None = None) -> dict[str, NDArray[Any]]:
    """The named columns (with `channel`, `entry` and `file` where there) of tables, or of raw files measured.

    Raw files are measured with `options` (a FeatureOptions) as `vorn
    features` does, a block at a time, keeping only the columns asked for;
    `outcome` (a feature_table.TableOutcome) then receives the account of
    their reading: events, rows, how each file ended, a run's report.
    Reading errors are raised as `vorn features` meets them. Tables and raw
    files cannot be mixed in one call. Raw files are measured in the units
    of `calibration` (a vorn_tools.units.Calibration; None: raw units), and
    `units`, when given, receives the unit of each column (of a table: as
    its metadata gives them, those of the first table).
    """
    tables = [is_table(p) for p in paths]
    wanted = list(dict.fromkeys([*columns, "channel", "entry", "file"]))
    if all(tables):
        if units is not None and paths:
            units.update(table_units(paths[0]))
        read = []
        for path in paths:
            present = table_columns(path)
            missing = [c for c in wanted if c not in present and c != "file"]
            if missing:
                raise KeyError(missing[0])
            read.append(read_table(path, [c for c in wanted if c in present]))
        return concatenate(read)
    if any(tables):
        raise ValueError("give feature tables or event files, not both")
    from ..feature_table import TableRecord, column_units, feature_tables
    from ..features import FeatureOptions

    kept: dict[str, list[NDArray[Any]]] = {}
    reports: list[Any] = []
    ended = None if outcome is None else outcome.account
    record = TableRecord()
    for block in feature_tables(list(paths), options or FeatureOptions(), run, type, float32, tick,
                                record=record, reports=reports, ended=ended, calibration=calibration):
        if units is not None and not units:
            units.update(column_units(block, record.samples, record.calibration))
        if outcome is not None:
            entries = block["entry"]
            outcome.rows += len(entries)
            outcome.events += int(entries[-1] - entries[0]) + 1 if len(entries) else 0
            outcome.run_report = reports[0] if reports else None
        for name in wanted:
            if name in block:
                kept.setdefault(name, []).append(block[name])
            elif name not in ("file",):
                raise KeyError(name)
    if outcome is not None:
        outcome.notes = record.notes()
    return {name: np.concatenate(parts) for name, parts in kept.items()}


def table_metadata(path: str) -> dict[str, str]:
    """What the table records about its making (`vorn_tools._provenance`), text by key; {} if nothing."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix == ".parquet":
        import pyarrow.parquet as pq

        found = pq.read_schema(path).metadata or {}
        return {k.decode(): v.decode() for k, v in found.items() if not k.startswith(b"ARROW:")}
    if suffix in (".h5", ".hdf5"):
        import h5py

        with h5py.File(path, "r") as f:
            return {k: v.decode() if isinstance(v, bytes) else str(v) for k, v in f.attrs.items()}
    import json

    import uproot

    with uproot.open(path) as f:
        if "provenance" not in f:
            return {}
        found = json.loads(f["provenance"].member("fTitle"))
        return {k: v if isinstance(v, str) else json.dumps(v) for k, v in found.items()}
