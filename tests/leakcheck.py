"""Leak driver: runs every way in and out of vorn a few times, for valgrind.

    PYTHONMALLOC=malloc valgrind --leak-check=full ... python tests/leakcheck.py

Not a pytest module (pytest collects test_*.py under tests/python only). It
does its own accounting as well: every object that vorn may take a
reference to (the argument strings, the EventReader type and the type of the
arrays' buffer owner, which each instance keeps alive) must be back to its
reference count once the events and readers are gone. That catches a
reference leaked on a path even where valgrind only sees memory that is
still reachable. Exits non-zero on the first scenario that misbehaves.

The scenarios with a read error inside a WD2 event need the fault-injection
library preloaded (LD_PRELOAD=libfault.so, built from
tests/faultinject/fault_preload.c); without it they are skipped, unless
VORN_REQUIRE_FAULTS=1 makes that an error.
"""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import tempfile
from pathlib import Path

from vorn import EventReader

sys.path.insert(0, str(Path(__file__).resolve().parent / "python"))
from eventfiles import wd1_event, wd2_event  # noqa: E402

ROUNDS = 3


def wd1(samples=(), *, size=None, counter=0):
    return wd1_event(size, 1, 2, 3, counter, 1000 * counter, samples)


def wd2(counter, samples, values, channels=None, period=8):
    return wd2_event(counter, 10 * counter, samples, period, values, channels)


class Files:
    def __init__(self, root: Path):
        self.root = root

    def write(self, name: str, content: bytes) -> str:
        path = self.root / name
        path.write_bytes(content)
        return str(path)


def drain(reader, keep=False):
    """Iterates to the end; `keep` holds on to the events past the reader."""
    events = []
    for event in reader:
        assert event["data"].base is not None
        if keep:
            events.append(event)
    return events


