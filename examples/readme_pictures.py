"""The README's picture of the energy filter, from generated recordings.

    python examples/readme_pictures.py [FOLDER] [--pictures DIR]

Writes two WD1 recordings into FOLDER (default: pictures-data, a new folder
under the current one) and runs the commands the README shows on them,
printing each command and its output. The picture goes into FOLDER too,
unless --pictures names where (the documentation's is drawn with
`--pictures docs/pictures`); nothing else is written.

- `sipm.dat`, a SiPM's dark counts: 4,000 events of 1,024 samples at 1 ns,
  a trigger pulse at sample 100 and thermal pulses at 1 MHz, negative, one
  photo-electron 40 ADC counts high with 5 % gain spread; optical crosstalk
  adds photo-electrons to 15 % of pulses, and 8 % are followed by an
  afterpulse (delay 40 ns on average, smaller the sooner it comes). `vorn
  pulses` finds them and prints the dark-count rate outside the trigger's
  window (the tutorial on dark counts draws their amplitudes).
- `hpge.dat`, an HPGe detector behind a charge-sensitive preamplifier: 50,000
  events of 1,024 samples at 10 ns, a step rising over 25 samples from sample
  300 and decaying with tau = 50 us (5,000 samples), 5 ADC counts per keV,
  noise of 3 ADC counts, for the lines of 137Cs (662 keV) and 60Co (1,173 and
  1,332 keV), 27 % of the events, and a Compton continuum below each line. `vorn features --trap --tau` measures the
  energy and `vorn hist` histograms it.

The whole runs in about ten seconds.
"""

from __future__ import annotations

import argparse
import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

WD1_EVENT = "<i4", (6,)  # event_size, board_id, pattern, board_channel, event_counter, timestamp


def write_wd1(path: Path, waves: NDArray[np.float64], first: int, tick_per_event: int) -> None:
    """Append the waves (events, samples), rounded to uint16, as WD1 events of board channel 0."""
    events, samples = waves.shape
    layout = np.dtype([("header", *WD1_EVENT), ("data", "<u2", (samples,))])
    out = np.zeros(events, layout)
    counters = np.arange(first, first + events)
    out["header"][:, 0] = 24 + 2 * samples
    out["header"][:, 4] = counters
    out["header"][:, 5] = (counters * tick_per_event) % 2**31
    out["data"] = np.clip(np.rint(waves), 0, 65535)
    with open(path, "ab") as f:
        out.tofile(f)


# --- a SiPM's dark counts ----------------------------------------------------------------

SIPM_EVENTS, SIPM_SAMPLES = 4000, 1024  # at 1 ns a sample
DARK_RATE = 1e6  # Hz
PE = 40.0  # ADC counts of one photo-electron
CROSSTALK, AFTERPULSES = 0.15, 0.08


def sipm_shape(samples: int) -> NDArray[np.float64]:
    """A SiPM pulse: a 1.5 ns rise and a 15 ns decay, 1 at its peak."""
    t = np.arange(samples, dtype=np.float64)
    shape: NDArray[np.float64] = np.exp(-t / 15.0) - np.exp(-t / 1.5)
    return shape / float(shape.max())


def sipm(path: Path, rng: np.random.Generator) -> None:
    shape = sipm_shape(200)
    padded = SIPM_SAMPLES + len(shape)
    waves = np.zeros((SIPM_EVENTS, padded))
    window = SIPM_SAMPLES * 1e-9
    for event in range(SIPM_EVENTS):
        # The trigger's pulse, then dark pulses over the whole waveform.
        times = [100.0, *rng.uniform(0, SIPM_SAMPLES, rng.poisson(DARK_RATE * window))]
        for at in times:
            pe = 1 + (rng.geometric(1 - CROSSTALK) - 1)  # crosstalk: more photo-electrons at once
            heights = [(at, pe)]
            if rng.random() < AFTERPULSES:
                delay = rng.exponential(40.0)
                heights.append((at + delay, 1 - np.exp(-delay / 20.0)))  # the cell still recharging
            for start, count in heights:
                whole = int(start)
                if whole >= SIPM_SAMPLES:
                    continue
                # The shape sampled at its fractional start, by interpolation.
                frac = start - whole
                piece = (1 - frac) * shape + frac * np.concatenate([[0.0], shape[:-1]])
                waves[event, whole:whole + len(shape)] += count * PE * rng.normal(1, 0.05) * piece
    noisy = 3000.0 - waves[:, :SIPM_SAMPLES] + rng.normal(0, 2.5, (SIPM_EVENTS, SIPM_SAMPLES))
    write_wd1(path, noisy, 0, 125_000)


