"""The `vorn` command: argument parsing, exit status and the report of each verb.

Exit status: 0 when everything went well, 1 when some input failed, 2 for a
usage error, a missing optional library included. Errors are one line on
standard error that names the file.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import importlib.metadata
import itertools
import json
import os
import re
import signal
import sys
from collections.abc import Sequence
from typing import Any

import numpy as np

from . import parallel, signals
from .blocks import FILE_ERRORS, READ_ERRORS, Selection, open_reader
from .formats import Layout, Unclassified, detect_type, open_layout
from .output_files import unique_names

OK, FAILED, USAGE = 0, 1, 2
# What a shell reports for a command ended by SIGPIPE, as Unix tools are when
# the reader of their output goes away.
BROKEN_PIPE = 128 + signal.SIGPIPE

EXTRAS = {"h5py": "cli", "matplotlib": "cli", "dask": "dask", "distributed": "dask", "uproot": "root",
          "pyarrow": "parquet", "boost_histogram": "hist", "bokeh": "monitor"}
RASTER_FORMATS = {"png", "jpg", "jpeg", "tif", "tiff", "webp", "raw", "rgba"}


class UsageError(Exception):
    """A mistake in the command line; exit status 2."""


class Failed(Exception):
    """The command could not do its work; exit status 1."""


def install_hint(extra: str) -> str:
    return f"pip install 'vorn[{extra}]' (in a source checkout: pip install '.[{extra}]')"


def require(module: str, command: str) -> Any:
    """Import an optional library, or stop with the pip command that brings it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        top = module.partition(".")[0]
        raise UsageError(f"{command} needs {top}, which is not installed ({error}): "
                         f"{install_hint(EXTRAS[top])}") from None


def error(message: str) -> None:
    print(f"vorn: {message}", file=sys.stderr)


def plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}{'' if count == 1 else 's'}"


def hint_float32(path: str) -> None:
    error(f"{path}: the samples look like the halves of 32-bit floats: pass --float32 to read them as floats")


# --- formats ------------------------------------------------------------------

def layouts(paths: Sequence[str], reader_type: str) -> list[Layout | str]:
    """The layout of each file, or the message saying why it cannot be read at all."""
    found: list[Layout | str] = []
    for path in paths:
        try:
            kind = detect_type(path) if reader_type == "auto" else reader_type
            found.append(open_layout(path, kind))
        except Unclassified as failure:
            found.append(str(failure))
        except OSError as failure:
            found.append(failure.strerror or str(failure))
    return found


# --- info -----------------------------------------------------------------------

def run_info(args: argparse.Namespace) -> int:
    from .info import scan
    from .progress import Progress

    status = OK
    documents: list[dict[str, Any]] = []
    for path, layout in zip(args.files, layouts(args.files, args.type)):
        if isinstance(layout, str):
            error(f"{path}: {layout}")
            documents.append({"path": path, "error": layout})
            status = FAILED
            continue
        try:
            with Progress(_size(path), os.path.basename(path), args.quiet) as bar:
                info = scan(path, layout, args.float32, bar, args.events)
        except FILE_ERRORS as failure:
            message = str(failure) or type(failure).__name__
            error(f"{path}: {message}")
            documents.append({"path": path, "error": message})
            status = FAILED
            continue
        if info.float32_hint:
            hint_float32(path)
        if info.ending is not None and info.ending.error is not None:
            error(f"{path}: {info.ending.error}")
            status = FAILED
        if args.json:
            documents.append(info.as_dict())
        else:
            info.print(sys.stdout)
    if args.json:
        json.dump(documents, sys.stdout, indent=2)
        print()
    return status


# --- convert --------------------------------------------------------------------

def run_convert(args: argparse.Namespace) -> int:
    if args.as_run:
        return _convert_run(args)
    root = args.output.endswith(".root") and args.jobs is None and args.scheduler is None
    require("uproot" if root else "h5py", "vorn convert" + (" to ROOT" if root else ""))
    if args.scheduler:
        require("distributed", "vorn convert --scheduler")
    from . import convert
    from .progress import Progress

    folder = args.jobs is not None or args.scheduler is not None
    found = layouts(args.files, args.type)
    readable = [(i, layout) for i, layout in enumerate(found) if isinstance(layout, Layout)]
    names = unique_names([args.files[i] for i, _ in readable])
    options = convert.Options(args.compression, args.float32, args.events, args.salvage)
    # Workers elsewhere need paths that do not depend on this process's folder.
    tasks = [convert.Task(os.path.abspath(args.files[i]), layout, name, options)
             for (i, layout), name in zip(readable, names)]
    if folder:
        if os.path.exists(args.output) and not os.path.isdir(args.output):
            raise UsageError(f"{args.output} is not a folder (with --jobs or --scheduler, -o names a folder)")
        targets = [os.path.join(args.output, f"{name}.h5") for name in names]
    else:
        if os.path.isdir(args.output):
            raise UsageError(f"{args.output} is a folder; without --jobs or --scheduler, -o names an HDF5 file")
        if not os.path.isdir(os.path.dirname(os.path.abspath(args.output))):
            raise UsageError(f"the folder of {args.output} does not exist")
        targets = [args.output]
    _spare_inputs(targets, args.files)
    _check_targets(targets, args.force)
    if folder:
        os.makedirs(args.output, exist_ok=True)
    converted: list[convert.Outcome] = []
    if tasks and folder:
        where = os.path.abspath(args.output)
        with Progress(len(tasks), "convert", args.quiet, unit="file") as bar:
            if args.scheduler:
                try:
                    converted = convert.convert_on_cluster(tasks, where, args.scheduler, bar)
                except parallel.Unreachable as failure:
                    raise Failed(str(failure)) from None
            else:
                converted = convert.convert_in_workers(tasks, where, args.jobs, bar)
    elif tasks and root:
        if not args.events.everything or args.salvage:
            raise UsageError("--events and --salvage are for HDF5 output")
        from .outputs.root_tree import write_waveforms_root

        with Progress(sum(_size(t.path) for t in tasks), "convert", args.quiet) as bar:
            converted = write_waveforms_root(tasks, args.output, args.float32, bar,  # type: ignore[assignment]
                                             args.compression)
    elif tasks:
        with Progress(sum(_size(t.path) for t in tasks), "convert", args.quiet) as bar:
            converted = convert.convert_into_one(tasks, args.output, bar)
    outcomes = [convert.Outcome(path, error=layout) if isinstance(layout, str) else None
                for path, layout in zip(args.files, found)]
    for (i, _), outcome, target in zip(readable, converted, targets if folder else itertools.repeat(None)):
        # As the user wrote them, not as the workers were given them.
        outcome.path = args.files[i]
        if outcome.output is not None and target is not None:
            outcome.output = target
        outcomes[i] = outcome
    return _report([o for o in outcomes if o is not None])


