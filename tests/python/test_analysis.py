"""From feature tables to results: expressions and cuts on columns, and fits that recover a known truth."""

import struct
import warnings

import numpy as np
import pytest
from hypothesis import Phase, given, settings, strategies as st

from needs import need
from vorn_tools.analysis import expressions
from vorn_tools.analysis.expressions import ExpressionError


@pytest.mark.parametrize("text, column", [
    ("__import__('os').system('true')", 1),
    ("charge.real", 1),
    ("[charge]", 1),
    ("charge if amplitude else 0", 1),
    ("amplitude > 2 and lambda: 1", 19),
    ("charge@x", 1),
    ("charge +* 2", 9),
    ("(charge", 8),  # the end, where the closing parenthesis is missing
    ("charge + ", 9),
    ("charge )", 8),
])
def test_only_arithmetic_on_columns_is_evaluated(text, column):
    with pytest.raises(ExpressionError) as caught:
        expressions.parse(text)
    assert caught.value.position == column


def _table(rng, events, channels, drop):
    """A long table of (event, channel) rows, some rows left out, in a shuffled order of events."""
    rows = [(e, c) for e in range(events) for c in range(channels) if (e, c) not in drop]
    entry = np.array([r[0] for r in rows], dtype=np.int64)
    channel = np.array([r[1] for r in rows], dtype=np.int32)
    return {"entry": entry, "channel": channel, "amplitude": rng.normal(10, 5, len(rows)),
            "cfd_time": rng.normal(0, 1, len(rows))}


@settings(max_examples=40, deadline=None)
@given(events=st.integers(1, 30), channels=st.integers(2, 4), seed=st.integers(0, 2**32 - 1),
       drops=st.sets(st.tuples(st.integers(0, 29), st.integers(0, 3)), max_size=20))
def test_channel_columns_pair_the_rows_of_one_event(events, channels, seed, drops):
    rng = np.random.default_rng(seed)
    table = _table(rng, events, channels, drops)
    of = expressions.parse("2 * cfd_time@1 - cfd_time @ 0")  # @ binds tighter than any operator
    where = expressions.parse("amplitude@0 > 8 and not amplitude@1 <= 8")
    left_out = expressions.LeftOut()
    values, chans = expressions.select(table, of, where, left_out)
    by_row = {(int(e), int(c)): i for i, (e, c) in enumerate(zip(table["entry"], table["channel"]))}
    present = {e for e, _ in by_row}
    assert left_out.events == sum((e, 0) not in by_row or (e, 1) not in by_row for e in present)
    assert {c: n for c, n in left_out.by_channel.items() if n} == {
        c: n for c in (0, 1) if (n := sum((e, c) not in by_row for e in present))}
    expected = []
    for e in range(events):
        if (e, 0) in by_row and (e, 1) in by_row:
            a, b = by_row[(e, 0)], by_row[(e, 1)]
            if table["amplitude"][a] > 8 and table["amplitude"][b] > 8:
                expected.append(2 * table["cfd_time"][b] - table["cfd_time"][a])
    np.testing.assert_array_equal(values, expected)
    assert (chans == -1).all()


def test_a_cut_keeps_rows_and_their_channels():
    table = {"entry": np.array([0, 0, 1, 1]), "channel": np.array([0, 1, 0, 1]),
             "charge": np.array([1.0, -4.0, 3.0, 9.0])}
    values, channels = expressions.select(table, expressions.parse("abs(charge) * 2"),
                                          expressions.parse("charge > 2 or charge < -3"))
    np.testing.assert_array_equal(values, [8.0, 6.0, 18.0])
    np.testing.assert_array_equal(channels, [1, 0, 1])
    with pytest.raises(ExpressionError, match="not a condition"):
        expressions.select(table, None, expressions.parse("charge * 2"))


def test_spe_fit_pulls_of_the_gain_are_standard_normal():
    need("iminuit")
    from vorn_tools.analysis.fits import fit_spe, generate_sipm

    truth = {"gain": 20.0, "mu": 1.2, "lam": 0.12}
    pulls = {"gain": [], "mu": [], "crosstalk": []}
    for seed in range(100):
        charges = generate_sipm(8000, truth["gain"], truth["mu"], truth["lam"], q0=3.0, sigma0=2.5,
                                sigma1=1.5, seed=seed)
        result, _ = fit_spe(charges)
        assert result.converged and result.valid and result.reasons == [], result.reasons
        pulls["gain"].append((result.extra["gain"] - truth["gain"]) / result.extra["gain_error"])
        pulls["mu"].append((result.values["mu"] - truth["mu"]) / result.errors["mu"])
        pulls["crosstalk"].append((result.values["lam"] - truth["lam"]) / result.errors["lam"])
    for name, values in pulls.items():
        assert abs(np.mean(values)) < 0.2 + 0.3 * (name != "gain"), name
        assert abs(np.std(values) - 1) < 0.2 + 0.3 * (name != "gain"), name


