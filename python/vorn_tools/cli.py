"""The `vorn` command: argument parsing, exit status and the report of each verb.

Exit status: 0 when everything went well, 1 when some input failed, 2 for a
usage error, a missing optional library included. Errors are one line on
standard error that names the file.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.metadata
import itertools
import json
import os
import sys
from collections.abc import Sequence
from typing import Any

from . import signals
from .blocks import FILE_ERRORS
from .formats import Layout, guess_type, open_layout

OK, FAILED, USAGE = 0, 1, 2

EXTRAS = {"h5py": "cli", "matplotlib": "cli", "dask": "dask", "distributed": "dask"}


class UsageError(Exception):
    """A mistake in the command line; exit status 2."""


def require(module: str, command: str) -> Any:
    """Import an optional library, or stop with the pip command that brings it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        top = module.partition(".")[0]
        raise UsageError(f"{command} needs {top}, which is not installed ({error}): "
                         f"pip install 'vorn[{EXTRAS[top]}]'") from None


def error(message: str) -> None:
    print(f"vorn: {message}", file=sys.stderr)


# --- formats ------------------------------------------------------------------

def layouts(paths: Sequence[str], reader_type: str) -> list[Layout | str]:
    """The layout of each file, or the message saying why it cannot be read at all.

    A file whose format `auto` cannot tell stops the command: that is for the
    user to settle with --type, not a bad input.
    """
    found: list[Layout | str] = []
    for path in paths:
        try:
            kind = guess_type(path) if reader_type == "auto" else reader_type
            if kind is None:
                raise UsageError(f"cannot tell WD1 from WD2 for {path}: pass --type")
            found.append(open_layout(path, kind))
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
            with Progress(os.path.getsize(path), os.path.basename(path), args.quiet) as bar:
                info = scan(path, layout, args.float32, bar)
        except FILE_ERRORS as failure:
            message = str(failure) or type(failure).__name__
            error(f"{path}: {message}")
            documents.append({"path": path, "error": message})
            status = FAILED
            continue
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
    require("h5py", "vorn convert")
    if args.scheduler:
        require("distributed", "vorn convert --scheduler")
    from . import convert
    from .progress import Progress

    if args.jobs is not None and args.jobs < 1:
        raise UsageError("--jobs must be at least 1")
    folder = args.jobs is not None or args.scheduler is not None
    found = layouts(args.files, args.type)
    readable = [(i, layout) for i, layout in enumerate(found) if isinstance(layout, Layout)]
    names = convert.unique_names([args.files[i] for i, _ in readable])
    options = convert.Options(args.compression, args.float32)
    # Workers elsewhere need paths that do not depend on this process's folder.
    tasks = [convert.Task(os.path.abspath(args.files[i]), layout, name, options)
             for (i, layout), name in zip(readable, names)]
    if folder:
        if os.path.exists(args.output) and not os.path.isdir(args.output):
            raise UsageError(f"{args.output} is not a folder (with --jobs or --scheduler, -o names a folder)")
        _check_targets([os.path.join(args.output, f"{name}.h5") for name in names], args.force)
        os.makedirs(args.output, exist_ok=True)
    else:
        if os.path.isdir(args.output):
            raise UsageError(f"{args.output} is a folder; without --jobs or --scheduler, -o names an HDF5 file")
        if not os.path.isdir(os.path.dirname(os.path.abspath(args.output))):
            raise UsageError(f"the folder of {args.output} does not exist")
        _check_targets([args.output], args.force)
    converted: list[convert.Outcome] = []
    if tasks and folder:
        where = os.path.abspath(args.output)
        with Progress(len(tasks), "convert", args.quiet, unit="file") as bar:
            if args.scheduler:
                converted = convert.convert_on_cluster(tasks, where, args.scheduler, bar)
            else:
                converted = convert.convert_in_workers(tasks, where, args.jobs, bar)
    elif tasks:
        with Progress(sum(_size(t.path) for t in tasks), "convert", args.quiet) as bar:
            converted = convert.convert_into_one(tasks, args.output, bar)
    outcomes = [convert.Outcome(path, error=layout) if isinstance(layout, str) else None
                for path, layout in zip(args.files, found)]
    for (i, _), outcome in zip(readable, converted):
        outcome.path = args.files[i]  # as the user wrote it
        outcomes[i] = outcome
    return _report([o for o in outcomes if o is not None])


