"""The `vorn` command, run as a user runs it: the installed console script in a subprocess.

The conversion across block and chunk boundaries runs in this process instead,
with those sizes made small.

The command and h5py come with `pip install '.[cli]'`, the --scheduler test
needs `.[dask]`. Without them these tests skip, unless VORN_CLI_TESTS=required
(set by the main CI lane), where a skip would hide a broken install: then they fail.
"""

import csv
import fcntl
import functools
import importlib
import importlib.metadata
import json
import math
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import numpy as np
import pytest

import eventfiles
import vorn
from eventfiles import write_in_pieces
from needs import need

WD1_KEYS = ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")
WD2_KEYS = ("event_counter", "timestamp", "samples", "sampling_period", "channels")




@pytest.fixture
def vorn_cli(script, tmp_path):
    def run(*args, check=None, **kwargs):
        proc = subprocess.run([script, *map(str, args)], capture_output=True, text=True, timeout=120,
                              cwd=tmp_path, **kwargs)
        if check is not None:
            assert proc.returncode == check, proc.stderr
        return proc
    return run


# --- files ----------------------------------------------------------------------

def wd1_event(samples, counter=0, channel=0, timestamp=0, pad=False, board=3):
    data = np.asarray(samples, dtype="<u2").tobytes() + (b"\x00" if pad else b"")
    return eventfiles.wd1_event(24 + len(data), board, 5, channel, counter, timestamp, samples=data)


def wd2_event(counter, data, samples, channels=None, period=8, timestamp=0):
    return eventfiles.wd2_event(counter % 2**32, timestamp, samples, period,
                                np.asarray(data, dtype="<f4").tobytes(), channels)


def write(path, *events):
    path.write_bytes(b"".join(events))
    return path


def wd1_file(path, lengths, rng, pad_every=0):
    return write(path, *(wd1_event(rng.integers(0, 2**16, n), i, i % 3, i * 1000, pad_every and i % pad_every == 0)
                         for i, n in enumerate(lengths)))


def wd2_file(path, events, samples, channels, word, rng, first=0):
    """`samples` per channel, the same for every event or a list of one count per event."""
    counts = samples if isinstance(samples, list) else [samples] * events
    values = [rng.normal(0, 1, channels * n).astype(np.float32) for n in counts]
    values[0][:2] = [np.nan, -0.0]  # passed through bit for bit
    return write(path, *(wd2_event(first + i, values[i], n, channels if word else None, timestamp=2**63 + i)
                         for i, n in enumerate(counts)))


def big_wd1(path, events, samples=1024, seed=0):
    rng = np.random.default_rng(seed)
    dtype = np.dtype([(k, "<i4") for k in WD1_KEYS] + [("data", "<u2", samples)])
    block = np.zeros(events, dtype)
    block["event_size"] = dtype.itemsize
    block["event_counter"] = np.arange(events)
    block["data"] = rng.integers(0, 4096, (events, samples))
    block.tofile(path)
    return path


# --- what a converted group must hold ------------------------------------------

