"""The examples, run on files written here, checked against what was written.

matplotlib and dask are optional (the `examples` extra); their tests skip
when those are not installed.
"""

import importlib
import re
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from eventfiles import child_env, wd1_event, wd2_event, write_in_pieces
from needs import need

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture
def examples_path(monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))


def example(name):
    return importlib.import_module(name)


def run_example(name, *args, cwd=None):
    # The examples import vorn from wherever this test run imports it.
    return subprocess.run([sys.executable, str(EXAMPLES / f"{name}.py"), *args], cwd=cwd,
                          env=child_env(MPLBACKEND="Agg"),
                          capture_output=True, text=True, timeout=300)


# --- files written here, independently of examples/sample_files.py --------

def wd1_file(path, events):
    """events: (board_channel, event_counter, timestamp, samples) tuples."""
    with open(path, "wb") as f:
        for channel, counter, timestamp, samples in events:
            data = np.asarray(samples, dtype="<u2")
            f.write(wd1_event(None, 3, 0, channel, counter, timestamp, data.tobytes()))
    return str(path)


def wd2_file(path, events, channels, samples, period=8, word=True):
    """events: (event_counter, timestamp, data) with channels*samples float32 values."""
    with open(path, "wb") as f:
        for counter, timestamp, data in events:
            f.write(wd2_event(counter, timestamp, samples, period,
                              np.asarray(data, dtype="<f4").tobytes(), channels if word else None))
    return str(path)


def random_wd1(path, rng, events=12, lengths=(0, 1, 7, 300), channels=3, first_counter=0):
    written = []
    for i in range(events):
        n = int(rng.choice(lengths))
        written.append((int(rng.integers(channels)), first_counter + i, int(rng.integers(-2**31, 2**31)),
                        rng.integers(0, 2**16, n, dtype=np.uint16)))
    return wd1_file(path, written), written


def random_wd2(path, rng, events=6, channels=3, samples=50, first_counter=0, word=True):
    written = [((first_counter + i) % 2**32, int(rng.integers(0, 2**63)) * 2,
                rng.normal(0, 1, channels * samples).astype(np.float32)) for i in range(events)]
    return wd2_file(path, written, channels, samples, word=word), written


def expected_channels(blocks):
    """{channel: list of sample arrays} -> {channel: (events, samples, min, max, mean, std)}."""
    out = {}
    for channel, arrays in blocks.items():
        values = np.concatenate(arrays).astype(np.float64)
        out[channel] = (len(arrays), values.size, values.min(), values.max(), values.mean(), values.std())
    return out


def actual_channels(summary):
    return {c: (s.events, s.samples, s.minimum, s.maximum, s.mean, s.std) for c, s in summary.channels.items()}


def assert_channels(summary, blocks):
    actual, expected = actual_channels(summary), expected_channels(blocks)
    assert actual.keys() == expected.keys()
    for channel, (events, samples, lo, hi, mean, std) in expected.items():
        assert actual[channel][:4] == (events, samples, lo, hi)
        assert actual[channel][4:] == pytest.approx((mean, std), rel=1e-9, abs=1e-9)


# --- summarize ----------------------------------------------------------------

