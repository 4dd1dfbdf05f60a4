"""Reference-leak check for a debug interpreter (run directly, not by pytest).

Two workloads run for several rounds after warm-up rounds, with
sys.gettotalrefcount() taken around every round:

- Paths that create no array (bad arguments, missing files, unknown reader
  types, invalid events, failed layout detection, a cut event abandoned and,
  with the fault library preloaded, a WD2 event interrupted by a read error
  and abandoned) may not grow the total at all.
- Paths that yield events (whole files, cut events completed, the rest of a
  file after a read error) are each followed by a control round creating as
  many arrays of the same types and sizes in NumPy alone, since some NumPy
  versions move the total per array; the events may not grow it more."""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "python"))
from eventfiles import wd1_event, wd2_event  # noqa: E402

import vorn  # noqa: E402

ROUNDS = 6
WARMUP = 2
EVENTS = 1000


def wd1(counter: int, samples: int) -> bytes:
    return wd1_event(None, 1, 2, 3, counter, -counter, range(samples))


def wd2(counter: int, samples: int, channels: int | None) -> bytes:
    return wd2_event(counter, 2**63 + counter, samples, 10,
                     [1.5] * (samples * (channels or 1)), channels)


def expect(exc_type: type[BaseException], call, *args, **kwargs) -> None:
    try:
        call(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{call!r} did not raise {exc_type.__name__}")


# Looked up once: each ctypes.CDLL(None) keeps a reference of its own.
FAULTS = hasattr(ctypes.CDLL(None), "fault_counter")


def faulty_reader(path: str, **settings: int) -> vorn.EventReader:
    """A WD2 reader of `path` whose reads fail as FAULT_* `settings` say."""
    env = {"FAULT_PATH": path, **{f"FAULT_{k}": str(v) for k, v in settings.items()}}
    os.environ.update(env)
    try:
        return vorn.EventReader(path, "WD2")
    finally:
        for key in env:
            del os.environ[key]


def drain(reader, shapes: list) -> None:
    """Iterates to the end, noting each array's type and length."""
    for event in reader:
        data = event["data"]
        assert data.base is not None
        shapes.append((data.dtype.char, data.size))


def follow_cut_events(d: str, content: bytes, kind: str, shapes: list) -> None:
    """Writes `content` in blocks that end inside events, reading after each;
    the last block is left out, so its event is kept and then abandoned."""
    path = os.path.join(d, "growing." + kind.lower())
    open(path, "wb").close()
    reader = None
    block = 1000
    with open(path, "ab", buffering=0) as f:
        for start in range(0, len(content) - block, block):
            f.write(content[start : start + block])
            if reader is None and start > 2 * block:
                reader = vorn.EventReader(path, kind)
            if reader is not None:
                drain(reader, shapes)


def events(d: str) -> list:
    """The paths that yield events; returns the shapes of their arrays."""
    shapes: list = []
    for name, kind in (("a.wd1", "WD1"), ("a.wd2", "WD2"), ("one.wd2", "WD2"),
                       ("cut.wd1", "WD1")):
        drain(vorn.EventReader(os.path.join(d, name), kind), shapes)
    for name, kind in (("a.wd1", "WD1"), ("a.wd2", "WD2")):
        with open(os.path.join(d, name), "rb") as f:
            follow_cut_events(d, f.read(20_000), kind, shapes)
    if FAULTS:
        # Inside the payload of the fifth two-channel event.
        reader = faulty_reader(os.path.join(d, "a.wd2"),
                               READ_FAIL_AT=4 * (28 + 16 * 2 * 4) + 60)
        expect(OSError, drain, reader, shapes)
        drain(reader, shapes)
    return shapes


def no_arrays(d: str) -> None:
    """The paths that create no array."""
    wd1_path = os.path.join(d, "a.wd1")
    bad = vorn.EventReader(os.path.join(d, "bad.wd1"), "WD1")
    expect(OSError, next, bad)
    expect(StopIteration, next, bad)
    expect(IsADirectoryError, next, vorn.EventReader(d, "WD1"))
    cut = vorn.EventReader(os.path.join(d, "cut_first.wd1"), "WD1")
    expect(StopIteration, next, cut)
    del cut

    expect(TypeError, vorn.EventReader)
    expect(TypeError, vorn.EventReader, wd1_path, "WD1", "x")
    expect(TypeError, vorn.EventReader, wd1_path, "WD1", mode="r")
    expect(TypeError, vorn.EventReader, wd1_path, path="b")
    expect(TypeError, vorn.EventReader, 1, "WD1")
    expect(TypeError, vorn.EventReader, wd1_path, None)
    expect(UnicodeEncodeError, vorn.EventReader, "\udcff", "WD1")
    expect(OSError, vorn.EventReader, "a\0b", "WD1")
    expect(FileNotFoundError, vorn.EventReader, os.path.join(d, "missing"), "WD1")
    expect(ValueError, vorn.EventReader, wd1_path, "wd1")
    expect(OSError, vorn.EventReader, os.path.join(d, "short.wd2"), "WD2")
    expect(OSError, vorn.EventReader, os.path.join(d, "negative.wd2"), "WD2")
    expect(OSError, vorn.EventReader, d, "WD2")
    if FAULTS:
        # Armed by the rewind after detection: the first event fails.
        reader = faulty_reader(os.path.join(d, "a.wd2"), READ_FAIL_AT=60,
                               READ_ARM_SEEKS=1)
        expect(OSError, next, reader)
        del reader


def control(shapes: list) -> None:
    """What NumPy alone does for arrays of these types and sizes."""
    import numpy as np

    for char, size in shapes:
        dtype = np.dtype(char)
        array = np.frombuffer(bytearray(size * dtype.itemsize), dtype)
        assert array.base is not None


def total() -> int:
    gc.collect()
    return sys.gettotalrefcount()


def write_files(d: str) -> None:
    files = {
        "a.wd1": b"".join(wd1(i, i % 40) for i in range(EVENTS)),
        "a.wd2": b"".join(wd2(i, 16, 2) for i in range(EVENTS)),
        "one.wd2": b"".join(wd2(i, 8, None) for i in range(EVENTS)),
        "cut.wd1": wd1(0, 10) + wd1(1, 10)[:30],
        "cut_first.wd1": wd1(0, 10)[:30],
        "bad.wd1": wd1_event(8),
        "short.wd2": wd2(0, 4, 2),
        "negative.wd2": wd2(0, 2, -1) + wd2(1, 2, -1),
    }
    for name, content in files.items():
        with open(os.path.join(d, name), "wb") as f:
            f.write(content)


def main() -> int:
    if not hasattr(sys, "gettotalrefcount"):
        print("refleak: needs a debug build of CPython", file=sys.stderr)
        return 2
    if not FAULTS:
        print("refleak: no fault library preloaded, read-error paths skipped")
        if os.environ.get("VORN_REQUIRE_FAULTS") == "1":
            return 1
    with tempfile.TemporaryDirectory() as d:
        write_files(d)
        plain, ours, numpy_only, arrays = [], 0, 0, 0
        for round_ in range(WARMUP + ROUNDS):
            before = total()
            no_arrays(d)
            middle = total()
            shapes = events(d)
            after = total()
            control(shapes)
            end = total()
            if round_ >= WARMUP:
                plain.append(middle - before)
                ours += after - middle
                numpy_only += end - after
                arrays += len(shapes)
    print(f"refleak: paths without arrays moved the total by {plain} per round; "
          f"{arrays} events moved it by {ours}, as many NumPy arrays by {numpy_only}")
    failed = False
    if sum(plain) > 0:
        print(f"refleak: FAILED, {sum(plain)} references leaked over {ROUNDS} rounds "
              "of paths that create no array")
        failed = True
    if ours > numpy_only:
        print(f"refleak: FAILED, {ours - numpy_only} references leaked over "
              f"{ROUNDS} rounds of {arrays // ROUNDS} events")
        failed = True
    if failed:
        return 1
    print(f"refleak: passed, {ROUNDS} rounds of {arrays // ROUNDS} events and the "
          "paths without arrays")
    return 0


if __name__ == "__main__":
    sys.exit(main())
