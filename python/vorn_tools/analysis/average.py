"""The average waveform of each channel, with its spread, over the selected events of files or a run.

Waveforms are summed a block at a time in float64: the mean and the
population standard deviation at every sample, and how many waveforms
cover it. With `align`, each waveform is first shifted so that its peak
(`peak`, by whole samples) or its constant-fraction time (`cfd`, by a
fraction of a sample, interpolating linearly between samples) falls on the
median of the first block's; samples shifted in from beyond either end are
left out of the sums, so the edges may average fewer waveforms. A waveform
without that time (NaN, peak_index -1) is left out when aligning.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import expressions

ALIGN = ("none", "peak", "cfd")


@dataclass
class Average:
    """Sums per channel; `mean`, `std` and `count` are (samples,) arrays once summed."""

    sum: dict[int, NDArray[np.float64]] = field(default_factory=dict)
    squares: dict[int, NDArray[np.float64]] = field(default_factory=dict)
    count: dict[int, NDArray[np.int64]] = field(default_factory=dict)
    waveforms: dict[int, int] = field(default_factory=dict)

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


def average(paths: Sequence[str], options: Any, where: expressions.Expression | None = None, align: str = "none",
            run: bool = False, type: str = "auto", float32: bool = False, outcome: Any = None) -> Average:
    """The average of the waveforms whose feature rows `where` keeps (all of them without it).

    `outcome` (a feature_table.TableOutcome) receives the account of the
    reading: events, how each file ended, a run's report.
    """
    from ..feature_table import _rows
    from ..reading import iterate_files
    from ..runs import open_run

    if align not in ALIGN:
        raise ValueError(f"align must be one of {', '.join(ALIGN)}, not {align!r}")
    blocks: Any
    if run:
        blocks = open_run(list(paths) if len(paths) > 1 else paths[0], type=type, float32=float32)
        if outcome is not None:
            outcome.run_report = blocks.report
    else:
        blocks = iterate_files(list(paths), type=type, float32=float32,
                               ended=None if outcome is None else outcome.account)
    index = {path: i for i, path in enumerate(paths)}
    found = Average()
    target: dict[int, float] = {}
    decided: dict[str, dict[int, int]] = {}
    for block in blocks:
        data = block["data"]
        if "offsets" in block:
            raise ValueError("the events differ in length: only waveforms of one length average")
        first = block.entry_start if run else block.file_entry_start
        # Auto polarity is decided once per channel of each file (or of the run), as in a feature table.
        rows = _rows(block, options, None if run else index[block.path], first, run,
                     decided.setdefault("run" if run else block.path, {}))
        if outcome is not None:
            outcome.events += block.events
            outcome.rows += len(rows["entry"])
        waves = data.reshape(-1, data.shape[-1])
        keep = np.ones(len(waves), dtype=bool) if where is None else expressions.selected_rows(rows, where)
        if align != "none":
            when = rows["peak_index"].astype(np.float64) if align == "peak" else rows["cfd_time"]
            when = np.where(rows["peak_index"] < 0, np.nan, when)
            keep &= np.isfinite(when)
        for channel in np.unique(rows["channel"][keep]):
            mine = keep & (rows["channel"] == channel)
            chosen = waves[mine]
            if align != "none":
                times = when[mine]
                middle = float(np.median(times))
                target.setdefault(int(channel), round(middle) if align == "peak" else middle)
                chosen = shifted(chosen, times - target[int(channel)])
            found.add(int(channel), np.asarray(chosen, dtype=np.float64))
    return found


def draw_average(found: Average, path: str, title: str, unit: str, scale: float = 1.0,
                 sample_period: float | None = None) -> None:
    """One panel per channel: the mean and a band of one standard deviation either side, in `unit`, which is
    `scale` times the samples' own; against time in ns with a `sample_period` (ns), else the sample index."""
    from matplotlib.figure import Figure

    channels = sorted(found.sum)
    fig = Figure(figsize=(8, 2.2 + 1.8 * len(channels)), dpi=100)
    axes = fig.subplots(len(channels), 1, sharex=True, squeeze=False)[:, 0]
    for ax, channel in zip(axes, channels):
        mean, std, _ = found.result(channel)
        mean, std = mean * scale, std * scale
        x = np.arange(len(mean)) * (sample_period or 1.0)
        ax.fill_between(x, mean - std, mean + std, color="tab:blue", alpha=0.25, lw=0, label="±1σ")
        ax.plot(x, mean, color="tab:blue", lw=1, label=f"mean of {found.waveforms[channel]:,}")
        ax.set_ylabel(f"channel {channel}\n{unit}")
        ax.legend(loc="upper right", fontsize=8)
    axes[-1].set_xlabel("time [ns]" if sample_period else "sample")
    axes[0].set_title(title)
    fig.tight_layout()
    fig.savefig(path)


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
