"""`vorn fit`, run as a user runs it: a known truth from raw files and their tables, bad expressions, empty
files and events without a named channel."""

import json
import struct
import subprocess
import sys

import numpy as np
import pytest

from needs import need


def _sipm_file(path, events=12_000, gain_adc=200.0, mu=1.3, lam=0.1, seed=5):
    """A WD1 file whose pulses carry a SiPM's photoelectron count; the charge of one p.e. is `gain_adc`."""
    from vorn_tools.analysis.fits import generate_sipm

    fired = np.rint(generate_sipm(events, 1.0, mu, lam, sigma0=0.0, sigma1=0.0, seed=seed)).astype(int)
    rng = np.random.default_rng(seed + 1)
    samples = 96
    t = np.arange(samples)
    shape = np.where(t >= 40, np.exp(-(t - 40) / 6.0) - np.exp(-(t - 40) / 1.5), 0.0)
    shape *= gain_adc / shape.sum()
    gains = fired * (1 + rng.normal(0, 0.05, events) / np.sqrt(np.maximum(fired, 1)))
    waves = 1000 + rng.normal(0, 1.5, (events, samples)) + gains[:, None] * shape
    data = np.rint(waves).astype("<u2")
    header = struct.Struct("<6i")
    with open(path, "wb") as out:
        for i in range(events):
            out.write(header.pack(24 + 2 * samples, 1, 0, 0, i, 100 * i))
            out.write(data[i].tobytes())


