"""Feature tables as Dask DataFrames: what building the frame finds of a file's events must be what reading finds."""

import numpy as np
import pytest

from cli_support import wd1_event, write
from needs import need


def _ending(path, cut):
    """WD1 events of 40 samples, then a last event that is `cut` short in one of the ways a file ends."""
    rng = np.random.default_rng(5)
    events = [wd1_event(rng.integers(0, 4000, 40), i) for i in range(10)]
    last = {"header": wd1_event(rng.integers(0, 4000, 40), 10)[:20],  # a header cut short: no event
            "payload": wd1_event(rng.integers(0, 4000, 80), 10)[:104],  # claims 184 bytes, as long as the others
            "shorter": wd1_event(rng.integers(0, 4000, 10), 10),  # whole, and shorter than the others
            "longer": wd1_event(rng.integers(0, 4000, 80), 10)}[cut]
    return str(write(path, *events, last))


@pytest.mark.parametrize("cut", ["header", "payload", "shorter", "longer"])
def test_the_frame_reads_a_files_last_event_as_reading_does(tmp_path, cut):
    need("dask.dataframe")
    pd = need("pandas")
    from vorn_tools import dask as vorn_dask
    from vorn_tools.blocks import BadFile
    from vorn_tools.feature_table import feature_tables
    from vorn_tools.features import FeatureOptions

    path = _ending(tmp_path / "events.wd1", cut)
    options = FeatureOptions(baseline=(0, 8))
    read, told = [], []
    try:
        table = pd.concat([pd.DataFrame(rows) for rows in feature_tables([path], options, step_size=4,
                                                                         ended=lambda _, e: read.append(e))])
    except BadFile as error:
        # Refused when the frame is made, in reading's words, rather than planned as a row it cannot give.
        with pytest.raises(BadFile) as caught:
            vorn_dask.features(path, options, 4)
        assert str(caught.value) == str(error)
        return
    frame = vorn_dask.features(path, options, 4, ended=lambda _, e: told.append(e))
    pd.testing.assert_frame_equal(frame.compute().reset_index(drop=True), table.reset_index(drop=True))
    assert [e.describe() for e in told] == [e.describe() for e in read]
