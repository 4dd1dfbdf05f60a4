"""Tables as Parquet: one row group per block written.

A fixed-shape column is a (nested) fixed-size list column, a jagged column a
large list column; 1-D columns keep their NumPy type. A column's unit is its
field's metadata `unit`; the table's metadata is the schema's, written with
the footer.
"""

from __future__ import annotations

import base64
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from . import Column, Jagged, TableWriter

__all__ = ["Writer"]


def arrow_column(column: Column) -> Any:
    if isinstance(column, Jagged):
        return pa.LargeListArray.from_arrays(pa.array(column.offsets), pa.array(column.content))
    array = np.ascontiguousarray(column)
    if array.ndim == 1:
        return pa.array(array)
    nested: Any = pa.array(array.reshape(-1))
    for size in reversed(array.shape[1:]):
        nested = pa.FixedSizeListArray.from_arrays(nested, size)
    return nested


class Writer(TableWriter):
    # Snappy, Arrow's own default: every Parquet reader has it, and it keeps
    # the writing well ahead of reading and measuring.
    def __init__(self, path: str, compression: str = "snappy") -> None:
        super().__init__(path)
        self.compression = compression
        self.writer: pq.ParquetWriter | None = None

    def _write(self, columns: dict[str, Column]) -> None:
        table = pa.table({name: arrow_column(column) for name, column in columns.items()})
        if self.writer is None:
            fields = [f.with_metadata({"unit": self.units[f.name]}) if f.name in self.units else f
                      for f in table.schema]
            self.writer = pq.ParquetWriter(self.temporary, pa.schema(fields), compression=self.compression)
            table = table.cast(self.writer.schema)
        self.writer.write_table(table, row_group_size=max(1, table.num_rows))

    def _finish(self) -> None:
        if self.writer is None:
            # No block at all: an empty file is still a valid, empty table.
            self.writer = pq.ParquetWriter(self.temporary, pa.schema([]))
        if self.metadata:
            # Arrow readers take a table's metadata from the Arrow schema
            # stored in the footer, not from the footer's other keys, and
            # the schema is fixed when the writer opens, before what it
            # records (bytes read) is known: the stored schema is replaced.
            schema = self.writer.schema.with_metadata(self.metadata)
            stored = base64.b64encode(schema.serialize().to_pybytes()).decode()
            self.writer.add_key_value_metadata({**self.metadata, "ARROW:schema": stored})
        self.writer.close()
