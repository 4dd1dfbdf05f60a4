"""A generated run of per-channel WD1 files with pulses, for the physics walk-through.

    python examples/pulse_run.py [FOLDER] [--events N]   # FOLDER/wave0.dat ... wave3.dat (default: run)

Each channel sees a photomultiplier-like spectrum: a negative pulse of 0, 1,
2 or more photoelectrons (Poisson, mean 1.5) of 60 ADC counts each, with a
spread, on a 14-bit baseline near 8000 counts with noise. Channels trigger
together: every event is in every file, with one counter and timestamp.
"""

from __future__ import annotations

import argparse
import struct
from pathlib import Path

import numpy as np

SAMPLES = 512
TRIGGER = 128  # where pulses start
TICK_NS = 8  # the board's clock: 125 MHz


def write_channel(path: Path, samples: np.ndarray, times: np.ndarray, channel: int) -> None:
    """One board channel's WD1 file: a header and the samples of each event, timestamps from 64-bit `times`."""
    header = struct.Struct("<6i")
    with open(path, "wb") as out:
        for i, row in enumerate(samples):
            # Bit 31 of the timestamp is the board's overflow flag.
            stamp = int(times[i] % 2**31) - (2**31 if times[i] // 2**31 % 2 else 0)
            out.write(header.pack(24 + 2 * row.size, 1, 0, channel, i, stamp))
            out.write(row.astype("<u2").tobytes())


def write_run(folder: str | Path, events: int = 20_000, channels: int = 4, seed: int = 7) -> list[Path]:
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    t = np.arange(SAMPLES)
    shape = np.where(t >= TRIGGER, np.exp(-(t - TRIGGER) / 12.0) - np.exp(-(t - TRIGGER) / 3.0), 0.0)
    shape /= shape.max()
    times = np.cumsum(rng.exponential(1e9 / TICK_NS / 5_000, events)).astype(np.int64)  # about 5 kHz
    paths = []
    for channel in range(channels):
        photoelectrons = rng.poisson(1.5, events)
        heights = 60.0 * photoelectrons + rng.normal(0, 12, events) * np.sqrt(photoelectrons)
        waves = 8000 + rng.normal(0, 2.5, (events, SAMPLES)) - heights[:, None] * shape
        samples = np.clip(np.rint(waves), 0, 2**14 - 1).astype("<u2")
        path = folder / f"wave{channel}.dat"
        write_channel(path, samples, times, channel)
        paths.append(path)
    return paths


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", nargs="?", default="run")
    parser.add_argument("--events", type=int, default=20_000)
    args = parser.parse_args()
    paths = write_run(args.folder, args.events)
    print(f"wrote {', '.join(map(str, paths))}")


if __name__ == "__main__":
    main()
