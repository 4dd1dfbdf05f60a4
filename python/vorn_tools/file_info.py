"""What a file holds, computed a block of events at a time: the report of `vorn info`."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, TextIO

import numpy as np
from numpy.typing import NDArray

from .blocks import Block, Ending, EventBlocks, Selection
from .formats import Layout, look_like_float_halves
from .rates import ChannelRates
from .timing import TIME_TAG_BITS

__all__ = ["FileInfo", "scan"]


@dataclass
class ChannelStats:
    samples: int = 0
    minimum: float | int | None = None
    maximum: float | int | None = None
    total: float | int = 0

    @property
    def mean(self) -> float | None:
        return self.total / self.samples if self.samples else None

    def add(self, samples: int, minimum: Any, maximum: Any, total: Any) -> None:
        self.samples += samples
        self.minimum = minimum if self.minimum is None else min(self.minimum, minimum)
        self.maximum = maximum if self.maximum is None else max(self.maximum, maximum)
        self.total += total


@dataclass
class FileInfo:
    path: str
    layout: Layout
    float32: bool = False
    events: int = 0
    shortest: int | None = None  # samples per event
    longest: int | None = None
    first_counter: int | None = None
    last_counter: int | None = None
    counter_gaps: int = 0  # places where the counter does not go up by one, modulo 2**32
    first_timestamp: int | None = None
    last_timestamp: int | None = None
    lowest_timestamp: int | None = None
    highest_timestamp: int | None = None
    sampling_periods: set[int] = field(default_factory=set)
    boards: set[int] = field(default_factory=set)
    board_channels: set[int] = field(default_factory=set)
    # WD1: keyed by (board_id, board_channel); WD2: by channel block.
    channels: dict[Any, ChannelStats] = field(default_factory=dict)
    ending: Ending | None = None
    float32_hint: bool = False  # the samples look like the halves of floats, and --float32 was not given
    tick: float | None = None  # seconds: with it, the trigger rate of each channel
    rates: ChannelRates | None = None

    def __post_init__(self) -> None:
        if self.tick is not None:
            self.rates = ChannelRates(self.tick, TIME_TAG_BITS if self.layout.reader_type == "WD1" else None)

    def add(self, block: Block) -> None:
        if not block.events:
            return
        heads = block.headers
        lengths = block.event_lengths()
        self.events += block.events
        self.shortest = _low(self.shortest, int(lengths.min()))
        self.longest = _high(self.longest, int(lengths.max()))
        counters = heads["event_counter"].astype(np.int64)
        if self.last_counter is not None:
            self.counter_gaps += (int(counters[0]) - self.last_counter) % 2**32 != 1
        else:
            self.first_counter = int(counters[0])
            self.first_timestamp = int(heads["timestamp"][0])
        self.counter_gaps += int(np.count_nonzero(np.diff(counters) % 2**32 != 1))
        self.last_counter = int(counters[-1])
        self.last_timestamp = int(heads["timestamp"][-1])
        self.lowest_timestamp = _low(self.lowest_timestamp, int(heads["timestamp"].min()))
        self.highest_timestamp = _high(self.highest_timestamp, int(heads["timestamp"].max()))
        if self.layout.reader_type == "WD1":
            self.boards.update(np.unique(heads["board_id"]).tolist())
            self.board_channels.update(np.unique(heads["board_channel"]).tolist())
        else:
            self.sampling_periods.update(np.unique(heads["sampling_period"]).tolist())
        self._add_samples(block)
        if self.rates is not None:
            self.rates.add(heads["timestamp"], self._holding(block))

    def _holding(self, block: Block) -> dict[Any, NDArray[np.bool_]]:
        """Per channel, the events of the block that hold it: a WD1 event holds its board's channel,
        a WD2 event each of its channels that has samples."""
        heads = block.headers
        if self.layout.reader_type == "WD1":
            keys = (heads["board_id"].astype(np.int64) << 32) | (heads["board_channel"].astype(np.int64)
                                                                  & 0xFFFFFFFF)
            return {(key >> 32, _int32(key & 0xFFFFFFFF)): keys == key for key in np.unique(keys).tolist()}
        present = block.event_lengths() > 0
        return {channel: present for channel in range(max(self.layout.channels, 0))}

    def _add_samples(self, block: Block) -> None:
        keys, counts, minima, maxima, sums = self._reductions(block)
        if not keys.size:
            return
        unique, inverse = np.unique(keys, return_inverse=True)
        for i, key in enumerate(unique.tolist()):
            chosen = inverse == i
            name = (key >> 32, _int32(key & 0xFFFFFFFF)) if self.layout.reader_type == "WD1" else key
            self.channels.setdefault(name, ChannelStats()).add(
                int(counts[chosen].sum()), minima[chosen].min().item(), maxima[chosen].max().item(),
                sums[chosen].sum().item())

    def _reductions(self, block: Block) -> tuple[NDArray[np.int64], NDArray[np.int64], NDArray[Any], NDArray[Any],
                                                 NDArray[Any]]:
        """Sample count, min, max and sum of every (event, channel) segment that has samples, with its key."""
        heads, data = block.headers, block.data
        total = np.float64 if data.dtype.kind == "f" else np.uint64
        if self.layout.reader_type == "WD1":
            per_event = (heads["board_id"].astype(np.int64) << 32) | (heads["board_channel"].astype(np.int64)
                                                                        & 0xFFFFFFFF)
            channels = 1
        else:
            per_event = np.zeros(block.events, dtype=np.int64)
            channels = max(self.layout.channels, 0)
        lengths = block.event_lengths()
        segment = lengths // channels if channels else np.zeros_like(lengths)
        if block.lengths is None:
            width = int(segment[0]) if segment.size else 0
            if not width:
                return (np.empty(0, np.int64),) * 5
            rows = data.reshape(block.events * channels, width)
            keys = per_event.repeat(channels) + np.tile(np.arange(channels), block.events)
            return (keys, np.full(keys.size, width), rows.min(axis=1), rows.max(axis=1),
                    rows.sum(axis=1, dtype=total))
        keys = per_event.repeat(channels) + np.tile(np.arange(channels), block.events)
        sizes = segment.repeat(channels)
        starts = np.concatenate(([0], np.cumsum(sizes)[:-1]))
        present = sizes > 0
        keys, sizes, starts = keys[present], sizes[present], starts[present]
        if not keys.size:
            return (np.empty(0, np.int64),) * 5
        # Each reduceat segment runs to the next start: empty segments are gone,
        # so that is exactly the segment's own samples.
        return (keys, sizes, np.minimum.reduceat(data, starts), np.maximum.reduceat(data, starts),
                np.add.reduceat(data, starts, dtype=total))

    def _per_channel(self) -> tuple[int, int]:
        """WD2 samples per channel, shortest and longest: an event holds that many for every channel."""
        channels = max(self.layout.channels, 1)
        return (self.shortest or 0) // channels, (self.longest or 0) // channels

    def as_dict(self) -> dict[str, Any]:
        wd1 = self.layout.reader_type == "WD1"
        ending = self.ending
        document: dict[str, Any] = {
            "path": self.path,
            "type": self.layout.reader_type,
        }
        if wd1:
            document["float32"] = self.float32
        else:
            document["channels"] = self.layout.channels
            document["channel_word"] = self.layout.channel_word
        document["events"] = self.events
        document["samples_per_event"] = {"min": self.shortest, "max": self.longest}
        if not wd1:
            low, high = self._per_channel()
            document["samples_per_channel"] = {"min": low, "max": high}
        document.update({
            "event_counter": {"first": self.first_counter, "last": self.last_counter, "gaps": self.counter_gaps},
            "timestamp": {"first": self.first_timestamp, "last": self.last_timestamp,
                          "min": self.lowest_timestamp, "max": self.highest_timestamp},
        })
        if wd1:
            document["board_ids"] = sorted(self.boards)
            document["board_channels"] = sorted(self.board_channels)
        else:
            document["sampling_period"] = sorted(self.sampling_periods)
        document["samples"] = [
            {**({"board_id": key[0], "board_channel": key[1]} if wd1 else {"channel": key}),
             "samples": s.samples, "min": _number(s.minimum), "max": _number(s.maximum), "mean": _number(s.mean)}
            for key, s in sorted(self.channels.items())
        ]
        if self.rates is not None:
            document["tick_seconds"] = self.tick
            document["trigger_rate"] = [
                {**({"board_id": key[0], "board_channel": key[1]} if wd1 else {"channel": key}), **rate.as_dict()}
                for key, rate in sorted(self.rates.rates().items())]
            if wd1:
                document["time_tags_back"] = self.rates.steps_back
        if ending is not None:
            document.update(ending.as_dict())
        return document

    def _rate_rows(self, wd1: bool) -> list[tuple[str, str]]:
        """A row per channel with its trigger rate; without a tick, how to get it."""
        if self.rates is None:
            return [("trigger rate", "pass --tick, the board's clock tick (for example --tick 8ns)")]
        rows: list[tuple[str, str]] = []
        for key, rate in sorted(self.rates.rates().items()):
            name = f"board {key[0]} channel {key[1]}" if wd1 else f"channel {key}"
            span = f", {rate.triggers:,} triggers over {rate.seconds:.6g} s" if rate.known else ""
            rows.append(("trigger rate" if not rows else "", f"{name}: {rate.text()}{span}"))
        return rows

    def print(self, out: TextIO) -> None:
        doc = self.as_dict()
        wd1 = self.layout.reader_type == "WD1"
        if wd1:
            kind = "WD1, samples read as float32" if self.float32 else "WD1"
        else:
            word = "with" if self.layout.channel_word else "without"
            kind = f"WD2, {self.layout.channels} channel{'s' * (self.layout.channels != 1)}, {word} the channels word"
        rows = [("format", kind), ("events", f"{self.events:,}")]
        if self.events:
            rows.append(("samples per event", f"{self.shortest:,} .. {self.longest:,}"))
            if not wd1:
                low, high = self._per_channel()
                rows.append(("samples per channel", f"{low:,} .. {high:,}"))
            rows += [
                ("event_counter", f"{self.first_counter} .. {self.last_counter},"
                                  f" {self.counter_gaps:,} gap{'' if self.counter_gaps == 1 else 's'}"),
                ("timestamp", f"{self.first_timestamp} .. {self.last_timestamp}"
                              f" (min {self.lowest_timestamp}, max {self.highest_timestamp})"),
            ]
            if wd1:
                rows += [("board ids", _list(doc["board_ids"])), ("board_channels", _list(doc["board_channels"]))]
            else:
                rows.append(("sampling_period", _list(doc["sampling_period"])))
            rows += self._rate_rows(wd1)
        if self.ending is not None:
            rows.append(("bytes read", f"{self.ending.bytes_read:,} of {self.ending.file_size:,}"))
            rows.append(("ended", self.ending.describe()))
        print(f"{self.path}", file=out)
        for name, value in rows:
            print(f"  {name:<20} {value}", file=out)
        if doc["samples"]:
            head = ("board", "channel") if wd1 else ("channel",)
            print("  " + " ".join(f"{h:>8}" for h in head)
                  + f" {'samples':>12} {'min':>12} {'max':>12} {'mean':>12}", file=out)
            for entry in doc["samples"]:
                keys = [entry["board_id"], entry["board_channel"]] if wd1 else [entry["channel"]]
                print("  " + " ".join(f"{k:>8}" for k in keys) + f" {entry['samples']:>12,}"
                      + "".join(f" {_text(entry[k]):>12}" for k in ("min", "max", "mean")), file=out)


def scan(path: str, layout: Layout, float32: bool, progress: Any = None,
         selection: Selection = Selection(), tick: float | None = None) -> FileInfo:
    """Read the file, or the selected events; a read error is recorded in `ending`, BadFile raised.

    With `tick` (seconds), the trigger rate of each channel from the timestamps as well."""
    blocks = EventBlocks(path, layout, float32, selection=selection)
    info = FileInfo(path, layout, blocks.float32, tick=tick)
    for block in blocks:
        if not info.events and layout.reader_type == "WD1" and not float32:
            info.float32_hint = look_like_float_halves(block.data)
        info.add(block)
        if progress is not None:
            progress.update(int(block.sizes.sum()), block.events)
    info.ending = blocks.ending
    return info


def _low(a: int | None, b: int) -> int:
    return b if a is None else min(a, b)


def _high(a: int | None, b: int) -> int:
    return b if a is None else max(a, b)


def _int32(value: int) -> int:
    return value - 2**32 if value >= 2**31 else value


def _number(value: float | int | None) -> float | int | None:
    """JSON has no NaN or infinities."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def _text(value: float | int | None) -> str:
    if value is None:
        return "-"
    return f"{value:.6g}" if isinstance(value, float) else str(value)


def _list(values: list[int], limit: int = 12) -> str:
    shown = ", ".join(str(v) for v in values[:limit])
    return shown + (f", ... ({len(values)} in all)" if len(values) > limit else "")
