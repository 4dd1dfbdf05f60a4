"""The `vorn` command: argument parsing, exit status and the report of each verb.

Exit status: 0 when everything went well, 1 when some input failed, 2 for a
usage error, a missing optional library included. Errors are one line on
standard error that names the file.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import importlib
import importlib.metadata
import itertools
import json
import math
import os
import re
import signal
import sys
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from .. import parallel, signals
from ..blocks import FILE_ERRORS, READ_ERRORS, CountedEvents, Selection
from ..formats import Layout, Unclassified, detect_type, open_layout
from ..output_files import cannot_create, in_users_words, unique_names

OK, FAILED, USAGE = 0, 1, 2
# What a shell reports for a command ended by SIGPIPE, as Unix tools are when
# the reader of their output goes away.
BROKEN_PIPE = 128 + signal.SIGPIPE

EXTRAS = {"iminuit": "fit", "scipy": "fit", "h5py": "cli", "matplotlib": "cli", "dask": "dask", "distributed": "dask", "uproot": "root",
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

# What each file was found to be, once per command: the checks made before
# any output is written and the reading then go by the same answer, even
# for a file that grows in between.
_classified: dict[tuple[str, str], Layout | str] = {}


def layouts(paths: Sequence[str], reader_type: str) -> list[Layout | str]:
    """The layout of each file, or the message saying why it cannot be read at all."""
    found: list[Layout | str] = []
    for path in paths:
        if (path, reader_type) not in _classified:
            _classified[path, reader_type] = _classify(path, reader_type)
        found.append(_classified[path, reader_type])
    return found


def _classify(path: str, reader_type: str) -> Layout | str:
    try:
        kind = detect_type(path) if reader_type == "auto" else reader_type
        return open_layout(path, kind)
    except Unclassified as failure:
        return str(failure)
    except OSError as failure:
        return failure.strerror or str(failure)


# --- info -----------------------------------------------------------------------

def run_info(args: argparse.Namespace) -> int:
    from ..timing import parse_tick
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
                info = scan(path, layout, args.float32, bar, args.events,
                            None if args.tick is None else parse_tick(args.tick))
        except FILE_ERRORS as failure:
            message = str(failure) or type(failure).__name__
            error(f"{path}: {message}")
            documents.append({"path": path, "error": message})
            status = FAILED
            continue
        if info.float32_hint:
            hint_float32(path)
        if info.rates is not None and info.rates.steps_back:
            error(f"{path}: warning: {plural(info.rates.steps_back, 'timestamp')} below the one before by less than"
                  " half the counter's period, taken for wraps of 2**31 ticks: if events are out of order, the"
                  " trigger rates are too low")
        if info.ending is not None and info.ending.error is not None:
            error(f"{path}: {info.ending.error}")
            status = FAILED
        elif info.ending is not None and info.ending.failed:
            error(f"{path}: {info.ending.describe()}")
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
        from ..outputs.root_tree import write_waveforms_root

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
    from ..blocks import BadFile
    from .run_hdf5 import write_run
    from ..runs import RunError, open_run

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
    return _run_report(run.report, args)


def _run_report(report: Any, args: argparse.Namespace) -> int:
    """Prints what a run's matching lost; FAILED for an event dropped or timestamps that differ."""
    from ..runs import report_lines

    if report is None:
        return OK
    # Named as the user named them, where tasks were given absolute paths.
    spelled = {os.path.abspath(path): path for path in _run_inputs(args.files)}
    report = dataclasses.replace(report, channels=[dataclasses.replace(c, path=spelled.get(c.path, c.path))
                                                   for c in report.channels])
    for line in report_lines(report, ", ".join(args.files)):
        error(line)
    if report.aligned or args.allow_gaps:
        return OK
    error("events of the run were dropped or their timestamps differ: exit status 1 (--allow-gaps accepts it)")
    return FAILED


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


def _check_up_front(args: argparse.Namespace) -> None:
    """Refuse, before any output is written, what the command line and the inputs' formats already condemn.

    The same input given twice (its events would count twice), --float32 on
    a WD2 file, and outputs that cannot be created, named as the user gave
    them: found here rather than after a long reading, or half-way through
    writing the outputs.
    """
    given = list(getattr(args, "files", None) or getattr(args, "paths", None) or [args.file])
    _refuse_repeats(given)
    if hasattr(args, "volts_per_count"):
        args.calibration = _calibration(args)
    if getattr(args, "float32", False):
        if args.type == "WD2":
            raise UsageError("--float32 is for WD1 files: WD2 samples are 32-bit floats already")
        paths = _run_inputs(given) if getattr(args, "as_run", False) else given
        for path, layout in zip(paths, layouts(paths, args.type)):
            if isinstance(layout, Layout) and layout.reader_type == "WD2":
                raise UsageError(f"{path}: --float32 is for WD1 files, and this is a WD2 file, whose samples are"
                                 " 32-bit floats already")
    for target, folder in _outputs(args):
        reason = cannot_create(target, folder)
        if reason is not None:
            raise UsageError(f"cannot create {target}: {reason}")


def _refuse_repeats(inputs: Sequence[str]) -> None:
    """Refuse one file given twice, whatever the spelling: links, relative paths."""
    seen: dict[tuple[int, int], str] = {}
    for path in inputs:
        try:
            found = os.stat(path)
        except OSError:
            continue  # reported when the file is read
        identity = (found.st_dev, found.st_ino)
        if identity in seen:
            raise UsageError(f"{path} is the same file as {seen[identity]}: give each input once")
        seen[identity] = path


def _outputs(args: argparse.Namespace) -> list[tuple[str, bool]]:
    """The command's outputs, each with whether it is a folder of outputs."""
    if args.command == "hist":
        return [(args.output, False)] + ([(args.csv, False)] if args.csv else [])
    if args.command == "plot":
        return [(args.output, False)]
    if args.command in ("convert", "features"):
        folder = not args.as_run and (args.jobs is not None or args.scheduler is not None)
        return [(args.output, folder)]
    return []


def _check_targets(targets: Sequence[str], force: bool) -> None:
    existing = [t for t in targets if os.path.lexists(t)]
    if existing and not force:
        raise UsageError(f"{existing[0]} exists: pass --force to replace it")


def _report(outcomes: Sequence[Any]) -> int:
    for outcome in outcomes:
        if outcome.output is not None:
            kept = ", the events before it kept (--salvage)" if outcome.salvaged else ""
            print(f"{outcome.path} -> {outcome.output}: {plural(outcome.events, 'event')}, {outcome.ending}{kept}")
        elif outcome.error is None:  # read, but its output was given up for another input's failure
            print(f"{outcome.path}: {plural(outcome.events, 'event')}, {outcome.ending}, not written")
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
    from ..formats import look_like_float_halves
    from ..plotting import figure_pixels, plot_events

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
        counted = CountedEvents(args.file, layout)
        events: Any = iter(counted)
        if args.channel is not None and wd1:
            events = (e for e in events if e["board_channel"] == args.channel)
        shown = list(itertools.islice(events, selection.start, selection.stop))
    except FILE_ERRORS as failure:
        error(f"{args.file}: {failure}")
        return FAILED
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
    fig.savefig(args.output, dpi=fig.dpi)
    pixels = " ({}x{} pixels)".format(*figure_pixels(len(fig.axes))) if kind in RASTER_FORMATS else ""
    print(f"wrote {args.output}{pixels}: {plural(len(shown), 'event')}, {ending.describe()}")
    if ending.failed:
        error(f"{args.file}: {ending.describe()}")
        return FAILED
    return OK


def _image_format(path: str) -> str:
    """The format Matplotlib writes for this name: its extension, PNG without one."""
    extension = os.path.splitext(path)[1].lower().lstrip(".")
    return extension or "png"


# --- features and histograms ---------------------------------------------------------

TABLE_LIBRARIES = {".h5": "h5py", ".hdf5": "h5py", ".parquet": "pyarrow", ".root": "uproot"}

# The units options, by the Calibration part each gives.
UNIT_FLAGS = {"sample_period": "--sample-period", "volts_per_count": "--volts-per-count", "adc_range": "--adc-range",
              "adc_bits": "--adc-bits", "impedance": "--impedance"}


