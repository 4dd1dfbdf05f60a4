"""A failing disk, seen from Python.

The readers run in a child interpreter with tests/faultinject/fault_preload.c
preloaded; environment variables tell it how `open`, `read` and `lseek` should
misbehave for the file under test. The child prints what it saw as JSON and
the checks happen here, against the values the test wrote.
"""
import errno
import hashlib
import json
import os
import random
import shlex
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from eventfiles import child_env, wd1_event, wd2_event

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="needs LD_PRELOAD and /proc")

PRELOAD_SOURCE = Path(__file__).resolve().parent.parent / "faultinject" / "fault_preload.c"


# --- Files -----------------------------------------------------------------

def _digest(raw):
    return hashlib.sha256(raw).hexdigest()


def wd1_record(counter, samples, *, pad=False, timestamp=None):
    """One WD1 event and the record a reader must return for it."""
    payload = struct.pack(f"<{len(samples)}H", *samples)
    size = 24 + len(payload) + (1 if pad else 0)
    timestamp = 1000 * counter + 17 if timestamp is None else timestamp
    raw = wd1_event(size, 7, -3, 2, counter, timestamp, payload) + (b"\xa5" if pad else b"")
    record = {"event_size": size, "board_id": 7, "pattern": -3,
              "board_channel": 2, "event_counter": counter,
              "timestamp": timestamp, "dtype": "uint16",
              "n": len(samples), "sha": _digest(payload)}
    return raw, record


