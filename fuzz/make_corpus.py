"""Writes the seed corpus of the fuzz targets into fuzz/corpus/{wd1,wd2,features,pulses}/.

A reader's seed is two control bytes followed by the file (see the comment at
the top of the fuzz targets): byte 0 places the cut between what is there at the
start and what is appended later, byte 1 picks how read(2) behaves. Files
already in the corpus that this script did not write (inputs the fuzzer
found) are left alone.

    python3 fuzz/make_corpus.py
"""

from __future__ import annotations

import struct
from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"

WHOLE = 255  # everything there from the start, nothing appended
PLAIN, SHORT_READS, EINTR, EIO = 0, 1, 2, 3
NOT_REGULAR = 4  # fstat says FIFO: the stream cannot learn the file's size


def eio_on_call(n: int) -> int:
    return EIO | ((n - 1) << 3)


# --- WD1 ----------------------------------------------------------------


def wd1_event(samples: list[int] | bytes, *, size: int | None = None, board: int = 1,
              pattern: int = 0, channel: int = 0, counter: int = 0,
              timestamp: int = 0) -> bytes:
    payload = bytes(samples) if isinstance(samples, bytes) else struct.pack(
        f"<{len(samples)}H", *samples)
    event_size = 24 + len(payload) if size is None else size
    return struct.pack("<6i", event_size, board, pattern, channel, counter,
                       timestamp) + payload


def ramp(n: int, start: int = 0) -> list[int]:
    return [(start + 37 * i) % 65536 for i in range(n)]


def wd1_seeds() -> dict[str, bytes]:
    three = b"".join(
        wd1_event(ramp(8, i), counter=i, channel=i % 4, timestamp=1000 * i)
        for i in range(3))
    odd = wd1_event(b"\x01\x02\x03\x04\x05", counter=0) + wd1_event(ramp(2), counter=1)
    header_only = wd1_event([], counter=0) + wd1_event([], counter=1)
    size_23 = wd1_event([], size=23) + wd1_event(ramp(3), counter=1)
    too_small = wd1_event(ramp(2), counter=0) + wd1_event([], size=12, counter=1)
    truncated = wd1_event(ramp(10), size=24 + 2 * 1000)
    claims_more = wd1_event(ramp(4), size=24 + 2_000_000)
    wrapping = wd1_event(ramp(4), size=-(2**31) + 5)
    negative = wd1_event([], size=-1)
    # Twice the stream's buffer, so part of the payload bypasses it.
    big = wd1_event(ramp(9000), counter=7) + wd1_event(ramp(2), counter=8)
    return {
        "three_events": bytes([WHOLE, PLAIN]) + three,
        "three_events_cut_in_header": bytes([30, PLAIN]) + three,
        "three_events_cut_in_samples": bytes([128, PLAIN]) + three,
        "three_events_short_reads": bytes([WHOLE, SHORT_READS]) + three,
        "three_events_eintr": bytes([200, EINTR]) + three,
        "three_events_eio": bytes([WHOLE, eio_on_call(2)]) + three,
        "odd_payload": bytes([WHOLE, PLAIN]) + odd,
        "header_only_events": bytes([WHOLE, PLAIN]) + header_only,
        "event_size_23": bytes([WHOLE, PLAIN]) + size_23,
        "event_size_too_small": bytes([WHOLE, PLAIN]) + too_small,
        "truncated_payload": bytes([WHOLE, PLAIN]) + truncated,
        "wrapping_event_size": bytes([WHOLE, PLAIN]) + wrapping,
        "negative_event_size": bytes([WHOLE, PLAIN]) + negative,
        "partial_header": bytes([WHOLE, PLAIN]) + three[:10],
        "large_event_cut": bytes([100, PLAIN]) + big,
        "not_regular_three_events": bytes([WHOLE, NOT_REGULAR | SHORT_READS]) + three,
        "not_regular_payload_past_end": bytes([WHOLE, NOT_REGULAR]) + claims_more,
        "empty": bytes([WHOLE, PLAIN]),
    }


# --- WD2 ----------------------------------------------------------------


def wd2_event(counter: int, samples: int, values: list[float], *,
              channels: int | None = None, period: int = 8,
              timestamp: int | None = None) -> bytes:
    ts = 100 * counter if timestamp is None else timestamp
    out = struct.pack("<IQIQ", counter, ts, samples, period)
    if channels is not None:
        out += struct.pack("<i", channels)
    return out + struct.pack(f"<{len(values)}f", *values)


