"""`vorn hist`, run as a user runs it: series, ranges, cuts, colour maps, tables and workers."""

import struct
import subprocess
import sys

import numpy as np
import pytest

import vorn
from needs import need
from cli_support import pulses, wd1_event, wd2_file, write


def hist_csv(path):
    """The CSV of `vorn hist` as {(input, channel): (underflow, counts in range, overflow, (low, high), no value)}."""
    series = {}
    for row in (line.split(",") for line in path.read_text().splitlines()[1:]):
        series.setdefault((row[0], int(row[1])), []).append((float(row[3]), float(row[4]), int(row[5])))
    return {key: (rows[0][2], sum(row[2] for row in rows[1:-2]), rows[-2][2], (rows[1][0], rows[-3][1]), rows[-1][2])
            for key, rows in series.items()}


def test_rows_without_a_value_are_counted_not_dropped(vorn_cli, tmp_path):
    need("boost_histogram")
    need("matplotlib")
    rng = np.random.default_rng(31)
    path = pulses(tmp_path / "p.dat", 150, rng)
    proc = vorn_cli("hist", path.name, "--of", "threshold_time", "--threshold", "600", "-o", "t.png", "--csv",
                    "t.csv", check=0)
    ((under, inside, over, _, no_value),) = hist_csv(tmp_path / "t.csv").values()
    assert 0 < no_value < 150 and under + inside + over + no_value == 150
    assert f"{no_value:,} rows without a value of threshold_time" in proc.stdout


def test_histograms_from_workers_equal_the_sequential_ones(vorn_cli, tmp_path):
    need("boost_histogram")
    need("matplotlib")
    rng = np.random.default_rng(28)
    names = [pulses(tmp_path / f"r{i}.dat", 80, rng, channel=i % 2).name for i in range(3)]
    common = ["--of", "charge", "--charge", "90", "250", "--range", "0", "2e5", "--bins", "37"]
    vorn_cli("hist", *names, *common, "-o", "a.png", "--csv", "a.csv", check=0)
    vorn_cli("hist", *names, *common, "-o", "b.png", "--csv", "b.csv", "--jobs", "2", check=0)
    lines = (tmp_path / "a.csv").read_text().splitlines()
    assert lines == (tmp_path / "b.csv").read_text().splitlines()
    assert {tuple(line.split(",")[:2]) for line in lines[1:]} == {("r0.dat", "0"), ("r1.dat", "1"), ("r2.dat", "0")}
    assert sum(sum(found[:3]) for found in hist_csv(tmp_path / "a.csv").values()) == 240


@pytest.mark.parametrize("run", [False, True], ids=["files", "run"])
@pytest.mark.parametrize("given_range", [None, (0.0, 400.0)])
def test_histograms_hide_no_input_whatever_its_scale(vorn_cli, tmp_path, given_range, run):
    """Pulses 50 times smaller in one file than in the other, and a flat one (a constant column).

    As files, all three are channel 0 of a series of their own; as a run,
    they are its channels 0, 1 and 2.
    """
    need("boost_histogram")
    need("matplotlib")
    features = pytest.importorskip("vorn_tools.features")
    rng = np.random.default_rng(29)
    flat = [wd1_event(np.full(256, 1000), counter=i, timestamp=125_000 * i) for i in range(120)]
    files = [pulses(tmp_path / "small.dat", 120, rng, scale=0.02), pulses(tmp_path / "big.dat", 120, rng),
             write(tmp_path / "flat.dat", *flat)]
    inputs = ["--run"] * run + [path.name for path in files]
    limits = ["--range", *given_range] if given_range else []
    proc = vorn_cli("hist", *inputs, "--of", "amplitude", *limits, "-o", "a.png", "--csv", "a.csv", check=0)
    found = hist_csv(tmp_path / "a.csv")
    run_name = next(iter(found))[0]
    keys = [(run_name, n) for n in range(3)] if run else [(path.name, 0) for path in files]
    assert sorted(found) == sorted(keys)
    warned = [line for line in proc.stderr.splitlines() if "outside the range" in line]
    for (name, channel), path in zip(keys, files):
        amplitude = features.compute(np.stack([e["data"] for e in vorn.EventReader(str(path), "WD1")]),
                                     features.FeatureOptions())["amplitude"]
        low, high = given_range or (-np.inf, np.inf)
        outside = (np.count_nonzero(amplitude < low), np.count_nonzero(amplitude >= high))
        assert found[name, channel][:3] == (outside[0], amplitude.size - sum(outside), outside[1]), path.name
        if given_range is None and np.ptp(amplitude) > 0:
            # Spread over most of its own range, not squeezed into a few bins of another's.
            low, high = found[name, channel][3]
            assert np.ptp(amplitude) > 0.8 * (high - low), path.name
        said = [line for line in warned if f" {name} channel {channel}: " in line]
        if sum(outside) * 100 > amplitude.size:
            assert len(said) == 1 and f"({sum(outside) / amplitude.size:.1%})" in said[0]
        else:
            assert not said
    assert all(line.startswith("vorn: warning: ") for line in warned)
    if given_range is None:
        assert not warned
        if not run:
            # Each worker decides the ranges of its own input: the same as in one process.
            vorn_cli("hist", *inputs, "--of", "amplitude", "-o", "b.png", "--csv", "b.csv", "--jobs", "2", check=0)
            assert (tmp_path / "a.csv").read_text() == (tmp_path / "b.csv").read_text()


