"""The `vorn` command as a whole, run as a user runs it: the installed console script in a subprocess.

What every verb shares is tested here: telling the formats apart, how reading
ended, progress, workers' missing libraries, usage errors and runs of channel
files; each verb's own behaviour is in the test module named after it
(test_convert, test_info, test_plot, test_features_table, test_hist,
test_follow).

The command and h5py come with `pip install '.[cli]'`, the --scheduler test
needs `.[dask]`. Without them these tests skip, unless VORN_CLI_TESTS=required
(set by the main CI lane), where a skip would hide a broken install: then they fail.
"""

import fcntl
import json
import os
import select
import shutil
import struct
import subprocess
import sys
import termios

import numpy as np
import pytest

import eventfiles
import vorn
from needs import need
from cli_support import read_table, wd1_event, wd1_file, wd2_event, wd2_file, write


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
    (["plot", "{wd1}", "-o", "p.xyz"], 2, "-o p.xyz: a picture's name ends in one of"),
    (["plot", "{wd1}", "-o", "{wd1}"], 2, "it is never replaced"),
    (["features", "."], 2, "the following arguments are required: -o/--output"),
    (["features", ".", "-o", "t.parquet"], 2, "is a folder: pass --run"),
    (["features", "{wd1}", "-o", "t.txt"], 2, "the table format follows the extension of -o"),
    (["features", "{wd1}", "-o", "t.h5", "--baseline", "100", "10"], 2, "argument --baseline: the baseline window"),
    (["features", "{wd1}", "-o", "t.h5", "--charge", "0", "99"], 2, "--charge: the charge window"),
    (["features", "{empty}", "{wd1}", "-o", "t.parquet"], 1, "empty.dat: the file is empty"),
    (["features", "{wd1}", "{wd2}", "-o", "t.h5"], 1, "header keys differ from those of the table's first file"),
    (["hist", "{garbage}", "--of", "charge"], 1, "cannot tell WD1 from WD2: pass --type"),
    (["hist", "{wd1}", "--of", "nothing"], 2, "no column 'nothing' to histogram"),
    (["hist", "{wd1}", "--of", "time"], 2, "--of time needs --tick"),
    (["hist", "{wd1}", "--of", "charge", "-o", "h.xyz"], 2, "-o h.xyz: a picture's name ends in one of"),
    (["hist", "{wd1}", "--of", "charge", "--range", "5", "1"], 2, "argument --range: needs LO < HI"),
    # A range wider than the largest float, or with no room for a picture's ticks.
    (["hist", "{wd1}", "--of", "charge", "--range", "-1e308", "1e308"], 2, "--range: needs LO < HI, both finite and"),
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
    from vorn_tools._output_files import atomic_output
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


def test_runs_as_a_module(tmp_path):
    path = wd1_file(tmp_path / "a.wd1", [3], np.random.default_rng(12))
    proc = subprocess.run([sys.executable, "-m", "vorn_tools", "info", "--json", "--type", "WD1", str(path)],
                          capture_output=True, text=True, timeout=60)
    if proc.returncode and "No module named vorn_tools" in proc.stderr:
        need("vorn_tools")
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout)[0]["events"] == 1


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
