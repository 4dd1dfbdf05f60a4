"""Plot the first waveforms of a WD1 or WD2 file to a PNG (needs matplotlib).

    python examples/plot_waveforms.py                          # a generated WD2 sample
    python examples/plot_waveforms.py FILE WD1|WD2 [-n 4] [-o waveforms.png]

WD1 waveforms are drawn against the sample index, WD2 waveforms against time
(sample index times sampling_period), one line per event and channel.
"""

from __future__ import annotations

import argparse
import itertools
import sys
import tempfile
from pathlib import Path
from typing import TYPE_CHECKING

import matplotlib

matplotlib.use("Agg")  # no display needed; must precede the pyplot import

import matplotlib.pyplot as plt
import numpy as np
from matplotlib.axes import Axes
from matplotlib.figure import Figure

import vorn
from sample_files import write_wd2

if TYPE_CHECKING:
    from vorn import AnyEvent

SIZE_INCHES = (8.0, 4.5)
DPI = 100


def plot_event(ax: Axes, event: AnyEvent) -> None:
    if "board_channel" in event:
        label = f"event {event['event_counter']}, channel {event['board_channel']}"
        ax.plot(event["data"], label=label, linewidth=0.8)
        return
    per_channel, period = event["samples"], event["sampling_period"]
    if per_channel == 0:
        return
    blocks = event["data"].reshape(-1, per_channel)
    time = np.arange(per_channel) * period
    for channel, block in enumerate(blocks):
        ax.plot(time, block, label=f"event {event['event_counter']}, channel {channel}", linewidth=0.8)


def plot_waveforms(path: str, reader_type: str, events: int = 4) -> Figure:
    """A figure with the first `events` events of the file."""
    fig, ax = plt.subplots(figsize=SIZE_INCHES, dpi=DPI, layout="constrained")
    shown = list(itertools.islice(vorn.EventReader(path, reader_type), events))
    for event in shown:
        plot_event(ax, event)
    ax.set_title(f"{Path(path).name}: first {len(shown)} events")
    ax.set_xlabel("sample" if reader_type == "WD1" else "time (sampling_period units)")
    ax.set_ylabel("ADC counts" if reader_type == "WD1" else "amplitude")
    if shown:
        ax.legend(fontsize="small", loc="upper right")
    return fig


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", nargs="?", help="event file (default: a generated WD2 sample)")
    parser.add_argument("reader_type", nargs="?", choices=["WD1", "WD2"])
    parser.add_argument("-n", "--events", type=int, default=4, help="how many events to draw (default 4)")
    parser.add_argument("-o", "--output", default="waveforms.png", help="PNG to write (default waveforms.png)")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        if args.file is None:
            args.file, args.reader_type = str(Path(tmp) / "sample.wd2"), "WD2"
            write_wd2(args.file)
        elif args.reader_type is None:
            parser.error("give the reader type, WD1 or WD2, after the file")
        fig = plot_waveforms(args.file, args.reader_type, args.events)
    fig.savefig(args.output, dpi=DPI)
    plt.close(fig)
    width, height = (round(x * DPI) for x in SIZE_INCHES)
    print(f"wrote {args.output} ({width}x{height} pixels)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
