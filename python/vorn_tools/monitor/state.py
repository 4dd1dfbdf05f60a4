"""What the monitor knows about a run, shared by the reading thread and every browser session.

The reading thread is the only writer; sessions take snapshots. Everything
is bounded whatever the run's length: histograms have fixed bins, the last
waveforms and the rate history sit in ring buffers, error messages in a
bounded queue. One lock guards it all and is held only to merge a block's
results or to copy what a snapshot needs, never while reading, computing
features or talking to a browser.
"""

from __future__ import annotations

import collections
import math
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ..rates import RateCounter
from .tallies import (BINS, ERRORS_KEPT, POINTS, RATE_INTERVAL, RATE_POINTS, WARMUP, WAVEFORMS, ChannelHistogram,
                      Coincidence, CoincidenceView, FitSettings, GainHistory, GainView, HistogramView, Ring,
                      TriggerRate)
from .views import (UNITS, Channel, ChannelView, FileStatus, FileView, PulseCount, PulseSettings, PulseView, RateView,
                    Snapshot, decimate, triggers_of)

__all__ = ["FEATURES", "MonitorState", "gain_view", "summary_line"]

FEATURES = ("amplitude", "charge")  # the columns the page histograms unless told others


class MonitorState:
    """The shared state; the reading thread writes it, sessions call `snapshot` and `reset_histograms`.

    `features` are the feature columns histogrammed for every channel.
    `ranges` fixes a feature's histogram range for every channel; a feature
    left out gets each channel's range from its first values. With `tick`
    (seconds per timestamp tick) the rate is that of the triggers, from
    their times; without, it is the rate at which triggers are read. With
    `pulses` the reading thread finds every pulse and each channel counts
    them as those settings say. With `coincidence` (a, b), each run holding
    both channels gets a histogram of cfd_time@b - cfd_time@a, in
    `coincidence_range` or one chosen from its first values. With `fits`,
    `fit_spectra` (called by a thread of its own) fits every channel's
    charge histogram and keeps the gains.
    """

    def __init__(self, waveforms: int = WAVEFORMS, bins: int = BINS,
                 ranges: dict[str, tuple[float, float]] | None = None, warmup: int = WARMUP,
                 rate_points: int = RATE_POINTS, rate_interval: float = RATE_INTERVAL, tick: float | None = None,
                 clock: Callable[[], float] = time.monotonic, features: Sequence[str] = FEATURES,
                 pulses: PulseSettings | None = None, coincidence: tuple[int, int] | None = None,
                 coincidence_range: tuple[float, float] | None = None, fits: FitSettings | None = None) -> None:
        self.lock = threading.Lock()
        self.waveform_count = waveforms
        self.bins = bins
        self.features = tuple(dict.fromkeys(features))
        self.ranges = dict(ranges or {})
        self.pulses = pulses
        self.coincidence = coincidence
        self.coincidence_range = coincidence_range
        self.fits = fits
        # The columns the reading thread hands over: those shown, and those the analyses need.
        self.measured = self.features + tuple(
            name for name in ("cfd_time",) if coincidence is not None and name not in self.features)
        self.coincidences: dict[str, Coincidence] = {}  # by group
        self.fit_seconds = 0.0
        self.warmup = warmup
        self.tick = tick
        self.files: dict[str, FileStatus] = {}
        self.channels: dict[tuple[str, int], Channel] = {}  # in the order they appeared
        self._rate_points = rate_points
        self._rate_t = Ring(rate_points)
        self._rate = Ring(rate_points)
        self._rate_interval = rate_interval
        self._trigger_rates: dict[str, TriggerRate] = {}  # by group
        self._clocks: dict[str, str] = {}  # by group: the file whose times are the group's triggers'
        self._clock = clock
        self._started = clock()
        self._last_rate = (self._started, 0)
        self.notices: collections.deque[str] = collections.deque(maxlen=ERRORS_KEPT)
        self.errors: collections.deque[str] = collections.deque(maxlen=ERRORS_KEPT)
        self.error_count = 0
        self.restarted = 0
        self.earlier_waveforms = 0
        self.version = 0
        self._snapshot: Snapshot | None = None
        self._snapshot_lock = threading.Lock()  # one session computes a snapshot, the others reuse it

    # --- the reading thread ----------------------------------------------------

    def add_file(self, path: str, label: str, group: str | None = None, number: int = 0) -> None:
        """A file to follow; `number` is its channel's in its run (`group`), for coincidences."""
        with self.lock:
            self.files[path] = self._status(path, label, path if group is None else group, number)
            self.version += 1

    def _status(self, path: str, label: str, group: str, number: int, **counted: Any) -> FileStatus:
        return FileStatus(path, label, group, number=number,
                          rate=None if self.tick is None else RateCounter(self.tick), **counted)

    def update_file(self, path: str, **changes: Any) -> None:
        with self.lock:
            status = self.files[path]
            if any(getattr(status, key) != value for key, value in changes.items()):
                for key, value in changes.items():
                    setattr(status, key, value)
                self.version += 1

    def restart_file(self, path: str, message: str) -> None:
        """The file is read again from its start (another file took its name, a new run began in it).

        What is shown for it from now on is the new file's: its counters,
        its channels' waveforms and histograms, whose ranges are chosen
        anew, and its group's trigger rate if its times gave it. Read
        errors stay counted.
        """
        with self.lock:
            status = self.files[path]
            self.restarted += 1
            self.earlier_waveforms += status.waveforms
            self.files[path] = self._status(path, status.label, status.group, status.number,
                                            reopened=status.reopened + 1, errors=status.errors)
            for key in [key for key in self.channels if key[0] == path]:
                del self.channels[key]
            self.coincidences.pop(status.group, None)  # its events' counters start again
            if self._clocks.get(status.group) == path:
                del self._clocks[status.group]
                self._trigger_rates.pop(status.group, None)
            self.notices.append(f"{status.label}: {message}")
            self.version += 1

    def remove_file(self, path: str, message: str) -> None:
        """The file is no longer followed (a new run took its place): it leaves the page, its errors stay counted."""
        with self.lock:
            status = self.files.pop(path)
            self.restarted += 1
            self.earlier_waveforms += status.waveforms
            for key in [key for key in self.channels if key[0] == path]:
                del self.channels[key]
            self.coincidences.pop(status.group, None)
            if self._clocks.get(status.group) == path:
                del self._clocks[status.group]
                self._trigger_rates.pop(status.group, None)
            self.notices.append(f"{status.label}: {message}")
            self.version += 1

    def add_events(self, path: str, counters: NDArray[Any], sizes: int, features: dict[str, NDArray[Any]],
                   last: NDArray[Any], time_tags: NDArray[Any] | None = None,
                   pulses: NDArray[Any] | None = None) -> None:
        """A block of a file's events: counters, bytes, features (events, channels), last waveforms, times.

        `last` is (events, channels, samples): the block's last waveforms.
        `time_tags` are the events' timestamps, unwrapped, in ticks.
        `pulses` are the pulses counted per channel in the block's waveforms,
        which are as long as those of `last`; None when none were looked for.
        """
        with self.lock:
            status = self.files[path]
            channels = last.shape[1]
            status.events += len(counters)
            status.waveforms += len(counters) * channels
            status.bytes_read += sizes
            status.gaps.add(counters)
            status.channels = channels
            for c in range(channels):
                channel = self.channels.get((path, c))
                if channel is None or channel.waveforms.shape != last.shape[2:]:
                    channel = self._channel(status, c, channels, last)
                channel.waveforms.push(last[:, c])
                for name, hist in channel.histograms.items():
                    hist.fill(features[name][:, c])
                if pulses is not None and self.pulses is not None:
                    if channel.pulses is None:
                        channel.pulses = PulseCount()
                    channel.pulses.pulses += int(pulses[c])
                    channel.pulses.waveforms += len(counters)
                    channel.pulses.samples += len(counters) * self.pulses.live_samples(last.shape[2])
            if self.coincidence is not None:
                group = [f for f in self.files.values() if f.group == status.group]
                for side, wanted in enumerate(self.coincidence):
                    at = status.place(wanted)
                    # Only while the run has a file for the other channel: else nothing could pair.
                    if at is not None and any(f.place(self.coincidence[1 - side]) is not None for f in group):
                        self._coincidence(status.group).add(side, counters, features["cfd_time"][:, at])
            if status.rate is not None and time_tags is not None:
                status.rate.add(time_tags)
            if self.tick is not None and time_tags is not None and len(time_tags):
                if self._clocks.setdefault(status.group, path) == path:
                    rate = self._trigger_rates.setdefault(status.group, TriggerRate(self._rate_interval,
                                                                                    self._rate_points))
                    rate.add(np.asarray(time_tags, dtype=np.float64) * self.tick)
            self.version += 1

    def _coincidence(self, group: str) -> Coincidence:
        found = self.coincidences.get(group)
        if found is None:
            assert self.coincidence is not None
            a, b = self.coincidence
            found = self.coincidences[group] = Coincidence(
                a, b, ChannelHistogram(f"cfd_time@{b} - cfd_time@{a}", self.bins, self.coincidence_range,
                                       self.warmup))
        return found

    def _channel(self, status: FileStatus, c: int, channels: int, last: NDArray[Any]) -> Channel:
        key = (status.path, c)
        old = self.channels.get(key)
        channel = Channel(key, status.label if channels == 1 else f"{status.label} ch{c}",
                          UNITS.get(status.format or "", UNITS["WD1"]),
                          Ring(self.waveform_count, last.shape[2:], last.dtype),
                          {name: ChannelHistogram(name, self.bins, self.ranges.get(name), self.warmup)
                           for name in self.features} if old is None else old.histograms,
                          None if old is None else old.pulses,
                          (GainHistory() if self.fits is not None else None) if old is None else old.gains)
        self.channels[key] = channel
        return channel

    def record_error(self, path: str, message: str) -> None:
        with self.lock:
            status = self.files[path]
            status.errors += 1
            self.error_count += 1
            self.errors.append(f"{status.label}: {message}")
            self.version += 1

    def record_fatal(self, message: str) -> None:
        with self.lock:
            self.error_count += 1
            self.errors.append(message)
            self.version += 1

    def record_notice(self, message: str) -> None:
        """Something the page says that is no error: a file started over, a folder's new run."""
        with self.lock:
            self.notices.append(message)
            self.version += 1

    def settle(self) -> None:
        """The run has no more events for now: choose the histogram ranges that still wait for values."""
        with self.lock:
            hists = [h for c in self.channels.values() for h in c.histograms.values()]
            for hist in hists + [c.hist for c in self.coincidences.values()]:
                if hist.waiting:
                    hist.settle()
                    self.version += 1

    def sample_rate(self) -> None:
        """Adds a point to the reading rate's history once `rate_interval` has passed since the last."""
        now = self._clock()
        with self.lock:
            then, triggers = self._last_rate
            if now - then < self._rate_interval:
                return
            longest: dict[str, int] = {}
            for f in self.files.values():
                longest[f.group] = max(longest.get(f.group, 0), f.events)
            read = sum(longest.values())
            self._rate_t.push([now - self._started])
            # A file started over reads fewer triggers than before: no negative rates.
            self._rate.push([max(0, read - triggers) / (now - then)])
            self._last_rate = (now, read)
            self.version += 1

    # --- sessions --------------------------------------------------------------

    def reset_histograms(self) -> None:
        """Empties every histogram, and counts pulses anew; histograms without a given range choose it again."""
        with self.lock:
            for channel in self.channels.values():
                for hist in channel.histograms.values():
                    hist.reset()
                if channel.pulses is not None:
                    channel.pulses = PulseCount()
                if channel.gains is not None:
                    channel.gains.fitted = -1  # fits go on, of what comes from now on
            for coincidence in self.coincidences.values():
                coincidence.hist.reset()
                coincidence.paired = coincidence.unpaired = 0
            self.version += 1

    def fit_spectra(self) -> int:
        """Fits each channel's charge histogram that changed since its last fit; returns how many were fitted.

        The histograms are copied under the lock and fitted outside it, so a
        fit holds up neither the reading nor the page. A gain is kept only
        from a fit that is valid, at the time of the fit: seconds since the
        channel's first trigger from the timestamps with a tick, else since
        the monitor started.
        """
        if self.fits is None:
            return 0
        from ..analysis.fits import fit_spe_histogram

        started = time.perf_counter()
        with self.lock:
            now = self._clock() - self._started
            jobs: list[tuple[Channel, GainHistory, HistogramView, float]] = []
            for channel in self.channels.values():
                hist = channel.histograms.get("charge")
                view = None if hist is None else hist.view()
                gains = channel.gains
                if view is None or gains is None or int(view.counts.sum()) == gains.fitted:
                    continue
                at = now
                if self.tick is not None:
                    counter = self.files[channel.key[0]].rate
                    seconds = math.nan if counter is None else counter.rate().seconds
                    if not np.isfinite(seconds):
                        continue
                    at = seconds
                jobs.append((channel, gains, view, at))
        results: list[tuple[Channel, GainHistory, HistogramView, float, tuple[float, float, float] | None, str]] = []
        for channel, gains, view, at in jobs:
            try:
                result, _ = fit_spe_histogram(view.counts, view.edges, self.fits.model)
            except (ValueError, ArithmeticError, RuntimeError) as failure:
                # A spectrum it cannot start from (FitError), or numbers the minimizer gave up on: said on
                # the page, and the next fit is tried all the same.
                why = str(failure) or type(failure).__name__
                results.append((channel, gains, view, at, None, f"not fitted: {why}"))
                continue
            gain, error = result.extra["gain"], result.extra["gain_error"]
            # The fit's verdict, not the minimizer's stopping, decides: a gain it cannot stand behind is
            # replaced on the page by the reasons why.
            good = result.valid and math.isfinite(gain) and math.isfinite(error)
            results.append((channel, gains, view, at, (gain, error, result.chi2_ndf) if good else None,
                            "" if good else f"no gain at {at:.4g} s: {'; '.join(result.reasons)}"))
        with self.lock:
            for channel, gains, view, at, found, note in results:
                current = self.channels.get(channel.key)
                if current is None or current.gains is not gains:  # its file was started over meanwhile
                    continue
                gains.fitted = int(view.counts.sum())
                gains.note = note
                if found is None:
                    gains.failed += 1
                else:
                    gains.converged += 1
                    gains.points.push([[at, found[0], found[1]]])
                    gains.chi2_ndf = found[2]
            if results:
                self.fit_seconds = time.perf_counter() - started
                self.version += 1
        return len(results)

    def snapshot(self, points: int = POINTS) -> Snapshot:
        """A consistent copy of the state, waveforms decimated to at most `points` x values.

        Sessions asking while nothing changed get the same object back.
        """
        with self._snapshot_lock:
            cached = self._snapshot
            if cached is not None and cached.version == self.version:
                return cached
            with self.lock:
                version = self.version
                files = [FileView(s.path, s.label, s.group, s.status, s.format, s.events, s.waveforms, s.bytes_read,
                                  s.file_size, s.pending, s.declared, s.errors, s.reopened, s.gaps.gaps,
                                  s.gaps.missing, None if s.rate is None else s.rate.rate())
                         for s in self.files.values()]
                period = None if self.pulses is None else self.pulses.sample_period
                channels = [(c.key, c.label, c.unit, c.waveforms.last(),
                             {name: hist.view() for name, hist in c.histograms.items()},
                             None if c.pulses is None else
                             PulseView(c.pulses.pulses, c.pulses.waveforms,
                                       None if period is None else c.pulses.samples * period),
                             None if c.gains is None else gain_view(c.gains))
                            for c in self.channels.values()]
                if self.tick is not None:
                    labels = {f.path: f.label for f in files}  # a file that is a run of its own by its label
                    rate = RateView(True, {labels.get(g, g): r.view() for g, r in self._trigger_rates.items()})
                else:
                    rate = RateView(False, {"read": (self._rate_t.last(), self._rate.last())})
                labels = {f.path: f.label for f in files}
                coincidences = [CoincidenceView(labels.get(g, g), c.channels, c.hist.view(), c.paired, c.waiting,
                                                c.unpaired) for g, c in self.coincidences.items()]
                fit_seconds = self.fit_seconds
                notices, errors = list(self.notices), list(self.errors)
                error_count, restarted, earlier = self.error_count, self.restarted, self.earlier_waveforms
            # Decimation reads every sample held: outside the lock.
            views = [ChannelView(key, label, unit, decimate(rows, points), hists, pulses, gains)
                     for key, label, unit, rows, hists, pulses, gains in channels]
            snapshot = Snapshot(version, files, views, rate, notices, errors, triggers_of(files),
                                sum(f.waveforms for f in files), sum(f.events for f in files),
                                sum(f.gaps for f in files), sum(f.missing for f in files),
                                sum(f.bytes_read for f in files), sum(f.file_size for f in files), error_count,
                                restarted, earlier, self.features, self.pulses, coincidences, self.fits,
                                fit_seconds)
            self._snapshot = snapshot
            return snapshot


