"""`vorn follow`, run as a user runs it: events printed as a file grows."""

import os
import signal
import struct
import subprocess

import numpy as np
import pytest

import vorn
from eventfiles import write_in_pieces
from cli_support import wd1_event, wd1_file, wd2_file


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
