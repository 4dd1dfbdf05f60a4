"""The rows of a block of events: one per event and channel, with its channel and its features.

A block's waveforms become rows for the feature kernel: a WD2 event of K
channels is K rows, a WD1 event one. `row_channels` numbers the rows'
channels as a feature table does, `block_rows` cuts the rows,
`row_polarity` decides auto polarity per channel once, from its first rows,
`measure_rows` runs the kernel over them and `feature_rows` makes them a
feature table's rows, the event's header values repeated on each of its
channels' rows. Feature and pulse tables, the reading pipeline, Dask
partitions and averages all cut and measure rows here, so that they agree
row for row.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .features import FeatureOptions, compute, decide_polarity, flat_rows

__all__ = ["Table", "block_rows", "feature_rows", "measure_rows", "row_channels", "row_polarity"]

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


def block_rows(block: Mapping[str, NDArray[Any]],
               run: bool) -> tuple[NDArray[Any], NDArray[Any] | None, int, NDArray[Any]]:
    """A block's waveforms as the kernel takes them, a row per event and channel: the rows, their
    offsets (None for uniform rows), the channels per event and the channel of each row.

    Flat WD2 samples stay as they are, cut by offsets into a row per
    channel's block of `samples`, rather than copied into rows.
    """
    data = block["data"]
    offsets = block.get("offsets")
    channels, row_channel = row_channels(block, run)
    if offsets is not None and data.ndim == 1 and "sampling_period" in block:
        samples = block["samples"].astype(np.int64)
        starts = offsets[:-1].astype(np.int64)[:, None] + np.arange(channels) * samples[:, None]
        return data, np.append(starts.reshape(-1), offsets[-1]).astype(np.uint64), channels, row_channel
    if offsets is not None:
        return data, offsets, channels, row_channel
    return flat_rows(data), None, channels, row_channel


def row_polarity(rows: NDArray[Any], options: FeatureOptions, offsets: NDArray[Any] | None,
                 row_channel: NDArray[Any], decided: dict[int, int]) -> NDArray[np.int8]:
    """The polarity of each row by its channel's in `decided`; channels not in it yet are decided from
    these rows (their first POLARITY_EVENTS, measured with `options`) and added, so that a file's later
    blocks keep the decision."""
    new = np.setdiff1d(np.unique(row_channel), list(decided))
    if len(new):
        chosen = decide_polarity(rows, options, offsets, row_channel)
        decided.update({c: chosen[c] for c in new.tolist()})
    known = np.array(sorted(decided), dtype=np.int64)
    signs = np.array([decided[c] for c in known.tolist()], np.int8)
    return signs[np.searchsorted(known, row_channel)] if len(row_channel) else np.empty(0, np.int8)


def measure_rows(block: Mapping[str, NDArray[Any]], options: FeatureOptions, run: bool,
                 decided: dict[int, int] | None = None,
                 kernel: Callable[..., Table] | None = None) -> tuple[Table, int, NDArray[Any]]:
    """The features of a block's rows (a row per event and channel), the channels per event and the
    channel of each row. With `decided`, auto polarity is that of each channel there, and channels
    not in it yet are decided from this block's rows and added. `kernel` stands in for `compute`."""
    rows, row_offsets, channels, row_channel = block_rows(block, run)
    polarity = None
    if options.polarity == "auto":
        polarity = row_polarity(rows, options, row_offsets, row_channel, {} if decided is None else decided)
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
