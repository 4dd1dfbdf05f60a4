"""Event files to HDF5, streamed a block at a time: what `vorn convert` writes.

Layout of one converted file (an HDF5 group, named after the input's stem):

- one 1-D dataset per header key, in the key's own integer type;
- `data`: (events, samples) when every event has the same number of samples,
  (events, channels, samples) for such WD2 files of K >= 2 channels,
  otherwise all samples one after the other plus `offsets` (events + 1
  entries, event i being data[offsets[i]:offsets[i + 1]]);
- attributes describing the source and how its reading ended.

Every axis carries an HDF5 dimension label (event, channel, sample), so
generic HDF5 tools show what it counts. The default compression is deflate
with the shuffle filter, which every HDF5 build reads without plugins.

Output files are written under a hidden temporary name in the target folder
and renamed when complete, so a name that exists is a finished conversion.
"""

from __future__ import annotations

import contextlib
import dataclasses
import importlib.metadata
import json
import os
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import h5py
import numpy as np

from .. import _parallel as parallel, _provenance as provenance, _signals as signals, sizes
from .._output_files import atomic_output, in_users_words, unique_names
from ..blocks import FILE_ERRORS, Block, EventBlocks, Selection
from ..formats import COLUMNS, Layout

__all__ = [
    "COMPRESSION", "Options", "Outcome", "Task", "convert_in_workers", "convert_into_one", "convert_on_cluster"
]

# On digitizer waveforms, levels 4 and 6 make outputs smaller than level 1
# by at most 1 % of the input and take 1.2 to 3.3 times as long
# (bench/compression.py).
GZIP_LEVEL = 1
COMPRESSION: dict[str, dict[str, Any]] = {
    "gzip": {"compression": "gzip", "compression_opts": GZIP_LEVEL, "shuffle": True},
    "lzf": {"compression": "lzf", "shuffle": True},  # a filter that only h5py registers
    "none": {},
}


@dataclass(frozen=True)
class Options:
    compression: str = "gzip"
    float32: bool = False
    selection: Selection = Selection()
    salvage: bool = False  # keep the events before a read error or a stop short of the end, instead of nothing


@dataclass
class Outcome:
    """What became of one input file; sent back from worker processes."""

    path: str
    output: str | None = None  # file (and group) written, None when it failed
    events: int = 0
    bytes_read: int = 0
    ending: str = ""
    error: str | None = None
    salvaged: bool = False  # failed, but the events before the error were kept


