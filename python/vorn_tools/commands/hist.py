"""`vorn hist`: a histogram of a feature, a header value, an expression or the event rate."""

from __future__ import annotations

import argparse
import os
from typing import Any

from .. import _parallel as parallel
from ..blocks import FILE_ERRORS
from ..budget import OverBudget
from ..histograms import MAP_BINS, PICTURE_BINS
from .common import (FAILED, TABLE_LIBRARIES, Failed, UsageError, check_targets, error, install_hint, left_out,
                     picture_and_csv, picture_format, plural, report_run, require, run_inputs, spare_inputs)
from .options import (Checked, Pair, add_command, channel_number, feature_options, float32_option, force_option,
                      parallel_options, positive_int, pulse_settings, quiet_option, salvage_option, seconds,
                      type_option)
from .tasks import feature_tasks, reading_progress

__all__ = ["add_parser", "run"]

BINS = 100  # without --bins

EXAMPLES = """
  vorn hist run042.wd1 --of charge --log -o charge.png --csv charge.csv
  vorn hist --run run042/ --of amplitude --panels
  vorn hist run042.wd1 --of time --tick 8ns -o rate.png
  vorn hist run042.parquet --of charge --where 'amplitude > 20 and not saturated'
  vorn hist run042.parquet --of 'cfd_time@1 - cfd_time@0' --where 'amplitude@0 > 20 and amplitude@1 > 20'
  vorn hist run042.parquet --of 'charge, amplitude' --channel 0 --log -o map.png --csv map.csv
"""


def add_parser(commands: Any) -> None:
    hist = add_command(commands, "hist", "a histogram of a feature, a header value or an expression",
                       "Histogram a feature (charge, amplitude, ...), a header value, an expression of columns or,"
                       " with --of time, the event rate over the run: a series per channel of each input, in a picture"
                       " (PNG, or PDF, SVG... by the extension of -o),"
                       " with the counts in a CSV if asked. An input is an event file, a run (--run) or a feature"
                       " table (.parquet, .h5, .root as vorn features or vorn pulses writes them), read without"
                       " re-reading waveforms. --where keeps the rows for which a condition holds; name@C is"
                       " channel C's column of the same event, and makes an expression's value one per event."
                       " --of X,Y draws a colour map of the pairs, its counts in the CSV."
                       " Without --range each series has a range of its own and a panel of its own;"
                       " what falls outside is counted as underflow and overflow, and a warning names a series"
                       f" of which more than 1% falls outside. Needs {install_hint('all')}.", EXAMPLES)
    hist.add_argument("files", nargs="+", metavar="FILE|FOLDER|TABLE")
    hist.add_argument("--of", required=True, metavar="EXPR",
                      help="a feature, a header key, time_tag, time (the event rate; needs --tick for event"
                           " files), or an expression of columns: 'charge / amplitude', 'cfd_time@1 - cfd_time@0';"
                           " X,Y for a colour map of Y against X (--log: of the counts)")
    hist.add_argument("--y-range", nargs=2, type=float, action=Pair, metavar=("LO", "HI"),
                      help="--of X,Y: the range of Y (default as for --range)")
    hist.add_argument("--where", metavar="EXPR",
                      help="only rows for which EXPR holds: columns, numbers, arithmetic, comparisons, and, or,"
                           " not, abs(); 'amplitude > 20', 'amplitude@0 > 20 and amplitude@1 > 20'")
    hist.add_argument("--channel", type=channel_number, metavar="C", help="only channel C")
    hist.add_argument("--bins", type=positive_int,
                      help=f"number of bins (default {BINS}; at most {PICTURE_BINS:,}, or {MAP_BINS:,} a side for"
                           " X,Y, what a picture shows); --of time without --range: about this many bins of a"
                           " round width (1, 2 or 5 times a power of ten seconds) over the times read")
    hist.add_argument("--range", nargs=2, type=float, action=Pair, metavar=("LO", "HI"),
                      help="the histogram's range (default: that of the first events, widened by 5%%; --of time:"
                           " the times read), in seconds for --of time")
    hist.add_argument("--width", type=seconds(True), metavar="SECONDS",
                      help="--of time: the bins' width instead of --bins, counted from 0 s (with --range, a whole"
                           " number of them must fill it)")
    hist.add_argument("--log", action="store_true", help="logarithmic count axis")
    hist.add_argument("--panels", action="store_true",
                      help="one panel per channel (the default without --range: each has its own range)")
    hist.add_argument("-o", "--output", default="hist.png", metavar="IMAGE",
                      help="default hist.png; PDF, SVG... by the extension")
    hist.add_argument("--csv", metavar="FILE", help="also write the bins and counts as CSV")
    type_option(hist)
    float32_option(hist)
    feature_options(hist)
    parallel_options(hist)
    salvage_option(hist, "draw the entries of a file that fails part-way (a read error, a stop before its end):"
                         " the exit status is still 1; without it nothing is drawn")
    force_option(hist)
    quiet_option(hist)
    hist.set_defaults(run=run, outputs=picture_and_csv)


