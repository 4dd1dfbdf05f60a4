"""From feature tables to results: expressions and cuts on columns, and fits that recover a known truth."""

import itertools
import json
import struct
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from needs import need
from vorn_tools.analysis import expressions
from vorn_tools.analysis.expressions import ExpressionError


@pytest.mark.parametrize("text, column", [
    ("__import__('os').system('true')", 1),
    ("charge.real", 1),
    ("[charge]", 1),
    ("charge if amplitude else 0", 1),
    ("amplitude > 2 and lambda: 1", 19),
    ("charge@x", 1),
    ("charge +* 2", 9),
    ("(charge", 8),  # the end, where the closing parenthesis is missing
    ("charge + ", 9),
    ("charge )", 8),
])
def test_only_arithmetic_on_columns_is_evaluated(text, column):
    with pytest.raises(ExpressionError) as caught:
        expressions.parse(text)
    assert caught.value.position == column


def _table(rng, events, channels, drop):
    """A long table of (event, channel) rows, some rows left out, in a shuffled order of events."""
    rows = [(e, c) for e in range(events) for c in range(channels) if (e, c) not in drop]
    entry = np.array([r[0] for r in rows], dtype=np.int64)
    channel = np.array([r[1] for r in rows], dtype=np.int32)
    return {"entry": entry, "channel": channel, "amplitude": rng.normal(10, 5, len(rows)),
            "cfd_time": rng.normal(0, 1, len(rows))}


@settings(max_examples=40, deadline=None)
@given(events=st.integers(1, 30), channels=st.integers(2, 4), seed=st.integers(0, 2**32 - 1),
       drops=st.sets(st.tuples(st.integers(0, 29), st.integers(0, 3)), max_size=20))
def test_channel_columns_pair_the_rows_of_one_event(events, channels, seed, drops):
    rng = np.random.default_rng(seed)
    table = _table(rng, events, channels, drops)
    of = expressions.parse("2 * cfd_time@1 - cfd_time @ 0")  # @ binds tighter than any operator
    where = expressions.parse("amplitude@0 > 8 and not amplitude@1 <= 8")
    left_out = expressions.LeftOut()
    values, chans = expressions.select(table, of, where, left_out)
    by_row = {(int(e), int(c)): i for i, (e, c) in enumerate(zip(table["entry"], table["channel"]))}
    present = {e for e, _ in by_row}
    assert left_out.events == sum((e, 0) not in by_row or (e, 1) not in by_row for e in present)
    assert {c: n for c, n in left_out.by_channel.items() if n} == {
        c: n for c in (0, 1) if (n := sum((e, c) not in by_row for e in present))}
    expected = []
    for e in range(events):
        if (e, 0) in by_row and (e, 1) in by_row:
            a, b = by_row[(e, 0)], by_row[(e, 1)]
            if table["amplitude"][a] > 8 and table["amplitude"][b] > 8:
                expected.append(2 * table["cfd_time"][b] - table["cfd_time"][a])
    np.testing.assert_array_equal(values, expected)
    assert (chans == -1).all()


def test_a_cut_keeps_rows_and_their_channels():
    table = {"entry": np.array([0, 0, 1, 1]), "channel": np.array([0, 1, 0, 1]),
             "charge": np.array([1.0, -4.0, 3.0, 9.0])}
    values, channels = expressions.select(table, expressions.parse("abs(charge) * 2"),
                                          expressions.parse("charge > 2 or charge < -3"))
    np.testing.assert_array_equal(values, [8.0, 6.0, 18.0])
    np.testing.assert_array_equal(channels, [1, 0, 1])
    with pytest.raises(ExpressionError, match="not a condition"):
        expressions.select(table, None, expressions.parse("charge * 2"))


