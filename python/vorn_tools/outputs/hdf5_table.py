"""Tables as HDF5: one resizable, chunked dataset per column, gzip with shuffle.

A fixed-shape column is a dataset of (events, ...); a jagged column NAME is
its values one after the other in NAME and, in NAME_offsets, events + 1
uint64 offsets from 0 (event i is NAME[offsets[i]:offsets[i + 1]]), the
layout `vorn convert` gives variable-length data.
"""

from __future__ import annotations

from typing import Any

import h5py
import numpy as np

from . import Column, Jagged, TableWriter

CHUNK_BYTES = 1 << 20


class Writer(TableWriter):
    def __init__(self, path: str, compression: str | None = "gzip") -> None:
        super().__init__(path)
        self.file = h5py.File(self.temporary, "w")
        self.filters: dict[str, Any] = {"compression": compression, "shuffle": True} if compression else {}
        self.flat: dict[str, int] = {}

    def _dataset(self, name: str, sample: np.ndarray[Any, Any]) -> h5py.Dataset:
        row = max(1, int(np.prod(sample.shape[1:])) * sample.dtype.itemsize)
        chunks = (max(1, CHUNK_BYTES // row),) + sample.shape[1:]
        return self.file.create_dataset(name, shape=(0,) + sample.shape[1:], maxshape=(None,) + sample.shape[1:],
                                        dtype=sample.dtype, chunks=chunks, **self.filters)

    def _write(self, columns: dict[str, Column]) -> None:
        for name, column in columns.items():
            if isinstance(column, Jagged):
                if name not in self.file:
                    self._dataset(name, column.content)
                    _append(self._dataset(f"{name}_offsets", column.offsets.astype(np.uint64)),
                            np.zeros(1, np.uint64))
                    self.flat[name] = 0
                start = self.flat[name]
                _append(self.file[f"{name}_offsets"], (column.offsets[1:] + start).astype(np.uint64))
                _append(self.file[name], column.content)
                self.flat[name] = start + len(column.content)
            else:
                if name not in self.file:
                    self._dataset(name, column)
                _append(self.file[name], column)

    def _finish(self) -> None:
        if self.file.id.valid:
            self.file.close()


def _append(dataset: h5py.Dataset, values: np.ndarray[Any, Any]) -> None:
    start = len(dataset)
    dataset.resize(start + len(values), axis=0)
    if len(values):
        dataset[start:] = values
