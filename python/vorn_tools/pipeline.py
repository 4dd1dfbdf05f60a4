"""Blocks of events with their pulse features, measured while the next block is read.

`iterate` is `vorn_tools.reading.iterate` with one more argument,
`features`: each block then also carries the features of its waveforms,
computed in the reading pipeline rather than in turn with the reading, so
that a plain loop over the blocks costs little more than the reading alone.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import Any

from .feature_table import _measure, _prefetched
from .features import FEATURES, FeatureOptions
from .reading import DEFAULT_STEP, EventBlock, iterate_files


def iterate(paths: str | Iterable[str], step_size: int | str = DEFAULT_STEP, type: str = "auto",
            float32: bool = False, tick: str | float | None = None,
            features: FeatureOptions | None = None) -> Iterator[EventBlock]:
    """Blocks of `step_size` events (or bytes) from each file in turn, as `vorn_tools.reading.iterate` reads them.

    With `features`, each block also carries the pulse features of its
    waveforms, named as in `FEATURES`: (events,) arrays, or (events,
    channels) for a WD2 file of several channels, with auto polarity decided
    per channel of each file as in a feature table. They are measured while
    the next block is read, in a second thread.
    """
    blocks = iterate_files(paths, step_size, type, float32, tick)
    return blocks if features is None else measured(blocks, features)


def measured(blocks: Iterable[Any], options: FeatureOptions) -> Iterator[Any]:
    """The blocks of `iterate`, each with the features of its waveforms added as columns.

    A block's features are measured while the next one is read; each is
    (events,), or (events, channels) for blocks of several channels. Auto
    polarity is decided once per channel of each file, from its first block
    that holds the channel.
    """
    decided: dict[str, dict[int, int]] = {}
    for block in _prefetched(blocks):
        # The features alone: the rows of a table, with their repeated header values, are not needed.
        features, channels, _ = _measure(block, options, False, decided.setdefault(block.path, {}))
        for name in FEATURES:
            values = features[name].reshape(-1)
            block.columns[name] = values.reshape(block.events, channels) if channels > 1 else values
        yield block
