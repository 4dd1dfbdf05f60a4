"""The average waveform of each channel, with its spread, over the selected events of files or a run.

Waveforms are summed a block at a time in float64: the mean and the
population standard deviation at every sample, and how many waveforms
cover it. With `align`, each waveform is first shifted so that its peak
(`peak`, by whole samples) or its constant-fraction time (`cfd`, by a
fraction of a sample, interpolating linearly between samples) falls on the
median of the first block's; samples shifted in from beyond either end are
left out of the sums, so the edges may average fewer waveforms. A waveform
without that time (NaN, peak_index -1) is left out when aligning, and
counted (`unaligned`).

The rows may also come from a feature table (`average_table`): the rows its
condition keeps name their events by `file` and `entry`, and the waveforms
are read from the files the table records as its sources, in the same
blocks as from the files themselves, so that both give the same average.
A source that is gone, or is not the file the table was made from (its
size, or the header of a selected event, differs), is a SourceError.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .. import sizes
from .._output_files import atomic_output
from ..features import flat_rows
from .._rows import feature_rows, row_channels
from . import expressions

__all__ = [
    "Average", "SourceError", "TableAccount", "average", "average_table", "draw_average", "shifted",
    "write_average"
]

ALIGN = ("none", "peak", "cfd")


@dataclass
class Average:
    """Sums per channel; `mean`, `std` and `count` are (samples,) arrays once summed."""

    sum: dict[int, NDArray[np.float64]] = field(default_factory=dict)
    squares: dict[int, NDArray[np.float64]] = field(default_factory=dict)
    count: dict[int, NDArray[np.int64]] = field(default_factory=dict)
    waveforms: dict[int, int] = field(default_factory=dict)
    unaligned: dict[int, int] = field(default_factory=dict)  # selected, but without the time to align on
    target: dict[int, float] = field(default_factory=dict)  # the time each channel is aligned to

    def add(self, channel: int, waves: NDArray[np.float64]) -> None:
        if channel not in self.sum:
            length = waves.shape[1]
            self.sum[channel] = np.zeros(length)
            self.squares[channel] = np.zeros(length)
            self.count[channel] = np.zeros(length, dtype=np.int64)
            self.waveforms[channel] = 0
        if waves.shape[1] != len(self.sum[channel]):
            raise ValueError(f"channel {channel}: waveforms of {waves.shape[1]} samples after ones of"
                             f" {len(self.sum[channel])}: only waveforms of one length average")
        present = np.isfinite(waves)
        self.sum[channel] += np.where(present, waves, 0).sum(axis=0)
        self.squares[channel] += np.where(present, waves * waves, 0).sum(axis=0)
        self.count[channel] += present.sum(axis=0)
        self.waveforms[channel] += len(waves)

    def result(self, channel: int) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.int64]]:
        count = self.count[channel]
        with np.errstate(invalid="ignore", divide="ignore"):
            mean = self.sum[channel] / count
            std = np.sqrt(np.maximum(self.squares[channel] / count - mean * mean, 0))
        return mean, std, count


def shifted(waves: NDArray[Any], shifts: NDArray[np.float64]) -> NDArray[np.float64]:
    """Row i moved left by shifts[i] samples (right when negative), interpolated; NaN where nothing lands."""
    length = waves.shape[1]
    at = np.arange(length)[None, :] + shifts[:, None]
    low = np.floor(at)
    frac = at - low
    low_i = low.astype(np.int64)
    inside = (low_i >= 0) & (low_i < length)
    inside_next = (low_i + 1 >= 0) & (low_i + 1 < length)
    rows = np.arange(len(waves))[:, None]
    values = np.asarray(waves, dtype=np.float64)
    left = np.where(inside, values[rows, np.clip(low_i, 0, length - 1)], np.nan)
    right = np.where(inside_next, values[rows, np.clip(low_i + 1, 0, length - 1)], np.nan)
    # A whole shift needs only the left sample, also at the last one.
    out = np.where(frac == 0, left, (1 - frac) * left + frac * right)
    return np.asarray(out, dtype=np.float64)


class SourceError(Exception):
    """A source of a feature table that is gone, or is not the file the table was made from."""


def average(paths: Sequence[str], options: Any, where: expressions.Expression | None = None, align: str = "none",
            run: bool = False, type: str = "auto", float32: bool = False, outcome: Any = None,
            left_out: expressions.LeftOut | None = None, step_size: int | str = sizes.ITERATE_STEP) -> Average:
    """The average of the waveforms whose feature rows `where` keeps (all of them without it).

    `outcome` (a feature_table.TableOutcome) receives the account of the
    reading: events, how each file ended, a run's report; `left_out` the
    events a name@C condition leaves out for lack of a channel.
    """
    from ..runs import event_blocks

    if align not in ALIGN:
        raise ValueError(f"align must be one of {', '.join(ALIGN)}, not {align!r}")
    blocks = event_blocks(paths, run, step_size, type, float32, outcome)
    index = {path: i for i, path in enumerate(paths)}
    found = Average()
    decided: dict[str, dict[int, int]] = {}
    for block in blocks:
        data = block["data"]
        if "offsets" in block:
            raise ValueError("the events differ in length: only waveforms of one length average")
        first = block.entry_start if run else block.file_entry_start
        # Auto polarity is decided once per channel of each file (or of the run), as in a feature table.
        rows = feature_rows(block, options, None if run else index[block.path], first, run,
                            decided.setdefault("run" if run else block.path, {}))
        if outcome is not None:
            outcome.events += block.events
            outcome.rows += len(rows["entry"])
        keep = np.ones(len(rows["entry"]), dtype=bool) if where is None \
            else expressions.selected_rows(rows, where, left_out)
        _add(found, flat_rows(data), rows["channel"], keep, _times(rows, align), align)
    return found


def _times(rows: expressions.Columns, align: str) -> NDArray[np.float64] | None:
    """The time of each row to align on, NaN where there is none; None without aligning."""
    if align == "none":
        return None
    when = rows["peak_index"].astype(np.float64) if align == "peak" else np.asarray(rows["cfd_time"])
    return np.where(np.asarray(rows["peak_index"]) < 0, np.nan, when)


def _add(found: Average, waves: NDArray[Any], channels: NDArray[Any], keep: NDArray[np.bool_],
         when: NDArray[np.float64] | None, align: str) -> None:
    """The kept waveforms of a block into the sums of their channels, aligned on `when`; the first block
    with waveforms of a channel sets the time they are aligned to."""
    if when is not None:
        timed = np.isfinite(when)
        lost, counts = np.unique(channels[keep & ~timed], return_counts=True)
        for channel, count in zip(lost.tolist(), counts.tolist()):
            found.unaligned[channel] = found.unaligned.get(channel, 0) + count
        keep = keep & timed
    for channel in np.unique(channels[keep]):
        mine = keep & (channels == channel)
        chosen = waves[mine]
        if when is not None:
            times = when[mine]
            middle = float(np.median(times))
            found.target.setdefault(int(channel), round(middle) if align == "peak" else middle)
            chosen = shifted(chosen, times - found.target[int(channel)])
        found.add(int(channel), np.asarray(chosen, dtype=np.float64))


@dataclass
class TableAccount:
    """What an average from a table read: the table's rows, those selected, and the sources' events read."""

    rows: int = 0
    selected: int = 0
    sources: list[str] = field(default_factory=list)
    events: int = 0


# Identity of a row's event beside its position: what a source must still hold where the table says.
IDENTITY = ("event_counter", "time_tag")


def table_sources(path: str) -> tuple[list[str], bool]:
    """The source files a table records, as found now, and whether they were read as a run.

    A source is looked for under its recorded name, then beside the table;
    one that is not there or whose size is not the recorded one raises
    SourceError.
    """
    from .tables import table_metadata

    metadata = table_metadata(path)
    if "sources" not in metadata:
        raise SourceError(f"{path}: the table does not record the files it was made from: average those instead")
    options = json.loads(metadata.get("options", "{}"))
    folder = os.path.dirname(path)
    found = []
    for source in json.loads(metadata["sources"]):
        name, size = str(source["name"]), source.get("size")
        places = [name] if os.path.isabs(name) else [name, os.path.join(folder, name),
                                                     os.path.join(folder, os.path.basename(name))]
        at = next((p for p in dict.fromkeys(places) if os.path.isfile(p)), None)
        if at is None:
            raise SourceError(f"{path}: its source {name} is gone, so the waveforms of its rows cannot be read")
        now = os.path.getsize(at)
        if size is not None and now != size:
            raise SourceError(f"{path}: its source {at} is {now:,} bytes, not the {size:,} the table recorded:"
                              " not the file the table was made from")
        found.append(at)
    return found, bool(options.get("run", False))


def average_table(path: str, where: expressions.Expression | None = None, align: str = "none", type: str = "auto",
                  float32: bool = False, left_out: expressions.LeftOut | None = None,
                  account: TableAccount | None = None, found: Average | None = None,
                  step_size: int | str = sizes.ITERATE_STEP) -> Average:
    """The average of the waveforms of the rows of a feature table that `where` keeps, read from its sources.

    Equal to `average` of the sources with the same condition and the options
    the table was made with: the sources are read in the same blocks, and a
    source is read no further than its last selected event. Adds to `found`
    when given (the tables of one average).
    """
    from .tables import read_table, table_columns

    if align not in ALIGN:
        raise ValueError(f"align must be one of {', '.join(ALIGN)}, not {align!r}")
    account = account if account is not None else TableAccount()
    found = found if found is not None else Average()
    sources, run = table_sources(path)
    account.sources += sources
    present = table_columns(path)
    wanted = {"entry", "channel", "file", *IDENTITY}
    if where is not None:
        wanted |= set(where.columns) | {name for name, _ in where.channel_columns}
    if align != "none":
        wanted |= {"peak_index", "cfd_time"} if align == "cfd" else {"peak_index"}
    for name in sorted(wanted - set(present) - {"file", *IDENTITY}):
        raise KeyError(name)
    table = read_table(path, [name for name in present if name in wanted])
    account.rows += len(table["entry"])
    if "file" not in table and len(sources) > 1 and not run:
        raise SourceError(f"{path}: the table has no file column to tell its {len(sources)} sources apart")
    keep = np.ones(len(table["entry"]), dtype=bool) if where is None \
        else expressions.selected_rows(table, where, left_out)
    file = np.asarray(table["file"], dtype=np.int64)[keep] if "file" in table else np.zeros(int(keep.sum()), np.int64)
    keys = _row_keys(file, np.asarray(table["entry"])[keep], np.asarray(table["channel"])[keep])
    # A table of pulses holds several rows of one waveform: it is averaged once.
    keys, first = np.unique(keys, return_index=True)
    account.selected += len(keys)
    when = _times(table, align)
    times = None if when is None else when[keep][first]
    identity = {name: np.asarray(table[name])[keep][first] for name in IDENTITY if name in table}
    seen = 0
    for number, blocks in _source_blocks(sources, run, keys, step_size, type, float32):
        for block in blocks:
            data = block["data"]
            if "offsets" in block:
                raise ValueError("the events differ in length: only waveforms of one length average")
            events = block.events
            account.events += events
            per_event, channels = row_channels(block, run)
            start = block.entry_start if run else block.file_entry_start
            entries = np.repeat(np.arange(start, start + events, dtype=np.int64), per_event)
            block_keys = _row_keys(np.full(len(entries), number, np.int64), entries, channels)
            at = np.minimum(np.searchsorted(keys, block_keys), max(len(keys) - 1, 0))
            hit = keys[at] == block_keys if len(keys) else np.zeros(len(block_keys), bool)
            seen += int(hit.sum())
            for name, expected in identity.items():
                if name not in block:
                    continue
                values = np.asarray(block[name])
                values = values.reshape(-1) if values.ndim == 2 else np.repeat(values, per_event)
                differ = np.flatnonzero(values[hit].astype(np.int64) != expected[at[hit]].astype(np.int64))
                if len(differ):
                    row = np.flatnonzero(hit)[differ[0]]
                    source = ", ".join(sources) if run else sources[number]
                    raise SourceError(f"{path}: entry {int(entries[row])} of {source} has {name}"
                                      f" {int(values[row])} where the table has {int(expected[at[row]])}:"
                                      " not the file the table was made from")
            row_times = None
            if times is not None:
                row_times = np.full(len(block_keys), np.nan)
                row_times[hit] = times[at[hit]]
            _add(found, flat_rows(data), channels, hit, row_times, align)
    if seen < len(keys):
        raise SourceError(f"{path}: {len(keys) - seen:,} of its selected rows name events beyond the end of its"
                          " sources: not the files the table was made from")
    return found


def _row_keys(file: NDArray[Any], entry: NDArray[Any], channel: NDArray[Any]) -> NDArray[np.int64]:
    # Entries stay below 2**40 in any file a digitizer writes, channels below 256.
    return (np.asarray(file, np.int64) << 48) | (np.asarray(entry, np.int64) << 8) | np.asarray(channel, np.int64)


def _source_blocks(sources: Sequence[str], run: bool, keys: NDArray[np.int64], step_size: int | str, type: str,
                   float32: bool) -> Iterator[tuple[int, Iterator[Any]]]:
    """For each source that holds a selected row (the run, as one), its number and its blocks, which end
    after the block of its last selected event; blocks are cut as `average` cuts them."""
    from ..reading import iterate_files
    from ..runs import open_run

    def until(blocks: Any, last: int, run: bool) -> Iterator[Any]:
        for block in blocks:
            yield block
            if (block.entry_stop if run else block.file_entry_stop) > last:
                return

    entries = (keys >> 8) & ((1 << 40) - 1)
    files = keys >> 48
    if run:
        if len(keys):
            yield 0, until(open_run(list(sources), step_size, type=type, float32=float32), int(entries.max()), True)
        return
    for number, source in enumerate(sources):
        mine = entries[files == number]
        if len(mine):
            yield number, until(iterate_files([source], step_size, type=type, float32=float32), int(mine.max()),
                                False)


def draw_average(found: Average, path: str, title: str, unit: str, scale: float = 1.0,
                 sample_period: float | None = None, format: str = "png") -> None:
    """One panel per channel: the mean and a band of one standard deviation either side, in `unit`, which is
    `scale` times the samples' own; against time in ns with a `sample_period` (ns), else the sample index.

    Written in `format` (a Matplotlib format name) under exactly the name `path`; each panel's legend sits
    beside it, off the waveform, wherever its pulse is."""
    from matplotlib.figure import Figure

    channels = sorted(found.sum)
    fig = Figure(figsize=(8, 2.2 + 1.8 * len(channels)), dpi=100, layout="constrained")
    axes = fig.subplots(len(channels), 1, sharex=True, squeeze=False)[:, 0]
    for ax, channel in zip(axes, channels):
        mean, std, _ = found.result(channel)
        mean, std = mean * scale, std * scale
        x = np.arange(len(mean)) * (sample_period or 1.0)
        ax.fill_between(x, mean - std, mean + std, color="tab:blue", alpha=0.25, lw=0, label="±1σ")
        ax.plot(x, mean, color="tab:blue", lw=1, label=f"mean of {found.waveforms[channel]:,}")
        ax.set_ylabel(f"channel {channel}\n{unit}")
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0, fontsize=8)
    axes[-1].set_xlabel("time [ns]" if sample_period else "sample")
    fig.suptitle(title)
    with atomic_output(path) as temporary:
        fig.savefig(temporary, format=format)


def write_average(found: Average, path: str) -> None:
    """CSV of channel, sample, mean, std, count; or with a .npy name an array (channels, 3, samples)."""
    channels = sorted(found.sum)
    if path.endswith(".npy"):
        np.save(path, np.stack([np.stack([*found.result(c)[:2], found.result(c)[2].astype(np.float64)])
                                for c in channels]))
        return
    with open(path, "w") as out:
        out.write("channel,sample,mean,std,count\n")
        for c in channels:
            mean, std, count = found.result(c)
            for i in range(len(mean)):
                out.write(f"{c},{i},{float(mean[i])!r},{float(std[i])!r},{int(count[i])}\n")