def run(args: argparse.Namespace, checked: Checked) -> int:
    require("boost_histogram", "vorn hist")
    require("matplotlib", "vorn hist")
    if args.scheduler:
        require("distributed", "vorn hist --scheduler")
    from ..analysis.tables import is_table
    from ..spectra import TableInput

    axes, binning, parsed = _binning(args)
    tables = [is_table(path) for path in args.files]
    _check(args, binning, tables)
    raw = [path for path, table in zip(args.files, tables) if not table]
    found_tasks, unreadable = feature_tasks(args, pulse_settings(args), checked.calibration, raw) if raw else ([], [])
    if unreadable:
        for path, reason in unreadable:
            error(f"{path}: {reason}")
        return FAILED
    # Tasks in the order of the inputs, tables beside raw files.
    pending = iter(found_tasks)
    tasks: list[Any] = [TableInput(os.path.abspath(path), os.path.basename(path)) if table else next(pending)
                        for path, table in zip(args.files, tables)] if not args.as_run else found_tasks
    outputs = [args.output] + ([args.csv] if args.csv else [])
    spare_inputs(outputs, run_inputs(args.files) if args.as_run else args.files)
    check_targets(outputs, args.force)
    reports: list[Any] = []  # of the run, read in this process
    done = _fill(args, tasks, binning, reports)
    if isinstance(done, int):
        return done
    given = [", ".join(args.files)] if args.as_run else list(args.files)
    failed = _report_inputs(given, tasks, done, args.salvage)
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
    left_out([outcome.left_out for _, outcome in done], args.of, args.where)
    if args.channel is not None and not entries:
        error(f"no channel {args.channel} in the events read" + (f" where {args.where}" if args.where else ""))
        return FAILED
    if args.where and not entries and not any(one.no_value for one in series.values()):
        error(f"no row read satisfies --where {args.where}")
        return FAILED
    if not entries:
        # Blank axes would pass for a histogram whose bins are all below the axis.
        no_value = sum(one.no_value for one in series.values())
        error(f"nothing to draw: no value of {args.of} in the rows read" + (f" where {args.where}" if args.where
                                                                          else "")
              + (f" ({plural(no_value, 'row')} without one)" if no_value else "") + f"; {args.output} not written")
        return FAILED
    if not any(one.drawable() for one in series.values()):
        error(f"nothing to draw: {plural(entries, 'event')} at one time, of no rate; {args.output} not written")
        return FAILED
    _warn_outside(args, series, len(axes) == 2)
    _draw(args, axes, binning, series, entries, parsed, _counted(args.files, tables))
    if failed:
        error(f"{len(failed)} of {plural(len(given), 'file')} failed, the entries before the failure kept"
              f" (--salvage): {', '.join(failed)}")
        return FAILED
    return report_run(reports[0] if reports else None, args.files, args.allow_gaps)


def _split_pair(text: str) -> list[str]:
    """The expressions of --of, split at its commas outside parentheses."""
    parts, depth, start = [], 0, 0
    for at, char in enumerate(text):
        depth += {"(": 1, ")": -1}.get(char, 0)
        if char == "," and depth == 0:
            parts.append(text[start:at].strip())
            start = at + 1
    return parts + [text[start:].strip()]