class GroupWriter:
    """Appends blocks to the datasets of one group, creating them from the first block.

    Header values are gathered over `sizes.CONVERT_COLUMN_CHUNK_EVENTS`
    events and written a whole chunk at a time: a block's worth per dataset
    would be a small write each.

    Chunks are no larger than the file can fill: `file_size` bounds the events
    and samples to come, so a small file gives a small HDF5 file (HDF5 stores
    partly filled chunks whole; a file that grows meanwhile only gets more
    chunks). The first `sizes.CONVERT_UNCHUNKED_BYTES` of events are held
    back: a group that holds no more is written contiguous, with its final
    shapes.
    """

    def __init__(self, group: h5py.Group, layout: Layout, sample_dtype: np.dtype[Any], options: Options,
                 block_rows: Callable[[int], int], file_size: int) -> None:
        self.group = group
        self.block_rows = block_rows
        # Uncompressed 2-D data goes to disk a chunk per block, as is: no
        # selection, type conversion or chunk cache in the way.
        self.direct = options.compression == "none"
        self.layout = layout
        self.sample_dtype = sample_dtype
        self.filters = COMPRESSION[options.compression]
        self.file_size = file_size
        # WD2 samples of K >= 2 channels come channel after channel: one more axis.
        self.channels = layout.channels if layout.reader_type == "WD2" and layout.channels >= 2 else 1
        self.events = 0
        self.width: int | None = None  # samples per event while they are all alike
        self.flat_size = 0  # samples in the flat dataset once there is one
        self.data: h5py.Dataset | None = None
        self.offsets: h5py.Dataset | None = None
        # Created when header values are first written: by then the number of
        # events is known if the file holds less than a chunk of them.
        self.columns: dict[str, h5py.Dataset] = {}
        self.held: dict[str, list[np.ndarray[Any, Any]]] = {key: [] for key, _ in COLUMNS[layout.reader_type]}
        self.held_events = 0
        self.columns_written = 0
        self.early: list[Block] | None = []  # copies of the first blocks, None once streaming
        self.early_bytes = 0

    def _dataset(self, name: str, shape: tuple[int, ...], dtype: Any, chunks: tuple[int, ...],
                 axes: tuple[str, ...]) -> h5py.Dataset:
        cache = {}
        if self.filters:
            # Room for one chunk. Flat data and offsets end blocks inside
            # chunks, and a compressed chunk must wait there for the rest or
            # be compressed, read back and compressed again; and HDF5 fills a
            # chunk that bypasses the cache before copying the data in. More
            # room would only keep chunks already written.
            cache = {"rdcc_nbytes": int(np.prod(chunks)) * np.dtype(dtype).itemsize, "rdcc_w0": 1.0}
        dataset = self.group.create_dataset(name, shape=shape, maxshape=(None,) + shape[1:], dtype=dtype,
                                            chunks=chunks, **self.filters, **cache)
        _label(dataset, axes)
        return dataset

    def _row_shape(self, width: int) -> tuple[int, ...]:
        return (self.channels, width // self.channels) if self.channels > 1 else (width,)

    @property
    def _row_axes(self) -> tuple[str, ...]:
        return ("event", "channel", "sample") if self.channels > 1 else ("event", "sample")

    def write(self, block: Block) -> None:
        if self.early is not None:
            size = block.data.nbytes + sum(column.nbytes for column in block.headers.values())
            if self.early_bytes + size <= sizes.CONVERT_UNCHUNKED_BYTES:
                # A block's arrays are reused by the next one.
                self.early.append(Block({key: values.copy() for key, values in block.headers.items()},
                                        block.data.copy(), None if block.lengths is None else block.lengths.copy(),
                                        block.start, block.sizes.copy()))
                self.early_bytes += size
                self.events += block.events
                return
            early, self.early = self.early, None
            self.events = 0  # counts what is streamed from here on
            for held in early:
                self._stream(held)
        self._stream(block)

    def _stream(self, block: Block) -> None:
        if self.width is None and self.events == 0 and block.lengths is None:
            self.width = int(block.data.shape[1])
            if self.width:
                row_bytes = self.width * self.sample_dtype.itemsize
                # Events of this width take at least this much of the file.
                most = self.file_size // (self.layout.header_size + row_bytes)
                self.chunk_rows = max(1, min(self.block_rows(row_bytes), most))
                shape = self._row_shape(self.width)
                self.data = self._dataset("data", (0, *shape), self.sample_dtype, (self.chunk_rows, *shape),
                                          self._row_axes)
        elif block.lengths is not None and (self.width is not None or self.events == 0):
            self._go_flat()
        for key, values in block.headers.items():
            # A block's columns are views of arrays that the next block reuses.
            self.held[key].append(values.copy())
        self.held_events += block.events
        if self.held_events >= sizes.CONVERT_COLUMN_CHUNK_EVENTS:
            self._write_columns()
        if block.lengths is None:
            if self.data is not None:
                self._write_rows(block.data.reshape(block.events, *self.data.shape[1:]))
        else:
            assert self.data is not None and self.offsets is not None
            offsets = self.flat_size + np.cumsum(block.lengths, dtype=np.uint64)
            _append(self.offsets, self.events + 1, offsets)
            _append(self.data, self.flat_size, block.data)
            self.flat_size += int(block.data.size)
        self.events += block.events

    def _write_rows(self, rows: np.ndarray[Any, Any]) -> None:
        assert self.data is not None
        start, count = self.events, len(rows)
        if not self.direct or start % self.chunk_rows or count > self.chunk_rows:
            _append(self.data, start, rows)
            return
        if count < self.chunk_rows:  # the last block: a chunk is written whole
            whole = np.zeros((self.chunk_rows, *rows.shape[1:]), dtype=rows.dtype)
            whole[:count] = rows
            rows = whole
        self.data.id.set_extent((start + count, *rows.shape[1:]))
        self.data.id.write_direct_chunk((start, *(0,) * (rows.ndim - 1)), np.ascontiguousarray(rows))

    def _write_columns(self) -> None:
        if not self.columns:
            chunk = max(1, min(sizes.CONVERT_COLUMN_CHUNK_EVENTS, self.held_events))
            self.columns = {key: self._dataset(key, (0,), dtype, (chunk,), ("event",))
                            for key, dtype in COLUMNS[self.layout.reader_type]}
        for key, parts in self.held.items():
            if parts:
                _append(self.columns[key], self.columns_written, np.concatenate(parts) if len(parts) > 1 else parts[0])
            parts.clear()
        self.columns_written += self.held_events
        self.held_events = 0

    def _go_flat(self) -> None:
        """Turn what was written as (events, samples) or (events, channels, samples) into flat samples and offsets."""
        width, events = self.width or 0, self.events
        chunk = min(sizes.CONVERT_FLAT_CHUNK_BYTES, self.file_size) // self.sample_dtype.itemsize
        flat = self._dataset("data.flat", (0,), self.sample_dtype, (max(1, chunk),), ("sample",))
        if self.data is not None:
            step = max(1, sizes.CONVERT_COPY_BYTES // (width * self.sample_dtype.itemsize))
            for row in range(0, events, step):
                _append(flat, row * width, self.data[row:row + step].reshape(-1))
            del self.group["data"]
        self.group.move("data.flat", "data")
        self.data = flat  # this handle, not a new one: it has the cache
        most_events = self.file_size // self.layout.header_size
        offsets_chunk = max(1, min(sizes.CONVERT_COLUMN_CHUNK_EVENTS, most_events + 1))
        self.offsets = self._dataset("offsets", (0,), np.uint64, (offsets_chunk,), ("event",))
        _append(self.offsets, 0, np.arange(events + 1, dtype=np.uint64) * np.uint64(width))
        self.flat_size = events * width
        self.width = None

    def close(self, attributes: dict[str, Any]) -> None:
        if self.early is not None:
            self._write_small(self.early)
        else:
            self._close_streamed()
        for name, value in attributes.items():
            if value is not None:
                self.group.attrs[name] = value

    def _write_small(self, blocks: list[Block]) -> None:
        for key, dtype in COLUMNS[self.layout.reader_type]:
            values = np.concatenate([block.headers[key] for block in blocks] or [np.empty(0, dtype)])
            self._whole(key, values, ("event",))
        if all(block.lengths is None for block in blocks):
            width = blocks[0].data.shape[1] if blocks else 0
            data = np.concatenate([block.data for block in blocks] or [np.empty((0, 0), self.sample_dtype)])
            self._whole("data", data.reshape(self.events, *self._row_shape(width)), self._row_axes)
        else:
            lengths = np.concatenate([block.event_lengths() for block in blocks])
            self._whole("data", np.concatenate([block.data.reshape(-1) for block in blocks]), ("sample",))
            self._whole("offsets", np.concatenate([[0], np.cumsum(lengths)]).astype(np.uint64), ("event",))

    def _whole(self, name: str, values: np.ndarray[Any, Any], axes: tuple[str, ...]) -> None:
        _label(self.group.create_dataset(name, data=values), axes)

    def _close_streamed(self) -> None:
        if self.held_events or not self.columns:
            self._write_columns()
        if self.data is None:
            # Events without samples, or none at all: nothing to chunk.
            shape = (self.events, *self._row_shape(0))
            _label(self.group.create_dataset("data", shape=shape, dtype=self.sample_dtype), self._row_axes)


def _label(dataset: h5py.Dataset, axes: tuple[str, ...]) -> None:
    for axis, label in zip(dataset.dims, axes):
        axis.label = label


def _append(dataset: h5py.Dataset, start: int, values: np.ndarray[Any, Any]) -> None:
    end = start + len(values)
    dataset.resize(end, axis=0)
    if len(values):
        dataset.write_direct(np.ascontiguousarray(values), dest_sel=np.s_[start:end])


def write_group(group: h5py.Group, path: str, layout: Layout, options: Options, progress: Any = None,
                check: Callable[..., None] = signals.check) -> Outcome:
    """Convert one file into `group`.

    An Outcome with `error` set leaves a group to delete, unless `salvaged`:
    then the group holds the events before the error. `check` is called
    between blocks and raises to abandon the conversion.
    """
    blocks = EventBlocks(path, layout, options.float32, selection=options.selection, check=check)
    writer = GroupWriter(group, layout, blocks.sample_dtype, options, blocks.block_rows, os.stat(path).st_size)
    for block in blocks:
        writer.write(block)
        if progress is not None:
            progress.update(int(block.sizes.sum()), block.events)
    ending = blocks.ending
    assert ending is not None
    # A file not read to its end fails as one with a read error does.
    failure = ending.error if ending.error is not None else ending.describe() if ending.failed else None
    outcome = Outcome(path, None, writer.events, ending.bytes_read, ending.describe(), failure,
                      salvaged=failure is not None and options.salvage)
    if failure is None or outcome.salvaged:
        writer.close({
            "source": os.path.abspath(path),
            "source_size": ending.file_size,
            "reader_type": layout.reader_type,
            "channels": layout.channels if layout.reader_type == "WD2" else None,
            "channel_word": layout.channel_word if layout.reader_type == "WD2" else None,
            "float32": options.float32 if layout.reader_type == "WD1" else None,
            "events": writer.events,
            "bytes_read": ending.bytes_read,
            "ending": ending.describe(),
            "cut_offset": ending.cut_offset,
            "cut_declared_size": ending.declared if ending.cut_offset is not None else None,
            "bytes_unread": ending.unread if not ending.selected else 0,
            "first_event": None if options.selection.everything else options.selection.start,
            "vorn_version": importlib.metadata.version("vorn"),
            "command": provenance.command_line(),
            "options": json.dumps(dataclasses.asdict(options)),
        })
    return outcome


def open_output(path: str, options: Options) -> h5py.File:
    # No chunk cache by default: uncompressed chunks then go to the file
    # straight from the block. Compressed datasets get their own (see
    # GroupWriter).
    return h5py.File(path, "w", rdcc_nbytes=0)


@dataclass(frozen=True)
class Task:
    """One input file and where it goes; what worker processes and Dask workers receive."""

    path: str  # absolute for workers elsewhere; reports show the path as given
    layout: Layout
    name: str  # of the group, and of the file OUT/name.h5 when each file gets its own
    options: Options


def convert_into_one(tasks: Sequence[Task], output: str, progress: Any = None) -> list[Outcome]:
    """All files into one HDF5 file, a group each; the file appears only if one of them converted."""
    outcomes: list[Outcome] = []
    with contextlib.suppress(_NothingConverted), atomic_output(output) as temporary:
        with open_output(temporary, tasks[0].options) as out:
            for task in tasks:
                outcome = _into_group(out, task, progress)
                if outcome.error is None or outcome.salvaged:
                    outcome.output = f"{output}:/{task.name}"
                outcomes.append(outcome)
        if all(o.error is not None and not o.salvaged for o in outcomes):
            raise _NothingConverted
    return outcomes


class _NothingConverted(Exception):
    pass


def _into_group(out: h5py.File, task: Task, progress: Any, check: Callable[..., None] = signals.check) -> Outcome:
    try:
        outcome = write_group(out.create_group(task.name), task.path, task.layout, task.options, progress, check)
    except FILE_ERRORS as error:
        outcome = Outcome(task.path, error=_message(error))
    if outcome.error is not None and not outcome.salvaged and task.name in out:
        del out[task.name]
    return outcome


def convert_alone(task: Task, folder: str, cancel: str | None = None) -> Outcome:
    """One file into folder/NAME.h5; what worker processes and Dask workers run.

    `cancel` names a Dask Event that calls the conversion off: it is looked
    at between blocks and once more before the output takes its name.
    """
    output = os.path.join(folder, f"{task.name}.h5")
    check = parallel.stopper(cancel)
    try:
        with atomic_output(output) as temporary:
            with open_output(temporary, task.options) as out:
                outcome = _into_group(out, task, None, check)
            if outcome.error is not None and not outcome.salvaged:
                raise _Failed(outcome)
            check(final=True)
    except _Failed as failed:
        return failed.outcome
    except signals.Cancelled:
        return Outcome(task.path, error="cancelled")
    except OSError as error:  # the output cannot be written
        return Outcome(task.path, error=_message(error))
    outcome.output = output
    return outcome


class _Failed(Exception):
    def __init__(self, outcome: Outcome) -> None:
        self.outcome = outcome


def convert_in_workers(tasks: Sequence[Task], folder: str, jobs: int, progress: Any = None) -> list[Outcome]:
    """Each file into its own HDF5 file in `folder`, by `jobs` worker processes."""
    return parallel.in_workers(convert_alone, tasks, jobs, progress, folder=folder)


def convert_on_cluster(tasks: Sequence[Task], folder: str, address: str, progress: Any = None) -> list[Outcome]:
    """Each file into its own HDF5 file in `folder`, on the Dask cluster at `address`."""
    return parallel.on_cluster(convert_alone, tasks, address, progress, folder=folder)


def _message(error: BaseException) -> str:
    if isinstance(error, OSError):
        error = in_users_words(error)  # the output's name, not its temporary one
    return str(error) or type(error).__name__