@pytest.mark.parametrize("kind", ["WD2", "WD1"])
def test_float_samples_are_never_labelled_adc_counts(vorn_cli, tmp_path, kind):
    """WD2 samples, and WD1 samples read with --float32, hold volts or the board's units."""
    need("boost_histogram")
    need("matplotlib")
    from vorn_tools.plotting import plot_events

    rng = np.random.default_rng(30)
    if kind == "WD2":
        path, options = wd2_file(tmp_path / "f.bin", 20, 64, 2, True, rng), []
    else:
        waves = [rng.normal(0.0, 0.01, 64).astype("<f4") for _ in range(20)]
        path = write(tmp_path / "f.dat", *(wd1_event(np.frombuffer(w.tobytes(), "<u2"), counter=i)
                                           for i, w in enumerate(waves)))
        options = ["--float32"]
    vorn_cli("hist", path.name, "--type", kind, *options, "--of", "amplitude", "--csv", "a.csv", check=0)
    units = {line.split(",")[2] for line in (tmp_path / "a.csv").read_text().splitlines()[1:]}
    assert units and not any("ADC" in unit for unit in units)
    figure = plot_events(list(vorn.EventReader(str(path), kind))[:3], "f", float32=bool(options))
    assert all("ADC" not in ax.get_ylabel() for ax in figure.axes)


def two_channel_run(folder, events, rng):
    """A run of two WD1 channel files of 256-sample events with a negative pulse each, taller along the run."""
    folder.mkdir()
    t = np.arange(256)
    shape = np.exp(-np.maximum(t - 100, 0) / 20.0) * (t >= 100)
    header = struct.Struct("<6i")
    for channel in (0, 1):
        heights = rng.uniform(50, 900, events) * (1 + np.arange(events) / events) * (1 + channel)
        waves = np.clip(1000 + rng.normal(0, 3, (events, 256)) - heights[:, None] * shape, 0, 4095).astype("<u2")
        with open(folder / f"wave{channel}.dat", "wb") as out:
            for i in range(events):
                out.write(header.pack(24 + 512, 3, 5, channel, i, 1000 * i) + waves[i].tobytes())
    return folder