def wave(n: int, phase: int = 0) -> list[float]:
    return [((phase + i) % 17) * 0.25 - 2.0 for i in range(n)]


def wd2_seeds() -> dict[str, bytes]:
    with_word = b"".join(wd2_event(i, 4, wave(8, i), channels=2) for i in range(3))
    without_word = b"".join(wd2_event(i, 5, wave(5, i)) for i in range(3))
    skipping = b"".join(wd2_event(c, 3, wave(3, c)) for c in (0, 5, 9))
    zero_channels = b"".join(wd2_event(i, 4, [], channels=0) for i in range(3))
    zero_samples = b"".join(wd2_event(i, 0, [], channels=3) for i in range(3))
    one_event = wd2_event(0, 4, wave(8), channels=2)
    # The second header breaks the pattern: neither layout fits.
    undecidable = wd2_event(0, 4, wave(8), channels=2) + wd2_event(7, 9, wave(18), channels=2)
    negative_channels = wd2_event(0, 2, [], channels=-3) + wd2_event(1, 2, wave(2))
    huge_length = (wd2_event(0, 0xFFFFFFFF, [], channels=0x7FFFFFFF)
                   + wd2_event(1, 0xFFFFFFFF, [], channels=0x7FFFFFFF))
    claims_more = (wd2_event(0, 2, wave(2), channels=1) + wd2_event(1, 2, wave(2), channels=1)
                   + wd2_event(2, 100000, wave(3), channels=1))
    big = b"".join(wd2_event(i, 2100, wave(4200, i), channels=2) for i in range(2))
    return {
        "channel_word": bytes([WHOLE, PLAIN]) + with_word,
        "channel_word_cut": bytes([150, PLAIN]) + with_word,
        "channel_word_short_reads": bytes([WHOLE, SHORT_READS]) + with_word,
        "channel_word_eintr": bytes([WHOLE, EINTR]) + with_word,
        "channel_word_eio": bytes([WHOLE, eio_on_call(3)]) + with_word,
        "no_channel_word": bytes([WHOLE, PLAIN]) + without_word,
        "no_channel_word_cut": bytes([120, PLAIN]) + without_word,
        "counters_skip": bytes([WHOLE, PLAIN]) + skipping,
        "zero_channels": bytes([WHOLE, PLAIN]) + zero_channels,
        "zero_samples": bytes([WHOLE, PLAIN]) + zero_samples,
        "single_event": bytes([WHOLE, PLAIN]) + one_event,
        "layout_undecidable": bytes([WHOLE, PLAIN]) + undecidable,
        "negative_channels": bytes([WHOLE, PLAIN]) + negative_channels,
        "overflowing_length": bytes([WHOLE, PLAIN]) + huge_length,
        "payload_past_end": bytes([WHOLE, PLAIN]) + claims_more,
        "large_events_cut": bytes([90, PLAIN]) + big,
        "not_regular_channel_word": bytes([WHOLE, NOT_REGULAR]) + with_word,
        "not_regular_payload_past_end": bytes([WHOLE, NOT_REGULAR]) + claims_more,
        "partial_header": bytes([WHOLE, PLAIN]) + with_word[:17],
    }


# --- Pulse features -----------------------------------------------------

F32, POSITIVE, NEGATIVE, AROUND_PEAK, IN_RMS, ADC_MAX = 1, 2, 4, 8, 16, 32


def features_input(flags: int, samples: bytes, *, baseline: tuple[int, int] = (0, 16),
                   charge: tuple[int, int] = (0, 255), threshold: float = 5.0,
                   cfd: int = 127, adc_max: float = 4095.0, split: int = 0) -> bytes:
    """The 16-byte header of features_fuzzer.cc, then the samples."""
    return (struct.pack("<BBBBBfBfBB", flags, baseline[0], baseline[1], *charge,
                        threshold, cfd, adc_max, split, 0) + samples)


def pulse(n: int, base: float, height: float) -> list[float]:
    return [base + height * max(0.0, (i - 20) / 4.0) * 0.8 ** max(0, i - 20)
            for i in range(n)]


