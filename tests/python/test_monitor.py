"""The monitor without a browser: its state, the reading thread, and what its server answers.

The state and the reader need boost-histogram ('hist' extra); the server
tests need Bokeh ('monitor' extra) and skip without it unless
VORN_BROWSER_TESTS=required.
"""
import asyncio
import contextlib
import http.client
import os
import struct
import threading
import time

import numpy as np
import pytest

import eventfiles
from eventfiles import write_in_pieces
import needs
from monitor_run import wd1_run

pytest.importorskip("boost_histogram")

from vorn_tools.features import FeatureOptions  # noqa: E402
from vorn_tools.monitor.reader import Inputs, ReaderThread  # noqa: E402
from vorn_tools.monitor.state import CounterGaps, FeatureHistograms, MonitorState, Ring, decimate  # noqa: E402



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


def test_histogram_range_from_the_first_values_then_every_value_counted_once():
    hist = FeatureHistograms("charge", bins=10, warmup=100)
    hist.fill("a", np.arange(60.0))
    assert hist.view() is None  # still choosing
    hist.fill("b", np.concatenate((np.arange(60.0, 100.0), [np.nan])))
    low, high = hist.range
    assert low < 0 and high > 99
    hist.fill("a", [-1e9, 1e9, 50.0])  # outside the range: flow bins
    view = hist.view()
    assert view.entries == {"a": 63, "b": 40} and view.undefined == {"a": 0, "b": 1}
    assert view.counts["a"].sum() == 61 and len(view.edges) == 11

    hist.reset()
    hist.fill("b", [1.0])
    view = hist.view()
    assert hist.range == (low, high)
    assert view.entries == {"a": 0, "b": 1} and view.undefined == {"a": 0, "b": 0}


def test_histogram_of_few_values_gets_its_range_when_the_run_pauses():
    state = MonitorState(warmup=1000)
    state.add_file("f", "f")
    one = {"amplitude": np.array([[5.0]]), "charge": np.array([[7.0]])}
    state.add_events("f", ["f"], np.array([0]), 10, one, np.zeros((1, 1, 4), np.uint16))
    assert state.snapshot().histograms["charge"] is None
    state.settle()
    view = state.snapshot().histograms["charge"]
    assert view.entries == {"f": 1} and view.edges[0] < 7 < view.edges[-1]


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
def reading(paths, **options):
    state = MonitorState(warmup=50)
    thread = ReaderThread(Inputs.of([str(p) for p in paths]), state, options.pop("type", "auto"),
                          FeatureOptions(**options), poll=0.01)
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
    with reading([path], polarity="negative") as state:
        # Pieces that cut events, some smaller than a header.
        write_in_pieces(path, raw, 1009, 0.002).join()
        wait_for(lambda: state.snapshot().events == len(counters))
        time.sleep(0.1)
        snap = state.snapshot()
    assert (snap.events, snap.gaps, snap.missing, snap.error_count) == (len(counters), 1, 1, 0)
    assert snap.bytes_read == snap.file_size == len(raw)
    assert sum(snap.histograms["charge"].entries.values()) == len(counters)
    amplitude = snap.histograms["amplitude"]
    assert 0 < amplitude.edges[0] < 60 and 700 < amplitude.edges[-1] < 900  # from pulses of 40 to 800 counts
    x, ys = snap.waveforms["live.wd1"]
    assert ys.shape == (16, 256) and ys.min() < 1000 - 40


def test_reader_reports_a_cut_event_a_read_error_and_a_replaced_file(tmp_path):
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

        replacement = tmp_path / "new.wd1"
        replacement.write_bytes(wd1_run(range(7), rng))
        os.replace(replacement, bad)
        wait_for(lambda: state.snapshot().files[1].events == 7)
        snap = state.snapshot()
    assert snap.files[1].reopened == 1 and snap.files[1].status == "reading"
    assert snap.errors[-1] == "bad.wd1: another file took its name; reading it from its start"


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
    assert snap.channels == ["wave0.dat", "wave1.dat"]


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
    with serving([tmp_path / "run.wd1"]) as monitor:
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
