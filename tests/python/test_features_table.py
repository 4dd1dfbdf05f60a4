"""`vorn features`, run as a user runs it: the table against the kernel, units and polarity."""

import importlib
import importlib.metadata
import json

import numpy as np
import pytest

import vorn
from needs import need
from cli_support import pulses, read_table, wd1_event, wd2_event, wd2_file, write


def read_provenance(path):
    """A table's metadata and each column's unit, read as each format keeps them."""
    if path.suffix == ".parquet":
        schema = need("pyarrow.parquet").read_schema(path)
        metadata = {k.decode(): v.decode() for k, v in schema.metadata.items()}
        return metadata, {f.name: f.metadata[b"unit"].decode() for f in schema}
    if path.suffix == ".h5":
        with need("h5py").File(path) as f:
            return dict(f.attrs), {k: f[k].attrs["unit"] for k in f}
    with need("uproot").open(path) as f:
        metadata = json.loads(f["provenance"].member("fTitle"))
        titles = {b.name: b.title for b in f["events"].branches}
    units = {name: title[len(name) + 2:-1] if title.startswith(f"{name} [") else "" for name, title in titles.items()}
    return metadata, units


@pytest.mark.parametrize("suffix", [".parquet", ".h5", ".root"])
def test_features_table_holds_what_the_kernel_measures(vorn_cli, tmp_path, suffix):
    need({".parquet": "pyarrow", ".h5": "h5py", ".root": "uproot"}[suffix])
    features = pytest.importorskip("vorn_tools.features")
    rng = np.random.default_rng(27)
    paths = [pulses(tmp_path / f"wave{c}.dat", 60, rng, channel=c) for c in (0, 3)]
    vorn_cli("features", *[p.name for p in paths], "--charge", 90, 200, "--tick", "8ns", "-o", f"t{suffix}",
             check=0)
    table = read_table(tmp_path / f"t{suffix}")
    options = features.FeatureOptions(charge=(90, 200))
    for number, path in enumerate(paths):
        events = list(vorn.EventReader(str(path), "WD1"))
        mine = table["file"] == number
        expected = features.compute(np.stack([e["data"] for e in events]), options)
        # Entries count each file's events from 0.
        assert table["entry"][mine].tolist() == list(range(len(events)))
        assert table["channel"][mine].tolist() == [e["board_channel"] for e in events]
        assert table["event_counter"][mine].tolist() == [e["event_counter"] for e in events]
        assert np.allclose(table["time"][mine], [8e-9 * e["timestamp"] for e in events], rtol=1e-12)
        for name, values in expected.items():
            assert np.array_equal(table[name][mine], values, equal_nan=True), name

    # The library's table of both files, in blocks that end mid-file, is the same.
    from vorn_tools.feature_table import feature_tables

    blocks = list(feature_tables([str(p) for p in paths], options, step_size=25))
    for name in blocks[0]:
        assert np.array_equal(np.concatenate([b[name] for b in blocks]), table[name], equal_nan=True), name

    metadata, units = read_provenance(tmp_path / f"t{suffix}")
    assert metadata["vorn_version"] == importlib.metadata.version("vorn")
    assert metadata["command"].split()[1:] == ["features", *[p.name for p in paths], "--charge", "90", "200",
                                               "--tick", "8ns", "-o", f"t{suffix}"]
    assert json.loads(metadata["options"])["charge"] == [90, 200]
    assert json.loads(metadata["sources"]) == [
        {"name": str(p), "size": p.stat().st_size, "bytes_read": p.stat().st_size} for p in paths]
    assert json.loads(metadata["polarity"]) == {str(p): {str(c): "negative"} for p, c in zip(paths, (0, 3))}
    assert json.loads(metadata["units"]) == units
    assert set(units) == set(table)
    assert (units["amplitude"], units["charge"], units["cfd_time"], units["time_tag"], units["time"]) == (
        "ADC counts", "ADC counts x samples", "samples", "ticks", "s")


