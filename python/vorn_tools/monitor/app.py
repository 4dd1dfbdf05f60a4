"""The page: one Bokeh document per browser session, each rendering snapshots of the shared state.

A session never writes the state except through the reset button, and never
blocks the reading: its periodic callback takes a snapshot (a short copy
under the state's lock, shared by all sessions while nothing changes) and
puts only bins and decimated waveforms into its column data sources.
"""

from __future__ import annotations

import html
import itertools
from collections.abc import Callable
from typing import Any

import numpy as np
from bokeh.document import Document
from bokeh.layouts import column, row
from bokeh.models.sources import ColumnDataSource
from bokeh.models.widgets.buttons import Button, Toggle
from bokeh.models.widgets.markups import Div
from bokeh.palettes import Category10_10
from bokeh.plotting import figure

from .state import MonitorState, Snapshot

PERIOD_MS = 400
WIDTH = 620


def _bytes(count: int) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if count < 1000 or unit == "GB":
            return f"{count:,.0f} {unit}" if unit == "B" else f"{count:,.1f} {unit}"
        count /= 1000  # type: ignore[assignment]
    raise AssertionError


def _figure(title: str, x: str, y: str, **options: Any) -> Any:
    return figure(title=title, x_axis_label=x, y_axis_label=y, width=WIDTH, height=260,
                  tools="pan,box_zoom,wheel_zoom,reset,save", **options)


class Session:
    """The widgets of one browser's page, updated from snapshots."""

    def __init__(self, state: MonitorState, doc: Document, period_ms: int) -> None:
        self.state = state
        self.doc = doc
        self.paused = False
        self.version = -1
        self.sent = 0  # bytes of array data put into sources by the last update
        self.colors = itertools.cycle(Category10_10)
        self.channels: dict[str, dict[str, ColumnDataSource]] = {}
        self.totals = Div(text="", width=2 * WIDTH)
        self.files = Div(text="", width=2 * WIDTH)
        self.errors = Div(text="", width=2 * WIDTH)
        self.amplitude = _figure("amplitude", "amplitude [ADC counts above baseline]", "events per bin")
        self.charge = _figure("charge", "charge [ADC counts x samples]", "events per bin")
        self.rate_source = ColumnDataSource({"t": np.empty(0), "rate": np.empty(0)})
        self.rate = _figure("event rate (all files)", "seconds since the monitor started", "events/s")
        self.rate.line("t", "rate", source=self.rate_source)
        # The rate, then a plot per channel, wrapping two to a line.
        self.plots = row(self.rate, styles={"flex-wrap": "wrap"}, width=2 * WIDTH + 100)
        reset = Button(label="Reset histograms", button_type="warning", width=160)
        reset.on_click(state.reset_histograms)
        pause = Toggle(label="Pause display", width=160)
        pause.on_change("active", self._pause)
        doc.title = "vorn monitor"
        doc.add_root(column(row(reset, pause), self.totals, self.files, self.errors,
                            row(self.amplitude, self.charge), self.plots))
        self.update()
        doc.add_periodic_callback(self.update, period_ms)

    def _pause(self, attr: str, old: bool, new: bool) -> None:
        self.paused = new
        if not new:
            self.update()

    def _channel(self, name: str) -> dict[str, ColumnDataSource]:
        sources = self.channels.get(name)
        if sources is None:
            color = next(self.colors)
            sources = {key: ColumnDataSource({"x": np.empty(0), "y": np.empty(0)})
                       for key in ("waveforms", "amplitude", "charge")}
            for key, plot in (("amplitude", self.amplitude), ("charge", self.charge)):
                plot.step("x", "y", source=sources[key], mode="after", color=color, legend_label=name)
                plot.legend.click_policy = "hide"
            waves = _figure(f"last waveforms: {name}", "sample", "ADC counts")
            waves.line("x", "y", source=sources["waveforms"], color=color, alpha=0.6)
            self.plots.children.append(waves)
            self.channels[name] = sources
        return sources

    def update(self) -> None:
        if self.paused:
            return
        snapshot = self.state.snapshot()
        if snapshot.version == self.version:
            return
        self.version = snapshot.version
        self.sent = 0
        self.totals.text = totals_html(snapshot)
        self.files.text = files_html(snapshot)
        self.errors.text = errors_html(snapshot)
        for name in snapshot.channels:
            sources = self._channel(name)
            x, ys = snapshot.waveforms[name]
            # One line for all waveforms, NaN between them: one pair of arrays to send.
            gap = np.full((len(ys), 1), np.nan)
            self._put(sources["waveforms"], np.tile(np.append(x, np.nan), len(ys)),
                      np.hstack((ys, gap)).reshape(-1))
            for key in ("amplitude", "charge"):
                view = snapshot.histograms[key]
                if view is not None and name in view.counts:
                    counts = view.counts[name]
                    self._put(sources[key], view.edges, np.append(counts, counts[-1] if len(counts) else 0))
        t, rate = snapshot.rate
        self._put(self.rate_source, t, rate, ("t", "rate"))

    def _put(self, source: ColumnDataSource, x: np.ndarray, y: np.ndarray,
             keys: tuple[str, str] = ("x", "y")) -> None:
        x, y = x.astype(np.float32), y.astype(np.float32)
        self.sent += x.nbytes + y.nbytes
        source.data = {keys[0]: x, keys[1]: y}


