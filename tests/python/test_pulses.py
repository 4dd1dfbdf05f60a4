import math
import struct
import subprocess

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vorn_tools.pulses import PULSES, PulseOptions, find_pulses

SETTINGS = settings(max_examples=150, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow])


def reference(x, o):
    """The pulses of one waveform by the module's definitions, plainly in float64."""
    xs = [float(v) for v in x]
    n = len(xs)
    b0, b1 = min(o.baseline[0], n), min(o.baseline[1], n)
    base = 0.0
    for v in xs[b0:b1]:
        base += v
    base /= b1 - b0
    squares = 0.0
    for v in xs[b0:b1]:
        squares += (v - base) * (v - base)
    rms = math.sqrt(squares / (b1 - b0))
    p = 1 if o.polarity == "positive" else -1
    y = [p * (v - base) for v in xs]
    t = o.threshold if o.threshold is not None else o.threshold_rms * rms
    if o.hysteresis is not None:
        r = t - o.hysteresis
    elif o.hysteresis_rms is not None:
        r = t - o.hysteresis_rms * rms
    else:
        r = 0.0  # the baseline

    spans = []  # [first crossing, end of the last]
    k = 1
    while k < n:
        if y[k - 1] < t <= y[k]:
            e = next((j for j in range(k + 1, n) if y[j] < r), n)
            if spans and k - spans[-1][0] < o.separation:
                spans[-1][1] = e
            else:
                spans.append([k, e])
            k = e + 1
        else:
            k += 1

    pieces = []  # [first index, start time, end, cut by the slope trigger]
    for i, e in spans:
        first, start = i, (i - 1) + (t - y[i - 1]) / (y[i] - y[i - 1])
        if o.slope is not None:
            span, armed = o.slope_span, False
            for k in range(max(i + 1, span), e):
                d = y[k] - y[k - span]
                if not armed:
                    armed = d <= 0
                elif d >= o.slope:
                    armed = False
                    if k - first >= o.separation:
                        pieces.append((first, start, k, True))
                        d0 = y[k - 1] - y[k - 1 - span]
                        first, start = k, (k - 1) + (o.slope - d0) / (d - d0)
        pieces.append((first, start, e, False))

    rows = []
    previous_end = 0
    for number, (i, start, e, cut) in enumerate(pieces):
        peak = max(range(i, e), key=lambda j: (y[j], -j))
        amplitude = y[peak]
        a, c = o.charge
        charge = sum(y[max(i - a, 0):min(e + c, n)])
        m = max((j for j in range(i, e) if y[j] >= t), default=n)
        tot = m + (y[m] - t) / (y[m] - y[m + 1]) - start if m + 1 < n and not cut else math.nan
        half = amplitude / 2
        rising = [j for j in range(previous_end, peak) if y[j] < half]
        falling = [j for j in range(peak + 1, n) if y[j] < half]
        fwhm = math.nan
        if amplitude > 0 and rising and falling:
            j, k = rising[-1], falling[0]
            fwhm = ((k - 1) + (y[k - 1] - half) / (y[k - 1] - y[k])) - (j + (half - y[j]) / (y[j + 1] - y[j]))
        rows.append(dict(pulse=number, start_time=start, peak_index=peak, amplitude=amplitude,
                         charge=charge, fwhm=fwhm, time_over_threshold=tot))
        previous_end = e
    return rows


@st.composite
def pulse_trains(draw):
    """A noisy baseline and pulses far enough apart that each falls below
    the re-arm level before the next: rise over `rise` samples from `onset`,
    then an exponential decay. Returns the waveform and the times at which
    each noiseless pulse crosses the threshold."""
    dtype = draw(st.sampled_from([np.uint16, np.float32]))
    polarity = draw(st.sampled_from(["positive", "negative"]))
    count = draw(st.integers(0, 5))
    gap = 60
    n = 64 + (count + 1) * gap + draw(st.integers(0, 40))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    base = draw(st.sampled_from([3000.0, 30000.0]))
    noise = draw(st.sampled_from([0.0, 1.0, 3.0]))
    threshold = 40.0
    t = np.arange(n, dtype=float)
    y = noise * rng.uniform(-1, 1, n)
    crossings = []
    for k in range(count):
        onset = 74 + k * gap + draw(st.floats(0, 20))
        rise = draw(st.floats(0.5, 4))
        height = draw(st.floats(100, 1000))
        tau = draw(st.floats(2, 8))
        s = t - onset
        y += np.where(s < 0, 0, np.where(s < rise, height * s / rise, height * np.exp(-(s - rise) / tau)))
        crossings.append(onset + rise * threshold / height)
    x = base + (1 if polarity == "positive" else -1) * y
    x = np.round(x) if dtype == np.uint16 else np.round(x * 64) / 64
    options = PulseOptions(polarity=polarity, threshold=threshold, hysteresis=20.0,
                           charge=(draw(st.integers(0, 8)), draw(st.integers(0, 30))),
                           separation=draw(st.sampled_from([0, 10])),
                           slope=draw(st.sampled_from([None, 60.0])))
    return x.astype(dtype), options, crossings


