"""Reference-leak check for a debug interpreter (run directly, not by pytest).

Runs the same workload several times: iteration of WD1 and WD2 files and the
error paths (bad arguments, missing files, unknown reader types, truncated
and invalid events, failed layout detection, events cut by the end of the
data and then completed or abandoned, and, with the fault-injection library
preloaded, WD2 events interrupted by a read error). After two
warm-up rounds, sys.gettotalrefcount() must not grow from one round to the
next beyond what NumPy itself moves it: creating any array moves the total by
a constant amount even in plain NumPy code, so that drift is measured first
and charged to each array the workload yields. Allocated blocks are printed for information only: the interpreter's
own free lists move them by a block or two per round.
"""

from __future__ import annotations

import ctypes
import gc
import os
import struct
import sys
import tempfile

import vorn

ROUNDS = 6
WARMUP = 2
EVENTS = 1000


def wd1_event(counter: int, samples: int) -> bytes:
    return struct.pack("<6i", 24 + 2 * samples, 1, 2, 3, counter, -counter) + (
        struct.pack(f"<{samples}H", *range(samples))
    )


def wd2_event(counter: int, samples: int, channels: int | None) -> bytes:
    k = channels or 1
    word = b"" if channels is None else struct.pack("<i", channels)
    return (
        struct.pack("<IQIQ", counter, 2**63 + counter, samples, 10)
        + word
        + struct.pack(f"<{samples * k}f", *([1.5] * (samples * k)))
    )