def _calibration(args: argparse.Namespace) -> Any:
    """The Calibration the units options give (empty without them: a WD2 file's period may still apply)."""
    from ..units import Calibration, CalibrationError

    if getattr(args, "calibration", None) is not None:
        return args.calibration
    from ..analysis.tables import is_table

    given = [flag for field, flag in UNIT_FLAGS.items() if getattr(args, field, None) is not None]
    if given and any(is_table(path) for path in args.files):
        raise UsageError(f"{given[0]}: a table keeps the units it was written in; the units options are for event"
                         " files")
    try:
        found = Calibration.parse(args.sample_period, args.volts_per_count, args.adc_range, args.adc_bits,
                                  args.impedance)
    except CalibrationError as failure:
        raise UsageError(f"{UNIT_FLAGS[failure.field]}: {failure}") from None
    if found.impedance is not None and found.sample_period is None and args.tick is None:
        raise UsageError("--impedance: a charge in pC needs the sample period: give --sample-period (WD2 files"
                         " carry it, in units of the tick: give --tick)")
    return found


def _pulse_options(args: argparse.Namespace) -> Any:
    """The FeatureOptions of the pulse options on the command line."""
    from ..features import FeatureOptions

    try:
        return FeatureOptions(baseline=tuple(args.baseline), polarity=args.polarity,
                              charge=tuple(args.charge) if args.charge else None,
                              charge_peak=tuple(args.charge_peak) if args.charge_peak else None,
                              threshold=args.threshold, threshold_rms=args.threshold_rms,
                              cfd_fraction=args.cfd_fraction, adc_max=args.adc_max,
                              rise=tuple(args.rise), psd_split=args.psd_split,
                              trap=tuple(args.trap) if args.trap else None, tau=args.tau,
                              pickoff=args.pickoff)
    except ValueError as failure:
        raise UsageError(str(failure)) from None


def _feature_tasks(args: argparse.Namespace, options: Any = None, files: Sequence[str] | None = None) -> list[Any]:
    """The inputs (`files`, by default all) as tasks: one per file, or one for the whole run with --run."""
    from ..feature_table import FeatureTask

    options = _pulse_options(args) if options is None else options
    files = args.files if files is None else files
    if args.as_run:
        if len(args.files) == 1 and os.path.isdir(args.files[0]):
            paths = (os.path.abspath(args.files[0]),)
        else:
            paths = tuple(os.path.abspath(p) for p in args.files)
        args.unreadable = []
        return [FeatureTask(paths, _run_name(args.files), options, True, args.type, args.float32, args.tick,
                            calibration=_calibration(args))]
    folders = [path for path in files if os.path.isdir(path)]
    if folders:
        raise UsageError(f"{folders[0]} is a folder: pass --run to read its wave<N> files as one run")
    # Classified here, in the command's words, and once: each task then
    # opens its file as the type found.
    found = layouts(files, args.type)
    readable = [(path, layout) for path, layout in zip(files, found) if isinstance(layout, Layout)]
    args.unreadable = [(path, reason) for path, reason in zip(files, found) if isinstance(reason, str)]
    names = unique_names([path for path, _ in readable])
    calibration = _calibration(args)
    return [FeatureTask((os.path.abspath(path),), name, options, False, layout.reader_type, args.float32, args.tick,
                        calibration=calibration) for (path, layout), name in zip(readable, names)]


def run_features(args: argparse.Namespace) -> int:
    from ..feature_table import TableOutcome, features_alone, polarity_line, write_features
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
                                                   suffix=suffix, salvage=args.salvage)
                except parallel.Unreachable as failure:
                    raise Failed(str(failure)) from None
            else:
                outcomes = parallel.in_workers(features_alone, tasks, args.jobs, bar, folder=where, suffix=suffix,
                                               salvage=args.salvage)
        for outcome, target in zip(outcomes, targets):
            if outcome.output is not None:
                outcome.output = target
    else:
        with _reading_progress(tasks, "features", args.quiet) as bar:
            outcomes = write_features(tasks, args.output, bar, salvage=args.salvage)
    given = [", ".join(args.files)] if args.as_run else [p for p in args.files if p not in dict(args.unreadable)]
    for outcome, path in zip(outcomes, given):
        outcome.path = path
    if (line := polarity_line(outcomes)) is not None:
        print(line)
    _print_file_periods(outcomes)
    lost = [o.path for o in outcomes if o.error is not None and o.rows and not o.salvaged]
    status = _report(outcomes + [TableOutcome(path, error=reason) for path, reason in args.unreadable])
    if lost and not folder:
        error(f"{args.output} not written: it would hold the rows of {', '.join(lost)} before the failure"
              " (--salvage keeps them)")
    return max([status, *(_run_report(o.run_report, args) for o in outcomes if o.error is None)])


def _print_file_periods(outcomes: Sequence[Any]) -> None:
    """Says where the times in ns come from when an input's WD2 events gave the sample period."""
    for outcome in outcomes:
        if outcome.calibration is not None and outcome.calibration.period_source == "file":
            print(f"{outcome.path}: sample period {outcome.calibration.sample_period * 1e9:.6g} ns, its"
                  " sampling_period times the tick: times in ns")


def _reading_progress(tasks: Sequence[Any], label: str, quiet: bool) -> Any:
    """A bar of the bytes of the tasks' files; of events for a run, whose bytes are not followed."""
    from .progress import Progress

    if any(task.run for task in tasks):
        return Progress(0, label, quiet, unit="event")
    return Progress(sum(_size(path) for task in tasks for path in task.paths), label, quiet)


# --- every pulse -----------------------------------------------------------------------