# --- an HPGe detector's energy -----------------------------------------------------------

HPGE_EVENTS, HPGE_SAMPLES = 50_000, 1024  # at 10 ns a sample
TAU = 5000.0  # samples: 50 us
GAIN = 5.0  # ADC counts per keV
LINES = {661.7: 0.12, 1173.2: 0.08, 1332.5: 0.07}  # keV: share of the events at full energy; the rest Compton


def hpge_energies(rng: np.random.Generator, events: int) -> NDArray[np.float64]:
    lines = np.array(list(LINES))
    chosen = lines[rng.choice(len(lines), events, p=np.array(list(LINES.values())) / sum(LINES.values()))]
    full = rng.random(events) < sum(LINES.values())
    edge = chosen - chosen / (1 + 2 * chosen / 511.0)
    energy = np.where(full, chosen, rng.uniform(20, edge))
    # The detector's resolution: electronic noise and charge statistics.
    sigma = np.sqrt(0.35**2 + 0.00035 * energy)
    return energy + rng.normal(0, 1, events) * sigma


def hpge(path: Path, rng: np.random.Generator) -> None:
    t = np.arange(HPGE_SAMPLES, dtype=np.float64)
    s = t - 300
    rise = 25.0
    # The preamplifier's output for a charge of 1 collected evenly over
    # `rise` samples: the current integrated, decaying with TAU all along.
    after = np.maximum(s, 0)
    shape = np.where(s < 0, 0.0, TAU / rise * np.where(
        s < rise, 1 - np.exp(-after / TAU), (np.exp(rise / TAU) - 1) * np.exp(-after / TAU)))
    chunk = 2000
    for first in range(0, HPGE_EVENTS, chunk):
        heights = GAIN * hpge_energies(rng, chunk)
        waves = 1000.0 + heights[:, None] * shape + rng.normal(0, 3.0, (chunk, HPGE_SAMPLES))
        write_wd1(path, waves, first, 12_500)


# --- the commands ------------------------------------------------------------------------

COMMANDS = [
    "vorn pulses sipm.dat --threshold 20 --hysteresis 8 --sample-period 1ns --exclude 90 160 -o sipm.parquet",
    "vorn features hpge.dat --threshold 50 --trap 200 60 --tau 5000 -o hpge.parquet",
    "vorn hist hpge.parquet --of 'energy / 5' --range 0 1500 --bins 1500 --log -o {pictures}hpge-energy.png",
]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", nargs="?", default="pictures-data", help="where to write (default: pictures-data)")
    parser.add_argument("--pictures", metavar="DIR", help="where the picture goes (default: the folder)")
    args = parser.parse_args(argv)
    folder = Path(args.folder).resolve()
    folder.mkdir(parents=True, exist_ok=True)
    pictures = Path(args.pictures).resolve() if args.pictures else folder
    pictures.mkdir(parents=True, exist_ok=True)
    shown = f"{args.pictures.rstrip('/')}/" if args.pictures else ""
    rng = np.random.default_rng(2026)
    for name, make in (("sipm.dat", sipm), ("hpge.dat", hpge)):
        (folder / name).unlink(missing_ok=True)
        make(folder / name, rng)
    vorn = shutil.which("vorn", path=os.path.dirname(sys.executable)) or "vorn"
    for command in COMMANDS:
        words = shlex.split(command.format(pictures=shlex.quote(f"{pictures}/")))
        print(f"$ {command.format(pictures=shown)}", flush=True)
        done = subprocess.run([vorn, *words[1:], "--force", "-q"], cwd=folder,
                              env={**os.environ, "MPLBACKEND": "Agg"})
        if done.returncode != 0:
            return done.returncode
    return 0


if __name__ == "__main__":
    sys.exit(main())
