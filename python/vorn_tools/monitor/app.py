"""The page: one Bokeh document per browser session, each rendering snapshots of the shared state.

A session never writes the state except through the reset button, and never
blocks the reading: its periodic callback takes a snapshot (a short copy
under the state's lock, shared by all sessions while nothing changes) and
puts only bins and decimated waveforms into its column data sources.

Every channel gets a line of its own panels (last waveforms, then a
histogram of each feature column shown, three panels a line), each scaled
to that channel, and a figure is made only with the renderer it shows:
Bokeh warns about a figure without one.
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

from .state import MonitorState
from .tallies import CoincidenceView, HistogramView
from .views import FileView, PulseView, Snapshot

__all__ = ["PERIOD_MS", "Session", "make_document"]

PERIOD_MS = 400
WIDTH = 420
OUTSIDE_WARNING = 0.01  # a channel's fraction of values outside the range that the page marks
PER_LINE = 3  # panels side by side; a channel's further panels wrap below
# Feature columns measured in samples (times and indices); the others are in the samples' unit or have none.
IN_SAMPLES = ("threshold_time", "cfd_time", "peak_index", "rise_time", "fall_time", "fwhm", "time_over_threshold",
              "energy_time")


def _bytes(count: int) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if count < 1000 or unit == "GB":
            return f"{count:,.0f} {unit}" if unit == "B" else f"{count:,.1f} {unit}"
        count /= 1000  # type: ignore[assignment]
    raise AssertionError


def _figure(title: str, x: str, y: str, **options: Any) -> Any:
    return figure(title=title, x_axis_label=x, y_axis_label=y, width=WIDTH, height=240,
                  tools="pan,box_zoom,wheel_zoom,reset,save", **options)


def axis_labels(unit: str) -> dict[str, str]:
    """The x axis of each panel of a channel whose samples are in `unit`: the waveforms and every feature column."""
    labels = {"waveforms": unit, "amplitude": f"amplitude [{unit} above baseline]",
              "charge": f"charge [{unit} × samples]", "energy": f"energy [{unit} above baseline]",
              "baseline": f"baseline [{unit}]", "baseline_rms": f"baseline_rms [{unit}]",
              "tail_ratio": "tail_ratio [tail charge / charge]", "polarity": "polarity [+1 positive, −1 negative]",
              "saturated": "saturated [1 yes, 0 no]"}
    labels.update((name, f"{name} [samples]") for name in IN_SAMPLES)
    return labels


def rate_labels(triggers: bool) -> tuple[str, str, str]:
    """Title, x and y axis of the rate panel."""
    if triggers:
        return "trigger rate, from the triggers' timestamps", "seconds since the first trigger", "triggers/s"
    return ("reading rate: triggers read per second (not the trigger rate: give --tick)",
            "seconds since the monitor started", "triggers read/s")


def gain_labels(triggers: bool) -> tuple[str, str]:
    """The x axis of the gain panel, and the word for when a gain was fitted."""
    if triggers:
        return "seconds since the channel's first trigger (timestamps)", "run time"
    return "seconds since the monitor started (wall clock: give --tick for the run's time)", "monitor time"


def flow_text(view: HistogramView | None) -> str:
    if view is None:
        return "choosing its range"
    return f"{view.underflow:,} below, {view.overflow:,} above the range"


class Session:
    """The widgets of one browser's page, updated from snapshots."""

    def __init__(self, state: MonitorState, doc: Document, period_ms: int) -> None:
        self.state = state
        self.doc = doc
        self.paused = False
        self.version = -1
        self.sent = 0  # bytes of array data put into sources by the last update
        self.colors = itertools.cycle(Category10_10)
        self.channels: dict[tuple[str, int], tuple[dict[str, ColumnDataSource], dict[str, Any], Any]] = {}
        self.channel_colors: dict[tuple[str, int], str] = {}
        self.totals = Div(text="", width=3 * WIDTH)
        self.files = Div(text="", width=3 * WIDTH)
        self.flows = Div(text="", width=3 * WIDTH)
        self.pulses = Div(text="", width=3 * WIDTH, visible=state.pulses is not None)
        self.notices = Div(text="", width=3 * WIDTH)
        self.errors = Div(text="", width=3 * WIDTH)
        triggers = state.tick is not None
        title, x, y = rate_labels(triggers)
        self.rate_source = ColumnDataSource({"xs": [], "ys": [], "name": [], "color": []})
        self.rate = figure(title=title, x_axis_label=x, y_axis_label=y, width=3 * WIDTH, height=220,
                           tools="pan,box_zoom,wheel_zoom,reset,save")
        self.rate.multi_line("xs", "ys", source=self.rate_source, color="color", legend_field="name")
        self.rate.legend.location = "bottom_left"
        self.fit_table = Div(text="", width=3 * WIDTH, visible=state.fits is not None)
        self.gain: Any = None
        if state.fits is not None:
            x, _ = gain_labels(triggers)
            self.gain_source = ColumnDataSource({"x": [], "y": [], "low": [], "high": [], "name": [], "color": []})
            fitted = f"{state.fits.model} fit every {state.fits.every:g} s"
            self.gain = figure(title=f"gain of the charge spectrum ({fitted}, valid fits only)", x_axis_label=x,
                               y_axis_label="gain [charge per photoelectron]", width=3 * WIDTH, height=240,
                               tools="pan,box_zoom,wheel_zoom,reset,save")
            self.gain.segment("x", "low", "x", "high", source=self.gain_source, color="color")
            self.gain.scatter("x", "y", source=self.gain_source, color="color", legend_field="name", size=6)
            self.gain.legend.location = "bottom_left"
        self.coincidence_plots: dict[str, tuple[ColumnDataSource, Any]] = {}
        # Shown once a run holds both channels; never empty, for Bokeh warns about an empty layout.
        self.coincidence = column(Div(text=f"<b>coincidence</b>: cfd_time@{(state.coincidence or (0, 1))[1]}"
                                           f" − cfd_time@{(state.coincidence or (0, 1))[0]} of the same event,"
                                           " events matched by counter", width=3 * WIDTH), visible=False)
        # Never empty (Bokeh warns about an empty layout): the channels' lines follow this one.
        shown = ", ".join(("last waveforms", *state.features[:-1])) + "".join(f" and {n}" for n in state.features[-1:])
        self.panels = column(Div(text=f"<b>channels</b>: {shown}, each on its own scale"))
        reset = Button(label="Reset histograms", button_type="warning", width=160)
        reset.on_click(state.reset_histograms)
        pause = Toggle(label="Pause display", width=160)
        pause.on_change("active", self._pause)
        doc.title = "vorn monitor"
        doc.add_root(column(row(reset, pause), self.totals, self.files, self.flows, self.pulses, self.fit_table,
                            self.notices, self.errors, self.rate,
                            *([self.gain] if self.gain is not None else []), self.coincidence, self.panels))
        self.update()
        doc.add_periodic_callback(self.update, period_ms)

    def _pause(self, attr: str, old: bool, new: bool) -> None:
        self.paused = new
        if not new:
            self.update()

    def _channel(self, key: tuple[str, int], label: str,
                 unit: str) -> tuple[dict[str, ColumnDataSource], dict[str, Any], Any]:
        known = self.channels.get(key)
        if known is not None:
            return known
        color = self.channel_colors[key] = next(self.colors)
        labels = axis_labels(unit)
        features = self.state.features
        sources = {name: ColumnDataSource({"x": np.empty(0), "y": np.empty(0)}) for name in ("waveforms", *features)}
        plots = {"waveforms": _figure(f"last waveforms · {label}", "sample", labels["waveforms"])}
        plots["waveforms"].line("x", "y", source=sources["waveforms"], color=color, alpha=0.6)
        for name in features:
            plots[name] = _figure(f"{name} · {label}", labels[name], "waveforms per bin")
            plots[name].step("x", "y", source=sources[name], mode="after", color=color)
        panels = list(plots.values())
        line = row(*panels) if len(panels) <= PER_LINE else \
            column(*(row(*panels[at:at + PER_LINE]) for at in range(0, len(panels), PER_LINE)))
        self.panels.children.append(line)
        self.channels[key] = sources, plots, line
        return self.channels[key]

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
        self.flows.text = flows_html(snapshot)
        self.pulses.text = pulses_html(snapshot)
        self.fit_table.text = fits_html(snapshot)
        for div, text in ((self.notices, notices_html(snapshot)), (self.errors, errors_html(snapshot))):
            div.text, div.visible = text, bool(text)  # an empty one would still take its line
        shown = set()
        for channel in snapshot.channels:
            shown.add(channel.key)
            sources, plots, _ = self._channel(channel.key, channel.label, channel.unit)
            x, ys = channel.waveforms
            # One line for all waveforms, NaN between them: one pair of arrays to send.
            gap = np.full((len(ys), 1), np.nan)
            self._put(sources["waveforms"], np.tile(np.append(x, np.nan), len(ys)), np.hstack((ys, gap)).reshape(-1))
            for name in snapshot.features:
                view = channel.histograms[name]
                plots[name].title.text = f"{name} · {channel.label} · {flow_text(view)}"
                if view is None:
                    self._put(sources[name], np.empty(0), np.empty(0))
                else:
                    counts = view.counts
                    self._put(sources[name], view.edges, np.append(counts, counts[-1] if len(counts) else 0))
        self._coincidences(snapshot.coincidences)
        if self.gain is not None:
            self._gains(snapshot)
        files = {f.path for f in snapshot.files}
        for key, (sources, plots, line) in list(self.channels.items()):
            if key[0] not in files:  # a new run took its file's place
                self.panels.children.remove(line)
                del self.channels[key]
            elif key not in shown:  # its file was started over: nothing of the old one stays
                for source in sources.values():
                    self._put(source, np.empty(0), np.empty(0))
        lines = snapshot.rate.lines
        self.rate_source.data = {"xs": [t.astype(np.float32) for t, _ in lines.values()],
                                 "ys": [r.astype(np.float32) for _, r in lines.values()],
                                 "name": list(lines), "color": list(itertools.islice(itertools.cycle(Category10_10),
                                                                                     len(lines)))}
        self.sent += sum(2 * len(t) * 4 for t, _ in lines.values())

    def _coincidences(self, views: list[CoincidenceView]) -> None:
        shown = set()
        for view in views:
            shown.add(view.group)
            if view.group not in self.coincidence_plots:
                source = ColumnDataSource({"x": np.empty(0), "y": np.empty(0)})
                made = figure(title="", x_axis_label=f"cfd_time@{view.channels[1]} − cfd_time@{view.channels[0]}"
                                                     " [samples]", y_axis_label="events per bin",
                              width=2 * WIDTH, height=240, tools="pan,box_zoom,wheel_zoom,reset,save")
                made.step("x", "y", source=source, mode="after", color="black")
                self.coincidence_plots[view.group] = source, made
                self.coincidence.children.append(made)
            source, plot = self.coincidence_plots[view.group]
            hist = view.histogram
            plot.title.text = (f"coincidence · {view.group} · {flow_text(hist)} · {view.paired:,} paired,"
                               f" {view.waiting:,} waiting, {view.unpaired:,} unpaired")
            if hist is None:
                self._put(source, np.empty(0), np.empty(0))
            else:
                self._put(source, hist.edges, np.append(hist.counts, hist.counts[-1] if len(hist.counts) else 0))
        for group, (_, plot) in list(self.coincidence_plots.items()):
            if group not in shown:  # its run was started over or replaced
                self.coincidence.children.remove(plot)
                del self.coincidence_plots[group]
        self.coincidence.visible = bool(self.coincidence_plots)

    def _gains(self, snapshot: Snapshot) -> None:
        columns: dict[str, list[Any]] = {"x": [], "y": [], "low": [], "high": [], "name": [], "color": []}
        for channel in snapshot.channels:
            view = channel.gains
            if view is None or not len(view.time):
                continue
            count = len(view.time)
            columns["x"].extend(view.time.tolist())
            columns["y"].extend(view.gain.tolist())
            columns["low"].extend((view.gain - view.error).tolist())
            columns["high"].extend((view.gain + view.error).tolist())
            columns["name"].extend([channel.label] * count)
            columns["color"].extend([self.channel_colors.get(channel.key, "black")] * count)
        self.gain_source.data = columns
        self.sent += 4 * 8 * len(columns["x"])

    def _put(self, source: ColumnDataSource, x: np.ndarray, y: np.ndarray) -> None:
        x, y = x.astype(np.float32), y.astype(np.float32)
        self.sent += x.nbytes + y.nbytes
        source.data = {"x": x, "y": y}


