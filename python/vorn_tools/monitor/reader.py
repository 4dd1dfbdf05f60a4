"""The reading thread: follows every file of the run and feeds the shared state.

Each file is read by an EventBlocks that follows it: one that reached the
end of the data is iterated again on the next round and resumes exactly,
also inside an event the writer has not finished, so each file is read once,
in order, whatever its growth looks like. Its blocks are sized for the
feature kernel and stay 2-D, a new one at each change of length; the reading
and the kernel release the GIL while they work, so the server's thread keeps
answering meanwhile. With pulses counted, the pulse finder takes each block
once more (twice when its channels' polarities differ): the reading costs
one more pass over the samples, never one per waveform.

Only the paths given are opened, and in a run folder only the
`[PREFIX]wave[_]<N>.*` files of its newest run; the folder is looked at again
now and then, so channels whose files appear later are picked up, and a new
run written beside the old one (another prefix) takes its place. A file that
shrinks below what was read, that another file replaces, or whose first
bytes change (a new run written over the old one) is read again from its
start as a new file: a new run, not an error.
"""

from __future__ import annotations

import itertools
import os
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass, replace
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .. import features as pulse_features
from .. import sizes, timing
from ..blocks import FILE_ERRORS, Block, EventBlocks
from ..formats import Layout, declared_size
from .._growing import StillUnreadable, wait_to_open
from ..pulses import PulseOptions, find_pulses
from ..runs import RunError, folder_runs
from .state import MonitorState

__all__ = ["Inputs", "ReaderThread", "Source", "Stoppable", "newest_run"]

# Seconds between merges of a busy file's blocks into the state: a merge
# costs about what the features of a whole block do, whatever its size.
MERGE_EVERY = 0.05
HEAD = 4096  # first bytes of a file kept to tell when a new run is written over it
POLL = 0.1  # seconds between looks at files that had nothing new
RESCAN = 1.0  # seconds between looks at the run folder
STAT_EVERY = 0.5  # seconds between file-size looks while a file is busy
RETRY = 1.0  # seconds between attempts to open a file not yet readable


@dataclass(frozen=True)
class Inputs:
    """What the monitor may open: these files, and the wave<N> files of these folders.

    The files of a folder are the channels of one run; so are the files
    given with `run`, else each is a run of its own.
    """

    files: tuple[str, ...] = ()
    folders: tuple[str, ...] = ()
    run: bool = False

    @classmethod
    def of(cls, paths: list[str], run: bool = False) -> Inputs:
        folders = tuple(p for p in paths if os.path.isdir(p))
        return cls(tuple(p for p in paths if p not in folders), folders, run)