def test_spe_fit_pulls_of_the_gain_are_standard_normal():
    need("iminuit")
    from vorn_tools.analysis.fits import fit_spe, generate_sipm

    truth = {"gain": 20.0, "mu": 1.2, "lam": 0.12}
    pulls = {"gain": [], "mu": [], "crosstalk": []}
    for seed in range(100):
        charges = generate_sipm(8000, truth["gain"], truth["mu"], truth["lam"], q0=3.0, sigma0=2.5,
                                sigma1=1.5, seed=seed)
        result, _ = fit_spe(charges)
        assert result.converged
        pulls["gain"].append((result.extra["gain"] - truth["gain"]) / result.extra["gain_error"])
        pulls["mu"].append((result.values["mu"] - truth["mu"]) / result.errors["mu"])
        pulls["crosstalk"].append((result.values["lam"] - truth["lam"]) / result.errors["lam"])
    for name, values in pulls.items():
        assert abs(np.mean(values)) < 0.2 + 0.3 * (name != "gain"), name
        assert abs(np.std(values) - 1) < 0.2 + 0.3 * (name != "gain"), name


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
    assert result["converged"]
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


def test_average_is_the_mean_and_spread_of_the_selected_waveforms(tmp_path):
    from vorn_tools.analysis.average import average, shifted
    from vorn_tools.features import FeatureOptions, compute

    path = tmp_path / "pulses.dat"
    rng = np.random.default_rng(11)
    events, samples = 300, 64
    t = np.arange(samples)
    starts = rng.uniform(20, 30, events)
    heights = rng.choice([0.0, 80.0, 160.0], events)
    waves = 500 + rng.normal(0, 2, (events, samples)) + heights[:, None] * np.exp(
        -0.5 * ((t[None, :] - starts[:, None]) / 3.0) ** 2)
    data = np.rint(waves).astype("<u2")
    header = struct.Struct("<6i")
    with open(path, "wb") as out:
        for i in range(events):
            out.write(header.pack(24 + 2 * samples, 1, 0, 0, i, i))
            out.write(data[i].tobytes())
    options = FeatureOptions(polarity="positive", baseline=(0, 16))
    found = average([str(path)], options, expressions.parse("amplitude > 40"))
    chosen = data[compute(data, options)["amplitude"] > 40].astype(np.float64)
    mean, std, count = found.result(0)
    np.testing.assert_allclose(mean, chosen.mean(axis=0), rtol=1e-12)
    np.testing.assert_allclose(std, chosen.std(axis=0), rtol=1e-9, atol=1e-9)
    assert (count == len(chosen)).all() and found.waveforms[0] == len(chosen)
    # Shifting by a fraction interpolates between neighbours; what falls off an end is left out.
    row = np.arange(6, dtype=np.float64)[None, :] ** 2
    np.testing.assert_allclose(shifted(row, np.array([0.5]))[0], [0.5, 2.5, 6.5, 12.5, 20.5, np.nan])
    np.testing.assert_allclose(shifted(row, np.array([-2.0]))[0], [np.nan, np.nan, 0, 1, 4, 9])


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


@pytest.mark.parametrize("value_range", [None, (-1.0, 1.5)])
def test_a_fit_accounts_for_every_value_it_leaves_out(value_range):
    need("iminuit")
    from vorn_tools.analysis.fits import fit_gauss

    values = np.random.default_rng(3).normal(0, 1, 5000)
    values[::97] = np.nan
    result, _ = fit_gauss(values, value_range=value_range)
    low, high = value_range or (-np.inf, np.inf)
    finite = values[np.isfinite(values)]
    assert result.no_value == np.isnan(values).sum()
    assert result.entries + result.below + result.above + result.no_value == len(values)
    if value_range is not None:
        assert (result.below, result.above) == ((finite < low).sum(), (finite > high).sum())