def _figure_html(name: str, value: Any, css: str) -> str:
    return f'<span style="margin-right:1.5em"><b>{name}</b> <span class="vorn-{css}">{value}</span></span>'


def totals_html(s: Snapshot) -> str:
    entries = []
    for name in s.features:
        views = [c.histograms[name] for c in s.channels]
        counted = sum(v.entries for v in views if v is not None)
        entries.append(_figure_html(f"{name} entries", f"{counted:,}" + (" (choosing ranges)" if any(
            v is None for v in views) else ""), f"{name}-total"))
    pending = sum(f.pending for f in s.files)
    parts = [
        _figure_html("triggers", f"{s.triggers:,}", "triggers"),
        _figure_html("waveforms", f"{s.waveforms:,}", "waveforms"),
        _figure_html("gaps", f"{s.gaps:,}", "gaps"),
        _figure_html("missing counters", f"{s.missing:,}", "missing"),
        *entries,
        _figure_html("read", f"{_bytes(s.bytes_read)} of {_bytes(s.file_size)}", "bytes"),
        _figure_html("cut event pending", _bytes(pending) if pending else "none", "pending"),
        _figure_html("errors", f"{s.error_count:,}", "errors"),
    ]
    if s.restarted:
        parts.append(_figure_html("started over", f"{s.restarted:,}× ({s.earlier_waveforms:,} waveforms before)",
                                  "restarted"))
    return "".join(parts)


