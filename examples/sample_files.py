"""Small synthetic WD1 and WD2 files, so that every example runs without data.

    python examples/sample_files.py [FOLDER]    # FOLDER/sample.wd1 and sample.wd2 (default: samples)

Each event is a damped pulse on a noisy baseline. The writers return the
samples they wrote, one array per event, to compare a reading against.
"""

from __future__ import annotations

import struct
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

WD1_HEADER = struct.Struct("<6i")  # event_size, board_id, pattern, board_channel, event_counter, timestamp
WD2_HEADER = struct.Struct("<IQIQi")  # event_counter, timestamp, samples, sampling_period, channels


def pulse(rng: np.random.Generator, samples: int, start: int, height: float, noise: float) -> NDArray[np.float64]:
    t = np.arange(samples, dtype=np.float64)
    wave = height * np.exp(-np.clip(t - start, 0, None) / 60.0)
    wave[t < start] = 0.0
    noisy: NDArray[np.float64] = wave + rng.normal(0.0, noise, samples)
    return noisy


def write_wd1(
    path: str | Path,
    events: int = 5,
    samples: int = 1000,
    channels: int = 4,
    seed: int = 1,
) -> list[NDArray[np.uint16]]:
    """Write a WD1 file whose events cycle through `channels` board channels."""
    rng = np.random.default_rng(seed)
    written = []
    with open(path, "wb") as f:
        for i in range(events):
            wave = 2000.0 + pulse(rng, samples, 200 + 10 * i, 800.0, 4.0)
            data = np.clip(np.rint(wave), 0, 65535).astype("<u2")
            header = WD1_HEADER.pack(24 + 2 * samples, 1, 0, i % channels, i, 1000 * i)
            f.write(header + data.tobytes())
            written.append(data.astype(np.uint16))
    return written


def write_wd2(
    path: str | Path,
    events: int = 5,
    samples: int = 1024,
    channels: int = 2,
    sampling_period: int = 200,
    seed: int = 1,
) -> list[NDArray[np.float32]]:
    """Write a WD2 file with a channel-count word; channel blocks follow each other."""
    rng = np.random.default_rng(seed)
    written = []
    with open(path, "wb") as f:
        for i in range(events):
            blocks = [pulse(rng, samples, 300 + 15 * i + 20 * c, 0.5 / (c + 1), 0.005) for c in range(channels)]
            data = np.concatenate(blocks).astype("<f4")
            header = WD2_HEADER.pack(i, 5_000 * i, samples, sampling_period, channels)
            f.write(header + data.tobytes())
            written.append(data.astype(np.float32))
    return written


def main(argv: list[str] | None = None) -> int:
    """Write samples/sample.wd1 and samples/sample.wd2 (or into the folder given) for a first look."""
    import argparse

    parser = argparse.ArgumentParser(description=main.__doc__)
    parser.add_argument("folder", nargs="?", default="samples", help="where to write them (default: samples)")
    args = parser.parse_args(argv)
    folder = Path(args.folder)
    folder.mkdir(parents=True, exist_ok=True)
    write_wd1(folder / "sample.wd1", events=8)
    write_wd2(folder / "sample.wd2", events=8, channels=3)
    print(f"wrote {folder / 'sample.wd1'} and {folder / 'sample.wd2'}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