def assert_group_is_the_file(group, path, kind, float32=False, source=None):
    """Every value, and the one layout the file calls for: (events, samples) when all
    events have as many samples, (events, channels, samples) for such WD2 files of
    K >= 2, flat data with offsets otherwise."""
    events = list(vorn.EventReader(str(path), kind))
    keys = WD1_KEYS if kind == "WD1" else WD2_KEYS
    arrays = [e["data"].view(np.float32) if float32 else e["data"] for e in events]
    flat = len({a.size for a in arrays}) > 1
    assert sorted(group) == sorted([*keys, "data"] + ["offsets"] * flat)
    for key in keys:
        assert group[key].dtype == vorn_dtype(kind, key)
        assert group[key][()].tolist() == [e[key] for e in events]
        assert labels(group[key]) == ["event"]
    stored = group["data"][()]
    assert stored.dtype == (np.float32 if float32 or kind == "WD2" else np.uint16)
    if flat:
        offsets = group["offsets"][()]
        assert offsets.tolist() == np.cumsum([0] + [a.size for a in arrays]).tolist()
        eventfiles.assert_same_bytes(stored.tobytes(), b"".join(a.tobytes() for a in arrays))
        assert (labels(group["data"]), labels(group["offsets"])) == (["sample"], ["event"])
    else:
        width = arrays[0].size if arrays else 0
        channels = width // events[0]["samples"] if kind == "WD2" and events[0]["samples"] else 1
        if channels >= 2:
            assert stored.shape == (len(arrays), channels, width // channels)
            assert labels(group["data"]) == ["event", "channel", "sample"]
        else:
            assert stored.shape == (len(arrays), width)
            assert labels(group["data"]) == ["event", "sample"]
        assert all(row.tobytes() == a.tobytes() for row, a in zip(stored, arrays))
    assert group.attrs["events"] == len(events)
    assert group.attrs["reader_type"] == kind
    assert group.attrs["source"] == str(Path(source or path).resolve())


def labels(dataset):
    return [axis.label for axis in dataset.dims]


def vorn_dtype(kind, key):
    if kind == "WD1":
        return np.int32
    return {"event_counter": np.uint32, "samples": np.uint32, "channels": np.int32}.get(key, np.uint64)


ROUND_TRIPS = {
    # name: (kind, writer, options, expected channels / word)
    "wd1 2-D, some events padded": ("WD1", lambda p, r: wd1_file(p, [700] * 400, r, pad_every=7), ["--compression",
                                                                                                  "none"]),
    "wd1 2-D then lengths differ": ("WD1", lambda p, r: wd1_file(p, [300] * 500 + [0, 3, 301, 1, 300], r,
                                                                 pad_every=2), ["--compression", "gzip"]),
    "wd1 float32": ("WD1", lambda p, r: wd1_file(p, [64] * 10, r), ["--float32", "--compression", "none"]),
    # Files this small are written unchunked, in one go at the end.
    "wd1 a few events, lengths differ": ("WD1", lambda p, r: wd1_file(p, [5, 0, 17, 3], r, pad_every=2), []),
    "wd2 K=3 with the word, a few events": ("WD2", lambda p, r: wd2_file(p, 3, 4, 3, True, r), []),
    "wd2 K=2 with the word": ("WD2", lambda p, r: wd2_file(p, 300, 250, 2, True, r, first=2**32 - 2), []),
    "wd2 K=3 with the word, lzf": ("WD2", lambda p, r: wd2_file(p, 40, 100, 3, True, r), ["--compression", "lzf"]),
    "wd2 K=3 with the word, then samples change": ("WD2", lambda p, r: wd2_file(p, 60, [100] * 40 + [7, 0, 101] * 6
                                                                                + [100] * 2, 3, True, r), []),
    "wd2 K=1 without the word": ("WD2", lambda p, r: wd2_file(p, 300, 401, 1, False, r), ["--compression", "none"]),
}


@pytest.mark.parametrize("name", ROUND_TRIPS)
def test_round_trip(vorn_cli, tmp_path, name):
    h5py = need("h5py")
    kind, make, options = ROUND_TRIPS[name]
    path = make(tmp_path / "run.bin", np.random.default_rng(len(name)))
    vorn_cli("convert", path, "-o", "out.h5", *options, check=0)
    with h5py.File(tmp_path / "out.h5") as out:
        assert list(out) == ["run"]
        assert_group_is_the_file(out["run"], path, kind, float32="--float32" in options)
        assert out["run"].attrs["ending"] == "end of file"
        if kind == "WD2":
            word = "without" not in name
            channels = 1 if not word else 3 if "K=3" in name else 2
            assert (out["run"].attrs["channels"], out["run"].attrs["channel_word"]) == (channels, word)


# Every size that cuts a conversion into pieces, made small, so that a file of a
# few hundred events crosses each many times, and a block of events is
# copied before the group is large enough to get chunked datasets.
SMALL_SIZES = [("BLOCK_MAX_EVENTS", 9), ("FLAT_BLOCK_BYTES", 256), ("CONVERT_COLUMN_CHUNK_EVENTS", 20),
               ("CONVERT_COPY_BYTES", 500), ("CONVERT_FLAT_CHUNK_BYTES", 64), ("CONVERT_UNCHUNKED_BYTES", 2000)]
# Writers of a file whose first LEAD events have as many samples, all of them or then others.
BOUNDARY_FILES = {
    "wd1 2-D, some events padded": ("WD1", lambda p, r, lead: wd1_file(p, [40] * lead, r, pad_every=7)),
    "wd1 2-D then flat": ("WD1", lambda p, r, lead: wd1_file(p, [40] * lead + [0, 3, 41, 1, 40] * 60, r)),
    "wd2 K=3": ("WD2", lambda p, r, lead: wd2_file(p, lead, 10, 3, True, r)),
    "wd2 K=3 then flat": ("WD2", lambda p, r, lead: wd2_file(p, lead + 200, [10] * lead + [3, 0, 11, 10] * 50, 3,
                                                             True, r)),
}


@pytest.mark.parametrize("compression", ["gzip", "lzf", "none"])
@pytest.mark.parametrize("name", BOUNDARY_FILES)
def test_conversion_across_every_boundary(tmp_path, monkeypatch, name, compression):
    h5py = need("h5py")
    convert = need("vorn_tools.outputs.hdf5_events")
    formats = need("vorn_tools.formats")
    for constant, value in SMALL_SIZES:
        monkeypatch.setattr(f"vorn_tools.sizes.{constant}", value)
    # 9 WD1 events (BLOCK_MAX_EVENTS) or 8 WD2 events (their bytes of samples) per 2-D block
    monkeypatch.setattr(convert, "EventBlocks", functools.partial(convert.EventBlocks, block_bytes=1000))
    kind, make = BOUNDARY_FILES[name]
    rng = np.random.default_rng(len(name))
    # As many files as a block has rows at most, the first event of another length (or the end) one
    # row further in each: in one of them it comes just after a block that filled up.
    leads = range(300, 300 + dict(SMALL_SIZES)["BLOCK_MAX_EVENTS"])
    paths = [make(tmp_path / f"run{lead}.bin", rng, lead) for lead in leads]
    tasks = [convert.Task(str(path), formats.open_layout(str(path), kind), path.stem, convert.Options(compression))
             for path in paths]
    outcomes = convert.convert_into_one(tasks, str(tmp_path / "out.h5"))
    assert [outcome.error for outcome in outcomes] == [None] * len(paths)
    with h5py.File(tmp_path / "out.h5") as out:
        for path in paths:
            assert_group_is_the_file(out[path.stem], path, kind)


def test_bad_files_fail_alone(vorn_cli, tmp_path):
    h5py = need("h5py")
    rng = np.random.default_rng(1)
    good = wd1_file(tmp_path / "good.wd1", [10] * 5, rng)
    cut = Path(tmp_path / "cut.wd1")
    cut.write_bytes(wd1_file(tmp_path / "whole.wd1", [10] * 3, rng).read_bytes()[:-7])
    invalid = write(tmp_path / "invalid.wd1", wd1_event([1, 2]), struct.pack("<6i", 10, 0, 0, 0, 1, 0))
    odd = write(tmp_path / "odd.wd1", wd1_event([1, 2, 3]))
    names = [p.name for p in (good, cut, invalid, odd)] + ["missing.wd1"]
    proc = vorn_cli("convert", "--type", "WD1", "--float32", *names, "-o", "out.h5")
    assert proc.returncode == 1
    errors = proc.stderr.splitlines()
    assert "vorn: invalid.wd1: invalid WD1 event_size 10 at offset 28: smaller than the 24-byte header" in errors
    assert any(line.startswith("vorn: odd.wd1: event at offset 0 has 3 samples") for line in errors)
    assert any(line.startswith("vorn: missing.wd1: ") for line in errors)
    assert errors[-1] == "vorn: 3 of 5 files failed: invalid.wd1, odd.wd1, missing.wd1"
    with h5py.File(tmp_path / "out.h5") as out:
        assert sorted(out) == ["cut", "good"]
        assert_group_is_the_file(out["good"], good, "WD1", float32=True)
        assert_group_is_the_file(out["cut"], cut, "WD1", float32=True)
        assert out["cut"].attrs["ending"] == f"event cut at offset {2 * 44}: 37 of its 44 bytes present"
        assert out["cut"].attrs["cut_offset"] == 2 * 44
    assert sorted(p.name for p in tmp_path.iterdir() if p.suffix == ".h5" or ".partial" in p.name) == ["out.h5"]


def test_other_hdf5_tools_read_every_dataset(vorn_cli, tmp_path):
    h5py = need("h5py")
    h5dump = need("h5dump", program=True)
    rng = np.random.default_rng(14)
    # Large enough for chunked, compressed datasets, and one file that is not.
    wd1 = [wd1_file(tmp_path / "wd1.bin", [200] * 100, rng), wd1_file(tmp_path / "tiny.bin", [16] * 4, rng),
           wd1_file(tmp_path / "flat.bin", [200] * 50 + [0, 3, 201] * 20, rng)]
    wd2 = [wd2_file(tmp_path / "k1.bin", 60, 100, 1, False, rng), wd2_file(tmp_path / "k3.bin", 60, 100, 3, True, rng)]
    vorn_cli("convert", "--type", "WD1", *wd1, "-o", "wd1.h5", check=0)
    vorn_cli("convert", "--type", "WD2", *wd2, "-o", "wd2.h5", check=0)
    assert (tmp_path / "tiny.bin").stat().st_size == 224
    for output, files, keys in (("wd1.h5", wd1, WD1_KEYS), ("wd2.h5", wd2, WD2_KEYS)):
        proc = subprocess.run([h5dump, output], capture_output=True, text=True, timeout=120, cwd=tmp_path)
        assert proc.returncode == 0, proc.stderr
        assert "unable to print" not in proc.stdout + proc.stderr
        datasets = len(files) * (len(keys) + 1) + (output == "wd1.h5")  # + offsets
        assert proc.stdout.count("\n      DATASET ") == datasets
    with h5py.File(tmp_path / "wd1.h5") as out:
        assert out["tiny"]["data"].chunks is None
        assert out["wd1"]["data"].compression == "gzip"
    # A small file makes a small HDF5 file: no chunk stored whole for a few events.
    vorn_cli("convert", wd1[1], "-o", "tiny.h5", check=0)
    assert (tmp_path / "tiny.h5").stat().st_size < 16_000


def test_existing_output_needs_force(vorn_cli, tmp_path):
    need("h5py")
    path = wd1_file(tmp_path / "a.wd1", [4, 4], np.random.default_rng(2))
    (tmp_path / "out.h5").write_bytes(b"precious")
    proc = vorn_cli("convert", path, "-o", "out.h5")
    assert proc.returncode == 2
    assert "out.h5 exists: pass --force" in proc.stderr
    assert (tmp_path / "out.h5").read_bytes() == b"precious"
    vorn_cli("convert", path, "-o", "out.h5", "--force", check=0)
    assert (tmp_path / "out.h5").read_bytes()[:8] == b"\x89HDF\r\n\x1a\n"


@pytest.mark.parametrize("force", [[], ["--force"]])
@pytest.mark.parametrize("spelling", ["same", "absolute", "dotted", "symlink", "hard link", "folder"])
def test_an_input_is_never_replaced(vorn_cli, tmp_path, spelling, force):
    need("h5py")
    (tmp_path / "sub").mkdir()
    path = wd1_file(tmp_path / "sub" / "run.h5", [4] * 3, np.random.default_rng(20))
    original = path.read_bytes()
    output = {"same": "sub/run.h5", "absolute": str(path), "dotted": "sub/../sub/./run.h5",
              "symlink": "link.h5", "hard link": "hard.h5", "folder": "sub"}[spelling]
    if spelling == "symlink":
        (tmp_path / "link.h5").symlink_to(path)
    if spelling == "hard link":
        os.link(path, tmp_path / "hard.h5")
    parallel = ["--jobs", "1"] if spelling == "folder" else []  # sub/run.h5 is where run.h5 would go
    proc = vorn_cli("convert", "sub/run.h5", "-o", output, *parallel, *force)
    assert proc.returncode == 2
    assert "is the input sub/run.h5: it is never replaced" in proc.stderr
    assert path.read_bytes() == original


@pytest.mark.parametrize("selection, start, stop", [("3", 0, 3), ("2:5", 2, 5), ("7:", 7, 10), ("4:40", 4, 10),
                                                    ("12:", 10, 10)])
def test_events_selects_a_slice(vorn_cli, tmp_path, selection, start, stop):
    h5py = need("h5py")
    path = wd1_file(tmp_path / "a.wd1", [5, 6, 5, 7] + [5] * 6, np.random.default_rng(21))
    wanted = list(vorn.EventReader(str(path), "WD1"))[start:stop]
    (doc,) = json.loads(vorn_cli("info", "--json", "--events", selection, path, check=0).stdout)
    assert (doc["events"], doc["event_counter"]["first"]) == (len(wanted), start if wanted else None)
    assert doc["ending"] == ("selection" if stop < 10 else "end of file")
    vorn_cli("convert", "--events", selection, path, "-o", "out.h5", check=0)
    with h5py.File(tmp_path / "out.h5") as out:
        group = out["a"]
        assert group["event_counter"][()].tolist() == [e["event_counter"] for e in wanted]
        stored = group["data"][()]
        flat = stored.reshape(-1) if "offsets" not in group else stored
        eventfiles.assert_same_bytes(flat.tobytes(), b"".join(e["data"].tobytes() for e in wanted))
        assert group.attrs["bytes_read"] == sum(e["event_size"] for e in list(vorn.EventReader(str(path), "WD1"))[:stop])


@pytest.mark.parametrize("salvage", [False, True])
def test_salvage_keeps_the_events_before_an_error(vorn_cli, tmp_path, salvage):
    h5py = need("h5py")
    good = wd1_file(tmp_path / "good.wd1", [8] * 3000, np.random.default_rng(22))
    path = write(tmp_path / "bad.wd1", good.read_bytes(), struct.pack("<6i", 10, 0, 0, 0, 0, 0))
    proc = vorn_cli("convert", path.name, "-o", "out.h5", *["--salvage"] * salvage)
    assert proc.returncode == 1
    message = f"invalid WD1 event_size 10 at offset {3000 * 40}: smaller than the 24-byte header"
    assert f"vorn: bad.wd1: {message}\n" in proc.stderr
    if not salvage:
        assert not (tmp_path / "out.h5").exists()
        return
    with h5py.File(tmp_path / "out.h5") as out:
        assert_group_is_the_file(out["bad"], good, "WD1", source=path)
        assert out["bad"].attrs["ending"] == f"error: {message}; 24 bytes unread"


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGTERM])
def test_an_interrupted_conversion_leaves_nothing_complete_looking(script, tmp_path, sig):
    need("h5py")
    path = big_wd1(tmp_path / "big.wd1", 40_000)
    proc = subprocess.Popen([script, "convert", str(path), "-o", "out.h5", "--compression", "gzip"],
                            cwd=tmp_path, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not any(p.stat().st_size > 1 << 20 for p in tmp_path.glob(".out.h5.*.partial")):
        assert proc.poll() is None and time.monotonic() < deadline, "finished before it could be interrupted"
        time.sleep(0.01)
    proc.send_signal(sig)
    _, stderr = proc.communicate(timeout=60)
    left = sorted(p.name for p in tmp_path.iterdir() if p.name != "big.wd1")
    assert "out.h5" not in left
    if sig == signal.SIGKILL:
        assert len(left) == 1 and left[0].startswith(".out.h5.") and left[0].endswith(".partial")
    else:
        assert (proc.returncode, left, stderr) == (128 + sig, [], "vorn: interrupted\n")


# --- telling the formats apart ----------------------------------------------------

def ambiguous(path):
    # One-channel WD2 events without the word whose counters equal their own
    # size: read as WD1, event_size chains exactly from event to event.
    samples = 6
    size = 24 + 4 * samples
    return write(path, *(wd2_event(size, [1.0] * samples, samples) for _ in range(4)))


def test_auto_detection(vorn_cli, tmp_path):
    rng = np.random.default_rng(3)
    wd1 = wd1_file(tmp_path / "a.bin", [5, 0, 17, 3], rng, pad_every=2)
    wd2_word = wd2_file(tmp_path / "b.bin", 3, 4, 3, True, rng)
    wd2_plain = wd2_file(tmp_path / "c.bin", 3, 20, 1, False, rng)
    proc = vorn_cli("info", "--json", wd1, wd2_word, wd2_plain, check=0)
    assert [(d["type"], d.get("channels"), d.get("channel_word")) for d in json.loads(proc.stdout)] == \
        [("WD1", None, None), ("WD2", 3, True), ("WD2", 1, False)]
    garbage = tmp_path / "garbage.bin"
    garbage.write_bytes(np.random.default_rng(4).bytes(4096))
    undecidable = "cannot tell WD1 from WD2: pass --type WD1 or --type WD2"
    for path, why in [(ambiguous(tmp_path / "both.bin"), undecidable), (garbage, undecidable),
                      (write(tmp_path / "empty.bin"), "the file is empty")]:
        # That file fails alone: the others are reported, and --json stays one document.
        proc = vorn_cli("info", "--json", path.name, wd1.name)
        assert (proc.returncode, proc.stderr) == (1, f"vorn: {path.name}: {why}\n")
        assert [d.get("error") or d["type"] for d in json.loads(proc.stdout)] == [why, "WD1"]
    for kind in ("WD1", "WD2"):
        proc = vorn_cli("info", "--json", "--type", kind, tmp_path / "both.bin", check=0)
        assert json.loads(proc.stdout)[0]["events"] == 4


# --- how reading ended -----------------------------------------------------------

def recording(path, twice=False):
    """40 events and the first 150 of the 224 bytes of a 41st, as an acquisition stopped mid-write leaves;
    `twice`: that recording twice over, as `cat` joins two of them."""
    rng = np.random.default_rng(30)
    raw = b"".join(wd1_event(rng.integers(3000, 3100, 100), i) for i in range(41))[:40 * 224 + 150]
    return write(path, raw * (2 if twice else 1))


READING_COMMANDS = {
    "info": [],
    "convert": ["-o", "out.h5"],
    "features": ["-o", "out.parquet"],
    "hist": ["--of", "charge", "-o", "out.png"],
    "plot": ["-n", "100", "-o", "out.png"],
    "follow": ["--idle", "0.5", "--poll", "0.05"],
}
LIBRARIES = {"convert": "h5py", "features": "pyarrow", "hist": "boost_histogram", "plot": "matplotlib"}


@pytest.mark.parametrize("command, salvage", [(c, s) for c in READING_COMMANDS for s in (False, True)
                                               if not s or c in ("convert", "features", "hist")])
def test_a_file_not_read_to_its_end_fails(vorn_cli, tmp_path, command, salvage):
    if command in LIBRARIES:
        need(LIBRARIES[command])
    path = recording(tmp_path / "twice.wd1", twice=True)
    # The cut event of the first recording takes the second one's first bytes
    # as its own; the header after them declares more than the file holds.
    events = list(vorn.EventReader(str(path), "WD1"))
    stop = sum(e["event_size"] for e in events)
    unread = path.stat().st_size - stop
    assert (len(events), unread) == (41, 40 * 224 + 150 - 74)
    # Beside a good file where the command takes several: that one's output alone is no reason to keep any.
    inputs = [recording(tmp_path / "once.wd1").name] if command not in ("plot", "follow") else []
    proc = vorn_cli(command, "--type", "WD1", *inputs, path.name, *READING_COMMANDS[command],
                    *["--salvage"] * salvage)
    assert proc.returncode == 1
    assert f"vorn: twice.wd1: not read to its end: stopped at offset {stop} of {2 * (40 * 224 + 150)}," \
           f" {unread} bytes unread" in proc.stderr
    if command == "convert":
        with need("h5py").File(tmp_path / "out.h5") as out:
            assert sorted(out) == (["once", "twice"] if salvage else ["once"])
            if salvage:
                assert (len(out["twice"]["event_counter"]), out["twice"].attrs["bytes_unread"]) == (41, unread)
    if command == "features":
        assert (tmp_path / "out.parquet").exists() == salvage
        if salvage:
            table = need("pyarrow.parquet").read_table(tmp_path / "out.parquet")
            assert table.filter(table["file"].to_numpy() == 1)["entry"].to_pylist() == list(range(41))
    if command == "hist":
        assert (tmp_path / "out.png").exists() == salvage


@pytest.mark.parametrize("command", READING_COMMANDS)
def test_a_trailing_cut_event_is_one_line(vorn_cli, tmp_path, command):
    if command in LIBRARIES:
        need(LIBRARIES[command])
    path = recording(tmp_path / "once.wd1")
    proc = vorn_cli(command, "--type", "WD1", path.name, *READING_COMMANDS[command], check=0)
    assert proc.stderr == ""
    said = [line for line in proc.stdout.splitlines() if "cut" in line]
    assert len(said) == 1 and f"event cut at offset {40 * 224}: 150 of its 224 bytes present" in said[0]
    assert ("40 events" in said[0]) == (command != "info")


def test_an_event_below_the_header_size_takes_a_header(vorn_cli, tmp_path):
    h5py = need("h5py")
    # event_size 23 is an event of no samples that still takes its 24-byte header.
    rng = np.random.default_rng(31)
    whole = [wd1_event(rng.integers(0, 4096, 100), i) for i in range(4)]
    path = write(tmp_path / "a.wd1", whole[0], eventfiles.wd1_event(event_size=23, event_counter=1), whole[2],
                 whole[3][:100])
    read = 224 + 24 + 224
    (doc,) = json.loads(vorn_cli("info", "--json", "--type", "WD1", path.name, check=0).stdout)
    assert (doc["events"], doc["samples_per_event"]["min"]) == (3, 0)
    assert (doc["bytes_read"], doc["cut_offset"], doc["cut_declared_size"], doc["ending"]) == (read, read, 224, "cut")
    vorn_cli("convert", "--type", "WD1", path.name, "-o", "out.h5", check=0)
    with h5py.File(tmp_path / "out.h5") as out:
        group = out["a"]
        assert (group.attrs["bytes_read"], group.attrs["cut_offset"]) == (read, read)
        assert group["offsets"][()].tolist() == [0, 100, 100, 200]


# --- info -------------------------------------------------------------------------

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


PROGRESS = {"info": ([], b"a.wd1: "), "convert": (["-o", "o.h5"], b"convert: "),
            "features": (["-o", "t.parquet"], b"features: "), "hist": (["--of", "charge", "-o", "h.png"], b"hist: ")}


@pytest.mark.parametrize("command", PROGRESS)
@pytest.mark.parametrize("quiet", [False, True])
def test_progress_only_on_a_terminal_and_not_when_quiet(script, tmp_path, quiet, command):
    need("tqdm")
    for library in {"convert": ["h5py"], "features": ["pyarrow"], "hist": ["boost_histogram", "matplotlib"]}.get(command, []):
        need(library)
    path = wd1_file(tmp_path / "a.wd1", [100] * 50, np.random.default_rng(13))
    main, terminal = os.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("4H", 24, 80, 0, 0))  # a new one is 0 x 0
    options, label = PROGRESS[command]
    try:
        proc = subprocess.run([script, command, str(path), *options] + ["--quiet"] * quiet,
                              stdout=subprocess.DEVNULL, stderr=terminal, timeout=60, cwd=tmp_path)
        os.close(terminal)
        drawn = b""
        while select.select([main], [], [], 0.1)[0]:
            try:
                chunk = os.read(main, 4096)
            except OSError:  # EIO once the other side is closed and all is read
                break
            if not chunk:
                break
            drawn += chunk
    finally:
        os.close(main)
    assert proc.returncode == 0
    # Bytes with a total: a percentage, and the time left.
    assert (label in drawn and b"%|" in drawn and b"B/s" in drawn) != quiet, drawn


