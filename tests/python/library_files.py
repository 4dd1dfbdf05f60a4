"""Event files for the library's tests: WD1 files of given counters, WD2 files of random float samples."""

import numpy as np

import eventfiles


def wd1_file(path, counters, samples=4, channel=0, timestamp=lambda c: 1000 * c):
    events = []
    for c in counters:
        word = c % 2**32
        n = samples(c) if callable(samples) else samples
        events.append(eventfiles.wd1_event(board_channel=channel, event_counter=word - (word >> 31 << 32),
                                           timestamp=timestamp(c) % 2**31,
                                           samples=[(c * 7 + channel + i) % 2**16 for i in range(n)]))
    path.write_bytes(b"".join(events))
    return str(path)


def wd2_file(path, events, channels, samples):
    rng = np.random.default_rng(events)
    path.write_bytes(b"".join(
        eventfiles.wd2_event(i, 10 * i, samples, 8, rng.random(channels * samples, dtype=np.float32).tobytes(),
                             channels)
        for i in range(events)))
    return str(path)