@pytest.mark.parametrize("suffix", [".parquet", ".h5", ".root"])
def test_a_table_histograms_as_the_files_it_was_made_from(vorn_cli, tmp_path, suffix):
    """The table of a run gives the run's series bin for bin, ranges, flows and warnings included.

    The run is measured in blocks of 8 MB of samples (8,192 events here) and
    the table read in blocks of its own; as the pulses grow along the run,
    a range taken from either first block would differ.
    """
    need("boost_histogram")
    need("matplotlib")
    need({".parquet": "pyarrow", ".h5": "h5py", ".root": "uproot"}[suffix])
    two_channel_run(tmp_path / "run", 20_000, np.random.default_rng(32))
    vorn_cli("features", "--run", "run", "-o", f"t{suffix}", "-q", check=0)
    raw = vorn_cli("hist", "--run", "run", "--of", "charge", "--csv", "raw.csv", "-o", "raw.png", "-q", check=0)
    table = vorn_cli("hist", f"t{suffix}", "--of", "charge", "--csv", "t.csv", "-o", "t.png", "-q", check=0)
    lines = {name: [line.split(",", 1)[1] for line in (tmp_path / name).read_text().splitlines()]
             for name in ("raw.csv", "t.csv")}
    assert lines["t.csv"] == lines["raw.csv"]
    found = hist_csv(tmp_path / "t.csv")
    assert sorted(channel for _, channel in found) == [0, 1]
    assert all(sum(counts[:3]) == 20_000 and counts[2] > 0 for counts in found.values())
    warned = [line.split(" channel ", 1)[1] for line in table.stderr.splitlines() if "outside the range" in line]
    assert len(warned) == 2
    assert warned == [line.split(" channel ", 1)[1] for line in raw.stderr.splitlines() if "outside the range" in line]


@pytest.mark.parametrize("of, where", [
    ("cfd_time@1 - cfd_time@0", "amplitude@0 > 600 and abs(amplitude@1 - amplitude@0 * 2) < 300"),
    ("charge / amplitude", "amplitude > 600 and channel == 1 or entry < 5"),
])
def test_a_cut_keeps_the_rows_numpy_keeps(tmp_path, monkeypatch, of, where):
    """hist's selection on a two-channel run's table, read in blocks of 7 rows so that the rows of events
    straddle blocks, against the same selection made with NumPy on the whole table."""
    need("boost_histogram")
    need("pyarrow")
    from vorn_tools import sizes
    from vorn_tools.analysis import tables
    from vorn_tools.spectra import Binning, TableInput, spectrum

    two_channel_run(tmp_path / "run", 300, np.random.default_rng(33))
    path = tmp_path / "t.parquet"
    subprocess.run([sys.executable, "-m", "vorn_tools", "features", "--run", str(tmp_path / "run"), "-o", str(path),
                    "-q"], check=True, capture_output=True)
    monkeypatch.setattr(sizes, "TABLE_READ_ROWS", 7)
    found, outcome = spectrum(TableInput(str(path), "t"), Binning(of, bins=20, where=where))
    assert outcome.error is None and outcome.rows == 600
    t = tables.read_table(str(path))
    first, second = (np.flatnonzero(t["channel"] == c) for c in (0, 1))
    assert np.array_equal(t["entry"][first], t["entry"][second])
    if "@" in of:
        a0, a1 = t["amplitude"][first], t["amplitude"][second]
        keep = (a0 > 600) & (np.abs(a1 - 2 * a0) < 300)
        expected = {-1: (t["cfd_time"][second] - t["cfd_time"][first])[keep]}
    else:
        keep = (t["amplitude"] > 600) & (t["channel"] == 1) | (t["entry"] < 5)
        expected = {c: (t["charge"] / t["amplitude"])[keep & (t["channel"] == c)] for c in (0, 1)}
    assert sorted(found) == sorted(expected) and all(v.size for v in expected.values())
    for channel, values in expected.items():
        one = found[channel]
        finite = values[np.isfinite(values)]
        edges = np.asarray(one.hist.axes[0].edges)
        counts = np.bincount(np.digitize(finite, edges), minlength=len(edges) + 1)
        assert one.hist.view(flow=True).tolist() == counts.tolist(), channel
        assert one.no_value == values.size - finite.size


