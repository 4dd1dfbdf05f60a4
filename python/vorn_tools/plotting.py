"""Waveform figures: one panel for WD1, one panel per channel for WD2.

Figures are built without pyplot, so nothing needs a display and no global
figure list grows; `Figure.savefig` renders through Agg.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
from matplotlib.figure import Figure

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["DPI", "figure_inches", "figure_pixels", "plot_events"]

WIDTH_INCHES = 8.0
HEIGHT_INCHES = 4.5  # for up to two panels
PANEL_INCHES = 1.5  # added for every further panel
DPI = 100
LEGEND_LINES = 12  # more lines than that go without a legend


def figure_inches(panels: int) -> tuple[float, float]:
    return WIDTH_INCHES, HEIGHT_INCHES + PANEL_INCHES * max(0, panels - 2)


def figure_pixels(panels: int) -> tuple[int, int]:
    width, height = figure_inches(panels)
    return round(width * DPI), round(height * DPI)


def wd2_channels(event: Mapping[str, Any]) -> int:
    """The file's channel count as it shows in an event: its samples over samples per channel."""
    return event["data"].size // event["samples"] if event["samples"] else 0


def plot_events(events: Sequence[Mapping[str, Any]], title: str, channel: int | None = None,
                float32: bool = False) -> Figure:
    """A figure of the given events of one file.

    WD1 events share one panel, drawn against the sample index. WD2 events get
    a panel per channel (only `channel`'s when given), drawn against time in
    sampling_period units when the period is known.
    """
    wd1 = bool(events) and "board_channel" in events[0]
    panels: list[int | None] = [None]
    if events and not wd1:
        panels = list(range(wd2_channels(events[0]))) if channel is None else [channel]
    fig = Figure(figsize=figure_inches(len(panels)), dpi=DPI, layout="constrained")
    axes = fig.subplots(max(1, len(panels)), 1, sharex=True, squeeze=False)[:, 0]
    for ax, panel in zip(axes, panels):
        for event in events:
            _draw(ax, event, panel, float32)
        if panel is not None and len(panels) > 1:
            ax.set_title(f"channel {panel}", fontsize="medium", loc="left")
        # Float samples hold volts or the board's own units, whichever it wrote: never ADC counts.
        ax.set_ylabel("sample value" if float32 or not wd1 else "ADC counts")
    period = 0 if wd1 or not events else events[0]["sampling_period"]
    axes[-1].set_xlabel(f"time, in the units of sampling_period ({period} per sample)" if period else "sample")
    fig.suptitle(title)
    if 0 < len(axes[0].get_lines()) <= LEGEND_LINES:
        fig.legend(handles=axes[0].get_lines(), loc="outside right upper", fontsize="small")
    return fig


def _draw(ax: Axes, event: Mapping[str, Any], panel: int | None, float32: bool) -> None:
    data = event["data"]
    if panel is None:
        values = data.view(np.float32) if float32 else data
        label = f"event {event['event_counter']}, channel {event['board_channel']}"
        ax.plot(values, label=label, linewidth=0.8)
        return
    per_channel = event["samples"]
    if not per_channel or (panel + 1) * per_channel > data.size:
        return
    block = data[panel * per_channel:(panel + 1) * per_channel]
    x = np.arange(per_channel, dtype=np.float64)
    if event["sampling_period"]:
        x *= event["sampling_period"]
    ax.plot(x, block, label=f"event {event['event_counter']}", linewidth=0.8)
