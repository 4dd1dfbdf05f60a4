"""`vorn features`: the pulse features of every event and channel, as a table."""

from __future__ import annotations

import argparse
import os
from typing import Any

from .. import _parallel as parallel
from .common import TABLE_LIBRARIES, Failed, UsageError, install_hint, require
from .options import (Checked, add_command, feature_options, float32_option, force_option, parallel_options,
                      pulse_settings, quiet_option, salvage_option, type_option)
from .tasks import feature_tasks, given_paths, reading_progress, report_tables, table_suffix, table_targets

__all__ = ["add_parser", "outputs", "run"]

EXAMPLES = """
  vorn features run042.wd1 -o run042.parquet
  vorn features --run run042/ --charge 100 300 --tick 8ns -o run042.root
  vorn features --jobs 4 runs/*.dat -o tables/ --format .h5
  vorn features run042.wd1 --sample-period 2ns --adc-range 2V --adc-bits 14 --impedance 50 -o t.parquet  # ns, mV, pC
"""


def add_parser(commands: Any) -> None:
    feat = add_command(commands, "features", "pulse features as a table",
                       "Measure every event and channel (baseline and its RMS, polarity, amplitude and peak, charge,"
                       " threshold and constant-fraction times, saturation) and write one row per event and channel"
                       " with the header values: .h5, .parquet or .root by the extension of -o. Needs"
                       f" {install_hint('all')} for the formats' libraries.", EXAMPLES)
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
    force_option(feat)
    quiet_option(feat)
    feat.set_defaults(run=run, outputs=outputs)


def outputs(args: argparse.Namespace) -> list[tuple[str, bool]]:
    """-o, a folder of an output per input with --jobs or --scheduler."""
    return [(args.output, not args.as_run and (args.jobs is not None or args.scheduler is not None))]


def run(args: argparse.Namespace, checked: Checked) -> int:
    from ..feature_table import features_alone, write_features
    from .progress import Progress

    folder = args.jobs is not None or args.scheduler is not None
    suffix = table_suffix(args, folder, "vorn features")
    if args.scheduler:
        require("distributed", "vorn features --scheduler")
    if folder and args.as_run:
        raise UsageError("a run is one table: --run takes no --jobs or --scheduler")
    tasks, unreadable = feature_tasks(args, pulse_settings(args), checked.calibration)
    targets = table_targets(args, folder, tasks, suffix, "--jobs or --scheduler")
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
        with reading_progress(tasks, "features", args.quiet) as bar:
            outcomes = write_features(tasks, args.output, bar, salvage=args.salvage)
    for outcome, path in zip(outcomes, given_paths(args, unreadable)):
        outcome.path = path
    return report_tables(args, outcomes, unreadable, folder, "rows")