def files_html(s: Snapshot) -> str:
    head = ("<tr><th>file</th><th>format</th><th>status</th><th>triggers (events)</th><th>trigger rate</th>"
            "<th>waveforms</th><th>gaps</th><th>missing</th><th>read / size</th><th>cut event pending</th>"
            "<th>errors</th></tr>")
    rows = []
    for f in s.files:
        pending = ""
        if f.pending:
            declared = f" of {f.declared:,} B" if f.declared is not None else ""
            pending = f"{f.pending:,} B{declared} at offset {f.bytes_read:,}"
        rows.append(f"<tr><td>{html.escape(f.label)}</td><td>{f.format or ''}</td><td>{html.escape(f.status)}"
                    f"{f' (started over {f.reopened}×)' if f.reopened else ''}</td><td>{f.events:,}</td>"
                    f'<td class="vorn-trigger-rate">{trigger_rate_text(f)}</td>'
                    f"<td>{f.waveforms:,}</td><td>{f.gaps:,}</td><td>{f.missing:,}</td>"
                    f"<td>{_bytes(f.bytes_read)} / {_bytes(f.file_size)}</td><td>{pending}</td>"
                    f"<td>{f.errors:,}</td></tr>")
    return f'<table style="border-spacing:1em 0">{head}{"".join(rows)}</table>'


