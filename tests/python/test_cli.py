"""The `vorn` command, run as a user runs it: the installed console script in a subprocess.

The conversion across block and chunk boundaries runs in this process instead,
with those sizes made small.

The command and h5py come with `pip install '.[cli]'`, the --scheduler test
needs `.[dask]`. Without them these tests skip, unless VORN_CLI_TESTS=required
(set by the main CI lane), where a skip would hide a broken install: then they fail.
"""

import fcntl
import functools
import importlib
import json
import os
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

WD1_KEYS = ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")
WD2_KEYS = ("event_counter", "timestamp", "samples", "sampling_period", "channels")


def need(module, program=False):
    """The module, or with `program` the path of that executable."""
    try:
        if program:
            found = shutil.which(module)
            if found is None:
                raise ImportError(module)
            return found
        return importlib.import_module(module)
    except ImportError:
        if os.environ.get("VORN_CLI_TESTS") == "required":
            pytest.fail(f"{module} is not installed but VORN_CLI_TESTS=required")
        pytest.skip(f"needs {module}")


@pytest.fixture(scope="module")
def script():
    found = shutil.which("vorn", path=os.path.dirname(sys.executable))
    if found is None:
        if os.environ.get("VORN_CLI_TESTS") == "required":
            pytest.fail("no vorn console script beside this interpreter")
        pytest.skip("the vorn console script is not installed beside this interpreter")
    return found


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

def assert_group_is_the_file(group, path, kind, float32=False):
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
        assert stored.tobytes() == b"".join(a.tobytes() for a in arrays)
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
    assert group.attrs["source"] == str(Path(path).resolve())


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
    # --float32 is for WD1 only: an odd count of WD2 floats is no reason to refuse the file.
    "wd2 K=1 without the word": ("WD2", lambda p, r: wd2_file(p, 300, 401, 1, False, r),
                                 ["--compression", "none", "--float32"]),
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
SMALL_SIZES = [("blocks", "BLOCK_ROWS", 9), ("blocks", "FLAT_BLOCK_BYTES", 256),
               ("convert", "COLUMN_CHUNK", 20), ("convert", "COPY_ROWS_BYTES", 500),
               ("convert", "CHUNK_BYTES", 64), ("convert", "SMALL_BYTES", 2000)]
BOUNDARY_FILES = {
    "wd1 2-D, some events padded": ("WD1", lambda p, r: wd1_file(p, [40] * 300, r, pad_every=7)),
    "wd1 2-D then flat": ("WD1", lambda p, r: wd1_file(p, [40] * 300 + [0, 3, 41, 1, 40] * 60, r)),
    "wd2 K=3": ("WD2", lambda p, r: wd2_file(p, 300, 10, 3, True, r)),
    "wd2 K=3 then flat": ("WD2", lambda p, r: wd2_file(p, 500, [10] * 300 + [3, 0, 11, 10] * 50, 3, True, r)),
}


@pytest.mark.parametrize("compression", ["gzip", "lzf", "none"])
@pytest.mark.parametrize("name", BOUNDARY_FILES)
def test_conversion_across_every_boundary(tmp_path, monkeypatch, name, compression):
    h5py = need("h5py")
    convert = need("vorn_tools.convert")
    formats = need("vorn_tools.formats")
    for module, constant, value in SMALL_SIZES:
        monkeypatch.setattr(f"vorn_tools.{module}.{constant}", value)
    # 12 WD1 events or 8 WD2 events of samples per 2-D block
    monkeypatch.setattr(convert, "EventBlocks", functools.partial(convert.EventBlocks, block_bytes=1000))
    kind, make = BOUNDARY_FILES[name]
    path = make(tmp_path / "run.bin", np.random.default_rng(len(name)))
    task = convert.Task(str(path), formats.open_layout(str(path), kind), "run", convert.Options(compression))
    (outcome,) = convert.convert_into_one([task], str(tmp_path / "out.h5"))
    assert outcome.error is None
    with h5py.File(tmp_path / "out.h5") as out:
        assert_group_is_the_file(out["run"], path, kind)


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
        assert out["cut"].attrs["ending"] == f"event cut at offset {2 * 44}"
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
    path = wd1_file(tmp_path / "a.wd1", [4], np.random.default_rng(2))
    (tmp_path / "out.h5").write_bytes(b"precious")
    proc = vorn_cli("convert", path, "-o", "out.h5")
    assert proc.returncode == 2
    assert "out.h5 exists: pass --force" in proc.stderr
    assert (tmp_path / "out.h5").read_bytes() == b"precious"
    vorn_cli("convert", path, "-o", "out.h5", "--force", check=0)
    assert (tmp_path / "out.h5").read_bytes()[:8] == b"\x89HDF\r\n\x1a\n"


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
    for undecidable in (ambiguous(tmp_path / "both.bin"), garbage, write(tmp_path / "empty.bin")):
        proc = vorn_cli("info", wd1.name, undecidable.name)
        assert (proc.returncode, proc.stdout) == (2, "")
        assert proc.stderr == f"vorn: cannot tell WD1 from WD2 for {undecidable.name}: pass --type\n"
    for kind in ("WD1", "WD2"):
        proc = vorn_cli("info", "--json", "--type", kind, tmp_path / "both.bin", check=0)
        assert json.loads(proc.stdout)[0]["events"] == 4


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
    assert (doc["boards"], doc["board_channels"]) == ([3], [0, 1])
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
    assert "  events           3,000\n" in proc.stdout
    assert f"  bytes read       {offset:,} of {offset + 24:,}\n" in proc.stdout
    assert f"  ended            error: invalid WD1 event_size 10 at offset {offset}" in proc.stdout