@SETTINGS
@given(pulse_trains())
def test_every_pulse_is_found_where_it_crosses(train):
    x, o, crossings = train
    found = find_pulses(x[None, :], o)
    assert len(found["start_time"]) == len(crossings)
    np.testing.assert_array_less(np.abs(found["start_time"] - crossings), 1.0)
    assert list(found["row"]) == [0] * len(crossings)

    want = reference(x, o)
    for name in ("pulse", "peak_index"):
        assert list(found[name]) == [w[name] for w in want], name
    for name in ("start_time", "amplitude", "charge", "fwhm", "time_over_threshold"):
        np.testing.assert_allclose(found[name], [w[name] for w in want], rtol=1e-9, atol=1e-9,
                                   equal_nan=True, err_msg=name)
    np.testing.assert_allclose(found["delay"][1:], np.diff(found["start_time"]))
    assert np.isnan(found["delay"][:1]).all()

    # Rows of differing lengths take another path through the kernel.
    ragged = find_pulses(np.concatenate([x, x[:70]]), o, offsets=[0, len(x), len(x) + 70])
    for name in PULSES:
        np.testing.assert_array_equal(ragged[name], found[name], err_msg=name)


@pytest.mark.parametrize("dtype", [np.uint16, np.float32])
def test_noise_around_the_threshold_is_one_pulse_until_it_falls_below_the_rearm_level(dtype):
    # A plateau 40 counts up whose noise crosses a threshold of 40 many times.
    rng = np.random.default_rng(5)
    x = np.full(400, 1000.0)
    x[100:300] += 40 + np.round(rng.uniform(-4, 4, 200))
    x = x.astype(dtype)[None, :]
    held = find_pulses(x, PulseOptions(polarity="positive", threshold=40, hysteresis=10))
    assert list(held["peak_index"] >= 100) == [True]
    assert held["time_over_threshold"][0] > 190
    chattering = find_pulses(x, PulseOptions(polarity="positive", threshold=40, hysteresis=0))
    assert len(chattering["pulse"]) > 10


def sipm_waveforms(rng, rows, sigma, tau, height, samples=1024):
    """uint16 waveforms of a noisy baseline and up to three negative SiPM-like pulses each, 1 to 3 photons of
    `height`: a rise of about a sample and a decay of `tau`, each pulse's tail gone before the next starts."""
    t = np.arange(samples, dtype=float)
    slot = (samples - 80) // 3
    y = np.zeros((rows, samples))
    starts = []
    for row in range(rows):
        at = np.sort(80 + slot * rng.choice(3, rng.integers(1, 4), replace=False) + rng.uniform(0, slot - 10 * tau))
        for start in at:
            s = np.maximum(t - start, 0)
            y[row] += height * rng.integers(1, 4) * -np.expm1(-s) * np.exp(-s / tau)
        starts.append(at)
    x = 1000 - y + rng.normal(0, sigma, y.shape)
    return np.round(x).astype(np.uint16), starts


@pytest.mark.parametrize("sigma", [1, 2, 4])
@pytest.mark.parametrize("tau", [4, 12, 20])
@pytest.mark.parametrize("threshold", [None, 25])
def test_each_generated_pulse_is_found_once_by_default(sigma, tau, threshold):
    # The default re-arm level must not let the noise on a decaying tail
    # re-trigger: as many pulses found as made, each where it starts.
    rng = np.random.default_rng(sigma * 100 + tau + (threshold or 0))
    level = 5 * sigma if threshold is None else threshold
    x, starts = sipm_waveforms(rng, 700, sigma, tau, height=3 * level)
    found = find_pulses(x, PulseOptions(threshold=threshold))
    made = sum(len(at) for at in starts)
    assert abs(len(found["row"]) - made) <= 0.01 * made
    near = 0
    for row, at in enumerate(starts):
        mine = found["start_time"][found["row"] == row]
        near += sum(bool(len(mine)) and np.abs(mine - start).min() <= 2 for start in at)
    assert near >= 0.99 * made