def _convert_run(args: argparse.Namespace) -> int:
    """The files as the channels of one run, into one group of a new HDF5 file."""
    require("h5py", "vorn convert --run")
    from .progress import Progress
    from .blocks import BadFile
    from .run_hdf5 import write_run
    from .runs import RunError, open_run

    if args.jobs is not None or args.scheduler is not None or not args.events.everything or args.salvage:
        raise UsageError("--run converts one run into one file: no --jobs, --scheduler, --events or --salvage")
    if os.path.isdir(args.output) or not args.output.endswith((".h5", ".hdf5")):
        raise UsageError(f"with --run, -o names an HDF5 file (.h5), not {args.output}")
    _spare_inputs([args.output], _run_inputs(args.files))
    _check_targets([args.output], args.force)
    try:
        run = open_run(args.files if len(args.files) > 1 else args.files[0], type=args.type, float32=args.float32)
        name = _run_name(args.files)
        with Progress(0, "convert", args.quiet, unit="event") as bar:
            events = write_run(run, args.output, name, args.compression, bar)
    except (RunError, BadFile) as failure:
        error(str(failure))
        return FAILED
    print(f"{', '.join(args.files)} -> {args.output}:/{name}: {plural(events, 'event')} in"
          f" {plural(len(run.channels), 'channel')}")
    status = OK
    for channel, report in zip(run.channels, run.report.channels):
        lost = []
        if report.missing:
            first = "counter" if len(report.first_missing) == 1 else "first counters"
            lost.append(f"{plural(report.missing, 'event')} missing ({first}"
                        f" {', '.join(map(str, report.first_missing))})")
        if report.extra:
            first = "at offset" if len(report.first_extra) == 1 else "first at offsets"
            lost.append(f"{plural(report.extra, 'extra event')} ({first}"
                        f" {', '.join(f'{offset:,}' for offset, _ in report.first_extra)})")
        if lost:
            error(f"{channel.path}: {'; '.join(lost)}: only the events of every file were kept")
            status = FAILED
    return status


def _run_inputs(files: Sequence[str]) -> list[str]:
    if len(files) == 1 and os.path.isdir(files[0]):
        return [os.path.join(files[0], name) for name in os.listdir(files[0])]
    return list(files)


def _run_name(files: Sequence[str]) -> str:
    if len(files) == 1:
        return os.path.basename(os.path.normpath(files[0])).rsplit(".", 1)[0] or "run"
    return os.path.basename(os.path.dirname(os.path.abspath(files[0]))) or "run"


def _size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0  # reported when the file is read


def _spare_inputs(targets: Sequence[str], inputs: Sequence[str]) -> None:
    """Refuse an output that is one of the inputs, whatever the spelling: links, relative paths."""
    identities: dict[tuple[int, int], str] = {}
    for path in inputs:
        with contextlib.suppress(OSError):
            found = os.stat(path)
            identities.setdefault((found.st_dev, found.st_ino), path)
    for target in targets:
        try:
            found = os.stat(target)
        except OSError:
            continue
        source = identities.get((found.st_dev, found.st_ino))
        if source is not None:
            raise UsageError(f"{target} is the input {source}: it is never replaced, --force or not")


def _check_targets(targets: Sequence[str], force: bool) -> None:
    existing = [t for t in targets if os.path.lexists(t)]
    if existing and not force:
        raise UsageError(f"{existing[0]} exists: pass --force to replace it")


def _report(outcomes: Sequence[Any]) -> int:
    for outcome in outcomes:
        if outcome.error is None or outcome.salvaged:
            kept = ", the events before it kept (--salvage)" if outcome.salvaged else ""
            print(f"{outcome.path} -> {outcome.output}: {plural(outcome.events, 'event')}, {outcome.ending}{kept}")
    bad = [o for o in outcomes if o.error is not None]
    for outcome in bad:
        error(f"{outcome.path}: {outcome.error}")
    if bad:
        error(f"{len(bad)} of {plural(len(outcomes), 'file')} failed: {', '.join(o.path for o in bad)}")
        return FAILED
    return OK


