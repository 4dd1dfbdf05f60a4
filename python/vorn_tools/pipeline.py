"""Blocks of events with their pulse features, measured while the next block is read.

`iterate` is `vorn_tools.reading.iterate` with two more arguments,
`features`: each block then also carries the features of its waveforms,
computed in the reading pipeline rather than in turn with the reading, so
that a plain loop over the blocks costs little more than the reading alone;
and `pulses`: each block then also carries every pulse of its waveforms.
"""

from __future__ import annotations

import contextlib
import threading
from collections.abc import Iterable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any

import numpy as np
import numpy.typing as npt

from . import sizes
from ._clipping import Clipping, full_scale_of
from .features import FEATURES, POLARITY_EVENTS, FeatureOptions, Unfit, compute, decide_polarity, flat_rows, windows
from .formats import Layout
from ._overlap import read_ahead
from ._pulse_table import PulseRows
from .pulses import PULSES, PulseOptions
from .reading import EventBlock, Filled, iterate_files
from ._rows import Table, block_rows, measure_rows, row_channels

__all__ = ["PULSE_FIELDS", "iterate"]

HALF = 4096  # rows of the smallest half a block's features are split into, once reading is done
PARTS = 8  # the parts a block's features are measured in while the reading goes on


def iterate(paths: str | Iterable[str], step_size: int | str = sizes.ITERATE_STEP, type: str = "auto",
            float32: bool = False, tick: str | float | None = None,
            features: FeatureOptions | None = None, pulses: PulseOptions | None = None) -> Iterator[EventBlock]:
    """Blocks of `step_size` events (or bytes) from each file in turn, as `vorn_tools.reading.iterate` reads them.

    With `features`, each block also carries the pulse features of its
    waveforms, named as in `FEATURES`: (events,) arrays, or (events,
    channels) for a WD2 file of several channels, with auto polarity decided
    per channel of each file as in a feature table. They are measured while
    the next block is read, in a second thread. `saturated` flags clipped
    samples as a feature table does (see `vorn_tools._clipping`). A window
    that does not fit a block of events of one length raises ValueError; in
    a block of events of different lengths it is clipped to those it does
    not fit, which the block's `unfit` (a `vorn_tools.features.Unfit`)
    counts and names.

    With `pulses`, each block also has the key ``"pulses"``: every pulse
    of its waveforms as a structured array of one entry per pulse, ordered
    by event, channel and time, with the fields `PULSE_FIELDS` names:
    `entry` (the event's index in the file), `channel` (WD1: the event's
    `board_channel`; WD2: the channel's index), `pulse` (its index within
    the waveform) and the columns of `vorn_tools.pulses.find_pulses`, times
    in samples. Auto polarity is decided per channel of each file as for
    features. The pulses too are found while the next block is read.
    """
    live = None if features is None else Live(features)
    blocks: Iterator[Any] = iterate_files(paths, step_size, type, float32, tick,
                                          filled=None if live is None else live.filled_in)
    if pulses is not None:
        blocks = with_pulses(blocks, pulses)
    return blocks if features is None else measured(blocks, features, live)


