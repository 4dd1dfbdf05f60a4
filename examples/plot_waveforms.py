"""Plot the first waveforms of a WD1 or WD2 file to a PNG (needs matplotlib).

    python examples/plot_waveforms.py                          # a generated WD2 sample
    python examples/plot_waveforms.py FILE WD1|WD2 [-n 4] [-o waveforms.png]

WD1 waveforms share one panel, drawn against the sample index. A WD2 file gets
one panel per channel, drawn against time (sample index times
sampling_period). The drawing is the one `vorn plot` makes: both use
vorn_tools.plotting, which comes with vorn.
"""

from __future__ import annotations

import argparse
import itertools
import sys
import tempfile
from pathlib import Path

from matplotlib.figure import Figure

import vorn
from sample_files import write_wd2

try:
    from vorn_tools.plotting import DPI, figure_inches, plot_events
except ModuleNotFoundError:
    # A development build on PYTHONPATH comes without the command's package;
    # take it from this checkout.
    sys.path.append(str(Path(__file__).resolve().parents[1] / "python"))
    from vorn_tools.plotting import DPI, figure_inches, plot_events

SIZE_INCHES = figure_inches(1)  # also for two channels; taller for more


def plot_waveforms(path: str, reader_type: str, events: int = 4) -> Figure:
    """A figure with the first `events` events of the file."""
    shown = list(itertools.islice(vorn.EventReader(path, reader_type), events))
    return plot_events(shown, f"{Path(path).name}: first {len(shown)} events")


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
    width, height = (round(x * DPI) for x in fig.get_size_inches())
    print(f"wrote {args.output} ({width}x{height} pixels)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
