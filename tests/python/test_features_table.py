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


def _events(path, lengths, rng, level=1000, pulse=-300, top=2**14 - 1, at=150, pulses_at=None, noise=3.0):
    """WD1 events of a 14-bit ADC in uint16: a noisy `level`, a pulse of height `pulse` (one each, or each
    event's own) at sample `at` (or each event's own `pulses_at`), clipped to [0, top] as the ADC clips."""
    events = []
    heights = np.broadcast_to(pulse, len(lengths))
    starts = np.broadcast_to(at if pulses_at is None else pulses_at, len(lengths))
    for i, (n, height, start) in enumerate(zip(lengths, heights, starts)):
        t = np.arange(n)
        wave = level + rng.normal(0, noise, n) + height * np.exp(-np.maximum(t - start, 0) / 20.0) * (t >= start)
        events.append(wd1_event(np.clip(np.round(wave), 0, top).astype(np.uint16), counter=i, timestamp=1000 * i))
    return write(path, *events)


WINDOWS = [  # on events of 406 samples: the widest window that fits, and the flag it is given by
    (["--baseline", 0, 406], "--baseline"),
    (["--charge", 10, 406], "--charge"),
    (["--charge-peak", 200, 206], "--charge-peak"),
    (["--psd-split", 405], "--psd-split"),
    (["--trap", 200, 6], "--trap"),
    (["--trap", 10, 10, "--pickoff", 341], "--pickoff"),  # a crossing at sample 64 at the earliest, read 341 later
    (["--exclude", 0, 406], "--exclude"),
]


@pytest.mark.parametrize("window, flag", WINDOWS)
def test_a_window_that_does_not_fit_the_events_is_refused_before_anything_is_written(vorn_cli, tmp_path, window,
                                                                                      flag):
    need("pyarrow")
    _events(tmp_path / "e.wd1", [406] * 20, np.random.default_rng(3))
    verb = "pulses" if flag == "--exclude" else "features"
    vorn_cli(verb, "e.wd1", *window, "-o", "fits.parquet", check=0)
    one_more = window[:-1] + [window[-1] + 1]
    proc = vorn_cli(verb, "e.wd1", *one_more, "-o", "t.parquet", check=2)
    assert proc.stderr.startswith(f"vorn: {flag}: ") and proc.stderr.endswith(", and the first of e.wd1 has 406\n")
    assert len(proc.stderr.splitlines()) == 1 and not (tmp_path / "t.parquet").exists()


def test_the_default_baseline_takes_a_short_event_whole_and_the_same_window_given_is_refused(vorn_cli, tmp_path):
    need("pyarrow")
    _events(tmp_path / "e.wd1", [40] * 5, np.random.default_rng(3))
    vorn_cli("features", "e.wd1", "-o", "default.parquet", check=0)
    proc = vorn_cli("features", "e.wd1", "--baseline", 0, 64, "-o", "given.parquet", check=2)
    assert proc.stderr == "vorn: --baseline: the baseline window [0, 64) needs events of 64 samples, and the first" \
                          " of e.wd1 has 40\n"


def test_events_of_other_lengths_a_window_does_not_fit_are_counted_and_named(vorn_cli, tmp_path):
    need("pyarrow")
    from vorn_tools.feature_table import TableRecord, feature_tables
    from vorn_tools.features import FeatureOptions, compute
    from vorn_tools.pipeline import iterate

    lengths = [406] * 30
    short = [3, 17, 18, 19, 20, 21, 25]
    for i in short:
        lengths[i] = 250
    _events(tmp_path / "e.wd1", lengths, np.random.default_rng(4))
    proc = vorn_cli("features", "e.wd1", "--baseline", 0, 300, "-o", "t.parquet", check=0)
    line = ("vorn: e.wd1: the baseline window [0, 300) does not fit 7 events of fewer than 300 samples (entries 3, 17,"
            " 18, 19, 20 and 2 more): clipped to them")
    assert proc.stderr.splitlines() == [line]
    # Measured with the window clipped to them, as the kernel measures a flat block.
    table = read_table(tmp_path / "t.parquet")
    events = list(vorn.EventReader(str(tmp_path / "e.wd1"), "WD1"))
    for i in short:
        assert table["baseline"][i] == events[i]["data"][:250].mean()
    # The library counts them alike: the table's record, and each block of the reading pipeline.
    options = FeatureOptions(baseline=(0, 300))
    record = TableRecord()
    list(feature_tables([str(tmp_path / "e.wd1")], options, record=record, step_size=8))
    assert record.unfit.events == {"the baseline window [0, 300)": 7} and record.notes() == [line[13:]]
    counted = [block.unfit.events for block in iterate(str(tmp_path / "e.wd1"), 8, features=options)]
    per_block = [sum(start <= i < start + 8 for i in short) for start in range(0, 30, 8)]
    assert counted == [{"the baseline window [0, 300)": n} if n else {} for n in per_block]
    with pytest.raises(ValueError, match=r"^the baseline window \[0, 300\) reaches past the end of waveforms of 250"):
        compute(np.zeros((2, 250), np.uint16), options)


