"""The library layer: blocks over files, time tags, runs of per-channel files, tables and histograms.

Writers and histograms need their optional libraries (`pip install
'.[cli,root,parquet,hist]'`); without them those tests skip, unless
VORN_CLI_TESTS=required.
"""

import os
import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import eventfiles
from needs import need
import vorn
from vorn_tools import iterate, open_run
from vorn_tools.sizes import ITERATE_READ_BYTES
from vorn_tools.runs import WINDOW, RunError, report_lines, run_files
from vorn_tools.timing import Unwrapper, parse_tick



def wd1_file(path, counters, samples=4, channel=0, timestamp=lambda c: 1000 * c):
    events = []
    for c in counters:
        word = c % 2**32
        n = samples(c) if callable(samples) else samples
        events.append(eventfiles.wd1_event(board_channel=channel, event_counter=word - (word >> 31 << 32),
                                           timestamp=timestamp(c) % 2**31,
                                           samples=[(c * 7 + channel + i) % 2**16 for i in range(n)]))
    path.write_bytes(b"".join(events))
    return str(path)


def wd2_file(path, events, channels, samples):
    rng = np.random.default_rng(events)
    path.write_bytes(b"".join(
        eventfiles.wd2_event(i, 10 * i, samples, 8, rng.random(channels * samples, dtype=np.float32).tobytes(),
                             channels)
        for i in range(events)))
    return str(path)


# --- time tags -------------------------------------------------------------------------

@settings(max_examples=60, deadline=None)
@given(gaps=st.lists(st.integers(0, 2**31 - 1), min_size=1, max_size=300),
       start=st.integers(0, 2**40), flag=st.booleans(), cuts=st.lists(st.integers(0, 300), max_size=5))
def test_unwrapping_rebuilds_the_ticks(gaps, start, flag, cuts):
    ticks = start + np.cumsum(np.array(gaps, dtype=np.int64))
    # A board with the flag keeps 31 bits and sets bit 31 once the counter wrapped;
    # one without it counts on 32 bits. Either way the words are signed int32.
    if flag:
        words = (ticks % 2**31) | np.where(ticks >= 2**31, 1 << 31, 0)
    else:
        words = ticks % 2**32
    words = words.astype(np.uint32).view(np.int32)
    unwrap = Unwrapper(31)
    pieces = np.split(words, sorted(set(c for c in cuts if c < len(words))))
    got = np.concatenate([unwrap(piece) for piece in pieces])
    assert got.dtype == np.int64
    np.testing.assert_array_equal(got - got[0], ticks - ticks[0])
    assert got[0] == ticks[0] % 2**31


@pytest.mark.parametrize("text, seconds", [("8 ns", 8e-9), ("0.5us", 5e-7), ("2 µs", 2e-6), ("3 ms", 3e-3),
                                           ("1.5 s", 1.5), ("200 ps", 2e-10), ("4e-9", 4e-9), (2.0, 2.0)])
def test_parse_tick(text, seconds):
    assert parse_tick(text) == pytest.approx(seconds)


@pytest.mark.parametrize("text", ["8 fs", "ns", "-1 ns", "0", "nan"])
def test_parse_tick_refuses(text):
    with pytest.raises(ValueError):
        parse_tick(text)


# --- iterate ---------------------------------------------------------------------------

def test_iterate_entries_and_layouts(tmp_path):
    one = wd1_file(tmp_path / "a.wd1", range(1000), samples=lambda c: 4 if c < 700 else 5)
    two = wd2_file(tmp_path / "b.wd2", 250, channels=3, samples=6)
    blocks = list(iterate([one, two], step_size=128))
    assert [(b.path, b.file_entry_start, b.file_entry_stop) for b in blocks][6:] == [
        (one, 768, 896), (one, 896, 1000), (two, 0, 128), (two, 128, 250)]
    assert [b.entry_start for b in blocks] == [0, 128, 256, 384, 512, 640, 768, 896, 1000, 1128]
    assert all(a.entry_stop == b.entry_start for a, b in zip(blocks, blocks[1:]))
    # Each layout against what EventReader yields, event by event, once all
    # blocks exist: a block's arrays must not be reused by the next.
    for path, kind, own in ((one, "WD1", blocks[:8]), (two, "WD2", blocks[8:])):
        events = list(vorn.EventReader(path, kind))
        for block in own:
            rows = events[block.file_entry_start:block.file_entry_stop]
            data = block["data"]
            if "offsets" in block:
                got = [data[a:b] for a, b in zip(block["offsets"][:-1], block["offsets"][1:])]
            else:
                got = data.reshape(len(data), -1)
            for row, event in zip(got, rows):
                np.testing.assert_array_equal(row, event["data"])
            np.testing.assert_array_equal(block["event_counter"], [e["event_counter"] for e in rows])
    assert blocks[4]["data"].shape == (128, 4) and "offsets" in blocks[5]
    assert blocks[8]["data"].shape == (128, 3, 6)