def run_pulses(args: argparse.Namespace) -> int:
    from ..feature_table import TableOutcome, polarity_line, write_features
    from ..pulse_table import DarkCounts, PulseRows, pulses_alone
    from ..pulses import PulseOptions
    from .progress import Progress

    folder = args.jobs is not None
    suffix = args.format if folder else os.path.splitext(args.output)[1].lower()
    if suffix not in TABLE_LIBRARIES:
        raise UsageError(f"the table format follows the extension of -o: {', '.join(TABLE_LIBRARIES)}, not"
                         f" {args.output}" if not folder else f"--format must be one of {', '.join(TABLE_LIBRARIES)}")
    require(TABLE_LIBRARIES[suffix], "vorn pulses")
    if folder and args.as_run:
        raise UsageError("a run is one table: --run takes no --jobs")
    try:
        period = _calibration(args).sample_period
        options = PulseOptions(baseline=tuple(args.baseline), polarity=args.polarity, threshold=args.threshold,
                               threshold_rms=args.threshold_rms, hysteresis=args.hysteresis,
                               hysteresis_rms=args.hysteresis_rms, separation=args.separation,
                               charge=tuple(args.charge), slope=args.slope, slope_span=args.slope_span)
    except ValueError as failure:
        raise UsageError(str(failure)) from None
    tasks = _feature_tasks(args, options)
    if folder:
        if os.path.exists(args.output) and not os.path.isdir(args.output):
            raise UsageError(f"{args.output} is not a folder (with --jobs, -o names a folder)")
        targets = [os.path.join(args.output, f"{task.name}{suffix}") for task in tasks]
    else:
        if os.path.isdir(args.output):
            raise UsageError(f"{args.output} is a folder; without --jobs, -o names a table file")
        targets = [args.output]
    _spare_inputs(targets, _run_inputs(args.files) if args.as_run else args.files)
    _check_targets(targets, args.force)
    exclude = tuple(args.exclude) if args.exclude else None
    measure = PulseRows(period, exclude)
    outcomes: list[Any] = []
    if tasks and folder:
        os.makedirs(args.output, exist_ok=True)
        with Progress(len(tasks), "pulses", args.quiet, unit="file") as bar:
            outcomes = parallel.in_workers(pulses_alone, tasks, args.jobs, bar, folder=os.path.abspath(args.output),
                                           suffix=suffix, salvage=args.salvage, sample_period=period,
                                           exclude=exclude)
        # The rate counts every input that gave its table, as one process would.
        for outcome, target in zip(outcomes, targets):
            if outcome.output is not None:
                outcome.output = target
            for channel, counts in outcome.dark.items():
                total = measure.dark.setdefault(channel, DarkCounts())
                total.pulses += counts.pulses
                total.samples += counts.samples
    elif tasks:
        with _reading_progress(tasks, "pulses", args.quiet) as bar:
            outcomes = write_features(tasks, args.output, bar, salvage=args.salvage, measure=measure)
    given = [", ".join(args.files)] if args.as_run else [p for p in args.files if p not in dict(args.unreadable)]
    for number, (outcome, path) in enumerate(zip(outcomes, given)):
        outcome.path = path
        if not folder:
            # Events without a pulse give no row: count them as read.
            outcome.events = measure.events.get(number if len(tasks) > 1 else None, 0)
    if (line := polarity_line(outcomes)) is not None:
        print(line)
    _print_file_periods(outcomes)
    if period is None:
        period = next((o.calibration.sample_period for o in outcomes if o.calibration is not None
                       and o.calibration.sample_period is not None), None)
    lost = [o.path for o in outcomes if o.error is not None and o.rows and not o.salvaged]
    status = _report(outcomes + [TableOutcome(path, error=reason) for path, reason in args.unreadable])
    if lost and not folder:
        error(f"{args.output} not written: it would hold the pulses of {', '.join(lost)} before the failure"
              " (--salvage keeps them)")
    status = max([status, *(_run_report(o.run_report, args) for o in outcomes if o.error is None)])
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
    from ..analysis.expressions import ExpressionError
    from ..analysis.tables import is_table
    from ..histograms import series_label, write_csv, write_map_csv, write_map_png, write_png
    from .progress import Progress
    from ..runs import RunError
    from ..spectra import BadExpression, Binning, TableInput, in_range, spectrum

    axes = _split_pair(args.of)
    if len(axes) > 2 or not all(axes):
        raise UsageError(f"--of takes one expression, or two for a colour map (X,Y), not {args.of!r}")
    pairs = len(axes) == 2
    if args.y_range is not None and not pairs:
        raise UsageError("--y-range is the range of Y in --of X,Y")
    binning = Binning(axes[0], args.bins, tuple(args.range) if args.range is not None else None, args.channel,
                      args.width, args.where, axes[1] if pairs else None,
                      tuple(args.y_range) if args.y_range is not None else None)
    try:
        of, where, y = binning.parse()
    except ExpressionError as failure:
        option = "--where" if failure.text == args.where and failure.text not in axes else "--of"
        raise UsageError(f"{option} {failure}") from None
    if args.channel is not None and any(e is not None and e.per_event for e in (of, where, y)):
        raise UsageError("--channel selects rows; with name@C the channels are in the expressions")
    tables = [is_table(path) for path in args.files]
    if any(tables):
        if args.as_run:
            raise UsageError("--run reads the files of a run; a feature table is read as it is, without --run")
        for path in (path for path, table in zip(args.files, tables) if table):
            require(TABLE_LIBRARIES.get(os.path.splitext(path)[1].lower(), "h5py"), "vorn hist")
    if binning.rate and args.tick is None and not all(tables):
        raise UsageError("--of time needs --tick, the length of the board's clock tick (for example 8ns)")
    if not args.output.lower().endswith(".png"):
        raise UsageError(f"-o names a PNG file (.png), not {args.output}")
    if args.range is not None and not in_range(*args.range):
        raise UsageError(f"--range needs LO < HI, both finite, not {args.range[0]:g} {args.range[1]:g}")
    if args.as_run and (args.jobs is not None or args.scheduler):
        raise UsageError("a run is read in one process: --run takes no --jobs or --scheduler")
    raw = [path for path, table in zip(args.files, tables) if not table]
    args.unreadable = []
    found_tasks = iter(_feature_tasks(args, files=raw) if raw else [])
    if args.unreadable:
        for path, reason in args.unreadable:
            error(f"{path}: {reason}")
        return FAILED
    # Tasks in the order of the inputs, tables beside raw files.
    tasks: list[Any] = [TableInput(os.path.abspath(path), os.path.basename(path)) if table else next(found_tasks)
                        for path, table in zip(args.files, tables)] if not args.as_run else list(found_tasks)
    outputs = [args.output] + ([args.csv] if args.csv else [])
    _spare_inputs(outputs, _run_inputs(args.files) if args.as_run else args.files)
    _check_targets(outputs, args.force)
    reports: list[Any] = []  # of the run, read in this process
    try:
        # Each task fills the series of its own input, ranges included, so
        # workers need not agree on anything before they start.
        if args.scheduler or args.jobs is not None:
            with Progress(len(tasks), "hist", args.quiet, unit="file") as bar:
                if args.scheduler:
                    done = parallel.on_cluster(spectrum, tasks, args.scheduler, bar, binning=binning)
                else:
                    done = parallel.in_workers(spectrum, tasks, args.jobs, bar, binning=binning)
        else:
            with _reading_progress(tasks, "hist", args.quiet) as bar:
                done = [spectrum(task, binning, reports=reports, progress=bar) for task in tasks]
    except parallel.Unreachable as failure:
        raise Failed(str(failure)) from None
    except BadExpression as failure:
        raise UsageError(str(failure)) from None
    except KeyError as failure:
        known = f": {failure.args[1]}" if len(failure.args) > 1 else ": a feature, a header key, time_tag or time"
        if failure.args[0] == "time" and len(failure.args) > 1:
            known += " (a table has the event's time when written with --tick)"
        raise UsageError(f"no column {failure.args[0]!r} to histogram{known}") from None
    except (*FILE_ERRORS, RunError, ValueError) as failure:
        error(str(failure))
        return FAILED
    given = [", ".join(args.files)] if args.as_run else list(args.files)
    failed = []
    for path, task, (_, outcome) in zip(given, tasks, done):
        if outcome.error is None or args.salvage:
            if isinstance(task, TableInput):
                print(f"{path}: {plural(outcome.rows, 'row')} of a table")
            else:
                print(f"{path}: {plural(outcome.events, 'event')}, {outcome.ending}")
        if outcome.error is not None:
            error(f"{path}: {outcome.error}")
            failed.append(path)
    if failed and not args.salvage:
        error(f"{len(failed)} of {plural(len(given), 'file')} failed, nothing drawn (--salvage draws the entries"
              f" read): {', '.join(failed)}")
        return FAILED
    # Series are named by the input as given (by its file name when that is unique).
    named = [tasks[0].name] if args.as_run else list(args.files)
    short = [os.path.basename(os.path.normpath(path)) for path in named]
    names = short if len(set(short)) == len(short) else named
    series = {(name, channel): one for name, (found, _) in zip(names, done) for channel, one in found.items()}
    entries = sum(one.entries() for one in series.values())
    _left_out([outcome.left_out for _, outcome in done], args.of, args.where)
    if args.channel is not None and not entries:
        error(f"no channel {args.channel} in the events read" + (f" where {args.where}" if args.where else ""))
        return FAILED
    if args.where and not entries and not any(one.no_value for one in series.values()):
        error(f"no row read satisfies --where {args.where}")
        return FAILED
    hint = "widen --range to bin them" if args.range is not None else "pass --range LO HI to bin them"
    if pairs:
        hint = "pass --range and --y-range to bin them"
    for key, one in series.items():
        outside = one.outside()
        if outside * 100 > one.entries():
            label = series_label(key, True).replace(', ', ' ', 1)
            if pairs:
                error(f"warning: {label}: {outside:,} of {one.entries():,} entries ({outside / one.entries():.1%})"
                      f" outside the ranges: {hint}")
                continue
            under, over = one.flow()
            edges = one.hist.axes[0].edges
            error(f"warning: {label}: {under + over:,} of"
                  f" {one.entries():,} entries ({(under + over) / one.entries():.1%}) outside the range"
                  f" {edges[0]:g} to {edges[-1]:g} ({under:,} below, {over:,} above): {hint}")
    what = "event rate" if binning.rate else (f"{axes[1]} against {axes[0]}" if pairs else args.of)
    title = f"{what} of {', '.join(os.path.basename(os.path.normpath(f)) for f in args.files)}" \
        + (f" where {args.where}" if args.where else "")
    if pairs:
        write_map_png(series, args.output, axes[0], axes[1], log=args.log, title=title)
        if args.csv:
            write_map_csv(series, args.csv)
    else:
        # Without --range every series has a range of its own, so it gets a panel of its own.
        panels = args.panels or (not binning.rate and args.range is None and len(series) > 1)
        write_png(series, args.output, args.of, log=args.log, panels=panels, title=title)
        if args.csv:
            write_csv(series, args.csv)
    no_value = sum(one.no_value for one in series.values())
    per_event = any(e is not None and e.per_event for e in (of, where, y))
    print(f"wrote {args.output}" + (f" and {args.csv}" if args.csv else "")
          + f": {entries:,} {'entry' if entries == 1 else 'entries'}"
          + (f", {plural(no_value, 'event' if per_event else 'row')} without a value of {args.of} (counted, not"
             " binned)" if no_value else ""))
    if binning.rate:
        several = len({name for name, _ in series}) > 1
        for key, one in series.items():
            whole = one.trigger_rate()
            span = f" ({plural(whole.triggers, 'event')} over {whole.seconds:.6g} s)" if whole.known else ""
            print(f"{series_label(key, several)}: trigger rate {whole.text()}{span}")
    if failed:
        error(f"{len(failed)} of {plural(len(given), 'file')} failed, the entries before the failure kept"
              f" (--salvage): {', '.join(failed)}")
        return FAILED
    return _run_report(reports[0] if reports else None, args)


