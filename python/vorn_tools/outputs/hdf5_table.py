"""Tables as HDF5: one resizable, chunked dataset per column, gzip with shuffle.

A fixed-shape column is a dataset of (events, ...); a jagged column NAME is
its values one after the other in NAME and, in NAME_offsets, events + 1
uint64 offsets from 0 (event i is NAME[offsets[i]:offsets[i + 1]]), the
layout `vorn convert` gives variable-length data. Metadata are attributes of
the file, a column's unit the attribute `unit` of its dataset.

Blocks are held per dataset and written a whole number of chunks at a time:
a chunk written in parts is read back, decompressed and compressed again at
every part, which for blocks of a few thousand rows made a compressed
table ten times slower to write than its Parquet twin.
"""

from __future__ import annotations

from typing import Any

import h5py
import numpy as np

from .. import sizes
from . import Column, Jagged, TableWriter

__all__ = ["Writer"]


class Writer(TableWriter):
    def __init__(self, path: str, compression: str | None = "gzip") -> None:
        super().__init__(path)
        self.file = h5py.File(self.temporary, "w")
        self.filters: dict[str, Any] = {"compression": compression, "shuffle": True} if compression else {}
        self.flat: dict[str, int] = {}
        self.held: dict[str, _Held] = {}

    def _dataset(self, name: str, sample: np.ndarray[Any, Any], unit: str | None = None) -> h5py.Dataset:
        row = max(1, int(np.prod(sample.shape[1:])) * sample.dtype.itemsize)
        chunks = (max(1, sizes.TABLE_CHUNK_BYTES // row),) + sample.shape[1:]
        dataset = self.file.create_dataset(name, shape=(0,) + sample.shape[1:], maxshape=(None,) + sample.shape[1:],
                                           dtype=sample.dtype, chunks=chunks, **self.filters)
        if unit is not None:
            dataset.attrs["unit"] = unit
        self.held[name] = _Held(dataset)
        return dataset

    def _write(self, columns: dict[str, Column]) -> None:
        for name, column in columns.items():
            if isinstance(column, Jagged):
                if name not in self.file:
                    self._dataset(name, column.content, self.units.get(name))
                    self._dataset(f"{name}_offsets", column.offsets.astype(np.uint64))
                    self.held[f"{name}_offsets"].add(np.zeros(1, np.uint64))
                    self.flat[name] = 0
                start = self.flat[name]
                self.held[f"{name}_offsets"].add((column.offsets[1:] + start).astype(np.uint64))
                self.held[name].add(column.content)
                self.flat[name] = start + len(column.content)
            else:
                if name not in self.file:
                    self._dataset(name, column, self.units.get(name))
                self.held[name].add(column)

    def _finish(self) -> None:
        if self.file.id.valid:
            try:
                for held in self.held.values():
                    held.flush()
                for key, value in self.metadata.items():
                    self.file.attrs[key] = value
            finally:
                self.file.close()


class _Held:
    """A dataset's rows not written yet, written once they fill whole chunks."""

    def __init__(self, dataset: h5py.Dataset) -> None:
        self.dataset = dataset
        self.chunk = dataset.chunks[0]
        self.parts: list[np.ndarray[Any, Any]] = []
        self.rows = 0

    def add(self, values: np.ndarray[Any, Any]) -> None:
        if not len(values):
            return
        self.parts.append(values)
        self.rows += len(values)
        if self.rows >= self.chunk:
            held = np.concatenate(self.parts) if len(self.parts) > 1 else self.parts[0]
            whole = self.rows - self.rows % self.chunk
            _append(self.dataset, held[:whole])
            rest = held[whole:]
            self.parts = [rest.copy()] if len(rest) else []  # not a view that keeps the block
            self.rows = len(rest)

    def flush(self) -> None:
        if self.parts:
            _append(self.dataset, np.concatenate(self.parts))
            self.parts, self.rows = [], 0


def _append(dataset: h5py.Dataset, values: np.ndarray[Any, Any]) -> None:
    start = len(dataset)
    dataset.resize(start + len(values), axis=0)
    if len(values):
        dataset[start:] = values