@pytest.mark.parametrize("quiet", [False, True])
def test_progress_only_on_a_terminal_and_not_when_quiet(script, tmp_path, quiet):
    need("tqdm")
    path = wd1_file(tmp_path / "a.wd1", [100] * 50, np.random.default_rng(13))
    main, terminal = os.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("4H", 24, 80, 0, 0))  # a new one is 0 x 0
    try:
        proc = subprocess.run([script, "info", str(path)] + ["--quiet"] * quiet, stdout=subprocess.DEVNULL,
                              stderr=terminal, timeout=60)
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
    assert (b"a.wd1: " in drawn and b"|" in drawn) != quiet, drawn


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


def assert_same_group(a, b):
    assert sorted(a) == sorted(b)
    assert dict(a.attrs) == dict(b.attrs)
    for key in a:
        assert (a[key].dtype, a[key][()].tobytes()) == (b[key].dtype, b[key][()].tobytes())


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
    assert proc.stderr.endswith(f"pip install 'vorn[{extra}]'\n")


# --- plot ---------------------------------------------------------------------------

def png_size(path):
    header = Path(path).read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", header[16:24])


@pytest.mark.parametrize("kind, channels, size", [("WD1", 1, (800, 450)), ("WD2", 2, (800, 450)),
                                                 ("WD2", 4, (800, 750))])
def test_plot_writes_a_png_of_one_panel_per_channel(vorn_cli, tmp_path, kind, channels, size):
    need("matplotlib")
    rng = np.random.default_rng(9)
    if kind == "WD1":
        path = wd1_file(tmp_path / "p.wd1", [100] * 6, rng)
    else:
        path = wd2_file(tmp_path / "p.wd2", 6, 100, channels, True, rng)
    proc = vorn_cli("plot", path, "-n", 3, "-o", "p.png", check=0)
    assert png_size(tmp_path / "p.png") == size
    assert proc.stdout == f"wrote p.png ({size[0]}x{size[1]} pixels)\n"


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
                        f" samples={data.size} min={data.min():.6g} max={data.max():.6g}\n")
    assert rest == f"{len(events)} events, interrupted\n"


def test_follow_ends_after_the_idle_time(vorn_cli, tmp_path):
    path = wd1_file(tmp_path / "a.wd1", [3, 4], np.random.default_rng(11))
    proc = vorn_cli("follow", path, "--idle", "0.3", check=0)
    assert proc.stdout.splitlines()[-1] == "2 events, then 0.3 s without new data"


def test_runs_as_a_module(tmp_path):
    path = wd1_file(tmp_path / "a.wd1", [3], np.random.default_rng(12))
    proc = subprocess.run([sys.executable, "-m", "vorn_tools", "info", "--json", str(path)], capture_output=True,
                          text=True, timeout=60)
    if proc.returncode and "No module named vorn_tools" in proc.stderr:
        need("vorn_tools")
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout)[0]["events"] == 1
