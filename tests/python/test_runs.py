"""Runs of per-channel files: matching events by counter, what each file lacks or adds, and run folders."""

import os
import re

import numpy as np
import pytest

import vorn
from library_files import wd1_file, wd2_file
from vorn_tools import iterate, open_run
from vorn_tools.runs import WINDOW, RunError, report_lines, run_files
from vorn_tools.sizes import ITERATE_READ_BYTES


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