def expect(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{fn.__name__}{args} did not raise {exc_type.__name__}")


def fault_library_loaded() -> bool:
    return hasattr(ctypes.CDLL(None), "fault_counter")


def open_failing(path, reader_type, at):
    """A reader whose file fails one read with EIO at offset `at`."""
    settings = {"FAULT_PATH": path, "FAULT_READ_FAIL_AT": str(at), "FAULT_READ_FAIL_TIMES": "1"}
    os.environ.update(settings)
    try:
        return EventReader(path, reader_type)
    finally:
        for key in settings:
            del os.environ[key]


def scenarios(files: Files):
    ramp = [(37 * i) % 65536 for i in range(600)]
    wd1_good = files.write("good.wd1", b"".join(
        wd1(ramp[: 50 + i], counter=i) for i in range(5)))
    wd1_odd = files.write("odd.wd1", wd1(ramp[:3], size=24 + 7)
                          + wd1(ramp[:4], counter=1))
    wd1_empty_events = files.write("empty_events.wd1", wd1() * 3)
    wd1_truncated = files.write("truncated.wd1", wd1(ramp[:8])
                                + wd1(ramp[:300])[:200])
    wd1_claims_more = files.write("claims.wd1", wd1(ramp[:4], size=24 + 2_000_000))
    wd1_bad_size = files.write("bad_size.wd1", wd1(ramp[:4]) + wd1(size=8))
    wd1_wrapping = files.write("wrapping.wd1", wd1(ramp[:4], size=-(2**31) + 3))
    wd1_partial_header = files.write("partial_header.wd1", wd1(ramp[:4]) + b"\x01" * 11)

    values = [0.5 * i for i in range(64)]
    wd2_word = files.write("word.wd2", b"".join(
        wd2(i, 16, values[:32], channels=2) for i in range(4)))
    wd2_plain = files.write("plain.wd2", b"".join(
        wd2(i, 20, values[:20]) for i in range(4)))
    wd2_zero = files.write("zero.wd2", b"".join(wd2(i, 0, [], channels=3) for i in range(3)))
    wd2_truncated = files.write("truncated.wd2", b"".join(
        wd2(i, 16, values[:32], channels=2) for i in range(3))[:-10])
    # Empty events settle the layout at 2**31 - 1 channels; the third
    # event's samples times that does not fit in 63 bits, the fourth reads.
    wd2_bad_length = files.write("bad_length.wd2", b"".join(
        wd2(i, 0xFFFF_FFFF if i == 2 else 0, [], channels=0x7FFF_FFFF)
        for i in range(4)))
    wd2_single = files.write("single.wd2", wd2(0, 4, values[:8], channels=2))
    # The channels word gives a payload past the end of the file, and read
    # without the word the next header does not repeat samples.
    wd2_undecidable = files.write("undecidable.wd2", wd2(0, 4, values[:8], channels=1000)
                                  + wd2(5, 9, values[:18], channels=2))
    wd2_negative = files.write("negative.wd2", wd2(0, 2, values[:4], channels=-1) * 2)
    wd2_empty = files.write("empty.wd2", b"")
    missing = str(files.root / "missing.bin")
    directory = str(files.root)

    def iterate(path, reader_type, keep=False):
        return lambda: drain(EventReader(path, reader_type), keep)

    def partial_then_error(path, reader_type, exc_type):
        def run():
            reader = EventReader(path, reader_type)
            try:
                for _ in reader:
                    pass
            except exc_type:
                pass
            else:
                raise AssertionError(f"{path} did not raise {exc_type.__name__}")
            drain(reader)  # after an error: WD1 ends, WD2 reads on
        return run

    def resume(reader_type, content, split):
        def run():
            path = files.write(f"growing.{reader_type.lower()}", content[:split])
            reader = EventReader(path, reader_type)
            first = drain(reader, keep=True)
            with open(path, "ab") as f:
                f.write(content[split:])
            second = drain(reader, keep=True)
            assert first or second
        return run

    def cut_event_abandoned(reader_type, content, split):
        def run():
            path = files.write(f"cut.{reader_type.lower()}", content[:split])
            reader = EventReader(path, reader_type)
            drain(reader)  # keeps the cut event's first part
            del reader
        return run

    def wd2_read_error(complete):
        # Inside the third event's payload, past what detection reads.
        at = 2 * 156 + 50

        def run():
            reader = open_failing(wd2_word, "WD2", at)
            expect(OSError, drain, reader)  # after two events
            if complete:
                assert len(drain(reader, keep=True)) == 2
            del reader
        return run

    def events_outlive_reader():
        events = drain(EventReader(wd1_good, "WD1"), keep=True)
        views = [e["data"][1::2] for e in events]
        del events
        gc.collect()
        assert all(v.base is not None for v in views)
        return sum(int(v.sum()) for v in views)

    def abandoned_mid_iteration():
        for path, reader_type in ((wd1_good, "WD1"), (wd2_word, "WD2")):
            reader = EventReader(path, reader_type)
            it = iter(reader)
            next(it)
            del reader, it

    def exhausted_twice():
        reader = EventReader(wd1_good, "WD1")
        drain(reader)
        expect(StopIteration, next, reader)
        drain(reader)

    wd1_content = Path(wd1_good).read_bytes()
    wd2_content = Path(wd2_word).read_bytes()
    # Argument strings vorn borrows: their counts must not drift either.
    arguments = {"WD1 path": wd1_good, "WD2 path": wd2_word, "missing path": missing}
    return arguments, {
        "wd1 events": iterate(wd1_good, "WD1", keep=True),
        "wd1 odd payload": iterate(wd1_odd, "WD1"),
        "wd1 header-only events": iterate(wd1_empty_events, "WD1", keep=True),
        "wd1 truncated event": iterate(wd1_truncated, "WD1"),
        "wd1 payload past the end": iterate(wd1_claims_more, "WD1"),
        "wd1 partial header": iterate(wd1_partial_header, "WD1"),
        "wd1 invalid event_size": partial_then_error(wd1_bad_size, "WD1", OSError),
        "wd1 wrapping event_size": iterate(wd1_wrapping, "WD1"),
        "wd1 cut in header, completed": resume("WD1", wd1_content, 130),
        "wd1 cut in samples, completed": resume("WD1", wd1_content, 200),
        "wd1 cut in samples, abandoned": cut_event_abandoned("WD1", wd1_content, 200),
        "wd1 directory": partial_then_error(directory, "WD1", IsADirectoryError),
        "wd2 channel word": iterate(wd2_word, "WD2", keep=True),
        "wd2 single channel": iterate(wd2_plain, "WD2", keep=True),
        "wd2 zero samples": iterate(wd2_zero, "WD2", keep=True),
        "wd2 truncated event": iterate(wd2_truncated, "WD2"),
        "wd2 invalid payload length": partial_then_error(wd2_bad_length, "WD2", OSError),
        "wd2 cut in samples, completed": resume("WD2", wd2_content, 2 * 156 + 50),
        "wd2 cut in header, abandoned": cut_event_abandoned("WD2", wd2_content, 2 * 156 + 10),
        "wd2 detection: one event": lambda: expect(OSError, EventReader, wd2_single, "WD2"),
        "wd2 detection: no layout": lambda: expect(OSError, EventReader, wd2_undecidable, "WD2"),
        "wd2 detection: negative channels": lambda: expect(OSError, EventReader, wd2_negative, "WD2"),
        "wd2 detection: empty file": lambda: expect(OSError, EventReader, wd2_empty, "WD2"),
        "wd2 detection: directory": lambda: expect(OSError, EventReader, directory, "WD2"),
        "missing file": lambda: expect(FileNotFoundError, EventReader, missing, "WD1"),
        "unknown reader type": lambda: expect(ValueError, EventReader, wd1_good, "WD3"),
        "unknown reader type, missing file": lambda: expect(OSError, EventReader, missing, "WD9"),
        "NUL in path": lambda: expect(OSError, EventReader, "a\0b", "WD1"),
        "lone surrogate": lambda: expect(UnicodeEncodeError, EventReader, "\ud800", "WD1"),
        "no arguments": lambda: expect(TypeError, EventReader),
        "too many arguments": lambda: expect(TypeError, EventReader, wd1_good, "WD1", "x"),
        "unknown keyword": lambda: expect(TypeError, EventReader, wd1_good, "WD1", mode="r"),
        "duplicate argument": lambda: expect(TypeError, EventReader, wd1_good, path=wd1_good),
        "bytes path": lambda: expect(TypeError, EventReader, wd1_good.encode(), "WD1"),
        "int reader type": lambda: expect(TypeError, EventReader, wd1_good, 1),
        "keywords and str subclass": lambda: drain(EventReader(
            reader_type=type("S", (str,), {})("WD1"), path=type("P", (str,), {})(wd1_good))),
        "events outlive reader": events_outlive_reader,
        "abandoned mid-iteration": abandoned_mid_iteration,
        "exhausted twice": exhausted_twice,
        **({"wd2 read error in an event, completed": wd2_read_error(complete=True),
            "wd2 read error in an event, abandoned": wd2_read_error(complete=False)}
           if fault_library_loaded() else {}),
    }


def watched_refcounts(files: Files):
    """Objects whose reference counts must not drift across a scenario."""
    probe = files.write("probe.wd1", wd1([1, 2]))
    holder_type = type(next(iter(EventReader(probe, "WD1")))["data"].base)
    gc.collect()
    return {"EventReader type": EventReader, "array owner type": holder_type}


def main() -> int:
    if not fault_library_loaded():
        print("leakcheck: no fault library preloaded, read-error scenarios skipped")
        if os.environ.get("VORN_REQUIRE_FAULTS") == "1":
            return 1
    with tempfile.TemporaryDirectory() as tmp:
        files = Files(Path(tmp))
        arguments, cases = scenarios(files)
        watched = {**watched_refcounts(files), **arguments}
        for name, run in cases.items():
            try:
                run()  # the first round fills the interpreter's caches
                gc.collect()
                before = {k: sys.getrefcount(v) for k, v in watched.items()}
                for _ in range(ROUNDS):
                    run()
            except Exception:
                print(f"leakcheck: FAILED, {name}:")
                raise
            gc.collect()
            after = {k: sys.getrefcount(v) for k, v in watched.items()}
            drifted = {k: (before[k], after[k]) for k in before if before[k] != after[k]}
            if drifted:
                print(f"leakcheck: FAILED, {name}: reference counts drifted {drifted}")
                return 1
        print(f"leakcheck: {len(cases)} scenarios x {ROUNDS + 1} rounds, "
              f"no reference drift")
    return 0


if __name__ == "__main__":
    status = main()
    sys.stdout.flush()
    sys.stderr.flush()
    # Skip interpreter finalisation: CPython frees only part of its own state
    # at exit, which leaves its objects "definitely lost" at random allocation
    # sites. Without it, what is alive stays reachable, and what is definitely
    # lost was lost while the scenarios ran.
    os._exit(status)