@pytest.mark.usefixtures("examples_path")
class TestSummarize:
    def test_wd1_counts_counters_timestamps_and_channels(self, tmp_path):
        rng = np.random.default_rng(7)
        path, written = random_wd1(tmp_path / "a.wd1", rng, lengths=(5, 300, 1000))
        summary = example("summarize").summarize_file(path, "WD1")
        assert summary.events == len(written)
        assert summary.samples == sum(len(s) for *_, s in written)
        assert (summary.first_counter, summary.last_counter) == (written[0][1], written[-1][1])
        assert (summary.first_timestamp, summary.last_timestamp) == (written[0][2], written[-1][2])
        assert summary.counter_gaps == 0
        blocks = {}
        for channel, _, _, samples in written:
            blocks.setdefault(channel, []).append(samples)
        assert_channels(summary, blocks)

    def test_empty_events_count_as_events_not_samples(self, tmp_path):
        path = wd1_file(tmp_path / "e.wd1", [(0, 0, 0, []), (0, 1, 0, [5, 9]), (1, 2, 0, [])])
        summary = example("summarize").summarize_file(path, "WD1")
        assert (summary.events, summary.samples) == (3, 2)
        assert actual_channels(summary)[0][:4] == (2, 2, 5, 9)
        assert actual_channels(summary)[1][:2] == (1, 0)

    def test_counter_gaps_and_32_bit_wrap(self, tmp_path):
        counters = [2**31 - 2, 2**31 - 1, -2**31, -2**31 + 5, -2**31 + 6, 40]
        path = wd1_file(tmp_path / "g.wd1", [(0, c, 0, [1]) for c in counters])
        assert example("summarize").summarize_file(path, "WD1").counter_gaps == 2
        rng = np.random.default_rng(1)
        path, _ = random_wd2(tmp_path / "w.wd2", rng, first_counter=2**32 - 3)
        summary = example("summarize").summarize_file(path, "WD2")
        assert (summary.first_counter, summary.last_counter, summary.counter_gaps) == (2**32 - 3, 2, 0)

    @pytest.mark.parametrize("channels, word", [(3, True), (1, True), (1, False)])
    def test_wd2_channel_blocks(self, tmp_path, channels, word):
        rng = np.random.default_rng(channels)
        samples = 40
        path, written = random_wd2(tmp_path / "b.wd2", rng, channels=channels, samples=samples, word=word)
        summary = example("summarize").summarize_file(path, "WD2")
        assert summary.events == len(written)
        assert summary.samples == len(written) * channels * samples
        assert (summary.first_timestamp, summary.last_timestamp) == (written[0][1], written[-1][1])
        blocks = {c: [data[c * samples:(c + 1) * samples] for _, _, data in written] for c in range(channels)}
        assert_channels(summary, blocks)

    def test_merged_statistics_do_not_depend_on_the_split(self):
        summarize = example("summarize")
        rng = np.random.default_rng(3)
        values = rng.normal(1e4, 3.0, 5000)
        whole = summarize.ChannelStats()
        whole.add(values)
        merged = summarize.ChannelStats()
        for part in np.split(values, [10, 11, 11, 2000, 4999]):
            piece = summarize.ChannelStats()
            piece.add(part)
            merged.merge(piece)
        assert merged.samples == whole.samples == values.size
        assert merged.events == 6
        assert (merged.minimum, merged.maximum) == (values.min(), values.max())
        assert (merged.mean, merged.std) == pytest.approx((values.mean(), values.std()), rel=1e-12)

    def test_cli_without_arguments_lists_and_summarises_a_sample(self, tmp_path):
        proc = run_example("summarize")
        assert proc.returncode == 0, proc.stderr
        written = example("sample_files").write_wd1(tmp_path / "same.wd1")
        lines = proc.stdout.splitlines()
        per_event = [line for line in lines if line.startswith("event_size=")]
        assert len(per_event) == len(written)
        for line, data in zip(per_event, written):
            assert line.endswith(f"n={data.size} min={data.min()} max={data.max()}")
        assert f"(WD1): {len(written)} events, {sum(d.size for d in written)} samples" in proc.stdout

    def test_cli_table_matches_the_file(self, tmp_path):
        rng = np.random.default_rng(11)
        path, written = random_wd1(tmp_path / "c.wd1", rng, lengths=(10, 20))
        proc = run_example("summarize", path, "WD1")
        assert proc.returncode == 0, proc.stderr
        rows = {}
        for line in proc.stdout.splitlines():
            fields = line.split()
            if len(fields) == 7 and fields[0].isdigit():
                rows[int(fields[0])] = [int(fields[1]), int(fields[2]), float(fields[3]), float(fields[4])]
        blocks = {}
        for channel, _, _, samples in written:
            blocks.setdefault(channel, []).append(samples)
        assert rows == {c: list(v[:4]) for c, v in expected_channels(blocks).items()}
        assert "event_size=" not in proc.stdout

    def test_cli_needs_the_reader_type_with_a_file(self, tmp_path):
        path = wd1_file(tmp_path / "x.wd1", [])
        proc = run_example("summarize", path)
        assert proc.returncode == 2
        assert "WD1 or WD2" in proc.stderr