def test_iterate_read_error_after_the_blocks_before_it(tmp_path):
    good = b"".join(eventfiles.wd1_event(event_counter=i, samples=[i] * 4) for i in range(10))
    path = tmp_path / "bad.wd1"
    path.write_bytes(good + eventfiles.wd1_event(event_size=10))
    blocks = []
    with pytest.raises(Exception, match=f"{path}: invalid WD1 event_size 10 at offset {len(good)}"):
        for block in iterate(str(path), step_size=4, type="WD1"):
            blocks.append(block.file_entry_stop)
    assert blocks == [4, 8, 10]


@pytest.mark.parametrize("bad", [0, 39, 40, 41, 375])
def test_a_read_error_ends_iterate_alike_when_blocks_are_measured_as_read(tmp_path, monkeypatch, bad):
    from vorn_tools import blocks as block_module
    from vorn_tools import sizes
    from vorn_tools.features import FeatureOptions

    # Blocks of 375 events, read in parts of 40 to be measured as they come: the bad event before, at
    # and after the start of a part, and at the start of a block.
    monkeypatch.setattr(sizes, "FILL_PART_BYTES", 320)
    good = b"".join(eventfiles.wd1_event(event_counter=i, samples=[i % 7] * 4) for i in range(bad))
    path = tmp_path / "bad.wd1"
    path.write_bytes(good + eventfiles.wd1_event(event_size=10) + eventfiles.wd1_event(samples=[0] * 4))

    def read(**features):
        sizes = []
        with pytest.raises(Exception) as error:
            for block in iterate(str(path), step_size="3 kB", type="WD1", **features):
                sizes.append(block.events)
        return sizes, type(error.value), str(error.value)

    plain = read()
    assert plain[1] is block_module.BadFile and f"invalid WD1 event_size 10 at offset {len(good)}" in plain[2]
    assert read(features=FeatureOptions(baseline=(0, 2))) == plain