# --- many files ---------------------------------------------------------------------

@pytest.fixture
def cluster():
    distributed = need("distributed")
    # Workers as threads of this process keep it cheap; TCP lets the command reach the scheduler.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, protocol="tcp://",
                                  host="127.0.0.1", dashboard_address=None) as cluster:
        yield cluster


def test_parallel_runs_write_what_a_sequential_run_writes(vorn_cli, tmp_path, cluster):
    h5py = need("h5py")
    rng = np.random.default_rng(7)
    files = [wd1_file(tmp_path / "x.wd1", [50] * 40, rng),
             wd1_file(tmp_path / "y.wd1", [0, 9, 2] * 30, rng),
             wd2_file(tmp_path / "x.wd2", 20, 30, 2, True, rng)]
    vorn_cli("convert", *files, "-o", "one.h5", check=0)
    vorn_cli("convert", *files, "-o", "jobs", "--jobs", "2", check=0)
    vorn_cli("convert", *files, "-o", "dask", "--scheduler", cluster.scheduler_address, check=0)
    with h5py.File(tmp_path / "one.h5") as one:
        assert sorted(one) == ["x", "x_2", "y"]
        for folder in ("jobs", "dask"):
            assert sorted(os.listdir(tmp_path / folder)) == ["x.h5", "x_2.h5", "y.h5"]
            for name in one:
                with h5py.File(tmp_path / folder / f"{name}.h5") as alone:
                    assert_same_group(one[name], alone[name])