def expect(exc_type: type[BaseException], call, *args, **kwargs) -> None:
    try:
        call(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{call!r} did not raise {exc_type.__name__}")


def fault_library_loaded() -> bool:
    return hasattr(ctypes.CDLL(None), "fault_counter")


def drain(reader) -> int:
    seen = 0
    for event in reader:
        assert event["data"].base is not None
        seen += 1
    return seen


def follow_cut_events(d: str, content: bytes, kind: str) -> int:
    """Writes `content` in blocks that end inside events, reading after each;
    the last block is left out, so its event is kept and then abandoned."""
    path = os.path.join(d, "growing." + kind.lower())
    open(path, "wb").close()
    reader = None
    seen = 0
    block = 1000
    with open(path, "ab", buffering=0) as f:
        for start in range(0, len(content) - block, block):
            f.write(content[start : start + block])
            if reader is None and start > 2 * block:
                reader = vorn.EventReader(path, kind)
            if reader is not None:
                seen += drain(reader)
    return seen


def wd2_read_error(path: str, at: int, complete: bool) -> int:
    settings = {"FAULT_PATH": path, "FAULT_READ_FAIL_AT": str(at)}
    os.environ.update(settings)
    try:
        reader = vorn.EventReader(path, "WD2")
    finally:
        for key in settings:
            del os.environ[key]
    seen = 0
    try:
        for _ in reader:
            seen += 1
    except OSError:
        pass
    else:
        raise AssertionError("the injected read error did not come")
    if complete:
        seen += drain(reader)
    return seen


def workload(d: str) -> int:
    """Returns the number of arrays it received."""
    seen = 0
    paths = {
        "wd1": os.path.join(d, "a.wd1"),
        "wd2": os.path.join(d, "a.wd2"),
        "wd2one": os.path.join(d, "one.wd2"),
        "cut": os.path.join(d, "cut.wd1"),
        "bad": os.path.join(d, "bad.wd1"),
        "short": os.path.join(d, "short.wd2"),
    }
    for path, kind in (
        (paths["wd1"], "WD1"),
        (paths["wd2"], "WD2"),
        (paths["wd2one"], "WD2"),
        (paths["cut"], "WD1"),
    ):
        for event in vorn.EventReader(path, kind):
            assert event["data"].base is not None
            seen += 1

    bad = vorn.EventReader(paths["bad"], "WD1")
    expect(OSError, next, bad)
    expect(StopIteration, next, bad)
    expect(IsADirectoryError, next, vorn.EventReader(d, "WD1"))

    expect(TypeError, vorn.EventReader)
    expect(TypeError, vorn.EventReader, paths["wd1"], "WD1", "x")
    expect(TypeError, vorn.EventReader, paths["wd1"], "WD1", mode="r")
    expect(TypeError, vorn.EventReader, paths["wd1"], path="b")
    expect(TypeError, vorn.EventReader, 1, "WD1")
    expect(TypeError, vorn.EventReader, paths["wd1"], None)
    expect(UnicodeEncodeError, vorn.EventReader, "\udcff", "WD1")
    expect(OSError, vorn.EventReader, "a\0b", "WD1")
    expect(FileNotFoundError, vorn.EventReader, os.path.join(d, "missing"), "WD1")
    expect(ValueError, vorn.EventReader, paths["wd1"], "wd1")
    expect(OSError, vorn.EventReader, paths["short"], "WD2")
    expect(OSError, vorn.EventReader, d, "WD2")

    for path, kind in ((paths["wd1"], "WD1"), (paths["wd2"], "WD2")):
        with open(path, "rb") as f:
            seen += follow_cut_events(d, f.read(20_000), kind)
    if fault_library_loaded():
        # Inside the payload of the fifth two-channel event.
        inside = 4 * (28 + 16 * 2 * 4) + 60
        seen += wd2_read_error(paths["wd2"], inside, complete=True)
        seen += wd2_read_error(paths["wd2"], inside, complete=False)
    return seen


def main() -> int:
    if not hasattr(sys, "gettotalrefcount"):
        print("refleak: needs a debug build of CPython", file=sys.stderr)
        return 2
    if not fault_library_loaded():
        print("refleak: no fault library preloaded, read-error paths skipped")
        if os.environ.get("VORN_REQUIRE_FAULTS") == "1":
            return 1
    with tempfile.TemporaryDirectory() as d:
        with open(os.path.join(d, "a.wd1"), "wb") as f:
            f.write(b"".join(wd1_event(i, i % 40) for i in range(EVENTS)))
        with open(os.path.join(d, "a.wd2"), "wb") as f:
            f.write(b"".join(wd2_event(i, 16, 2) for i in range(EVENTS)))
        with open(os.path.join(d, "one.wd2"), "wb") as f:
            f.write(b"".join(wd2_event(i, 8, None) for i in range(EVENTS)))
        with open(os.path.join(d, "cut.wd1"), "wb") as f:
            f.write(wd1_event(0, 10) + wd1_event(1, 10)[:30])
        with open(os.path.join(d, "bad.wd1"), "wb") as f:
            f.write(struct.pack("<6i", 8, 0, 0, 0, 0, 0))
        with open(os.path.join(d, "short.wd2"), "wb") as f:
            f.write(wd2_event(0, 4, 2))

        drift = numpy_drift_per_array()
        totals = []
        arrays = 0
        for round_ in range(ROUNDS):
            made = workload(d)
            gc.collect()
            totals.append((sys.gettotalrefcount(), sys.getallocatedblocks()))
            if round_ > WARMUP:
                arrays += made
    refs = [t[0] for t in totals[WARMUP:]]
    blocks = [t[1] for t in totals[WARMUP:]]
    excess = refs[-1] - refs[0] - drift * arrays
    print(f"refleak: reference totals {refs}, allocated blocks {blocks}, "
          f"NumPy drift {drift} per array, {arrays} arrays")
    if excess > 0:
        print(f"refleak: FAILED, {excess} references unaccounted for over "
              f"{ROUNDS - WARMUP - 1} rounds")
        return 1
    print(f"refleak: passed, {ROUNDS - WARMUP - 1} rounds of {arrays} events "
          "and the error paths without growth")
    return 0


def numpy_drift_per_array() -> int:
    import numpy as np

    buffer = bytearray(8)
    for _ in range(100):
        np.frombuffer(buffer, np.uint16)
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(10_000):
        np.frombuffer(buffer, np.uint16)
    gc.collect()
    return round((sys.gettotalrefcount() - before) / 10_000)


if __name__ == "__main__":
    sys.exit(main())
