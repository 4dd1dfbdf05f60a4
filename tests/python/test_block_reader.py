"""vorn_tools._blocks.BlockReader against EventReader: the same events, the
same bits, the same errors, however the blocks are cut."""
import struct

import numpy as np
import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from eventfiles import ref_wd1, ref_wd2, wd1_event, wd2_event
from test_property import SETTINGS, chunk_sizes, follow, wd1_files, wd2_files
from vorn import EventReader
from vorn_tools._blocks import BlockReader
from vorn_tools.formats import COLUMNS, SAMPLE_DTYPES

seeds = st.integers(0, 2**32 - 1)


def drain(reader, kind, rng, head):
    """Every event the reader has up to the end of the data, as rows like the
    reference readers', taken by read and read_flat in blocks of random
    sizes at random rows. Checks `position` after every call."""
    columns, dtype = COLUMNS[kind], SAMPLE_DTYPES[kind]
    rows, base = [], reader.position
    while (width := reader.peek()) is not None:
        assert reader.pending_length == width
        count, start = int(rng.integers(1, 6)), int(rng.integers(0, 3))
        stop = start + count
        headers = {key: np.zeros(stop + 1, dt) for key, dt in columns}
        if rng.random() < 0.2:  # a block of another width leaves the event pending
            assert reader.read(headers, np.zeros((stop, width + 1), dtype), start, stop) == 0
            assert reader.pending_length == width
        if rng.random() < 0.5:
            data = np.zeros((stop, width), dtype)
            got = reader.read(headers, data, start, stop)
            samples = list(data[start:start + got])
        else:
            flat = np.zeros(int(rng.integers(width, 3 * width + 3)), dtype)
            lengths = np.zeros(stop, np.int64)
            flat_start = int(rng.integers(0, flat.size - width + 1))
            got, used = reader.read_flat(headers, flat, lengths, start, stop, flat_start)
            assert used == lengths[start:start + got].sum()
            ends = np.cumsum(lengths[start:start + got])
            samples = np.split(flat[flat_start:flat_start + used], ends[:-1])
        assert got >= 1  # the event peeked always fits
        for i in range(got):
            values = samples[i].view(np.uint32) if kind == "WD2" else samples[i]
            rows.append([int(headers[key][start + i]) for key, _ in columns] + [values.tolist()])
        event_bytes = sum(r[0] if kind == "WD1" else head + 4 * len(r[-1]) for r in rows)
        assert reader.position == base + event_bytes
    return rows


def follow_blocks(path, raw, kind, sizes, seed, head, open_at=0):
    """Appends `raw` in chunks of `sizes` (cycled), draining after each."""
    rng = np.random.default_rng(seed)
    return follow(path, raw, kind, lambda reader: drain(reader, kind, rng, head), sizes, open_at, BlockReader)


class TestSameEvents:
    """Read in blocks, whole or while the file grows, a file gives what
    EventReader gives; `position` counts exactly the bytes handed over."""

    @SETTINGS
    @given(wd1_files(), seeds, st.one_of(st.none(), chunk_sizes))
    @example(generated=(wd1_event(samples=[1, 2, 3]) + wd1_event(samples=b"\x01\x02\x03")
                        + wd1_event() + wd1_event(samples=[7]), []), seed=0, sizes=None)
    def test_wd1(self, tmp_path, generated, seed, sizes):
        raw, _ = generated
        path = tmp_path / "f.wd1"
        if sizes is None:
            path.write_bytes(raw)
            rows = drain(BlockReader(str(path), "WD1"), "WD1", np.random.default_rng(seed), 24)
        else:
            rows = follow_blocks(str(path), raw, "WD1", sizes, seed, 24)
        assert rows == ref_wd1(raw)

    @SETTINGS
    @given(wd2_files(), seeds, st.one_of(st.none(), chunk_sizes))
    def test_wd2(self, tmp_path, generated, seed, sizes):
        raw, k, word, _ = generated
        path = tmp_path / "f.wd2"
        head = 28 if word else 24
        if sizes is None:
            path.write_bytes(raw)
            reader = BlockReader(str(path), "WD2")
            assert (reader.channels, reader.channel_word) == (k, word)
            rows = drain(reader, "WD2", np.random.default_rng(seed), head)
        else:
            # Opened once the first event and the next header are there, as
            # TestFollowing does, so that the layout is that of the whole file.
            first_event = head + 4 * struct.unpack_from("<I", raw, 12)[0] * k
            rows = follow_blocks(str(path), raw, "WD2", sizes, seed, head, open_at=first_event + head)
        assert rows == ref_wd2(raw, k, word)


def event_reader_outcome(path, kind):
    """How many events EventReader yields, then what it raises, if anything."""
    count = 0
    try:
        for _ in EventReader(path, kind):
            count += 1
    except Exception as error:
        return count, (type(error), str(error))
    return count, None


def block_reader_outcome(path, kind):
    """The same from two reads of 8 events of 2 samples: the first returns
    the events before a failure, the second raises it."""
    headers = {key: np.zeros(8, dt) for key, dt in COLUMNS[kind]}
    data = np.zeros((8, 2), SAMPLE_DTYPES[kind])
    count, reader = 0, None
    try:
        reader = BlockReader(path, kind)
        count = reader.read(headers, data, 0, 8)
        assert reader.read(headers, data, 0, 8) == 0
    except OSError as error:
        if reader is not None:  # raised once, as EventReader raises it once
            assert reader.read(headers, data, 0, 8) == 0
        return count, (type(error), str(error))
    return count, None


good = wd1_event(samples=[1, 2]) * 2


@pytest.mark.parametrize("raw, kind", [
    (good + wd1_event(event_size=10), "WD1"),
    (wd1_event(event_size=-5) + good, "WD1"),
    (good + wd1_event(event_size=2**31 - 1), "WD1"),  # runs into the end of the data
    (None, "WD1"),
    (b"\0" * 30, "WD2"),
])
def test_errors_are_event_readers(tmp_path, raw, kind):
    path = tmp_path / "f"
    if raw is not None:
        path.write_bytes(raw)
    assert block_reader_outcome(str(path), kind) == event_reader_outcome(str(path), kind)