def test_files_of_one_stem_each_keep_their_own_group(vorn_cli, tmp_path):
    h5py = need("h5py")
    rng = np.random.default_rng(14)
    files = []
    for folder, n in zip("abc", (5, 9, 13)):
        (tmp_path / folder).mkdir()
        files.append(wd1_file(tmp_path / folder / "x.wd1", [n] * (n + 1), rng))
    vorn_cli("convert", *files, "-o", "one.h5", check=0)
    vorn_cli("convert", *files, "-o", "jobs", "--jobs", 2, check=0)
    names = ["x", "x_2", "x_3"]
    assert sorted(os.listdir(tmp_path / "jobs")) == [f"{name}.h5" for name in names]
    with h5py.File(tmp_path / "one.h5") as one:
        assert sorted(one) == names
        for name, path in zip(names, files):
            assert_group_is_the_file(one[name], path, "WD1")
            with h5py.File(tmp_path / "jobs" / f"{name}.h5") as alone:
                assert_group_is_the_file(alone[name], path, "WD1")


def assert_same_group(a, b):
    """The same datasets and attributes, but for the command line, which names each run's own options."""
    assert sorted(a) == sorted(b)
    assert {**a.attrs, "command": ""} == {**b.attrs, "command": ""}
    for key in a:
        assert (a[key].dtype, a[key][()].tobytes()) == (b[key].dtype, b[key][()].tobytes())


