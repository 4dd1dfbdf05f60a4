"""Threads, memory and file descriptors under load."""
import gc
import json
import os
import struct
import subprocess
import sys
import threading

import numpy as np
import pytest

import vorn
from eventfiles import assert_same_bytes, child_env, wd1_event, wd2_event

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="reads /proc")

MiB = 1 << 20


# --- Files -----------------------------------------------------------------

def wd1_content(count, seed, max_samples=300):
    """Bytes of `count` WD1 events and, per event, (counter, timestamp,
    samples)."""
    rng = np.random.default_rng(seed)
    raw, expected = [], []
    for i in range(count):
        samples = rng.integers(0, 65536, int(rng.integers(0, max_samples)),
                               dtype=np.uint16)
        counter = seed * 1_000_000 + i
        raw.append(wd1_event(None, 3, 0x5A, 1, counter, (counter * 7919) & 0x7FFFFFFF,
                             samples.tobytes()))
        expected.append((counter, (counter * 7919) & 0x7FFFFFFF, samples))
    return b"".join(raw), expected


def wd2_content(count, seed, samples_per_channel=50):
    """A two-channel WD2 file with a fixed shape, so detection settles on
    K = 2."""
    rng = np.random.default_rng(seed)
    raw, expected = [], []
    for i in range(count):
        values = rng.standard_normal(2 * samples_per_channel).astype(np.float32)
        counter = (seed * 1_000_000 + i) & 0xFFFFFFFF
        raw.append(wd2_event(counter, 2**40 + counter, samples_per_channel, 4000,
                             values.tobytes(), 2))
        expected.append((counter, 2**40 + counter, values))
    return b"".join(raw), expected


def content_for(reader_type, count, seed):
    return (wd1_content if reader_type == "WD1" else wd2_content)(count, seed)