def trigger_rate_text(f: FileView) -> str:
    """The file's trigger rate from its timestamps, with its Poisson error; never a rate without a tick."""
    return "no tick (give --tick)" if f.rate is None else f.rate.text()


def fits_html(s: Snapshot) -> str:
    """Per channel: the last gain fitted, and the fits that were valid and those that gave no gain."""
    if s.fits is None:
        return ""
    rows = []
    for c in s.channels:
        view = c.gains
        if view is None:
            continue
        last = (f"{view.gain[-1]:.5g} ± {view.error[-1]:.2g} (χ²/ndf {view.chi2_ndf:.3g})" if len(view.gain)
                else "none yet")
        style = ' style="color:#a00"' if view.note else ""
        rows.append(f"<tr><td>{html.escape(c.label)}</td><td class=\"vorn-gain\">{last}</td>"
                    f"<td>{view.converged:,}</td><td class=\"vorn-fits-failed\"{style}>{view.failed:,}</td>"
                    f"<td{style}>{html.escape(view.note)}</td></tr>")
    head = ("<tr><th>channel</th><th>last valid gain</th><th>valid fits</th><th>fits without a gain</th>"
            "<th>last fit</th></tr>")
    return (f"<div><b>{s.fits.model} fit of the charge spectrum</b> every {s.fits.every:g} s, since the start or"
            f" Reset (the last round took {s.fit_seconds:.2f} s)"
            f"<table style=\"border-spacing:1em 0\">{head}{''.join(rows)}</table></div>")