def _size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0  # reported when the file is read


def _check_targets(targets: Sequence[str], force: bool) -> None:
    existing = [t for t in targets if os.path.lexists(t)]
    if existing and not force:
        raise UsageError(f"{existing[0]} exists: pass --force to replace it")


def _report(outcomes: Sequence[Any]) -> int:
    for outcome in outcomes:
        if outcome.error is None:
            print(f"{outcome.path} -> {outcome.output}: {outcome.events:,} events, {outcome.ending}")
    bad = [o for o in outcomes if o.error is not None]
    for outcome in bad:
        error(f"{outcome.path}: {outcome.error}")
    if bad:
        error(f"{len(bad)} of {len(outcomes)} files failed: {', '.join(o.path for o in bad)}")
        return FAILED
    return OK


# --- plot -----------------------------------------------------------------------

def run_plot(args: argparse.Namespace) -> int:
    require("matplotlib", "vorn plot")
    import vorn

    from .plotting import figure_pixels, plot_events

    (layout,) = layouts([args.file], args.type)
    if isinstance(layout, str):
        error(f"{args.file}: {layout}")
        return FAILED
    float32 = args.float32 and layout.reader_type == "WD1"
    try:
        events: Any = vorn.EventReader(args.file, layout.reader_type)
        if args.channel is not None and layout.reader_type == "WD1":
            events = (e for e in events if e["board_channel"] == args.channel)
        shown = list(itertools.islice(events, args.events))
    except OSError as failure:
        error(f"{args.file}: {failure}")
        return FAILED
    if not shown:
        error(f"{args.file}: no events to plot" + (f" on channel {args.channel}" if args.channel is not None else ""))
        return FAILED
    if float32 and any(e["data"].size % 2 for e in shown):
        error(f"{args.file}: an event has an odd number of samples, which cannot be read as float32 (--float32)")
        return FAILED
    if layout.reader_type == "WD2" and args.channel is not None and not 0 <= args.channel < layout.channels:
        error(f"{args.file}: no channel {args.channel}; the file has channels 0 to {layout.channels - 1}")
        return FAILED
    title = f"{os.path.basename(args.file)}: first {len(shown)} events"
    fig = plot_events(shown, title, args.channel if layout.reader_type == "WD2" else None, float32)
    fig.savefig(args.output, dpi=fig.dpi)
    width, height = figure_pixels(len(fig.axes))
    print(f"wrote {args.output} ({width}x{height} pixels)")
    return OK


# --- follow ---------------------------------------------------------------------

def run_follow(args: argparse.Namespace) -> int:
    from .follow import Follower, StillUnreadable, wait_for_reader

    try:
        reader = wait_for_reader(args.file, args.type, args.idle, args.poll)
    except StillUnreadable as failure:
        error(f"{args.file}: {failure}")
        return FAILED
    except OSError as failure:
        error(f"{args.file}: {failure}")
        return FAILED
    follower = Follower(reader, sys.stdout)
    try:
        follower.run(args.idle, args.poll)
        ended = f"then {args.idle:g} s without new data"
    except KeyboardInterrupt:
        ended = "interrupted"
    except OSError as failure:
        error(f"{args.file}: {failure}")
        print(f"{follower.count} events, then a read error")
        return FAILED
    print(f"{follower.count} events, {ended}")
    return OK


# --- the parser -----------------------------------------------------------------

