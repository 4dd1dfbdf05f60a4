"""The monitor without a browser: its state, the reading thread, and what its server answers.

The state and the reader need boost-histogram ('hist' extra); the server
tests need Bokeh ('monitor' extra) and skip without it unless
VORN_BROWSER_TESTS=required.
"""
import asyncio
import contextlib
import http.client
import json
import os
import signal
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import eventfiles
from eventfiles import write_in_pieces
import needs
import monitor_run
from monitor_run import wd1_run

pytest.importorskip("boost_histogram")

from vorn_tools.blocks import BadFile  # noqa: E402
from vorn_tools.features import FeatureOptions, compute  # noqa: E402
from vorn_tools.monitor.reader import Inputs, ReaderThread  # noqa: E402
from vorn_tools.monitor.state import MonitorState, summary_line  # noqa: E402
from vorn_tools.monitor.tallies import CounterGaps, FitSettings, Ring, TriggerRate  # noqa: E402
from vorn_tools.monitor.views import PulseSettings, decimate  # noqa: E402
from vorn_tools.pulses import PulseOptions  # noqa: E402
from vorn_tools.reading import iterate  # noqa: E402



def need(module):
    return needs.need(module, flag="VORN_BROWSER_TESTS")


def wait_for(condition, timeout=30.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


# --- state ------------------------------------------------------------------------

@pytest.mark.parametrize("pushes", [
    [[1, 2]],                    # not full yet
    [[1, 2, 3, 4]],              # exactly full
    [[1, 2, 3], [4, 5]],         # wraps once
    [[1, 2, 3, 4, 5, 6, 7, 8, 9]],  # one push longer than the ring
    [[1], [2], [3], [4], [5], [6], [7], [8], [9], [10], [11]],
    [[1, 2, 3], [4, 5, 6, 7, 8, 9, 10]],
])
def test_ring_keeps_the_last_rows_oldest_first(pushes):
    ring = Ring(4, (2,), np.int64)
    for push in pushes:
        ring.push(np.array([[v, -v] for v in push]))
    everything = [v for push in pushes for v in push]
    expected = everything[-4:]
    assert ring.last().tolist() == [[v, -v] for v in expected]
    assert len(ring) == len(expected) and ring.pushed == len(everything)


@pytest.mark.parametrize("blocks, gaps, missing", [
    ([[0, 1, 2], [3, 4]], 0, 0),
    ([[-2, -1], [0, 1]], 0, 0),                 # int32 words wrapping through 2**32
    ([[2**32 - 2, 2**32 - 1, 0, 1]], 0, 0),     # the same as unsigned values
    ([[2**32 - 1], [1]], 1, 1),                 # a counter skipped at the wrap, across blocks
    ([[5, 6], [8, 9], [13]], 2, 4),
    ([[7, 7, 8]], 1, 0),                        # a repeat misses nothing
    ([[100, 40, 41]], 1, 0),                    # a step back misses nothing
])
def test_counter_gaps(blocks, gaps, missing):
    counted = CounterGaps()
    for block in blocks:
        counted.add(np.array(block, dtype=np.int64))
    assert (counted.gaps, counted.missing) == (gaps, missing)


def features(amplitude, charge=None):
    amplitude = np.asarray(amplitude, dtype=np.float64)[:, None]
    return {"amplitude": amplitude, "charge": amplitude if charge is None else np.asarray(charge)[:, None]}


def add(state, path, amplitude, charge=None):
    state.add_events(path, np.arange(len(amplitude)), 10, features(amplitude, charge),
                     np.zeros((len(amplitude), 1, 4), np.uint16))


def test_each_channel_has_its_own_range_counts_what_falls_outside_and_reset_chooses_it_again():
    rng = np.random.default_rng(1)
    state = MonitorState(warmup=100, ranges={"charge": (0.0, 10.0)})
    for path in ("sipm", "pmt"):
        state.add_file(path, path)
    add(state, "pmt", rng.uniform(0, 11_000, 100))
    add(state, "sipm", rng.normal(0, 2, 100))  # pedestal events first
    add(state, "sipm", np.concatenate((rng.uniform(100, 250, 40), [-1e9, np.nan])))  # then pulses
    (sipm, pmt) = (state.snapshot().channels[i].histograms["amplitude"] for i in (1, 0))
    assert pmt.edges[-1] > 10_000 and sipm.edges[-1] < 20  # not one range for both
    assert (sipm.underflow, sipm.overflow, sipm.undefined, sipm.entries) == (1, 40, 1, 141)
    assert sipm.counts.sum() == 100 and pmt.counts.sum() == pmt.entries == 100

    state.reset_histograms()
    snap = state.snapshot()
    assert all(c.histograms["amplitude"] is None for c in snap.channels)  # choosing anew
    charge = snap.channels[1].histograms["charge"]
    assert charge.entries == charge.undefined == 0 and (charge.edges[0], charge.edges[-1]) == (0, 10)  # as given
    add(state, "sipm", rng.uniform(100, 250, 100))
    sipm = state.snapshot().channels[1].histograms["amplitude"]
    assert sipm.edges[0] < 100 < 250 < sipm.edges[-1]
    assert (sipm.entries, sipm.underflow, sipm.overflow) == (100, 0, 0)


@pytest.mark.parametrize("spacing, triggers", [(1 / 7000, 293), (1e-3, 2500), (0.25, 11)])
def test_trigger_rate_is_right_in_every_bin_the_last_partial_one_included(spacing, triggers):
    rate = TriggerRate(width=1.0)
    times = 12.5 + spacing * np.arange(triggers)
    for block in np.array_split(times, 7):
        rate.add(block)
    t, per_second = rate.view()
    assert len(t) == max(1, int(spacing * (triggers - 1)) + 1)
    np.testing.assert_allclose(per_second, 1 / spacing, rtol=1e-6)
    assert t[0] > 0 and t[-1] < spacing * triggers


def test_histogram_of_few_values_gets_its_range_when_the_run_pauses():
    state = MonitorState(warmup=1000)
    state.add_file("f", "f")
    add(state, "f", [5.0], [7.0])
    assert state.snapshot().channels[0].histograms["charge"] is None
    state.settle()
    view = state.snapshot().channels[0].histograms["charge"]
    assert view.entries == 1 and view.edges[0] < 7 < view.edges[-1]


@pytest.mark.parametrize("tick", [None, 8e-9])
def test_live_fit_follows_the_gain_over_the_run_and_gives_no_point_without_a_fit(tick):
    needs.need("iminuit")
    from vorn_tools.analysis.fits import generate_sipm

    clock = [100.0]
    state = MonitorState(warmup=2000, tick=tick, fits=FitSettings(every=10.0), clock=lambda: clock[0])
    for path in ("sipm", "dead"):
        state.add_file(path, path)
    charges = generate_sipm(24_000, 40.0, 1.5, 0.1, q0=5.0, sigma0=3.0, sigma1=2.0, seed=4)
    tags = np.cumsum(np.random.default_rng(5).exponential(125_000, len(charges))).astype(np.int64)
    times, notes = [], []
    for block in np.array_split(np.arange(len(charges)), 4):
        clock[0] += 10.0
        state.add_events("sipm", block, 10, features(charges[block], charges[block]),
                         np.zeros((len(block), 1, 4), np.uint16), tags[block])
        state.add_events("dead", block[:5], 10, features(np.zeros(5)), np.zeros((5, 1, 4), np.uint16),
                         tags[block[:5]])
        state.settle()
        assert state.fit_spectra() == 2
        notes.append(state.snapshot().channels[1].gains.note)
        times.append(clock[0] - 100.0 if tick is None else (tags[block[-1]] - tags[0]) * tick)
    assert state.fit_spectra() == 0  # nothing new: no point fitted twice
    sipm, dead = (c for c in state.snapshot().channels)
    gains = sipm.gains
    assert (gains.converged, gains.failed, gains.note) == (4, 0, "")
    np.testing.assert_allclose(gains.time, times)
    assert np.all(gains.error > 0) and np.all(np.diff(gains.error) < 0)  # each fit sees more of the run
    assert np.all(np.abs(gains.gain - 40.0) < 3 * gains.error), (gains.gain, gains.error)
    # A few pedestal values cannot be fitted: said, counted, never a gain.
    assert (len(dead.gains.gain), dead.gains.converged, dead.gains.failed) == (0, 0, 4)
    assert "too few" in notes[0] and all(notes)
    assert all((f.rate is None) == (tick is None) for f in state.snapshot().files)


def test_decimation_keeps_every_extreme_within_the_points():
    rows = np.full((2, 10_000), 100, np.uint16)
    rows[0, 4321], rows[1, 9999] = 4000, 3
    x, y = decimate(rows, 1000)
    assert len(x) <= 1000 and y.shape == (2, len(x))
    assert y[0].max() == 4000 and y[1].min() == 3
    assert abs(x[np.argmax(y[0])] - 4321) < 10_000 / 500
    short_x, short_y = decimate(rows[:, :50], 1000)
    assert short_x.tolist() == list(range(50)) and (short_y == rows[:, :50]).all()


# --- the reading thread --------------------------------------------------------------

@contextlib.contextmanager
def reading(paths, tick=None, shown=("amplitude", "charge"), ranges=None, pulses=None, finder=None,
            coincidence=None, **options):
    state = MonitorState(warmup=50, tick=tick, features=shown, ranges=ranges, pulses=pulses, coincidence=coincidence)
    thread = ReaderThread(Inputs.of([str(p) for p in paths]), state, options.pop("type", "auto"),
                          FeatureOptions(**options), poll=0.01, pulses=finder)
    thread.start()
    try:
        yield state
    finally:
        thread.stop(timeout=30)
    assert thread.failure is None


def test_reader_follows_a_file_written_in_pieces_exactly(tmp_path):
    rng = np.random.default_rng(3)
    counters = [c for c in range(2**32 - 150, 2**32 + 150) if c != 2**32 + 7]  # wraps, one counter skipped
    raw = wd1_run([c % 2**32 for c in counters], rng)
    path = tmp_path / "live.wd1"
    path.touch()
    with reading([path], tick=1e-6, polarity="negative") as state:  # a trigger every 1,000 ticks: 1 kHz
        # Pieces that cut events, some smaller than a header.
        write_in_pieces(path, raw, 1009, 0.002).join()
        wait_for(lambda: state.snapshot().events == len(counters))
        time.sleep(0.1)
        snap = state.snapshot()
    assert (snap.events, snap.gaps, snap.missing, snap.error_count) == (len(counters), 1, 1, 0)
    assert snap.bytes_read == snap.file_size == len(raw)
    (channel,) = snap.channels
    assert channel.histograms["charge"].entries == snap.triggers == snap.waveforms == len(counters)
    amplitude = channel.histograms["amplitude"]
    assert 0 < amplitude.edges[0] < 60 and 700 < amplitude.edges[-1] < 900  # from pulses of 40 to 800 counts
    x, ys = channel.waveforms
    assert channel.label == "live.wd1" and ys.shape == (16, 256) and ys.min() < 1000 - 40
    assert snap.rate.triggers
    (t, rate), = snap.rate.lines.values()
    np.testing.assert_allclose(rate, 1000.0, rtol=1e-9)


@pytest.mark.parametrize("new_run", ["replaced", "written over"])
def test_reader_reports_a_cut_event_a_read_error_and_shows_only_a_new_run(tmp_path, new_run):
    rng = np.random.default_rng(4)
    cut = tmp_path / "cut.wd1"
    cut.write_bytes(wd1_run(range(3), rng) + wd1_run([3], rng)[:100])
    bad = tmp_path / "bad.wd1"
    bad.write_bytes(wd1_run(range(2), rng) + struct.pack("<6i", 10, 0, 0, 0, 0, 0))
    with reading([cut, bad], type="WD1") as state:
        wait_for(lambda: state.snapshot().error_count == 1 and state.snapshot().events == 5)
        wait_for(lambda: state.snapshot().files[0].pending == 100)
        snap = state.snapshot()
        assert snap.errors == [f"bad.wd1: invalid WD1 event_size 10 at offset {2 * (24 + 512)}:"
                               " smaller than the 24-byte header"]
        assert [f.status for f in snap.files] == ["reading", "stopped by an error"]
        assert summary_line(snap) == ("5 triggers (5 waveforms) from 2 files, 2,680 bytes read, 1 error;"
                                      " cut.wd1: an event cut at offset 1,608 is pending (100 of its 536 bytes so far)")

        run = wd1_run(range(7), rng)
        if new_run == "replaced":
            replacement = tmp_path / "new.wd1"
            replacement.write_bytes(run)
            os.replace(replacement, bad)
        else:  # in place, longer than the old run: the file never shrinks
            with open(bad, "r+b") as file:
                file.write(run)
        wait_for(lambda: state.snapshot().files[1].events == 7)
        time.sleep(0.1)
        snap = state.snapshot()
    assert snap.files[1].reopened == 1 and snap.files[1].status == "reading"
    # Errors counted as listed; the new run is no error, and nothing of the old one stays.
    assert snap.error_count == len(snap.errors) == 1 and snap.notices[-1].startswith("bad.wd1: ")
    assert snap.channels[1].histograms["charge"].entries == 7
    assert (snap.restarted, snap.earlier_waveforms) == (1, 2)


def wd1_negative_size(rng):
    # -2**31 is read as 2**31 bytes, not refused: the event never ends.
    cut = eventfiles.wd1_event(event_size=-2**31, event_counter=3, samples=bytes(300))
    return wd1_run(range(3), rng) + cut[:100], cut[100:]


def wd2_other_channel_word(rng):
    def event(counter, word):  # 64 samples for each of the file's 2 channels, whatever the word says
        return eventfiles.wd2_event(counter, 1000 * counter, 64, 200, rng.normal(0, 1, 128).astype("<f4").tobytes(),
                                    word)

    cut = event(3, 3)
    return b"".join(event(c, 2) for c in range(3)) + cut[:100], cut[100:] + event(4, 2) + event(5, 2)[:10]


@pytest.mark.parametrize("kind, written", [("WD1", wd1_negative_size), ("WD2", wd2_other_channel_word)])
def test_reader_says_of_a_cut_growing_file_what_info_and_iterate_say(tmp_path, script, kind, written):
    """The events read, and the event cut at the end: where, how much of it is there, the size its header gives."""
    start, more = written(np.random.default_rng(14))
    path = tmp_path / f"live.{kind.lower()}"
    path.write_bytes(start)

    def library():
        events = 0
        with contextlib.suppress(BadFile):  # an event that never ends is no trailing cut event to iterate
            for block in iterate(str(path), type=kind):
                events += block.events
        proc = subprocess.run([script, "info", "--json", "--type", kind, str(path)], capture_output=True, text=True,
                              timeout=120)
        (doc,) = json.loads(proc.stdout)
        assert doc["events"] == events and doc["cut_offset"] == doc["bytes_read"], proc.stderr
        return events, doc["bytes_read"], doc["file_size"], doc["cut_bytes_present"], doc["cut_declared_size"]

    def monitor(state):
        (f,) = state.snapshot().files
        return f.events, f.bytes_read, f.file_size, f.pending, f.declared

    with reading([path], type=kind) as state:
        for grown in (b"", more):  # as it is, then grown by pieces that cut headers
            write_in_pieces(path, grown, 7, 0.001).join()
            said = library()
            with contextlib.suppress(AssertionError):
                wait_for(lambda: monitor(state) == said)
            assert monitor(state) == said


def test_reader_picks_up_files_that_appear_in_a_run_folder(tmp_path):
    rng = np.random.default_rng(5)
    (tmp_path / "notes.txt").write_text("not a channel")
    (tmp_path / "wave0.dat").write_bytes(wd1_run(range(20), rng, channel=0))
    with reading([tmp_path]) as state:
        wait_for(lambda: state.snapshot().events == 20)
        (tmp_path / "wave1.dat").write_bytes(wd1_run(range(30), rng, channel=1))
        wait_for(lambda: state.snapshot().events == 50)
        snap = state.snapshot()
    assert [f.label for f in snap.files] == ["wave0.dat", "wave1.dat"]
    assert snap.channel_labels == ["wave0.dat", "wave1.dat"]
    assert (snap.triggers, snap.waveforms) == (30, 50)  # each file of a run holds every trigger
    with reading([tmp_path]) as state:
        wait_for(lambda: state.snapshot().events == 50)
        (tmp_path / "RUN2_wave_0.dat").write_bytes(wd1_run(range(7), rng, channel=0))  # a new run beside
        wait_for(lambda: state.snapshot().events == 7)
        time.sleep(0.1)
        snap = state.snapshot()
    assert [f.label for f in snap.files] == snap.channel_labels == ["RUN2_wave_0.dat"]
    assert (snap.triggers, snap.earlier_waveforms) == (7, 50)


def test_files_of_one_name_in_different_folders_stay_two_channels(tmp_path):
    rng = np.random.default_rng(8)
    folders = [tmp_path / side / "run" for side in ("a", "b")]
    for folder, events in zip(folders, (20, 30)):
        folder.mkdir(parents=True)
        (folder / "wave0.dat").write_bytes(wd1_run(range(events), rng))
    with reading(folders) as state:
        wait_for(lambda: state.snapshot().events == 50)
        time.sleep(0.1)
        state.settle()
        snap = state.snapshot()
    labels = snap.channel_labels
    assert len(set(labels)) == 2 and all(label.endswith("wave0.dat") for label in labels)
    assert sorted(c.histograms["charge"].entries for c in snap.channels) == [20, 30]
    assert snap.triggers == 50  # two runs


def test_chosen_columns_hold_what_the_kernel_measures(tmp_path):
    rng = np.random.default_rng(12)
    path = tmp_path / "hpge.wd1"
    raw = wd1_run(range(400), rng)
    path.write_bytes(raw)
    # Pulses of 40 to 800 counts: those below the threshold have no energy.
    options = dict(polarity="negative", threshold=100.0, trap=(6, 3), tau=12.0, psd_split=7, charge_peak=(5, 40))
    shown = ("rise_time", "energy", "tail_ratio")
    # energy in a fixed range that cuts both ends, the others each in the range of their first 50 values
    with reading([path], shown=shown, ranges={"energy": (200.0, 500.0)}, **options) as state:
        wait_for(lambda: state.snapshot().events == 400)
        snap = state.snapshot()
    samples = np.array([event[-1] for event in eventfiles.ref_wd1(raw)], np.uint16)[:, None, :]
    measured = compute(samples, FeatureOptions(**options))
    (channel,) = snap.channels
    assert snap.features == shown and list(channel.histograms) == list(shown)
    for name in shown:
        view, values = channel.histograms[name], measured[name][:, 0]
        defined = values[~np.isnan(values)]
        low, high = view.edges[0], view.edges[-1]
        inside = defined[(defined >= low) & (defined < high)]
        assert view.counts.tolist() == np.histogram(inside, view.edges)[0].tolist(), name
        assert (view.underflow, view.overflow, view.undefined) == (
            np.count_nonzero(defined < low), np.count_nonzero(defined >= high), len(values) - len(defined)), name
    energy = channel.histograms["energy"]
    assert energy.underflow and energy.overflow and energy.undefined  # the fixed range kept, every value counted


def test_a_runs_coincidence_histogram_and_trigger_rates_are_those_of_its_events(tmp_path):
    rng = np.random.default_rng(21)
    tick, per_second = 8e-9, 2000.0
    counters = {2: [c for c in range(700) if c % 97 != 5], 5: [c for c in range(700) if c % 61 != 3]}
    times = np.cumsum(rng.exponential(1 / per_second / tick, 700)).astype(np.int64)
    run = tmp_path / "run"
    run.mkdir()
    samples = {}
    for n, kept in counters.items():
        waves = monitor_run.pulses(len(kept), rng)
        samples[n] = waves
        (run / f"wave{n}.dat").write_bytes(b"".join(
            eventfiles.wd1_event(board_channel=n, event_counter=c, timestamp=int(times[c]), samples=w.tobytes())
            for c, w in zip(kept, waves)))
    with reading([run], tick=tick, coincidence=(5, 2), polarity="negative") as state:
        wait_for(lambda: state.snapshot().events == sum(map(len, counters.values())))
        state.settle()
        snap = state.snapshot()
    cfd = {n: dict(zip(counters[n], compute(samples[n][:, None, :], FeatureOptions(polarity="negative"))
                        ["cfd_time"][:, 0])) for n in counters}
    both = sorted(set(counters[2]) & set(counters[5]))
    differences = np.array([cfd[2][c] - cfd[5][c] for c in both])
    (view,) = snap.coincidences
    hist = view.histogram
    defined = differences[~np.isnan(differences)]
    low, high = hist.edges[0], hist.edges[-1]
    assert hist.counts.tolist() == np.histogram(defined[(defined >= low) & (defined < high)], hist.edges)[0].tolist()
    assert (hist.underflow, hist.overflow, hist.undefined) == (
        np.count_nonzero(defined < low), np.count_nonzero(defined >= high), len(differences) - len(defined))
    assert (view.group, view.channels, view.paired) == (str(run), (5, 2), len(both))
    assert view.waiting == sum(len(set(counters[n]) - set(both)) for n in counters) and view.unpaired == 0
    for f in snap.files:
        rate, kept = f.rate, counters[int(f.label[4])]
        assert rate.triggers == len(kept)
        assert abs(rate.per_second - per_second * len(kept) / 700) < 3 * rate.error, rate.text()


@pytest.mark.parametrize("period", [None, 1e-9])
def test_dark_count_rate_counts_the_pulses_outside_the_trigger_window(tmp_path, period):
    """Two WD2 channels of opposite polarity: a trigger pulse in [90, 160) and a known number of others."""
    rng = np.random.default_rng(13)
    events, samples, exclude = 150, 1024, (90, 160)
    t = np.arange(samples)
    sign = np.array([-1.0, 1.0])  # channel 0 negative, channel 1 positive: the polarities decided apart
    dark = rng.integers(0, 5, (events, 2))
    raw = b""
    for e in range(events):
        data = rng.normal(0, 1.0, (2, samples))
        for c in range(2):
            starts = [100] + (170 + 60 * np.sort(rng.choice(13, dark[e, c], replace=False))).tolist()
            for start in starts:
                data[c] += sign[c] * np.where(t >= start, 50 * np.exp(-(t - start) / 6.0), 0.0)
        raw += eventfiles.wd2_event(e, 1000 * e, samples, 200, data.astype(np.float32).tobytes(), 2)
    path = tmp_path / "sipm.wd2"
    path.write_bytes(raw)
    settings = PulseSettings(period, exclude)
    with reading([path], pulses=settings, threshold=15.0, finder=PulseOptions(threshold=15.0, hysteresis=5.0)) as state:
        wait_for(lambda: state.snapshot().events == events)
        wait_for(lambda: all(c.pulses is not None and c.pulses.waveforms == events for c in state.snapshot().channels))
        views = [c.pulses for c in state.snapshot().channels]
        state.reset_histograms()
        assert all(c.pulses.pulses == c.pulses.waveforms == 0 for c in state.snapshot().channels)
    for c, view in enumerate(views):
        found = int(dark[:, c].sum())
        span = events if period is None else events * (samples - 70) * period
        assert (view.pulses, view.waveforms) == (found, events)
        assert view.rate == pytest.approx(found / span) and view.error == pytest.approx(np.sqrt(found) / span)


# --- the server -----------------------------------------------------------------------

@contextlib.contextmanager
def serving(paths):
    need("bokeh")
    from vorn_tools.monitor.server import Monitor

    monitor = Monitor([str(p) for p in paths], port=0)
    started = threading.Event()
    loop = []

    def serve():
        asyncio.set_event_loop(asyncio.new_event_loop())
        monitor.start()
        loop.append(monitor.io_loop)
        started.set()
        monitor.serve_forever()

    thread = threading.Thread(target=serve)
    thread.start()
    assert started.wait(30)
    try:
        yield monitor
    finally:
        loop[0].add_callback(loop[0].stop)
        thread.join(30)
        monitor.stop()


def get(port, target):
    """The answer to a request line sent as is: http.client does not normalise the path."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.putrequest("GET", target, skip_accept_encoding=True)
        connection.endheaders()
        response = connection.getresponse()
        return response.status, response.read().decode("latin-1")
    finally:
        connection.close()


def test_server_serves_its_scripts_itself_and_no_file_outside_the_run(tmp_path):
    rng = np.random.default_rng(6)
    (tmp_path / "run.wd1").write_bytes(wd1_run(range(5), rng))
    secret = tmp_path.parent / "secret.txt"
    secret.write_text("root:x:0:0:secret")
    with serving([tmp_path / "run.wd1"]) as monitor:  # at the library's default address
        assert monitor.addresses == ["127.0.0.1"]
        status, page = get(monitor.port, "/")
        assert status == 200 and "<title>vorn monitor</title>" in page
        scripts = [part.split('"')[1] for part in page.split("<script src=")[1:]]
        assert scripts and all(src.startswith("/static/") for src in scripts), scripts
        assert get(monitor.port, scripts[0])[0] == 200
        for target in ["/static/../../../../../etc/passwd", "/static/..%2f..%2f..%2f..%2fetc%2fpasswd",
                       "/..%2f..%2fetc/passwd", "/static/%2e%2e/%2e%2e/%2e%2e/etc/passwd",
                       f"/static/../../../../../../..{secret}", f"/static/..%2f..%2f..%2f..%2f..%2f..{secret}",
                       f"/?path={secret}", f"/?file=..%2f..%2f{secret.name}", f"/{secret}"]:
            status, body = get(monitor.port, target)
            assert "root:x:0" not in body, target
            assert status in (200, 400, 403, 404), target
            if status == 200:  # a query argument changes nothing: the same page
                assert "<title>vorn monitor</title>" in body, target


@pytest.mark.parametrize("shown", [("amplitude", "charge"), ("energy", "rise_time", "charge", "tail_ratio", "fwhm")])
def test_page_has_a_line_of_panels_per_channel_in_its_own_units_and_nothing_bokeh_warns_about(shown):
    need("bokeh")
    from bokeh.core.validation import check_integrity
    from bokeh.document import Document
    from bokeh.models import Column, Row
    from vorn_tools.monitor.app import Session

    state = MonitorState(warmup=1, features=shown, coincidence=(0, 1), fits=FitSettings())
    doc = Document()
    session = Session(state, doc, 400)
    assert check_integrity(list(doc.models)) == check_integrity([])  # no warning before the first events either
    for path, kind, channels in (("a.wd2", "WD2", 2), ("b.wd1", "WD1", 1)):
        state.add_file(path, path)
        state.update_file(path, format=kind)
        dtype = np.float32 if kind == "WD2" else np.uint16
        state.add_events(path, np.arange(3), 10, {name: np.ones((3, channels)) for name in state.measured},
                         np.zeros((3, channels, 8), dtype))
    session.update()
    assert list(session.coincidence_plots) == ["a.wd2"] and session.gain is not None  # the new panels drawn
    assert check_integrity(list(doc.models)) == check_integrity([])
    lines = session.panels.children[1:]
    rows = [line.children if isinstance(line, Column) else [line] for line in lines]  # wrapped three a row
    assert all(isinstance(r, Row) and len(r.children) <= 3 for line in rows for r in line)
    plots = [[plot for r in line for plot in r.children] for line in rows]
    assert len(lines) == 3 and all(len(line) == 1 + len(shown) for line in plots)  # waveforms, then each column
    for line, unit in zip(plots, ("sample value", "sample value", "ADC counts")):
        labels = dict(zip(("waveforms", *shown), [line[0].yaxis[0].axis_label]
                          + [plot.xaxis[0].axis_label for plot in line[1:]]))
        assert [name for name, label in labels.items() if unit in label] == \
            [name for name in labels if name in ("waveforms", "amplitude", "charge", "energy")]
        assert all("[samples]" in labels[name] for name in ("rise_time", "fwhm") if name in labels)
        assert all("ADC counts" not in label for label in labels.values()) or unit == "ADC counts"
    assert [line[1].title.text.split(" · ")[1] for line in plots] == ["a.wd2 ch0", "a.wd2 ch1", "b.wd1"]


@pytest.mark.parametrize("arguments, named", [
    (["--hist", "amplitude", "rise_tme"], "rise_tme"),
    (["--hist", "energy"], "--trap"),
    (["--exclude", "90", "160"], "--pulses"),
    (["--fit-every", "5"], "--fit spe"),
    (["--fit", "spe", "--hist", "amplitude"], "charge"),
])
def test_monitor_options_are_refused_before_anything_is_served(tmp_path, capsys, arguments, named):
    need("bokeh")
    from vorn_tools.commands.cli import main

    assert main(["monitor", str(tmp_path), "--port", "0", *arguments]) == 2
    (line,) = capsys.readouterr().err.splitlines()
    assert line.startswith("vorn: ") and named in line


def test_command_says_one_line_per_malformed_request(tmp_path):
    need("bokeh")
    rng = np.random.default_rng(9)
    path = tmp_path / "live.wd1"
    path.write_bytes(wd1_run(range(4), rng))
    monitor = subprocess.Popen([sys.executable, "-m", "vorn_tools", "monitor", str(path), "--port", "0"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        started = monitor.stdout.readline()
        assert started.startswith("vorn monitor: serving http://127.0.0.1:"), started + monitor.stderr.read()
        port = int(started.split()[3].rsplit(":", 1)[1].strip("/"))
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        # A websocket upgrade without Bokeh's subprotocol: the handler refuses it with an exception.
        connection.request("GET", "/ws", headers={"Connection": "Upgrade", "Upgrade": "websocket",
                                                  "Sec-WebSocket-Version": "13", "Sec-WebSocket-Key": "AAAA"})
        connection.getresponse()
        connection.close()
        assert get(port, "/")[0] == 200  # and it goes on serving
    finally:
        monitor.send_signal(signal.SIGINT)
        out, err = monitor.communicate(timeout=30)
    assert monitor.returncode == 0, err
    (line,) = err.splitlines()
    assert line.startswith("vorn: monitor: GET /ws") and "ProtocolError" in line
