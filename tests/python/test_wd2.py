import struct

import numpy as np
import pytest

from conftest import LIMITED, append, f32_bits, run_python, wd2_event
from eventfiles import ref_wd2
from vorn import EventReader

KEYS = ["event_counter", "timestamp", "samples", "sampling_period", "channels"]


def read(r):
    if isinstance(r, str):
        r = EventReader(r, "WD2")
    return [[e[k] for k in KEYS] + [e["data"].tolist()] for e in r]


def event(counter, samples, data, channels=None, period=8):
    return wd2_event(counter, 100, samples, period, data, channels)


def refused(content, write):
    with pytest.raises(OSError) as exc:
        EventReader(write(content), "WD2")
    assert type(exc.value) is OSError
    return exc.value.args


class TestLayouts:
    @pytest.mark.parametrize("k", [2, 3])
    def test_multi_channel_payload_follows_the_first_word(self, write, k):
        words = [k, k, 5, -1, 0, 1]
        data = [[i + j / 8 for j in range(2 * k)] for i in range(len(words))]
        content = b"".join(event(i, 2, data[i], w) for i, w in enumerate(words))
        assert read(write(content)) == [[i, 100, 2, 8, w, data[i]] for i, w in enumerate(words)]

    @pytest.mark.parametrize("word", [1, 0])
    def test_consistent_small_word_is_still_read(self, write, word):
        data = [[1.5, 2.5], [3.5, 4.5], [5.5, 6.5]]
        content = b"".join(event(i, 2, d * word, word) for i, d in enumerate(data))
        assert read(write(content)) == [[i, 100, 2, 8, word, d * word] for i, d in enumerate(data)]

    @pytest.mark.parametrize("first", [0.0, 3708.6, -2.5, -0.0, 1.0, float("nan")])
    @pytest.mark.parametrize("counters", [(0, 1, 2), (5, 9, 100)])
    def test_without_word(self, write, first, counters):
        data = [[first, 1.25, 2.5, 3.75], [4.0, 5.0, 6.0, 7.0], [-1.0, 0.5, 8.0, 9.0]]
        result = read(write(b"".join(event(c, 4, d) for c, d in zip(counters, data))))
        assert [r[:5] for r in result] == [[c, 100, 4, 8, 1] for c in counters]
        assert [f32_bits(r[5]) for r in result] == [f32_bits(d) for d in data]

    # A second header that differs from the first in one field only means
    # the file has no channels word; the reference reader says what that
    # reading gives.
    @pytest.mark.parametrize("field", [None, "counter", "samples", "period", "channels"])
    def test_detection_compares_each_field(self, write, field):
        second = {"counter": 6, "samples": 2, "period": 8, "channels": 2}
        if field is not None:
            second[field] += 1
        raw = (wd2_event(5, 100, 2, 8, [1.0, 2.0, 3.0, 4.0], 2)
               + wd2_event(second["counter"], 100, second["samples"], second["period"],
                           [0.5] * 2 * second["samples"], second["channels"]))
        rows = [[e[k] for k in KEYS] + [e["data"].view(np.uint32).tolist()]
                for e in EventReader(write(raw), "WD2")]
        assert rows == (ref_wd2(raw, 2, True) if field is None else ref_wd2(raw, 1, False))
        assert len(rows) == 2

    def test_counter_wraps_around(self, write):
        content = event(2**32 - 1, 1, [1.0, 2.0], 2) + event(0, 1, [3.0, 4.0], 2)
        assert read(write(content)) == [[2**32 - 1, 100, 1, 8, 2, [1.0, 2.0]],
                                        [0, 100, 1, 8, 2, [3.0, 4.0]]]

    @pytest.mark.parametrize("timestamp, period", [(2**64 - 1, 2**63), (2**63 + 5, 2**64 - 2)])
    def test_unsigned_words_above_2_63(self, write, timestamp, period):
        content = b"".join(wd2_event(c, timestamp, 1, period, [0.5, 1.5], 2)
                           for c in (2**32 - 2, 2**32 - 1))
        assert [r[:4] for r in read(write(content))] == [
            [2**32 - 2, timestamp, 1, period], [2**32 - 1, timestamp, 1, period]]

    def test_first_event_comes_first_after_detection(self, write):
        # Big enough that detection refills the buffer before rewinding.
        data = [float(i) for i in range(6000)]
        r = EventReader(write(event(7, 3000, data, 2) + event(8, 3000, data[::-1], 2)), "WD2")
        ev = next(r)
        assert list(ev) == KEYS + ["data"]
        assert (ev["event_counter"], ev["data"].tolist()) == (7, data)
        assert next(r)["data"].tolist() == data[::-1]

    @pytest.mark.parametrize("channels", [None, 2])
    def test_payload_bits_are_kept(self, write, channels):
        bits = [0x7FC00001, 0xFFBFFFFF, 0x7F800001, 0x80000000, 1, 0x7F800000, 0xFF800000,
                0xFFFFFFFF]
        payload = struct.pack("<8I", *bits)
        content = b"".join(wd2_event(c, 0, 8 // (channels or 1), 1, payload, channels)
                           for c in range(2))
        assert [e["data"].view(np.uint32).tolist()
                for e in EventReader(write(content), "WD2")] == [bits, bits]


class TestEndOfData:
    @pytest.mark.parametrize("cut", [1, 24, 28, 35, 43])
    def test_last_event_cut_short(self, write, cut):
        full = b"".join(event(i, 2, [float(i)] * 4, 2) for i in range(3))
        assert [r[0] for r in read(write(full[:88 + cut]))] == [0, 1]

    @pytest.mark.parametrize("channels", [None, 2])
    def test_growth_after_end_of_data(self, write, channels):
        k = channels or 1
        path = write(b"".join(event(i, 1, [i * 1.5] * k, channels) for i in range(2)))
        r = EventReader(path, "WD2")
        assert [e["event_counter"] for e in r] == [0, 1]
        append(path, event(2, 1, [9.0] * k, channels) + event(3, 1, [1.0] * k, channels))
        assert [(e[0], e[5]) for e in read(r)] == [(2, [9.0] * k), (3, [1.0] * k)]
        assert read(r) == []

    @pytest.mark.parametrize("content", [
        b"", bytes(10), bytes(27), event(0, 2, [1.0] * 4, 2), event(0, 2, [1.0, 2.0], 1),
        event(0, 4, [0.0, 1.0, 2.0, 3.0]), event(0, 2, [3708.6, 1.0]),
        event(0, 2, [3708.6, 1.0]) + event(1, 3, [1.0, 2.0, 3.0]),
        event(0, 2, [3708.6, 1.0]) + event(1, 2, [1.0, 2.0], period=9),
    ])
    def test_too_short_to_detect(self, write, content):
        assert refused(content, write) == ("failed to fill whole buffer",)

    def test_directory(self, tmp_path):
        assert refused(None, lambda _: str(tmp_path)) == ("Is a directory (os error 21)",)


class TestInvalidLengths:
    NEG = struct.unpack("<i", struct.pack("<f", -2.5))[0]

    # Without a word, a negative first sample reads as a negative count; when
    # the one-channel reading does not fit either, that count is the error.
    @pytest.mark.parametrize("content, channels", [
        (b"".join(event(i, 2, [1.0, 2.0], -1) for i in range(3)), -1),
        (b"".join(event(i, 2, [1.0, 2.0], -2**31) for i in range(3)), -2**31),
        (event(0, 2, [-2.5, 1.0]), NEG),
        (event(0, 2, [-2.5, 1.0]) + event(1, 2, [1.0, 2.0], period=9), NEG),
    ])
    def test_negative_count_at_construction(self, write, content, channels):
        assert refused(content, write) == (
            f"invalid WD2 payload length at offset 0: samples 2 times channels {channels}",)

    # Empty events settle K; a later count is negative, or 2^32 - 1 times
    # 2^31 - 1 values whose byte count does not fit in 64 bits.
    @pytest.mark.parametrize("k, samples", [(-1, 3), (2**31 - 1, 2**32 - 1)])
    def test_impossible_length_in_later_event(self, write, k, samples):
        r = EventReader(write(event(0, 0, [], k) + event(1, 0, [], k)
                              + event(2, samples, [], k) + event(3, 0, [], k)), "WD2")
        assert [(e["channels"], e["data"].tolist()) for e in (next(r), next(r))] == [
            (k, []), (k, [])]
        with pytest.raises(OSError) as exc:
            next(r)
        assert type(exc.value) is OSError
        assert exc.value.args == (
            f"invalid WD2 payload length at offset 56: samples {samples} times channels {k}",)
        # Header and word stay consumed; the reader goes on after them.
        assert read(r) == [[3, 100, 0, 8, k, []]]

    def test_claimed_payload_is_not_allocated_up_front(self, write):
        content = (event(0, 1, [1.0, 2.0], 2) + event(1, 1, [3.0, 4.0], 2)
                   + event(2, 2**32 - 1, [5.0] * 100, 2))
        assert run_python(LIMITED, write(content), "WD2").split() == ["[1]"]
