"""`vorn info`: what files hold, and how their reading ended."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from ..blocks import FILE_ERRORS
from .common import FAILED, OK, dump_json, error, hint_float32, layouts, plural, size_of
from .options import Checked, add_command, events_option, float32_option, quiet_option, tick_option, type_option

__all__ = ["add_parser", "run"]

EXAMPLES = """
  vorn info run042.wd1
  vorn info run042.wd1 --tick 8ns   # and the trigger rate, with its Poisson error
  vorn info --json runs/*.wd2 > summary.json
"""


def add_parser(commands: Any) -> None:
    info = add_command(commands, "info", "what files hold",
                       "Report format, events, counters, timestamps, per-channel sample statistics and how reading"
                       " ended, for each file; with --tick, the trigger rate of each channel with its Poisson"
                       " error.", EXAMPLES)
    info.add_argument("files", nargs="+", metavar="FILE")
    type_option(info)
    float32_option(info)
    events_option(info)
    tick_option(info, "the trigger rate of each channel, from the timestamps")
    info.add_argument("--json", action="store_true", help="print a JSON list, one object per file")
    quiet_option(info)
    info.set_defaults(run=run)


def run(args: argparse.Namespace, checked: Checked) -> int:
    from ..file_info import scan
    from ..timing import parse_tick
    from .progress import Progress

    tick = None if args.tick is None else parse_tick(args.tick)
    status = OK
    documents: list[dict[str, Any]] = []
    for path, layout in zip(args.files, layouts(args.files, args.type)):
        if isinstance(layout, str):
            error(f"{path}: {layout}")
            documents.append({"path": path, "error": layout})
            status = FAILED
            continue
        try:
            with Progress(size_of(path), os.path.basename(path), args.quiet) as bar:
                info = scan(path, layout, args.float32, bar, args.events, tick)
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
        dump_json(documents)
    return status