def gain_view(gains: GainHistory) -> GainView:
    points = gains.points.last()
    return GainView(points[:, 0], points[:, 1], points[:, 2], gains.converged, gains.failed, gains.note,
                    gains.chi2_ndf)


def _plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}{'' if count == 1 else 's'}"


def summary_line(final: Snapshot) -> str:
    """The command's last line: what was read, the errors, files started over, files not read, events pending."""
    parts = [f"{_plural(final.triggers, 'trigger')} ({_plural(final.waveforms, 'waveform')}) from"
             f" {_plural(len(final.files), 'file')}", f"{_plural(final.bytes_read, 'byte')} read",
             _plural(final.error_count, "error")]
    if final.restarted:
        parts.append(f"{_plural(final.restarted, 'file')} started over"
                     f" ({_plural(final.earlier_waveforms, 'waveform')} read before)")
    line = ", ".join(parts)
    for f in final.files:
        if f.status.startswith("waiting"):  # never opened: not there yet, or not told apart as WD1 or WD2
            line += f"; {f.label}: nothing read ({f.status})"
        if f.pending:
            arrived = (f"{f.pending:,} of its {_plural(f.declared, 'byte')}" if f.declared is not None
                       else f"{_plural(f.pending, 'byte')} of it")
            line += f"; {f.label}: an event cut at offset {f.bytes_read:,} is pending ({arrived} so far)"
    return line