@pytest.mark.parametrize("float32", [False, True])
@pytest.mark.parametrize("step, first_rows", [(700, 700), ("1 MB", 10**6 // 1000), ("1 MiB", 2**20 // 1000)])
def test_iterate_steps_are_the_events_the_reader_reads(tmp_path, step, first_rows, float32):
    # 1.3 MB, several times what the reader fills at a time: 2-D steps cut
    # across its blocks, then flat ones once lengths vary (all even, for
    # --float32). Every step is kept until the end: none may share arrays.
    path = wd1_file(tmp_path / "a.wd1", range(1300), samples=lambda c: 500 if c < 1100 else 500 + 2 * (c % 7 - 3))
    blocks = list(iterate(path, step_size=step, type="WD1", float32=float32))
    assert blocks[0].events == first_rows
    assert [b.file_entry_start for b in blocks[1:]] == [b.file_entry_stop for b in blocks[:-1]]
    assert any("offsets" in b for b in blocks)
    events = list(vorn.EventReader(path, "WD1"))
    assert blocks[-1].file_entry_stop == len(events)
    for block in blocks:
        data = block["data"]
        if "offsets" in block:
            rows = [data[a:b] for a, b in zip(block["offsets"][:-1], block["offsets"][1:])]
        else:
            rows = list(data)
        wanted = events[block.file_entry_start:block.file_entry_stop]
        assert len(rows) == len(wanted)
        for row, event in zip(rows, wanted):
            expected = event["data"].view(np.float32) if float32 else event["data"]
            eventfiles.assert_same_bytes(row.tobytes(), expected.tobytes())
        assert block["event_counter"].tolist() == [e["event_counter"] for e in wanted]


# --- runs ------------------------------------------------------------------------------

def test_run_reports_missing_and_extra_events_and_stays_aligned(tmp_path):
    # Counters cross the 32-bit wrap; channel 1 lacks one event, channel 2 has
    # one more, channel 3 has two events swapped (matched all the same) and one
    # that comes later than the reorder window allows.
    lost, spare, late, far = 2**32 + 10, 2**32 + 150, 2**32 + 100, 2**32 + 200
    counters = [c for c in range(2**32 - 150, 2**32 + 350) if c != spare]
    shuffled = list(counters)
    at = shuffled.index(late)
    shuffled[at], shuffled[at + 1] = shuffled[at + 1], shuffled[at]
    moved = shuffled.index(far)
    shuffled.remove(far)
    shuffled.insert(moved + WINDOW + 1, far)  # one event beyond the window
    wd1_file(tmp_path / "wave0.dat", counters, channel=0)
    wd1_file(tmp_path / "wave1.dat", [c for c in counters if c != lost], channel=1)
    wd1_file(tmp_path / "wave2.dat", sorted(counters + [spare]), channel=5)
    wd1_file(tmp_path / "wave3.dat", shuffled, channel=3)
    run = open_run(str(tmp_path), step_size=64)
    assert [(c.path, c.board_channel) for c in run.channels] == [
        (str(tmp_path / f"wave{i}.dat"), b) for i, b in enumerate((0, 1, 5, 3))]
    events = []
    for block in run:
        assert block["data"].shape[1:] == (4, 4)
        counter = block["event_counter"]
        assert (counter == counter[:, :1]).all()
        np.testing.assert_array_equal(block["data"][:, :, 0].astype(np.int64),
                                      ((counter.astype(np.int64) % 2**32) * 7 + [0, 1, 5, 3]) % 2**16)
        events.extend(block["event"])
    assert events == [c for c in counters if c not in (lost, far)]
    report = run.report
    assert report.matched == len(counters) - 2
    assert [(c.missing, c.first_missing) for c in report.channels] == [(0, []), (1, [lost]), (0, []), (1, [far])]
    event_bytes = 24 + 2 * 4
    assert [(c.extra, c.first_extra) for c in report.channels] == [
        (0, []), (0, []), (1, [(counters.index(spare + 1) * event_bytes, spare)]),
        (1, [(shuffled.index(far) * event_bytes, far)])]
    assert [c.dropped for c in report.channels] == [2, 1, 3, 2]
    assert report.timestamp_mismatches == 0 and not report.aligned


@pytest.mark.parametrize("late", [0, 1])
@pytest.mark.parametrize("short", [0, 1])
def test_two_file_run_blames_the_file_that_skipped_a_counter(tmp_path, late, short):
    # The early file starts below the 32-bit wrap, the late one five counters
    # on, above it. The short one skips `gap` while its counters run on: the
    # counter is missing from it. The late one's first counters are not
    # skipped, they come before it began: extra in the early file.
    start, gap = 2**32 - 3, 2**32 + 40
    counters = [range(start + 5 * (f == late), start + 100) for f in (0, 1)]
    paths = [wd1_file(tmp_path / f"c{f}.dat", [c for c in counters[f] if (c, f) != (gap, short)], channel=f)
             for f in (0, 1)]
    run = open_run(paths, step_size=16)
    kept = np.concatenate([b["event_counter"] for b in run]).astype(np.int64) % 2**32
    expected = [c % 2**32 for c in range(start + 5, start + 100) if c != gap]
    np.testing.assert_array_equal(kept, np.repeat(np.array(expected)[:, None], 2, axis=1))
    early = 1 - late
    report = run.report.channels
    assert [(c.missing, [x % 2**32 for x in c.first_missing]) for c in report] == [
        (1, [gap % 2**32]) if f == short else (0, []) for f in (0, 1)]
    assert [(c.extra, [x % 2**32 for _, x in c.first_extra]) for c in report] == [
        (5, [c % 2**32 for c in range(start, start + 5)]) if f == early else (0, []) for f in (0, 1)]
    assert [c.dropped for c in report] == [5 * (f == early) + (f != short) for f in (0, 1)]
    assert f"{paths[short]}: 1 event missing (counter {gap % 2**32}), so dropped from the other files" \
        in report_lines(run.report)


def test_long_run_matches_every_event_and_unwraps_time_in_counter_order(tmp_path):
    # Longer than a read block. Neighbours are swapped all through two files,
    # pairs from an even event in one and from an odd one in the other, so
    # wherever a read block ends it splits a pair in one of them. Trigger times
    # wrap their 31 bits many times.
    samples = 64
    events = 2 * ITERATE_READ_BYTES // (2 * samples) + 7
    rng = np.random.default_rng(5)
    ticks = 7 + np.cumsum(rng.integers(0, 2**29, events))
    orders = [np.arange(events) for _ in range(3)]
    for order, first in zip(orders, (0, 1)):
        pairs = order[first:first + (events - first) // 2 * 2].reshape(-1, 2)
        pairs[:] = pairs[:, ::-1]
    paths = [wd1_file(tmp_path / f"wave{i}.dat", order.tolist(), samples=samples, timestamp=lambda c: int(ticks[c]))
             for i, order in enumerate(orders)]
    tags = np.concatenate([b["time_tag"] for b in iterate(paths[2], step_size=1000)])
    np.testing.assert_array_equal(tags, ticks)
    run = open_run(paths, step_size=1000)
    blocks = list(run)
    assert run.report.aligned and run.report.matched == events
    np.testing.assert_array_equal(np.concatenate([b["event"] for b in blocks]), np.arange(events))
    np.testing.assert_array_equal(np.concatenate([b["time_tag"] for b in blocks]), ticks)


@pytest.mark.parametrize("names, run", [
    (["x_wave1.dat", "x_wave0.dat", "notes.txt"], ["x_wave0.dat", "x_wave1.dat"]),
    (["RUN1_wave_3.dat", "RUN1_wave_10.dat", "RUN1_wave_0.dat"], ["RUN1_wave_0.dat", "RUN1_wave_3.dat",
                                                                  "RUN1_wave_10.dat"]),
    (["wave_0.dat", "wave_1.dat", ".wave_2.dat"], ["wave_0.dat", "wave_1.dat"]),
    (["sipm_coinc_wave0.dat", "pmt_wave0.dat", "pmt_wave1.dat"], "2 runs: pmt_wave<N> (pmt_wave0.dat,"
     " pmt_wave1.dat); sipm_coinc_wave<N> (sipm_coinc_wave0.dat)"),
])
def test_run_folder_names(tmp_path, names, run):
    for name in names:
        (tmp_path / name).write_bytes(b"")
    if isinstance(run, str):
        with pytest.raises(RunError, match=re.escape(run)):
            run_files(str(tmp_path))
    else:
        assert run_files(str(tmp_path)) == [str(tmp_path / name) for name in run]


def test_run_of_one_wd2_file_and_refused_runs(tmp_path):
    path = wd2_file(tmp_path / "k.wd2", 40, channels=3, samples=5)
    blocks = list(open_run(path, step_size=16))
    data = np.concatenate([b["data"] for b in blocks])
    reference = np.stack([e["data"].reshape(3, 5) for e in vorn.EventReader(path, "WD2")])
    np.testing.assert_array_equal(data, reference)
    wd1_file(tmp_path / "x0.dat", range(5), samples=4)
    wd1_file(tmp_path / "x1.dat", range(5), samples=6)
    with pytest.raises(ValueError, match="as many samples"):
        list(open_run([str(tmp_path / "x0.dat"), str(tmp_path / "x1.dat")]))


# --- tables ----------------------------------------------------------------------------

READERS = {".h5": "h5py", ".parquet": "pyarrow", ".root": "uproot"}


def read_back(path, extension):
    if extension == ".h5":
        import h5py

        with h5py.File(path) as f:
            return {k: f[k][()] for k in f}
    if extension == ".parquet":
        import pyarrow.parquet as pq

        table = pq.read_table(path)
        out = {}
        for name in table.column_names:
            column = table.column(name).combine_chunks()
            if name == "wave":
                out[name] = column.flatten().flatten().to_numpy().reshape(-1, 2, 3)
            elif name == "hits":
                out[name] = column.values.to_numpy()
                out["hits_offsets"] = column.offsets.to_numpy()
            else:
                out[name] = column.to_numpy()
        return out
    import uproot

    tree = uproot.open(path)["events"]
    out = tree.arrays(["counter", "wave"], library="np")
    hits = tree["hits"].array()
    out["hits"] = np.asarray(hits.layout.content.data)
    out["hits_offsets"] = np.asarray(hits.layout.offsets.data)
    return out


@pytest.mark.parametrize("extension", sorted(READERS))
def test_table_round_trip(tmp_path, extension):
    need(READERS[extension])
    from vorn_tools.outputs import Jagged, open_table

    rng = np.random.default_rng(3)
    blocks = []
    for n in (5, 40_000, 0, 7):  # one large enough to be flushed on its own
        lengths = rng.integers(0, 4, n)
        blocks.append({"counter": rng.integers(0, 2**63, n, dtype=np.uint64),
                       "wave": rng.integers(0, 2**16, (n, 2, 3)).astype(np.uint16),
                       "hits": Jagged(rng.random(int(lengths.sum())).astype(np.float32),
                                      np.concatenate(([0], np.cumsum(lengths))))})
    path = tmp_path / f"table{extension}"
    with open_table(str(path)) as writer:
        for block in blocks:
            writer.write(block)
    assert os.listdir(tmp_path) == [path.name]
    got = read_back(str(path), extension)
    for key in ("counter", "wave", "hits"):
        want = np.concatenate([b[key].content if key == "hits" else b[key] for b in blocks])
        np.testing.assert_array_equal(got[key], want)
        assert got[key].dtype == want.dtype
    lengths = np.concatenate([np.diff(b["hits"].offsets) for b in blocks])
    np.testing.assert_array_equal(np.diff(got["hits_offsets"]), lengths)


def test_failed_table_leaves_nothing(tmp_path):
    need("h5py")
    from vorn_tools.outputs import open_table

    with pytest.raises(ValueError, match="differ"):
        with open_table(str(tmp_path / "t.h5")) as writer:
            writer.write({"a": np.arange(3)})
            writer.write({"b": np.arange(3)})
    assert os.listdir(tmp_path) == []
    with pytest.raises(ValueError, match=r"\.h5, .*\.root"):
        open_table(str(tmp_path / "t.csv"))


@pytest.mark.parametrize("varying", [False, True])
def test_waveforms_to_root_bit_for_bit(tmp_path, varying):
    uproot = need("uproot")
    from vorn_tools.formats import Layout
    from vorn_tools.outputs.root_tree import write_waveforms_root

    class Source:
        def __init__(self, path, layout, name):
            self.path, self.layout, self.name = path, layout, name

    one = wd1_file(tmp_path / "a.wd1", range(3000), samples=(lambda c: 3 + c % 2) if varying else 6)
    two = tmp_path / "b.wd2"
    odd_floats = np.array([np.nan, -0.0, 1.5, np.inf], np.float32).tobytes()
    two.write_bytes(b"".join(eventfiles.wd2_event(i, 2**64 - 1 - i, 2, 8, odd_floats, 2) for i in range(30)))
    output = tmp_path / "out.root"
    outcomes = write_waveforms_root([Source(one, Layout("WD1"), "a"), Source(str(two), Layout("WD2", 2, True), "b")],
                                    str(output))
    assert [o.error for o in outcomes] == [None, None]
    with uproot.open(str(output)) as f:
        for name, path, kind in (("a", one, "WD1"), ("b", str(two), "WD2")):
            tree = f[name]
            events = list(vorn.EventReader(path, kind))
            for key in events[0]:
                if key == "data":
                    continue
                got = tree[key].array(library="np")
                want = np.array([e[key] for e in events], dtype=got.dtype)
                np.testing.assert_array_equal(got, want)
            data = tree["data"].array(library="np")
            for row, event in zip(data, events):
                eventfiles.assert_same_bytes(np.asarray(row).reshape(-1).tobytes(), event["data"].tobytes())
            assert len(data) == len(events)


# --- histograms ------------------------------------------------------------------------

@pytest.mark.parametrize("width", [0.25, 0.001])
def test_histograms_filled_in_parts_add_up(width):
    need("boost_histogram")
    from vorn_tools import histograms

    rng = np.random.default_rng(5)
    values = rng.normal(0, 40, (2000, 3))
    values[::97, 1] = np.nan

    def filled(part):
        return histograms.fill(histograms.histogram(50, -100, 100, 3, "amplitude", "mV"), part)

    whole = filled(values)
    added = filled(values[:777]) + filled(values[777:])
    np.testing.assert_array_equal(added.values(flow=True), whole.values(flow=True))
    assert whole.values(flow=True).sum() == np.count_nonzero(~np.isnan(values))
    # Recordings of different lengths, read in blocks, grow their time axes
    # apart: for a width that is no binary fraction their widths then differ
    # in the last bit.
    recordings = [np.sort(rng.uniform(0, span, n)) for span, n in ((30, 3000), (4.1, 500))]
    parts = []
    for times in recordings:
        part = histograms.time_histogram(width)
        for block in np.array_split(times, 7):
            histograms.fill(part, block)
        parts.append(part)
    merged = histograms.merge(parts)
    at_once = histograms.fill(histograms.time_histogram(width), np.concatenate(recordings))
    assert len(merged.axes[0]) == len(at_once.axes[0])
    np.testing.assert_allclose(merged.axes[0].edges, at_once.axes[0].edges, rtol=0, atol=width * 1e-9)
    np.testing.assert_array_equal(merged.values(flow=True), at_once.values(flow=True))


@pytest.mark.parametrize("first, interval, events, width", [
    (0.0, 1.4e-4, 293, 1.0),  # 41 ms of events in a bin of a second
    (3.7, 1e-3, 2000, 0.3),  # 1 kHz, starting and ending part-way through bins
    (1e-5, 1e-3, 31, 0.01),  # the last event just past a bin's edge, alone in its bin
])
def test_a_regular_recording_shows_its_rate_in_every_bin(first, interval, events, width):
    need("boost_histogram")
    from vorn_tools import histograms

    times = first + interval * np.arange(events)
    series = histograms.Series(histograms.growing_histogram(width, np.floor(first / width) * width))
    for block in np.array_split(times, 3):
        series.fill(block)
    rate = (events - 1) / (times[-1] - times[0])
    counts, cover, heights = series.hist.values(), series.cover(), series.heights()
    assert counts.sum() == events and np.all(cover[counts > 0] > 0)
    # Partial bins included, a bin is off the rate by less than one event
    # over the time it covers...
    assert np.all(np.abs(heights - rate)[cover > 0] * cover[cover > 0] <= 1 + 1e-9)
    # ...and no event alone in a sliver of a bin reads as a spike.
    assert np.all(heights[counts > 0] <= 2 * rate * (1 + 1e-9))


@pytest.mark.parametrize("kind,step", [("WD1", 70), ("WD1", "150 kB"), ("WD2", 70), ("WD2", "600 kB")])
def test_iterate_with_features_carries_the_feature_table_of_each_block(tmp_path, kind, step, monkeypatch):
    from vorn_tools import pipeline, sizes
    from vorn_tools.feature_table import feature_tables
    from vorn_tools.features import FEATURES, FeatureOptions

    # Blocks measured in parts of a few rows, in halves once the files are read and, with steps in
    # bytes, part by part as they are read, auto polarity decided from a first block of over 1,000 events.
    monkeypatch.setattr(pipeline, "HALF", 16)
    monkeypatch.setattr(sizes, "FILL_PART_BYTES", 20_000)
    taken = []
    take = pipeline.Live.take
    monkeypatch.setattr(pipeline.Live, "take", lambda self, block: taken.append(take(self, block)) or taken[-1])

    if kind == "WD1":
        paths = [wd1_file(tmp_path / f"w{n}.dat", range(3000), samples=40, channel=n) for n in range(2)]
    else:
        paths = [wd2_file(tmp_path / f"w{n}.wd2", 3000, 2 + n, 32) for n in range(2)]
    options = FeatureOptions(baseline=(0, 8), cfd_fraction=0.3)
    blocks_read = list(iterate(paths, step_size=step, features=options))
    for path in paths:
        rows = list(feature_tables([path], options, step_size=step))
        for name in FEATURES:
            expected = np.concatenate([r[name] for r in rows])
            found = np.concatenate([b[name].reshape(-1) for b in blocks_read if b.path == path])
            np.testing.assert_array_equal(found, expected, err_msg=f"{path} {name}")
    assert all(b[name].shape[0] == b.events for b in blocks_read for name in FEATURES)
    assert any(t is not None for t in taken) == isinstance(step, str)


@pytest.mark.parametrize("cut", [[1], [0, 1]])
def test_a_run_names_the_file_whose_last_event_is_cut(tmp_path, cut):
    paths = [wd1_file(tmp_path / f"wave{f}.dat", range(10), channel=f) for f in (0, 1)]
    for f in cut:
        os.truncate(paths[f], os.path.getsize(paths[f]) - 3)
    run = open_run(paths, step_size=4)
    assert sum(b.events for b in run) == 9
    lines = report_lines(run.report)
    assert [f for f in (0, 1) if f"{paths[f]}: event cut at offset {9 * 32}: 29 of its 32 bytes present" in lines] \
        == cut
    # A file cut alone leaves its last event extra in the other file; cut alike, nothing is dropped.
    assert run.report.aligned == (len(cut) == 2)