def _binning(args: argparse.Namespace) -> tuple[list[str], Any, tuple[Any, ...]]:
    """The expressions of --of, the Binning they and the options make, and the parsed expressions."""
    from ..analysis.expressions import ExpressionError
    from ..spectra import Binning

    axes = _split_pair(args.of)
    if len(axes) > 2 or not all(axes):
        raise UsageError(f"--of takes one expression, or two for a colour map (X,Y), not {args.of!r}")
    pairs = len(axes) == 2
    if args.y_range is not None and not pairs:
        raise UsageError("--y-range is the range of Y in --of X,Y")
    bins = _bins(args, not pairs and axes[0] == "time", pairs)
    binning = Binning(axes[0], bins, tuple(args.range) if args.range is not None else None, args.channel,
                      args.width, args.where, axes[1] if pairs else None,
                      tuple(args.y_range) if args.y_range is not None else None)
    try:
        parsed = binning.parse()
    except ExpressionError as failure:
        option = "--where" if failure.text == args.where and failure.text not in axes else "--of"
        raise UsageError(f"{option} {failure}") from None
    if args.channel is not None and any(e is not None and e.per_event for e in parsed):
        raise UsageError("--channel selects rows; with name@C the channels are in the expressions")
    return axes, binning, parsed


def _bins(args: argparse.Namespace, rate: bool, pairs: bool) -> int:
    """The number of bins the options ask for, refused before anything is read when a picture cannot show them
    or this process cannot hold them."""
    from ..histograms import FINE_BINS, check_bins
    from ..budget import check

    if args.width is not None and not rate:
        raise UsageError(f"--width is the bins' width of --of time; for {args.of}, --bins gives the bins")
    if args.width is not None and args.bins is not None:
        raise UsageError("--of time takes --bins (about that many bins of a round width) or --width, not both")
    if rate and args.width is not None and args.range is not None:
        low, high = args.range
        count = float((high - low) / args.width)
        check_bins(f"--width {args.width:g} over --range {low:g} {high:g}", count)
        if abs(count - round(count)) > 1e-6 * max(1.0, count):
            raise UsageError(f"--range {low:g} {high:g} is not a whole number of bins of --width {args.width:g}:"
                             f" {count:.6g} of them")
        return round(count)
    bins: int = BINS if args.bins is None else args.bins
    check_bins(f"--bins {bins}", bins, pairs)
    if rate and args.range is None:
        check(f"--bins {bins}", bins * FINE_BINS)  # the fine bins the times are first counted in
    return bins


def _check(args: argparse.Namespace, binning: Any, tables: list[bool]) -> None:
    """Refuses what the options condemn once the inputs' kinds are known."""
    from ..spectra import in_range

    if any(tables):
        if args.as_run:
            raise UsageError("--run reads the files of a run; a feature table is read as it is, without --run")
        for path in (path for path, table in zip(args.files, tables) if table):
            require(TABLE_LIBRARIES.get(os.path.splitext(path)[1].lower(), "h5py"), "vorn hist")
    if binning.rate and args.tick is None and not all(tables):
        raise UsageError("--of time needs --tick, the length of the board's clock tick (for example 8ns)")
    picture_format(args.output)
    if args.range is not None and not in_range(*args.range):
        raise UsageError(f"--range needs LO < HI, both finite and within ±1e300, not {args.range[0]:g} "
                         f"{args.range[1]:g}")
    if args.as_run and (args.jobs is not None or args.scheduler):
        raise UsageError("a run is read in one process: --run takes no --jobs or --scheduler")


def _fill(args: argparse.Namespace, tasks: list[Any], binning: Any, reports: list[Any]) -> list[Any] | int:
    """Each input's series and outcome, or the exit status when the reading itself failed."""
    from ..runs import RunError
    from ..spectra import BadExpression, spectrum
    from .progress import Progress

    try:
        # Each task fills the series of its own input, ranges included, so
        # workers need not agree on anything before they start.
        if args.scheduler or args.jobs is not None:
            with Progress(len(tasks), "hist", args.quiet, unit="file") as bar:
                if args.scheduler:
                    return list(parallel.on_cluster(spectrum, tasks, args.scheduler, bar, binning=binning))
                return list(parallel.in_workers(spectrum, tasks, args.jobs, bar, binning=binning))
        with reading_progress(tasks, "hist", args.quiet) as bar:
            return [spectrum(task, binning, reports=reports, progress=bar) for task in tasks]
    except parallel.Unreachable as failure:
        raise Failed(str(failure)) from None
    except OverBudget:
        raise
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