@pytest.mark.parametrize("kind, suffix", [("WD1", ".parquet"), ("WD1", ".h5"), ("WD1", ".root"), ("WD2", ".h5")])
def test_a_calibrated_table_is_the_raw_one_scaled_with_its_units_recorded_and_drawn(vorn_cli, tmp_path, kind, suffix):
    """mV, pC and ns: each measured column the raw one times its factor, its unit in the table's metadata
    and on the histograms of the table and of the raw file alike."""
    need({".parquet": "pyarrow", ".h5": "h5py", ".root": "uproot"}[suffix])
    need("boost_histogram")
    need("matplotlib")
    rng = np.random.default_rng(32)
    if kind == "WD1":
        path = pulses(tmp_path / "wave0.dat", 60, rng)
        volts, units = 2.0 / 4096, ["--sample-period", "500MHz", "--adc-range", "2V", "--adc-bits", "12",
                                    "--impedance", "50ohm"]
    else:  # the period is the file's: sampling_period 8 times a tick of 250 ps; its samples are volts
        path = wd2_file(tmp_path / "w.wd2", 40, 64, 2, True, rng)
        volts, units = 1.0, ["--tick", "250ps", "--volts-per-count", "1V", "--impedance", "50"]
    vorn_cli("features", path.name, "--charge", 10, 60, "-o", f"raw{suffix}", check=0)
    vorn_cli("features", path.name, "--charge", 10, 60, *units, "-o", f"cal{suffix}", check=0)
    raw, calibrated = read_table(tmp_path / f"raw{suffix}"), read_table(tmp_path / f"cal{suffix}")
    raw_metadata, raw_units = read_provenance(tmp_path / f"raw{suffix}")
    metadata, found_units = read_provenance(tmp_path / f"cal{suffix}")
    factor = {name: (volts * 1e3, "mV") for name in ("baseline", "baseline_rms", "amplitude", "energy")}
    factor.update({name: (2.0, "ns") for name in ("threshold_time", "cfd_time", "rise_time", "fall_time", "fwhm",
                                                  "time_over_threshold", "energy_time")})
    factor["charge"] = (volts * 2e-9 / 50 * 1e12, "pC")
    assert set(factor) < set(raw)
    for name in raw:
        scale, unit = factor.get(name, (1.0, raw_units[name]))
        assert np.allclose(calibrated[name], raw[name] * scale, rtol=1e-12, equal_nan=True), name
        assert found_units[name] == unit, name
    assert raw_units["cfd_time"] == "samples" and raw_units["peak_index"] == found_units["peak_index"] == "samples"
    assert json.loads(metadata["units"]) == found_units
    (recorded,) = json.loads(metadata["calibration"]).values()
    assert recorded["sample_period_from"] == ("given" if kind == "WD1" else "file")
    assert np.isclose(recorded["sample_period_s"], 2e-9) and recorded["impedance_ohm"] == 50
    assert set(json.loads(raw_metadata["calibration"])[str(path)].values()) == {None}

    # A histogram of the table and one of the raw file measured with the same options agree, units included.
    of = ["--of", "amplitude, charge", "--range", "-1", "50", "--y-range", "-1", "1"]
    vorn_cli("hist", f"cal{suffix}", *of, "-o", "t.png", "--csv", "t.csv", check=0)
    vorn_cli("hist", path.name, "--charge", 10, 60, *units, *of, "-o", "r.png", "--csv", "r.csv", check=0)
    table_rows, raw_rows = ([line.split(",", 1)[1] for line in (tmp_path / f"{n}.csv").read_text().splitlines()]
                            for n in "tr")
    assert table_rows == raw_rows
    assert {tuple(row.split(",")[1:3]) for row in table_rows[1:]} == {("mV", "pC")}
    vorn_cli("hist", f"cal{suffix}", "--of", "cfd_time@1 - cfd_time@0" if kind == "WD2" else "fwhm", "--csv",
             "one.csv", "-o", "one.png", check=0)
    assert {line.split(",")[2] for line in (tmp_path / "one.csv").read_text().splitlines()[1:]} == {"ns"}


