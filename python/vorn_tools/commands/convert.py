"""`vorn convert`: event files, or the channel files of a run, to HDF5 or ROOT."""

from __future__ import annotations

import argparse
import itertools
import os
from typing import Any

from .. import _parallel as parallel
from ..formats import Layout
from .._output_files import unique_names
from .common import (FAILED, Failed, UsageError, check_targets, error, install_hint, layouts, output_targets, plural,
                     report_outcomes, report_run, require, run_inputs, run_name, size_of, spare_inputs)
from .options import (Checked, add_command, allow_gaps_option, events_option, float32_option, force_option,
                      parallel_options, quiet_option, run_option, salvage_option, type_option)

__all__ = ["add_parser", "outputs", "run"]

EXAMPLES = """
  vorn convert run042.wd1 -o run042.h5
  vorn convert --type WD2 --compression none runs/*.wd2 -o runs.h5
  vorn convert --jobs 4 runs/*.wd2 -o converted/         # one HDF5 file per run
  vorn convert --scheduler tcp://host:8786 runs/*.wd2 -o /shared/converted/
  vorn convert run042.wd1 -o run042.root                 # a TTree per file
  vorn convert --run run042/ -o run042.h5                # wave0.dat, wave1.dat, ... as one run
"""


def add_parser(commands: Any) -> None:
    conv = add_command(commands, "convert", "event files to HDF5 or ROOT",
                       "Write each file's events to HDF5: a group per file, a dataset per header key, and 'data'"
                       " (events x samples, or events x channels x samples for WD2 of several channels, or flat"
                       " with 'offsets' when event lengths differ). An output ending in .root gets a TTree per file"
                       " instead. Output appears only when complete, and never replaces an input. Needs"
                       f" {install_hint('cli')}; --scheduler also the 'dask' extra, ROOT the 'root' extra.",
                       EXAMPLES)
    conv.add_argument("files", nargs="+", metavar="FILE")
    conv.add_argument("-o", "--output", required=True, metavar="OUT",
                      help="HDF5 file; with --jobs or --scheduler a folder for one HDF5 file per input")
    type_option(conv)
    float32_option(conv)
    events_option(conv)
    conv.add_argument("--compression", choices=["gzip", "lzf", "none"], default="gzip",
                      help="dataset compression: gzip (default; deflate with shuffle, read by every HDF5 tool),"
                      " lzf (faster, but only h5py reads it) or none")
    parallel_options(conv, "convert in N worker processes, into the folder OUT",
                     "convert on this Dask cluster, into the folder OUT (workers must see the same paths)")
    run_option(conv, "the files (or the [PREFIX]wave[_]<N> files of one folder) are the channels of one run: one"
                     " group with data of (events, channels, samples), events matched by event_counter")
    allow_gaps_option(conv)
    salvage_option(conv, "keep the events before a read error or an impossible event size (the exit status"
                         " is still 1); without it such a file leaves nothing")
    force_option(conv)
    quiet_option(conv)
    conv.set_defaults(run=run, outputs=outputs)


def outputs(args: argparse.Namespace) -> list[tuple[str, bool]]:
    """-o, a folder of an output per input with --jobs or --scheduler."""
    return [(args.output, not args.as_run and (args.jobs is not None or args.scheduler is not None))]


def run(args: argparse.Namespace, checked: Checked) -> int:
    if args.as_run:
        return _convert_run(args)
    root = args.output.endswith(".root") and args.jobs is None and args.scheduler is None
    require("uproot" if root else "h5py", "vorn convert" + (" to ROOT" if root else ""))
    if args.scheduler:
        require("distributed", "vorn convert --scheduler")
    from ..outputs import hdf5_events as convert
    from .progress import Progress

    folder = args.jobs is not None or args.scheduler is not None
    found = layouts(args.files, args.type)
    readable = [(i, layout) for i, layout in enumerate(found) if isinstance(layout, Layout)]
    names = unique_names([args.files[i] for i, _ in readable])
    options = convert.Options(args.compression, args.float32, args.events, args.salvage)
    # Workers elsewhere need paths that do not depend on this process's folder.
    tasks = [convert.Task(os.path.abspath(args.files[i]), layout, name, options)
             for (i, layout), name in zip(readable, names)]
    targets = output_targets(args.output, folder, names, ".h5", "--jobs or --scheduler", "an HDF5 file")
    if not folder and not os.path.isdir(os.path.dirname(os.path.abspath(args.output))):
        raise UsageError(f"the folder of {args.output} does not exist")
    spare_inputs(targets, args.files)
    check_targets(targets, args.force)
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

        with Progress(sum(size_of(t.path) for t in tasks), "convert", args.quiet) as bar:
            converted = write_waveforms_root(tasks, args.output, args.float32, bar,  # type: ignore[assignment]
                                             args.compression)
    elif tasks:
        with Progress(sum(size_of(t.path) for t in tasks), "convert", args.quiet) as bar:
            converted = convert.convert_into_one(tasks, args.output, bar)
    outcomes = [convert.Outcome(path, error=layout) if isinstance(layout, str) else None
                for path, layout in zip(args.files, found)]
    for (i, _), outcome, target in zip(readable, converted, targets if folder else itertools.repeat(None)):
        # As the user wrote them, not as the workers were given them.
        outcome.path = args.files[i]
        if outcome.output is not None and target is not None:
            outcome.output = target
        outcomes[i] = outcome
    return report_outcomes([o for o in outcomes if o is not None])


def _convert_run(args: argparse.Namespace) -> int:
    """The files as the channels of one run, into one group of a new HDF5 file."""
    require("h5py", "vorn convert --run")
    from ..blocks import BadFile
    from ..outputs.hdf5_run import write_run
    from ..runs import RunError, open_run
    from .progress import Progress

    if args.jobs is not None or args.scheduler is not None or not args.events.everything or args.salvage:
        raise UsageError("--run converts one run into one file: no --jobs, --scheduler, --events or --salvage")
    if os.path.isdir(args.output) or not args.output.endswith((".h5", ".hdf5")):
        raise UsageError(f"with --run, -o names an HDF5 file (.h5), not {args.output}")
    spare_inputs([args.output], run_inputs(args.files))
    check_targets([args.output], args.force)
    try:
        found = open_run(args.files if len(args.files) > 1 else args.files[0], type=args.type, float32=args.float32)
        name = run_name(args.files)
        with Progress(0, "convert", args.quiet, unit="event") as bar:
            events = write_run(found, args.output, name, args.compression, bar)
    except (RunError, BadFile) as failure:
        error(str(failure))
        return FAILED
    print(f"{', '.join(args.files)} -> {args.output}:/{name}: {plural(events, 'event')} in"
          f" {plural(len(found.channels), 'channel')}")
    return report_run(found.report, args.files, args.allow_gaps)