def _spectrum_or_peak(kind, entries, scale, seed):
    """Generated values of a spectrum (a gain of 40 units of `scale`) or of a Gaussian peak."""
    from vorn_tools.analysis.fits import generate_sipm

    if kind == "gauss":
        return np.random.default_rng(seed).normal(3.0 * scale, 0.7 * scale, entries)
    return scale * generate_sipm(entries, 40.0, 1.2, 0.12, q0=3.0, sigma0=2.5, sigma1=1.5, seed=seed)


def _fitted(kind, values):
    from vorn_tools.analysis.fits import fit_gauss, fit_spe

    return fit_gauss(values) if kind == "gauss" else fit_spe(values)


# Each example is a fit: a failing one is reported as found rather than shrunk fit by fit.
@settings(max_examples=12, deadline=None, phases=[Phase.explicit, Phase.reuse, Phase.generate])
@given(kind=st.sampled_from(["gauss", "spe"]), entries=st.sampled_from([300, 4000, 30_000]),
       scale=st.sampled_from([0.01, 7.0]), seed=st.integers(0, 2 ** 16))
def test_fit_curve_and_chi2_match_their_definitions(kind, entries, scale, seed):
    """The curve drawn is the expected count of each bin of the histogram drawn, in the histogram's own scale;
    chi2/ndf is Pearson's over the bins expecting 5 entries or more, ndf those bins less the free parameters."""
    need("iminuit")
    need("matplotlib")
    from vorn_tools.analysis.fit_plot import fit_figure

    result, plot = _fitted(kind, _spectrum_or_peak(kind, entries, scale, seed))
    counts, edges, cdf, parameters = plot["counts"], plot["edges"], plot["cdf"], plot["parameters"]
    expected = np.diff(cdf(edges, *parameters))
    # Extended likelihood, binned or with the normalization of the values in range: at its minimum as many
    # entries expected as counted.
    if result.converged:
        assert expected.sum() == pytest.approx(counts.sum(), rel=1e-3)

    ax = fit_figure(result, plot, "t", "x").axes[0]
    centres = 0.5 * (edges[1:] + edges[:-1])
    points = ax.containers[0].lines[0]
    np.testing.assert_array_equal(points.get_xdata(), centres)
    np.testing.assert_array_equal(points.get_ydata(), counts)
    curve = next(line for line in ax.lines if str(line.get_label()).startswith("fit"))
    x, y = curve.get_xdata(), curve.get_ydata()
    at = np.searchsorted(x, centres - 1e-9 * (edges[-1] - edges[0]))
    np.testing.assert_allclose(x[at], centres, rtol=0, atol=1e-9 * (edges[-1] - edges[0]))
    np.testing.assert_allclose(y[at], expected, rtol=1e-9, atol=1e-9 * counts.max())

    kept = expected >= 5
    free = sum(1 for name in result.values if result.errors[name] != 0)  # a parameter held fixed has no error
    assert (~kept).any() or kind == "gauss"  # a spectrum's tails expect fewer: the cut matters
    assert result.ndf == kept.sum() - free
    chi2 = np.sum((counts[kept] - expected[kept]) ** 2 / expected[kept])
    assert result.chi2_ndf == pytest.approx(chi2 / result.ndf, rel=1e-9)


def _constant(seed):
    return np.round(np.random.default_rng(seed).normal(0, 0.01, 5000))


@pytest.mark.parametrize("values, kind, reason", [
    (lambda: np.random.default_rng(2).exponential(50.0, 5000), "spe", "photoelectron peaks are not resolved"),
    (lambda: np.random.default_rng(2).normal(300.0, 80.0, 5000), "spe", "photoelectron peaks are not resolved"),
    (lambda: np.random.default_rng(4).uniform(218, 410, 20), "gauss", "20 entries are too few for 3 free"),
    (lambda: _spectrum_or_peak("spe", 20, 1.0, 3), "spe", "20 entries are too few for 7 free"),
    (lambda: _constant(5), "gauss", "sigma is at its limit"),
], ids=["exponential", "one-broad-peak", "20-values", "20-charges", "constant"])
def test_a_fit_that_cannot_be_used_says_why(values, kind, reason):
    need("iminuit")
    result, _ = _fitted(kind, values())
    assert not result.valid and any(reason in r for r in result.reasons), result.reasons


