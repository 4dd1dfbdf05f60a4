"""`vorn pulses`: every pulse of every event and channel as a table, and each channel's dark-count rate."""

from __future__ import annotations

import argparse
import os
from typing import Any

from .. import _parallel as parallel
from .common import TABLE_LIBRARIES, UsageError, install_hint, plural
from .options import (Checked, add_command, allow_gaps_option, baseline_option, exclude_option,
                      float32_option, force_option, positive_int, quiet_option, rearm_options, run_option,
                      salvage_option, separation_option, threshold_options, tick_option, type_option, units_options,
                      whole)
from .tasks import feature_tasks, given_paths, reading_progress, report_tables, table_suffix, table_targets

__all__ = ["add_parser", "run"]

EXAMPLES = """
  vorn pulses sipm.wd2 -o pulses.parquet
  vorn pulses dark.dat --threshold 30 --hysteresis 10 --sample-period 0.2ns --exclude 90 160 -o dark.parquet
  vorn pulses --jobs 4 runs/*.dat -o pulses/ --sample-period 1ns   # one table per input
  vorn hist pulses.parquet --of delay
"""


def add_parser(commands: Any) -> None:
    pul = add_command(commands, "pulses", "every pulse as a table, and the dark-count rate",
                      "Find every pulse of every event and channel: threshold crossings with hysteresis, each with"
                      " its start time, peak, amplitude, charge, FWHM, time over threshold and delay since the"
                      " previous pulse of its waveform; write one row per pulse (.h5, .parquet or .root by the"
                      " extension of -o). Times are in samples, or ns with --sample-period, which also prints each"
                      f" channel's dark-count rate. Needs {install_hint('all')} for the formats' libraries.",
                      EXAMPLES)
    pul.add_argument("files", nargs="+", metavar="FILE|FOLDER")
    pul.add_argument("-o", "--output", required=True, metavar="OUT",
                     help="table file; with --jobs a folder for one table per input")
    pul.add_argument("--format", choices=list(TABLE_LIBRARIES), default=".parquet",
                     help="with --jobs, the tables' format (default .parquet)")
    pul.add_argument("--jobs", type=positive_int, metavar="N", help="in N worker processes, one input each")
    type_option(pul)
    float32_option(pul)
    run_option(pul)
    allow_gaps_option(pul)
    tick_option(pul, "adds the event's time in seconds")
    salvage_option(pul, "keep the pulses of a file read in part (the exit status is still 1)")
    found = pul.add_argument_group("pulses (windows count samples from the event's start)")
    baseline_option(found)
    found.add_argument("--polarity", choices=["auto", "positive", "negative"], default="auto",
                       help="pulse polarity (default auto: decided per channel from its first events, by the"
                            " larger excursion from the baseline, as vorn features decides it)")
    threshold_options(found)
    rearm_options(found)
    separation_option(found, 0)
    found.add_argument("--charge", nargs=2, type=whole(0, "must not be negative"), default=(5, 10),
                       metavar=("A", "B"), help="charge over [start - A, end + B) (default 5 10)")
    found.add_argument("--slope", type=float, metavar="S",
                       help="also split a pulse where, after it stopped rising, y rises by S or more over the"
                            " slope span: pulses on the tails of others (default off)")
    found.add_argument("--slope-span", type=positive_int, default=4, metavar="L",
                       help="samples the slope is taken over (default 4)")
    exclude_option(found, " out of the dark-count rate")
    units_options(pul)
    force_option(pul)
    quiet_option(pul)
    pul.set_defaults(run=run)


def run(args: argparse.Namespace, checked: Checked) -> int:
    from ..feature_table import write_features
    from .._pulse_table import DarkCounts, PulseRows, pulses_alone
    from ..pulses import PulseOptions
    from .progress import Progress

    folder = args.jobs is not None
    suffix = table_suffix(args, folder, "vorn pulses")
    if folder and args.as_run:
        raise UsageError("a run is one table: --run takes no --jobs")
    period = checked.calibration.sample_period
    try:
        options = PulseOptions(baseline=tuple(args.baseline), polarity=args.polarity, threshold=args.threshold,
                               threshold_rms=args.threshold_rms, hysteresis=args.hysteresis,
                               hysteresis_rms=args.hysteresis_rms, separation=args.separation,
                               charge=tuple(args.charge), slope=args.slope, slope_span=args.slope_span)
    except ValueError as failure:
        raise UsageError(str(failure)) from None
    tasks, unreadable = feature_tasks(args, options, checked.calibration)
    targets = table_targets(args, folder, tasks, suffix, "--jobs")
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
        with reading_progress(tasks, "pulses", args.quiet) as bar:
            outcomes = write_features(tasks, args.output, bar, salvage=args.salvage, measure=measure)
    for number, (outcome, path) in enumerate(zip(outcomes, given_paths(args, unreadable))):
        outcome.path = path
        if not folder:
            # Events without a pulse give no row: count them as read.
            outcome.events = measure.events.get(number if len(tasks) > 1 else None, 0)
    if period is None:
        period = next((o.calibration.sample_period for o in outcomes if o.calibration is not None
                       and o.calibration.sample_period is not None), None)
    status = report_tables(args, outcomes, unreadable, folder, "pulses")
    if period is not None and any(o.output for o in outcomes):
        outside = f" outside samples [{args.exclude[0]}, {args.exclude[1]})" if args.exclude else ""
        for channel, dark in sorted(measure.dark.items()):
            print(f"channel {channel}: dark-count rate {dark.rate(period):.4g} Hz, "
                  f"{plural(dark.pulses, 'pulse')} in {dark.samples * period:.4g} s of waveform{outside}")
    return status