# --- plot -----------------------------------------------------------------------

def run_plot(args: argparse.Namespace) -> int:
    require("matplotlib", "vorn plot")
    import vorn

    from .formats import look_like_float_halves
    from .plotting import figure_pixels, plot_events

    from matplotlib.figure import Figure

    _spare_inputs([args.output], [args.file])
    kind = _image_format(args.output)
    formats = Figure().canvas.get_supported_filetypes()
    if kind not in formats:
        raise UsageError(f"cannot draw {args.output}: the image format follows its extension, one of"
                         f" {', '.join(sorted(formats))}")
    (layout,) = layouts([args.file], args.type)
    if isinstance(layout, str):
        error(f"{args.file}: {layout}")
        return FAILED
    wd1 = layout.reader_type == "WD1"
    if not wd1 and args.channel is not None and not 0 <= args.channel < layout.channels:
        error(f"{args.file}: no channel {args.channel}; the file has channels 0 to {layout.channels - 1}")
        return FAILED
    float32 = args.float32 and wd1
    selection = args.events
    try:
        events: Any = open_reader(args.file, layout)
        if args.channel is not None and wd1:
            events = (e for e in events if e["board_channel"] == args.channel)
        shown = list(itertools.islice(events, selection.start, selection.stop))
    except FILE_ERRORS as failure:
        error(f"{args.file}: {failure}")
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
    fig.savefig(args.output, dpi=fig.dpi)
    if kind in RASTER_FORMATS:
        width, height = figure_pixels(len(fig.axes))
        print(f"wrote {args.output} ({width}x{height} pixels)")
    else:
        print(f"wrote {args.output}")
    return OK


def _image_format(path: str) -> str:
    """The format Matplotlib writes for this name: its extension, PNG without one."""
    extension = os.path.splitext(path)[1].lower().lstrip(".")
    return extension or "png"


# --- features and histograms ---------------------------------------------------------

TABLE_LIBRARIES = {".h5": "h5py", ".hdf5": "h5py", ".parquet": "pyarrow", ".root": "uproot"}


def _pulse_options(args: argparse.Namespace) -> Any:
    """The FeatureOptions of the pulse options on the command line."""
    from .features import FeatureOptions

    try:
        return FeatureOptions(baseline=tuple(args.baseline), polarity=args.polarity,
                              charge=tuple(args.charge) if args.charge else None,
                              charge_peak=tuple(args.charge_peak) if args.charge_peak else None,
                              threshold=args.threshold, threshold_rms=args.threshold_rms,
                              cfd_fraction=args.cfd_fraction, adc_max=args.adc_max)
    except ValueError as failure:
        raise UsageError(str(failure)) from None


def _feature_tasks(args: argparse.Namespace, options: Any = None) -> list[Any]:
    """The inputs as tasks: one per file, or one for the whole run with --run."""
    from .feature_table import FeatureTask

    options = _pulse_options(args) if options is None else options
    if args.as_run:
        if len(args.files) == 1 and os.path.isdir(args.files[0]):
            paths = (os.path.abspath(args.files[0]),)
        else:
            paths = tuple(os.path.abspath(p) for p in args.files)
        args.unreadable = []
        return [FeatureTask(paths, _run_name(args.files), options, True, args.type, args.float32, args.tick)]
    folders = [path for path in args.files if os.path.isdir(path)]
    if folders:
        raise UsageError(f"{folders[0]} is a folder: pass --run to read its wave<N> files as one run")
    # Classified here, in the command's words, and once: each task then
    # opens its file as the type found.
    found = layouts(args.files, args.type)
    readable = [(path, layout) for path, layout in zip(args.files, found) if isinstance(layout, Layout)]
    args.unreadable = [(path, reason) for path, reason in zip(args.files, found) if isinstance(reason, str)]
    names = unique_names([path for path, _ in readable])
    return [FeatureTask((os.path.abspath(path),), name, options, False, layout.reader_type, args.float32, args.tick)
            for (path, layout), name in zip(readable, names)]


def run_features(args: argparse.Namespace) -> int:
    from .feature_table import TableOutcome, features_alone, write_features
    from .progress import Progress

    folder = args.jobs is not None or args.scheduler is not None
    suffix = args.format if folder else os.path.splitext(args.output)[1].lower()
    if suffix not in TABLE_LIBRARIES:
        raise UsageError(f"the table format follows the extension of -o: {', '.join(TABLE_LIBRARIES)}, not"
                         f" {args.output}" if not folder else f"--format must be one of {', '.join(TABLE_LIBRARIES)}")
    require(TABLE_LIBRARIES[suffix], "vorn features")
    if args.scheduler:
        require("distributed", "vorn features --scheduler")
    if folder and args.as_run:
        raise UsageError("a run is one table: --run takes no --jobs or --scheduler")
    tasks = _feature_tasks(args)
    if folder:
        if os.path.exists(args.output) and not os.path.isdir(args.output):
            raise UsageError(f"{args.output} is not a folder (with --jobs or --scheduler, -o names a folder)")
        targets = [os.path.join(args.output, f"{task.name}{suffix}") for task in tasks]
    else:
        if os.path.isdir(args.output):
            raise UsageError(f"{args.output} is a folder; without --jobs or --scheduler, -o names a table file")
        targets = [args.output]
    _spare_inputs(targets, _run_inputs(args.files) if args.as_run else args.files)
    _check_targets(targets, args.force)
    outcomes: list[Any] = []
    if not tasks:
        pass
    elif folder:
        os.makedirs(args.output, exist_ok=True)
        where = os.path.abspath(args.output)
        with Progress(len(tasks), "features", args.quiet, unit="file") as bar:
            if args.scheduler:
                try:
                    outcomes = parallel.on_cluster(features_alone, tasks, args.scheduler, bar, folder=where,
                                                   suffix=suffix)
                except parallel.Unreachable as failure:
                    raise Failed(str(failure)) from None
            else:
                outcomes = parallel.in_workers(features_alone, tasks, args.jobs, bar, folder=where, suffix=suffix)
        for outcome, target in zip(outcomes, targets):
            if outcome.output is not None:
                outcome.output = target
    else:
        with Progress(0, "features", args.quiet, unit="row") as bar:
            outcomes = write_features(tasks, args.output, bar)
    given = [", ".join(args.files)] if args.as_run else [p for p in args.files if p not in dict(args.unreadable)]
    for outcome, path in zip(outcomes, given):
        outcome.path = path
    outcomes += [TableOutcome(path, error=reason) for path, reason in args.unreadable]
    return _report(outcomes)


