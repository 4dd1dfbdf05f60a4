"""`vorn noise` and `vorn_tools.noise`: Parseval, a line injected into noise, units, and one-line refusals."""

import csv
import re

import numpy as np
import pytest

from eventfiles import wd1_event
from needs import need


def wd1_file(path, waves, board_channel=0):
    """A WD1 file of the rows of `waves`, rounded to counts."""
    counts = np.clip(np.rint(waves), 0, 65535).astype("<u2")
    path.write_bytes(b"".join(wd1_event(board_channel=board_channel, event_counter=i, samples=row.tobytes())
                              for i, row in enumerate(counts)))
    return path


def signal(kind, events, samples, rng):
    t = np.arange(samples)
    white = rng.normal(0, 3, (events, samples))
    if kind == "white":
        return 1000 + white
    if kind == "coloured":  # a random walk pulled back to its level: most of its power at low frequencies
        walk = np.zeros_like(white)
        for i in range(1, samples):
            walk[:, i] = 0.9 * walk[:, i - 1] + white[:, i]
        return 1000 + walk
    phase = rng.uniform(0, 2 * np.pi, (events, 1))
    return 1000 + 40 * np.sin(2 * np.pi * 0.0371 * t + phase) + white


@pytest.mark.parametrize("kind", ["white", "coloured", "sine"])
@pytest.mark.parametrize("window", [(0, 64), (5, 132)])
def test_the_spectrum_integrates_to_the_mean_variance_of_the_windows(tmp_path, kind, window):
    need("scipy")
    from vorn_tools.noise import band_power, noise_spectrum

    rng = np.random.default_rng(sum(map(ord, kind)) + window[1])
    waves = signal(kind, 300, 160, rng)
    path = wd1_file(tmp_path / "n.wd1", waves, board_channel=2)
    # Blocks of a few events: the sums over blocks are those over all events.
    found = noise_spectrum([str(path)], window, step_size=37)
    assert list(found.sums) == [(str(path), 2)] and found.windows[(str(path), 2)] == 300
    f, p = found.result((str(path), 2))
    low, high = window
    expected = np.rint(waves)[:, low:high].var(axis=1).mean()
    assert len(f) == (high - low) // 2 + 1 and f[-1] <= 0.5
    assert band_power(f, p) == pytest.approx(expected, rel=1e-9)


def test_an_injected_sine_is_named_at_its_frequency_with_its_power(vorn_cli, tmp_path):
    need("scipy")
    need("matplotlib")
    rng = np.random.default_rng(7)
    samples, frequency, amplitude = 1000, 0.08637, 12.0
    t = np.arange(samples)
    waves = 2000 + rng.normal(0, 2, (150, samples)) \
        + amplitude * np.sin(2 * np.pi * frequency * t + rng.uniform(0, 2 * np.pi, (150, 1)))
    wd1_file(tmp_path / "s.wd1", waves)
    proc = vorn_cli("noise", "s.wd1", "--baseline", "0", str(samples), check=0)
    named = re.findall(r"line at (\S+) cycles/sample: .* \(power (\S+) ADC counts²\)", proc.stdout)
    assert len(named) == 1, proc.stdout
    (found, power), = named
    assert abs(float(found) - frequency) <= 1 / samples
    assert float(power) == pytest.approx(amplitude ** 2 / 2, rel=0.03)
    assert (tmp_path / "noise.png").stat().st_size > 0


@pytest.mark.parametrize("units, frequency_unit, density_unit, hz, v2", [
    ((), "cycles/sample", "ADC counts²/(cycles/sample)", 1.0, 1.0),
    (("--sample-period", "2ns", "--volts-per-count", "0.5mV"), "Hz", "V²/Hz", 5e8, 0.25e-6),
    (("--sample-period", "250MS/s", "--adc-range", "2V", "--adc-bits", "12"), "Hz", "V²/Hz", 2.5e8,
     (2 / 4096) ** 2),
])
def test_units_of_the_axes_and_parseval_in_them(vorn_cli, tmp_path, units, frequency_unit, density_unit, hz, v2):
    need("scipy")
    need("matplotlib")
    rng = np.random.default_rng(11)
    waves = signal("coloured", 200, 128, rng)
    wd1_file(tmp_path / "c.wd1", waves, board_channel=1)
    band = ("--band", str(0.1 * hz), str(0.3 * hz))
    proc = vorn_cli("noise", "c.wd1", "--baseline", "0", "128", "--csv", "c.csv", *units, *band, check=0)
    with open(tmp_path / "c.csv", newline="") as table:
        rows = list(csv.reader(table))
    assert rows[0] == [f"frequency ({frequency_unit})", f"channel 1 ({density_unit})"]
    f, p = np.array(rows[1:], dtype=float).T
    assert f[1] == pytest.approx(hz / 128) and f[-1] == pytest.approx(hz / 2)
    # The integral in the units given is the mean variance of the waveforms times volts per count squared.
    assert p.sum() * f[1] == pytest.approx(np.rint(waves).var(axis=1).mean() * v2, rel=1e-6)
    inside = (f >= 0.1 * hz) & (f <= 0.3 * hz)
    rms = float(re.search(r"RMS (\S+) ", proc.stdout).group(1))
    assert rms == pytest.approx(np.sqrt(p[inside].sum() * f[1]), rel=1e-3)
    assert f"over {0.1 * hz:g} to {0.3 * hz:g} {frequency_unit}" in proc.stdout


@pytest.mark.parametrize("args, status, says", [
    (("--band", "3", "1"), 2, "--band needs 0 <= F0 < F1"),
    (("--band", "0.6", "0.7"), 2, "above every frequency of the spectrum"),
    (("--band", "0", "nan"), 2, "--band needs"),
    (("--baseline", "0", "500"), 2, "--baseline: the baseline window [0, 500) needs events of 500 samples"),
    (("--baseline", "9", "3"), 2, "--baseline"),
    (("-o", "n.xyz"), 2, "n.xyz"),
    (("--csv", "n.txt"), 2, "--csv names a .csv file"),
    (("--impedance", "50"), 2, "--impedance"),
    (("--whole", "--threshold", "0"), 1, "no window of noise was read"),
    (("missing.wd1",), 1, "missing.wd1"),
])
def test_bad_input_is_refused_in_one_line(vorn_cli, tmp_path, args, status, says):
    need("scipy")
    need("matplotlib")
    wd1_file(tmp_path / "n.wd1", signal("white", 20, 100, np.random.default_rng(3)))
    inputs = () if args[0].endswith(".wd1") else ("n.wd1",)
    proc = vorn_cli("noise", *inputs, *args, check=status)
    assert proc.stderr.count("\n") == 1 and proc.stderr.startswith("vorn: ") and says in proc.stderr, proc.stderr
