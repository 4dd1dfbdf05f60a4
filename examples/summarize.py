"""Summarise a WD1 or WD2 file: events, counters, timestamps, per-channel statistics.

    python examples/summarize.py                    # writes a small WD1 sample, lists and summarises it
    python examples/summarize.py FILE WD1|WD2
    python examples/summarize.py FILE WD1|WD2 --events   # also one line per event

Channels are the board_channel of WD1 events and the channel blocks of WD2
events (data holds `samples` values of channel 0, then of channel 1, ...).
"""

from __future__ import annotations

import argparse
import math
import sys
import tempfile
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, TextIO

import numpy as np
from numpy.typing import NDArray

import vorn
from sample_files import write_wd1

if TYPE_CHECKING:
    from vorn import AnyEvent


@dataclass
class ChannelStats:
    """Sample statistics that can be merged across events, files and machines."""

    events: int = 0
    samples: int = 0
    minimum: float = math.inf
    maximum: float = -math.inf
    mean: float = 0.0
    m2: float = 0.0  # sum of squared deviations from the mean

    def add(self, values: NDArray[Any]) -> None:
        self.events += 1
        if values.size:
            mean = float(values.mean(dtype=np.float64))
            m2 = float(values.var(dtype=np.float64)) * values.size
            self._merge(values.size, float(values.min()), float(values.max()), mean, m2)

    def merge(self, other: ChannelStats) -> None:
        self.events += other.events
        if other.samples:
            self._merge(other.samples, other.minimum, other.maximum, other.mean, other.m2)

    def _merge(self, n: int, minimum: float, maximum: float, mean: float, m2: float) -> None:
        # Chan et al.: exact to rounding whatever the order of the parts.
        total = self.samples + n
        delta = mean - self.mean
        self.mean += delta * n / total
        self.m2 += m2 + delta * delta * self.samples * n / total
        self.samples = total
        self.minimum = min(self.minimum, minimum)
        self.maximum = max(self.maximum, maximum)

    @property
    def std(self) -> float:
        return math.sqrt(self.m2 / self.samples) if self.samples else math.nan


@dataclass
class Summary:
    path: str
    reader_type: str
    events: int = 0
    samples: int = 0
    first_counter: int | None = None
    last_counter: int | None = None
    counter_gaps: int = 0  # places where the counter did not go up by one
    first_timestamp: int | None = None
    last_timestamp: int | None = None
    channels: dict[int, ChannelStats] = field(default_factory=dict)

    def channel(self, number: int) -> ChannelStats:
        return self.channels.setdefault(number, ChannelStats())


def channel_blocks(event: AnyEvent) -> Iterable[tuple[int, NDArray[Any]]]:
    """(channel, samples) pairs of one event."""
    if "board_channel" in event:  # WD1: one channel per event
        yield event["board_channel"], event["data"]
        return
    data, per_channel = event["data"], event["samples"]
    # The payload is sized by the file's channel count, which an event's own
    # "channels" word may contradict: trust the data.
    count = data.size // per_channel if per_channel else 0
    yield from enumerate(data[: count * per_channel].reshape(count, per_channel))


def summarize_events(events: Iterable[AnyEvent], summary: Summary, out: TextIO | None = None) -> Summary:
    for event in events:
        counter, timestamp = event["event_counter"], event["timestamp"]
        if summary.last_counter is None:
            summary.first_counter, summary.first_timestamp = counter, timestamp
        elif (counter - summary.last_counter) % 2**32 != 1:  # both formats wrap at 32 bits
            summary.counter_gaps += 1
        summary.last_counter, summary.last_timestamp = counter, timestamp
        summary.events += 1
        summary.samples += event["data"].size
        for number, values in channel_blocks(event):
            summary.channel(number).add(values)
        if out is not None:
            header = " ".join(f"{key}={value}" for key, value in event.items() if key != "data")
            data = event["data"]
            stats = f" min={data.min():.6g} max={data.max():.6g}" if data.size else ""
            print(f"{header} n={data.size}{stats}", file=out)
    return summary


def summarize_file(path: str, reader_type: str, out: TextIO | None = None) -> Summary:
    return summarize_events(vorn.EventReader(path, reader_type), Summary(path, reader_type), out)


def print_summary(summary: Summary, out: TextIO = sys.stdout) -> None:
    print(f"{summary.path} ({summary.reader_type}): {summary.events} events, {summary.samples} samples", file=out)
    if summary.first_counter is not None:
        print(f"event_counter {summary.first_counter} .. {summary.last_counter}", file=out)
        print(f"timestamp {summary.first_timestamp} .. {summary.last_timestamp}", file=out)
    print(f"counter gaps {summary.counter_gaps}", file=out)
    print(f"{'channel':>7} {'events':>7} {'samples':>10} {'min':>10} {'max':>10} {'mean':>12} {'std':>12}", file=out)
    for number, s in sorted(summary.channels.items()):
        print(
            f"{number:>7} {s.events:>7} {s.samples:>10} {s.minimum:>10.6g} {s.maximum:>10.6g}"
            f" {s.mean:>12.6g} {s.std:>12.6g}",
            file=out,
        )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", nargs="?", help="event file (default: a generated WD1 sample)")
    parser.add_argument("reader_type", nargs="?", choices=["WD1", "WD2"])
    parser.add_argument("--events", action="store_true", help="print one line per event")
    args = parser.parse_args(argv)
    if args.file is None:
        with tempfile.TemporaryDirectory() as tmp:
            sample = Path(tmp) / "sample.wd1"
            write_wd1(sample)
            print_summary(summarize_file(str(sample), "WD1", sys.stdout))
        return 0
    out = sys.stdout if args.events else None
    if args.reader_type is None:
        parser.error("give the reader type, WD1 or WD2, after the file")
    print_summary(summarize_file(args.file, args.reader_type, out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
