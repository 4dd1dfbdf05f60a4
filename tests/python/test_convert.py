"""`vorn convert`, run as a user runs it: HDF5 and ROOT outputs, their checks, workers and interrupts.

The conversion across block and chunk boundaries runs in this process instead,
with those sizes made small.
"""

import functools
import json
import os
import signal
import struct
import subprocess
import time
from pathlib import Path

import numpy as np
import pytest

import eventfiles
import vorn
from needs import need
from cli_support import wd1_event, wd1_file, wd2_file, write


WD1_KEYS = ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")


WD2_KEYS = ("event_counter", "timestamp", "samples", "sampling_period", "channels")


def big_wd1(path, events, samples=1024, seed=0):
    rng = np.random.default_rng(seed)
    dtype = np.dtype([(k, "<i4") for k in WD1_KEYS] + [("data", "<u2", samples)])
    block = np.zeros(events, dtype)
    block["event_size"] = dtype.itemsize
    block["event_counter"] = np.arange(events)
    block["data"] = rng.integers(0, 4096, (events, samples))
    block.tofile(path)
    return path


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
