"""Print a one-line summary of every event in a WD1 or WD2 file.

    python examples/summarize.py                 # writes and reads a small sample
    python examples/summarize.py FILE WD1|WD2
"""

from __future__ import annotations

import struct
import sys
import tempfile
from pathlib import Path

import numpy as np

import vorn


def write_sample_wd1(path: Path, events: int = 5, samples: int = 1000) -> None:
    """A small WD1 file: a damped pulse on a noisy baseline per event."""
    rng = np.random.default_rng(1)
    t = np.arange(samples)
    with path.open("wb") as f:
        for i in range(events):
            pulse = 800 * np.exp(-np.clip(t - 200 - 10 * i, 0, None) / 60.0)
            pulse[t < 200 + 10 * i] = 0
            wave = (2000 + pulse + rng.normal(0, 4, samples)).astype("<u2")
            header = struct.pack("<6i", 24 + 2 * samples, 1, 0, i % 4, i, 1000 * i)
            f.write(header + wave.tobytes())


def summarize(path: str, reader_type: str) -> int:
    count = 0
    for event in vorn.EventReader(path, reader_type):
        data = event.pop("data")
        header = " ".join(f"{key}={value}" for key, value in event.items())
        if data.size:
            stats = f"n={data.size} min={data.min()} max={data.max()}"
        else:
            stats = "n=0"
        print(f"{header} {stats}")
        count += 1
    print(f"{count} events")
    return count


def main(argv: list[str]) -> int:
    if len(argv) == 3:
        summarize(argv[1], argv[2])
        return 0
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory() as tmp:
        sample = Path(tmp) / "sample.wd1"
        write_sample_wd1(sample)
        summarize(str(sample), "WD1")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