# --- every pulse -----------------------------------------------------------------------

def run_pulses(args: argparse.Namespace) -> int:
    from .feature_table import TableOutcome, write_features
    from .progress import Progress
    from .pulse_table import PulseRows
    from .pulses import PulseOptions
    from .timing import parse_tick

    suffix = os.path.splitext(args.output)[1].lower()
    if suffix not in TABLE_LIBRARIES:
        raise UsageError(f"the table format follows the extension of -o: {', '.join(TABLE_LIBRARIES)}, not"
                         f" {args.output}")
    require(TABLE_LIBRARIES[suffix], "vorn pulses")
    try:
        period = None if args.sample_period is None else parse_tick(args.sample_period)
        options = PulseOptions(baseline=tuple(args.baseline), polarity=args.polarity, threshold=args.threshold,
                               threshold_rms=args.threshold_rms, hysteresis=args.hysteresis,
                               hysteresis_rms=args.hysteresis_rms, separation=args.separation,
                               charge=tuple(args.charge), slope=args.slope, slope_span=args.slope_span)
    except ValueError as failure:
        raise UsageError(str(failure)) from None
    if os.path.isdir(args.output):
        raise UsageError(f"{args.output} is a folder; -o names a table file")
    tasks = _feature_tasks(args, options)
    _spare_inputs([args.output], _run_inputs(args.files) if args.as_run else args.files)
    _check_targets([args.output], args.force)
    measure = PulseRows(period, tuple(args.exclude) if args.exclude else None)
    outcomes: list[Any] = []
    if tasks:
        with Progress(0, "pulses", args.quiet, unit="pulse") as bar:
            outcomes = write_features(tasks, args.output, bar, measure=measure)
    given = [", ".join(args.files)] if args.as_run else [p for p in args.files if p not in dict(args.unreadable)]
    for number, (outcome, path) in enumerate(zip(outcomes, given)):
        outcome.path = path
        # Events without a pulse give no row: count them as read.
        outcome.events = measure.events.get(number if len(tasks) > 1 else None, 0)
    outcomes += [TableOutcome(path, error=reason) for path, reason in args.unreadable]
    status = _report(outcomes)
    if period is not None and any(o.output for o in outcomes):
        outside = f" outside samples [{args.exclude[0]}, {args.exclude[1]})" if args.exclude else ""
        for channel, dark in sorted(measure.dark.items()):
            print(f"channel {channel}: dark-count rate {dark.rate(period):.4g} Hz, "
                  f"{plural(dark.pulses, 'pulse')} in {dark.samples * period:.4g} s of waveform{outside}")
    return status


def run_hist(args: argparse.Namespace) -> int:
    require("boost_histogram", "vorn hist")
    require("matplotlib", "vorn hist")
    if args.scheduler:
        require("distributed", "vorn hist --scheduler")
    from .blocks import BadFile
    from .histograms import merge, write_csv, write_png
    from .runs import RunError
    from .spectra import Binning, first_range, in_range, spectrum

    if args.of == "time" and args.tick is None:
        raise UsageError("--of time needs --tick, the length of the board's clock tick (for example 8ns)")
    if not args.output.lower().endswith(".png"):
        raise UsageError(f"-o names a PNG file (.png), not {args.output}")
    if args.range is not None and not in_range(*args.range):
        raise UsageError(f"--range needs LO < HI, both finite, not {args.range[0]:g} {args.range[1]:g}")
    tasks = _feature_tasks(args)
    if args.unreadable:
        for path, reason in args.unreadable:
            error(f"{path}: {reason}")
        return FAILED
    binning = Binning(args.of, args.bins, channel=args.channel, width=args.width)
    outputs = [args.output] + ([args.csv] if args.csv else [])
    _spare_inputs(outputs, _run_inputs(args.files) if args.as_run else args.files)
    _check_targets(outputs, args.force)
    try:
        if args.of != "time":
            low, high = args.range if args.range is not None else first_range(tasks[0], binning)
            binning = Binning(args.of, args.bins, low, high, args.channel)
        if args.scheduler:
            histograms = parallel.on_cluster(spectrum, tasks, args.scheduler, None, binning=binning)
        elif args.jobs is not None:
            histograms = parallel.in_workers(spectrum, tasks, args.jobs, None, binning=binning)
        else:
            histograms = [spectrum(task, binning) for task in tasks]
    except parallel.Unreachable as failure:
        raise Failed(str(failure)) from None
    except KeyError as failure:
        raise UsageError(f"no column {failure.args[0]!r} to histogram: a feature, a header key, time_tag or"
                         " time") from None
    except (*FILE_ERRORS, RunError, ValueError) as failure:
        error(str(failure))
        return FAILED
    total = merge(histograms)
    entries = int(total.sum(flow=True))
    if args.channel is not None and not entries:
        error(f"no channel {args.channel} in the events read")
        return FAILED
    what = "event rate" if args.of == "time" else args.of
    title = f"{what} of {', '.join(os.path.basename(os.path.normpath(f)) for f in args.files)}"
    write_png(total, args.output, log=args.log, panels=args.panels, title=title)
    if args.csv:
        write_csv(total, args.csv)
    print(f"wrote {args.output}" + (f" and {args.csv}" if args.csv else "")
          + f": {entries:,} {'entry' if entries == 1 else 'entries'}")
    return OK