def partial_outputs_grow(proc, folder, names):
    """Waits until every named output is being written: the conversions are under way."""
    deadline = time.monotonic() + 60
    while not all(any(p.stat().st_size > 1 << 20 for p in folder.glob(f".{name}.*.partial")) for name in names):
        assert proc.poll() is None and time.monotonic() < deadline, "finished before it could be interrupted"
        time.sleep(0.01)


@pytest.mark.parametrize("how", ["ctrl-c", "sigterm"])
def test_an_interrupt_ends_every_job(script, tmp_path, how):
    need("h5py")
    files = [big_wd1(tmp_path / f"{name}.wd1", 40_000, seed=i) for i, name in enumerate("ab")]
    proc = subprocess.Popen([script, "convert", *map(str, files), "-o", "out", "--jobs", "2", "--compression", "gzip"],
                            cwd=tmp_path, stderr=subprocess.PIPE, text=True, start_new_session=True)
    partial_outputs_grow(proc, tmp_path / "out", ["a.h5", "b.h5"])
    if how == "ctrl-c":  # the terminal signals the whole process group
        os.killpg(proc.pid, signal.SIGINT)
    else:
        proc.send_signal(signal.SIGTERM)
    _, stderr = proc.communicate(timeout=60)
    sig = signal.SIGINT if how == "ctrl-c" else signal.SIGTERM
    assert (proc.returncode, stderr) == (128 + sig, "vorn: interrupted\n")
    assert os.listdir(tmp_path / "out") == []


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_an_interrupt_calls_off_the_tasks_on_a_cluster(script, tmp_path, cluster, sig):
    need("h5py")
    path = big_wd1(tmp_path / "big.wd1", 40_000)
    proc = subprocess.Popen([script, "convert", str(path), "-o", "out", "--scheduler", cluster.scheduler_address,
                             "--compression", "gzip"], cwd=tmp_path, stderr=subprocess.PIPE, text=True)
    partial_outputs_grow(proc, tmp_path / "out", ["big.h5"])
    proc.send_signal(sig)
    _, stderr = proc.communicate(timeout=90)
    assert (proc.returncode, stderr) == (128 + sig, "vorn: interrupted\n")
    # The task stopped before the command returned: nothing is still writing.
    assert os.listdir(tmp_path / "out") == []
    assert not any(worker.state.executing_count for worker in cluster.workers.values())


def test_jobs_report_each_file_on_its_own_line(vorn_cli, tmp_path):
    need("h5py")
    rng = np.random.default_rng(23)
    # The slow file first: the others finish before it.
    files = [big_wd1(tmp_path / "slow.wd1", 20_000), wd1_file(tmp_path / "one.wd1", [3], rng),
             wd1_file(tmp_path / "two.wd1", [3, 4], rng), write(tmp_path / "bad.wd1", b"\x00" * 30),
             wd1_file(tmp_path / "three.wd1", [3, 4, 5], rng)]
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "two.h5").write_bytes(b"old")
    proc = vorn_cli("convert", *[f.name for f in files], "-o", "out", "--jobs", "2")
    assert (proc.returncode, proc.stderr) == (2, "vorn: out/two.h5 exists: pass --force to replace it\n")
    assert (tmp_path / "out" / "two.h5").read_bytes() == b"old"
    proc = vorn_cli("convert", "--type", "WD1", *[f.name for f in files], "-o", "out", "--jobs", "2", "--force")
    assert proc.returncode == 1
    assert proc.stdout.splitlines() == [
        "slow.wd1 -> out/slow.h5: 20,000 events, end of file",
        "one.wd1 -> out/one.h5: 1 event, end of file",
        "two.wd1 -> out/two.h5: 2 events, end of file",
        "three.wd1 -> out/three.h5: 3 events, end of file",
    ]
    assert proc.stderr.splitlines()[-1] == "vorn: 1 of 5 files failed: bad.wd1"
    assert sorted(os.listdir(tmp_path / "out")) == ["one.h5", "slow.h5", "three.h5", "two.h5"]


@pytest.mark.parametrize("args, module, extra", [
    (["convert", "-o", "out.h5"], "h5py", "cli"),
    (["plot"], "matplotlib", "cli"),
    (["convert", "-o", "out", "--scheduler", "tcp://127.0.0.1:1"], "distributed", "dask"),
])
def test_a_missing_library_names_its_pip_command(vorn_cli, tmp_path, args, module, extra):
    if module == "distributed":
        need("h5py")  # asked for first
    path = wd1_file(tmp_path / "a.wd1", [4], np.random.default_rng(8))
    blocked = tmp_path / "blocked"
    blocked.mkdir()
    (blocked / f"{module}.py").write_text("raise ImportError('not here')\n")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(blocked), os.environ.get("PYTHONPATH", "")])}
    proc = vorn_cli(*args[:1], path, *args[1:], env=env)
    assert proc.returncode == 2
    assert proc.stderr.endswith(f"pip install 'vorn[{extra}]' (in a source checkout: pip install '.[{extra}]')\n")


