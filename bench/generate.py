"""Write the benchmark's input files.

    python bench/generate.py [DIR] [--scale S] [--only NAME[,NAME...]]

DIR defaults to bench/data/ (ignored by git). A file that already exists with
the expected size is kept. --scale multiplies every event count (0.01 gives
inputs small enough to develop against); the file names carry the event
counts, so scaled and full-size inputs live side by side.

The header values are simple functions of the event index; the object floor
(bench/floor/floor.c) computes the very same values, so it creates the same
Python ints, small-int cache hits included.
"""

from __future__ import annotations

import argparse
import os
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np

DEFAULT_DIR = Path(__file__).resolve().parent / "data"
CHUNK_BYTES = 64 << 20

WD1_BOARD_ID = 7
WD2_PERIOD = 5000
WD2_TIMESTAMP_BASE = 123_456_789_000
WD2_TIMESTAMP_STEP = 40_000
WD1_TIMESTAMP_STEP = 1000


@dataclass(frozen=True)
class Workload:
    name: str
    kind: str  # "WD1" or "WD2"
    samples: int  # per channel
    events: int
    channels: int = 1
    channel_word: bool = False

    @property
    def title(self) -> str:
        if self.kind == "WD1":
            shape = f"{self.samples:,} samples"
        else:
            word = "with" if self.channel_word else "without"
            shape = (f"{self.channels} ch × {self.samples:,} samples, "
                     f"{word} channel word")
        return f"{self.kind}, {shape}, {self.events:,} events"

    @property
    def elements(self) -> int:
        """Samples in one event's "data" array."""
        return self.samples * self.channels

    @property
    def payload_bytes(self) -> int:
        return self.dtype.fields["data"][0].itemsize

    @property
    def event_bytes(self) -> int:
        return self.dtype.itemsize

    @property
    def file_bytes(self) -> int:
        return self.event_bytes * self.events

    @property
    def dtype(self) -> np.dtype:
        return event_dtype(self.kind, self.elements, self.channel_word)

    def scaled(self, scale: float) -> "Workload":
        events = max(2, round(self.events * scale))
        return Workload(self.name, self.kind, self.samples, events,
                        self.channels, self.channel_word)

    def path(self, directory: Path) -> Path:
        return Path(directory) / f"{self.name}_{self.events}ev.bin"


WORKLOADS = [
    Workload("wd1_16", "WD1", 16, 1_000_000),
    Workload("wd1_1024", "WD1", 1024, 100_000),
    Workload("wd1_262144", "WD1", 262_144, 600),
    Workload("wd2_2x1024_word", "WD2", 1024, 50_000, channels=2,
             channel_word=True),
    Workload("wd2_1x4096", "WD2", 4096, 20_000),
]


def event_dtype(kind: str, elements: int, channel_word: bool) -> np.dtype:
    """One event as laid out on disk (packed, little-endian)."""
    if kind == "WD1":
        fields = [(name, "<i4") for name in (
            "event_size", "board_id", "pattern", "board_channel",
            "event_counter", "timestamp")]
        fields.append(("data", "<u2", (elements,)))
    else:
        fields = [("event_counter", "<u4"), ("timestamp", "<u8"),
                  ("samples", "<u4"), ("sampling_period", "<u8")]
        if channel_word:
            fields.append(("channels", "<i4"))
        fields.append(("data", "<f4", (elements,)))
    return np.dtype(fields)


def fill_chunk(w: Workload, first: int, count: int,
               rng: np.random.Generator) -> np.ndarray:
    chunk = np.empty(count, dtype=w.dtype)
    index = np.arange(first, first + count, dtype=np.int64)
    if w.kind == "WD1":
        chunk["event_size"] = 24 + 2 * w.samples
        chunk["board_id"] = WD1_BOARD_ID
        chunk["pattern"] = 0
        chunk["board_channel"] = index % 8
        chunk["event_counter"] = index.astype(np.uint32).view(np.int32)
        chunk["timestamp"] = (index * WD1_TIMESTAMP_STEP).astype(
            np.uint32).view(np.int32)
        # A noisy baseline; the reader never looks at the values.
        chunk["data"] = rng.integers(1900, 2100, size=(count, w.elements),
                                     dtype=np.uint16)
    else:
        chunk["event_counter"] = index.astype(np.uint32)
        chunk["timestamp"] = (WD2_TIMESTAMP_BASE
                              + index * WD2_TIMESTAMP_STEP).astype(np.uint64)
        chunk["samples"] = w.samples
        chunk["sampling_period"] = WD2_PERIOD
        if w.channel_word:
            chunk["channels"] = w.channels
        data = rng.standard_normal(size=(count, w.elements), dtype=np.float32)
        data *= 3.0
        data += 100.0
        chunk["data"] = data
        if first == 0 and not w.channel_word:
            # Layout detection reads the first sample's bits as a channel
            # count; zero keeps the presumed payload empty, so the file opens
            # as single-channel instead of asking for gigabytes.
            chunk["data"][0, 0] = 0.0
    return chunk


def write(w: Workload, path: Path, seed: int = 0) -> None:
    rng = np.random.default_rng(seed)
    per_chunk = max(1, CHUNK_BYTES // w.event_bytes)
    partial = path.with_name(path.name + ".partial")
    with open(partial, "wb") as f:
        for first in range(0, w.events, per_chunk):
            count = min(per_chunk, w.events - first)
            fill_chunk(w, first, count, rng).tofile(f)
    os.replace(partial, path)


def ensure(workloads: list[Workload], directory: Path,
           log=lambda message: None) -> list[Path]:
    """Writes each workload's file unless it is already there; returns the
    paths in the order given."""
    directory.mkdir(parents=True, exist_ok=True)
    paths = []
    for w in workloads:
        path = w.path(directory)
        if not (path.exists() and path.stat().st_size == w.file_bytes):
            log(f"writing {path} ({w.file_bytes / 1e6:,.1f} MB)")
            write(w, path)
        paths.append(path)
    return paths


def select(only: str | None, scale: float) -> list[Workload]:
    chosen = WORKLOADS
    if only:
        names = only.split(",")
        unknown = set(names) - {w.name for w in WORKLOADS}
        if unknown:
            raise SystemExit(f"unknown workload(s): {', '.join(sorted(unknown))};"
                             f" choose from {', '.join(w.name for w in WORKLOADS)}")
        chosen = [w for w in WORKLOADS if w.name in names]
    return [w.scaled(scale) if scale != 1 else w for w in chosen]


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory", nargs="?", type=Path, default=DEFAULT_DIR)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--only", help="comma-separated workload names")
    args = parser.parse_args(argv)
    ensure(select(args.only, args.scale), args.directory,
           log=lambda m: print(m, file=sys.stderr))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