@pytest.mark.parametrize("layout", ["WD2", "run"])
def test_auto_polarity_per_channel_keeps_pedestals_at_zero(vorn_cli, tmp_path, layout):
    # Channel 0 sees negative pulses, channel 1 positive ones, in one event of
    # four; the other events are noise alone (pedestal). Auto polarity is
    # decided per channel, so pedestal rows keep its sign and their mean
    # charge is 0 within statistics, where a choice per waveform makes it
    # positive by several standard errors.
    need("pyarrow")
    rng = np.random.default_rng(5)
    events, samples = 800, 256
    t = np.arange(samples)
    shape = np.exp(-np.maximum(t - 100, 0) / 20.0) * (t >= 100)
    pedestal = np.arange(events) % 4 != 0
    waves = rng.normal(0, 3, (events, 2, samples))
    heights = rng.uniform(50, 900, events)[~pedestal, None] * shape
    waves[~pedestal, 0] -= heights
    waves[~pedestal, 1] += heights
    if layout == "WD2":
        write(tmp_path / "k2.wd2", *(wd2_event(i, w.ravel(), samples, channels=2, timestamp=10 * i)
                                      for i, w in enumerate(waves)))
        inputs = ["k2.wd2"]
    else:
        (tmp_path / "run").mkdir()
        for c in (0, 1):
            write(tmp_path / "run" / f"wave{c}.dat", *(wd1_event(np.rint(1000 + w[c]).astype(np.uint16), i, c, 10 * i)
                                                        for i, w in enumerate(waves)))
        inputs = ["--run", "run"]
    proc = vorn_cli("features", *inputs, "--charge", 90, 200, "-o", "t.parquet", check=0)
    assert "polarity: channel 0 negative, channel 1 positive\n" in proc.stdout
    table = read_table(tmp_path / "t.parquet")
    # A row per (event, channel), the event's entry on each.
    assert table["entry"].tolist() == np.repeat(np.arange(events), 2).tolist()
    assert table["channel"].tolist() == [0, 1] * events
    for c, sign in ((0, -1), (1, 1)):
        mine = table["channel"] == c
        assert (table["polarity"][mine] == sign).all()
        charge = table["charge"][mine][pedestal]
        assert abs(charge.mean()) < 4 * charge.std() / np.sqrt(len(charge)), (c, charge.mean())
        assert (table["charge"][mine][~pedestal] > 1000).all()


def test_pulse_table_holds_every_pulse_and_the_dark_count_rate(vorn_cli, tmp_path):
    need("pyarrow")
    from vorn_tools.pulses import PulseOptions, find_pulses

    rng = np.random.default_rng(29)
    t = np.arange(256)
    paths = []
    for channel in (0, 3):
        events = []
        for i in range(40):
            wave = 1000 + rng.normal(0, 3, 256)
            for at in rng.uniform(70, 240, rng.integers(0, 4)):
                s = np.maximum(t - at, 0)
                wave -= 300 * (np.exp(-s / 6) - np.exp(-s / 1.5))
            events.append(wd1_event(np.round(wave), counter=i, channel=channel, timestamp=100 * i))
        paths.append(write(tmp_path / f"c{channel}.dat", *events))
    proc = vorn_cli("pulses", "c0.dat", "c3.dat", "--threshold", 40, "--hysteresis", 10, "--sample-period", "2ns",
                    "--exclude", 100, 120, "--tick", "8ns", "-o", "p.parquet", check=0)
    table = read_table(tmp_path / "p.parquet")
    options = PulseOptions(threshold=40, hysteresis=10)
    lines = []
    for number, (path, channel) in enumerate(zip(paths, (0, 3))):
        events = list(vorn.EventReader(str(path), "WD1"))
        found = find_pulses(np.stack([e["data"] for e in events]), options)
        mine = table["file"] == number
        assert table["entry"][mine].tolist() == found["row"].tolist()
        assert set(table["channel"][mine].tolist()) == {channel}
        assert np.allclose(table["time"][mine], 8e-9 * 100 * found["row"], rtol=1e-12)
        for name in ("pulse", "peak_index", "amplitude"):
            assert np.array_equal(table[name][mine], found[name]), name
        # With the sample period alone, times are in ns and charges in ADC counts x ns.
        for name in ("start_time", "fwhm", "time_over_threshold", "delay", "charge"):
            assert np.allclose(table[name][mine], 2 * found[name], rtol=1e-12, equal_nan=True), name
        start = found["start_time"]
        counted = int(((start < 100) | (start >= 120)).sum())
        seconds = 40 * (256 - 20) * 2e-9
        lines.append(f"channel {channel}: dark-count rate {counted / seconds:.4g} Hz, {counted:,} pulses in"
                     f" {seconds:.4g} s of waveform outside samples [100, 120)")
    assert len(table["entry"]) > 40
    assert proc.stdout.splitlines()[-2:] == lines
    _, units = read_provenance(tmp_path / "p.parquet")
    assert (units["start_time"], units["delay"], units["amplitude"], units["charge"], units["peak_index"]) == (
        "ns", "ns", "ADC counts", "ADC counts x ns", "samples")