@pytest.mark.parametrize("dtype", [np.uint16, np.float32])
@pytest.mark.parametrize("hysteresis", [10, None])
def test_the_slope_trigger_splits_a_pulse_on_the_tail_of_another(dtype, hysteresis):
    # A pulse of 100 at sample 140 on the slow tail (still about 400 high) of
    # one of 1000 at sample 100: the tail never falls below the re-arm level,
    # given or the default one at the baseline.
    t = np.arange(400.0)
    y = np.zeros(400)
    for onset, height in ((100, 1000), (140.5, 100)):
        s = t - onset
        y += np.where(s < 0, 0, np.where(s < 2, height * s / 2, height * np.exp(-(s - 2) / 50)))
    x = np.round(2000 + y).astype(dtype)[None, :]
    plain = PulseOptions(polarity="positive", threshold=50, hysteresis=hysteresis, slope_span=2)
    assert len(find_pulses(x, plain)["pulse"]) == 1
    o = PulseOptions(polarity="positive", threshold=50, hysteresis=hysteresis, slope=30, slope_span=2)
    found = find_pulses(x, o)
    assert found["pulse"].tolist() == [0, 1]
    assert abs(found["start_time"][1] - 140.5) < 2
    assert found["peak_index"][0] == 102 and 141 <= found["peak_index"][1] <= 144
    want = reference(x[0], o)
    for name in ("start_time", "amplitude", "charge", "fwhm", "time_over_threshold"):
        np.testing.assert_allclose(found[name], [w[name] for w in want], rtol=1e-9, equal_nan=True,
                                   err_msg=name)


def test_options_that_fit_no_waveform_are_refused():
    with pytest.raises(ValueError, match=r"^the baseline window \[20, 64\) is empty in waveforms of 10 samples$"):
        find_pulses(np.zeros((2, 10), np.uint16), PulseOptions(baseline=(20, 64)))
    with pytest.raises(ValueError, match="polarity must be 'auto', 'positive' or 'negative', not 'each'"):
        PulseOptions(polarity="each")  # type: ignore[arg-type]
    with pytest.raises(TypeError, match="samples must be uint16 or float32, not int32"):
        find_pulses(np.zeros((2, 100), np.int32))


# --- files: blocks of iterate, auto polarity, worker processes ---------------------------

def _wd2(path, waves, period=8):
    """A WD2 file (with a channel-count word) of float32 waves (events, channels, samples)."""
    events, channels, samples = waves.shape
    with open(path, "wb") as f:
        for i, w in enumerate(waves):
            f.write(struct.pack("<IQIQi", i, 10 * i, samples, period, channels) + w.astype("<f4").tobytes())
    return path


def _wd1(path, waves, channel=0):
    """A WD1 file of uint16 waves (events, samples) of one board channel."""
    with open(path, "wb") as f:
        for i, w in enumerate(waves):
            data = np.clip(np.rint(w), 0, 65535).astype("<u2").tobytes()
            f.write(struct.pack("<6i", 24 + len(data), 3, 0, channel, i, 100 * i) + data)
    return path


def _trains(rng, events, samples, counts):
    """Noise and `counts[e]` separated pulses of height 200-900 in each waveform, and their onsets."""
    t = np.arange(samples, dtype=float)
    y = rng.normal(0, 2, (events, samples))
    onsets = []
    for e in range(events):
        at = 80 + 70 * np.arange(counts[e]) + rng.uniform(0, 20, counts[e])
        for start in at:
            s = t - start
            y[e] += np.where(s < 0, 0, rng.uniform(200, 900) * np.exp(-s / 6.0) * np.minimum(s / 2, 1))
        onsets.append(at)
    return y, onsets



def _vorn(script, cwd, *args):
    proc = subprocess.run([script, *map(str, args)], capture_output=True, text=True, timeout=120, cwd=cwd)
    assert proc.returncode == 0, proc.stderr
    return proc