def check_event(reader_type, event, expected):
    """Returns a description of the first difference, or None."""
    counter, timestamp, samples = expected
    if event["event_counter"] != counter or event["timestamp"] != timestamp:
        return f"header {event['event_counter']}/{event['timestamp']} != {counter}/{timestamp}"
    data = event["data"]
    if data.dtype != samples.dtype or data.tobytes() != samples.tobytes():
        return f"samples of event {counter} differ"
    if reader_type == "WD2" and (event["channels"], event["samples"]) != (2, samples.size // 2):
        return f"shape of event {counter} differs"
    return None


def fds_under(directory):
    """Descriptors of this process that point into `directory`."""
    found = []
    for name in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{name}")
        except OSError:
            continue
        if target.startswith(str(directory)):
            found.append(target)
    return found


def run_child(code, *args, timeout=600):
    proc = subprocess.run([sys.executable, "-W", "error", "-c", code, *map(str, args)],
                          env=child_env(), capture_output=True, text=True,
                          timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


# --- Threads ----------------------------------------------------------------

# A reader holds the GIL while it reads, so threads meet inside it only where
# Python code runs in the middle of __next__: the import of NumPy at the
# first event of a process, which a finder intercepts. There the running
# reader refuses every call, from its own thread and from eight others at
# once, while readers of their own answer as usual.
CONTENTION_CHILD = r"""
import json, sys, threading
import vorn

path, reader_type, empty, bad = sys.argv[1:5]
reader = vorn.EventReader(path, reader_type)
seen = {}

def attempt(call):
    try:
        return ["returned", repr(call())]
    except BaseException as exc:
        return [type(exc).__name__, *map(str, exc.args)]

def contend():
    own = [vorn.EventReader(empty, "WD1"), vorn.EventReader(bad, "WD1")]
    return [attempt(lambda: next(reader)), attempt(lambda: iter(reader)),
            *(attempt(lambda r=r: next(r)) for r in own)]

class Meanwhile:
    def find_spec(self, name, path=None, target=None):
        if name == "numpy" and not seen:
            seen["same thread"] = contend()
            others = [None] * 8
            def run(i):
                others[i] = contend()
            threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=20)
            seen["other threads"] = others
        return None

sys.meta_path.insert(0, Meanwhile())
print(json.dumps({"seen": seen, "counters": [ev["event_counter"] for ev in reader]}))
"""


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_calls_while_next_is_running_are_refused(write, reader_type):
    content, expected = content_for(reader_type, 20, seed=2)
    empty = write(b"", "empty.wd1")
    bad = write(wd1_event(8), "bad.wd1")
    out = run_child(CONTENTION_CHILD, write(content), reader_type, empty, bad,
                    timeout=60)
    answers = [["RuntimeError", "Already borrowed"],
               ["RuntimeError", "Already mutably borrowed"], ["StopIteration"],
               ["OSError", "invalid WD1 event_size 8 at offset 0: smaller than the "
                           "24-byte header"]]
    assert out["seen"] == {"same thread": answers, "other threads": [answers] * 8}
    # The refused calls took nothing: the running call returns the first
    # event and the rest follow.
    assert out["counters"] == [e[0] for e in expected]


# --- Sample arrays outliving their reader -----------------------------------

@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_arrays_stay_valid_after_reader_and_file_are_gone(write, tmp_path,
                                                          reader_type):
    content, expected = content_for(reader_type, 400, seed=3)
    path = write(content)
    reader = vorn.EventReader(path, reader_type)
    arrays = [event["data"] for event in reader]
    half = vorn.EventReader(path, reader_type)
    arrays_half = [next(half)["data"] for _ in range(200)]
    del reader, half
    gc.collect()
    # Overwrite the file and shrink it: the arrays must not depend on it.
    with open(path, "r+b") as f:
        f.write(b"\xff" * len(content))
        f.truncate(0)
    os.remove(path)
    churn = [np.full(n % 997 + 1, 0xAB, dtype=np.uint8) for n in range(5000)]
    del churn
    for got, (_, _, samples) in zip(arrays, expected, strict=True):
        assert_same_bytes(got.tobytes(), samples.tobytes())
        assert got.base is not None and not got.flags.owndata
    for got, (_, _, samples) in zip(arrays_half, expected[:200]):
        assert_same_bytes(got.tobytes(), samples.tobytes())
    assert fds_under(tmp_path) == []


# --- File descriptors -------------------------------------------------------

def failed_constructions(tmp_path):
    """(path, reader_type, exception class, message) for constructions that
    must fail after the file was opened, or before."""
    wd2_one_event = wd2_event(1, 0, 3, 4000, bytes(24), 2)
    wd2_negative = (struct.pack("<IQIQi", 1, 0, 5, 10, -2)
                    + struct.pack("<IQIQi", 2, 0, 5, 10, -2))
    cases = {
        "empty": (b"", "WD2", OSError, "failed to fill whole buffer"),
        "short header": (b"\x01" * 20, "WD2", OSError, "failed to fill whole buffer"),
        "one event": (wd2_one_event, "WD2", OSError, "failed to fill whole buffer"),
        "negative length": (wd2_negative, "WD2", OSError, None),
        "lower case type": (wd1_event(samples=(1, 2)), "wd1", ValueError,
                            "unknown reader type 'wd1', expected 'WD1' or 'WD2'"),
        "empty type": (b"", "", ValueError,
                       "unknown reader type '', expected 'WD1' or 'WD2'"),
    }
    out = []
    for name, (content, reader_type, kind, message) in cases.items():
        path = tmp_path / f"{name.replace(' ', '_')}.bin"
        path.write_bytes(content)
        out.append((name, str(path), reader_type, kind, message))
    directory = tmp_path / "a_directory"
    directory.mkdir()
    out.append(("directory", str(directory), "WD2", OSError, "Is a directory (os error 21)"))
    out.append(("missing", str(tmp_path / "missing.bin"), "WD1", FileNotFoundError,
                "No such file or directory (os error 2)"))
    out.append(("nul", str(tmp_path / "x\0y"), "WD1", OSError,
                "file name contained an unexpected NUL byte"))
    return out


def test_failed_constructions_leave_no_descriptor_open(tmp_path):
    cases = failed_constructions(tmp_path)
    before = sorted(os.listdir("/proc/self/fd"))
    for _ in range(50):
        for name, path, reader_type, kind, message in cases:
            with pytest.raises(kind) as caught:
                vorn.EventReader(path, reader_type)
            assert type(caught.value) is kind, name
            if message is not None:
                assert caught.value.args == (message,), name
    assert fds_under(tmp_path) == []
    assert sorted(os.listdir("/proc/self/fd")) == before


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_collected_readers_leave_no_descriptor_open(write, tmp_path, reader_type):
    content, expected = content_for(reader_type, 30, seed=4)
    path = write(content)
    readers = [vorn.EventReader(path, reader_type) for _ in range(300)]
    assert len(fds_under(tmp_path)) == 300
    for i, reader in enumerate(readers):
        # Untouched, part way, at the end and resumed after the end.
        for _ in range([0, 7, len(expected), len(expected) + 2][i % 4]):
            next(reader, None)
    del reader
    readers.clear()
    assert fds_under(tmp_path) == []
    # Readers that only the collector can reach.
    for _ in range(100):
        holder = {}
        holder["self"] = holder
        holder["reader"] = vorn.EventReader(path, reader_type)
        del holder
    gc.collect()
    assert fds_under(tmp_path) == []


def test_reader_that_failed_while_reading_is_closed(tmp_path):
    directory = tmp_path / "dir"
    directory.mkdir()
    reader = vorn.EventReader(str(directory), "WD1")
    with pytest.raises(IsADirectoryError):
        next(reader)
    assert len(fds_under(tmp_path)) == 1
    del reader
    assert fds_under(tmp_path) == []


# --- Memory -----------------------------------------------------------------

MEMORY_CHILD = r"""
import json, resource, sys
import numpy
import vorn

def usage():
    fields = {}
    with open("/proc/self/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("VmPeak", "VmHWM"):
                fields[key] = int(value.split()[0]) * 1024
    fields["maxrss"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    return fields

warm, path, reader_type = sys.argv[1:4]
# Loads NumPy's API table and fills the allocator's pools first.
for _ in vorn.EventReader(warm, reader_type):
    pass
base = usage()
counters = []
first_last = []
reader = vorn.EventReader(path, reader_type)
for event in reader:
    counters.append(event["event_counter"])
    data = event["data"]
    if data.size:
        first_last.append([int(data[0]) if data.dtype.kind == "u" else float(data[0]),
                           data.size])
    del event, data
print(json.dumps({"base": base, "after": usage(), "counters": counters,
                  "first_last": first_last}))
"""


def memory_growth(tmp_path, path, reader_type):
    warm = tmp_path / "warm.bin"
    warm.write_bytes(content_for(reader_type, 50, seed=6)[0])
    out = run_child(MEMORY_CHILD, warm, path, reader_type, timeout=1800)
    growth = {k: out["after"][k] - out["base"][k] for k in out["base"]}
    return out, growth


def kilobyte(head):
    return head.ljust(1024, b"\0")


LYING_FILES = {
    # The most negative event_size wraps to a payload of almost 2 GiB.
    "wd1 first event 2 GiB": (
        "WD1", kilobyte(struct.pack("<6i", -2**31, 1, 2, 3, 4, 5)), []),
    "wd1 later event 2 GiB": (
        "WD1", kilobyte(wd1_event(event_counter=1, samples=range(10))
                        + struct.pack("<6i", 2**31 - 1, 0, 0, 0, 2, 0)), [1]),
    # 2^32 - 1 samples on each of two channels: 32 GiB.
    "wd2 third event 32 GiB": (
        "WD2", kilobyte(wd2_event(1, 0, 4, 4000, range(8), 2)
                        + wd2_event(2, 0, 4, 4000, range(8), 2)
                        + struct.pack("<IQIQi", 3, 0, 2**32 - 1, 4000, 2)), [1, 2]),
}


@pytest.mark.parametrize("name", LYING_FILES)
def test_header_claiming_gigabytes_in_small_file_allocates_little(tmp_path, name):
    reader_type, content, counters = LYING_FILES[name]
    path = tmp_path / "lying.bin"
    path.write_bytes(content)
    out, growth = memory_growth(tmp_path, path, reader_type)
    assert out["counters"] == counters
    print(f"{name}: growth {growth}")
    assert max(growth["maxrss"], growth["VmHWM"]) <= 16 * MiB
    # Untouched pages would not show in the resident size; the address space
    # would.
    assert growth["VmPeak"] <= 64 * MiB


@pytest.mark.skipif(os.environ.get("VORN_SLOW") != "1",
                    reason="writes a 1 GB file; set VORN_SLOW=1")
@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_large_file_iterates_with_flat_memory(tmp_path, reader_type):
    total = int(os.environ.get("VORN_SLOW_BYTES", 1 << 30))
    payload_bytes = 1 * MiB
    count = total // payload_bytes
    path = tmp_path / "large.bin"
    base = np.arange(payload_bytes // 2, dtype="<u2")
    with open(path, "wb") as f:
        for i in range(count):
            if reader_type == "WD1":
                samples = base.copy()
                samples[0] = i & 0xFFFF
                f.write(wd1_event(event_counter=i, samples=samples.tobytes()))
            else:
                values = np.zeros(payload_bytes // 4, dtype="<f4")
                values[0] = i
                f.write(wd2_event(i, 0, values.size // 2, 4000, values.tobytes(), 2))
    try:
        out, growth = memory_growth(tmp_path, path, reader_type)
    finally:
        path.unlink()
    assert out["counters"] == list(range(count))
    size = payload_bytes // (2 if reader_type == "WD1" else 4)
    assert out["first_last"] == [[i & 0xFFFF if reader_type == "WD1" else float(i), size]
                                 for i in range(count)]
    print(f"{reader_type} {count} events of {payload_bytes} bytes: growth {growth}")
    assert max(growth["maxrss"], growth["VmHWM"]) <= 2 * payload_bytes + 16 * MiB


def test_lying_header_through_a_pipe_allocates_as_bytes_arrive(tmp_path):
    # A pipe has no size to check a header against: the buffer may only grow
    # with what actually arrives.
    fifo = tmp_path / "lying.fifo"
    os.mkfifo(fifo)
    content = (wd1_event(event_counter=1, samples=range(10))
               + struct.pack("<6i", 2**31 - 1, 0, 0, 0, 2, 0))

    def feed():
        with open(fifo, "wb") as writer:
            writer.write(content + b"\0" * 1000)

    feeder = threading.Thread(target=feed)
    feeder.start()
    try:
        out, growth = memory_growth(tmp_path, fifo, "WD1")
    finally:
        feeder.join(timeout=60)
    assert out["counters"] == [1]
    assert growth["VmPeak"] <= 64 * MiB


# --- Files that are still being written ---------------------------------------

# Appends a file to another in fixed-size blocks, as a C stdio buffer flushes
# them: one write(2) per block, whatever event boundaries it cuts.
BLOCK_WRITER = r"""
import os, sys, time
source, target = sys.argv[1:3]
block, start, stop = map(int, sys.argv[3:6])
with open(source, "rb") as f:
    raw = f.read()[start:stop]
fd = os.open(target, os.O_WRONLY | os.O_APPEND)
for i, start in enumerate(range(0, len(raw), block)):
    os.write(fd, raw[start:start + block])
    if i % 64 == 0:
        time.sleep(0.001)
os.close(fd)
"""


def start_block_writer(source, target, block, start, stop):
    """Appends bytes [start, stop) of `source` to `target`."""
    return subprocess.Popen([sys.executable, "-c", BLOCK_WRITER, str(source), str(target),
                             str(block), str(start), str(stop)], env=child_env())


def check_all(reader_type, got, expected):
    assert len(got) == len(expected)
    for event, wanted in zip(got, expected):
        problem = check_event(reader_type, event, wanted)
        assert problem is None, problem


@pytest.mark.parametrize("reader_type, block", [("WD1", 4096), ("WD2", 8192)])
def test_soak_following_a_file_written_in_blocks(tmp_path, reader_type, block):
    count = 100_000
    content, expected = (wd1_content(count, 21, max_samples=40) if reader_type == "WD1"
                         else wd2_content(count, 22, samples_per_channel=8))
    source = tmp_path / "source.bin"
    source.write_bytes(content)
    target = tmp_path / "live.bin"
    # A WD2 reader can only be opened once two events are there.
    target.write_bytes(content[:block])
    writer = start_block_writer(source, target, block, block, len(content))
    reader = vorn.EventReader(str(target), reader_type)
    got, polls = [], 0
    while writer.poll() is None:
        got += list(reader)
        polls += 1
    got += list(reader)
    assert writer.returncode == 0
    print(f"{reader_type}: {len(got)} events, {len(content)} bytes in {block}-byte "
          f"blocks, {polls} polls")
    check_all(reader_type, got, expected[:len(got)])
    assert len(got) == count


def test_soak_pipe_whose_writer_stops_inside_an_event(tmp_path):
    count = 100_000
    content, expected = wd1_content(count, 23, max_samples=40)
    source = tmp_path / "source.bin"
    source.write_bytes(content)
    fifo = tmp_path / "events.fifo"
    os.mkfifo(fifo)
    half = len(content) // 2 + 7  # inside an event, whatever the sizes
    first = start_block_writer(source, fifo, 4096, 0, half)
    reader = vorn.EventReader(str(fifo), "WD1")  # blocks until the writer opens
    got = list(reader)  # to the first writer's close
    assert first.wait(timeout=120) == 0
    got += list(reader)  # no writer now: the pipe is at its end
    cut_at = len(got)
    second = start_block_writer(source, fifo, 4096, half, len(content))
    while second.poll() is None:
        got += list(reader)
    got += list(reader)
    assert second.returncode == 0
    print(f"pipe: {cut_at} events from the first writer, which stopped at byte {half}, "
          f"{len(got) - cut_at} from the second")
    assert cut_at < count
    check_all("WD1", got, expected)
