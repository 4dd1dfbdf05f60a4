"""Time tags: counters that wrap, unwrapped into 64-bit time tags."""

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

from vorn_tools.timing import Unwrapper


@settings(max_examples=60, deadline=None)
@given(gaps=st.lists(st.integers(0, 2**31 - 1), min_size=1, max_size=300),
       start=st.integers(0, 2**40), flag=st.booleans(), cuts=st.lists(st.integers(0, 300), max_size=5))
def test_unwrapping_rebuilds_the_ticks(gaps, start, flag, cuts):
    ticks = start + np.cumsum(np.array(gaps, dtype=np.int64))
    # A board with the flag keeps 31 bits and sets bit 31 once the counter wrapped;
    # one without it counts on 32 bits. Either way the words are signed int32.
    if flag:
        words = (ticks % 2**31) | np.where(ticks >= 2**31, 1 << 31, 0)
    else:
        words = ticks % 2**32
    words = words.astype(np.uint32).view(np.int32)
    unwrap = Unwrapper(31)
    pieces = np.split(words, sorted(set(c for c in cuts if c < len(words))))
    got = np.concatenate([unwrap(piece) for piece in pieces])
    assert got.dtype == np.int64
    np.testing.assert_array_equal(got - got[0], ticks - ticks[0])
    assert got[0] == ticks[0] % 2**31
