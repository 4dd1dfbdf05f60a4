"""`vorn average`: the average waveform of each channel over the events a cut selects."""

from __future__ import annotations

import argparse
import contextlib
import os
from typing import Any

import numpy as np

from ..blocks import FILE_ERRORS
from ..formats import Layout
from .common import (FAILED, OK, TABLE_LIBRARIES, Failed, UsageError, check_targets, error, install_hint, layouts,
                     left_out, naming, picture_format, plural, report_run, require, run_inputs, spare_inputs,
                     unreadable_raw)
from .options import (Checked, add_command, feature_options, float32_option, force_option, pulse_settings,
                      type_option)

__all__ = ["add_parser", "run"]

EXAMPLES = """
  vorn average run042.wd1 --align cfd -o avg.png --data avg.csv
  vorn average --run run042/ --where 'amplitude@0 > 20 and amplitude@1 > 20'
  vorn average run042.parquet --where 'charge > 300 and not saturated' --align peak
"""


def add_parser(commands: Any) -> None:
    avg = add_command(commands, "average", "the average waveform of each channel",
                      "Average the waveforms of each channel, with a band of one standard deviation, over the events"
                      " that --where selects, optionally aligned on their peak or constant-fraction time. An input"
                      " is event files, a run (--run) or a feature table (.parquet, .h5, .root as vorn features"
                      " writes them): --where then selects its rows, and their waveforms are read by entry from the"
                      " files the table records as its sources, which must still be there, unchanged (exit 1"
                      f" otherwise). Needs {install_hint('cli')}.", EXAMPLES)
    avg.add_argument("files", nargs="+", metavar="FILE|FOLDER|TABLE")
    avg.add_argument("--where", metavar="EXPR", help="select rows (or events, with name@C) by their features")
    avg.add_argument("--align", choices=["none", "peak", "cfd"], default="none",
                     help="shift each waveform onto the median peak or CFD time first (default none)")
    avg.add_argument("-o", "--output", default="average.png", metavar="IMAGE",
                     help="default average.png; PDF, SVG... by the extension")
    avg.add_argument("--data", metavar="FILE", help="also the numbers: .csv (channel, sample, mean, std,"
                                                   " count) or .npy (channels x [mean, std, count] x samples)")
    force_option(avg)
    type_option(avg)
    float32_option(avg)
    feature_options(avg)
    avg.set_defaults(run=run)


def run(args: argparse.Namespace, checked: Checked) -> int:
    require("matplotlib", "vorn average")
    from ..analysis import expressions
    from ..analysis.average import Average, SourceError, TableAccount, average, average_table, draw_average, \
        write_average
    from ..analysis.tables import is_table
    from ..feature_table import TableOutcome

    outputs = [args.output] + ([args.data] if args.data else [])
    kind = picture_format(args.output)
    if args.data and not args.data.endswith((".npy", ".csv")):
        raise UsageError(f"--data names a .npy or .csv file, not {args.data}")
    tables = all(is_table(p) for p in args.files)
    if not tables and any(is_table(p) for p in args.files):
        raise UsageError("give feature tables or event files, not both")
    if tables and args.as_run:
        raise UsageError("--run reads the files of a run; a feature table names its own sources, without --run")
    if tables:
        for path in args.files:
            require(TABLE_LIBRARIES.get(os.path.splitext(path)[1].lower(), "h5py"), "vorn average")
    spare_inputs(outputs, run_inputs(args.files) if args.as_run else args.files)
    check_targets(outputs, args.force)
    try:
        where = expressions.parse(args.where) if args.where else None
    except expressions.ExpressionError as failure:
        raise UsageError(str(failure)) from None
    if not tables and unreadable_raw(args.files, args.type, args.as_run):
        return FAILED
    shown = _units(args, checked.calibration)
    read = TableOutcome(", ".join(args.files))
    lost = expressions.LeftOut()
    account = TableAccount()
    found = Average()
    try:
        if tables:
            for path in args.files:
                average_table(path, where, args.align, args.type, args.float32, lost, account, found)
        else:
            found = average(args.files, pulse_settings(args), where, args.align, args.as_run, args.type,
                            args.float32, read, lost)
    except expressions.ExpressionError as failure:
        raise UsageError(str(failure)) from None
    except KeyError as failure:
        need = "--where" if args.align == "none" or failure.args[0] not in ("peak_index", "cfd_time") \
            else f"--align {args.align}"
        raise UsageError(f"no column {failure.args[0]!r} for {need}") from None
    except (*FILE_ERRORS, SourceError, ValueError) as failure:
        error(naming(failure, args.files))
        return FAILED
    if tables:
        status = OK
        print(f"{', '.join(args.files)}: {plural(account.rows, 'row')} of a table, {account.selected:,} selected;"
              f" {plural(account.events, 'event')} read from {plural(len(account.sources), 'source')}")
    else:
        print(f"{read.path}: {plural(read.events, 'event')}, {read.ending}")
        status = report_run(read.run_report, args.files, args.allow_gaps)
    left_out([lost], None, args.where)
    for channel, count in sorted(found.unaligned.items()):
        error(f"channel {channel}: {plural(count, 'selected waveform')} without a"
              f" {'peak' if args.align == 'peak' else 'CFD time'} to align on, left out")
    if not found.sum:
        error("no waveform was selected" + (f" by {args.where}" if args.where else ""))
        return FAILED
    title = f"average of {', '.join(os.path.basename(os.path.normpath(f)) for f in args.files)}" + \
        (f" where {args.where}" if args.where else "") + (f", aligned on {args.align}" if args.align != "none" else "")
    draw_average(found, args.output, title, *shown, format=kind)
    if args.data:
        write_average(found, args.data)
    counts = ", ".join(f"channel {c}: {plural(n, 'waveform')}" for c, n in sorted(found.waveforms.items()))
    print(f"wrote {args.output}" + (f" and {args.data}" if args.data else "") + f": {counts}")
    return status


def _units(args: argparse.Namespace, calibration: Any) -> tuple[str, float, float | None]:
    """The unit of an average's samples, the factor to it from the raw one, and the sample period in ns
    (None: unknown), as the units options, or the first WD2 file's sampling_period and --tick, give them."""
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