class Source:
    """One file: its blocks once it can be opened, and how far it was read."""

    def __init__(self, path: str, label: str, group: str, reader_type: str,
                 options: pulse_features.FeatureOptions, state: MonitorState,
                 pulses: PulseOptions | None = None, number: int = 0) -> None:
        self.path = path
        self.label = label
        self.group = group
        self.reader_type = reader_type
        self.options = options
        self.state = state
        self.pulses = pulses if state.pulses is not None else None
        self.blocks: EventBlocks | None = None  # the file's blocks once it is open
        self._iteration: Iterator[Block] | None = None  # an iteration of them that has not reached the end yet
        self.layout: Layout | None = None
        self.identity: os.stat_result | None = None
        self.position = 0
        self.head = b""  # the file's first bytes as read when it was opened
        self.times: timing.Unwrapper | None = None
        self.failed = False  # a read error: nothing more comes from this file unless it is replaced
        self.features_failed = False
        self.pulses_failed = False
        # Auto polarity, decided per channel from the file's first events and kept, as in a feature table.
        self.polarity: dict[int, int] | None = None
        self._next_try = 0.0
        self._next_stat = 0.0
        # Blocks measured but not yet merged into the state: (counters, time tags, bytes, features, last
        # waveforms, pulses counted per channel or None).
        self._gathered: list[tuple[NDArray[Any], NDArray[Any], int, dict[str, NDArray[Any]], NDArray[Any],
                                   NDArray[Any] | None]] = []
        self._merged = 0.0
        state.add_file(path, label, group, number)

    def step(self, now: float) -> bool:
        """Reads up to a round of blocks; True when events came."""
        if self.blocks is None and not self.failed:
            if now < self._next_try:
                return False
            if not self._open():
                self._next_try = now + RETRY
                return False
        if self.failed:
            return False
        got = 0
        for _ in range(sizes.MONITOR_ROUND_BLOCKS):
            count, ended = self._block()
            got += count
            if ended:
                self._merge()
                self.check()
                break
        else:
            if now >= self._next_stat:
                self._next_stat = now + STAT_EVERY
                self.check()
        return got > 0

    def _open(self) -> bool:
        try:
            self.blocks, self.layout, self.identity = wait_to_open(self.path, self.reader_type, 0.0, 0.0,
                                                                    _followed)
        except StillUnreadable as reason:
            self.state.update_file(self.path, status=f"waiting: {reason}")
            return False
        except FILE_ERRORS as failure:
            self._fail(str(failure) or type(failure).__name__)
            return False
        self.head = self._head(HEAD)
        self.times = timing.time_tags() if self.layout.reader_type == "WD1" else None
        self.polarity = None
        self.state.update_file(self.path, status="reading", format=self.layout.reader_type)
        self.check()
        return True

    def _head(self, size: int) -> bytes:
        try:
            with open(self.path, "rb") as file:
                return file.read(size)
        except OSError:
            return b""

    def _fail(self, message: str) -> None:
        self._merge()
        self.failed = True
        self.blocks = self._iteration = None
        self.state.record_error(self.path, message)
        self.state.update_file(self.path, status="stopped by an error")

    def _block(self) -> tuple[int, bool]:
        """Reads one block and hands it over; returns how many events and whether the data ended."""
        assert self.blocks is not None
        if self._iteration is None:
            self._iteration = iter(self.blocks)
        try:
            block = next(self._iteration, None)
        except OSError:  # the file went away as the reading took its account of the end: check() tells
            block = None
        if block is not None:
            self._hand_over(block)
            return block.events, False
        self._iteration = None  # the next round resumes where this one stopped
        error = self.blocks.read_error
        if error is not None:
            if self.check():
                return 0, True  # not the file's fault: a new one is read from its start
            message = str(error) or type(error).__name__
            if " at offset " not in message:
                message += f", reading the event at offset {self.position:,}"
            self._fail(message)
        return 0, True

    def _hand_over(self, block: Block) -> None:
        """Measures the block's events and merges them into the state."""
        assert self.layout is not None and self.blocks is not None
        events, length = block.events, block.data.shape[1]
        used = self.blocks.position - self.position
        self.position = self.blocks.position
        counters = block.headers["event_counter"].astype(np.int64)
        stamps = block.headers["timestamp"]
        # WD1 keeps 31 bits of trigger time, unwrapped here; WD2 timestamps are 64-bit.
        tags = self.times(stamps) if self.times is not None else stamps.astype(np.int64)
        channels = self.layout.channels if self.layout.reader_type == "WD2" and self.layout.channels > 0 else 1
        if length % channels:
            channels = 1
        self._measure(block.data.reshape(events, channels, length // channels), counters, tags, used)

    def _measure(self, block: NDArray[Any], counters: NDArray[Any], tags: NDArray[Any], used: int) -> None:
        events, channels, _ = block.shape
        shown = self.state.measured
        values: dict[str, NDArray[Any]]
        try:
            if self.features_failed or not block.shape[2]:
                raise ValueError
            if self.options.polarity == "auto" and self.polarity is None:
                self.polarity = pulse_features.decide_polarity(block, self.options)
            values = pulse_features.compute(block, self.options,
                                            polarity=self.polarity if self.options.polarity == "auto" else None)
        except ValueError as failure:
            if not self.features_failed and str(failure):
                self.features_failed = True
                self.state.record_error(self.path, f"no features: {failure}")
            values = {name: np.full((events, channels), np.nan) for name in shown}
        last = block[-self.state.waveform_count:].copy()
        self._gathered.append((counters, tags, used, {k: values[k] for k in shown}, last, self._pulses(block)))
        if time.monotonic() - self._merged >= MERGE_EVERY:
            self._merge()

    def _pulses(self, block: NDArray[Any]) -> NDArray[Any] | None:
        """The pulses of each channel of the block that count, or None when none are looked for."""
        settings = self.state.pulses
        if self.pulses is None or settings is None or self.pulses_failed or not block.shape[2]:
            return None
        channels = block.shape[1]
        # The finder takes one polarity: channels decided the other way (auto) are looked at apart.
        signs = np.array([self._sign(c) for c in range(channels)])
        counts = np.zeros(channels, np.int64)
        try:
            for sign in np.unique(signs).tolist():
                mine = np.flatnonzero(signs == sign)
                options = replace(self.pulses, polarity="positive" if sign > 0 else "negative")
                found = find_pulses(block if len(mine) == channels else block[:, mine], options)
                counted = settings.counted(found["start_time"])
                counts[mine] += np.bincount(found["row"][counted] % len(mine), minlength=len(mine))
        except ValueError as failure:
            self.pulses_failed = True
            self.state.record_error(self.path, f"no pulses: {failure}")
            return None
        return counts

    def _sign(self, channel: int) -> int:
        """The channel's polarity as its features have it; per waveform ("each") the finder's own."""
        assert self.pulses is not None
        polarity = self.options.polarity
        if polarity == "auto":
            return (self.polarity or {}).get(channel, 1)
        if polarity == "each":
            polarity = self.pulses.polarity
        return -1 if polarity == "negative" else 1

    def _merge(self) -> None:
        """Hands the gathered blocks to the state, a run of blocks of one shape at a time."""
        gathered, self._gathered = self._gathered, []
        self._merged = time.monotonic()
        for _, group in itertools.groupby(gathered, key=lambda block: block[4].shape):
            blocks = list(group)
            last = np.concatenate([b[4] for b in blocks])[-self.state.waveform_count:]
            pulses = [b[5] for b in blocks if b[5] is not None]
            self.state.add_events(self.path, np.concatenate([b[0] for b in blocks]), sum(b[2] for b in blocks),
                                  {k: np.concatenate([b[3][k] for b in blocks]) for k in self.state.measured}, last,
                                  np.concatenate([b[1] for b in blocks]),
                                  np.sum(pulses, axis=0) if len(pulses) == len(blocks) else None)

    def check(self) -> bool:
        """Looks at the file: its size, an event cut short at its end, another file or a new run under its name.

        True when the file is to be read again from its start.
        """
        try:
            now = os.stat(self.path)
        except FileNotFoundError:
            if self.identity is not None:
                return self._start_over("the file was removed; waiting for a new one")
            return False
        except OSError:
            return False
        if self.identity is not None and (now.st_dev, now.st_ino) != (self.identity.st_dev, self.identity.st_ino):
            return self._start_over("another file took its name; reading it from its start")
        if self.identity is not None and now.st_size < self.position:
            return self._start_over(f"the file shrank to {now.st_size:,} bytes, below the {self.position:,} read;"
                                    " reading it again from its start")
        if self.identity is not None:
            head = self._head(HEAD)
            if head[:len(self.head)] != self.head[:len(head)]:
                return self._start_over("a new run was written over the file; reading it from its start")
            if len(head) > len(self.head):  # a file opened before it held HEAD bytes
                self.head = head
        pending = max(0, now.st_size - self.position) if self.blocks is not None and not self.failed else 0
        declared = declared_size(self.path, self.position, self.layout) if pending and self.layout else None
        self.state.update_file(self.path, file_size=now.st_size, pending=pending, declared=declared)
        return False

    def _start_over(self, message: str) -> bool:
        self._gathered = []
        self.blocks = self._iteration = None
        self.layout = self.identity = None
        self.times = None
        self.head = b""
        self.position = 0
        self.failed = self.features_failed = self.pulses_failed = False
        self._next_try = 0.0
        self.state.restart_file(self.path, message)
        return True


def _followed(path: str, layout: Layout) -> EventBlocks:
    """The blocks of a file still being written, sized for the feature kernel."""
    return EventBlocks(path, layout, block_bytes=sizes.MONITOR_BLOCK_BYTES, check=_unchecked,
                       max_rows=sizes.MONITOR_BLOCK_EVENTS, fixed=True, follow=True)


def _unchecked() -> None:
    """The reading thread stops when told to, between rounds; an interrupt is the server's to handle."""


class Stoppable(threading.Thread):
    """A daemon thread of the monitor that runs until `stop()`; `failure` holds what ended it otherwise."""

    def __init__(self, name: str) -> None:
        super().__init__(name=name, daemon=True)
        self.failure: BaseException | None = None
        self._stop_event = threading.Event()

    def stop(self, timeout: float | None = None) -> None:
        self._stop_event.set()
        if self.is_alive():
            self.join(timeout)


class ReaderThread(Stoppable):
    """Follows the inputs until `stop()`; `failure` holds what ended it otherwise.

    When the state counts pulses (its `pulses` settings), every block is
    also given to the pulse finder with `pulses` (by default the features'
    baseline window and threshold). Its polarity is the features' for each
    channel, decided or given; only with ``polarity="each"`` is it the
    finder's own.
    """

    def __init__(self, inputs: Inputs, state: MonitorState, reader_type: str = "auto",
                 options: pulse_features.FeatureOptions | None = None, poll: float = POLL,
                 pulses: PulseOptions | None = None) -> None:
        super().__init__("vorn-monitor-reader")
        self.inputs = inputs
        self.state = state
        self.reader_type = reader_type
        self.options = options or pulse_features.FeatureOptions()
        self.pulses = pulses or PulseOptions(baseline=self.options.baseline, threshold=self.options.threshold,
                                             threshold_rms=self.options.threshold_rms)
        self.poll = poll
        self.sources: dict[str, Source] = {}
        self.cpu_time = 0.0  # seconds of CPU this thread used
        self._next_scan = 0.0
        self._folder_notes: dict[str, str] = {}  # what the page last said about each folder
        self._runs: dict[str, list[str]] = {}  # per folder, the prefixes of the runs followed, the current last

    def run(self) -> None:
        try:
            for number, path in enumerate(self.inputs.files):
                if self.inputs.run:
                    self._add(path, os.path.basename(path), "the files given", number)
                else:
                    self._add(path, os.path.basename(path), path)
            while not self._stop_event.is_set():
                now = time.monotonic()
                self._scan(now)
                busy = False
                for source in list(self.sources.values()):
                    busy = source.step(now) or busy
                    if self._stop_event.is_set():
                        break
                self.state.sample_rate()
                self.cpu_time = time.thread_time()
                if not busy:
                    for source in self.sources.values():
                        source.check()
                    self.state.settle()
                    self._stop_event.wait(self.poll)
        except BaseException as failure:  # shown on the page and reported when the monitor stops
            self.failure = failure
            self.state.record_fatal(f"the reading stopped: {type(failure).__name__}: {failure}")
        finally:
            self.cpu_time = time.thread_time()

    def _add(self, path: str, label: str, group: str, number: int = 0) -> None:
        real = os.path.realpath(path)
        if any(os.path.realpath(known) == real for known in self.sources):
            return  # a file of a folder also given by its name is read once
        self.sources[path] = Source(path, self._unique(path, label), group, self.reader_type, self.options,
                                    self.state, self.pulses, number)

    def _unique(self, path: str, label: str) -> str:
        """The label, or more of the path when another file has it: files of one name stay apart."""
        taken = {source.label for source in self.sources.values()}
        parts = os.path.normpath(os.path.abspath(path)).split(os.sep)
        for count in range(1, len(parts) + 1):
            if label not in taken:
                return label
            label = os.path.join(*parts[-count - 1:])
        return path

    def _scan(self, now: float) -> None:
        if not self.inputs.folders or now < self._next_scan:
            return
        self._next_scan = now + RESCAN
        for folder in self.inputs.folders:
            try:
                prefix, found = newest_run(folder, self._runs.get(folder, []))
            except (RunError, OSError) as failure:
                # No wave<N> files yet, or two for one channel while a run is being set up: said once.
                note = f"{folder}: {failure}"
                if self._folder_notes.get(folder) != note:
                    self._folder_notes[folder] = note
                    self.state.record_notice(note)
                continue
            self._folder_notes.pop(folder, None)
            followed = self._runs.setdefault(folder, [])
            if followed and followed[-1] != prefix:
                for path in [path for path, source in self.sources.items() if source.group == folder]:
                    del self.sources[path]
                    self.state.remove_file(path, f"a new run, {prefix}wave<N>, took the place of"
                                                 f" {followed[-1]}wave<N>")
            if not followed or followed[-1] != prefix:
                followed.append(prefix)
            for channel, path in found.items():
                if path not in self.sources:
                    name = os.path.relpath(path, folder)
                    self._add(path, name if len(self.inputs.folders) == 1
                              else os.path.join(os.path.basename(os.path.normpath(folder)), name), folder, channel)


def newest_run(folder: str, seen: list[str]) -> tuple[str, dict[int, str]]:
    """The prefix and channel files, by channel, of the folder's newest run.

    Runs are told apart by their files' prefix; the newest is the one
    written to last, among those not followed before `seen[-1]`: a run
    once left for a newer one is not gone back to.
    """
    runs: dict[str, dict[int, str]] = {}
    written: dict[str, int] = {}
    for prefix, files in folder_runs(folder, set(seen[:-1])).items():
        for channel, path in files.items():
            try:
                modified = os.stat(path).st_mtime_ns
            except OSError:  # gone since the folder was listed
                continue
            runs.setdefault(prefix, {})[channel] = path
            written[prefix] = max(written.get(prefix, 0), modified)
    if not runs:
        raise RunError(f"{folder}: its wave<N> files went away as they were listed")
    prefix = max(runs, key=lambda p: (written[p], p))
    return prefix, dict(sorted(runs[prefix].items()))