def _report_inputs(given: list[str], tasks: list[Any], done: list[Any], salvage: bool) -> list[str]:
    """Prints what was read of each input; the inputs that failed."""
    from ..spectra import TableInput

    failed = []
    for path, task, (_, outcome) in zip(given, tasks, done):
        if outcome.error is None or salvage:
            if isinstance(task, TableInput):
                print(f"{path}: {plural(outcome.rows, 'row')} of a table")
            else:
                print(f"{path}: {plural(outcome.events, 'event')}, {outcome.ending}")
        for note in outcome.notes:
            error(f"{path}: {note}")
        if outcome.error is not None:
            error(f"{path}: {outcome.error}")
            failed.append(path)
    return failed


def _warn_outside(args: argparse.Namespace, series: dict[Any, Any], pairs: bool) -> None:
    """Warns of a series of which more than 1% falls outside its range."""
    from ..histograms import series_label

    hint = "widen --range to bin them" if args.range is not None else "pass --range LO HI to bin them"
    if pairs:
        hint = "pass --range and --y-range to bin them"
    for key, one in series.items():
        outside = one.outside()
        if outside * 100 <= one.entries():
            continue
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


def _counted(files: list[str], tables: list[bool]) -> str:
    """What a row stands for: a pulse when every input is a table of vorn pulses, else an event."""
    from ..analysis.tables import table_columns

    return "pulses" if all(tables) and all("pulse" in table_columns(path) for path in files) else "events"


def _draw(args: argparse.Namespace, axes: list[str], binning: Any, series: dict[Any, Any], entries: int,
          parsed: tuple[Any, ...], counted: str) -> None:
    """Writes the picture (and the CSV) and says what they hold."""
    from ..histograms import series_label, write_csv, write_map_csv, write_map_png, write_png

    pairs = len(axes) == 2
    what = f"{counted[:-1]} rate" if binning.rate else (f"{axes[1]} against {axes[0]}" if pairs else args.of)
    # The title carries the whole selection, so that a picture shown alone says what it is of.
    title = f"{what} of {', '.join(os.path.basename(os.path.normpath(f)) for f in args.files)}" \
        + (f", channel {args.channel}" if args.channel is not None else "") \
        + (f" where {args.where}" if args.where else "")
    kind = picture_format(args.output)
    several = len({name for name, _ in series}) > 1
    for key, one in series.items():
        if not one.entries():
            error(f"warning: {series_label(key, several)}: no value of {args.of}"
                  f" ({plural(one.no_value, 'row')} without one), not drawn")
        elif not one.drawable():
            error(f"warning: {series_label(key, several)}: {plural(one.entries(), 'event')} at one time, of no"
                  " rate, not drawn")
    drawn = {key: one for key, one in series.items() if one.drawable()}
    if pairs:
        write_map_png(drawn, args.output, axes[0], axes[1], log=args.log, title=title, counted=counted,
                      format=kind)
        if args.csv:
            write_map_csv(series, args.csv)
    else:
        # Without --range every series has a range of its own, so it gets a panel of its own.
        panels = args.panels or (not binning.rate and args.range is None and len(drawn) > 1)
        write_png(drawn, args.output, args.of, log=args.log, panels=panels, title=title, counted=counted,
                  format=kind)
        if args.csv:
            write_csv(series, args.csv)
    no_value = sum(one.no_value for one in series.values())
    per_event = any(e is not None and e.per_event for e in parsed)
    print(f"wrote {args.output}" + (f" and {args.csv}" if args.csv else "")
          + f": {entries:,} {'entry' if entries == 1 else 'entries'}"
          + (f", {plural(no_value, 'event' if per_event else 'row')} without a value of {args.of} (counted, not"
             " binned)" if no_value else ""))
    if binning.rate:
        for key, one in series.items():
            whole = one.trigger_rate()
            span = f" ({plural(whole.triggers, 'event')} over {whole.seconds:.6g} s)" if whole.known else ""
            print(f"{series_label(key, several)}: trigger rate {whole.text()}{span}")