def totals_html(s: Snapshot) -> str:
    def figure_(name: str, value: Any, css: str) -> str:
        return f'<span style="margin-right:1.5em"><b>{name}</b> <span class="vorn-{css}">{value}</span></span>'

    entries = {}
    for key, view in s.histograms.items():
        entries[key] = "choosing range" if view is None else f"{sum(view.entries.values()):,}"
    pending = sum(f.pending for f in s.files)
    return "".join([
        figure_("events", f"{s.events:,}", "events"),
        figure_("gaps", f"{s.gaps:,}", "gaps"),
        figure_("missing counters", f"{s.missing:,}", "missing"),
        figure_("amplitude entries", entries["amplitude"], "amplitude-total"),
        figure_("charge entries", entries["charge"], "charge-total"),
        figure_("read", f"{_bytes(s.bytes_read)} of {_bytes(s.file_size)}", "bytes"),
        figure_("cut event pending", _bytes(pending) if pending else "none", "pending"),
        figure_("errors", f"{s.error_count:,}", "errors"),
    ])


def files_html(s: Snapshot) -> str:
    head = ("<tr><th>file</th><th>format</th><th>status</th><th>events</th><th>gaps</th><th>missing</th>"
            "<th>read / size</th><th>cut event pending</th><th>errors</th></tr>")
    rows = [f"<tr><td>{html.escape(f.label)}</td><td>{f.format or ''}</td><td>{html.escape(f.status)}"
            f"{f' (started over {f.reopened}×)' if f.reopened else ''}</td><td>{f.events:,}</td><td>{f.gaps:,}</td>"
            f"<td>{f.missing:,}</td><td>{_bytes(f.bytes_read)} / {_bytes(f.file_size)}</td>"
            f"<td>{_bytes(f.pending) if f.pending else ''}</td><td>{f.errors:,}</td></tr>" for f in s.files]
    return f'<table style="border-spacing:1em 0">{head}{"".join(rows)}</table>'


def errors_html(s: Snapshot) -> str:
    if not s.errors:
        return ""
    items = "".join(f"<li>{html.escape(message)}</li>" for message in s.errors)
    return f'<div style="color:#a00"><b>read errors</b><ul class="vorn-error-list">{items}</ul></div>'


def make_document(state: MonitorState, period_ms: int = PERIOD_MS) -> Callable[[Document], None]:
    def build(doc: Document) -> None:
        Session(state, doc, period_ms)
    return build