# --- bad usage and bad inputs --------------------------------------------------------

BAD = [
    # (arguments, exit status, what stderr says); {wd1} and the like are files the test writes
    (["plot", "{wd1}", "-n", "-3"], 2, "argument -n/--events: N must not be negative"),
    (["plot", "{wd1}", "-n", "2:x"], 2, "STOP must be a whole number, not 'x'"),
    (["plot", "{wd2}", "--channel", "2"], 1, "no channel 2; the file has channels 0 to 1"),
    (["plot", "{wd1}", "--channel", "5"], 1, "no channel 5 among the selected events"),
    (["plot", "{wd1}", "--channel", "-1"], 2, "channels are numbered from 0"),
    (["plot", "{floats}", "-o", "f.svg"], 0, "look like the halves of 32-bit floats: pass --float32"),
    (["convert", "{wd1}", "-o", "d", "--scheduler", "notanaddress"], 2, "is not a scheduler address"),
    (["convert", "{wd1}", "-o", "d", "--jobs", "0"], 2, "must be at least 1, not 0"),
    (["convert", "{wd1}", "-o", "d", "--jobs", "2", "--scheduler", "tcp://127.0.0.1:1"], 2, "not allowed with"),
    (["convert", "{garbage}", "-o", "x.h5"], 1, "cannot tell WD1 from WD2: pass --type WD1 or --type WD2"),
    (["info", "{wd1}", "--events=-1:"], 2, "START must not be negative"),
    (["info", "--type", "WD2", "{empty}"], 1, "too short for WD2, or not a WD2 file: try --type auto"),
    (["info", "/dev/stdin"], 1, "the format of a pipe or device cannot be detected: pass --type"),
    (["info", "{missing}"], 1, "No such file or directory"),
    (["info", "."], 1, "a folder, not an event file"),
    (["plot", "{wd1}", "-o", "p.xyz"], 2, "the image format follows its extension"),
    (["plot", "{wd1}", "-o", "{wd1}"], 2, "it is never replaced"),
    (["features", "."], 2, "the following arguments are required: -o/--output"),
    (["features", ".", "-o", "t.parquet"], 2, "is a folder: pass --run"),
    (["features", "{wd1}", "-o", "t.txt"], 2, "the table format follows the extension of -o"),
    (["features", "{wd1}", "-o", "t.h5", "--baseline", "100", "10"], 2, "argument --baseline: the baseline window"),
    (["features", "{wd1}", "-o", "t.h5", "--charge", "0", "99"], 1, "charge"),
    (["features", "{empty}", "{wd1}", "-o", "t.parquet"], 1, "empty.dat: the file is empty"),
    (["features", "{wd1}", "{wd2}", "-o", "t.h5"], 1, "header keys differ from those of the table's first file"),
    (["hist", "{garbage}", "--of", "charge"], 1, "cannot tell WD1 from WD2: pass --type"),
    (["hist", "{wd1}", "--of", "nothing"], 2, "no column 'nothing' to histogram"),
    (["hist", "{wd1}", "--of", "time"], 2, "--of time needs --tick"),
    (["hist", "{wd1}", "--of", "charge", "-o", "h.xyz"], 2, "-o names a PNG file"),
    (["hist", "{wd1}", "--of", "charge", "--range", "5", "1"], 2, "argument --range: needs LO < HI"),
    (["hist", "{wd1}", "--of", "charge", "--range", "-inf", "inf"], 2, "argument --range: needs LO < HI, both finite"),
    # Options that make no sense, refused before anything is read or written.
    (["features", "{wd1}", "-o", "t.parquet", "--threshold", "-3"], 2, "argument --threshold: must not be negative"),
    (["hist", "{wd1}", "--of", "charge", "--threshold", "nan"], 2, "argument --threshold: must be finite, not nan"),
    (["features", "{wd1}", "-o", "t.h5", "--threshold-rms", "-5"], 2, "argument --threshold-rms: must not be negative"),
    (["features", "{wd1}", "-o", "t.parquet", "--adc-max", "-1"], 2, "argument --adc-max: must be above 0, not -1"),
    (["features", "{wd1}", "-o", "t.parquet", "--cfd-fraction", "1.5"], 2, "argument --cfd-fraction: must lie in (0, 1]"),
    (["features", "{wd1}", "-o", "t.parquet", "--charge-peak", "-4", "10"], 2, "argument --charge-peak: counts samples before"),
    (["features", "{wd1}", "-o", "t.parquet", "--tick", "8parsec"], 2, "argument --tick: cannot read the tick"),
    (["features", "{wd1}", "-o", "t.parquet", "--sample-period", "2"], 2, "vorn: --sample-period: cannot read the"
                                                                         " sample period '2': give a finite time"),
    (["hist", "{wd1}", "--of", "charge", "--volts-per-count", "0.1 mA"], 2, "vorn: --volts-per-count: cannot read"),
    (["pulses", "{wd1}", "-o", "p.h5", "--adc-range", "2V"], 2, "vorn: --adc-range: the volts per count are the range"),
    (["features", "{wd1}", "-o", "t.h5", "--impedance", "50"], 2, "vorn: --impedance: a charge in pC needs the volts"),
    (["features", "{wd2}", "-o", "t.h5", "--tick", "1ns", "--sample-period", "2ns"], 1,
     "the sample period given, 2 ns, is not the file's: its sampling_period 8 times the tick 1 ns is 8 ns"),
    (["convert", "{wd1}", "-o", "c.h5", "--events", "5:2"], 2, "argument --events: 5:2 selects no events"),
    (["features", "{wd2}", "-o", "t.parquet", "--float32"], 2, "{wd2}: --float32 is for WD1 files"),
    (["features", "{wd1}", "a.wd1", "-o", "t.parquet"], 2, "a.wd1 is the same file as {wd1}"),
    (["hist", "{wd1}", "{hardlink}", "--of", "charge"], 2, "{hardlink} is the same file as {wd1}"),
    (["convert", "{symlink}", "{wd1}", "-o", "c.h5"], 2, "{wd1} is the same file as {symlink}"),
    # Outputs that cannot be created, named as given: a path under a regular
    # file stops root too, as a read-only folder would not.
    (["features", "{wd1}", "-o", "f.wd1/t.parquet"], 2, "cannot create f.wd1/t.parquet: f.wd1 is not a folder"),
    (["features", "{wd1}", "-o", "f.wd1/tables", "--jobs", "1"], 2, "cannot create f.wd1/tables: f.wd1 is not a"),
    (["hist", "{wd1}", "--of", "charge", "-o", "ok.png", "--csv", "f.wd1/h.csv"], 2, "cannot create f.wd1/h.csv"),
    (["convert", "{wd1}", "-o", "no/c.h5"], 2, "cannot create no/c.h5: the folder no does not exist"),
    (["hist", "{wd1}", "--of", "charge", "--channel", "7"], 1, "no channel 7"),
    (["monitor", "{wd1}", "--port", "99999"], 2, "ports are numbered from 0"),
    (["follow", "{wd1}", "--idle", "0"], 2, "must be above 0"),
    (["follow", "{wd1}", "--wait", "nan"], 2, "must be at least 0 and finite"),
    (["follow", "{missing}", "--wait", "0"], 1, "after 0 s, the file does not exist"),
    (["follow", "{empty}", "--wait", "0.1"], 1, "after 0.1 s, the file is empty"),
]


