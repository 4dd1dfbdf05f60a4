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
