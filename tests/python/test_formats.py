"""What the command works out about a file before and beside EventReader: which
format it is (also while it is still being written), the WD2 layout, the hint
for float samples in WD1 files and the per-channel statistics of `info`."""

import functools
import os
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from eventfiles import wd1_event, wd2_event
from vorn import EventReader
from vorn_tools import blocks, formats
from vorn_tools import file_info as info

SETTINGS = settings(max_examples=40, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])
i32 = st.integers(-2**31, 2**31 - 1)
u32 = st.integers(0, 2**32 - 1)
# Counters that start anywhere: low ones, as in a run that just began, and just
# before the wrap at 2**32 included.
counters = st.one_of(u32, st.integers(0, 1000), st.just(2**32 - 1))
def float_bits(**kwargs):
    return st.floats(width=32, **kwargs).map(lambda x: struct.unpack("<I", struct.pack("<f", x))[0])


@st.composite
def wd1_files(draw):
    """A WD1 file as a digitizer writes it: one board, counters going up, events of
    any length, odd ones padded, empty ones included."""
    board, pattern = draw(i32), draw(i32)
    counter, timestamp = draw(i32), draw(st.integers(0, 2**31 - 1))
    raw = b""
    for _ in range(draw(st.integers(1, 6))):
        samples = draw(st.lists(st.integers(0, 0xFFFF), max_size=40))
        pad = draw(st.sampled_from([b"", b"\x00"]))
        raw += wd1_event(24 + 2 * len(samples) + len(pad), board, pattern, draw(st.integers(0, 7)),
                         counter, timestamp, samples) + pad
        counter = (counter + 1 + 2**31) % 2**32 - 2**31
        timestamp = (timestamp + draw(st.integers(0, 10**6))) % 2**31
    return raw


@st.composite
def wd2_files(draw, min_channels=1, vary=None, odd_words=True, finite=False):
    """A WD2 file of K channels, with or without the channels word, and K.

    Without the word K is 1 and the first event has samples: read as a channel
    count its first sample must not fit the file, as a float of magnitude 1 or
    more or a negative one does, or the layout is not the one written. With
    `vary`, samples per channel changes from event to event; with `odd_words`
    later events may carry a channels word other than K. `finite` keeps to
    floats whose sums stay exact enough to compare, else any bits come up.
    """
    word = draw(st.booleans()) if min_channels == 1 else True
    k = draw(st.integers(min_channels, 4)) if word else 1
    counter, timestamp, period = draw(counters), draw(st.integers(0, 2**40)), draw(st.integers(1, 2**40))
    samples = draw(st.integers(0 if word else 1, 6))
    vary = draw(st.booleans()) if vary is None else vary
    raw, events = b"", []
    for i in range(draw(st.integers(2, 6))):
        if i >= 2 and vary:
            samples = draw(st.integers(0, 6))
        values = float_bits(min_value=-1e6, max_value=1e6) if finite else st.one_of(float_bits(), u32)
        bits = draw(st.lists(values, min_size=samples * k, max_size=samples * k))
        if i == 0 and not word:
            bits[0] = draw(st.one_of(st.integers(0x3F800000, 0x7F7FFFFF), st.integers(0x80000000, 2**32 - 1)))
        channels = k if i < 2 or not odd_words or draw(st.integers(0, 3)) else draw(i32)
        data = struct.pack(f"<{len(bits)}I", *bits)
        raw += wd2_event(counter, timestamp, samples, period, data, channels if word else None)
        events.append((samples, data))
        counter = (counter + 1) % 2**32
        timestamp += draw(st.integers(0, 10**6))
    return raw, k, word, events


class TestGuessOnPrefixes:
    """A file that is still being written is any prefix of a whole one: `auto`
    may wait for more bytes, but must never settle on the other format."""

    @staticmethod
    def check(path, raw, own):
        path.write_bytes(raw)
        wrong = []
        for n in range(len(raw), -1, -1):
            os.truncate(path, n)
            if formats.guess_type(str(path)) not in (own, None):
                wrong.append(n)
        assert not wrong, f"prefixes of {len(raw)} bytes read as the other format: {wrong}"

    @SETTINGS
    @given(wd1_files())
    def test_wd1_prefixes_are_never_wd2(self, tmp_path, raw):
        self.check(tmp_path / "f.bin", raw, "WD1")

    @SETTINGS
    @given(wd2_files(vary=False, odd_words=False))
    def test_wd2_prefixes_are_never_wd1(self, tmp_path, generated):
        self.check(tmp_path / "f.bin", generated[0], "WD2")