# --- gather_array -----------------------------------------------------------

@pytest.mark.usefixtures("examples_path")
class TestGather:
    def test_wd1_rows_are_the_events(self, tmp_path):
        rng = np.random.default_rng(5)
        path, written = random_wd1(tmp_path / "a.wd1", rng, lengths=(64,))
        gathered = example("gather_array").gather(path, "WD1")
        assert gathered.waveforms.dtype == np.uint16
        np.testing.assert_array_equal(gathered.waveforms, np.stack([s for *_, s in written]))
        assert gathered.headers["board_channel"].tolist() == [c for c, *_ in written]
        assert gathered.headers["timestamp"].tolist() == [t for _, _, t, _ in written]
        assert gathered.headers["event_size"].tolist() == [24 + 2 * 64] * len(written)
        assert all(v.dtype == np.int32 for v in gathered.headers.values())

    def test_wd2_by_channel_is_a_view(self, tmp_path):
        rng = np.random.default_rng(6)
        path, written = random_wd2(tmp_path / "b.wd2", rng, channels=3, samples=20)
        gathered = example("gather_array").gather(path, "WD2")
        expected = np.stack([d for *_, d in written])
        np.testing.assert_array_equal(gathered.waveforms, expected)
        assert gathered.waveforms.dtype == np.float32
        # timestamps above 2**63 need the unsigned 64-bit column
        assert gathered.headers["timestamp"].dtype == np.uint64
        assert gathered.headers["timestamp"].tolist() == [t for _, t, _ in written]
        channels = gathered.by_channel()
        assert channels.shape == (len(written), 3, 20)
        assert np.shares_memory(channels, gathered.waveforms)
        np.testing.assert_array_equal(channels[:, 1, :], expected[:, 20:40])

    def test_different_lengths_are_refused(self, tmp_path):
        path = wd1_file(tmp_path / "d.wd1", [(0, 0, 0, [1, 2]), (0, 1, 0, [1, 2]), (0, 2, 0, [1, 2, 3])])
        with pytest.raises(ValueError, match="event 2 has 3 samples but event 0 has 2"):
            example("gather_array").gather(path, "WD1")

    def test_empty_file(self, tmp_path):
        gathered = example("gather_array").gather(wd1_file(tmp_path / "e.wd1", []), "WD1")
        assert gathered.waveforms.shape == (0, 0)
        assert gathered.waveforms.dtype == np.uint16
        assert all(v.size == 0 for v in gathered.headers.values())

    def test_cli_writes_an_npz(self, tmp_path):
        rng = np.random.default_rng(8)
        path, written = random_wd2(tmp_path / "f.wd2", rng, channels=2, samples=16)
        out = tmp_path / "events.npz"
        proc = run_example("gather_array", path, "WD2", "-o", str(out))
        assert proc.returncode == 0, proc.stderr
        with np.load(out) as saved:
            np.testing.assert_array_equal(saved["waveforms"], np.stack([d for *_, d in written]))
            assert saved["event_counter"].tolist() == list(range(len(written)))
            assert saved["channels"].tolist() == [2] * len(written)

    def test_cli_reports_uneven_files(self, tmp_path):
        path = wd1_file(tmp_path / "u.wd1", [(0, 0, 0, [1]), (0, 1, 0, [])])
        proc = run_example("gather_array", path, "WD1")
        assert proc.returncode == 1
        assert "event 1 has 0 samples" in proc.stderr


# --- follow -------------------------------------------------------------------