def wd2_record(counter, payload, *, samples, channels=None, timestamp=None,
               period=2500):
    """One WD2 event; `payload` holds the raw float32 bytes, `channels` is the
    word written (None: no word, one-channel layout)."""
    timestamp = (counter * 0x10001) if timestamp is None else timestamp
    raw = wd2_event(counter, timestamp, samples, period, payload, channels)
    record = {"event_counter": counter, "timestamp": timestamp, "samples": samples,
              "sampling_period": period,
              "channels": 1 if channels is None else channels,
              "dtype": "float32", "n": len(payload) // 4, "sha": _digest(payload)}
    return raw, record


def floats(rng, count, first=None):
    values = [rng.uniform(-5000.0, 5000.0) for _ in range(count)]
    if first is not None and count:
        values[0] = first
    return struct.pack(f"<{count}f", *values)


def build(events):
    """Concatenates events; returns the bytes, the records and the offset at
    which each event starts."""
    raw, records, starts, at = [], [], [], 0
    for data, record in events:
        starts.append(at)
        raw.append(data)
        records.append(record)
        at += len(data)
    return b"".join(raw), records, starts


def wd1_file(seed=1):
    rng = random.Random(seed)
    sizes = [0, 1, 5, 4096, 20000, 3, 7, 2, 9000]
    return build([
        wd1_record(i, [rng.randrange(65536) for _ in range(n)], pad=(i == 6))
        for i, n in enumerate(sizes)])


def wd2_channel_file(seed=2):
    """K = 2: every event carries the channels word."""
    rng = random.Random(seed)
    shapes = [(4, 2), (4, 2), (0, 2), (1, 5), (1100, 2), (5000, 2), (3, 2)]
    return build([
        wd2_record(40 + i, floats(rng, 2 * s), samples=s, channels=c,
                  timestamp=(2**63 + 5) if i == 3 else None)
        for i, (s, c) in enumerate(shapes)])


def wd2_plain_file(first_sample, seed=3):
    """No channels word. With a first sample of 0.0 detection compares against
    sample bytes; with a typical positive one it has to fall back to the
    one-channel reading."""
    rng = random.Random(seed)
    sizes = [8, 8, 100, 8000, 0, 2]
    return build([
        wd2_record(7 + 2 * i, floats(rng, n, first_sample if i == 0 else None),
                  samples=n)
        for i, n in enumerate(sizes)])


LAYOUTS = {
    "wd1": ("WD1", wd1_file),
    "wd2-channels": ("WD2", wd2_channel_file),
    "wd2-plain-zero": ("WD2", lambda: wd2_plain_file(0.0)),
    "wd2-plain-fallback": ("WD2", lambda: wd2_plain_file(3708.6)),
}


# --- The child -------------------------------------------------------------

CHILD = r"""
import ctypes, hashlib, json, os, sys
import vorn

lib = ctypes.CDLL(None)
lib.fault_counter.restype = ctypes.c_long
lib.fault_counter.argtypes = [ctypes.c_char_p]
COUNTERS = ("opens", "closes", "open_eintr", "last_open_flags", "reads",
            "read_eintr", "read_failures", "reads_cut", "reads_after_failure",
            "lseeks", "lseek_failures")

def fds_on(path):
    target = os.path.realpath(path)
    count = 0
    for name in os.listdir("/proc/self/fd"):
        try:
            if os.readlink("/proc/self/fd/" + name) == target:
                count += 1
        except OSError:
            pass
    return count

def error(exc):
    kind = type(exc)
    return {"type": kind.__module__ + "." + kind.__qualname__,
            "args": [a if isinstance(a, str) else repr(a) for a in exc.args]}

def event(ev):
    record = {k: v for k, v in ev.items() if k != "data"}
    data = ev["data"]
    record.update(dtype=str(data.dtype), n=int(data.size),
                  sha=hashlib.sha256(data.tobytes()).hexdigest())
    return record

plan = json.loads(sys.argv[1])
results = []
for case in plan["cases"]:
    for key in [k for k in os.environ if k.startswith("FAULT_") and k != "FAULT_PATH"]:
        del os.environ[key]
    os.environ.update({k: str(v) for k, v in case.get("env", {}).items()})
    lib.fault_reset_counters()
    path = plan["path"]
    result = {}
    try:
        reader = vorn.EventReader(path, case["reader_type"])
    except BaseException as exc:
        result["construct"] = error(exc)
    else:
        steps, stops = [], 0
        while stops <= case.get("extra", 2) and len(steps) < 100000:
            try:
                ev = next(reader)
            except StopIteration:
                steps.append(["stop"])
                stops += 1
            except BaseException as exc:
                steps.append(["error", error(exc)])
            else:
                steps.append(["event", event(ev)])
        result["steps"] = steps
        result["fds_while_open"] = fds_on(path)
        del reader
    result["fds_after"] = fds_on(path)
    result["counters"] = {n: lib.fault_counter(n.encode()) for n in COUNTERS}
    results.append(result)
print(json.dumps(results))
"""


@pytest.fixture(scope="session")
def libfault(tmp_path_factory):
    compiler = shlex.split(os.environ.get("CC", "")) or ["cc"]
    if shutil.which(compiler[0]) is None:
        compiler = [next((c for c in ("gcc", "clang") if shutil.which(c)), compiler[0])]
    if shutil.which(compiler[0]) is None:
        pytest.skip("no C compiler to build the fault-injection library")
    out = tmp_path_factory.mktemp("faultinject") / "libfault.so"
    proc = subprocess.run(
        [*compiler, "-shared", "-fPIC", "-O2", "-Wall", "-o", str(out),
         str(PRELOAD_SOURCE), "-ldl"],
        capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return out


def run_faulty(libfault, path, cases):
    """Runs each case in one child under the preload; returns its results."""
    plan = {"path": str(path), "cases": cases}
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-c", CHILD, json.dumps(plan)],
        env=child_env(libfault, FAULT_PATH=path), capture_output=True,
        text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    results = json.loads(proc.stdout)
    assert len(results) == len(cases)
    return results


def events(records):
    return [["event", r] for r in records]


def stops(count=3):
    return [["stop"]] * count


def os_error(code, kind=OSError):
    return ["error", {"type": f"builtins.{kind.__qualname__}",
                      "args": [f"{os.strerror(code)} (os error {code})"]}]


def construct_error(code):
    return {"type": "builtins.OSError", "args": [f"{os.strerror(code)} (os error {code})"]}


# --- Interrupted and short reads -------------------------------------------

SHORT = [*range(1, 65), 100, 1000, 4095, 4096, 8191, 8192, 8193, 12289]
FAULT_MODES = {
    "short": [{"FAULT_READ_MAX": n} for n in SHORT],
    "eintr": [{"FAULT_READ_EINTR": n} for n in (1, 2, 7)],
    "short+eintr": [{"FAULT_READ_MAX": n, "FAULT_READ_EINTR": 1}
                    for n in (1, 2, 3, 7, 4097)],
}


@pytest.mark.parametrize("mode", FAULT_MODES)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_interrupted_and_short_reads_deliver_every_event_unchanged(
        libfault, write, layout, mode):
    reader_type, make = LAYOUTS[layout]
    content, records, _ = make()
    path = write(content)
    cases = [{"reader_type": reader_type, "env": env} for env in FAULT_MODES[mode]]
    for env, result in zip(FAULT_MODES[mode], run_faulty(libfault, path, cases)):
        assert result.get("construct") is None, env
        assert result["steps"] == events(records) + stops(), env
        counters = result["counters"]
        if "FAULT_READ_MAX" in env:
            assert counters["reads_cut"] > 0, env
        if "FAULT_READ_EINTR" in env:
            assert counters["read_eintr"] >= env["FAULT_READ_EINTR"], env
        assert result["fds_after"] == 0


# --- Read errors ------------------------------------------------------------

# The numbers that get a class of their own get the one Python gives them,
# except ENOMEM, which becomes MemoryError; every other number is a plain
# OSError, described the way the C library describes it (524 is a
# kernel-internal number the C library has no name for).
OWN_CLASS = [errno.ENOENT, errno.EPERM, errno.EACCES, errno.ECONNREFUSED,
             errno.ECONNRESET, errno.ECONNABORTED, errno.EPIPE, errno.EEXIST,
             errno.EAGAIN, errno.ENOTDIR, errno.EISDIR, errno.ETIMEDOUT, errno.ENOMEM]
PLAIN = [errno.EIO, errno.ENOSPC, errno.ESTALE, errno.EMFILE, errno.ENFILE,
         errno.ELOOP, errno.ENAMETOOLONG, 524]


def error_class(code):
    if code == errno.ENOMEM:
        return MemoryError
    return type(OSError(code, "")) if code in OWN_CLASS else OSError


@pytest.mark.parametrize("where", ["open", "read"])
def test_every_errno_raises_its_class(libfault, write, where):
    path = write(wd1_file()[0])
    codes = OWN_CLASS + PLAIN
    variable = "FAULT_OPEN_ERRNO" if where == "open" else "FAULT_READ_ERRNO"
    # The open comes before the reader type is looked at.
    types = ["WD1", "XYZ"] if where == "open" else ["WD1"]
    cases = [{"reader_type": t, "env": {variable: code, "FAULT_READ_FAIL_AT": 0}}
             for code in codes for t in types]
    results = iter(run_faulty(libfault, path, cases))
    for code in codes:
        for reader_type in types:
            result = next(results)
            error = os_error(code, error_class(code))
            if where == "open":
                assert result.get("construct") == error[1], (code, reader_type)
                assert result["counters"]["opens"] == 0
            else:
                assert result["steps"] == [error] + stops(), code
            assert result["fds_after"] == 0


@pytest.mark.parametrize("code", [errno.EIO, errno.EISDIR], ids=errno.errorcode.get)
def test_wd1_read_error_is_raised_once_then_iteration_stays_over(
        libfault, write, code):
    content, records, starts = wd1_file()
    path = write(content)
    # Event 4 is the one with a 40000-byte payload, read past the buffer.
    where = {"first byte": (0, 0), "boundary": (starts[4], 4),
             "header": (starts[4] + 10, 4), "payload": (starts[4] + 24 + 30001, 4)}
    cases = [{"reader_type": "WD1", "extra": 3,
              "env": {"FAULT_READ_FAIL_AT": offset, "FAULT_READ_ERRNO": code}}
             for offset, _ in where.values()]
    results = run_faulty(libfault, path, cases)
    for (name, (_, before)), result in zip(where.items(), results):
        # The disk recovers at once; the reader must not look at it again.
        assert result["steps"] == (events(records[:before])
                                   + [os_error(code, error_class(code))]
                                   + stops(4)), name
        assert result["counters"]["read_failures"] == 1, name
        assert result["counters"]["reads_after_failure"] == 0, name
        assert result["fds_while_open"] == 1 and result["fds_after"] == 0, name


def wd2_file_with_hidden_event(filler):
    """A K = 2 file whose third event's payload ends in the bytes of a whole
    further event. A reader that drops the interrupted event and reads on
    from where the failed read left off finds that hidden event; one that
    completes the interrupted event never sees it."""
    rng = random.Random(5)
    hidden_raw, hidden = wd2_record(0xF00D, floats(rng, 6), samples=3, channels=2,
                                   timestamp=99)
    assert (filler + len(hidden_raw)) % 8 == 0
    carrier_samples = (filler + len(hidden_raw)) // 8
    parts = [
        wd2_record(1, floats(rng, 8), samples=4, channels=2),
        wd2_record(2, floats(rng, 8), samples=4, channels=2),
        wd2_record(3, rng.randbytes(filler) + hidden_raw, samples=carrier_samples,
                  channels=2),
        wd2_record(4, floats(rng, 8), samples=4, channels=2),
        wd2_record(5, floats(rng, 2000), samples=1000, channels=2),
    ]
    content, records, starts = build(parts)
    return content, records, starts, hidden, starts[2] + 28 + filler


@pytest.mark.parametrize("filler", [804, 20004], ids=["buffered", "direct"])
@pytest.mark.parametrize("code", [errno.EIO, errno.EACCES, errno.EISDIR],
                         ids=errno.errorcode.get)
def test_wd2_read_error_keeps_the_interrupted_event_and_reading_goes_on(
        libfault, write, code, filler):
    content, records, starts, _, inside = wd2_file_with_hidden_event(filler)
    path = write(content)
    error = os_error(code, error_class(code))
    # name: (offset of the first failing read, events before it, failures).
    # Reads are cut short at that offset, so inside the fourth event's header
    # or its channels word part of it has been taken when the read fails.
    where = {"payload": (inside, 2, 1), "boundary": (starts[3], 3, 1),
             "header": (starts[3] + 10, 3, 1), "channels word": (starts[3] + 26, 3, 1),
             "payload thrice": (inside, 2, 3)}
    cases = [{"reader_type": "WD2",
              "env": {"FAULT_READ_FAIL_AT": at, "FAULT_READ_ERRNO": code,
                      "FAULT_READ_FAIL_TIMES": times}}
             for at, _, times in where.values()]
    for (name, (_, before, times)), result in zip(where.items(),
                                                  run_faulty(libfault, path, cases)):
        # The interrupted event keeps the bytes it had taken and comes whole
        # once reads succeed again.
        assert result["steps"] == (events(records[:before]) + [error] * times
                                   + events(records[before:]) + stops()), name
        assert result["counters"]["read_failures"] == times, name
        assert result["counters"]["reads_after_failure"] > 0, name
        assert result["fds_after"] == 0, name


@pytest.mark.parametrize("code", [errno.EIO, errno.EACCES, errno.EISDIR, errno.ENOMEM],
                         ids=errno.errorcode.get)
@pytest.mark.parametrize("layout", ["wd2-channels", "wd2-plain-fallback"])
def test_read_error_during_wd2_detection_fails_construction(
        libfault, write, layout, code):
    _, make = LAYOUTS[layout]
    content, records, starts = make()
    path = write(content)
    # Detection reads the first event and the next header, nothing more: a
    # failure past them comes only when the events get there.
    offsets = [0, 3, 26, starts[1] - 1, starts[1] + 20, starts[3]]
    cases = [{"reader_type": "WD2",
              "env": {"FAULT_READ_FAIL_AT": at, "FAULT_READ_ERRNO": code}}
             for at in offsets]
    *inside, past = run_faulty(libfault, path, cases)
    for at, result in zip(offsets, inside):
        # Whatever the errno, construction raises exactly OSError.
        assert result.get("construct") == construct_error(code), at
        assert result["fds_after"] == 0, at
        assert result["counters"]["closes"] == result["counters"]["opens"] == 1, at
    assert past["steps"] == (events(records[:3]) + [os_error(code, error_class(code))]
                             + events(records[3:]) + stops())


@pytest.mark.parametrize("code", [errno.EIO, errno.EACCES], ids=errno.errorcode.get)
def test_read_error_in_one_channel_detection_pass_fails_construction(
        libfault, write, code):
    content, _, starts = LAYOUTS["wd2-plain-fallback"][1]()
    path = write(content)
    # Armed after the first rewind: the reading with a channels word runs
    # into the end of the file cleanly, then the one-channel reading fails.
    offsets = [0, 10, starts[1] - 4, starts[1] + 12]
    cases = [{"reader_type": "WD2",
              "env": {"FAULT_READ_FAIL_AT": at, "FAULT_READ_ERRNO": code,
                      "FAULT_READ_ARM_SEEKS": 1}}
             for at in offsets]
    for at, result in zip(offsets, run_faulty(libfault, path, cases)):
        assert result["counters"]["read_failures"] == 1, at
        assert result.get("construct") == construct_error(code), at
        assert result["fds_after"] == 0, at


# --- Repositioning ----------------------------------------------------------

@pytest.mark.parametrize("code", [errno.ESPIPE, errno.EIO, errno.EINVAL, errno.EBADF],
                         ids=errno.errorcode.get)
@pytest.mark.parametrize("layout", ["wd2-channels", "wd2-plain-zero", "wd2-plain-fallback"])
def test_failed_rewind_fails_wd2_construction_and_closes_the_file(
        libfault, write, layout, code):
    _, make = LAYOUTS[layout]
    path = write(make()[0])
    [result] = run_faulty(libfault, path, [
        {"reader_type": "WD2", "env": {"FAULT_LSEEK_ERRNO": code}}])
    assert result.get("construct") == construct_error(code)
    assert result["counters"]["lseek_failures"] >= 1
    assert result["fds_after"] == 0
    assert result["counters"]["closes"] == result["counters"]["opens"] == 1


def test_wd1_reads_without_ever_repositioning(libfault, write):
    content, records, _ = wd1_file()
    path = write(content)
    [result] = run_faulty(libfault, path, [
        {"reader_type": "WD1", "env": {"FAULT_LSEEK_ERRNO": errno.ESPIPE}}])
    assert result["steps"] == events(records) + stops()
    assert result["counters"]["lseeks"] == 0


FIFO_CHILD = r"""
import json, os, subprocess, sys
import vorn
fifo, source, reader_type = sys.argv[1:4]
writer = subprocess.Popen([sys.executable, "-c",
    "import shutil, sys\n"
    "try:\n"
    "    with open(sys.argv[1], 'rb') as s, open(sys.argv[2], 'wb') as f: shutil.copyfileobj(s, f)\n"
    "except BrokenPipeError:\n"
    "    pass\n", source, fifo])
out = {}
try:
    reader = vorn.EventReader(fifo, reader_type)
    out["counters"] = [ev["event_counter"] for ev in reader]
except OSError as exc:
    out["error"] = [type(exc).__name__, list(exc.args)]
    reader = None
del reader
writer.wait(timeout=60)
print(json.dumps(out))
"""


@pytest.mark.parametrize("layout", ["wd1", "wd2-channels"])
def test_pipe_as_event_file(tmp_path, write, layout):
    reader_type, make = LAYOUTS[layout]
    content, records, _ = make()
    source = write(content)
    fifo = tmp_path / "events.fifo"
    os.mkfifo(fifo)
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-c", FIFO_CHILD, str(fifo), str(source),
         reader_type],
        env=child_env(), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    if reader_type == "WD1":
        assert out == {"counters": [r["event_counter"] for r in records]}
    else:
        # Detection has to rewind, which a pipe cannot do.
        assert out == {"error": ["OSError", ["Illegal seek (os error 29)"]]}


# --- Opening ----------------------------------------------------------------

@pytest.mark.parametrize("layout", ["wd1", "wd2-channels"])
def test_interrupted_open_is_retried(libfault, write, layout):
    reader_type, make = LAYOUTS[layout]
    content, records, _ = make()
    path = write(content)
    [result] = run_faulty(libfault, path, [
        {"reader_type": reader_type, "env": {"FAULT_OPEN_EINTR": 3}}])
    assert result["steps"] == events(records) + stops()
    assert result["counters"]["open_eintr"] == 3
    assert result["counters"]["opens"] == 1
    flags = result["counters"]["last_open_flags"]
    assert flags & os.O_ACCMODE == os.O_RDONLY
    assert flags & os.O_CLOEXEC


RLIMIT_CHILD = r"""
import json, os, resource, sys
import vorn
path = sys.argv[1]
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
out = {}
fillers = []
resource.setrlimit(resource.RLIMIT_NOFILE, (len(os.listdir("/proc/self/fd")) + 8, hard))
try:
    # Take every descriptor left below the limit.
    while True:
        try:
            fillers.append(os.open(os.devnull, os.O_RDONLY))
        except OSError:
            break
    for reader_type in ("WD1", "WD2"):
        try:
            vorn.EventReader(path, reader_type)
        except OSError as exc:
            out[reader_type] = [type(exc).__name__, list(exc.args)]
finally:
    for fd in fillers:
        os.close(fd)
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
out["after"] = sum(1 for _ in vorn.EventReader(path, "WD1"))
print(json.dumps(out))
"""


def test_descriptor_limit_reached(write):
    content, records, _ = wd1_file()
    path = write(content)
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-c", RLIMIT_CHILD, str(path)],
        env=child_env(), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    message = f"{os.strerror(errno.EMFILE)} (os error {errno.EMFILE})"
    assert json.loads(proc.stdout) == {
        "WD1": ["OSError", [message]], "WD2": ["OSError", [message]],
        "after": len(records)}


ADDRESS_SPACE_CHILD = r"""
import json, resource, sys
import numpy, vorn
path, reader_type = sys.argv[1:3]
reader = vorn.EventReader(path, reader_type)
vm = [int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize")][0]
# Room for the interpreter to go on, far less than the event's samples.
resource.setrlimit(resource.RLIMIT_AS, (vm * 1024 + 2**27, resource.RLIM_INFINITY))
try:
    event = next(reader)
except MemoryError as exc:
    out = ["MemoryError", list(exc.args)]
except StopIteration:
    out = ["StopIteration"]
else:
    out = ["event", int(event["data"].size)]
print(json.dumps(out))
"""


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_samples_that_cannot_be_allocated_raise_memory_error(tmp_path, reader_type):
    # A complete event of 512 MiB of samples in a sparse file: the file holds
    # all of it, so only the allocation can stop the reader, and running out
    # of memory must not pass for the end of the data.
    payload = 2**29
    path = tmp_path / "big.bin"
    with open(path, "wb") as f:
        if reader_type == "WD1":
            f.write(wd1_event(24 + payload, 1, 0, 0, 0, 0))
            f.truncate(24 + payload)
        else:
            # Detection needs the next header too.
            f.write(wd2_event(0, 0, payload // 8, 1, b"", 2))
            f.truncate(28 + payload)
            f.seek(0, os.SEEK_END)
            f.write(wd2_event(1, 0, payload // 8, 1, b"", 2))
    env = child_env()
    # Under AddressSanitizer a failed allocation would abort the child.
    env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"),
                                                 "allocator_may_return_null=1"]))
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-c", ADDRESS_SPACE_CHILD, str(path), reader_type],
        env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == [
        "MemoryError", [f"cannot allocate {payload} bytes for the samples of an event"]]


# --- Interrupts --------------------------------------------------------------

# Ctrl-C at moments a few microseconds apart, while the main thread hands
# blocks to a reading or a writing thread: the interrupt comes out, the
# cleanup returns, and no thread is left running. An interrupt raised inside a
# queue's lock once left it held, and the cleanup waited on it for ever.
HAND_OVERS = """
import itertools, signal, sys, threading
from vorn_tools import _signals as signals
from vorn_tools._overlap import WriteBehind, read_ahead

signals.install()
signal.signal(signal.SIGALRM, signal.getsignal(signal.SIGINT))  # what Ctrl-C does, from a fine timer
for trial in range(500):
    wait = 0.0002 + (trial % 50) * 0.00004
    ahead = read_ahead(itertools.count())
    signal.setitimer(signal.ITIMER_REAL, wait)
    try:
        for _ in ahead:
            pass
    except KeyboardInterrupt:
        pass
    ahead.close()
    writer = WriteBehind(lambda item: None)
    signal.setitimer(signal.ITIMER_REAL, wait)
    try:
        while True:
            writer.put(trial)
    except KeyboardInterrupt:
        pass
    writer.abandon()
    assert threading.active_count() == 1, (trial, threading.enumerate())
"""


def test_an_interrupt_while_blocks_change_threads_never_hangs_the_cleanup():
    proc = subprocess.run([sys.executable, "-c", HAND_OVERS], env=child_env(), capture_output=True, text=True,
                          timeout=60)  # a hang detector: the trials take seconds
    assert proc.returncode == 0, proc.stderr


@pytest.fixture(scope="module")
def long_input(tmp_path_factory):
    """A WD1 file of 200,000 noisy pulses of 1024 samples, which takes the long commands a second or two;
    and its digest."""
    import numpy as np

    rng = np.random.default_rng(61)
    t = np.arange(1024)
    waves = 1000 + rng.normal(0, 3, (256, 1024)) - rng.uniform(50, 900, (256, 1)) * np.exp(-np.maximum(t - 100, 0)
                                                                                             / 20) * (t >= 100)
    dtype = np.dtype([(k, "<i4") for k in ("size", "board", "pattern", "channel", "counter", "time")]
                     + [("data", "<u2", 1024)])
    events = np.zeros(200_000, dtype)
    events["size"] = dtype.itemsize
    events["counter"] = np.arange(len(events))
    events["data"] = np.tile(np.round(waves).astype("<u2"), (len(events) // 256 + 1, 1))[:len(events)]
    path = tmp_path_factory.mktemp("interrupts") / "long.wd1"
    events.tofile(path)
    return path, hashlib.sha256(path.read_bytes()).hexdigest()


@pytest.mark.parametrize("jobs", [[], ["--jobs", "2"]])
@pytest.mark.parametrize("command", ["features", "pulses"])
def test_an_interrupt_at_any_moment_ends_the_command_and_leaves_nothing(script, tmp_path, long_input, command, jobs):
    # Ctrl-C at random moments of the work: the command ends at once, with
    # the status of an interrupt, no output and no hidden temporary file. A
    # signal raised inside a lock's machinery once left a cleanup waiting for
    # ever, so many moments are tried; the timeout is a hang detector only.
    import signal
    import time

    pq = pytest.importorskip("pyarrow.parquet")
    path, digest = long_input

    def start(folder):
        """The command, once its work is under way (its hidden output appears), and when that was."""
        folder.mkdir()
        output = folder / ("out" if jobs else "out.parquet")
        proc = subprocess.Popen([script, command, str(path), "-o", str(output), "-q", *jobs], cwd=folder,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, start_new_session=True)
        deadline = time.monotonic() + 60
        while not any(".partial" in p.name for p in folder.rglob("*")) and proc.poll() is None:
            assert time.monotonic() < deadline, "no output appeared"
            time.sleep(0.005)
        return proc, time.monotonic()

    # Once without an interrupt: how long the work lasts here, where the moments are drawn from.
    proc, began = start(tmp_path / "whole")
    _, stderr = proc.communicate(timeout=120)
    assert proc.returncode == 0, stderr
    lasts = time.monotonic() - began
    moments = random.Random(f"{command}{jobs}")
    interrupted = 0
    for attempt in range(4):
        folder = tmp_path / str(attempt)
        proc, _ = start(folder)
        time.sleep(moments.uniform(0, 0.7 * lasts))
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGINT)  # as a terminal does: the whole process group
        try:
            _, stderr = proc.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.communicate()
            pytest.fail(f"{command} {' '.join(jobs)} still running 20 s after an interrupt")
        left = sorted(p.relative_to(folder) for p in folder.rglob("*") if p.is_file())
        assert not [name for name in left if ".partial" in name.name], left
        if left:
            # The work was done before the signal came, or as it came: the
            # output is whole, and the status says done or interrupted.
            assert len(left) == 1 and pq.read_metadata(folder / left[0]).num_rows > 0, left
            assert proc.returncode in (0, 130, -signal.SIGINT), (proc.returncode, stderr)
            continue
        interrupted += 1
        assert proc.returncode == 130 and stderr.endswith("vorn: interrupted\n"), (proc.returncode, stderr)
    assert interrupted >= 2
    assert hashlib.sha256(path.read_bytes()).hexdigest() == digest