def test_fit_spe_recovers_the_truth_from_raw_files_through_a_table(tmp_path):
    need("iminuit")
    need("pyarrow")
    raw, table = tmp_path / "sipm.dat", tmp_path / "sipm.parquet"
    _sipm_file(raw)
    vorn = [sys.executable, "-m", "vorn_tools"]
    subprocess.run([*vorn, "features", str(raw), "-o", str(table), "--polarity", "positive",
                    "--baseline", "0", "32", "--charge", "32", "96", "-q"], check=True, capture_output=True)
    done = subprocess.run([*vorn, "fit", "spe", str(table), "--json", "--where", "channel == 0"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert result["converged"] and result["valid"] and result["reasons"] == []
    for name, truth in (("gain", 200.0), ("mu", 1.3), ("crosstalk", 0.1)):
        error = result["gain_error"] if name == "gain" else result["errors"]["mu" if name == "mu" else "lam"]
        # The per-p.e. spread of the pulses widens the peaks but leaves their spacing.
        assert abs(result[name] - truth) < 4 * error + 0.01 * truth, (name, result[name], error)
    # The raw file fitted directly gives the same numbers as its table.
    direct = subprocess.run([*vorn, "fit", "spe", str(raw), "--json", "--polarity", "positive", "--baseline",
                             "0", "32", "--charge", "32", "96"], capture_output=True, text=True)
    assert json.loads(direct.stdout)["gain"] == pytest.approx(result["gain"], rel=1e-9)


@pytest.mark.parametrize("argv, message", [
    (["fit", "gauss", "{t}", "--of", "charge@1 - entry"], "entry has no channel"),
    (["fit", "spe", "{t}", "--of", "missing"], "no column 'missing'"),
    (["fit", "spe", "{t}", "--where", "(charge"], "at column"),
    (["hist", "{t}", "--of", "charge", "--where", "charge > 2 and charge.real"],
     "--where 'charge > 2 and charge.real' at column 16: attribute is not allowed"),
    (["hist", "{t}", "--of", "charge@1 - entry"], "entry has no channel"),
])
def test_bad_expressions_are_usage_errors(tmp_path, argv, message):
    for module in ("iminuit",) if argv[0] == "fit" else ("boost_histogram", "matplotlib"):
        need(module)
    pa = need("pyarrow")
    import pyarrow.parquet as pq

    path = tmp_path / "t.parquet"
    pq.write_table(pa.table({"entry": [0, 0], "channel": [0, 1], "charge": [1.0, 2.0]}), path)
    done = subprocess.run([sys.executable, "-m", "vorn_tools", *[a.format(t=path) for a in argv]],
                          capture_output=True, text=True)
    assert done.returncode == 2
    assert message in done.stderr and len(done.stderr.splitlines()) == 1


@pytest.mark.parametrize("name", ["empty.dat", "empty.parquet"])
@pytest.mark.parametrize("command, modules", [(["fit", "spe"], ["iminuit", "scipy", "matplotlib"]),
                                              (["average"], ["matplotlib"])])
def test_an_empty_file_is_named_in_one_line(tmp_path, command, modules, name):
    for module in [*modules, *(["pyarrow"] if name.endswith(".parquet") else [])]:
        need(module)
    (tmp_path / name).touch()
    done = subprocess.run([sys.executable, "-m", "vorn_tools", *command, str(tmp_path / name), "-o",
                           str(tmp_path / "x.png")], capture_output=True, text=True)
    assert done.returncode == 1 and done.stderr.count("\n") == 1, done.stderr
    assert done.stderr.startswith(f"vorn: {tmp_path / name}: ")
    if name.endswith(".dat"):
        assert done.stderr.endswith("the file is empty\n")
    assert not (tmp_path / "x.png").exists()


@pytest.mark.parametrize("command", [["hist"], ["fit", "gauss"]])
def test_events_without_a_named_channel_are_counted(tmp_path, command):
    for module in ("iminuit", "scipy") if command[0] == "fit" else ("boost_histogram", "matplotlib"):
        need(module)
    pa = need("pyarrow")
    import pyarrow.parquet as pq

    # A run's table in which channel 1 has no row for some events (no pulse found there, say).
    rng = np.random.default_rng(8)
    events = 3000
    lacking = set(rng.choice(events, 137, replace=False).tolist())
    rows = [(e, c) for e in range(events) for c in (0, 1) if not (c == 1 and e in lacking)]
    time = rng.normal(30, 0.5, len(rows))
    time[rng.random(len(rows)) < 0.01] = np.nan  # a waveform without a CFD time: a value missing, not an event
    pq.write_table(pa.table({"entry": [e for e, _ in rows], "channel": [c for _, c in rows], "cfd_time": time}),
                   tmp_path / "t.parquet")
    of = "cfd_time@1 - cfd_time@0"
    done = subprocess.run([sys.executable, "-m", "vorn_tools", *command, str(tmp_path / "t.parquet"), "--of", of,
                           "-o", str(tmp_path / "x.png")], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stderr == f"vorn: 137 events have no channel 1 and are left out of {of}\n"
    both = [e for e in range(events) if e not in lacking]
    by_row = {r: i for i, r in enumerate(rows)}
    no_value = sum(np.isnan(time[by_row[(e, 0)]]) or np.isnan(time[by_row[(e, 1)]]) for e in both)
    assert f"{no_value:,} events without a value of {of}" in done.stdout


def _table(path, n=5000):
    pa = need("pyarrow")
    import pyarrow.parquet as pq

    rng = np.random.default_rng(1)
    pq.write_table(pa.table({"entry": np.arange(n), "channel": np.arange(n) % 2,
                             "amplitude": rng.normal(300, 40, n), "charge": rng.exponential(50, n)}), path)


@pytest.mark.parametrize("argv, what, reason", [
    (["gauss", "--of", "amplitude", "--where", "entry < 20"], "no fit of amplitude", "20 entries are too few"),
    (["spe", "--channel", "1"], "no gain", "the photoelectron peaks are not resolved (peak-to-valley"),
])
def test_a_fit_that_cannot_be_used_exits_1_with_a_line_for_each_reason(tmp_path, argv, what, reason):
    for module in ("iminuit", "scipy", "matplotlib"):
        need(module)
    table = tmp_path / "t.parquet"
    _table(table)
    vorn = [sys.executable, "-m", "vorn_tools", "fit", argv[0], str(table), *argv[1:]]
    done = subprocess.run([*vorn, "--json"], capture_output=True, text=True)
    assert done.returncode == 1
    result = json.loads(done.stdout)  # strict JSON, values and verdict both
    assert result["valid"] is False and reason in result["reasons"][0]
    assert done.stderr.splitlines() == [f"vorn: {what}: {r}" for r in result["reasons"]]
    assert all(isinstance(v, float) for v in result["values"].values())
    # The picture is written under exactly the name given, and says in its title that the fit is not valid.
    drawn = subprocess.run([*vorn, "-o", str(tmp_path / "fit.picture.svg")], capture_output=True, text=True)
    assert drawn.returncode == 1 and drawn.stderr == done.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fit.picture.svg", "t.parquet"]
    svg = (tmp_path / "fit.picture.svg").read_text()
    assert "NOT VALID" in svg and ("channel 1" in svg if "--channel" in argv else "where entry &lt; 20" in svg)


@pytest.mark.parametrize("options, message", [
    (["-o", "fit.spe"], "-o fit.spe: a picture's name ends in one of"),
    (["--bins", "100000000"], "--bins 100000000 needs"),
])
def test_a_fit_refuses_what_it_cannot_do_before_it_starts(tmp_path, options, message):
    for module in ("iminuit", "scipy", "matplotlib"):
        need(module)
    _table(tmp_path / "t.parquet")
    done = subprocess.run([sys.executable, "-m", "vorn_tools", "fit", "spe", "t.parquet", *options],
                          capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.startswith(f"vorn: {message}") and done.stderr.count("\n") == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == ["t.parquet"]


def test_the_live_fit_shows_why_it_has_no_gain():
    need("iminuit")
    need("boost_histogram")
    from vorn_tools.monitor.state import MonitorState
    from vorn_tools.monitor.tallies import FitSettings

    state = MonitorState(warmup=1000, fits=FitSettings(every=10.0))
    state.add_file("f", "f")
    charge = np.random.default_rng(3).exponential(50.0, 5000)[:, None]
    state.add_events("f", np.arange(len(charge)), 10, {"amplitude": charge, "charge": charge},
                     np.zeros((len(charge), 1, 4), np.uint16))
    state.settle()
    assert state.fit_spectra() == 1
    gains = state.snapshot().channels[0].gains
    assert (len(gains.gain), gains.converged, gains.failed) == (0, 0, 1)
    assert gains.note.startswith("no gain at ") and "the photoelectron peaks are not resolved" in gains.note
