import struct

import pytest

from conftest import LIMITED, append, run_python, wd1_event
from vorn import EventReader

KEYS = ["event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp"]
I32_MIN, I32_MAX = -2**31, 2**31 - 1


def read(r):
    if isinstance(r, str):
        r = EventReader(r, "WD1")
    return [(e["event_counter"], e["data"].tolist()) for e in r]


class TestDecoding:
    @pytest.mark.parametrize("words", [(1, 2, 3, 4, 5), (-1, I32_MIN, I32_MAX, -2, -1),
                                       (0x7F00FF01, -0x10000, 0, I32_MIN, I32_MAX)])
    def test_header_words(self, write, words):
        ev = next(EventReader(write(wd1_event(None, *words, samples=(9,))), "WD1"))
        assert list(ev) == KEYS + ["data"]
        assert [(type(ev[k]), ev[k]) for k in KEYS] == [(int, v) for v in (26, *words)]

    @pytest.mark.parametrize("samples", [
        (0xFFFF,), (0, 1, 0x7FFF, 0x8000, 0xFFFE, 0xFFFF, 0x0100, 0x00FF),
        tuple(range(0, 0x10000, 7)),  # larger than the stream's buffer
    ])
    def test_samples_bit_exact(self, write, samples):
        path = write(wd1_event(samples=samples) + wd1_event(event_counter=1, samples=(3,)))
        assert read(path) == [(0, list(samples)), (1, [3])]

    # An event spans event_size bytes, pad byte included; sizes just below
    # the header still take the header.
    @pytest.mark.parametrize("event_size, tail, samples", [
        (23, b"", []), (24, b"", []), (25, b"\xaa", []), (26, b"\x01\x02", [0x0201]),
        (27, b"\x01\x02\xaa", [0x0201]), (40, struct.pack("<8H", *range(8)), list(range(8))),
        (41, struct.pack("<8H", *range(8)) + b"\xaa", list(range(8))),
        (24 + 20001, bytes(20000) + b"\xaa", [0] * 10000),
    ])
    def test_event_size(self, write, event_size, tail, samples):
        path = write(wd1_event(event_size, event_counter=1) + tail
                     + wd1_event(event_counter=2, samples=(0xBEEF,)))
        assert [(e["event_size"], e["event_counter"], e["data"].tolist())
                for e in EventReader(path, "WD1")] == [(event_size, 1, samples), (26, 2, [0xBEEF])]


class TestEndOfData:
    A = wd1_event(event_counter=1, samples=(1, 2))
    B = wd1_event(31, event_counter=2, samples=(5, 6, 7)) + b"\xaa"

    @pytest.mark.parametrize("cut", [0, 1, 4, 12, 23, 24, 25, 29, 30, 31])
    def test_truncated_event_is_not_returned(self, write, cut):
        r = EventReader(write(self.A + self.B[:cut]), "WD1")
        assert read(r) == [(1, [1, 2])] + ([(2, [5, 6, 7])] if cut == 31 else [])
        assert [next(r, None), next(r, None)] == [None, None]

    def test_empty_file(self, write):
        assert read(write(b"")) == []

    def test_appended_events_are_read_by_a_new_loop(self, write):
        path = write(wd1_event(event_counter=1))
        r = EventReader(path, "WD1")
        assert read(r) == [(1, [])]
        append(path, wd1_event(event_counter=2, samples=(4,)) + wd1_event(event_counter=3))
        assert read(r) == [(2, [4]), (3, [])]
        assert read(r) == []


class TestBadInput:
    @pytest.mark.parametrize("size", [22, 1, 0, -1, -24, I32_MIN + 24])
    @pytest.mark.parametrize("before", [b"", wd1_event(event_counter=1, samples=(1,))])
    def test_size_below_header_raises_then_ends(self, write, size, before):
        path = write(before + wd1_event(size, samples=(1, 2, 3, 4)) + wd1_event(event_counter=3))
        r = EventReader(path, "WD1")
        if before:
            assert next(r)["event_counter"] == 1
        with pytest.raises(OSError) as exc:
            next(r)
        assert type(exc.value) is OSError
        assert exc.value.args == (f"invalid WD1 event_size {size} at offset {len(before)}: "
                                  "smaller than the 24-byte header",)
        append(path, wd1_event(event_counter=4))
        assert read(r) == []

    @pytest.mark.parametrize("size", [I32_MIN, I32_MIN + 23, I32_MAX, 2000])
    def test_payload_beyond_the_file_ends_quietly(self, write, size):
        assert read(write(wd1_event(event_counter=1) + wd1_event(size) + bytes(1000))) == [(1, [])]

    # Also when the file shrinks below what was read: the reader may not
    # trust a size smaller than its own position.
    @pytest.mark.parametrize("cut_to", [[], ["0"], ["30"]])
    def test_claimed_payload_is_not_allocated_up_front(self, write, cut_to):
        path = write(wd1_event(event_counter=1) + b"\x00\x00\x00\x80" + bytes(1020))
        assert run_python(LIMITED, path, "WD1", *cut_to).split() == ["[]"]

    def test_directory_raises_once_then_ends(self, tmp_path):
        r = EventReader(str(tmp_path), "WD1")
        with pytest.raises(IsADirectoryError) as exc:
            next(r)
        assert (exc.value.args, exc.value.errno) == (("Is a directory (os error 21)",), None)
        assert [next(r, None), next(r, None)] == [None, None]

