"""`vorn plot`: the first waveforms of a file as an image."""

from __future__ import annotations

import argparse
import itertools
import os
from typing import Any

import numpy as np

from .._output_files import atomic_output
from ..blocks import FILE_ERRORS, CountedEvents
from .common import (FAILED, OK, UsageError, error, hint_float32, install_hint, layouts, picture_format, plural,
                     require, spare_inputs)
from .options import Checked, add_command, channel_number, events_option, float32_option, type_option

__all__ = ["WAVEFORMS", "add_parser", "run"]

RASTER_FORMATS = {"png", "jpeg", "tiff", "webp"}
# The waveforms one picture shows: beyond a thousand lines on a panel none
# can be told apart, and each costs time to draw and memory to hold.
WAVEFORMS = 1000

EXAMPLES = """
  vorn plot run042.wd2 -n 8 -o first8.png
  vorn plot run042.wd1 --channel 3
"""


def add_parser(commands: Any) -> None:
    plot = add_command(commands, "plot", "the first waveforms as an image",
                       "Draw events of a file to an image (PNG, or PDF, SVG... by the output's extension), at most"
                       f" {WAVEFORMS:,} of them: WD1 on one panel against the sample index, WD2 one panel per channel"
                       " against time. Needs"
                       f" {install_hint('cli')}.", EXAMPLES)
    plot.add_argument("file", metavar="FILE")
    type_option(plot)
    float32_option(plot)
    events_option(plot, "-n", default="4")
    plot.add_argument("--channel", type=channel_number, metavar="C",
                      help="only channel C (WD2: a channel block; WD1: events whose board_channel is C)")
    plot.add_argument("-o", "--output", default="waveforms.png", metavar="IMAGE", help="default waveforms.png")
    plot.set_defaults(run=run, outputs=lambda args: [(args.output, False)])


def run(args: argparse.Namespace, checked: Checked) -> int:
    require("matplotlib", "vorn plot")
    from ..formats import look_like_float_halves
    from ..plotting import figure_pixels, plot_events

    spare_inputs([args.output], [args.file])
    kind = picture_format(args.output)
    selection = args.events
    if selection.count is not None and selection.count > WAVEFORMS:
        raise UsageError(f"-n {_said(selection)} selects {selection.count:,} events, more than the {WAVEFORMS:,}"
                         " waveforms a picture shows")
    (layout,) = layouts([args.file], args.type)
    if isinstance(layout, str):
        error(f"{args.file}: {layout}")
        return FAILED
    wd1 = layout.reader_type == "WD1"
    if not wd1 and args.channel is not None and not 0 <= args.channel < layout.channels:
        error(f"{args.file}: no channel {args.channel}; the file has channels 0 to {layout.channels - 1}")
        return FAILED
    float32 = args.float32 and wd1
    try:
        counted = CountedEvents(args.file, layout)
        events: Any = iter(counted)
        if args.channel is not None and wd1:
            events = (e for e in events if e["board_channel"] == args.channel)
        # One more than a picture shows, to tell an open selection that has too many.
        shown = list(itertools.islice(events, selection.start, selection.start + WAVEFORMS + 1
                                      if selection.stop is None else selection.stop))
    except FILE_ERRORS as failure:
        error(f"{args.file}: {failure}")
        return FAILED
    if len(shown) > WAVEFORMS:
        raise UsageError(f"-n {_said(selection)} selects more than the {WAVEFORMS:,} waveforms a picture shows:"
                         " give START:STOP")
    ending = counted.ending(selected=selection.count is not None and len(shown) == selection.count)
    if ending.error is not None:
        error(f"{args.file}: {ending.error}")
        return FAILED
    if not shown:
        if args.channel is not None:
            error(f"{args.file}: no channel {args.channel} among the selected events")
        else:
            error(f"{args.file}: no events to plot")
        return FAILED
    if float32 and any(e["data"].size % 2 for e in shown):
        error(f"{args.file}: an event has an odd number of samples, which cannot be read as float32 (--float32)")
        return FAILED
    if wd1 and not float32:
        even = [e["data"] for e in shown if e["data"].size == shown[0]["data"].size]
        if look_like_float_halves(np.stack(even)):
            hint_float32(args.file)
    first = f"events {selection.start:,} to {selection.start + len(shown) - 1:,}" if selection.start else \
        f"first {plural(len(shown), 'event')}"
    channel = f", channel {args.channel}" if args.channel is not None else ""
    title = f"{os.path.basename(args.file)}{channel}: {first}"
    fig = plot_events(shown, title, None if wd1 else args.channel, float32)
    with atomic_output(args.output) as temporary:
        fig.savefig(temporary, format=kind, dpi=fig.dpi)
    pixels = " ({}x{} pixels)".format(*figure_pixels(len(fig.axes))) if kind in RASTER_FORMATS else ""
    print(f"wrote {args.output}{pixels}: {plural(len(shown), 'event')}, {ending.describe()}")
    if ending.failed:
        error(f"{args.file}: {ending.describe()}")
        return FAILED
    return OK


def _said(selection: Any) -> str:
    """A selection as -n takes it."""
    if selection.start == 0 and selection.stop is not None:
        return str(selection.stop)
    return f"{selection.start}:{'' if selection.stop is None else selection.stop}"
