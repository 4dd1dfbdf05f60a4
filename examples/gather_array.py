"""Gather a file's events into one 2-D NumPy array (all events the same length).

    python examples/gather_array.py                            # a generated WD1 sample
    python examples/gather_array.py FILE WD1|WD2 [-o events.npz]

Row i of the array is event i's "data"; each header key becomes a 1-D array
with one value per event. Peak memory is about twice the file's samples: the
events' own arrays and the stacked copy.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import DTypeLike, NDArray

import vorn
from sample_files import write_wd1

HEADER_DTYPES: dict[str, dict[str, DTypeLike]] = {
    "WD1": {
        key: np.int32
        for key in ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")
    },
    "WD2": {
        "event_counter": np.uint32,
        "timestamp": np.uint64,
        "samples": np.uint32,
        "sampling_period": np.uint64,
        "channels": np.int32,
    },
}
SAMPLE_DTYPES: dict[str, DTypeLike] = {"WD1": np.uint16, "WD2": np.float32}


@dataclass
class Gathered:
    headers: dict[str, NDArray[Any]]
    """One array per header key, one value per event, in the key's own width."""
    waveforms: NDArray[Any]
    """Shape (events, samples per event); uint16 for WD1, float32 for WD2."""

    def by_channel(self) -> NDArray[Any]:
        """WD2 waveforms as (events, channels, samples), a view without a copy."""
        samples = self.headers["samples"]
        if samples.size == 0 or samples[0] == 0:
            raise ValueError("no WD2 samples to split into channels")
        return self.waveforms.reshape(len(self.waveforms), -1, int(samples[0]))


def gather(path: str, reader_type: str) -> Gathered:
    """Read every event of the file; ValueError if their lengths differ."""
    columns: dict[str, list[object]] = {key: [] for key in HEADER_DTYPES[reader_type]}
    rows: list[NDArray[Any]] = []
    for index, event in enumerate(vorn.EventReader(path, reader_type)):
        data = event["data"]
        if rows and data.size != rows[0].size:
            raise ValueError(
                f"{path}: event {index} has {data.size} samples but event 0 has {rows[0].size}:"
                " the events do not form a 2-D array"
            )
        rows.append(data)
        for key, value in event.items():
            if key != "data":
                columns[key].append(value)
    headers = {key: np.array(values, dtype=HEADER_DTYPES[reader_type][key]) for key, values in columns.items()}
    if rows:
        waveforms = np.stack(rows)
    else:
        waveforms = np.empty((0, 0), dtype=SAMPLE_DTYPES[reader_type])
    return Gathered(headers, waveforms)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", nargs="?", help="event file (default: a generated WD1 sample)")
    parser.add_argument("reader_type", nargs="?", choices=["WD1", "WD2"])
    parser.add_argument("-o", "--output", help="write the arrays to this .npz file")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        if args.file is None:
            args.file, args.reader_type = str(Path(tmp) / "sample.wd1"), "WD1"
            write_wd1(args.file)
        elif args.reader_type is None:
            parser.error("give the reader type, WD1 or WD2, after the file")
        try:
            gathered = gather(args.file, args.reader_type)
        except ValueError as error:
            print(error, file=sys.stderr)
            return 1
    waveforms = gathered.waveforms
    print(f"waveforms: shape {waveforms.shape}, dtype {waveforms.dtype}")
    for key, values in gathered.headers.items():
        print(f"{key}: {values.dtype}, first {values[:3].tolist()}")
    if args.output:
        arrays: dict[str, Any] = {"waveforms": waveforms, **gathered.headers}
        np.savez(args.output, **arrays)
        print(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
