"""A generated two-channel SiPM run with a known gain and timing, for the walk-through to results.

    python examples/sipm_run.py [FOLDER] [--events N]   # FOLDER/wave0.dat, wave1.dat (default: sipm_run)

Two SiPMs see the same flashes of light. In each event and channel the number
of fired cells follows the generalized Poisson distribution (mean MU primary
cells, crosstalk LAMBDA), each cell giving GAIN_ADC ADC counts x samples of
charge with a small spread, on a 14-bit baseline with noise. Both pulses
start at one time that moves from event to event by a fraction of a sample,
plus each channel's own jitter of JITTER_NS, so the difference of their
constant-fraction times is spread by about sqrt(2) x JITTER_NS and the
electronics' noise. The board samples every SAMPLE_NS and counts time in
TICK_NS; its ADC spans 2 V in 14 bits. The truth is printed, in raw and in
physical units (pC into 50 ohm), for comparison with what the fits find.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np
from pulse_run import write_channel  # beside this script

SAMPLES = 160
START = 48.0  # where pulses begin, in samples
SAMPLE_NS = 2.0
TICK_NS = 8.0
VOLTS_PER_COUNT = 2.0 / 2**14
IMPEDANCE = 50.0
GAIN_ADC = 400.0  # charge of one fired cell, ADC counts x samples
MU, LAMBDA = 1.4, 0.12
JITTER_NS = 0.25


def _fired(rng: np.random.Generator, events: int) -> np.ndarray:
    """Cells fired per event: Poisson primaries, each setting off a crosstalk cascade (generalized Poisson)."""
    fired = rng.poisson(MU, events)
    pending = fired.copy()
    while pending.any():
        pending = rng.poisson(LAMBDA * pending)
        fired += pending
    return fired


def write_run(folder: str | Path, events: int = 20_000, seed: int = 11) -> list[Path]:
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    t = np.arange(SAMPLES, dtype=np.float64)
    common = rng.uniform(0, 1, events)  # the flash's time within a sample
    times = np.cumsum(rng.exponential(1e9 / TICK_NS / 2_000, events)).astype(np.int64)  # about 2 kHz
    paths = []
    for channel in range(2):
        fired = _fired(rng, events)
        charge = GAIN_ADC * (fired + rng.normal(0, 0.08, events) * np.sqrt(fired))
        start = START + common + rng.normal(0, JITTER_NS / SAMPLE_NS, events)
        age = t[None, :] - start[:, None]
        shape = np.where(age > 0, np.exp(-np.maximum(age, 0) / 8.0) - np.exp(-np.maximum(age, 0) / 1.2), 0.0)
        shape /= 8.0 - 1.2  # the integral of the shape: each pulse carries `charge`
        waves = 8000 + rng.normal(0, 2.0, (events, SAMPLES)) - charge[:, None] * shape
        samples = np.clip(np.rint(waves), 0, 2**14 - 1).astype("<u2")
        path = folder / f"wave{channel}.dat"
        write_channel(path, samples, times, channel)
        paths.append(path)
    return paths


def truth() -> str:
    pc = GAIN_ADC * VOLTS_PER_COUNT * SAMPLE_NS * 1e-9 / IMPEDANCE * 1e12
    return (f"truth: gain {GAIN_ADC:g} ADC counts x samples = {pc:.4g} pC, mu {MU:g}, crosstalk {LAMBDA:g}, "
            f"jitter {JITTER_NS:g} ns per channel")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", nargs="?", default="sipm_run")
    parser.add_argument("--events", type=int, default=20_000)
    args = parser.parse_args()
    paths = write_run(args.folder, args.events)
    print(f"wrote {', '.join(map(str, paths))}")
    print(truth())


if __name__ == "__main__":
    main()