class Live:
    """The features of a block's rows measured as the reader fills them in, while they are in the cache.

    The reader calls the function `filled_in(path, layout)` returns with
    each part of a block it has read; while `start` lends it a pool, the
    part is measured there, as `measure_rows` measures a block. `take` hands
    the parts of a block over, or None when they do not cover it. Auto polarity is decided
    as `measure_rows` decides it, from a channel's first POLARITY_EVENTS rows in
    the file's first block: as soon as they are read, for the channels that
    have that many there. Parts with a channel not decided yet are left to
    the block's own measuring, which decides it from the block as a whole.
    """

    def __init__(self, options: FeatureOptions) -> None:
        self.options = options
        self.decided: dict[str, dict[int, int]] = {}  # path -> channel -> polarity, as `measure_rows` decides them
        self._pool: ThreadPoolExecutor | None = None
        # id of a block's sample array -> the array, and its parts (start, stop, their features and channels)
        self._parts: dict[int, tuple[Any, list[tuple[int, int, Future[tuple[Table, int, Any]]]]]] = {}

    @contextlib.contextmanager
    def start(self, pool: ThreadPoolExecutor) -> Iterator[None]:
        self._pool = pool
        try:
            yield
        finally:
            self._pool = None
            self._parts.clear()

    def filled_in(self, path: str, layout: Layout) -> Filled:
        decided = self.decided.setdefault(path, {})
        wd2 = layout.reader_type == "WD2" and layout.channels >= 2

        def as_block(data: npt.NDArray[Any], headers: dict[str, npt.NDArray[Any]], start: int,
                     stop: int) -> dict[str, npt.NDArray[Any]]:
            # Rows [start, stop) as the block will show them (see reading.public_columns): a WD2 event
            # of K channels is K rows.
            rows = data[start:stop]
            part = {"data": rows.reshape(len(rows), layout.channels, -1) if wd2 else rows,
                    "time_tag": np.empty(len(rows))}
            if "board_channel" in headers:
                part["board_channel"] = headers["board_channel"][start:stop]
            return part

        def filled(data: npt.NDArray[Any], headers: dict[str, npt.NDArray[Any]], start: int, stop: int,
                   before: int) -> None:
            pool = self._pool
            if pool is None:
                return
            auto = self.options.polarity == "auto"
            if auto and before == 0:
                decide(as_block(data, headers, 0, stop))
            # A block's parts are measured from its first on without a gap, or not at all.
            earlier = self._parts.get(id(data))
            if start > 0 and (earlier is None or earlier[1][-1][1] != start):
                return
            part = as_block(data, headers, start, stop)
            if auto and not set(np.unique(row_channels(part, False)[1]).tolist()) <= set(decided):
                return
            try:
                measuring = pool.submit(measure_rows, part, self.options, False, decided)
            except RuntimeError:  # the pool is shut down: the iteration is over
                return
            self._parts.setdefault(id(data), (data, []))[1].append((start, stop, measuring))

        def decide(first: dict[str, npt.NDArray[Any]]) -> None:
            # The rows of the file's first block read so far: a channel with POLARITY_EVENTS rows among
            # them is decided as the whole block would decide it.
            row_channel = row_channels(first, False)[1]
            found, counts = np.unique(row_channel, return_counts=True)
            ready = [c for c, n in zip(found.tolist(), counts.tolist()) if n >= POLARITY_EVENTS and c not in decided]
            if ready:
                rows = flat_rows(first["data"])
                chosen = decide_polarity(rows, self.options, None, row_channel)
                for c in ready:
                    decided.setdefault(c, chosen[c])

        return filled

    def take(self, block: Any) -> tuple[Table, int] | None:
        """The features of a block's rows and its channels per event, if its parts cover it."""
        data = block["data"]
        array = data if data.base is None else data.base
        found = self._parts.pop(id(array), None)
        if found is None or found[0] is not array:
            return None
        parts = found[1]
        if [p[0] for p in parts] != [0] + [p[1] for p in parts[:-1]] or parts[-1][1] != block.events:
            return None
        done = [p[2].result() for p in parts]
        features = {name: np.concatenate([d[0][name] for d in done]) for name in done[0][0]}
        return features, done[0][1]


def measured(blocks: Iterable[Any], options: FeatureOptions, live: Live | None = None) -> Iterator[Any]:
    """The blocks of `iterate`, each with the features of its waveforms added as columns.

    A block's features are measured while the next one is read; each is
    (events,), or (events, channels) for blocks of several channels. Auto
    polarity is decided once per channel of each file, from its first block
    that holds the channel. Once the reading is done, what is left to
    measure goes in two halves at once: nothing else needs the second core
    then.
    """
    live = Live(options) if live is None else live
    read = threading.Event()

    def reading() -> Iterator[Any]:
        yield from blocks
        read.set()

    pool = ThreadPoolExecutor(1, thread_name_prefix="vorn-features")
    clippings: dict[str, Clipping] = {}  # path -> the full scale of its channels, and what is clipped
    fitting = bool(windows(options))
    try:
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

        def measure(block: Any) -> None:
            # The features alone: the rows of a table, with their repeated header values, are not needed.
            taken = live.take(block)
            if taken is None:
                features, channels, _ = measure_rows(block, options, False, live.decided.setdefault(block.path, {}),
                                                     in_parts)
            else:
                features, channels = taken
            # Clipped samples and windows clipped to events, as a feature table finds them.
            rows, offsets, _, row_channel = block_rows(block, False)
            clipping = clippings.setdefault(block.path, Clipping(full_scale_of(options), options.baseline))
            clipping.decide(rows, offsets, row_channel)
            # The kernel flags the samples at the type's limits and at adc_max; a plateau below them takes a look.
            exact = clipping.adc_max() in (None, options.adc_max)
            saturated = features["saturated"].reshape(-1)
            features["saturated"] = clipping.add(rows, offsets, row_channel, saturated if exact else None) | saturated
            block.unfit = Unfit()
            if offsets is not None and fitting:
                first = block.file_entry_start
                block.unfit.add(options, np.diff(offsets.astype(np.int64)),
                                np.repeat(np.arange(first, first + block.events, dtype=np.int64), channels))
            for name in FEATURES:
                values = features[name].reshape(-1)
                block.columns[name] = values.reshape(block.events, channels) if channels > 1 else values

        with live.start(pool), contextlib.closing(read_ahead(reading())) as ahead:
            for block in ahead:
                measure(block)
                yield block
    finally:
        # Parts still queued for blocks nobody will take are dropped, not waited for.
        pool.shutdown(cancel_futures=True)


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
    for block in read_ahead(blocks):
        rows = PulseRows()(block, options, None, block.file_entry_start, False, decided.setdefault(block.path, {}))
        found = np.empty(len(rows["entry"]), np.dtype(list(PULSE_FIELDS.items())))
        for name in PULSE_FIELDS:
            found[name] = rows[name]
        block.columns["pulses"] = found
        yield block
