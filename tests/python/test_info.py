"""`vorn info`, run as a user runs it: what a file holds and its trigger rates."""

import csv
import json
import math
import re
import struct

import numpy as np
import pytest

from needs import need
from cli_support import wd1_event, wd1_file, wd2_event, write


def test_info_reports_what_the_file_holds(vorn_cli, tmp_path):
    rng = np.random.default_rng(5)
    # The first event fills a block of its own: the sums run across blocks.
    events = [(i % 2, c, rng.integers(0, 2**16, n))
              for i, (c, n) in enumerate([(7, 200_000), (9, 5), (10, 4), (-1, 9)])]
    path = write(tmp_path / "a.wd1", *(wd1_event(s, counter=c, channel=ch, timestamp=100 - c) for ch, c, s in events))
    path.write_bytes(path.read_bytes() + wd1_event([1, 2, 3])[:29])
    proc = vorn_cli("info", "--json", path, check=0)
    (doc,) = json.loads(proc.stdout)
    assert doc["events"] == 4
    assert doc["samples_per_event"] == {"min": 4, "max": 200_000}
    # 7 -> 9 skips one; 10 -> -1 goes backwards
    assert doc["event_counter"] == {"first": 7, "last": -1, "gaps": 2}
    assert doc["timestamp"] == {"first": 93, "last": 101, "min": 90, "max": 101}
    assert (doc["board_ids"], doc["board_channels"]) == ([3], [0, 1])
    for entry in doc["samples"]:
        values = np.concatenate([s for ch, _, s in events if ch == entry["board_channel"]]).astype(np.int64)
        assert (entry["samples"], entry["min"], entry["max"]) == (values.size, values.min(), values.max())
        assert entry["mean"] == pytest.approx(values.mean())
    size = sum(24 + 2 * s.size for *_, s in events)
    assert (doc["bytes_read"], doc["file_size"]) == (size, size + 29)
    assert (doc["ending"], doc["cut_offset"], doc["error"]) == ("cut", size, None)


def test_info_stops_at_an_error_with_what_came_before(vorn_cli, tmp_path):
    path = wd1_file(tmp_path / "e.wd1", [3] * 3000, np.random.default_rng(6))
    path.write_bytes(path.read_bytes() + struct.pack("<6i", 10, 0, 0, 0, 0, 0))
    proc = vorn_cli("info", path.name)
    assert proc.returncode == 1
    offset = 3000 * 30
    assert proc.stderr == f"vorn: e.wd1: invalid WD1 event_size 10 at offset {offset}: smaller than the 24-byte header\n"
    assert "  events               3,000\n" in proc.stdout
    assert f"  bytes read           {offset:,} of {offset + 24:,}\n" in proc.stdout
    assert f"  ended                error: invalid WD1 event_size 10 at offset {offset}" in proc.stdout


def rate_file(path, kind, tags, channels, rng):
    """Events at the time tags `tags` (ticks), WD1 events of board channel `channels`; WD1 keeps the
    low 31 bits, the flag bit set at random, WD2 the whole tag."""
    if kind == "WD1":
        words = (tags & (2**31 - 1)) | (rng.integers(0, 2, len(tags)) << 31)
        return write(path, *(wd1_event(np.zeros(100), i, int(c), int(w) - 2**32 * (int(w) >= 2**31))
                             for i, (w, c) in enumerate(zip(words, channels))))
    return write(path, *(wd2_event(i, np.zeros(16), 8, 2, timestamp=int(t)) for i, t in enumerate(tags)))