def _left_out(counts: Sequence[Any], of: str | None, where: str | None) -> None:
    """Names the events that name@C left out for lack of a channel: a property of the data, not a failure."""
    from ..analysis.expressions import LeftOut

    total = LeftOut()
    for one in counts:
        total.add(one)
    what = " where ".join(filter(None, (of, where)))
    line = total.line(what)
    if line is not None:
        error(line)


def _split_pair(text: str) -> list[str]:
    """The expressions of --of, split at its commas outside parentheses."""
    parts, depth, start = [], 0, 0
    for at, char in enumerate(text):
        depth += {"(": 1, ")": -1}.get(char, 0)
        if char == "," and depth == 0:
            parts.append(text[start:at].strip())
            start = at + 1
    return parts + [text[start:].strip()]


# --- fit --------------------------------------------------------------------------

FIT_LIBRARIES = ("iminuit", "scipy")


def _unreadable_raw(files: Sequence[str], reader_type: str, run: bool) -> bool:
    """Event files (not tables, not a run's folder) that cannot be classified, each named in the command's words."""
    from ..analysis.tables import is_table

    raw = [path for path in files if not is_table(path) and not (run and os.path.isdir(path))]
    bad = [(path, found) for path, found in zip(raw, layouts(raw, reader_type)) if isinstance(found, str)]
    for path, reason in bad:
        error(f"{path}: {reason}")
    return bool(bad)


def run_fit(args: argparse.Namespace) -> int:
    for module in FIT_LIBRARIES:
        require(module, "vorn fit")
    from ..analysis import expressions
    from ..analysis.fits import FitError, fit_gauss, fit_spe
    from ..analysis.tables import load

    of_text = args.of or ("charge" if args.kind == "spe" else None)
    if of_text is None:
        raise UsageError("vorn fit gauss needs --of, the column or expression to fit")
    if args.output is not None:
        _spare_inputs([args.output], args.files)
        _check_targets([args.output], args.force)
    try:
        of = expressions.parse(of_text)
        where = expressions.parse(args.where) if args.where else None
    except expressions.ExpressionError as failure:
        raise UsageError(f"{failure}") from None
    needed = set(of.columns) | {n for n, _ in of.channel_columns}
    if where is not None:
        needed |= set(where.columns) | {n for n, _ in where.channel_columns}
    from ..feature_table import TableOutcome

    if _unreadable_raw(args.files, args.type, args.as_run):
        return FAILED
    read = TableOutcome(", ".join(args.files))
    units: dict[str, str] = {}
    try:
        table = load(args.files, sorted(needed), _pulse_options(args), args.as_run, args.type, args.float32,
                     args.tick, read, _calibration(args), units)
        if args.channel is not None:
            if of.per_event:
                raise UsageError("--channel selects rows; with name@C the channels are in the expression")
            rows = table["channel"] == args.channel
            table = {k: v[rows] for k, v in table.items()}
        left_out = expressions.LeftOut()
        values, _ = expressions.select(table, of, where, left_out)
    except expressions.ExpressionError as failure:
        raise UsageError(str(failure)) from None
    except KeyError as failure:
        raise UsageError(f"no column {failure.args[0]!r} in the input") from None
    except (*FILE_ERRORS, ValueError) as failure:
        error(_naming(failure, args.files))
        return FAILED
    # Raw inputs say how their reading ended, as vorn features does; a run what its matching lost.
    status = _run_report(read.run_report, args)
    account = f"{read.path}: {plural(read.events, 'event')}, {read.ending}" if read.read_ending or read.run_report \
        else None
    _left_out([left_out], of_text, args.where)
    rows_are = "event" if of.per_event or (where is not None and where.per_event) else "row"
    value_range = tuple(args.range) if args.range is not None else None
    try:
        if args.kind == "spe":
            result, plot = fit_spe(values, args.model, args.bins, value_range)
        else:
            result, plot = fit_gauss(values, args.bins, value_range)
    except FitError as failure:
        error(f"cannot fit {of_text}: {failure}")
        return FAILED
    from ..spectra import expression_unit

    # The gain, the peaks' positions and widths are in the unit of what is fitted.
    unit = expression_unit(of, lambda name: units.get(name, ""))
    if args.output is not None:
        require("matplotlib", "vorn fit -o")
        from ..analysis.fit_plot import draw_fit

        title = f"{args.kind} fit of {of_text}" + (f" where {args.where}" if args.where else "")
        draw_fit(result, plot, args.output, title, of_text, unit)
    # The fit takes finite values within its range; the result counts the rest (below, above, no_value).
    no_value = result.no_value
    document = {"fit": args.kind, "of": of_text, "unit": unit, "where": args.where, **result.as_dict(),
                "left_out": left_out.events}
    if account is not None:
        document["read"] = {"events": read.events, "rows": read.rows, "ended": read.read_ending,
                            "bytes_read": read.bytes_read}
    if args.json:
        json.dump(document, sys.stdout, indent=2)
        print()
    else:
        if account is not None:
            print(account)
        outside = result.outside()
        print(f"{args.kind} fit of {of_text}{f' [{unit}]' if unit else ''}: {result.entries:,}"
              f" {'entry' if result.entries == 1 else 'entries'}" + (f" ({outside})" if outside else "") + ", "
              + ", ".join(f"{k} {v:.6g}" for k, v in result.extra.items())
              + f", chi2/ndf {result.chi2_ndf:.3g}" + ("" if result.converged else ", NOT converged")
              + (f"; {plural(no_value, rows_are)} without a value of {of_text} (counted, not fitted)"
                 if no_value else ""))
        if args.output is not None:
            print(f"wrote {args.output}")
    if not result.converged:
        error(f"the fit of {of_text} did not converge" + (f": see {args.output}" if args.output else ""))
        return FAILED
    return status



def _average_units(args: argparse.Namespace) -> tuple[str, float, float | None]:
    """The unit of an average's samples, the factor to it from the raw one, and the sample period in ns
    (None: unknown), as the units options, or the first WD2 file's sampling_period and --tick, give them."""
    calibration = _calibration(args)
    paths = [] if args.as_run else list(args.files)
    found = [layout for layout in layouts(paths, args.type) if isinstance(layout, Layout)]
    wd2 = bool(found) and found[0].reader_type == "WD2"
    if wd2 and args.tick is not None:
        import vorn

        from ..timing import parse_tick

        event = None
        with contextlib.suppress(*FILE_ERRORS, StopIteration):  # the reading of the average reports it
            event = next(iter(vorn.EventReader(paths[0], "WD2")))
        if event is not None:
            try:
                calibration = calibration.resolve({"sampling_period": np.array([event["sampling_period"]])},
                                                  parse_tick(args.tick))
            except ValueError as failure:
                raise Failed(f"{paths[0]}: {failure}") from None
    unit = calibration.units("sample values" if wd2 or args.float32 else "ADC counts")["amplitude"]
    scale = calibration.factors().get("amplitude", 1.0)
    return unit, scale, None if calibration.sample_period is None else calibration.sample_period * 1e9


def _naming(failure: BaseException, files: Sequence[str]) -> str:
    """The failure's line, with the inputs named where the library's message (a table library's) does not."""
    text = str(failure)
    return text if any(path in text for path in files) else f"{', '.join(files)}: {text}"