@pytest.mark.parametrize("board_channel", [0, 25], ids=["plain", "first event also one-channel WD2"])
def test_a_growing_wd1_file_is_wd1_from_its_second_event(tmp_path, board_channel):
    # board_channel 25 read as WD2 samples sizes a payload of 100 bytes: the
    # first event alone is a whole one-channel WD2 event without the word.
    events = [wd1_event(board_channel=board_channel, event_counter=i, timestamp=100 * i,
                        samples=[3000 + (7 * i + j) % 64 for j in range(50)]) for i in range(3)]
    raw, size = b"".join(events), len(events[0])
    path = tmp_path / "f.bin"
    found = {}
    for n in range(1, len(raw) + 1):  # every size the file has while it is written, one whole and a cut event too
        path.write_bytes(raw[:n])
        try:
            found[n] = formats.detect_type(str(path))
        except formats.Unclassified as error:
            assert not error.final, f"{n} bytes: refused for good: {error}"  # a follower must wait
            found[n] = None
    assert set(found.values()) <= {"WD1", None}
    assert all(found[n] == "WD1" for n in range(2 * size, len(raw) + 1))
    # Read as WD1, the short file is one event and a trailing cut one, no failure.
    path.write_bytes(raw[:size + 30])
    read = blocks.EventBlocks(str(path), formats.Layout("WD1"))
    assert sum(block.events for block in read) == 1
    assert (read.ending.kind, read.ending.cut_offset, read.ending.declared, read.ending.failed) == \
        ("cut", size, size, False)


@SETTINGS
@given(wd2_files(), st.data())
def test_wd2_layout_sizes_the_events_the_reader_reads(tmp_path, generated, data):
    """The command's copy of the layout detection sizes events as EventReader
    does: the offsets it reports (bytes read, where a cut event starts) add up."""
    raw, k, word, _ = generated
    path = tmp_path / "f.wd2"
    # The start of one more event, as a writer leaves it between two flushes.
    path.write_bytes(raw + data.draw(st.binary(max_size=27)))
    layout = formats.open_layout(str(path), "WD2")
    assert (layout.channels, layout.channel_word) == (k, word)
    events = list(EventReader(str(path), "WD2"))
    assert [e["data"].size for e in events] == [layout.channels * e["samples"] for e in events]
    assert sum(layout.header_size + 4 * e["data"].size for e in events) == len(raw)


def float_halves(rng, events, pairs, sign):
    """WD1 samples that are float32 waveforms of one sign: a baseline with noise and pulses."""
    baseline = 10 ** rng.uniform(-3, 3)
    waves = baseline * (1 + rng.uniform(0.005, 0.05) * rng.standard_normal((events, pairs)))
    for row in waves:
        start, width = rng.integers(0, pairs), rng.integers(1, 20)
        row[start:start + width] += baseline * rng.uniform(0, 10)
    return (sign * waves).astype("<f4").view("<u2")


def adc_counts(rng, events, samples, bits, widths, glitch):
    """ADC counts: a baseline with noise, pulses of either polarity and of the
    given widths in every event, and a glitch (a single sample: where, how
    high), clipped at the converter's range."""
    top = 2**bits - 1
    waves = rng.uniform(0, top) + rng.uniform(0.5, 50) * rng.standard_normal((events, samples))
    for row in waves:
        for width in widths:
            start = rng.integers(0, samples)
            row[start:start + width] += rng.choice([-1, 1]) * rng.uniform(0, 1.5) * top
    waves.flat[glitch[0] % waves.size] += glitch[1] * top
    return np.clip(np.rint(waves), 0, top).astype("<u2")


class TestFloatHint:
    @SETTINGS
    @given(st.integers(0, 2**32), st.integers(1, 8), st.integers(32, 512), st.sampled_from([1, -1]))
    def test_fires_on_float_halves(self, seed, events, pairs, sign):
        samples = float_halves(np.random.default_rng(seed), events, pairs, sign)
        assert samples.shape == (events, 2 * pairs)
        assert formats.look_like_float_halves(samples)

    # More examples: a glitch that fools the hint needs a 15- or 16-bit range
    # and an even sample, and rarely comes up.
    @settings(SETTINGS, max_examples=200)
    @given(st.integers(0, 2**32), st.integers(1, 8), st.integers(32, 512), st.integers(12, 16),
           st.lists(st.integers(1, 30), max_size=2), st.tuples(st.integers(0, 2**13), st.floats(-1.5, 1.5)))
    def test_never_fires_on_adc_counts(self, seed, events, pairs, bits, widths, glitch):
        samples = adc_counts(np.random.default_rng(seed), events, 2 * pairs, bits, widths, glitch)
        assert not formats.look_like_float_halves(samples)


@SETTINGS
@given(st.data(), st.booleans())
def test_info_statistics_are_per_channel(tmp_path, monkeypatch, data, vary):
    """Per-channel count, min, max and mean as NumPy gives them for channel c's
    block of every event; blocks of a few events, so that sums run across blocks."""
    raw, k, _, events = data.draw(wd2_files(min_channels=2, vary=vary, finite=True))
    monkeypatch.setattr(info, "EventBlocks", functools.partial(blocks.EventBlocks, block_bytes=64))
    path = tmp_path / "f.wd2"
    path.write_bytes(raw)
    found = info.scan(str(path), formats.open_layout(str(path), "WD2"), False).as_dict()["samples"]
    per_channel = [np.concatenate([np.frombuffer(d, "<f4").reshape(k, s)[c] for s, d in events])
                   for c in range(k)]
    expected = [{"channel": c, "samples": v.size, "min": float(v.min()), "max": float(v.max()),
                 "mean": pytest.approx(v.mean(dtype=np.float64), rel=1e-9, abs=1e-6)}
                for c, v in enumerate(per_channel) if v.size]
    assert found == expected