@pytest.mark.parametrize("kind, entries, seed", [("spe", 20_000, 1), ("spe", 600, 2), ("gauss", 5000, 3),
                                                 ("gauss", 20, 4), ("spe", 5000, -1)])
def test_legends_and_text_cover_neither_data_nor_each_other(kind, entries, seed):
    need("iminuit")
    need("matplotlib")
    from vorn_tools.analysis.fit_plot import fit_figure

    values = np.random.default_rng(0).exponential(50.0, entries) if seed < 0 else \
        _spectrum_or_peak(kind, entries, 1.0, seed)
    result, plot = _fitted(kind, values)
    fig = fit_figure(result, plot, "a title " * 30, "x", "pC")
    ax = fig.axes[0]
    renderer = fig.canvas.get_renderer()
    boxes = [ax.get_legend().get_window_extent(renderer)]
    boxes += [t.get_bbox_patch().get_window_extent(renderer) if t.get_bbox_patch() else t.get_window_extent(renderer)
              for t in ax.texts]
    assert len(boxes) == 2
    assert not boxes[0].overlaps(boxes[1])
    drawn = [ax.transData.transform(np.column_stack([line.get_xdata(), line.get_ydata()]))
             for line in [ax.containers[0].lines[0], *ax.lines]]
    points = np.concatenate(drawn)
    points = points[np.isfinite(points).all(axis=1)]
    for box in [*boxes, ax.title.get_window_extent(renderer)]:
        inside = (points[:, 0] >= box.x0) & (points[:, 0] <= box.x1) & (points[:, 1] >= box.y0) & \
            (points[:, 1] <= box.y1)
        assert not inside.any(), box
    assert not ax.title.get_window_extent(renderer).overlaps(boxes[0])


def test_average_is_the_mean_and_spread_of_the_selected_waveforms(tmp_path):
    from vorn_tools.analysis.average import average, shifted
    from vorn_tools.features import FeatureOptions, compute

    path = tmp_path / "pulses.dat"
    rng = np.random.default_rng(11)
    events, samples = 300, 64
    t = np.arange(samples)
    starts = rng.uniform(20, 30, events)
    heights = rng.choice([0.0, 80.0, 160.0], events)
    waves = 500 + rng.normal(0, 2, (events, samples)) + heights[:, None] * np.exp(
        -0.5 * ((t[None, :] - starts[:, None]) / 3.0) ** 2)
    data = np.rint(waves).astype("<u2")
    header = struct.Struct("<6i")
    with open(path, "wb") as out:
        for i in range(events):
            out.write(header.pack(24 + 2 * samples, 1, 0, 0, i, i))
            out.write(data[i].tobytes())
    options = FeatureOptions(polarity="positive", baseline=(0, 16))
    found = average([str(path)], options, expressions.parse("amplitude > 40"))
    chosen = data[compute(data, options)["amplitude"] > 40].astype(np.float64)
    mean, std, count = found.result(0)
    np.testing.assert_allclose(mean, chosen.mean(axis=0), rtol=1e-12)
    np.testing.assert_allclose(std, chosen.std(axis=0), rtol=1e-9, atol=1e-9)
    assert (count == len(chosen)).all() and found.waveforms[0] == len(chosen)
    # Shifting by a fraction interpolates between neighbours; what falls off an end is left out.
    row = np.arange(6, dtype=np.float64)[None, :] ** 2
    np.testing.assert_allclose(shifted(row, np.array([0.5]))[0], [0.5, 2.5, 6.5, 12.5, 20.5, np.nan])
    np.testing.assert_allclose(shifted(row, np.array([-2.0]))[0], [np.nan, np.nan, 0, 1, 4, 9])


