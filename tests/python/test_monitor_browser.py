"""`vorn monitor` end to end: a run written while headless Chromium watches the page.

Needs the 'monitor' extra, Playwright and Debian's chromium (Playwright's own
browsers are not downloaded); skips without them unless
VORN_BROWSER_TESTS=required (set by the browser CI lane).
"""
import os
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from eventfiles import write_in_pieces
from monitor_run import ci_output, wd1_run


def required(what):
    if os.environ.get("VORN_BROWSER_TESTS") == "required":
        pytest.fail(f"{what} is missing but VORN_BROWSER_TESTS=required")
    pytest.skip(f"needs {what}")


@pytest.fixture
def browser():
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        required("playwright")
    chromium = shutil.which("chromium")
    if chromium is None:
        required("chromium (apt-get install chromium)")
    with sync_playwright() as playwright:
        launched = playwright.chromium.launch(executable_path=chromium)
        yield launched
        launched.close()


@pytest.fixture
def script():
    found = shutil.which("vorn", path=os.path.dirname(sys.executable))
    if found is None:
        required("the vorn console script")
    for module in ("bokeh", "boost_histogram"):
        try:
            __import__(module)
        except ImportError:
            required(module)
    return found


def text(page, name):
    return page.locator(f".vorn-{name}").inner_text()


def test_page_follows_a_run_being_written(script, browser, tmp_path):
    rng = np.random.default_rng(7)
    counters = [c for c in range(600) if c != 250]  # the writer skips one counter
    first = wd1_run(counters, rng, channel=0)
    second = wd1_run(range(300), rng, channel=1)
    total = len(counters) + 300
    run = tmp_path / "run"
    run.mkdir()
    (run / "wave0.dat").touch()
    monitor = subprocess.Popen([script, "monitor", str(run), "--port", "0", "--polarity", "negative",
                                "--hist", "amplitude", "charge", "rise_time", "--pulses", "--sample-period", "4ns"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        started = monitor.stdout.readline()
        assert started.startswith("vorn monitor: serving http://127.0.0.1:"), started + monitor.stderr.read()
        url = started.split()[3]
        page = browser.new_page(viewport={"width": 1280, "height": 1500})
        page.goto(url)
        # Blocks that cut events; the second channel's file appears while the first is written.
        writer = write_in_pieces(run / "wave0.dat", first, 4099, 0.005)
        time.sleep(0.5)
        write_in_pieces(run / "wave1.dat", second, 3001, 0.005).join()
        writer.join()

        deadline = time.monotonic() + 60
        while text(page, "waveforms") != f"{total:,}" and time.monotonic() < deadline:
            page.wait_for_timeout(100)
        assert text(page, "waveforms") == f"{total:,}"
        assert text(page, "triggers") == f"{len(counters):,}"  # every file of the run holds each trigger
        assert text(page, "charge-total") == f"{total:,}"
        assert text(page, "amplitude-total") == f"{total:,}"
        assert text(page, "rise_time-total") == f"{total:,}"
        assert [rate.endswith(" Hz") for rate in page.locator(".vorn-dark-rate").all_inner_texts()] == [True, True]
        assert (text(page, "gaps"), text(page, "missing"), text(page, "errors")) == ("1", "1", "0")
        assert text(page, "pending") == "none"
        page.wait_for_timeout(600)  # the waveforms of the last update drawn
        shot = ci_output("monitor.png") or str(tmp_path / "monitor.png")
        page.screenshot(path=shot, full_page=True)
        assert os.path.getsize(shot) > 10_000
    finally:
        monitor.send_signal(signal.SIGTERM)
        out, err = monitor.communicate(timeout=30)
    assert monitor.returncode == 0, err
    assert out.splitlines()[-1] == (f"{len(counters):,} triggers ({total:,} waveforms) from 2 files,"
                                    f" {len(first) + len(second):,} bytes read, 0 errors")
    assert err == ""
