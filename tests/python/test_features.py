import math
import sys
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from vorn_tools import _features
from vorn_tools.features import FEATURES, FeatureOptions, compute, window_problem

SETTINGS = settings(max_examples=150, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow])
FLT_MAX = float(np.finfo(np.float32).max)
# Sums in another order than the reference's: compared within roundings.
SUMS = ("charge", "tail_ratio", "energy", "energy_time")
EXACT = [name for name in FEATURES if name not in SUMS]


def reference(x, o, p=None):
    """The features of one waveform by their definitions, plainly in float64,
    with polarity p when given. Sums run in sample order, as the module
    promises for the baseline."""
    n = len(x)
    xs = [float(v) for v in x]
    if x.dtype == np.uint16:
        saturated = any(v in (0.0, 65535.0) for v in xs)
    else:
        saturated = any(math.isinf(v) or abs(v) == FLT_MAX for v in xs)
    if o.adc_max is not None:
        saturated = saturated or any(v >= o.adc_max for v in xs)
    nan = math.nan
    out = {name: nan for name in FEATURES}
    out.update(peak_index=-1, polarity=0, saturated=saturated, trapezoid=None)
    b0, b1 = min(o.baseline[0], n), min(o.baseline[1], n)
    if b1 <= b0:
        return out
    total = 0.0
    for v in xs[b0:b1]:
        total += v
    b = total / (b1 - b0)
    if not math.isfinite(b):
        return out
    if x.dtype == np.uint16:
        # Exactly, from integer sums, rounded once.
        m, ints = b1 - b0, [int(v) for v in x[b0:b1]]
        rms = math.sqrt(float(m * sum(v * v for v in ints) - sum(ints) ** 2) / float(m * m))
    else:
        squares = 0.0
        for v in xs[b0:b1]:
            squares += (v - b) * (v - b)
        rms = math.sqrt(squares / (b1 - b0))

    numbers = [v for v in xs if not math.isnan(v)]
    p = p or {"positive": 1, "negative": -1}.get(o.polarity)
    if p is None:
        p = 1 if max(numbers) - b >= b - min(numbers) else -1
    y = [p * (v - b) for v in xs]
    amplitude = max(v for v in y if not math.isnan(v))
    peak = y.index(amplitude)

    if o.charge_peak is not None:
        w0, w1 = peak - min(o.charge_peak[0], peak), min(peak + o.charge_peak[1], n)
    else:
        w0, w1 = o.charge or (0, n)
        w0 = min(w0, n)
        w1 = max(w0, min(w1, n))
    charge = 0.0
    for v in y[w0:w1]:
        charge += v
    if o.psd_split is not None:
        tail = 0.0
        for v in y[min(w0 + o.psd_split, w1):w1]:
            tail += v
        with np.errstate(all="ignore"):
            out["tail_ratio"] = float(np.float64(tail) / charge)

    def after(k, level):  # the first sample from k on below level, interpolated
        for k in range(k, n):
            if y[k] < level:
                return (k - 1) + (level - y[k - 1]) / (y[k] - y[k - 1])
        return nan

    t = o.threshold if o.threshold is not None else o.threshold_rms * rms
    crossing = None
    for i in range(max(b1, 1), n):
        if y[i - 1] < t <= y[i]:
            crossing = i
            out["threshold_time"] = (i - 1) + (t - y[i - 1]) / (y[i] - y[i - 1])
            out["time_over_threshold"] = after(i + 1, t) - out["threshold_time"]
            break

    def lead(fraction):
        level = fraction * amplitude
        for j in range(peak - 1, -1, -1):
            if y[j] < level:
                return j + (level - y[j]) / (y[j + 1] - y[j])
        return nan

    if amplitude > 0:
        low, high = o.rise
        out.update(cfd_time=lead(o.cfd_fraction), rise_time=lead(high) - lead(low),
                   fall_time=after(peak + 1, low * amplitude) - after(peak + 1, high * amplitude),
                   fwhm=after(peak + 1, 0.5 * amplitude) - lead(0.5))
    if o.trap is not None and crossing is not None:
        # A direct convolution of the pole-zero corrected y with the
        # trapezoid, over the samples the times read depend on.
        k, m = o.trap
        span = 2 * k + m
        if o.pickoff is not None:
            first = last = crossing + o.pickoff
            out["energy_time"] = first if first < n else nan
        else:
            first, last = max(crossing, span - 1), min(crossing + span, n) - 1
        segment = np.array(y[first - span + 1:last + 1])
        if first >= span - 1 and first <= last < n and np.isfinite(segment).all():
            c = 0.0 if o.tau is None else -math.expm1(-1 / o.tau)
            z = segment + c * np.concatenate([[0.0], np.cumsum(segment)[:-1]])
            h = np.concatenate([np.ones(k), np.zeros(m), -np.ones(k)]) / k
            trap = np.convolve(z, h, "valid")
            out["energy"] = float(trap.max())
            out["energy_time"] = first + int(np.argmax(trap))
            out["trapezoid"] = (first, trap)
            raw = np.abs(np.array(xs[first - span + 1:last + 1])) + abs(b)
            out["energy_scale"] = raw.sum() * (1 + c * span)
    out.update(baseline=b, baseline_rms=rms, amplitude=amplitude, charge=charge, peak_index=peak,
               polarity=p)
    return out


