"""The inputs of the verbs that measure events (features, pulses, hist) as the library's tasks, and their tables."""

from __future__ import annotations

import argparse
import os
from collections.abc import Sequence
from typing import Any

from ..formats import Layout
from .._output_files import unique_names
from .common import (TABLE_LIBRARIES, UsageError, check_targets, error, layouts, report_outcomes, report_run, require,
                     output_targets, run_inputs, run_name, size_of, spare_inputs)
from .options import full_scale_given

__all__ = ["feature_tasks", "given_paths", "print_file_periods", "reading_progress", "report_tables", "table_suffix",
           "table_targets"]


def feature_tasks(args: argparse.Namespace, options: Any, calibration: Any,
                  files: Sequence[str] | None = None) -> tuple[list[Any], list[tuple[str, str]]]:
    """The inputs (`files`, by default all) as tasks, one per file or one for the whole run with --run,
    and the files that cannot be read at all, each with the reason."""
    from ..feature_table import FeatureTask

    files = args.files if files is None else files
    full_scale = full_scale_given(args)
    if args.as_run:
        if len(args.files) == 1 and os.path.isdir(args.files[0]):
            paths = (os.path.abspath(args.files[0]),)
        else:
            paths = tuple(os.path.abspath(p) for p in args.files)
        return [FeatureTask(paths, run_name(args.files), options, True, args.type, args.float32, args.tick,
                            calibration=calibration, full_scale=full_scale)], []
    folders = [path for path in files if os.path.isdir(path)]
    if folders:
        raise UsageError(f"{folders[0]} is a folder: pass --run to read its wave<N> files as one run")
    # Classified here, in the command's words, and once: each task then
    # opens its file as the type found.
    found = layouts(files, args.type)
    readable = [(path, layout) for path, layout in zip(files, found) if isinstance(layout, Layout)]
    unreadable = [(path, reason) for path, reason in zip(files, found) if isinstance(reason, str)]
    names = unique_names([path for path, _ in readable])
    return [FeatureTask((os.path.abspath(path),), name, options, False, layout.reader_type, args.float32, args.tick,
                        calibration=calibration, full_scale=full_scale) for (path, layout), name in zip(readable, names)
            ], unreadable


def print_file_periods(outcomes: Sequence[Any]) -> None:
    """Says where the times in ns come from when an input's WD2 events gave the sample period."""
    for outcome in outcomes:
        if outcome.calibration is not None and outcome.calibration.period_source == "file":
            print(f"{outcome.path}: sample period {outcome.calibration.sample_period * 1e9:.6g} ns, its"
                  " sampling_period times the tick: times in ns")


def reading_progress(tasks: Sequence[Any], label: str, quiet: bool) -> Any:
    """A bar of the bytes of the tasks' files; of events for a run, whose bytes are not followed."""
    from .progress import Progress

    if any(task.run for task in tasks):
        return Progress(0, label, quiet, unit="event")
    return Progress(sum(size_of(path) for task in tasks for path in task.paths), label, quiet)


def table_targets(args: argparse.Namespace, folder: bool, tasks: list[Any], suffix: str, parallel_flags: str
                  ) -> list[str]:
    """The files the tables go to, once -o is known to name what the options make of it."""
    targets = output_targets(args.output, folder, [task.name for task in tasks], suffix, parallel_flags, "a table file")
    spare_inputs(targets, run_inputs(args.files) if args.as_run else args.files)
    check_targets(targets, args.force)
    return targets


def table_suffix(args: argparse.Namespace, folder: bool, command: str) -> str:
    """The tables' format, by --format or the extension of -o, once its library is known to be there."""
    suffix: str = args.format if folder else os.path.splitext(args.output)[1].lower()
    if suffix not in TABLE_LIBRARIES:
        raise UsageError(f"the table format follows the extension of -o: {', '.join(TABLE_LIBRARIES)}, not"
                         f" {args.output}" if not folder else f"--format must be one of {', '.join(TABLE_LIBRARIES)}")
    require(TABLE_LIBRARIES[suffix], command)
    return suffix


def report_tables(args: argparse.Namespace, outcomes: list[Any], unreadable: list[tuple[str, str]], folder: bool,
                  what: str) -> int:
    """Prints what became of each input's table; the exit status of the whole."""
    from ..feature_table import TableOutcome, polarity_line

    if (line := polarity_line(outcomes)) is not None:
        print(line)
    print_file_periods(outcomes)
    for outcome in outcomes:
        for note in getattr(outcome, "notes", ()):
            error(f"{outcome.path}: {note}")
    lost = [o.path for o in outcomes if o.error is not None and o.rows and not o.salvaged]
    status = report_outcomes(outcomes + [TableOutcome(path, error=reason) for path, reason in unreadable])
    if lost and not folder:
        error(f"{args.output} not written: it would hold the {what} of {', '.join(lost)} before the failure"
              " (--salvage keeps them)")
    return max([status, *(report_run(o.run_report, args.files, args.allow_gaps) for o in outcomes if o.error is None)])


def given_paths(args: argparse.Namespace, unreadable: list[tuple[str, str]]) -> list[str]:
    """The inputs as the user named them, in the order of the tasks."""
    return [", ".join(args.files)] if args.as_run else [p for p in args.files if p not in dict(unreadable)]