def run_average(args: argparse.Namespace) -> int:
    require("matplotlib", "vorn average")
    from ..analysis import expressions
    from ..analysis.average import Average, SourceError, TableAccount, average, average_table, draw_average, \
        write_average
    from ..analysis.tables import is_table

    outputs = [args.output] + ([args.data] if args.data else [])
    if args.data and not args.data.endswith((".npy", ".csv")):
        raise UsageError(f"--data names a .npy or .csv file, not {args.data}")
    tables = [is_table(p) for p in args.files]
    if any(tables) and not all(tables):
        raise UsageError("give feature tables or event files, not both")
    if all(tables) and args.as_run:
        raise UsageError("--run reads the files of a run; a feature table names its own sources, without --run")
    if all(tables):
        for path in args.files:
            require(TABLE_LIBRARIES.get(os.path.splitext(path)[1].lower(), "h5py"), "vorn average")
    _spare_inputs(outputs, _run_inputs(args.files) if args.as_run else args.files)
    _check_targets(outputs, args.force)
    try:
        where = expressions.parse(args.where) if args.where else None
    except expressions.ExpressionError as failure:
        raise UsageError(str(failure)) from None
    from ..feature_table import TableOutcome

    if not all(tables) and _unreadable_raw(args.files, args.type, args.as_run):
        return FAILED
    shown = _average_units(args)
    read = TableOutcome(", ".join(args.files))
    left_out = expressions.LeftOut()
    account = TableAccount()
    found = Average()
    try:
        if all(tables):
            for path in args.files:
                average_table(path, where, args.align, args.type, args.float32, left_out, account, found)
        else:
            found = average(args.files, _pulse_options(args), where, args.align, args.as_run, args.type,
                            args.float32, read, left_out)
    except expressions.ExpressionError as failure:
        raise UsageError(str(failure)) from None
    except KeyError as failure:
        need = "--where" if args.align == "none" or failure.args[0] not in ("peak_index", "cfd_time") \
            else f"--align {args.align}"
        raise UsageError(f"no column {failure.args[0]!r} for {need}") from None
    except (*FILE_ERRORS, SourceError, ValueError) as failure:
        error(_naming(failure, args.files))
        return FAILED
    if all(tables):
        status = OK
        print(f"{', '.join(args.files)}: {plural(account.rows, 'row')} of a table, {account.selected:,} selected;"
              f" {plural(account.events, 'event')} read from {plural(len(account.sources), 'source')}")
    else:
        print(f"{read.path}: {plural(read.events, 'event')}, {read.ending}")
        status = _run_report(read.run_report, args)
    _left_out([left_out], None, args.where)
    for channel, count in sorted(found.unaligned.items()):
        error(f"channel {channel}: {plural(count, 'selected waveform')} without a"
              f" {'peak' if args.align == 'peak' else 'CFD time'} to align on, left out")
    if not found.sum:
        error("no waveform was selected" + (f" by {args.where}" if args.where else ""))
        return FAILED
    title = f"average of {', '.join(os.path.basename(os.path.normpath(f)) for f in args.files)}" + \
        (f" where {args.where}" if args.where else "") + (f", aligned on {args.align}" if args.align != "none" else "")
    draw_average(found, args.output, title, *shown)
    if args.data:
        write_average(found, args.data)
    counts = ", ".join(f"channel {c}: {plural(n, 'waveform')}" for c, n in sorted(found.waveforms.items()))
    print(f"wrote {args.output}" + (f" and {args.data}" if args.data else "") + f": {counts}")
    return status

# --- follow ---------------------------------------------------------------------

def run_follow(args: argparse.Namespace) -> int:
    from ..growing import FileChanged, StillUnreadable, wait_for_reader
    from .follow import Follower

    try:
        reader, layout, identity = wait_for_reader(args.file, args.type, args.wait, args.poll)
    except (StillUnreadable, *FILE_ERRORS) as failure:
        error(f"{args.file}: {failure}")
        return FAILED
    follower = Follower(reader, sys.stdout, args.file, layout, identity)
    status = OK
    interrupted = False
    try:
        follower.run(args.idle, args.poll)
        ended = f"then {args.idle:g} s without new data"
    except KeyboardInterrupt:
        ended, interrupted = "interrupted", True
    except FileChanged as failure:
        error(f"{args.file}: {failure}")
        ended, status = "then the file changed under the reader", FAILED
    except BrokenPipeError:
        raise  # our reader went away, not the file's: the command ends quietly
    except READ_ERRORS as failure:
        error(f"{args.file}: {failure}")
        ended, status = "then a read error", FAILED
    ending = follower.ending() if status == OK else None
    if ending is not None and ending.cut_offset is not None:
        ended += f"; {ending.describe()}"
    print(f"{plural(follower.count, 'event')}, {ended}")
    if ending is not None and ending.failed and not interrupted:
        # The writer has been quiet for --idle seconds: what the reader cannot reach is lost to it.
        error(f"{args.file}: {ending.describe()}")
        status = FAILED
    return status


# --- monitor --------------------------------------------------------------------

def _monitor_range(option: str, given: Sequence[float] | None) -> tuple[float, float] | None:
    if given is None:
        return None
    low, high = given
    if not (np.isfinite(low) and np.isfinite(high) and low < high):
        raise UsageError(f"{option} {low:g} {high:g}: give a finite range whose low end is below its high end")
    return low, high


# Feature columns that are NaN unless an option asks for them.
_HIST_NEEDS = {"energy": ("trap", "--trap RISE FLAT"), "energy_time": ("trap", "--trap RISE FLAT"),
               "tail_ratio": ("psd_split", "--psd-split S")}


def _monitor_pulses(args: argparse.Namespace) -> tuple[Any, Any]:
    """The pulse finder's options and how its pulses are counted, or (None, None) without --pulses."""
    from ..monitor.state import PulseSettings
    from ..pulses import PulseOptions
    from ..timing import parse_tick

    given = [flag for flag, value in (("--sample-period", args.sample_period), ("--exclude", args.exclude),
                                      ("--hysteresis", args.hysteresis), ("--hysteresis-rms", args.hysteresis_rms),
                                      ("--separation", args.separation)) if value is not None]
    if not args.pulses:
        if given:
            raise UsageError(f"{given[0]} is about the pulses found: give --pulses too")
        return None, None
    if args.polarity == "each":
        raise UsageError("--pulses looks for pulses of one polarity per channel: give --polarity auto, positive"
                         " or negative, not each")
    if args.exclude is not None and args.exclude[1] <= args.exclude[0]:
        raise UsageError(f"--exclude {args.exclude[0]} {args.exclude[1]}: the window [X0, X1) is empty")
    try:
        period = None if args.sample_period is None else parse_tick(args.sample_period)
        options = PulseOptions(baseline=tuple(args.baseline), threshold=args.threshold,
                               threshold_rms=args.threshold_rms, hysteresis=args.hysteresis,
                               hysteresis_rms=1.0 if args.hysteresis_rms is None else args.hysteresis_rms,
                               separation=args.separation or 0)
    except ValueError as failure:
        raise UsageError(str(failure)) from None
    return options, PulseSettings(period, tuple(args.exclude) if args.exclude else None)


def _monitor_fits(args: argparse.Namespace, shown: list[str]) -> Any:
    """The live fit's settings, or None without --fit."""
    from ..monitor.state import FitSettings

    if args.fit is None:
        given = [flag for flag, value in (("--fit-model", args.fit_model), ("--fit-every", args.fit_every))
                 if value is not None]
        if given:
            raise UsageError(f"{given[0]} is about the live fit: give --fit spe too")
        return None
    if "charge" not in shown:
        raise UsageError("--fit spe fits the charge histograms, which --hist leaves out")
    for module in FIT_LIBRARIES:
        require(module, "vorn monitor --fit")
    return FitSettings(args.fit_model or "sipm", 10.0 if args.fit_every is None else args.fit_every)


def _coincidence(text: str) -> tuple[int, int]:
    parts = text.split(",")
    try:
        a, b = (int(part) for part in parts)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r}: give two channel numbers, A,B") from None
    if a < 0 or b < 0 or a == b:
        raise argparse.ArgumentTypeError(f"{text!r}: two different channels, numbered from 0")
    return a, b


def run_monitor(args: argparse.Namespace) -> int:
    require("bokeh", "vorn monitor")
    require("boost_histogram", "vorn monitor")
    from ..features import FEATURES
    from ..monitor.server import DEFAULT_HOST, Monitor, is_loopback, log_to
    from ..monitor.state import MonitorState, summary_line
    from ..timing import parse_tick

    shown = list(dict.fromkeys(args.hist))
    for name in shown:
        if name not in FEATURES:
            raise UsageError(f"--hist {name}: no such feature column; choose from {', '.join(FEATURES)}")
    options = _pulse_options(args)
    for name in shown:
        field, flag = _HIST_NEEDS.get(name, (None, ""))
        if field is not None and getattr(options, field) is None:
            raise UsageError(f"--hist {name} needs {flag}: without it the column has no values")
    ranges = {}
    for name, option, given in (("amplitude", "--range", args.range), ("charge", "--charge-range", args.charge_range)):
        chosen = _monitor_range(option, given)
        if chosen is not None and name not in shown:
            raise UsageError(f"{option} is the range of the {name} histograms, which --hist leaves out")
        if chosen is not None:
            ranges[name] = chosen
    finder, counting = _monitor_pulses(args)
    fits = _monitor_fits(args, shown)
    coincidence_range = _monitor_range("--coincidence-range", args.coincidence_range)
    try:
        tick = None if args.tick is None else parse_tick(args.tick)
    except ValueError as failure:
        raise UsageError(f"--tick: {failure}") from None
    seen: dict[str, str] = {}
    for path in args.paths:
        if not os.path.exists(path) and not os.path.isdir(os.path.dirname(os.path.abspath(path))):
            raise UsageError(f"{path}: neither the file nor its folder exists")
        real = os.path.realpath(path)
        if real in seen:
            raise UsageError(f"{path}: given twice (also as {seen[real]})")
        seen[real] = path
    if args.port > 65535:
        raise UsageError(f"--port {args.port}: ports are numbered from 0 (any free one) to 65535")
    host = DEFAULT_HOST if args.host is None else args.host
    monitor = Monitor(list(args.paths), args.type, options, host=host, port=args.port, run=args.as_run,
                      state=MonitorState(ranges=ranges, tick=tick, features=shown, pulses=counting,
                                         coincidence=args.coincidence, coincidence_range=coincidence_range,
                                         fits=fits), pulses=finder)
    log_to(sys.stderr)
    try:
        monitor.start()
    except (OSError, AssertionError) as failure:
        reason = getattr(failure, "strerror", None) or failure
        raise Failed(f"cannot serve on {host}:{args.port}: {reason}") from None
    if not is_loopback(host):
        error(f"warning: serving on {host}: anyone who can reach this address sees the data")
    print(f"vorn monitor: serving {monitor.url} (Ctrl-C to stop)", flush=True)
    try:
        monitor.serve_forever()
    except KeyboardInterrupt:
        pass
    final = monitor.stop()
    print(summary_line(final))
    if len(final.errors) < final.error_count:
        error(f"{plural(final.error_count - len(final.errors), 'earlier error')} not kept; the last:")
    for message in final.errors:  # the page's list, the reading stopped included
        error(message)
    return FAILED if final.error_count else OK