def features_seeds() -> dict[str, bytes]:
    def u16(values: list[float]) -> bytes:
        return struct.pack(f"<{len(values)}H", *(min(65535, max(0, round(v))) for v in values))

    def f32(values: list[float]) -> bytes:
        return struct.pack(f"<{len(values)}f", *values)

    inf, big = float("inf"), 3.4028234663852886e38
    return {
        "pulse_u16": features_input(IN_RMS, u16(pulse(64, 1000, 300))),
        "pulse_u16_negative_rows": features_input(
            NEGATIVE | AROUND_PEAK, u16(pulse(96, 3000, -900) * 2), charge=(4, 30),
            threshold=40.0, split=48),
        "pulse_f32": features_input(F32 | IN_RMS, f32(pulse(64, -2.5, 7.25))),
        "saturated_u16_rows": features_input(
            ADC_MAX, u16([0, 5, 5, 65535, 5, 4095, 5] * 5), baseline=(1, 3), split=7),
        "extremes_f32_rows": features_input(
            F32 | AROUND_PEAK, f32([1.0, inf, -inf, float("nan"), big, -big, 0.5] * 4),
            baseline=(0, 2), split=5),
        "baseline_past_rows": features_input(0, u16(pulse(40, 10, 3)), baseline=(30, 20),
                                             split=16),
        "header_only": features_input(F32, b""),
    }


# --- Every pulse ----------------------------------------------------------

P_F32, P_NEGATIVE, P_T_RMS, P_H_RMS = 1, 2, 4, 8


def pulses_input(flags: int, samples: bytes, *, baseline: tuple[int, int] = (0, 16),
                 threshold: float = 20.0, hysteresis: float = 5.0, separation: int = 0,
                 charge: tuple[int, int] = (3, 6), split: int = 0, slope: int = 0) -> bytes:
    """The 16-byte header of pulses_fuzzer.cc, then the samples."""
    return (struct.pack("<BBBffBBBBB", flags, baseline[0], baseline[1], threshold, hysteresis,
                        separation, *charge, split, slope) + samples)


def train(n: int, base: float, height: float, every: int) -> list[float]:
    return [base + height * max(0.0, ((i - 20) % every) / 3.0) * 0.7 ** max(0, (i - 20) % every)
            if i >= 20 else base for i in range(n)]


def pulses_seeds() -> dict[str, bytes]:
    def u16(values: list[float]) -> bytes:
        return struct.pack(f"<{len(values)}H", *(min(65535, max(0, round(v))) for v in values))

    def f32(values: list[float]) -> bytes:
        return struct.pack(f"<{len(values)}f", *values)

    inf = float("inf")
    chatter = [1000.0] * 20 + [1000.0 + 20 + (3 if i % 2 else -3) for i in range(60)] + [1000.0] * 20
    return {
        "train_u16": pulses_input(0, u16(train(200, 1000, 300, 37))),
        "train_u16_negative_rows": pulses_input(P_NEGATIVE, u16(train(240, 3000, -500, 29)),
                                                separation=12, split=80),
        "train_f32_rms": pulses_input(P_F32 | P_T_RMS | P_H_RMS, f32(train(150, -2.5, 7.25, 41)),
                                      threshold=4.0, hysteresis=1.0),
        "chatter_u16": pulses_input(0, u16(chatter), hysteresis=0.0),
        "starts_high_u16": pulses_input(0, u16([1300.0] * 5 + train(120, 1000, 300, 50)),
                                        baseline=(40, 60)),
        "extremes_f32_rows": pulses_input(
            P_F32, f32([1.0, inf, -inf, float("nan"), 50.0, 0.5, 30.0] * 6), baseline=(0, 2),
            split=14),
        # A flat baseline, an RMS of 0 and an infinite hysteresis: R is NaN,
        # and nothing is below it.
        "nan_rearm_u16": pulses_input(P_T_RMS | P_H_RMS, u16([1000.0] * 16 + [990, 1300, 990, 1300]),
                                      threshold=5.0, hysteresis=inf),
        # A pulse on the slow tail of another, split by the slope trigger
        # over 2 samples.
        "pile_up_slope_u16": pulses_input(
            1 << 4, u16([1000.0] * 30 + [1000 + 600 * 0.97 ** i + (150 * 0.9 ** (i - 40) if i >= 40 else 0)
                                        for i in range(120)]), slope=40, separation=3),
        "header_only": pulses_input(P_F32, b""),
    }


def main() -> None:
    for name, seeds in (("wd1", wd1_seeds()), ("wd2", wd2_seeds()),
                        ("features", features_seeds()), ("pulses", pulses_seeds())):
        folder = CORPUS / name
        folder.mkdir(parents=True, exist_ok=True)
        for seed, data in seeds.items():
            (folder / seed).write_bytes(data)
        print(f"{folder}: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
