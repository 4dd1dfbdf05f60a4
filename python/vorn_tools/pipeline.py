"""Blocks of events with their pulse features, measured while the next block is read.

`iterate` is `vorn_tools.reading.iterate` with two more arguments,
`features`: each block then also carries the features of its waveforms,
computed in the reading pipeline rather than in turn with the reading, so
that a plain loop over the blocks costs little more than the reading alone;
and `pulses`: each block then also carries every pulse of its waveforms.
"""

from __future__ import annotations

import threading
from collections.abc import Iterable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np
import numpy.typing as npt

from .feature_table import _measure, _prefetched
from .features import FEATURES, FeatureOptions, compute
from .pulse_table import PulseRows
from .pulses import PULSES, PulseOptions
from .reading import DEFAULT_STEP, EventBlock, iterate_files

HALF = 4096  # rows of the smallest half a block's features are split into, once reading is done
PARTS = 8  # the parts a block's features are measured in while the reading goes on


def iterate(paths: str | Iterable[str], step_size: int | str = DEFAULT_STEP, type: str = "auto",
            float32: bool = False, tick: str | float | None = None,
            features: FeatureOptions | None = None, pulses: PulseOptions | None = None) -> Iterator[EventBlock]:
    """Blocks of `step_size` events (or bytes) from each file in turn, as `vorn_tools.reading.iterate` reads them.

    With `features`, each block also carries the pulse features of its
    waveforms, named as in `FEATURES`: (events,) arrays, or (events,
    channels) for a WD2 file of several channels, with auto polarity decided
    per channel of each file as in a feature table. They are measured while
    the next block is read, in a second thread.

    With `pulses`, each block also has the key ``"pulses"``: every pulse
    of its waveforms as a structured array of one entry per pulse, ordered
    by event, channel and time, with the fields `PULSE_FIELDS` names:
    `entry` (the event's index in the file), `channel` (WD1: the event's
    `board_channel`; WD2: the channel's index), `pulse` (its index within
    the waveform) and the columns of `vorn_tools.pulses.find_pulses`, times
    in samples. Auto polarity is decided per channel of each file as for
    features. The pulses too are found while the next block is read.
    """
    blocks: Iterator[Any] = iterate_files(paths, step_size, type, float32, tick)
    if pulses is not None:
        blocks = with_pulses(blocks, pulses)
    return blocks if features is None else measured(blocks, features)


def measured(blocks: Iterable[Any], options: FeatureOptions) -> Iterator[Any]:
    """The blocks of `iterate`, each with the features of its waveforms added as columns.

    A block's features are measured while the next one is read; each is
    (events,), or (events, channels) for blocks of several channels. Auto
    polarity is decided once per channel of each file, from its first block
    that holds the channel. Once the reading is done, what is left to
    measure goes in two halves at once: nothing else needs the second core
    then.
    """
    decided: dict[str, dict[int, int]] = {}
    read = threading.Event()

    def reading() -> Iterator[Any]:
        yield from blocks
        read.set()

    with ThreadPoolExecutor(1, thread_name_prefix="vorn-features") as pool:
        def in_parts(rows: npt.NDArray[Any], options: FeatureOptions, offsets: npt.NDArray[Any] | None,
                     polarity: npt.NDArray[Any] | None) -> dict[str, np.ndarray]:
            # Uniform rows split anywhere; ragged rows, or auto polarity that would be decided from
            # each part's own rows, are measured whole. A block is measured in parts, so that when the
            # reading ends during one, what is left of it is measured in two halves at once.
            auto = polarity is None and options.polarity == "auto"
            if offsets is not None or auto or len(rows) < 2 * HALF:
                return compute(rows, options, offsets, polarity)

            def part(start: int, stop: int) -> dict[str, np.ndarray]:
                return compute(rows[start:stop], options, None, None if polarity is None else polarity[start:stop])

            parts: list[dict[str, np.ndarray]] = []
            at, step = 0, max(HALF, len(rows) // PARTS)
            while at < len(rows):
                if read.is_set() and len(rows) - at >= 2 * HALF:
                    half = (at + len(rows)) // 2
                    first = pool.submit(part, at, half)
                    second = part(half, len(rows))
                    parts += [first.result(), second]
                    break
                parts.append(part(at, min(at + step, len(rows))))
                at += step
            if len(parts) == 1:
                return parts[0]
            return {name: np.concatenate([done[name] for done in parts]) for name in parts[0]}

        for block in _prefetched(reading()):
            # The features alone: the rows of a table, with their repeated header values, are not needed.
            features, channels, _ = _measure(block, options, False, decided.setdefault(block.path, {}), in_parts)
            for name in FEATURES:
                values = features[name].reshape(-1)
                block.columns[name] = values.reshape(block.events, channels) if channels > 1 else values
            yield block


#: The fields of a block's ``"pulses"``, in order, with their dtypes.
PULSE_FIELDS: dict[str, type[np.generic]] = {
    "entry": np.int64, "channel": np.int32, **{name: dtype for name, dtype in PULSES.items() if name != "row"}}


def with_pulses(blocks: Iterable[Any], options: PulseOptions) -> Iterator[Any]:
    """The blocks of `iterate`, each with every pulse of its waveforms added as ``"pulses"``.

    A block's pulses are found while the next one is read. Auto polarity is
    decided once per channel of each file, from its first block that holds
    the channel.
    """
    decided: dict[str, dict[int, int]] = {}
    for block in _prefetched(blocks):
        rows = PulseRows()(block, options, None, block.file_entry_start, False, decided.setdefault(block.path, {}))
        found = np.empty(len(rows["entry"]), np.dtype(list(PULSE_FIELDS.items())))
        for name in PULSE_FIELDS:
            found[name] = rows[name]
        block.columns["pulses"] = found
        yield block