@pytest.mark.parametrize("layout", ["WD1", "WD2"])
def test_blocks_of_iterate_carry_the_pulses_of_their_own_data(tmp_path, layout):
    from vorn_tools.pipeline import PULSE_FIELDS, iterate

    rng = np.random.default_rng(41)
    counts = rng.integers(0, 4, 90)
    y, _ = _trains(rng, 90, 400, counts)
    if layout == "WD1":
        path = _wd1(tmp_path / "p.dat", 1000 - y, channel=5)
    else:
        path = _wd2(tmp_path / "p.wd2", np.stack([-y, -y[::-1]], axis=1) / 64)
    options = PulseOptions(polarity="negative", threshold_rms=6, charge=(3, 12))
    blocks = list(iterate(str(path), step_size=25, pulses=options))
    assert len(blocks) == 4 and sum(len(b["pulses"]) for b in blocks) > 100
    for block in blocks:
        data = block["data"]
        if layout == "WD1":
            found, channels = find_pulses(data, options), np.full(len(data), 5)
        else:
            rows = data.reshape(block.events, 2, -1)
            found, channels = find_pulses(rows, options), np.tile([0, 1], block.events)
        pulses = block["pulses"]
        assert list(pulses.dtype.names) == list(PULSE_FIELDS)
        per_event = len(channels) // block.events
        assert pulses["entry"].tolist() == (block.file_entry_start + found["row"] // per_event).tolist()
        assert pulses["channel"].tolist() == channels[found["row"]].tolist()
        for name in PULSE_FIELDS:
            if name not in ("entry", "channel"):
                np.testing.assert_array_equal(pulses[name], found[name], err_msg=name)


def test_auto_polarity_finds_every_pulse_of_a_positive_and_a_negative_channel(script, tmp_path):
    # Channel 0 sees negative pulses, channel 1 positive ones; most events of
    # channel 1 are noise alone, so a choice per file or per waveform would miss them.
    pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    from vorn_tools.pipeline import iterate

    rng = np.random.default_rng(43)
    events, samples = 300, 400
    counts = [rng.integers(1, 5, events), np.where(rng.random(events) < 0.2, rng.integers(1, 4, events), 0)]
    (y0, at0), (y1, at1) = _trains(rng, events, samples, counts[0]), _trains(rng, events, samples, counts[1])
    path = _wd2(tmp_path / "two.wd2", np.stack([-y0, y1], axis=1))
    proc = _vorn(script, tmp_path, "pulses", path.name, "--threshold", 60, "--hysteresis", 20, "-o", "p.parquet")
    assert "polarity: channel 0 negative, channel 1 positive\n" in proc.stdout
    table = {k: np.asarray(v) for k, v in pq.read_table(tmp_path / "p.parquet").to_pydict().items()}
    blocks = list(iterate(str(path), step_size=64, pulses=PulseOptions(polarity="auto", threshold=60, hysteresis=20)))
    streamed = np.concatenate([b["pulses"] for b in blocks])
    library = find_pulses(np.stack([-y0, y1], axis=1).astype(np.float32),
                          PulseOptions(polarity="auto", threshold=60, hysteresis=20))
    for channel, onsets in enumerate((at0, at1)):
        want = np.concatenate(onsets)
        for entry, channel_of, start in ((table["entry"], table["channel"], table["start_time"]),
                                         (streamed["entry"], streamed["channel"], streamed["start_time"]),
                                         (library["row"] // 2, library["row"] % 2, library["start_time"])):
            mine = channel_of == channel
            assert np.bincount(entry[mine], minlength=events).tolist() == counts[channel].tolist()
            np.testing.assert_array_less(np.abs(start[mine] - want), 1.5)


def test_pulses_in_workers_equal_one_process(script, tmp_path):
    pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    rng = np.random.default_rng(47)
    names = []
    for number, channel in enumerate((0, 2, 2)):
        y, _ = _trains(rng, 120, 300, rng.integers(0, 4, 120))
        names.append(_wd1(tmp_path / f"r{number}.dat", 1000 - y, channel).name)
    common = ["--threshold", 40, "--sample-period", "4ns", "--exclude", 80, 100]
    one = _vorn(script, tmp_path, "pulses", *names, *common, "-o", "all.parquet")
    many = _vorn(script, tmp_path, "pulses", *names, *common, "--jobs", 2, "-o", "each")
    rates = [line for line in one.stdout.splitlines() if "dark-count rate" in line]
    assert len(rates) == 2 and [line for line in many.stdout.splitlines() if "dark-count rate" in line] == rates
    together = pq.read_table(tmp_path / "all.parquet").to_pydict()
    for number, name in enumerate(names):
        alone = pq.read_table(tmp_path / "each" / f"{name.removesuffix('.dat')}.parquet").to_pydict()
        mine = np.asarray(together["file"]) == number
        assert mine.any() and set(alone) == set(together) - {"file"}
        for column, values in alone.items():
            np.testing.assert_array_equal(values, np.asarray(together[column])[mine], err_msg=column)