# --- follow ---------------------------------------------------------------------

def run_follow(args: argparse.Namespace) -> int:
    from .follow import FileChanged, Follower, StillUnreadable, wait_for_reader

    try:
        reader, layout, identity = wait_for_reader(args.file, args.type, args.wait, args.poll)
    except (StillUnreadable, *FILE_ERRORS) as failure:
        error(f"{args.file}: {failure}")
        return FAILED
    follower = Follower(reader, sys.stdout, args.file, layout, identity)
    status = OK
    try:
        follower.run(args.idle, args.poll)
        ended = f"then {args.idle:g} s without new data"
    except KeyboardInterrupt:
        ended = "interrupted"
    except FileChanged as failure:
        error(f"{args.file}: {failure}")
        ended, status = "then the file changed under the reader", FAILED
    except BrokenPipeError:
        raise  # our reader went away, not the file's: the command ends quietly
    except READ_ERRORS as failure:
        error(f"{args.file}: {failure}")
        ended, status = "then a read error", FAILED
    pending = follower.pending() if status == OK else None
    if pending is not None:
        offset, arrived = pending
        ended += f"; an event cut at offset {offset:,} is pending ({plural(arrived, 'byte')} of it so far)"
    print(f"{plural(follower.count, 'event')}, {ended}")
    return status


# --- monitor --------------------------------------------------------------------

def run_monitor(args: argparse.Namespace) -> int:
    require("bokeh", "vorn monitor")
    require("boost_histogram", "vorn monitor")
    from .monitor.server import Monitor, is_loopback

    options = _pulse_options(args)
    for path in args.paths:
        if not os.path.exists(path) and not os.path.isdir(os.path.dirname(os.path.abspath(path))):
            raise UsageError(f"{path}: neither the file nor its folder exists")
    monitor = Monitor(list(args.paths), args.type, options, args.host, args.port)
    if args.port > 65535:
        raise UsageError(f"--port {args.port}: ports are numbered from 0 (any free one) to 65535")
    try:
        monitor.start()
    except (OSError, AssertionError) as failure:
        reason = getattr(failure, "strerror", None) or failure
        raise Failed(f"cannot serve on {args.host}:{args.port}: {reason}") from None
    if not is_loopback(args.host):
        error(f"warning: serving on {args.host}: anyone who can reach this address sees the data")
    print(f"vorn monitor: serving {monitor.url} (Ctrl-C to stop)", flush=True)
    try:
        monitor.serve_forever()
    except KeyboardInterrupt:
        pass
    final = monitor.stop()
    print(f"{plural(final.events, 'event')} from {plural(len(final.files), 'file')},"
          f" {plural(final.bytes_read, 'byte')} read, {plural(final.error_count, 'error')}")
    if monitor.reader.failure is not None:
        error(f"the reading stopped: {monitor.reader.failure}")
    return FAILED if final.error_count else OK


# --- the parser -----------------------------------------------------------------

EXAMPLES = {
    "info": """examples:
  vorn info run042.wd1
  vorn info --json runs/*.wd2 > summary.json""",
    "convert": """examples:
  vorn convert run042.wd1 -o run042.h5
  vorn convert --type WD2 --compression none runs/*.wd2 -o runs.h5
  vorn convert --jobs 4 runs/*.wd2 -o converted/         # one HDF5 file per run
  vorn convert --scheduler tcp://host:8786 runs/*.wd2 -o /shared/converted/
  vorn convert run042.wd1 -o run042.root                 # a TTree per file
  vorn convert --run run042/ -o run042.h5                # wave0.dat, wave1.dat, ... as one run""",
    "plot": """examples:
  vorn plot run042.wd2 -n 8 -o first8.png
  vorn plot run042.wd1 --channel 3""",
    "features": """examples:
  vorn features run042.wd1 -o run042.parquet
  vorn features --run run042/ --charge 100 300 --tick 8ns -o run042.root
  vorn features --jobs 4 runs/*.dat -o tables/ --format .h5""",
    "pulses": """examples:
  vorn pulses sipm.wd2 -o pulses.parquet
  vorn pulses dark.dat --threshold 30 --hysteresis 10 --sample-period 0.2ns --exclude 90 160 -o dark.parquet
  vorn hist pulses.parquet --of delay""",
    "hist": """examples:
  vorn hist run042.wd1 --of charge --log -o charge.png --csv charge.csv
  vorn hist --run run042/ --of amplitude --panels
  vorn hist run042.wd1 --of time --tick 8ns -o rate.png""",
    "follow": """examples:
  vorn follow live.wd2 --idle 30""",
    "monitor": """examples:
  vorn monitor run042/                     # a run folder: wave0.dat, wave1.dat, ... as they appear
  vorn monitor live.wd2 --polarity negative --charge-peak 10 40
  vorn monitor run042/ --host 0.0.0.0      # reachable from other machines (prints a warning)""",
}