EXAMPLES = {
    "info": """examples:
  vorn info run042.wd1
  vorn info --json runs/*.wd2 > summary.json""",
    "convert": """examples:
  vorn convert run042.wd1 -o run042.h5
  vorn convert --type WD2 --compression none runs/*.wd2 -o runs.h5
  vorn convert --jobs 4 runs/*.wd2 -o converted/         # one HDF5 file per run
  vorn convert --scheduler tcp://host:8786 runs/*.wd2 -o /shared/converted/""",
    "plot": """examples:
  vorn plot run042.wd2 -n 8 -o first8.png
  vorn plot run042.wd1 --channel 3""",
    "follow": """examples:
  vorn follow live.wd2 --idle 30""",
}


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vorn",
        description="Inspect, convert to HDF5, plot and follow WD1 and WD2 event files.",
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

    info = command("info", "what files hold", "Report format, events, counters, timestamps, per-channel sample"
                   " statistics and how reading ended, for each file.")
    info.add_argument("files", nargs="+", metavar="FILE")
    type_option(info)
    float32_option(info)
    info.add_argument("--json", action="store_true", help="print a JSON list, one object per file")
    info.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    info.set_defaults(run=run_info)

    conv = command("convert", "event files to HDF5",
                   "Write each file's events to HDF5: a group per file, a dataset per header key, and 'data'"
                   " (events x samples, or events x channels x samples for WD2 of several channels, or flat with"
                   " 'offsets' when event lengths differ). Output appears only"
                   " when complete. Needs pip install 'vorn[cli]'; --scheduler also 'vorn[dask]'.")
    conv.add_argument("files", nargs="+", metavar="FILE")
    conv.add_argument("-o", "--output", required=True, metavar="OUT",
                      help="HDF5 file; with --jobs or --scheduler a folder for one HDF5 file per input")
    type_option(conv)
    float32_option(conv)
    conv.add_argument("--compression", choices=["gzip", "lzf", "none"], default="gzip",
                      help="dataset compression: gzip (default; deflate with shuffle, read by every HDF5 tool),"
                      " lzf (faster, but only h5py reads it) or none")
    conv.add_argument("--jobs", type=int, metavar="N", help="convert in N worker processes, into the folder OUT")
    conv.add_argument("--scheduler", metavar="ADDRESS",
                      help="convert on this Dask cluster, into the folder OUT (workers must see the same paths)")
    conv.add_argument("--force", action="store_true", help="replace existing output")
    conv.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    conv.set_defaults(run=run_convert)

    plot = command("plot", "the first waveforms as a PNG",
                   "Draw the first events of a file to a PNG: WD1 on one panel against the sample index, WD2"
                   " one panel per channel against time. Needs pip install 'vorn[cli]'.")
    plot.add_argument("file", metavar="FILE")
    type_option(plot)
    float32_option(plot)
    plot.add_argument("-n", "--events", type=int, default=4, help="how many events (default 4)")
    plot.add_argument("--channel", type=int, metavar="C",
                      help="only channel C (WD2: a channel block; WD1: events whose board_channel is C)")
    plot.add_argument("-o", "--output", default="waveforms.png", metavar="PNG", help="default waveforms.png")
    plot.set_defaults(run=run_plot)

    follow = command("follow", "print events as a file grows",
                     "Print one line per event (counter, timestamp, samples, min, max) as the file grows. Waits"
                     " for the file to exist and, for WD2, to hold enough to open. Stops after --idle seconds"
                     " without a new event, or on Ctrl-C, with a summary line.")
    follow.add_argument("file", metavar="FILE")
    type_option(follow)
    follow.add_argument("--idle", type=float, default=10.0, metavar="SECONDS",
                        help="stop after this long without a new event (default 10)")
    follow.add_argument("--poll", type=float, default=0.2, metavar="SECONDS", help=argparse.SUPPRESS)
    follow.set_defaults(run=run_follow)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    signals.install()
    try:
        status: int = args.run(args)
    except UsageError as failure:
        error(str(failure))
        return USAGE
    except KeyboardInterrupt:
        error("interrupted")
        return signals.exit_status()
    except BrokenPipeError:
        # The reader of our output went away (vorn info ... | head).
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return FAILED
    except OSError as failure:  # the output cannot be written, say
        error(str(failure))
        return FAILED
    return status