@pytest.mark.parametrize("value_range", [None, (-1.0, 1.5)])
def test_a_fit_accounts_for_every_value_it_leaves_out(value_range):
    need("iminuit")
    from vorn_tools.analysis.fits import fit_gauss

    values = np.random.default_rng(3).normal(0, 1, 5000)
    values[::97] = np.nan
    result, _ = fit_gauss(values, value_range=value_range)
    low, high = value_range or (-np.inf, np.inf)
    finite = values[np.isfinite(values)]
    assert result.no_value == np.isnan(values).sum()
    assert result.entries + result.below + result.above + result.no_value == len(values)
    if value_range is not None:
        assert (result.below, result.above) == ((finite < low).sum(), (finite > high).sum())


_NAMES = ("amplitude", "charge", "baseline")


@st.composite
def _conditions(draw, depth=2):
    """The text of a condition over `_NAMES`: comparisons (chains too) joined by and, or, not, in brackets or not."""
    if depth == 0 or draw(st.booleans()):
        operands = draw(st.lists(st.sampled_from([*_NAMES, "-1", "0", "2", "2.5", "10"]), min_size=2, max_size=4))
        ops = draw(st.lists(st.sampled_from(["<", "<=", ">", ">=", "==", "!="]), min_size=len(operands) - 1,
                            max_size=len(operands) - 1))
        text = operands[0] + "".join(f" {op} {value}" for op, value in zip(ops, operands[1:]))
    else:
        kind = draw(st.sampled_from(["and", "or", "not"]))
        first = draw(_conditions(depth - 1))
        text = f"not {first}" if kind == "not" else f"{first} {kind} {draw(_conditions(depth - 1))}"
    return f"({text})" if draw(st.booleans()) else text


@settings(max_examples=300, deadline=None)
@given(text=_conditions(), values=st.lists(st.tuples(*[st.sampled_from([-1.0, 0.0, 1.0, 2.0, 2.5, 10.0, 11.0,
                                                                         float("nan")])] * 3),
                                          min_size=1, max_size=12))
def test_a_condition_keeps_the_rows_python_would(text, values):
    table = {name: np.array([row[k] for row in values]) for k, name in enumerate(_NAMES)}
    table["entry"], table["channel"] = np.arange(len(values)), np.zeros(len(values), np.int32)
    expected = [bool(eval(text, {"__builtins__": {}}, dict(zip(_NAMES, row)))) for row in values]
    assert expressions.selected_rows(table, expressions.parse(text, table)).tolist() == expected


def _moved(wave, shift):
    """The waveform moved left by `shift` samples, interpolated between neighbours; NaN off its ends."""
    at = np.arange(len(wave)) + shift
    inside = (at >= 0) & (at <= len(wave) - 1)
    return np.where(inside, np.interp(at, np.arange(len(wave)), wave), np.nan)


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), rows=st.integers(1, 40), samples=st.integers(2, 30),
       blocks=st.integers(1, 4))
def test_an_aligned_average_counts_only_the_samples_that_are_there(seed, rows, samples, blocks):
    from vorn_tools.analysis.average import Average, _add

    rng = np.random.default_rng(seed)
    waves = rng.normal(100, 20, (rows, samples))
    # Waveforms of different lengths, the missing samples NaN, aligned on times spread over the window.
    lengths = rng.integers(1, samples + 1, rows)
    waves[np.arange(samples)[None, :] >= lengths[:, None]] = np.nan
    times = rng.uniform(0, samples - 1, rows) * rng.choice([1.0, np.nan], rows, p=[0.9, 0.1])
    channels = rng.integers(0, 2, rows)
    keep = rng.random(rows) < 0.8
    found = Average()
    for part in np.array_split(np.arange(rows), blocks):
        _add(found, waves[part], channels[part], keep[part], times[part], "cfd")
    for channel in (0, 1):
        mine = keep & (channels == channel) & np.isfinite(times)
        if not mine.any():
            assert channel not in found.sum
            continue
        moved = np.array([_moved(waves[i], times[i] - found.target[channel]) for i in np.flatnonzero(mine)])
        mean, std, count = found.result(channel)
        assert count.tolist() == np.isfinite(moved).sum(axis=0).tolist()
        with warnings.catch_warnings():  # a sample no waveform covers: NaN, as the average has it
            warnings.simplefilter("ignore", RuntimeWarning)
            np.testing.assert_allclose(mean, np.nanmean(moved, axis=0), rtol=1e-9, atol=1e-9)
            np.testing.assert_allclose(std, np.nanstd(moved, axis=0), rtol=1e-6, atol=1e-6)
        assert found.waveforms[channel] == mine.sum()
        assert found.unaligned.get(channel, 0) == (keep & (channels == channel) & ~np.isfinite(times)).sum()
