"""The rows of a block of events: one per event and channel, with its channel and its features.

A block's waveforms become rows for the feature kernel: a WD2 event of K
channels is K rows, a WD1 event one. `row_channels` numbers the rows'
channels as a feature table does, `measure_rows` runs the kernel over them
(deciding auto polarity per channel once, from its first rows) and
`feature_rows` makes them a feature table's rows, the event's header values
repeated on each of its channels' rows. Feature tables, the reading
pipeline, Dask partitions and averages all cut and measure rows here, so
that they agree row for row.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .features import FeatureOptions, compute, decide_polarity, flat_rows

__all__ = ["Table", "feature_rows", "measure_rows", "row_channels"]

#: Columns by name, one value per row.
Table = dict[str, NDArray[Any]]


def row_channels(block: Mapping[str, NDArray[Any]], run: bool) -> tuple[int, NDArray[Any]]:
    """The channels per event of a block and the channel of each of its rows, as a feature table numbers them.

    WD1 files: the event's `board_channel`; WD2 files of several channels and
    runs (`run`): the channel's index.
    """
    data = block["data"]
    offsets = block.get("offsets")
    events = len(block["time_tag"])
    if offsets is not None and data.ndim == 1 and "sampling_period" in block:
        # A WD2 event of K channels holds K blocks of `samples` each.
        per_event = (np.diff(offsets.astype(np.int64)) // np.maximum(block["samples"].astype(np.int64), 1))
        channels = int(per_event.max()) if events else 1
    else:
        channels = data.shape[1] if offsets is None and data.ndim == 3 else 1
    if run or channels > 1 or "board_channel" not in block:
        return channels, np.tile(np.arange(channels, dtype=np.int32), events)
    return channels, block["board_channel"].astype(np.int32)


def measure_rows(block: Mapping[str, NDArray[Any]], options: FeatureOptions, run: bool,
                 decided: dict[int, int] | None = None,
                 kernel: Callable[..., Table] | None = None) -> tuple[Table, int, NDArray[Any]]:
    """The features of a block's rows (a row per event and channel), the channels per event and the
    channel of each row. With `decided`, auto polarity is that of each channel there, and channels
    not in it yet are decided from this block's rows and added. `kernel` stands in for `compute`."""
    data = block["data"]
    offsets = block.get("offsets")
    channels, row_channel = row_channels(block, run)
    if offsets is not None and data.ndim == 1 and "sampling_period" in block:
        samples = block["samples"].astype(np.int64)
        starts = offsets[:-1].astype(np.int64)[:, None] + np.arange(channels) * samples[:, None]
        row_offsets: NDArray[Any] | None = np.append(starts.reshape(-1), offsets[-1]).astype(np.uint64)
        rows = data
    elif offsets is not None:
        row_offsets, rows = offsets, data
    else:
        row_offsets, rows = None, flat_rows(data)
    polarity = None
    decided = {} if decided is None else decided
    if options.polarity == "auto":
        new = np.setdiff1d(np.unique(row_channel), list(decided))
        if len(new):
            chosen = decide_polarity(rows, options, row_offsets, row_channel)
            decided.update({c: chosen[c] for c in new.tolist()})
        known = np.array(sorted(decided))
        polarity = np.array([decided[c] for c in known.tolist()], np.int8)[np.searchsorted(known, row_channel)]
    return (kernel or compute)(rows, options, row_offsets, polarity), channels, row_channel


def feature_rows(block: Mapping[str, NDArray[Any]], options: FeatureOptions, file: int | None,
                 first_entry: int, run: bool, decided: dict[int, int] | None = None) -> Table:
    """A feature table's rows of a block: `file` (unless None), `entry` counting from `first_entry`,
    `channel`, the header values and the features; `decided` as in `measure_rows`."""
    features, channels, row_channel = measure_rows(block, options, run, decided)
    events = len(block["time_tag"])
    table: Table = {}
    if file is not None:
        table["file"] = np.full(events * channels, file, dtype=np.int32)
    table["entry"] = np.repeat(np.arange(first_entry, first_entry + events, dtype=np.int64), channels)
    table["channel"] = row_channel
    for key, values in block.items():
        if key in ("data", "offsets", "offset"):
            continue
        if values.ndim == 2:  # a run's header values, one per channel
            table[key] = values.reshape(-1)
        else:
            table[key] = np.repeat(values, channels)
    for key, values in features.items():
        table[key] = values.reshape(-1)
    return table
