import math
import struct

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from eventfiles import ref_wd1, ref_wd2, wd1_event, wd2_event
from vorn import EventReader

SETTINGS = settings(max_examples=50, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])
i32 = st.integers(-2**31, 2**31 - 1)
u32 = st.integers(0, 2**32 - 1)
u64 = st.integers(0, 2**64 - 1)


def bulk(draw, count, high):
    """`count` random values below `high`, for payloads too long to draw one by
    one: they cross the stream's 8 KiB buffer."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32)))
    return rng.integers(0, high, count, dtype=np.uint64).tolist()


@st.composite
def wd1_files(draw):
    events = []
    for _ in range(draw(st.integers(0, 8))):
        if draw(st.integers(0, 5)) == 0:
            samples = bulk(draw, draw(st.integers(4000, 40000)), 0x10000)
        else:
            samples = draw(st.lists(st.integers(0, 0xFFFF), max_size=40))
        pad = draw(st.sampled_from([b"", b"\x00", b"\xff"]))
        words = draw(st.lists(i32, min_size=5, max_size=5))
        events.append((24 + 2 * len(samples) + len(pad), *words, samples, pad))
    raw = b"".join(wd1_event(e[0], *e[1:6], samples=e[6]) + e[7] for e in events)
    tail = draw(st.binary(max_size=23))
    return raw + tail, [list(e[:7]) for e in events]


@st.composite
def wd2_files(draw):
    word = draw(st.booleans())
    k = draw(st.integers(1, 4)) if word else 1
    counter, samples, period = draw(u32), draw(st.integers(0 if word else 1, 6)), draw(u64)
    events = []
    for i in range(draw(st.integers(2, 6))):
        if i >= 2:
            counter, samples, period = draw(u32), draw(st.integers(0, 6)), draw(u64)
        elif i == 1 and word:
            counter = (counter + 1) % 2**32
        elif i == 1:
            counter = draw(u32)
        channels = draw(i32) if word and i >= 2 else k
        if i >= 2 and draw(st.integers(0, 4)) == 0:
            samples = draw(st.integers(2000, 20000))
            data = bulk(draw, samples * k, 2**32)
        else:
            data = draw(st.lists(u32, min_size=samples * k, max_size=samples * k))
        if i == 0 and not word:
            # Read as a channel count, this first sample must not fit the file,
            # so detection settles on one channel without the word.
            data[0] = draw(st.integers(0x3F800000, 2**32 - 1))
        events.append([counter, draw(u64), samples, period, channels, data])
    raw = b"".join(wd2_event(c, t, s, p, struct.pack(f"<{len(d)}I", *d), ch if word else None)
                   for c, t, s, p, ch, d in events)
    return raw + draw(st.binary(max_size=27)), k, word, events


def wd1_rows(reader):
    return [[e[key] for key in ("event_size", "board_id", "pattern", "board_channel",
                                "event_counter", "timestamp")] + [e["data"].tolist()]
            for e in reader]


def wd2_rows(reader):
    return [[e[key] for key in ("event_counter", "timestamp", "samples",
                                "sampling_period", "channels")]
            + [e["data"].view(np.uint32).tolist()] for e in reader]


class TestRoundTrip:
    @SETTINGS
    @given(wd1_files())
    def test_wd1(self, tmp_path, generated):
        raw, expected = generated
        path = tmp_path / "p.wd1"
        path.write_bytes(raw)
        assert wd1_rows(EventReader(str(path), "WD1")) == ref_wd1(raw) == expected

    @SETTINGS
    @given(wd2_files())
    def test_wd2(self, tmp_path, generated):
        raw, k, word, expected = generated
        path = tmp_path / "p.wd2"
        path.write_bytes(raw)
        reference = ref_wd2(raw, k, word)
        # A random tail may itself hold a whole event: the reference sees it too.
        assert wd2_rows(EventReader(str(path), "WD2")) == reference
        assert reference[:len(expected)] == expected


# Chunk sizes from 1 byte to 64 KiB, spread evenly on a log scale so that
# single bytes and whole buffers both come up.
chunk_sizes = st.lists(st.floats(0, math.log(65536)).map(lambda x: int(math.exp(x))),
                       min_size=1, max_size=64)


def follow(path, raw, reader_type, rows, sizes, open_at=0, opener=EventReader):
    """Appends `raw` to `path` in chunks of `sizes` (cycled), reading to the
    current end after every chunk, as a follower of a file that is still being
    written does. The reader is opened once `open_at` bytes are there."""
    got, reader, written = [], None, 0
    with open(path, "wb", buffering=0) as f:
        for size in (sizes[i % len(sizes)] for i in range(len(raw) + 1)):
            f.write(raw[written:written + size])
            written = min(len(raw), written + size)
            if reader is None and written >= open_at:
                reader = opener(path, reader_type)
            got += rows(reader) if reader is not None else []
            if written == len(raw):
                return got + rows(reader)


class TestFollowing:
    """Reading a file while it grows, whatever its writer flushes, yields what
    reading it whole yields."""

    @SETTINGS
    @given(wd1_files(), chunk_sizes)
    def test_wd1(self, tmp_path, generated, sizes):
        raw, _ = generated
        path = str(tmp_path / "f.wd1")
        assert follow(path, raw, "WD1", wd1_rows, sizes) == ref_wd1(raw)

    @SETTINGS
    @given(wd2_files(), chunk_sizes)
    def test_wd2(self, tmp_path, generated, sizes):
        raw, k, word, _ = generated
        path = str(tmp_path / "f.wd2")
        # Opened once the first event and the next header are there, so that
        # the layout is found as in the whole file.
        head = 28 if word else 24
        samples = struct.unpack_from("<I", raw, 12)[0]
        first_event = head + 4 * samples * k
        assert (follow(path, raw, "WD2", wd2_rows, sizes, open_at=first_event + head)
                == ref_wd2(raw, k, word))
