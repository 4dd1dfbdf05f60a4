"""A run of per-channel files as one HDF5 group, its channels side by side.

The group holds `data` (events, channels, samples), each header column as
(events, channels), the matched `event` counter and `time_tag` per event,
the channel map (`channel_paths`, `board_channels`) and, as attributes,
what the matching could not pair: per file the events missing, extra and
dropped, the run's timestamp mismatches, and `report`, the lines the
command prints about it (none for a run matched in full).
"""

from __future__ import annotations

import importlib.metadata
import os
from typing import Any

import h5py
import numpy as np

from .. import _provenance as provenance, sizes
from .._output_files import atomic_output
from .hdf5_events import COMPRESSION
from ..runs import Run, report_lines

__all__ = ["write_run"]


def write_run(run: Run, output: str, name: str, compression: str = "gzip", progress: Any = None) -> int:
    """Write the run's matched events to the group `name` of the new HDF5 file `output`; the event count.

    The file appears only when complete. Reading errors are raised (the run's
    BadFile), after which nothing is left behind.
    """
    filters = COMPRESSION[compression]
    with atomic_output(output) as temporary, h5py.File(temporary, "w") as out:
        group = out.create_group(name)
        datasets: dict[str, h5py.Dataset] = {}
        events = 0
        for block in run:
            for key, values in block.items():
                if key not in datasets:
                    rows = sizes.RUN_COLUMN_CHUNK_EVENTS
                    if values.ndim == 3:
                        rows = max(1, sizes.RUN_SAMPLES_CHUNK_BYTES // max(1, values[0].nbytes))
                    datasets[key] = group.create_dataset(
                        key, shape=(0, *values.shape[1:]), maxshape=(None, *values.shape[1:]),
                        dtype=values.dtype, chunks=(rows, *values.shape[1:]) if values[0].size else None, **(
                            filters if values[0].size else {}))
                    for axis, label in enumerate(("event", "channel", "sample")[:values.ndim]):
                        datasets[key].dims[axis].label = label
                dataset = datasets[key]
                dataset.resize(events + len(values), axis=0)
                dataset[events:events + len(values)] = values
            events += block.events
            if progress is not None:
                progress.update(block.events, block.events)
        report = run.report
        group.attrs["events"] = events
        group.attrs["channels"] = len(run.channels)
        group.attrs["channel_paths"] = [os.path.abspath(c.path) for c in run.channels]
        group.attrs["board_channels"] = [-1 if c.board_channel is None else c.board_channel for c in run.channels]
        group.attrs["missing"] = [c.missing for c in report.channels]
        group.attrs["extra"] = [c.extra for c in report.channels]
        group.attrs["dropped"] = [c.dropped for c in report.channels]
        group.attrs["report"] = np.array(report_lines(report), dtype=h5py.string_dtype())
        group.attrs["timestamp_mismatches"] = report.timestamp_mismatches
        group.attrs["vorn_version"] = importlib.metadata.version("vorn")
        group.attrs["command"] = provenance.command_line()
        if not datasets:
            group.create_dataset("data", shape=(0, len(run.channels), 0), dtype=np.uint16)
    return events