@pytest.mark.parametrize("args, status, says", BAD, ids=[" ".join(a) for a, *_ in BAD])
def test_bad_usage_and_inputs_end_in_one_line_not_a_traceback(vorn_cli, tmp_path, args, status, says):
    for module in ("h5py", "matplotlib", "boost_histogram", "bokeh"):
        need(module)
    rng = np.random.default_rng(24)
    floats = rng.normal(5.0, 0.5, (4, 200)).astype("<f4").view("<u2")
    files = {"wd1": wd1_file(tmp_path / "a.wd1", [8] * 3, rng), "wd2": wd2_file(tmp_path / "b.wd2", 3, 8, 2, True, rng),
             "empty": write(tmp_path / "empty.dat"), "garbage": write(tmp_path / "g.bin", rng.bytes(999)),
             "floats": write(tmp_path / "f.wd1", *(wd1_event(row) for row in floats)), "missing": "nothing.dat",
             "hardlink": tmp_path / "hard.wd1", "symlink": tmp_path / "soft.wd1"}
    os.link(files["wd1"], files["hardlink"])
    os.symlink(files["wd1"], files["symlink"])
    before = sorted(p.name for p in tmp_path.iterdir())
    proc = vorn_cli(*(a.format(**files) for a in args), input="")
    assert "Traceback" not in proc.stderr
    assert (proc.returncode, says.format(**files) in proc.stderr) == (status, True), proc.stderr
    if status == 2:  # a usage error is one line, found before anything is written
        assert proc.stderr.count("\n") == 1 and proc.stderr.startswith("vorn: "), proc.stderr
        assert sorted(p.name for p in tmp_path.iterdir()) == before


@pytest.mark.parametrize("suffix", [".parquet", ".h5", ".root", ".h5 beside"])
def test_an_output_that_fails_late_is_named_as_given_not_by_its_temporary_name(tmp_path, monkeypatch, suffix):
    from vorn_tools.output_files import atomic_output
    from vorn_tools.outputs import open_table

    need({".parquet": "pyarrow", ".root": "uproot"}.get(suffix, "h5py"))
    monkeypatch.chdir(tmp_path)
    os.mkdir("out")
    target = "out/t" + suffix.split()[0]
    with pytest.raises(OSError) as failure:
        if suffix.endswith("beside"):  # what convert writes through
            with atomic_output(target) as temporary:
                shutil.rmtree("out")
                need("h5py").File(temporary, "w").close()
        else:
            writer = open_table(target)
            shutil.rmtree("out")  # the folder goes away, as a full or unmounted disk would fail
            with writer:
                writer.write({"x": np.arange(3)})
    assert str(failure.value).startswith(f"cannot write {target}: ")
    assert "partial" not in str(failure.value)


# --- plot ---------------------------------------------------------------------------

def png_size(path):
    header = Path(path).read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", header[16:24])


@pytest.mark.parametrize("kind, channels, size", [("WD1", 1, (800, 450)), ("WD2", 2, (800, 450)),
                                                 ("WD2", 4, (800, 750)), ("WD2", 4, None)])
def test_plot_writes_a_png_of_one_panel_per_channel(vorn_cli, tmp_path, kind, channels, size):
    need("matplotlib")
    rng = np.random.default_rng(9)
    if kind == "WD1":
        path = wd1_file(tmp_path / "p.wd1", [100] * 6, rng)
    else:
        path = wd2_file(tmp_path / "p.wd2", 6, 100, channels, True, rng)
    offset = 3 * (24 + 200 if kind == "WD1" else 28 + 400 * channels)
    account = f"3 events, stopped after the selected events, at offset {offset}"
    if size is None:  # only raster images have a size in pixels
        proc = vorn_cli("plot", path, "-n", 3, "-o", "p.pdf", check=0)
        assert (proc.stdout, (tmp_path / "p.pdf").read_bytes()[:5]) == (f"wrote p.pdf: {account}\n", b"%PDF-")
        return
    proc = vorn_cli("plot", path, "-n", 3, "-o", "p.png", check=0)
    assert png_size(tmp_path / "p.png") == size
    assert proc.stdout == f"wrote p.png ({size[0]}x{size[1]} pixels): {account}\n"


# --- follow -------------------------------------------------------------------------