@pytest.mark.usefixtures("examples_path")
class TestFollow:
    def test_events_flushed_in_blocks_arrive_whole(self, tmp_path):
        rng = np.random.default_rng(9)
        whole, written = random_wd1(tmp_path / "whole.wd1", rng, events=5, lengths=(8, 3000))
        raw = Path(whole).read_bytes()
        path = tmp_path / "g.wd1"
        path.write_bytes(b"")
        # Blocks of 1000 bytes end inside headers and inside samples, and the
        # follower polls faster than they come.
        thread = write_in_pieces(path, raw, 1000, 0.05)
        seen = list(example("follow").follow(str(path), "WD1", poll=0.005, idle=2.0))
        thread.join()
        assert [e["event_counter"] for e in seen] == [w[1] for w in written]
        for event, (*_, samples) in zip(seen, written):
            np.testing.assert_array_equal(event["data"], samples)

    def test_waits_for_a_wd2_file_to_become_readable(self, tmp_path):
        rng = np.random.default_rng(10)
        whole, written = random_wd2(tmp_path / "whole.wd2", rng, events=3, channels=2, samples=4)
        raw = Path(whole).read_bytes()
        path = tmp_path / "growing.wd2"
        path.write_bytes(raw[:30])  # not even one event: detection cannot run yet
        follow = example("follow")
        with pytest.raises(OSError, match="failed to fill whole buffer"):
            follow.open_when_ready(str(path), "WD2", poll=0.01, idle=0.05)
        path.write_bytes(raw)
        events = list(follow.follow(str(path), "WD2", poll=0.01, idle=0.1))
        assert [e["event_counter"] for e in events] == [c for c, _, _ in written]
        for event, (_, _, data) in zip(events, written):
            np.testing.assert_array_equal(event["data"], data)

    def test_demo(self):
        proc = run_example("follow")
        assert proc.returncode == 0, proc.stderr
        counters = re.findall(r"^event_counter=(\d+) ", proc.stdout, flags=re.M)
        assert counters == [str(i) for i in range(10)]
        assert proc.stdout.splitlines()[-1].startswith("10 events")


# --- plot_waveforms -----------------------------------------------------------

def png_size(path):
    header = Path(path).read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n" and header[12:16] == b"IHDR"
    return struct.unpack(">II", header[16:24])


@pytest.mark.usefixtures("examples_path")
class TestPlot:
    @pytest.fixture(autouse=True)
    def matplotlib(self):
        pytest.importorskip("matplotlib")

    def test_wd1_lines_are_the_first_events(self, tmp_path):
        import matplotlib.pyplot as plt
        rng = np.random.default_rng(12)
        path, written = random_wd1(tmp_path / "p.wd1", rng, events=6, lengths=(50, 80))
        fig = example("plot_waveforms").plot_waveforms(path, "WD1", events=4)
        try:
            lines = fig.axes[0].get_lines()
            assert len(lines) == 4
            for line, (*_, samples) in zip(lines, written):
                np.testing.assert_array_equal(line.get_ydata(), samples)
                np.testing.assert_array_equal(line.get_xdata(), np.arange(samples.size))
        finally:
            plt.close(fig)

    def test_wd2_one_panel_per_channel_against_time(self, tmp_path):
        import matplotlib.pyplot as plt
        rng = np.random.default_rng(13)
        path, written = random_wd2(tmp_path / "p.wd2", rng, events=3, channels=2, samples=30)
        fig = example("plot_waveforms").plot_waveforms(path, "WD2", events=5)
        try:
            assert len(fig.axes) == 2
            for channel, ax in enumerate(fig.axes):
                lines = ax.get_lines()
                assert len(lines) == 3
                for line, (_, _, data) in zip(lines, written):
                    np.testing.assert_array_equal(line.get_ydata(), data[channel * 30:(channel + 1) * 30])
                    np.testing.assert_array_equal(line.get_xdata(), np.arange(30) * 8)
        finally:
            plt.close(fig)

    def test_cli_writes_a_png_of_the_promised_size(self, tmp_path):
        plot = example("plot_waveforms")
        rng = np.random.default_rng(14)
        path, _ = random_wd1(tmp_path / "q.wd1", rng, lengths=(100,))
        out = tmp_path / "first.png"
        proc = run_example("plot_waveforms", path, "WD1", "-n", "3", "-o", str(out))
        assert proc.returncode == 0, proc.stderr
        assert png_size(out) == tuple(round(x * plot.DPI) for x in plot.SIZE_INCHES)

    def test_cli_without_arguments(self, tmp_path):
        plot = example("plot_waveforms")
        proc = run_example("plot_waveforms", cwd=tmp_path)
        assert proc.returncode == 0, proc.stderr
        assert png_size(tmp_path / "waveforms.png") == tuple(round(x * plot.DPI) for x in plot.SIZE_INCHES)


