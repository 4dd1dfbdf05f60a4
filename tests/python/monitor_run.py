"""Generated runs for the monitor's tests: WD1 events with negative pulses on a baseline."""
import os

import numpy as np

import eventfiles

SAMPLES = 256


def pulses(count, rng, samples=SAMPLES):
    """(count, samples) uint16 waveforms: a baseline near 1000 and one pulse each, never clipped."""
    t = np.arange(samples)
    amplitude = rng.uniform(40, 800, count)
    start = rng.integers(80, samples // 2, count)
    shape = np.where(t >= start[:, None], np.exp(-(t - start[:, None]) / 12.0), 0.0)
    noise = rng.normal(0, 2, (count, samples))
    return np.round(1000 + noise - amplitude[:, None] * shape).astype(np.uint16)


def wd1_run(counters, rng, channel=0, samples=SAMPLES):
    """The bytes of a WD1 file with one event per counter."""
    waves = pulses(len(counters), rng, samples)
    return b"".join(eventfiles.wd1_event(board_channel=channel, event_counter=int(c) - 2**32 * (c >= 2**31),
                                         timestamp=int(i) * 1000, samples=w.tobytes())
                    for i, (c, w) in enumerate(zip(counters, waves)))


def ci_output(name):
    """Where a test keeps a file for the CI run to look at, or None outside CI."""
    work = os.environ.get("VORN_CI_WORK")
    if not work:
        return None
    folder = os.path.join(work, "browser")
    os.makedirs(folder, exist_ok=True)
    return os.path.join(folder, name)