def flows_html(s: Snapshot) -> str:
    """Per channel and feature: the entries and those outside the range, marked above 1 %."""
    if not s.channels:
        return ""
    head = "<tr><th>channel</th>" + "".join(f"<th>{name}: entries</th><th>below / above range</th>"
                                            f"<th>no value</th>" for name in s.features) + "</tr>"
    rows = []
    for c in s.channels:
        cells = []
        for name in s.features:
            view = c.histograms[name]
            if view is None:
                cells.append('<td colspan="3">choosing its range</td>')
                continue
            style = ' style="color:#a00"' if view.outside > OUTSIDE_WARNING else ""
            cells.append(f"<td>{view.entries:,}</td><td{style} class=\"vorn-flow\">{view.underflow:,} / "
                         f"{view.overflow:,}</td><td>{view.undefined:,}</td>")
        rows.append(f"<tr><td>{html.escape(c.label)}</td>{''.join(cells)}</tr>")
    return f'<table style="border-spacing:1em 0">{head}{"".join(rows)}</table>'


def rate_text(view: PulseView) -> str:
    """A channel's dark-count rate with its Poisson error, or its pulses per waveform without a sample period."""
    if view.seconds is None:
        return f"{view.rate:.4g} ± {view.error:.2g} pulses per waveform" if view.waveforms else "no waveform yet"
    return f"{view.rate:.4g} ± {view.error:.2g} Hz" if view.seconds > 0 else "no waveform yet"


def pulses_html(s: Snapshot) -> str:
    """Per channel: the pulses found outside the excluded window, the waveforms looked at, the rate they make."""
    if s.pulses is None:
        return ""
    timed = s.pulses.sample_period is not None
    window = f" outside samples [{s.pulses.exclude[0]}, {s.pulses.exclude[1]})" if s.pulses.exclude else ""
    head = (f"<tr><th>channel</th><th>pulses{window}</th><th>waveforms</th>"
            + ("<th>seconds of waveform</th><th>dark-count rate</th>" if timed else "<th>pulses per waveform</th>")
            + "</tr>")
    rows = []
    for c in s.channels:
        view = c.pulses
        if view is None:
            cells = f'<td colspan="{4 if timed else 3}">no pulses looked for</td>'
        else:
            seconds = f"<td>{view.seconds:.4g}</td>" if view.seconds is not None else ""
            cells = (f"<td>{view.pulses:,}</td><td>{view.waveforms:,}</td>{seconds}"
                     f'<td class="vorn-dark-rate">{rate_text(view)}</td>')
        rows.append(f"<tr><td>{html.escape(c.label)}</td>{cells}</tr>")
    return (f"<div><b>{'dark-count rate' if timed else 'pulses per waveform (no --sample-period: no rate)'}</b>"
            f" since the start or Reset<table style=\"border-spacing:1em 0\">{head}{''.join(rows)}</table></div>")


def notices_html(s: Snapshot) -> str:
    if not s.notices:
        return ""
    items = "".join(f"<li>{html.escape(message)}</li>" for message in s.notices)
    return f'<div><b>notices</b><ul class="vorn-notice-list">{items}</ul></div>'


def errors_html(s: Snapshot) -> str:
    if not s.errors:
        return ""
    items = "".join(f"<li>{html.escape(message)}</li>" for message in s.errors)
    kept = f" (the last {len(s.errors)} of {s.error_count:,})" if len(s.errors) < s.error_count else ""
    return f'<div style="color:#a00"><b>read errors{kept}</b><ul class="vorn-error-list">{items}</ul></div>'


def make_document(state: MonitorState, period_ms: int = PERIOD_MS) -> Callable[[Document], None]:
    def build(doc: Document) -> None:
        Session(state, doc, period_ms)
    return build
