"""What the tests of the command share: writers of event files and checks of what it wrote."""


import numpy as np

import eventfiles
from needs import need


def wd1_event(samples, counter=0, channel=0, timestamp=0, pad=False, board=3):
    data = np.asarray(samples, dtype="<u2").tobytes() + (b"\x00" if pad else b"")
    return eventfiles.wd1_event(24 + len(data), board, 5, channel, counter, timestamp, samples=data)


def wd2_event(counter, data, samples, channels=None, period=8, timestamp=0):
    return eventfiles.wd2_event(counter % 2**32, timestamp, samples, period,
                                np.asarray(data, dtype="<f4").tobytes(), channels)


def write(path, *events):
    path.write_bytes(b"".join(events))
    return path


def wd1_file(path, lengths, rng, pad_every=0):
    return write(path, *(wd1_event(rng.integers(0, 2**16, n), i, i % 3, i * 1000, pad_every and i % pad_every == 0)
                         for i, n in enumerate(lengths)))


def wd2_file(path, events, samples, channels, word, rng, first=0):
    """`samples` per channel, the same for every event or a list of one count per event."""
    counts = samples if isinstance(samples, list) else [samples] * events
    values = [rng.normal(0, 1, channels * n).astype(np.float32) for n in counts]
    values[0][:2] = [np.nan, -0.0]  # passed through bit for bit
    return write(path, *(wd2_event(first + i, values[i], n, channels if word else None, timestamp=2**63 + i)
                         for i, n in enumerate(counts)))


def pulses(path, events, rng, channel=0, skip=(), scale=1.0):
    """WD1 events of 256 samples: a noisy baseline near 1000 and a negative pulse of random height."""
    t = np.arange(256)
    rows = []
    for i in range(events):
        if i in skip:
            continue
        height = scale * rng.uniform(50, 900)
        wave = 1000 + rng.normal(0, 3, 256) - height * np.exp(-np.maximum(t - 100, 0) / 20.0) * (t >= 100)
        rows.append(wd1_event(np.clip(wave, 0, 4095).astype(np.uint16), counter=i, channel=channel,
                              timestamp=125_000 * i))
    return write(path, *rows)


def read_table(path):
    if path.suffix == ".parquet":
        return {k: np.asarray(v) for k, v in need("pyarrow.parquet").read_table(path).to_pydict().items()}
    if path.suffix == ".h5":
        with need("h5py").File(path) as f:
            return {k: f[k][()] for k in f}
    with need("uproot").open(path) as f:
        return f[f.keys()[0]].arrays(library="np")
