"""The `vorn` command's parser as the command reference shows it.

`build_parser()` is the command's own parser, unchanged, except that each
verb's epilog (its examples, laid out for a terminal) becomes a literal
block: sphinx-argparse reads epilogs as reStructuredText, where a shell
glob such as ``runs/*.wd2`` would be taken for emphasis.
"""

from __future__ import annotations

import argparse
import textwrap

from vorn_tools.commands.cli import build_parser


def parser() -> argparse.ArgumentParser:
    found = build_parser()
    for action in found._actions:
        if isinstance(action, argparse._SubParsersAction):
            for sub in action.choices.values():
                if sub.epilog:
                    text = textwrap.dedent(sub.epilog.strip("\n"))
                    title, _, rest = text.partition("\n")
                    if title.rstrip(":").lower() == "examples":
                        text = textwrap.dedent(rest)
                    sub.epilog = "Examples::\n\n" + textwrap.indent(text, "    ")
    return found