# --- dask_files ---------------------------------------------------------------

@pytest.fixture(scope="module")
def client():
    # Workers as threads of this process: quick to start, and enough to
    # exercise scheduling, pickling of results and gathering.
    distributed = pytest.importorskip("dask.distributed")
    with distributed.Client(processes=False, n_workers=2, threads_per_worker=1,
                            dashboard_address=None) as client:
        yield client


@pytest.mark.usefixtures("examples_path")
class TestDask:
    def test_totals_equal_a_serial_computation(self, tmp_path, client):
        rng = np.random.default_rng(15)
        files, blocks, events, samples = [], {}, 0, 0
        for i in range(5):
            path, written = random_wd1(tmp_path / f"run{i}.wd1", rng, events=int(rng.integers(0, 20)))
            files.append(path)
            events += len(written)
            for channel, _, _, data in written:
                blocks.setdefault(channel, []).append(data)
                samples += data.size
        dask_files = example("dask_files")
        summaries = dask_files.summarize_many(client, files, "WD1")
        assert [s.path for s in summaries] == files
        serial = [example("summarize").summarize_file(p, "WD1") for p in files]
        assert [(s.events, s.samples, s.last_counter) for s in summaries] == \
            [(s.events, s.samples, s.last_counter) for s in serial]
        total = dask_files.combine(summaries)
        assert (total.events, total.samples) == (events, samples)
        assert_channels(total, blocks)

    def test_wd2_files(self, tmp_path, client):
        rng = np.random.default_rng(16)
        files, blocks = [], {}
        for i in range(3):
            path, written = random_wd2(tmp_path / f"run{i}.wd2", rng, channels=2, samples=10)
            files.append(path)
            for _, _, data in written:
                blocks.setdefault(0, []).append(data[:10])
                blocks.setdefault(1, []).append(data[10:])
        total = example("dask_files").combine(example("dask_files").summarize_many(client, files, "WD2"))
        assert_channels(total, blocks)

    def test_a_bad_file_raises_its_error(self, tmp_path, client):
        good = wd1_file(tmp_path / "good.wd1", [(0, 0, 0, [1])])
        bad = tmp_path / "bad.wd1"
        bad.write_bytes(struct.pack("<6i", 8, 0, 0, 0, 0, 0))
        with pytest.raises(OSError, match="invalid WD1 event_size 8"):
            example("dask_files").summarize_many(client, [good, str(bad)], "WD1")

    def test_cli_on_a_local_cluster(self, tmp_path):
        pytest.importorskip("dask.distributed")
        rng = np.random.default_rng(17)
        files = [random_wd1(tmp_path / f"r{i}.wd1", rng, events=4, lengths=(3,))[0] for i in range(3)]
        proc = run_example("dask_files", "--threads", "--type", "WD1", *files)
        assert proc.returncode == 0, proc.stderr
        assert "3 files (WD1): 12 events, 36 samples" in proc.stdout


# --- dask_features --------------------------------------------------------------

def wd1_mixed(path, rng):
    """Events of one length, then of another (the file's blocks turn flat), then an event cut short."""
    events = [(i % 2, i, int(rng.integers(-2**31, 2**31)), rng.integers(0, 4000, 40 if i < 30 else 60))
              for i in range(55)]
    wd1_file(path, events)
    with open(path, "ab") as f:
        f.write(wd1_event(None, 3, 0, 0, 55, 0, rng.integers(0, 4000, 60).tolist())[:70])
    return str(path)