def test_a_colour_map_counts_every_pair_once(vorn_cli, tmp_path):
    """--of X,Y: the CSV's bins, flows on either axis included, are NumPy's count of the (X, Y) pairs."""
    need("boost_histogram")
    need("matplotlib")
    need("pyarrow")
    from vorn_tools.analysis.tables import read_table

    two_channel_run(tmp_path / "run", 400, np.random.default_rng(34))
    vorn_cli("features", "--run", "run", "-o", "t.parquet", "-q", check=0)
    proc = vorn_cli("hist", "t.parquet", "--of", "charge, amplitude / 2", "--where", "channel == 1", "--bins", "7",
                    "--range", "3000", "40000", "--y-range", "50", "300", "--log", "--csv", "m.csv", "-o", "m.png",
                    check=0)
    t = read_table(str(tmp_path / "t.parquet"))
    x, y = t["charge"][t["channel"] == 1], t["amplitude"][t["channel"] == 1] / 2
    rows = [line.split(",") for line in (tmp_path / "m.csv").read_text().splitlines()[1:]]
    assert {(row[0], row[1]) for row in rows} == {("t.parquet", "1")}
    edges = [np.unique([float(row[k]) for row in rows[:-1] if np.isfinite(float(row[k]))]) for k in (4, 6)]
    assert [len(e) for e in edges] == [8, 8] and edges[0][[0, -1]].tolist() == [3000, 40000]
    expected = np.zeros((9, 9), dtype=int)
    np.add.at(expected, (np.digitize(x, edges[0]), np.digitize(y, edges[1])), 1)
    found = np.array([int(row[8]) for row in rows[:-1]]).reshape(9, 9)
    assert found.tolist() == expected.tolist()
    assert expected[1:-1, 1:-1].sum() and expected[-1].sum() and expected[:, -1].sum() and rows[-1][8] == "0"
    assert "outside the ranges" in proc.stderr


@pytest.mark.parametrize("options, edges", [
    ([], None),  # round bins over the 41 ms recorded
    (["--bins", "8"], None),
    (["--width", "2ms"], (0.0, 0.042, 21)),
    (["--range", "0.01", "0.03", "--bins", "4"], (0.01, 0.03, 4)),
    (["--range", "0", "0.05", "--width", "0.001"], (0.0, 0.05, 50)),
])
def test_the_bins_of_an_event_rate_follow_the_options(vorn_cli, tmp_path, options, edges):
    """--of time takes --bins, --range and --width as other values do; without --range its bins span the
    recording, of a round width."""
    need("boost_histogram")
    need("matplotlib")
    # 288 events at 7 kHz: 41 ms, in ticks of 8 ns.
    write(tmp_path / "t.dat", *(wd1_event([1000, 1001], counter=i, timestamp=round(i / 7000 / 8e-9))
                                for i in range(288)))
    vorn_cli("hist", "t.dat", "--of", "time", "--tick", "8ns", *options, "--csv", "t.csv", check=0)
    rows = [line.split(",") for line in (tmp_path / "t.csv").read_text().splitlines()[1:]]
    low, high = np.array([float(row[3]) for row in rows]), np.array([float(row[4]) for row in rows])
    width = high[0] - low[0]
    np.testing.assert_allclose(high - low, width, rtol=1e-9, atol=1e-15)
    if edges is None:
        asked = int(options[1]) if options else 100
        assert low[0] <= 0 < high[0] and low[-1] <= 287 / 7000 < high[-1]
        assert min(abs(width / 10 ** np.floor(np.log10(width) + 1e-9) - m) for m in (1, 2, 5)) < 1e-9
        assert asked / 2.5 <= len(rows) <= asked * 2.5
    else:
        np.testing.assert_allclose([low[0], high[-1], len(rows)], edges, rtol=1e-9, atol=1e-12)
    assert sum(int(row[5]) for row in rows) == (288 if options[:1] != ["--range"] else
                                                 np.count_nonzero((np.arange(288) / 7000 >= edges[0]) &
                                                                  (np.arange(288) / 7000 < edges[1])))


@pytest.mark.parametrize("events, options, said", [
    (40, ["--of", "threshold_time", "--threshold", "1e9"], "no value of threshold_time in the rows read (40 rows"
                                                           " without one)"),
    (1, ["--of", "time", "--tick", "8ns"], "1 event at one time, of no rate"),
])
def test_an_empty_histogram_is_no_picture(vorn_cli, tmp_path, events, options, said):
    need("boost_histogram")
    need("matplotlib")
    pulses(tmp_path / "p.dat", events, np.random.default_rng(35))
    proc = vorn_cli("hist", "p.dat", "--type", "WD1", *options, "-o", "h.png", check=1)
    assert proc.stderr == f"vorn: nothing to draw: {said}; h.png not written\n"
    assert not (tmp_path / "h.png").exists()