RECORDINGS = {
    # name: (level, pulse, where the pulses start, the lines said, which events are clipped)
    "clean": (1000, -300, 150, []),
    "quiet": (1000, -300, 150, []),  # no noise: the baseline, its largest value, is flat but no ADC's largest code
    "baseline at full scale": (2**14 - 1, -3000, 150, [
        "channel 0: 200 of 200 events hold samples at the ADC's full scale (16383, the plateau of its largest"
        " value) or at 0: clipped, their amplitudes and charges are not the signal's (the saturated column flags"
        " them)",
        "channel 0: the baseline window [0, 64) holds clipped samples in 200 of 200 events: their baselines are"
        " not a resting level"]),
    "peaks at full scale": (1000, "tall", 150, [
        "channel 0: {clipped} of 200 events hold samples at the ADC's full scale (16383, the plateau of its largest"
        " value) or at 0: clipped, their amplitudes and charges are not the signal's (the saturated column flags"
        " them)"]),
    "pulses in the baseline window": (1000, 500, "early", [
        "channel 0: the baseline window [0, 64) holds pulses in {early} of 200 events: their baselines are not a"
        " resting level (--baseline moves it)"]),
}


@pytest.mark.parametrize("verb", ["features", "pulses", "hist", "fit"])
@pytest.mark.parametrize("recording", list(RECORDINGS))
def test_clipped_samples_and_unsettled_baselines_are_said_per_channel(vorn_cli, tmp_path, recording, verb):
    need("pyarrow")
    for module in {"hist": ["boost_histogram", "matplotlib"], "fit": ["iminuit", "scipy"]}.get(verb, []):
        need(module)
    rng = np.random.default_rng(8)
    level, pulse, at, lines = RECORDINGS[recording]
    heights = rng.uniform(20000, 30000, 200) * (rng.random(200) < 0.4) if pulse == "tall" else pulse
    starts = np.where(rng.random(200) < 0.8, 20, 150) if at == "early" else at
    _events(tmp_path / "e.wd1", [406] * 200, rng, level, heights, pulses_at=starts,
            noise=0 if recording == "quiet" else 3)
    data = np.stack([e["data"] for e in vorn.EventReader(str(tmp_path / "e.wd1"), "WD1")])
    clipped = ((data == 2**14 - 1) | (data == 0)).any(axis=1)
    lines = [line.format(clipped=int(clipped.sum()), early=int((np.asarray(starts) == 20).sum())) for line in lines]
    if verb == "pulses":  # a table of pulses has no saturated column
        lines = [line.replace(" (the saturated column flags them)", "") for line in lines]
    run = {"features": ["features", "-o", "t.parquet"], "pulses": ["pulses", "-o", "p.parquet"],
           "hist": ["hist", "--of", "amplitude", "-o", "h.png"], "fit": ["fit", "gauss", "--of", "baseline"]}[verb]
    proc = vorn_cli(*run, "e.wd1", check=None if verb == "fit" else 0)
    said = proc.stderr.splitlines()
    if verb == "fit":  # which may fail to fit such baselines, and say so
        said = [line for line in said if line.startswith("vorn: e.wd1: ")]
    assert said == [f"vorn: e.wd1: {line}" for line in lines]
    if verb == "features":
        from vorn_tools.features import FeatureOptions
        from vorn_tools.pipeline import iterate

        assert read_table(tmp_path / "t.parquet")["saturated"].tolist() == clipped.tolist()
        # The reading pipeline flags the same events.
        blocks = iterate(str(tmp_path / "e.wd1"), 64, features=FeatureOptions())
        assert np.concatenate([block["saturated"] for block in blocks]).tolist() == clipped.tolist()