@pytest.mark.parametrize("kind, step", [("wd1", 7), ("wd1", "2 kB"), ("wd2", 5), ("run", 64)])
@pytest.mark.usefixtures("examples_path")
def test_dask_features_are_the_feature_table_one_partition_per_block(tmp_path, client, kind, step):
    need("dask.dataframe")
    need("boost_histogram")
    pd = need("pandas")
    from vorn_tools import dask as vorn_dask
    from vorn_tools.feature_table import feature_tables
    from vorn_tools.features import FeatureOptions
    from vorn_tools.reading import iterate
    from vorn_tools.runs import open_run

    rng = np.random.default_rng(23)
    options = FeatureOptions(baseline=(0, 8))
    if kind == "wd1":  # timestamps that wrap; events of one size, and a file read through
        files = [wd1_file(tmp_path / "a.wd1", [(1, i, int(rng.integers(-2**31, 2**31)), rng.integers(0, 4000, 40))
                                               for i in range(50)]),
                 wd1_mixed(tmp_path / "b.wd1", rng)]
    elif kind == "wd2":
        files = [random_wd2(tmp_path / f"{i}.wd2", rng, events=12 + i, channels=2, samples=20)[0] for i in range(2)]
    else:
        files = [str(p) for p in example("pulse_run").write_run(tmp_path / "run", events=300, channels=2)]
    run = kind == "run"
    # The table as the command makes it, an input at a time, with the same blocks (auto polarity is decided
    # from each channel's first block).
    tables = feature_tables(files, options, run=True, step_size=step) if run else \
        [rows for i, path in enumerate(files) for rows in feature_tables([path], options, step_size=step, file=i)]
    table = pd.concat([pd.DataFrame(rows) for rows in tables], ignore_index=True)

    frame = vorn_dask.features(files, options, step, run=run)
    blocks = len(list(open_run(files, step))) if run else sum(len(list(iterate(p, step))) for p in files)
    assert frame.npartitions == blocks
    pd.testing.assert_frame_equal(frame.compute().reset_index(drop=True), table)
    # Histograms of the partitions add up to the whole table's.
    amplitudes = example("dask_features").histogram(frame, "amplitude", 50, 0.0, 4000.0).compute()
    assert amplitudes.values().tolist() == np.histogram(table["amplitude"], 50, (0.0, 4000.0))[0].tolist()


@pytest.mark.usefixtures("examples_path")
def test_pulse_run_is_a_run_of_matched_channels(tmp_path):
    import vorn_tools

    paths = example("pulse_run").write_run(tmp_path / "run", events=300)
    run = vorn_tools.open_run(str(tmp_path / "run"))
    blocks = list(run)
    assert (sum(b.events for b in blocks), run.report.aligned, [c.path for c in run.channels]) == \
        (300, True, [str(p) for p in paths])


def test_the_walk_through_recovers_the_generated_gain_in_picocoulombs(tmp_path, examples_path):
    for module in ("iminuit", "scipy", "pyarrow"):
        need(module)
    import json

    sipm = example("sipm_run")
    sipm.write_run(tmp_path / "run", events=6000)
    vorn = [sys.executable, "-m", "vorn_tools"]
    calibration = ["--tick", "8ns", "--sample-period", f"{sipm.SAMPLE_NS}ns", "--adc-range", "2V", "--adc-bits", "14",
                   "--impedance", f"{sipm.IMPEDANCE}"]
    subprocess.run([*vorn, "features", "--run", str(tmp_path / "run"), "--baseline", "0", "40", "--charge", "40", "120",
                    *calibration, "-o", str(tmp_path / "t.parquet"), "-q"], check=True, capture_output=True)
    done = subprocess.run([*vorn, "fit", "spe", str(tmp_path / "t.parquet"), "--where", "channel == 1", "--json"],
                          capture_output=True, text=True, check=True)
    fit = json.loads(done.stdout)
    gain_pc = sipm.GAIN_ADC * sipm.VOLTS_PER_COUNT * sipm.SAMPLE_NS * 1e-9 / sipm.IMPEDANCE * 1e12
    assert fit["unit"] == "pC" and fit["converged"]
    assert abs(fit["gain"] - gain_pc) < 3 * fit["gain_error"]
    assert abs(fit["mu"] - sipm.MU) < 3 * fit["errors"]["mu"]
    assert abs(fit["crosstalk"] - sipm.LAMBDA) < 3 * fit["errors"]["lam"]
