"""The `vorn` command: the parser of every verb, and the exit status.

Each verb lives in a module of its own beside this one (`info`, `convert`,
...), which declares its options and runs it; options that several verbs
take are declared once in `options`. Exit status: 0 when everything went
well, 1 when some input failed, 2 for a usage error, a missing optional
library included. Errors are one line on standard error that names the file.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import os
import sys
from collections.abc import Sequence

from .. import _signals as signals
from .._output_files import in_users_words
from . import average, convert, features, fit, follow, hist, info, monitor, noise, plot, pulses
from ..budget import OverBudget
from .common import BROKEN_PIPE, FAILED, USAGE, Failed, UsageError, error, forget_layouts
from .options import Parser, check

__all__ = ["build_parser", "main"]

VERBS = (info, convert, plot, features, pulses, hist, follow, fit, average, noise, monitor)


def build_parser() -> argparse.ArgumentParser:
    """The parser of the whole command line; each verb's subparser runs that verb (its `run` default)."""
    parser = Parser(prog="vorn",
                    description="Inspect, convert to HDF5, plot, follow and monitor WD1 and WD2 event files.",
                    epilog="Run 'vorn COMMAND --help' for a command's options and examples.")
    try:
        version = importlib.metadata.version("vorn")
    except importlib.metadata.PackageNotFoundError:
        version = "unknown"
    parser.add_argument("--version", action="version", version=f"vorn {version}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for verb in VERBS:
        verb.add_parser(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    signals.install()
    forget_layouts()
    try:
        status: int = args.run(args, check(args))
        sys.stdout.flush()
    except (UsageError, OverBudget) as failure:
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