def test_follow_prints_events_as_a_file_grows_in_pieces(script, tmp_path):
    rng = np.random.default_rng(10)
    whole = wd2_file(tmp_path / "whole.wd2", 40, 64, 2, True, rng).read_bytes()
    events = list(vorn.EventReader(str(tmp_path / "whole.wd2"), "WD2"))
    path = tmp_path / "live.wd2"
    proc = subprocess.Popen([script, "follow", str(path), "--idle", "30"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)

    # Pieces that ignore event boundaries, the first before the file can be opened.
    write_in_pieces(path, whole, 300, 0.01).join()
    lines = []
    while len(lines) < len(events):
        lines.append(proc.stdout.readline())
    proc.send_signal(signal.SIGINT)
    rest, stderr = proc.communicate(timeout=30)
    assert proc.returncode == 0, stderr
    for line, event in zip(lines, events):
        data = event["data"]
        assert line == (f"event_counter={event['event_counter']} timestamp={event['timestamp']}"
                        f" samples_per_channel={event['samples']} samples_per_event={data.size} min={data.min():.6g} max={data.max():.6g}\n")
    assert rest == f"{len(events)} events, interrupted\n"


def test_follow_goes_on_while_events_arrive_for_longer_than_idle(script, tmp_path):
    whole = wd1_file(tmp_path / "whole.wd1", [3] * 12, np.random.default_rng(11)).read_bytes()
    path = tmp_path / "live.wd1"
    path.write_bytes(whole[:30])
    proc = subprocess.Popen([script, "follow", str(path), "--idle", "0.6"], stdout=subprocess.PIPE, text=True)
    # An event every 0.2 s for 2.2 s in all, much longer than --idle.
    write_in_pieces(path, whole[30:], 30, 0.2).join()
    out, _ = proc.communicate(timeout=30)
    assert proc.returncode == 0
    assert out.splitlines()[-1] == "12 events, then 0.6 s without new data"


def test_a_reader_that_closes_the_pipe_ends_follow_quietly(script, tmp_path):
    path = wd1_file(tmp_path / "a.wd1", [3] * 5000, np.random.default_rng(29))
    proc = subprocess.Popen([script, "follow", str(path), "--idle", "30"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    proc.stdout.readline()
    proc.stdout.close()  # as `| head -1` does
    _, stderr = proc.communicate(timeout=30)
    assert (proc.returncode, stderr) == (128 + signal.SIGPIPE, b"")


@pytest.mark.parametrize("ending", ["cut", "read error", "shrunk", "replaced"])
def test_follow_says_how_it_ended(script, tmp_path, ending):
    rng = np.random.default_rng(25)
    path = wd1_file(tmp_path / "a.wd1", [3] * 2, rng)
    tail = {"cut": wd1_event([1, 2, 3])[:29], "read error": struct.pack("<6i", 10, 0, 0, 0, 0, 0)}.get(ending, b"")
    path.write_bytes(path.read_bytes() + tail)
    proc = subprocess.Popen([script, "follow", str(path), "--type", "WD1", "--idle", "3", "--poll", "0.05"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    lines = [proc.stdout.readline(), proc.stdout.readline()]
    assert all(line.startswith("event_counter=") for line in lines)
    if ending == "shrunk":
        with open(path, "r+b") as f:
            f.truncate(40)
    elif ending == "replaced":
        os.replace(wd1_file(tmp_path / "other.wd1", [3] * 5, rng), path)
    # Not communicate(): it would read past what readline() already buffered.
    with proc:
        out, err = proc.stdout.read(), proc.stderr.read()
    status, summary, says = {
        "cut": (0, "2 events, then 3 s without new data; event cut at offset 60: 29 of its 30 bytes present", ""),
        "read error": (1, "2 events, then a read error", "invalid WD1 event_size 10 at offset 60"),
        "shrunk": (1, "2 events, then the file changed under the reader",
                   "the file shrank to 40 bytes, below the 60 already read"),
        "replaced": (1, "2 events, then the file changed under the reader",
                     "another file took the name of the one being read"),
    }[ending]
    assert (proc.returncode, out, says in err) == (status, summary + "\n", True), err


def test_runs_as_a_module(tmp_path):
    path = wd1_file(tmp_path / "a.wd1", [3], np.random.default_rng(12))
    proc = subprocess.run([sys.executable, "-m", "vorn_tools", "info", "--json", "--type", "WD1", str(path)],
                          capture_output=True, text=True, timeout=60)
    if proc.returncode and "No module named vorn_tools" in proc.stderr:
        need("vorn_tools")
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout)[0]["events"] == 1


# --- runs and ROOT --------------------------------------------------------------------

RUN_OUTPUTS = {"convert": ["-o", "run.h5"], "features": ["-o", "run.parquet"],
               "hist": ["--of", "event_counter", "--range", "-0.5", "39.5", "--bins", "40", "-o", "h.png",
                        "--csv", "h.csv"]}


@pytest.mark.parametrize("command", list(RUN_OUTPUTS))
def test_a_run_accounts_for_every_event(vorn_cli, tmp_path, command):
    # Two files, so no majority: wave1 skips counter 7, holds 5 and 6 swapped,
    # and its event 12 has a timestamp of its own.
    need({"convert": "h5py", "features": "pyarrow", "hist": "boost_histogram"}[command])
    rng = np.random.default_rng(26)
    (tmp_path / "run").mkdir()
    order = {0: list(range(40)), 1: [0, 1, 2, 3, 4, 6, 5] + list(range(8, 40))}
    waves = {ch: {i: rng.integers(0, 4096, 16) for i in order[ch]} for ch in (0, 1)}
    for ch, events in order.items():
        write(tmp_path / "run" / f"wave{ch}.dat", *(wd1_event(waves[ch][i], counter=i, channel=3 * ch,
                                                              timestamp=9 * i + (ch and i == 12)) for i in events))
    report = ["run/wave1.dat: 1 event missing (counter 7), so dropped from the other files",
              "run/wave1.dat: timestamp differs from run/wave0.dat's in 1 event (counter 12)",
              "run: 39 events matched in every file, 1 event dropped from the files that held them"]
    proc = vorn_cli(command, "--run", "run", *RUN_OUTPUTS[command])
    assert (proc.returncode, proc.stderr.splitlines()) == (1, [f"vorn: {line}" for line in report] + [
        "vorn: events of the run were dropped or their timestamps differ: exit status 1 (--allow-gaps accepts it)"])
    vorn_cli(command, "--run", "run", *RUN_OUTPUTS[command], "--allow-gaps", "--force", check=0)
    kept = [i for i in range(40) if i != 7]
    if command == "convert":
        with need("h5py").File(tmp_path / "run.h5") as out:
            group = out["run"]
            assert group["event_counter"][()].tolist() == [[i] * 2 for i in kept]
            expected = np.array([[waves[ch][i] for ch in (0, 1)] for i in kept], dtype=np.uint16)
            assert np.array_equal(group["data"][()], expected)
            assert group.attrs["board_channels"].tolist() == [0, 3]
            assert (group.attrs["missing"].tolist(), group.attrs["dropped"].tolist()) == ([0, 1], [1, 0])
            assert [str(line) for line in group.attrs["report"].astype(str)] == [
                line.replace("run: ", "run/wave0.dat, run/wave1.dat: ") for line in report]
    elif command == "features":
        table = read_table(tmp_path / "run.parquet")
        assert table["event_counter"].tolist() == [i for i in kept for _ in (0, 1)]
        assert table["baseline"].tolist() == pytest.approx(
            [waves[ch][i][:64].mean() for i in kept for ch in (0, 1)])
    else:
        rows = [line.split(",") for line in (tmp_path / "h.csv").read_text().splitlines()[1:]]
        counts = {(int(row[1]), round(float(row[3]) + 0.5)): int(row[5]) for row in rows
                  if np.isfinite([float(row[3]), float(row[4])]).all() and int(row[5])}
        assert counts == {(ch, i): 1 for i in range(40) if i != 7 for ch in (0, 1)}


def test_root_output_is_a_tree_per_file(vorn_cli, tmp_path):
    uproot = need("uproot")
    rng = np.random.default_rng(26)
    waves = {ch: [(i, rng.integers(0, 4096, 16)) for i in range(40) if (ch, i) != (1, 7)] for ch in range(2)}
    for ch, events in waves.items():
        write(tmp_path / f"wave{ch}.dat", *(wd1_event(s, counter=i, channel=ch, timestamp=9 * i) for i, s in events))
    vorn_cli("convert", "wave0.dat", "wave1.dat", "-o", "w.root", check=0)
    with uproot.open(tmp_path / "w.root") as out:
        for ch in (0, 1):
            arrays = out[f"wave{ch}"].arrays(library="np")
            assert arrays["event_counter"].tolist() == [i for i, _ in waves[ch]]
            assert np.array_equal(arrays["data"], np.array([s for _, s in waves[ch]], dtype=np.uint16))


# --- features and histograms ------------------------------------------------------------

def pulses(path, events, rng, channel=0, skip=(), scale=1.0):
    """WD1 events of 256 samples: a noisy baseline near 1000 and a negative pulse of random height."""
    t = np.arange(256)
    rows = []
    for i in range(events):
        if i in skip:
            continue
        height = scale * rng.uniform(50, 900)
        wave = 1000 + rng.normal(0, 3, 256) - height * np.exp(-np.maximum(t - 100, 0) / 20.0) * (t >= 100)
        rows.append(wd1_event(np.clip(wave, 0, 4095).astype(np.uint16), counter=i, channel=channel,
                              timestamp=125_000 * i))
    return write(path, *rows)


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


def read_table(path):
    if path.suffix == ".parquet":
        return {k: np.asarray(v) for k, v in need("pyarrow.parquet").read_table(path).to_pydict().items()}
    if path.suffix == ".h5":
        with need("h5py").File(path) as f:
            return {k: f[k][()] for k in f}
    with need("uproot").open(path) as f:
        return f[f.keys()[0]].arrays(library="np")


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