@st.composite
def waveform(draw, dtype, length):
    """A baseline with noise, maybe a pulse of either sign, maybe samples at
    the type's extremes; uint16 values clip at 0 and 65535 like an ADC."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    level = draw(st.sampled_from([0, 3, 1000, 65000]))
    noise = draw(st.sampled_from([0.0, 0.5, 4.0]))
    x = level + noise * rng.standard_normal(length)
    if length and draw(st.booleans()):
        at = draw(st.integers(0, length - 1))
        height = draw(st.sampled_from([-1, 1])) * draw(st.sampled_from([2, 50, 3000]))
        s = np.arange(length - at, dtype=float)
        x[at:] += height * (np.exp(-s / 8) - np.exp(-s / 2))
    if dtype == np.uint16:
        x = np.clip(np.round(x), 0, 65535)
        extremes = [0, 65535]
    else:
        x = np.round(x * 64) / 64  # sums of these are exact in float64
        extremes = [np.inf, -np.inf, FLT_MAX, -FLT_MAX, np.nan, np.nan]
    if length and draw(st.integers(0, 5)) == 0:
        x[draw(st.integers(0, length - 1))] = draw(st.sampled_from(extremes))
    return x.astype(dtype)


@st.composite
def options(draw):
    b0 = draw(st.integers(0, 8))
    window = st.tuples(st.integers(0, 40), st.integers(0, 40))
    charge, charge_peak = None, None
    kind = draw(st.sampled_from(["whole", "fixed", "peak"]))
    if kind == "fixed":
        low, high = sorted(draw(window))
        charge = (low, high + (high == low))  # an empty window is refused
    elif kind == "peak":
        charge_peak = draw(window.filter(lambda w: w != (0, 0)))
    return FeatureOptions(
        baseline=(b0, b0 + draw(st.integers(1, 40))),
        polarity=draw(st.sampled_from(["auto", "each", "positive", "negative"])),
        charge=charge, charge_peak=charge_peak,
        threshold=draw(st.none() | st.sampled_from([0.0, 1.0, 25.0])),
        threshold_rms=draw(st.sampled_from([0.0, 1.0, 3.0, 5.0])),
        cfd_fraction=draw(st.sampled_from([0.1, 0.5, 1.0]) | st.floats(0.01, 1.0)),
        adc_max=draw(st.none() | st.sampled_from([1000.0, 4095.0])),
        rise=draw(st.sampled_from([(0.1, 0.9), (0.2, 0.8), (0.5, 1.0)])),
        psd_split=draw(st.none() | st.integers(0, 30)),
        trap=draw(st.none() | st.tuples(st.integers(1, 8), st.integers(0, 6))),
        tau=draw(st.none() | st.sampled_from([2.0, 30.0, 1000.0])),
        pickoff=draw(st.none() | st.integers(0, 12)))


@st.composite
def batches(draw):
    dtype = draw(st.sampled_from([np.uint16, np.float32]))
    if draw(st.booleans()):
        lengths = [draw(st.integers(1, 60))] * draw(st.integers(1, 5))
    else:
        lengths = draw(st.lists(st.integers(0, 60), max_size=6))
    return [draw(waveform(dtype, n)) for n in lengths]


def close(a, b, tolerance):
    with np.errstate(invalid="ignore"):
        near = np.abs(a - b) <= tolerance
    return near | (a == b) | (np.isnan(a) & np.isnan(b))


def check(got, want):
    for name in EXACT:
        np.testing.assert_array_equal(got[name], want[name], err_msg=name)
    # The kernel sums samples and subtracts the baseline once per window;
    # the reference sums the differences. Both are within a few roundings
    # of the sum of the magnitudes.
    scale = np.asarray(want["scale"])
    a, b = got["charge"], want["charge"]
    assert np.all(close(a, b, 1e-9 * scale)), (a, b)
    # The tail, tail_ratio * charge, within roundings of the same sums,
    # where the charge is not lost in them.
    with np.errstate(all="ignore"):
        tails = got["tail_ratio"] * a, want["tail_ratio"] * b
        tiny = ~(np.abs(b) > 1e-6 * scale)
    assert np.all(close(*tails, 1e-9 * scale) | tiny), tails
    assert np.array_equal(np.isnan(got["tail_ratio"]) & ~tiny, np.isnan(want["tail_ratio"]) & ~tiny)
    # The trapezoid from running sums against a convolution: within
    # roundings of the sums it spans. Where the maximum of T is flat, either
    # index of it is right: T there must be the maximum.
    tolerance = 1e-9 * np.asarray(want["energy_scale"])
    e, f = got["energy"], want["energy"]
    assert np.all(close(e, f, tolerance)), (e, f)
    for r, read in enumerate(want["trapezoid"]):
        at, expected_at = got["energy_time"][r], want["energy_time"][r]
        if at == expected_at or np.isnan(at) and np.isnan(expected_at):
            continue
        first, trap = read
        assert 0 <= at - first < len(trap) and trap[int(at - first)] >= f[r] - tolerance[r], \
            (r, at, expected_at)


def expected(rows, o, channels=None):
    """With auto polarity, the rows are one channel, or one each with
    `channels`: each channel's polarity is the sign of the sum of its rows'
    larger excursions (a tie, or NaN, positive)."""
    found = [reference(x, o) for x in rows]
    if o.polarity == "auto":
        ids = channels if channels is not None else [0] * len(rows)
        sums = {}
        for c, f in zip(ids, found):
            signed = f["polarity"] * f["amplitude"]
            sums[c] = sums.get(c, 0.0) + (0.0 if math.isnan(signed) else signed)
        found = [reference(x, o, -1 if sums[c] < 0 else 1) for x, c in zip(rows, ids)]
    want = {name: np.array([f[name] for f in found], dtype) for name, dtype in FEATURES.items()}
    want["trapezoid"] = [f["trapezoid"] for f in found]
    want["energy_scale"] = [f.get("energy_scale", 0.0) for f in found]
    scale = []
    for x, f in zip(rows, found):
        # Samples outside the window may be infinite; those inside make the
        # charge infinite or NaN, which is compared exactly.
        finite = x[np.isfinite(x)].astype(float)
        w = np.abs(finite).sum() + len(x) * abs(f["baseline"])
        scale.append(w if np.isfinite(w) else 0.0)
    want["scale"] = scale
    return want


@SETTINGS
@given(batches(), options())
@example([np.full(10, 7, np.uint16)], FeatureOptions(threshold_rms=0.0))
@example([np.array([5, 5, 9, 1], np.float32)], FeatureOptions(baseline=(0, 2), threshold=0.0))
@example([np.array([np.inf, 0], np.float32), np.array([-np.inf, 0], np.float32)], FeatureOptions(baseline=(1, 2)))
# A negative pulse of float samples on a zero baseline: cuts at negative values.
@example([np.array([0, 0, 0, 0, -2, -10, -20, -10, 0], np.float32)],
         FeatureOptions(baseline=(0, 4), threshold=5.0, trap=(1, 1)))
# A sample exactly at adc_max is saturated; NaN is never an extreme or a peak.
@example([np.full(10, 1000, np.uint16)], FeatureOptions(adc_max=1000.0))
# NaN alone after the last full group of lanes, the minimum still 0.
@example([np.array([0] * 8 + [10] + [0] * 7 + [np.nan], np.float32)], FeatureOptions(baseline=(0, 4), polarity="each"))
@example([np.array([np.nan, 4, 4, 9, 2, np.nan, 3] + [4, 5, 4] * 10 + [np.nan], np.float32)],
         FeatureOptions(baseline=(1, 3), threshold=1.0, psd_split=1, trap=(1, 0)))
# A decaying pulse of integer samples, long after the crossing: the pole-zero corrected
# trapezoid's maximum is searched four steps at a time.
@example([np.array([100] * 40 + [100 + round(1000 * np.exp(-i / 20)) for i in range(160)], np.uint16)],
         FeatureOptions(baseline=(0, 16), threshold=20.0, trap=(6, 3), tau=20.0))
def test_features_match_their_definitions(rows, o):
    flat = np.concatenate(rows) if rows else np.zeros(0, np.uint16)
    offsets = np.cumsum([0] + [len(x) for x in rows]).astype(np.uint64)
    want = expected(rows, o)
    check(compute(flat, o, offsets=offsets), want)

    # Rows of one length also go in as a 2-D and a 3-D array, where windows
    # must fit instead of being clipped.
    lengths = {len(x) for x in rows}
    n = lengths.pop() if len(lengths) == 1 else None
    fits = n is not None and window_problem(o, n) is None
    if fits:
        check(compute(np.stack(rows), o), want)
        cube = compute(np.stack(rows).reshape(1, len(rows), n), o)
        assert all(v.shape == (1, len(rows)) for v in cube.values())
        check({k: v[0] for k, v in cube.items()}, expected(rows, o, channels=range(len(rows))))


@st.composite
def flat_topped_steps(draw):
    """Integer waveforms whose trapezoid has equal maxima at neighbouring steps, so in different lanes of
    the four-step search: a noisy baseline, an edge of any integers shorter than m, then a flat top."""
    k, m = draw(st.integers(2, 8)), draw(st.integers(2, 8))
    span = 2 * k + m
    polarity = draw(st.sampled_from([-1, 1]))
    height = draw(st.integers(50, 3000))
    noise = draw(st.lists(st.integers(-3, 3), min_size=16, max_size=16))
    lead = draw(st.integers(span, 3 * span))  # flat, so that the lagging sum sees no noise
    edge = draw(st.lists(st.integers(0, height), max_size=m - 1))
    top = draw(st.integers(span, 3 * span))
    y = noise + [0] * lead + edge + [height] * top
    x = np.array(30000 + polarity * np.array(y), dtype=np.int64)
    return x, polarity, k, m


@SETTINGS
@given(flat_topped_steps(), st.sampled_from([np.uint16, np.float32]))
def test_the_trapezoid_takes_the_first_index_of_its_maximum(step, dtype):
    x, polarity, k, m = step
    o = FeatureOptions(baseline=(0, 16), threshold=25.0, polarity="positive" if polarity > 0 else "negative",
                       trap=(k, m))
    f = compute(x.astype(dtype)[np.newaxis], o)
    # The trapezoid by a direct convolution of the integer samples: k * T[n]
    # at n = span - 1 + i, the baseline's share cancelling exactly.
    span = 2 * k + m
    sums = np.convolve(x, np.r_[np.ones(k, np.int64), np.zeros(m, np.int64), -np.ones(k, np.int64)], "valid")
    y = polarity * (x - x[:16].mean())
    crossing = int(np.argmax(y >= 25.0))
    first, last = max(crossing, span - 1), min(crossing + span, len(x)) - 1
    read = polarity * sums[first - span + 1:last - span + 2]
    assert (read == read.max()).sum() >= 2  # what the waveforms are made for
    assert f["energy_time"][0] == first + int(np.argmax(read))  # the first of them
    assert f["energy"][0] == read.max() / k


@pytest.mark.parametrize("dtype", [np.uint16, np.float32])
@pytest.mark.parametrize("pickoff", [None, 50])
def test_energy_is_proportional_to_the_height(dtype, pickoff):
    # Preamplifier pulses: a fast rise, an exponential decay of tau samples,
    # heights spanning a factor of 15, on a noisy baseline of an ADC. The
    # flat top (samples 39 to 59 after the start) holds the pick-off time.
    rng = np.random.default_rng(7)
    rows, tau = 400, 500.0
    t = np.arange(1024.0)
    height = rng.uniform(2000, 30000, rows)
    start = rng.integers(300, 600, rows)[:, None]
    s = np.maximum(t - start, 0)
    x = 1000 + height[:, None] * np.exp(-s / tau) * (1 - np.exp(-s / 2))
    x = np.round(x + rng.normal(0, 1.5, x.shape)).astype(dtype)
    o = FeatureOptions(threshold=30.0, trap=(40, 20), tau=tau, pickoff=pickoff)
    got = compute(x, o)
    ratio = got["energy"] / height
    assert np.all(np.abs(ratio / np.median(ratio) - 1) < 1e-3), ratio
    # Without the pole-zero correction the decay tilts the flat top.
    tilted = compute(x, FeatureOptions(threshold=30.0, trap=(40, 20), pickoff=pickoff))
    assert np.all(tilted["energy"] < 0.97 * got["energy"])


def outputs(rows, **changes):
    out = {name: np.empty(rows, dtype) for name, dtype in FEATURES.items()}
    out.update(changes)
    return out


def call(samples, offsets=None, out=None, baseline=(0, 64), polarity=0, drop=()):
    rows = len(offsets) - 1 if offsets is not None else len(samples)
    options = dict(polarity=polarity, baseline_begin=baseline[0], baseline_end=baseline[1],
                   charge_around_peak=False, charge_begin=0, charge_end=0, threshold=5.0,
                   threshold_in_rms=True, cfd_fraction=0.5, adc_max=None, rise_low=0.1,
                   rise_high=0.9, psd_split=None, trap_rise=0, trap_flat=0, tau=math.inf,
                   pickoff=None)
    _features.compute(samples, offsets, outputs(rows) if out is None else out,
                      **{k: v for k, v in options.items() if k not in drop})


U16 = np.zeros((2, 8), np.uint16)


@pytest.mark.parametrize("run, error, message", [
    (lambda: compute(U16.astype(np.float64)), TypeError,
     "samples must be uint16 or float32, not float64"),
    (lambda: compute(U16, FeatureOptions(baseline=(8, 20))), ValueError,
     "the baseline window [8, 20) is empty in waveforms of 8 samples"),
    (lambda: compute(np.zeros((2, 3, 0), np.uint16)), ValueError,
     "the baseline window [0, 64) is empty in waveforms of 0 samples"),
    (lambda: compute(U16, FeatureOptions(baseline=(3, 3))), ValueError,
     "the baseline window [3, 3) is empty"),
    (lambda: compute(U16, FeatureOptions(charge=(2, 9))), ValueError,
     "the charge window [2, 9) reaches past the end of waveforms of 8 samples"),
    (lambda: compute(U16, FeatureOptions(charge=(6, 2))), ValueError,
     "the charge window [6, 2) ends before it begins"),
    (lambda: compute(U16, FeatureOptions(cfd_fraction=0.0)), ValueError,
     "cfd_fraction must lie in (0, 1], not 0"),
    (lambda: compute(U16, FeatureOptions(baseline=(-1, 4))), ValueError,
     "the baseline window's start must not be negative, not -1"),
    (lambda: FeatureOptions(polarity="up"), ValueError,
     "polarity must be 'auto', 'each', 'positive' or 'negative', not 'up'"),
    (lambda: FeatureOptions(threshold=float("nan")), ValueError, "threshold must be finite, not nan"),
    (lambda: FeatureOptions(adc_max=-1), ValueError, "adc_max must be above 0, not -1"),
    (lambda: FeatureOptions(charge_peak=(-2, 9)), ValueError,
     "charge_peak counts samples before and after the peak, neither negative: not (-2, 9)"),
    (lambda: compute(U16.ravel(), offsets=[0, 5, 3, 16]), ValueError,
     "offsets must not decrease, but offsets[1] = 5 > offsets[2] = 3"),
    (lambda: compute(U16.ravel(), offsets=[0, 9, 4]), ValueError,
     "offsets must not decrease, but offsets[1] = 9 > offsets[2] = 4"),
    (lambda: compute(U16, FeatureOptions(rise=(0.9, 0.1))), ValueError,
     "rise fractions must satisfy 0 < low < high <= 1, not 0.9, 0.1"),
    (lambda: compute(U16, FeatureOptions(trap=(0, 4))), ValueError,
     "the trapezoid's rise must be at least 1 sample, not 0"),
    (lambda: compute(U16, FeatureOptions(trap=(2, 4), tau=0.0)), ValueError,
     "tau must be positive, not 0"),
    (lambda: compute(U16.ravel(), offsets=[0, 17]), ValueError,
     "offsets end at 17, past the 16 samples"),
    (lambda: call(U16.ravel()), ValueError,
     "samples must be 2-dimensional (rows, samples), not 1-dimensional; "
     "pass offsets for rows of differing lengths"),
    (lambda: call(U16[:, ::2]), ValueError, "samples must be C-contiguous"),
    (lambda: call(U16, out=outputs(3)), ValueError,
     "output 'baseline' has 3 elements, expected 2 (one per row)"),
    (lambda: call(U16, out=outputs(2, peak_index=np.empty(2, np.int32))), TypeError,
     "output 'peak_index' must be int64, not int32"),
    (lambda: call(U16, offsets=np.array([0, 8], np.int64)), ValueError,
     "samples must be 1-dimensional when offsets are given, not 2-dimensional"),
    (lambda: call(U16.ravel(), offsets=np.array([0, 8], np.int64)), TypeError,
     "offsets must be uint64, not int64"),
    (lambda: call(U16, polarity=np.ones(3, np.int8)), ValueError,
     "polarity has 3 elements, expected 2 (one per row)"),
    (lambda: call(U16, polarity=np.array([1, 2], np.int8)), ValueError,
     "polarity must be -1, 0 or 1, not 2 (row 1)"),
    (lambda: call(U16, polarity=np.ones(2, np.int16)), TypeError,
     "polarity must be an int or an int8 array, not int16"),
    (lambda: call(U16, drop=("tau", "pickoff")), TypeError,
     "compute() missing 2 required keyword-only arguments: 'tau' and 'pickoff'"),
    (lambda: _features.compute(U16, None, outputs(2), 0), TypeError,
     "compute() takes 3 positional arguments but 4 were given"),
])
def test_errors(run, error, message):
    with pytest.raises(error) as info:
        run()
    assert str(info.value) == message


def test_computing_lets_other_threads_run():
    # With a switch interval far longer than the test, a thread waiting for
    # the GIL gets it only when the running thread gives it up: here only
    # inside compute(), and only if compute() releases it.
    rows = np.full((20_000, 1024), 1000, np.uint16)
    go, ran = threading.Event(), threading.Event()

    def other():
        go.wait()
        ran.set()

    thread = threading.Thread(target=other)
    thread.start()
    interval = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    try:
        go.set()
        for _ in range(100):
            compute(rows)
            if ran.is_set():
                break
        ran_while_computing = ran.is_set()
    finally:
        sys.setswitchinterval(interval)
        thread.join()
    assert ran_while_computing