# --- the parser -----------------------------------------------------------------

EXAMPLES = {
    "average": """examples:
  vorn average run042.wd1 --align cfd -o avg.png --data avg.csv
  vorn average --run run042/ --where 'amplitude@0 > 20 and amplitude@1 > 20'
  vorn average run042.parquet --where 'charge > 300 and not saturated' --align peak""",
    "fit": """examples:
  vorn fit spe run042.parquet --channel 0 -o spe.png        # gain, mu, crosstalk of a SiPM
  vorn fit spe run042.wd1 --charge-peak 10 40 --model pmt --json
  vorn fit gauss run.parquet --of "cfd_time@1 - cfd_time@0" --where 'amplitude@0 > 20 and amplitude@1 > 20'""",
    "info": """examples:
  vorn info run042.wd1
  vorn info run042.wd1 --tick 8ns   # and the trigger rate, with its Poisson error
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
  vorn features --jobs 4 runs/*.dat -o tables/ --format .h5
  vorn features run042.wd1 --sample-period 2ns --adc-range 2V --adc-bits 14 --impedance 50 -o t.parquet  # ns, mV, pC""",
    "pulses": """examples:
  vorn pulses sipm.wd2 -o pulses.parquet
  vorn pulses dark.dat --threshold 30 --hysteresis 10 --sample-period 0.2ns --exclude 90 160 -o dark.parquet
  vorn pulses --jobs 4 runs/*.dat -o pulses/ --sample-period 1ns   # one table per input
  vorn hist pulses.parquet --of delay""",
    "hist": """examples:
  vorn hist run042.wd1 --of charge --log -o charge.png --csv charge.csv
  vorn hist --run run042/ --of amplitude --panels
  vorn hist run042.wd1 --of time --tick 8ns -o rate.png
  vorn hist run042.parquet --of charge --where 'amplitude > 20 and not saturated'
  vorn hist run042.parquet --of 'cfd_time@1 - cfd_time@0' --where 'amplitude@0 > 20 and amplitude@1 > 20'
  vorn hist run042.parquet --of 'charge, amplitude' --channel 0 --log -o map.png --csv map.csv""",
    "follow": """examples:
  vorn follow live.wd2 --idle 30""",
    "monitor": """examples:
  vorn monitor run042/                     # a run folder: wave0.dat, wave1.dat, ... as they appear
  vorn monitor live.wd2 --polarity negative --charge-peak 10 40
  vorn monitor run042/ --tick 8ns --range 0 300  # the trigger rate; amplitudes 0 to 300 on every channel
  vorn monitor hpge/ --trap 40 10 --tau 2500 --hist energy rise_time
  vorn monitor sipm/ --pulses --threshold 30 --sample-period 1ns --exclude 90 160   # dark-count rate
  vorn monitor run042/ --host 0.0.0.0      # reachable from other machines (prints a warning)
  vorn monitor sipm/ --tick 8ns --fit spe --fit-every 30   # the gain over the run, fitted live
  vorn monitor run042/ --coincidence 0,2 --coincidence-range -20 20   # cfd_time@2 - cfd_time@0""",
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


def _feature_value(field: str) -> Callable[[str], float]:
    """A number for the FeatureOptions field `field`, refused on the command line as the library refuses it."""
    def parse(text: str) -> float:
        from ..features import option_problem

        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
        problem = option_problem(field, value)
        if problem is not None:  # after "argument --FIELD:", without the field's name again
            raise argparse.ArgumentTypeError(problem.removeprefix(f"{field} "))
        return value
    return parse


def _tick(text: str) -> str:
    """The tick as given, once it is known to read as a positive time."""
    from ..timing import parse_tick

    try:
        parse_tick(text)
    except ValueError as failure:
        raise argparse.ArgumentTypeError(str(failure)) from None
    return text


class _Pair(argparse.Action):
    """Two values that only make sense together: a window of samples (a FeatureOptions field) or a range."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        pair = tuple(values)
        if self.dest in ("range", "y_range"):
            low, high = pair
            problem = None if math.isfinite(low) and math.isfinite(high) and low < high else \
                f"needs LO < HI, both finite, not {low:g} {high:g}"
        else:
            from ..features import option_problem

            problem = option_problem(self.dest, pair)
        if problem is not None:
            raise argparse.ArgumentError(self, problem.removeprefix(f"{self.dest} "))
        setattr(namespace, self.dest, pair)


class _Parser(argparse.ArgumentParser):
    """Usage errors in one line, as every other message of the command, with exit status 2."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        # Negative numbers, infinities and NaN are values, not options:
        # --range -inf 0 and --threshold -3 reach the checks that say what is wrong.
        self._negative_number_matcher = re.compile(r"^-(\d+\.?\d*|\.\d+)(e[-+]?\d+)?$|^-(inf|infinity|nan)$",
                                                   re.IGNORECASE)

    def error(self, message: str) -> Any:
        self.exit(USAGE, f"vorn: {message} (see '{self.prog} --help')\n")


SCHEDULER = re.compile(r"^(?:(?P<scheme>[a-z][a-z0-9+.-]*)://)?(?P<host>\[[0-9a-fA-F:.]+\]|[^\s:/\[\]]+):(?P<port>\d{1,5})$")
SCHEMES = {"tcp", "tls", "ws", "wss", "ucx"}


def _scheduler(text: str) -> str:
    """A scheduler's address as Dask takes it: [tcp://]HOST:PORT."""
    found = SCHEDULER.match(text.strip())
    if found is None or (found["scheme"] or "tcp") not in SCHEMES or not 0 < int(found["port"]) < 65536:
        raise argparse.ArgumentTypeError(f"{text!r} is not a scheduler address such as tcp://host:8786")
    return text.strip()


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
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

    def allow_gaps_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--allow-gaps", action="store_true",
                         help="with --run: exit 0 even when events not in every file were dropped or timestamps"
                              " differ between the files (it is still reported)")

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
                   " statistics and how reading ended, for each file; with --tick, the trigger rate of each"
                   " channel with its Poisson error.")
    info.add_argument("files", nargs="+", metavar="FILE")
    type_option(info)
    float32_option(info)
    events_option(info)
    info.add_argument("--tick", type=_tick, metavar="LENGTH",
                      help="the board's clock tick, for example 8ns: the trigger rate of each channel, from the"
                           " timestamps")
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
                      help="the files (or the [PREFIX]wave[_]<N> files of one folder) are the channels of one run: one group"
                           " with data of (events, channels, samples), events matched by event_counter")
    allow_gaps_option(conv)
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
                         help="the files (or the [PREFIX]wave[_]<N> files of one folder) are the channels of one run,"
                              " matched by event_counter")
        allow_gaps_option(sub)
        sub.add_argument("--tick", type=_tick, metavar="LENGTH",
                         help="the board's clock tick, for example 8ns: adds time in seconds")
        pulse_options(sub)
        units_options(sub)

    def pulse_options(sub: argparse.ArgumentParser) -> None:
        group = sub.add_argument_group("pulse features (windows count samples from the event's start)")
        group.add_argument("--baseline", nargs=2, type=int, action=_Pair, default=(0, 64), metavar=("B0", "B1"),
                           help="baseline window [B0, B1) (default 0 64)")
        group.add_argument("--polarity", choices=["auto", "each", "positive", "negative"], default="auto",
                           help="pulse polarity (default auto: decided per channel from its first events, by the"
                                " larger excursion from the baseline; each: per waveform, for mixed polarity)")
        window = group.add_mutually_exclusive_group()
        window.add_argument("--charge", nargs=2, type=int, action=_Pair, metavar=("W0", "W1"),
                            help="charge window [W0, W1) (default the whole event)")
        window.add_argument("--charge-peak", nargs=2, type=int, action=_Pair, metavar=("A", "B"),
                            help="charge window [peak - A, peak + B)")
        level = group.add_mutually_exclusive_group()
        level.add_argument("--threshold", type=_feature_value("threshold"),
                           help="absolute threshold above the baseline (at least 0)")
        level.add_argument("--threshold-rms", type=_feature_value("threshold_rms"), default=5.0, metavar="K",
                           help="threshold at K baseline RMS (default 5)")
        group.add_argument("--cfd-fraction", type=_feature_value("cfd_fraction"), default=0.5, metavar="F",
                           help="constant-fraction level, in (0, 1] (default 0.5)")
        group.add_argument("--adc-max", type=_feature_value("adc_max"), metavar="M",
                           help="samples at or above M (above 0) are saturated")
        group.add_argument("--rise", nargs=2, type=float, default=(0.1, 0.9), metavar=("LO", "HI"),
                           help="fractions of the amplitude for rise_time and fall_time (default 0.1 0.9)")
        group.add_argument("--psd-split", type=int, metavar="S",
                           help="tail_ratio: the charge from S samples after the charge window's start, over all")
        group.add_argument("--trap", nargs=2, type=int, metavar=("RISE", "FLAT"),
                           help="energy: a trapezoidal filter of RISE and FLAT samples, read at its maximum")
        group.add_argument("--tau", type=float, metavar="TAU", help="the decay the energy filter corrects (samples)")
        group.add_argument("--pickoff", type=int, metavar="Q",
                           help="read the energy filter Q samples after the threshold crossing")

    def units_options(sub: argparse.ArgumentParser) -> None:
        group = sub.add_argument_group("units (without them columns are in samples and ADC counts or the samples'"
                                       " own unit)")
        group.add_argument("--sample-period", metavar="LENGTH",
                           help="the time between samples, as 2ns or 2GS/s: times in ns (WD2 files carry it, in"
                                " units of the tick: with --tick it is taken from them)")
        volts = group.add_mutually_exclusive_group()
        volts.add_argument("--volts-per-count", metavar="VOLTAGE",
                           help="volts per ADC count (of float samples: per sample unit, 1V for volts), as"
                                " 0.122mV: amplitudes and baselines in mV")
        volts.add_argument("--adc-range", metavar="VOLTAGE",
                           help="the ADC's full-scale range, as 2V, with --adc-bits: volts per count RANGE/2**BITS")
        group.add_argument("--adc-bits", type=_positive_int, metavar="BITS", help="the ADC's bits, with --adc-range")
        group.add_argument("--impedance", metavar="OHMS",
                           help="the input impedance, as 50 or 50ohm: charges in pC (with the sample period and"
                                " volts per count; without it charges are in mV x ns)")

    def salvage_option(sub: argparse.ArgumentParser, text: str) -> None:
        sub.add_argument("--salvage", action="store_true", help=text)

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
    salvage_option(feat, "keep the rows of a file that fails part-way (a read error, a stop before its end):"
                         " the exit status is still 1; without it the table is not written")
    feat.add_argument("--force", action="store_true", help="replace existing output")
    feat.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    feat.set_defaults(run=run_features)

    pul = command("pulses", "every pulse as a table, and the dark-count rate",
                  "Find every pulse of every event and channel: threshold crossings with hysteresis, each with its"
                  " start time, peak, amplitude, charge, FWHM, time over threshold and delay since the previous"
                  " pulse of its waveform; write one row per pulse (.h5, .parquet or .root by the extension of"
                  " -o). Times are in samples, or ns with --sample-period, which also prints each channel's"
                  f" dark-count rate. Needs {install_hint('all')} for the formats' libraries.")
    pul.add_argument("files", nargs="+", metavar="FILE|FOLDER")
    pul.add_argument("-o", "--output", required=True, metavar="OUT",
                     help="table file; with --jobs a folder for one table per input")
    pul.add_argument("--format", choices=list(TABLE_LIBRARIES), default=".parquet",
                     help="with --jobs, the tables' format (default .parquet)")
    pul.add_argument("--jobs", type=_positive_int, metavar="N", help="in N worker processes, one input each")
    type_option(pul)
    float32_option(pul)
    pul.add_argument("--run", action="store_true", dest="as_run",
                     help="the files (or the [PREFIX]wave[_]<N> files of one folder) are the channels of one run,"
                          " matched by event_counter")
    allow_gaps_option(pul)
    pul.add_argument("--tick", type=_tick, metavar="LENGTH",
                     help="the board's clock tick, for example 8ns: adds the event's time in seconds")
    salvage_option(pul, "keep the pulses of a file read in part (the exit status is still 1)")
    found = pul.add_argument_group("pulses (windows count samples from the event's start)")
    found.add_argument("--baseline", nargs=2, type=int, action=_Pair, default=(0, 64), metavar=("B0", "B1"),
                       help="baseline window [B0, B1) (default 0 64)")
    found.add_argument("--polarity", choices=["auto", "positive", "negative"], default="auto",
                       help="pulse polarity (default auto: decided per channel from its first events, by the"
                            " larger excursion from the baseline, as vorn features decides it)")
    level = found.add_mutually_exclusive_group()
    level.add_argument("--threshold", type=_feature_value("threshold"),
                       help="absolute threshold above the baseline (at least 0)")
    level.add_argument("--threshold-rms", type=_feature_value("threshold_rms"), default=5.0, metavar="K",
                       help="threshold at K baseline RMS (default 5)")
    rearm = found.add_mutually_exclusive_group()
    rearm.add_argument("--hysteresis", type=_feature_value("hysteresis"), metavar="H",
                       help="re-arm only below the threshold minus H (absolute)")
    rearm.add_argument("--hysteresis-rms", type=_feature_value("hysteresis_rms"), default=1.0, metavar="K",
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
    found.add_argument("--exclude", nargs=2, type=_whole(0, "samples are numbered from 0"), metavar=("X0", "X1"),
                       help="leave pulses starting in samples [X0, X1) (the trigger) out of the dark-count rate")
    units_options(pul)
    pul.add_argument("--force", action="store_true", help="replace existing output")
    pul.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    pul.set_defaults(run=run_pulses)

    hist = command("hist", "a histogram of a feature, a header value or an expression",
                   "Histogram a feature (charge, amplitude, ...), a header value, an expression of columns or,"
                   " with --of time, the event rate over the run: a series per channel of each input, in a PNG,"
                   " with the counts in a CSV if asked. An input is an event file, a run (--run) or a feature"
                   " table (.parquet, .h5, .root as vorn features or vorn pulses writes them), read without"
                   " re-reading waveforms. --where keeps the rows for which a condition holds; name@C is"
                   " channel C's column of the same event, and makes an expression's value one per event."
                   " --of X,Y draws a colour map of the pairs, its counts in the CSV."
                   " Without --range each series has a range of its own and a panel of its own;"
                   " what falls outside is counted as underflow and overflow, and a warning names a series"
                   f" of which more than 1% falls outside. Needs {install_hint('all')}.")
    hist.add_argument("files", nargs="+", metavar="FILE|FOLDER|TABLE")
    hist.add_argument("--of", required=True, metavar="EXPR",
                      help="a feature, a header key, time_tag, time (the event rate; needs --tick for event"
                           " files), or an expression of columns: 'charge / amplitude', 'cfd_time@1 - cfd_time@0';"
                           " X,Y for a colour map of Y against X (--log: of the counts)")
    hist.add_argument("--y-range", nargs=2, type=float, action=_Pair, metavar=("LO", "HI"),
                      help="--of X,Y: the range of Y (default as for --range)")
    hist.add_argument("--where", metavar="EXPR",
                      help="only rows for which EXPR holds: columns, numbers, arithmetic, comparisons, and, or,"
                           " not, abs(); 'amplitude > 20', 'amplitude@0 > 20 and amplitude@1 > 20'")
    hist.add_argument("--channel", type=_channel, metavar="C", help="only channel C")
    hist.add_argument("--bins", type=_positive_int, default=100, help="number of bins (default 100)")
    hist.add_argument("--range", nargs=2, type=float, action=_Pair, metavar=("LO", "HI"),
                      help="the histogram's range (default: that of the first events, widened by 5%%)")
    hist.add_argument("--width", type=_seconds(True), default=1.0, metavar="SECONDS",
                      help="--of time: bin width (default 1 s)")
    hist.add_argument("--log", action="store_true", help="logarithmic count axis")
    hist.add_argument("--panels", action="store_true",
                      help="one panel per channel (the default without --range: each has its own range)")
    hist.add_argument("-o", "--output", default="hist.png", metavar="PNG", help="default hist.png")
    hist.add_argument("--csv", metavar="FILE", help="also write the bins and counts as CSV")
    type_option(hist)
    float32_option(hist)
    feature_options(hist)
    parallel_options(hist)
    salvage_option(hist, "draw the entries of a file that fails part-way (a read error, a stop before its end):"
                         " the exit status is still 1; without it nothing is drawn")
    hist.add_argument("--force", action="store_true", help="replace existing output")
    hist.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
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

    fit = command("fit", "fit a photoelectron spectrum or a peak",
                  "Fit the photoelectron spectrum of a charge column (spe: pedestal and n-p.e. peaks, a SiPM with"
                  " crosstalk or a PMT) or a Gaussian (gauss: a time difference, for the timing resolution) by"
                  " binned maximum likelihood. INPUT is a feature table (.parquet, .h5, .root) or event files,"
                  " measured first as vorn features would. Exit 1 when the fit does not converge. Needs"
                  f" {install_hint('fit')}.")
    fit.add_argument("kind", choices=["spe", "gauss"], help="what to fit")
    fit.add_argument("files", nargs="+", metavar="INPUT")
    fit.add_argument("--of", metavar="EXPR", help="column or expression (default charge for spe); name@C is"
                                                  " channel C's column of the same event")
    fit.add_argument("--where", metavar="EXPR", help="select rows (or events, with name@C), e.g. 'amplitude > 20'")
    fit.add_argument("--channel", type=_channel, metavar="C", help="only channel C")
    fit.add_argument("--model", choices=["sipm", "pmt"], default="sipm", help="spe: the detector (default sipm)")
    fit.add_argument("--bins", type=_positive_int, default=200, help="number of bins (default 200)")
    fit.add_argument("--range", nargs=2, type=float, metavar=("LO", "HI"),
                     help="the range fitted (default the central 99.9%% of the values, widened by 2%%)")
    fit.add_argument("-o", "--output", metavar="IMAGE", help="draw the data, the fit and its components")
    fit.add_argument("--json", action="store_true", help="print the result as JSON")
    fit.add_argument("--force", action="store_true", help="replace existing output")
    type_option(fit)
    float32_option(fit)
    feature_options(fit)
    fit.set_defaults(run=run_fit)

    avg = command("average", "the average waveform of each channel",
                  "Average the waveforms of each channel, with a band of one standard deviation, over the events"
                  " that --where selects, optionally aligned on their peak or constant-fraction time. An input is"
                  " event files, a run (--run) or a feature table (.parquet, .h5, .root as vorn features writes"
                  " them): --where then selects its rows, and their waveforms are read by entry from the files"
                  " the table records as its sources, which must still be there, unchanged (exit 1 otherwise)."
                  f" Needs {install_hint('cli')}.")
    avg.add_argument("files", nargs="+", metavar="FILE|FOLDER|TABLE")
    avg.add_argument("--where", metavar="EXPR", help="select rows (or events, with name@C) by their features")
    avg.add_argument("--align", choices=["none", "peak", "cfd"], default="none",
                     help="shift each waveform onto the median peak or CFD time first (default none)")
    avg.add_argument("-o", "--output", default="average.png", metavar="IMAGE", help="default average.png")
    avg.add_argument("--data", metavar="FILE", help="also the numbers: .csv (channel, sample, mean, std,"
                                                   " count) or .npy (channels x [mean, std, count] x samples)")
    avg.add_argument("--force", action="store_true", help="replace existing output")
    type_option(avg)
    float32_option(avg)
    feature_options(avg)
    avg.set_defaults(run=run_average)

    mon = command("monitor", "a live view of a run in the browser",
                  "Serve a page showing the files as they grow: per channel its last waveforms and histograms"
                  " of feature columns (amplitude and charge, or those --hist names), each on the channel's own"
                  " scale, with the values below and above the range; with --pulses its dark-count rate; with"
                  " --fit spe its gain, fitted every few seconds; a run's coincidence time difference; the"
                  " trigger rate (with --tick) or the reading rate; counters of triggers,"
                  " waveforms, counter gaps, bytes read, a cut event pending and read errors. PATHS are files,"
                  " or run folders whose wave<N> files are picked up as they appear; a new run written over a"
                  " file replaces the old one on the page. Read-only; serves 127.0.0.1 unless --host says"
                  " otherwise. Stops on Ctrl-C or SIGTERM with a summary line. Needs"
                  f" {install_hint('monitor')}.")
    mon.add_argument("paths", nargs="+", metavar="PATH")
    type_option(mon)
    mon.add_argument("--host", help="address to serve on (default 127.0.0.1, this machine only)")
    mon.add_argument("--port", type=_port, default=8765, help="port (default 8765; 0 for a free one)")
    mon.add_argument("--run", action="store_true", dest="as_run",
                     help="the files given are the channels of one run: each trigger counts once (a folder's"
                          " wave<N> files always are)")
    mon.add_argument("--tick", metavar="LENGTH",
                     help="the board's clock tick, for example 8ns: the rate plotted is then the trigger rate from"
                          " the timestamps, else the rate at which triggers are read")
    mon.add_argument("--range", nargs=2, type=float, metavar=("LO", "HI"),
                     help="the amplitude histograms' range (default: each channel's, from its first 1,000 values,"
                          " chosen again on Reset)")
    mon.add_argument("--charge-range", nargs=2, type=float, metavar=("LO", "HI"),
                     help="the charge histograms' range (default as for --range)")
    mon.add_argument("--hist", nargs="+", default=["amplitude", "charge"], metavar="COLUMN",
                     help="the feature columns histogrammed per channel (default amplitude charge), any of those of"
                          " vorn features: rise_time, fwhm, tail_ratio, energy, ...")
    live = mon.add_argument_group("analyses while the run goes on")
    live.add_argument("--fit", choices=["spe"],
                      help="fit each channel's charge histogram (photoelectron spectrum) every --fit-every seconds"
                           " and plot the gain over the run's time (needs the fit extra)")
    live.add_argument("--fit-model", choices=["sipm", "pmt"], help="the spectrum's model (default sipm)")
    live.add_argument("--fit-every", type=_seconds(True), metavar="SECONDS", help="seconds between fits (default 10)")
    live.add_argument("--coincidence", type=_coincidence, default=(0, 1), metavar="A,B",
                      help="the run channels whose CFD time difference, cfd_time@B - cfd_time@A, is histogrammed,"
                           " events matched by counter (default 0,1; a folder's channel N is wave<N>)")
    live.add_argument("--coincidence-range", nargs=2, type=float, metavar=("LO", "HI"),
                      help="the coincidence histogram's range in samples (default: from its first 1,000 values)")
    pulse_options(mon)
    dark = mon.add_argument_group("every pulse (the baseline window, polarity and threshold are the features')")
    dark.add_argument("--pulses", action="store_true",
                      help="find every pulse and show per channel the dark-count rate (with --sample-period) or"
                           " the pulses per waveform")
    rearm = dark.add_mutually_exclusive_group()
    rearm.add_argument("--hysteresis", type=_feature_value("hysteresis"), metavar="H",
                       help="re-arm only below the threshold minus H (absolute)")
    rearm.add_argument("--hysteresis-rms", type=_feature_value("hysteresis_rms"), metavar="K",
                       help="re-arm only below the threshold minus K baseline RMS (default 1)")
    dark.add_argument("--separation", type=_whole(0, "must not be negative"), metavar="N",
                      help="a crossing fewer than N samples after a pulse's start belongs to it (default 0)")
    dark.add_argument("--sample-period", type=_tick, metavar="LENGTH",
                      help="the time between samples, for example 0.2ns: the dark-count rate in Hz")
    dark.add_argument("--exclude", nargs=2, type=_whole(0, "samples are numbered from 0"), metavar=("X0", "X1"),
                      help="leave pulses starting in samples [X0, X1) (the trigger), and those samples, out")
    mon.set_defaults(run=run_monitor)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    signals.install()
    try:
        _check_up_front(args)
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
        error(str(in_users_words(failure)))
        return FAILED
    return status