@pytest.mark.parametrize("kind", ["WD1", "WD2"])
def test_the_trigger_rate_of_each_channel_is_that_of_its_time_tags(vorn_cli, tmp_path, kind):
    """Exponential intervals of a known rate, over dozens of wraps of WD1's counter and several blocks
    of reading: each channel's rate is exactly (N - 1) / T of its own first and last time tags, within
    three errors of the truth, in info and in hist's summary; without a tick, no rate in Hz."""
    from vorn_tools.timing import parse_tick

    rng = np.random.default_rng(22)
    events, mean, tick = 3000, 2**26, "8ns"  # ticks between triggers; a WD1 wrap every 32 of them
    tags = 2**40 + np.cumsum(rng.exponential(mean, events)).astype(np.int64)
    # WD1: a file of two board channels interleaved, each triggering at half the rate; WD2: two channels
    # in every event.
    channels = rng.integers(0, 2, events) if kind == "WD1" else np.zeros(events, np.int64)
    path = rate_file(tmp_path / f"r.{kind.lower()}", kind, tags, channels, rng)
    seconds_per_tick = parse_tick(tick)
    truth = (0.5 if kind == "WD1" else 1.0) / (mean * seconds_per_tick)
    (doc,) = json.loads(vorn_cli("info", "--json", "--tick", tick, path, check=0).stdout)
    assert doc["tick_seconds"] == seconds_per_tick and doc.get("time_tags_back", 0) == 0
    expected = []
    for c in (0, 1):
        mine = tags[channels == c] if kind == "WD1" else tags
        span = int(mine.max() - mine.min()) * seconds_per_tick
        n = len(mine)
        expected.append({**({"board_id": 3, "board_channel": c} if kind == "WD1" else {"channel": c}),
                         "triggers": n, "seconds": span, "rate_hz": (n - 1) / span,
                         "rate_error_hz": math.sqrt(n - 1) / span})
        assert abs((n - 1) / span - truth) < 3 * math.sqrt(n - 1) / span
    assert doc["trigger_rate"] == expected
    text = vorn_cli("info", "--tick", tick, path, check=0).stdout
    scale = {"Hz": 1.0, "kHz": 1e3, "MHz": 1e6}
    for c, entry in enumerate(expected):
        found = re.search(rf"channel {c}: ([0-9.]+) (k?Hz) ± ([0-9.]+) \2", text)
        assert found is not None, text
        value, error = (float(found[i]) * scale[found[2]] for i in (1, 3))
        assert abs(value - entry["rate_hz"]) <= 0.1 * entry["rate_error_hz"]
        assert error == pytest.approx(entry["rate_error_hz"], rel=0.1)
    plain = vorn_cli("info", path, check=0).stdout
    (bare,) = json.loads(vorn_cli("info", "--json", path, check=0).stdout)
    assert "Hz" not in plain and "--tick" in plain
    assert not {"trigger_rate", "tick_seconds"} & set(bare)
    need("boost_histogram")
    hist = vorn_cli("hist", path, "--of", "time", "--tick", tick, "--csv", "h.csv", "-o", "h.png", "-q", check=0)
    with open(tmp_path / "h.csv") as table:
        found = {int(row["channel"]): (float(row["rate_hz"]), float(row["rate_error_hz"]))
                 for row in csv.DictReader(table)}
    # Of times in seconds rather than ticks: equal but for the rounding of the times.
    assert found == {c: (pytest.approx(e["rate_hz"], rel=1e-9), pytest.approx(e["rate_error_hz"], rel=1e-9))
                     for c, e in enumerate(expected)}
    assert hist.stdout.count("trigger rate") == 2


def test_time_tags_out_of_order_are_not_taken_on_trust(vorn_cli, tmp_path):
    stamps = [100, 300, 200, 400]
    path = write(tmp_path / "o.wd1", *(wd1_event([1, 2], i, timestamp=t) for i, t in enumerate(stamps)))
    proc = vorn_cli("info", "--json", "--tick", "8ns", path.name, check=0)
    assert json.loads(proc.stdout)[0]["time_tags_back"] == 1
    assert proc.stderr.startswith("vorn: o.wd1: warning: 1 timestamp below the one before")
    assert proc.stderr.count("\n") == 1


def test_json_says_null_where_a_value_is_not_a_number(vorn_cli, tmp_path):
    # Float samples may be NaN or infinite; their statistics are then too, and JSON has no word for either.
    path = write(tmp_path / "a.wd2", *(wd2_event(c, [1.0, math.nan, math.inf, 2.0], 4) for c in range(3)))
    (doc,) = json.loads(vorn_cli("info", "--json", "--type", "WD2", path, check=0).stdout)
    assert [entry["mean"] for entry in doc["samples"]] == [None]