def _whole(least: int, what: str) -> Any:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"{what}, not {value}")
        return value
    return parse


_positive_int = _whole(1, "must be at least 1")
_port = _whole(0, "ports are numbered from 0 (any free one) to 65535")
_channel = _whole(0, "channels are numbered from 0")


def _seconds(positive: bool) -> Any:
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds") from None
        if not (value > 0 if positive else value >= 0) or value == float("inf"):
            raise argparse.ArgumentTypeError(f"must be {'above' if positive else 'at least'} 0 and finite, "
                                             f"not {text}")
        return value
    return parse


def _selection(text: str) -> Selection:
    try:
        return Selection.parse(text)
    except ValueError as failure:
        raise argparse.ArgumentTypeError(str(failure)) from None


SCHEDULER = re.compile(r"^(?:(?P<scheme>[a-z][a-z0-9+.-]*)://)?(?P<host>\[[0-9a-fA-F:.]+\]|[^\s:/\[\]]+):(?P<port>\d{1,5})$")
SCHEMES = {"tcp", "tls", "ws", "wss", "ucx"}


def _scheduler(text: str) -> str:
    """A scheduler's address as Dask takes it: [tcp://]HOST:PORT."""
    found = SCHEDULER.match(text.strip())
    if found is None or (found["scheme"] or "tcp") not in SCHEMES or not 0 < int(found["port"]) < 65536:
        raise argparse.ArgumentTypeError(f"{text!r} is not a scheduler address such as tcp://host:8786")
    return text.strip()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vorn",
        description="Inspect, convert to HDF5, plot, follow and monitor WD1 and WD2 event files.",
        epilog="Run 'vorn COMMAND --help' for a command's options and examples.",
    )
    try:
        version = importlib.metadata.version("vorn")
    except importlib.metadata.PackageNotFoundError:
        version = "unknown"
    parser.add_argument("--version", action="version", version=f"vorn {version}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, summary: str, description: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=description, epilog=EXAMPLES[name],
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        return sub

    def type_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--type", choices=["WD1", "WD2", "auto"], default="auto",
                         help="file format (default: auto, which refuses files it cannot tell apart)")

    def float32_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--float32", action="store_true",
                         help="WD1 only: read each event's samples as 32-bit floats (data.view(float32))")

    def events_option(sub: argparse.ArgumentParser, *names: str, default: str | None = None) -> None:
        sub.add_argument(*names, "--events", type=_selection, default=_selection(default or ":"),
                         metavar="N|START:STOP",
                         help="only the first N events, or events START to STOP-1 counted from 0 as in a Python"
                              " slice (either side may be left out)" + (f"; default {default}" if default else ""))

    info = command("info", "what files hold", "Report format, events, counters, timestamps, per-channel sample"
                   " statistics and how reading ended, for each file.")
    info.add_argument("files", nargs="+", metavar="FILE")
    type_option(info)
    float32_option(info)
    events_option(info)
    info.add_argument("--json", action="store_true", help="print a JSON list, one object per file")
    info.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    info.set_defaults(run=run_info)

    conv = command("convert", "event files to HDF5 or ROOT",
                   "Write each file's events to HDF5: a group per file, a dataset per header key, and 'data'"
                   " (events x samples, or events x channels x samples for WD2 of several channels, or flat with"
                   " 'offsets' when event lengths differ). An output ending in .root gets a TTree per file"
                   " instead. Output appears only when complete, and never replaces an input. Needs"
                   f" {install_hint('cli')}; --scheduler also the 'dask' extra, ROOT the 'root' extra.")
    conv.add_argument("files", nargs="+", metavar="FILE")
    conv.add_argument("-o", "--output", required=True, metavar="OUT",
                      help="HDF5 file; with --jobs or --scheduler a folder for one HDF5 file per input")
    type_option(conv)
    float32_option(conv)
    events_option(conv)
    conv.add_argument("--compression", choices=["gzip", "lzf", "none"], default="gzip",
                      help="dataset compression: gzip (default; deflate with shuffle, read by every HDF5 tool),"
                      " lzf (faster, but only h5py reads it) or none")
    parallel = conv.add_mutually_exclusive_group()
    parallel.add_argument("--jobs", type=_positive_int, metavar="N",
                          help="convert in N worker processes, into the folder OUT")
    parallel.add_argument("--scheduler", type=_scheduler, metavar="ADDRESS",
                          help="convert on this Dask cluster, into the folder OUT (workers must see the same paths)")
    conv.add_argument("--run", action="store_true", dest="as_run",
                      help="the files (or the wave<N> files of one folder) are the channels of one run: one group"
                           " with data of (events, channels, samples), events matched by event_counter")
    conv.add_argument("--salvage", action="store_true",
                      help="keep the events before a read error or an impossible event size (the exit status"
                           " is still 1); without it such a file leaves nothing")
    conv.add_argument("--force", action="store_true", help="replace existing output")
    conv.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    conv.set_defaults(run=run_convert)

    plot = command("plot", "the first waveforms as an image",
                   "Draw events of a file to an image (PNG, or PDF, SVG... by the output's extension): WD1 on one"
                   " panel against the sample index, WD2 one panel per channel against time. Needs"
                   f" {install_hint('cli')}.")
    plot.add_argument("file", metavar="FILE")
    type_option(plot)
    float32_option(plot)
    events_option(plot, "-n", default="4")
    plot.add_argument("--channel", type=_channel, metavar="C",
                      help="only channel C (WD2: a channel block; WD1: events whose board_channel is C)")
    plot.add_argument("-o", "--output", default="waveforms.png", metavar="IMAGE", help="default waveforms.png")
    plot.set_defaults(run=run_plot)

    def feature_options(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--run", action="store_true", dest="as_run",
                         help="the files (or the wave<N> files of one folder) are the channels of one run,"
                              " matched by event_counter")
        sub.add_argument("--tick", metavar="LENGTH", help="the board's clock tick, for example 8ns: adds time"
                                                          " in seconds")
        pulse_options(sub)

    def pulse_options(sub: argparse.ArgumentParser) -> None:
        group = sub.add_argument_group("pulse features (windows count samples from the event's start)")
        group.add_argument("--baseline", nargs=2, type=int, default=(0, 64), metavar=("B0", "B1"),
                           help="baseline window [B0, B1) (default 0 64)")
        group.add_argument("--polarity", choices=["auto", "positive", "negative"], default="auto",
                           help="pulse polarity (default auto: the larger excursion from the baseline)")
        window = group.add_mutually_exclusive_group()
        window.add_argument("--charge", nargs=2, type=int, metavar=("W0", "W1"),
                            help="charge window [W0, W1) (default the whole event)")
        window.add_argument("--charge-peak", nargs=2, type=int, metavar=("A", "B"),
                            help="charge window [peak - A, peak + B)")
        level = group.add_mutually_exclusive_group()
        level.add_argument("--threshold", type=float, help="absolute threshold above the baseline")
        level.add_argument("--threshold-rms", type=float, default=5.0, metavar="K",
                           help="threshold at K baseline RMS (default 5)")
        group.add_argument("--cfd-fraction", type=float, default=0.5, metavar="F",
                           help="constant-fraction level (default 0.5)")
        group.add_argument("--adc-max", type=float, metavar="M", help="samples at or above M are saturated")

    def parallel_options(sub: argparse.ArgumentParser) -> None:
        both = sub.add_mutually_exclusive_group()
        both.add_argument("--jobs", type=_positive_int, metavar="N", help="in N worker processes")
        both.add_argument("--scheduler", type=_scheduler, metavar="ADDRESS", help="on this Dask cluster")

    feat = command("features", "pulse features as a table",
                   "Measure every event and channel (baseline and its RMS, polarity, amplitude and peak, charge,"
                   " threshold and constant-fraction times, saturation) and write one row per event and channel"
                   " with the header values: .h5, .parquet or .root by the extension of -o. Needs"
                   f" {install_hint('all')} for the formats' libraries.")
    feat.add_argument("files", nargs="+", metavar="FILE|FOLDER")
    feat.add_argument("-o", "--output", required=True, metavar="OUT",
                      help="table file; with --jobs or --scheduler a folder for one table per input")
    feat.add_argument("--format", choices=list(TABLE_LIBRARIES), default=".parquet",
                      help="with --jobs or --scheduler, the tables' format (default .parquet)")
    type_option(feat)
    float32_option(feat)
    feature_options(feat)
    parallel_options(feat)
    feat.add_argument("--force", action="store_true", help="replace existing output")
    feat.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    feat.set_defaults(run=run_features)

    pul = command("pulses", "every pulse as a table, and the dark-count rate",
                  "Find every pulse of every event and channel: threshold crossings with hysteresis, each with its"
                  " start time, peak, amplitude, charge, FWHM, time over threshold and delay since the previous"
                  " pulse of its waveform; write one row per pulse (.h5, .parquet or .root by the extension of"
                  " -o). Times are in samples, or seconds with --sample-period, which also prints each channel's"
                  f" dark-count rate. Needs {install_hint('all')} for the formats' libraries.")
    pul.add_argument("files", nargs="+", metavar="FILE|FOLDER")
    pul.add_argument("-o", "--output", required=True, metavar="OUT", help="table file")
    type_option(pul)
    float32_option(pul)
    pul.add_argument("--run", action="store_true", dest="as_run",
                     help="the files (or the wave<N> files of one folder) are the channels of one run,"
                          " matched by event_counter")
    pul.add_argument("--tick", metavar="LENGTH", help="the board's clock tick, for example 8ns: adds the event's"
                                                      " time in seconds")
    found = pul.add_argument_group("pulses (windows count samples from the event's start)")
    found.add_argument("--baseline", nargs=2, type=int, default=(0, 64), metavar=("B0", "B1"),
                       help="baseline window [B0, B1) (default 0 64)")
    found.add_argument("--polarity", choices=["positive", "negative"], default="negative",
                       help="pulse polarity (default negative)")
    level = found.add_mutually_exclusive_group()
    level.add_argument("--threshold", type=float, help="absolute threshold above the baseline")
    level.add_argument("--threshold-rms", type=float, default=5.0, metavar="K",
                       help="threshold at K baseline RMS (default 5)")
    rearm = found.add_mutually_exclusive_group()
    rearm.add_argument("--hysteresis", type=float, metavar="H",
                       help="re-arm only below the threshold minus H (absolute)")
    rearm.add_argument("--hysteresis-rms", type=float, default=1.0, metavar="K",
                       help="re-arm only below the threshold minus K baseline RMS (default 1)")
    found.add_argument("--separation", type=_whole(0, "must not be negative"), default=0, metavar="N",
                       help="a crossing fewer than N samples after a pulse's start belongs to it (default 0)")
    found.add_argument("--charge", nargs=2, type=_whole(0, "must not be negative"), default=(5, 10),
                       metavar=("A", "B"), help="charge over [start - A, end + B) (default 5 10)")
    found.add_argument("--slope", type=float, metavar="S",
                       help="also split a pulse where, after it stopped rising, y rises by S or more over the"
                            " slope span: pulses on the tails of others (default off)")
    found.add_argument("--slope-span", type=_positive_int, default=4, metavar="L",
                       help="samples the slope is taken over (default 4)")
    found.add_argument("--sample-period", metavar="LENGTH",
                       help="the time between samples, for example 0.2ns: times in seconds and the dark-count rate")
    found.add_argument("--exclude", nargs=2, type=_whole(0, "samples are numbered from 0"), metavar=("X0", "X1"),
                       help="leave pulses starting in samples [X0, X1) (the trigger) out of the dark-count rate")
    pul.add_argument("--force", action="store_true", help="replace existing output")
    pul.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    pul.set_defaults(run=run_pulses)

    hist = command("hist", "a histogram of a feature or header value",
                   "Histogram a feature (charge, amplitude, ...), a header value or, with --of time, the event"
                   " rate over the run: one line (or with --panels one panel) per channel, in a PNG, with the"
                   f" counts in a CSV if asked. Needs {install_hint('all')}.")
    hist.add_argument("files", nargs="+", metavar="FILE|FOLDER")
    hist.add_argument("--of", required=True, metavar="COLUMN",
                      help="a feature, a header key, time_tag, or time (the event rate; needs --tick)")
    hist.add_argument("--channel", type=_channel, metavar="C", help="only channel C")
    hist.add_argument("--bins", type=_positive_int, default=100, help="number of bins (default 100)")
    hist.add_argument("--range", nargs=2, type=float, metavar=("LO", "HI"),
                      help="the histogram's range (default: that of the first events, widened by 5%%)")
    hist.add_argument("--width", type=_seconds(True), default=1.0, metavar="SECONDS",
                      help="--of time: bin width (default 1 s)")
    hist.add_argument("--log", action="store_true", help="logarithmic count axis")
    hist.add_argument("--panels", action="store_true", help="one panel per channel")
    hist.add_argument("-o", "--output", default="hist.png", metavar="PNG", help="default hist.png")
    hist.add_argument("--csv", metavar="FILE", help="also write the bins and counts as CSV")
    type_option(hist)
    float32_option(hist)
    feature_options(hist)
    parallel_options(hist)
    hist.add_argument("--force", action="store_true", help="replace existing output")
    hist.set_defaults(run=run_hist)

    follow = command("follow", "print events as a file grows",
                     "Print one line per event (counter, timestamp, samples, min, max) as the file grows. Waits"
                     " up to --wait seconds for the file to exist and, for WD2, to hold enough to open. Stops"
                     " after --idle seconds without a new event, or on Ctrl-C, with a summary line; a file that"
                     " shrinks or is replaced stops it with an error.")
    follow.add_argument("file", metavar="FILE")
    type_option(follow)
    follow.add_argument("--idle", type=_seconds(True), default=10.0, metavar="SECONDS",
                        help="stop after this long without a new event (default 10)")
    follow.add_argument("--wait", type=_seconds(False), default=10.0, metavar="SECONDS",
                        help="how long to wait for the file to appear and become readable (default 10)")
    follow.add_argument("--poll", type=_seconds(True), default=0.2, metavar="SECONDS", help=argparse.SUPPRESS)
    follow.set_defaults(run=run_follow)

    mon = command("monitor", "a live view of a run in the browser",
                  "Serve a page showing the files as they grow: the last waveforms of each channel, histograms"
                  " of amplitude and charge, the event rate, counters of events, counter gaps, bytes read, a cut"
                  " event pending and read errors. PATHS are files, or run folders whose wave<N> files are"
                  " picked up as they appear. Read-only; serves 127.0.0.1 unless --host says otherwise. Stops"
                  f" on Ctrl-C or SIGTERM with a summary line. Needs {install_hint('monitor')}.")
    mon.add_argument("paths", nargs="+", metavar="PATH")
    type_option(mon)
    mon.add_argument("--host", default="127.0.0.1", help="address to serve on (default 127.0.0.1, this machine only)")
    mon.add_argument("--port", type=_port, default=8765, help="port (default 8765; 0 for a free one)")
    pulse_options(mon)
    mon.set_defaults(run=run_monitor)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    signals.install()
    try:
        status: int = args.run(args)
        sys.stdout.flush()
    except UsageError as failure:
        error(str(failure))
        return USAGE
    except Failed as failure:
        error(str(failure))
        return FAILED
    except KeyboardInterrupt:
        error("interrupted")
        return signals.exit_status()
    except BrokenPipeError:
        # The reader of our output went away (vorn follow ... | head): end
        # quietly, and keep the interpreter's last flush from complaining.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return BROKEN_PIPE
    except OSError as failure:  # the output cannot be written, say
        error(str(failure))
        return FAILED
    return status
