"""Every pulse of event files or runs, as a table of one row per pulse, and the dark-count rate.

Columns, in order: `file` (the index of the input, for a table of several
files), `entry` (the event's index in its file; for a run the index of the
matched event), `channel` (as in the feature table: WD1 files
`board_channel`, WD2 files and runs the channel's index), `pulse` (its index
within the waveform), the pulse columns of `vorn_tools.pulses`
(`start_time`, `peak_index`, `amplitude`, `charge`, `fwhm`,
`time_over_threshold`, `delay`) and, with a tick, `time`: the event's time
in seconds. Times are in samples, amplitudes in the samples' unit and
charges in that unit times samples; a `vorn_tools.units.Calibration` given
to the table makes them ns, mV and pC, and each column's unit is recorded
as in a feature table.

The table is built by the feature table's machinery (reading overlapped with
the kernel, written block by block); `PulseRows` is the measure it is given.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _parallel as parallel, _signals as signals
from ._rows import block_rows, row_polarity
from .feature_table import FeatureTask, TableOutcome, write_features
from .features import FeatureOptions
from .pulses import PulseOptions, find_pulses

__all__ = ["DarkCounts", "PulseOutcome", "PulseRows", "pulses_alone"]

Table = dict[str, NDArray[Any]]


@dataclass
class DarkCounts:
    """Pulses and the waveform they were found in, for one channel, outside the excluded window."""

    pulses: int = 0
    samples: int = 0  # of waveform, summed over the events

    def rate(self, sample_period: float) -> float:
        """Pulses per second of waveform; NaN without any waveform."""
        seconds = self.samples * sample_period
        return self.pulses / seconds if seconds > 0 else float("nan")


@dataclass
class PulseRows:
    """Makes a block's pulse rows, and counts what the dark-count rate needs.

    `exclude` is a window [X0, X1) of samples (the trigger's pulse, say):
    pulses starting in it, and its samples, do not count toward the rate.
    `events` counts the events seen per `file` argument. `sample_period`
    (seconds) is that of the dark-count rate; the rows stay in samples.
    """

    sample_period: float | None = None
    exclude: tuple[int, int] | None = None
    dark: dict[int, DarkCounts] = field(default_factory=dict)
    events: dict[int | None, int] = field(default_factory=dict)

    def __call__(self, block: Mapping[str, NDArray[Any]], options: PulseOptions, file: int | None,
                 first_entry: int, run: bool, decided: dict[int, int] | None = None, *_: Any) -> Table:
        """The pulse rows of a block. With auto polarity, each channel's is that in `decided`, and channels
        not in it yet are decided from this block's rows and added (as a feature table decides them)."""
        events = len(block["time_tag"])
        self.events[file] = self.events.get(file, 0) + events
        rows, row_offsets, channels, row_channel = block_rows(block, run)
        if row_offsets is None:
            lengths = np.full(len(rows), rows.shape[-1], np.int64)
        else:
            lengths = np.diff(row_offsets).astype(np.int64)  # offsets only grow: no unsigned wrap
        polarity = None
        if options.polarity == "auto":
            # Only the baseline window matters to the decision.
            polarity = row_polarity(rows, FeatureOptions(baseline=options.baseline), row_offsets, row_channel,
                                    {} if decided is None else decided)
        found = find_pulses(rows, options, row_offsets, polarity)
        event = found["row"] // channels
        self._count(found["start_time"], found["row"], row_channel, lengths)

        table: Table = {}
        if file is not None:
            table["file"] = np.full(len(event), file, dtype=np.int32)
        table["entry"] = first_entry + event
        table["channel"] = row_channel[found["row"]]
        for name, values in found.items():
            if name == "row":
                continue
            table[name] = values
        if "time" in block:
            table["time"] = block["time"][event]
        return table

    def _count(self, start: NDArray[Any], row: NDArray[Any], row_channel: NDArray[Any],
               lengths: NDArray[Any]) -> None:
        live = lengths.copy()
        counted = np.ones(len(start), bool)
        if self.exclude is not None:
            x0, x1 = self.exclude
            live -= np.clip(np.minimum(lengths, x1) - max(x0, 0), 0, None)
            counted = (start < x0) | (start >= x1)
        pulses = np.bincount(row[counted], minlength=len(lengths))
        for channel in np.unique(row_channel).tolist():
            mine = row_channel == channel
            dark = self.dark.setdefault(channel, DarkCounts())
            dark.pulses += int(pulses[mine].sum())
            dark.samples += int(live[mine].sum())


@dataclass
class PulseOutcome(TableOutcome):
    """What became of one input measured alone, with what its dark-count rate needs."""

    dark: dict[int, DarkCounts] = field(default_factory=dict)


def pulses_alone(task: FeatureTask, folder: str, suffix: str, cancel: str | None = None, salvage: bool = False,
                 sample_period: float | None = None, exclude: tuple[int, int] | None = None) -> PulseOutcome:
    """The pulses of one input into folder/NAME.SUFFIX; what worker processes run.

    Its `events` are all the events read (those without a pulse give no
    row), and `dark` its counts per channel, to be summed over the inputs.
    """
    measure = PulseRows(sample_period, exclude)
    try:
        (outcome,) = write_features([task], os.path.join(folder, f"{task.name}{suffix}"),
                                    check=parallel.stopper(cancel), salvage=salvage, measure=measure)
    except signals.Cancelled:
        return PulseOutcome(", ".join(task.paths), error="cancelled")
    except OSError as error:  # the output cannot be written
        return PulseOutcome(", ".join(task.paths), error=str(error) or type(error).__name__)
    fields = {name: getattr(outcome, name) for name in TableOutcome.__dataclass_fields__}
    return PulseOutcome(**{**fields, "events": measure.events.get(None, 0)}, dark=measure.dark)