def _channel_files(folder, events=400, samples=64, seed=3, counter_start=0):
    """Two WD1 channel files of one run: Gaussian pulses of random height and time in each channel."""
    rng = np.random.default_rng(seed)
    t = np.arange(samples)
    header = struct.Struct("<6i")
    folder.mkdir(exist_ok=True)
    for channel in (0, 1):
        starts = rng.uniform(20, 34, events)
        heights = rng.choice([0.0, 30.0, 90.0], events)
        waves = 800 - heights[:, None] * np.exp(-0.5 * ((t[None, :] - starts[:, None]) / 2.5) ** 2)
        data = np.rint(waves + rng.normal(0, 2, (events, samples))).astype("<u2")
        with open(folder / f"wave{channel}.dat", "wb") as out:
            for i in range(events):
                out.write(header.pack(24 + 2 * samples, 1, 0, channel, counter_start + i, 40 * i))
                out.write(data[i].tobytes())
    return [folder / "wave0.dat", folder / "wave1.dat"]


@pytest.mark.parametrize("layout, suffix, where, align", [
    ("run", ".parquet", "amplitude@0 > 50 and amplitude@1 > 10", "cfd"),
    ("files", ".h5", "amplitude > 50 or file == 1 and amplitude < 10", "peak"),
])
def test_average_of_a_table_cut_is_that_of_its_raw_files(tmp_path, layout, suffix, where, align):
    need("matplotlib")
    need("pyarrow" if suffix == ".parquet" else "h5py")
    from vorn_tools.analysis.average import average, average_table
    from vorn_tools.features import FeatureOptions

    files = _channel_files(tmp_path / "run")
    raw = [str(tmp_path / "run")] if layout == "run" else [str(f) for f in files]
    table = tmp_path / f"t{suffix}"
    vorn = [sys.executable, "-m", "vorn_tools"]
    run = ["--run"] if layout == "run" else []
    subprocess.run([*vorn, "features", *run, *raw, "-o", str(table), "-q"], check=True, capture_output=True)
    cut = expressions.parse(where)
    # Blocks of a few events, so that selected events fall in many blocks of each source.
    for step in (37, 1000):
        direct = average(raw, FeatureOptions(), cut, align, run=layout == "run", step_size=step)
        fetched = average_table(str(table), cut, align, step_size=step)
        assert sorted(fetched.sum) == [0, 1] and fetched.waveforms == direct.waveforms
        for channel in (0, 1):
            for mine, theirs in zip(fetched.result(channel), direct.result(channel)):
                np.testing.assert_array_equal(mine, theirs)
    # The command says the same, and fails in one line when a source is not the file the table was made from.
    done = subprocess.run([*vorn, "average", str(table), "--where", where, "--align", align, "-o",
                           str(tmp_path / "a.png"), "--data", str(tmp_path / "a.npy")], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    np.testing.assert_array_equal(np.load(tmp_path / "a.npy")[:, :2],
                                  np.stack([np.stack(direct.result(c)[:2]) for c in (0, 1)]))
    for broken in ("gone", "longer", "replaced"):
        (tmp_path / "run" / "wave1.dat").rename(tmp_path / "kept.dat")
        if broken == "longer":
            kept = (tmp_path / "kept.dat").read_bytes()  # an event more: its last one again
            (tmp_path / "run" / "wave1.dat").write_bytes(kept + kept[-152:])
        elif broken == "replaced":  # as long, but another acquisition
            _channel_files(tmp_path / "other", seed=4, counter_start=7)[1].rename(tmp_path / "run" / "wave1.dat")
        done = subprocess.run([*vorn, "average", str(table), "--where", where, "-o", str(tmp_path / "b.png")],
                              capture_output=True, text=True)
        assert done.returncode == 1 and len(done.stderr.splitlines()) == 1, (broken, done.stderr)
        assert "wave1.dat" in done.stderr and not (tmp_path / "b.png").exists()
        (tmp_path / "run" / "wave1.dat").unlink(missing_ok=True)
        (tmp_path / "kept.dat").rename(tmp_path / "run" / "wave1.dat")


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
