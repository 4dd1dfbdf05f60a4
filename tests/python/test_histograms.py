"""Histograms that add: filled in parts, merged over grown axes, and rates over time.

They need boost-histogram (`pip install '.[hist]'`); without it these tests
skip, unless VORN_CLI_TESTS=required.
"""

import numpy as np
import pytest

from needs import need


@pytest.mark.parametrize("width", [0.25, 0.001])
def test_histograms_filled_in_parts_add_up(width):
    need("boost_histogram")
    from vorn_tools import histograms

    rng = np.random.default_rng(5)
    values = rng.normal(0, 40, (2000, 3))
    values[::97, 1] = np.nan

    def filled(part):
        return histograms.fill(histograms.histogram(50, -100, 100, 3, "amplitude", "mV"), part)

    whole = filled(values)
    added = filled(values[:777]) + filled(values[777:])
    np.testing.assert_array_equal(added.values(flow=True), whole.values(flow=True))
    assert whole.values(flow=True).sum() == np.count_nonzero(~np.isnan(values))
    # Recordings of different lengths, read in blocks, grow their time axes
    # apart: for a width that is no binary fraction their widths then differ
    # in the last bit.
    recordings = [np.sort(rng.uniform(0, span, n)) for span, n in ((30, 3000), (4.1, 500))]
    parts = []
    for times in recordings:
        part = histograms.time_histogram(width)
        for block in np.array_split(times, 7):
            histograms.fill(part, block)
        parts.append(part)
    merged = histograms.merge(parts)
    at_once = histograms.fill(histograms.time_histogram(width), np.concatenate(recordings))
    assert len(merged.axes[0]) == len(at_once.axes[0])
    np.testing.assert_allclose(merged.axes[0].edges, at_once.axes[0].edges, rtol=0, atol=width * 1e-9)
    np.testing.assert_array_equal(merged.values(flow=True), at_once.values(flow=True))


@pytest.mark.parametrize("first, interval, events, width", [
    (0.0, 1.4e-4, 293, 1.0),  # 41 ms of events in a bin of a second
    (3.7, 1e-3, 2000, 0.3),  # 1 kHz, starting and ending part-way through bins
    (1e-5, 1e-3, 31, 0.01),  # the last event just past a bin's edge, alone in its bin
])
def test_a_regular_recording_shows_its_rate_in_every_bin(first, interval, events, width):
    need("boost_histogram")
    from vorn_tools import histograms

    times = first + interval * np.arange(events)
    series = histograms.Series(histograms.growing_histogram(width, np.floor(first / width) * width))
    for block in np.array_split(times, 3):
        series.fill(block)
    rate = (events - 1) / (times[-1] - times[0])
    counts, cover, heights = series.hist.values(), series.cover(), series.heights()
    assert counts.sum() == events and np.all(cover[counts > 0] > 0)
    # Partial bins included, a bin is off the rate by less than one event
    # over the time it covers...
    assert np.all(np.abs(heights - rate)[cover > 0] * cover[cover > 0] <= 1 + 1e-9)
    # ...and no event alone in a sliver of a bin reads as a spike.
    assert np.all(heights[counts > 0] <= 2 * rate * (1 + 1e-9))


@pytest.mark.parametrize("first, span, events, bins, width", [
    (0.0, 0.041, 288, 100, None),  # a short recording: bins of half a millisecond, not one of a second
    (12.5, 3.6e4, 5000, 100, None),  # ten hours, counted first in the bins of its first minutes
    (1.7e7, 2e-3, 400, 30, None),  # a late start, far larger than the span
    (3.0, 250.0, 3000, 5000, None),
    (3.0, 250.0, 3000, 0, 0.7),  # a width given, not a round one
])
def test_times_are_counted_in_round_bins_over_their_span(first, span, events, bins, width):
    """Whatever the blocks, the bins span the times, of a width of 1, 2 or 5 times a power of ten giving the
    number of bins nearest to that asked for, or of the width given, and hold every time in its bin."""
    need("boost_histogram")
    from vorn_tools import histograms

    rng = np.random.default_rng(events)
    times = first + np.sort(rng.uniform(0, span, events))
    series = histograms.Series(None, times=histograms.TimeBins(bins, "--bins", width))
    for block in np.split(times, np.sort(rng.choice(np.arange(1, events), 6, replace=False))):
        series.fill(block)
    series.settle()
    edges = np.asarray(series.hist.axes[0].edges)
    step = (edges[-1] - edges[0]) / (len(edges) - 1)
    # Edges far from 0 are as exact as their floats.
    np.testing.assert_allclose(np.diff(edges), step, rtol=1e-9, atol=4 * np.spacing(np.abs(edges).max()))
    assert edges[0] <= times[0] and times[-1] < edges[-1] and edges[1] > times[0] and edges[-2] <= times[-1]
    if width is None:
        power = 10 ** np.floor(np.log10(step) + 1e-9)
        mantissa = min((1, 2, 5), key=lambda m: abs(step / power - m))
        assert abs(step / power - mantissa) < 1e-6
        step = mantissa * power
        # No other round width gives a number of bins nearer to that asked for.
        assert abs(np.log((times[-1] - times[0]) / step / bins)) <= np.log(2.5) / 2 + 1e-9
    else:
        assert step == pytest.approx(width)
        step = width
    # Bins of one width line up, counted from 0 s.
    assert abs(edges[0] / step - round(edges[0] / step)) < 1e-9 * max(1.0, abs(edges[0] / step))
    expected, _ = np.histogram(times, edges)
    np.testing.assert_array_equal(series.hist.values(), expected)
    assert series.entries() == events
