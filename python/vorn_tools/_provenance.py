"""What a written file records about how it was made: vorn's version, the command, its sources.

Values are text (JSON for structured ones), so that every format can keep
them in its own metadata: Parquet schema metadata, HDF5 attributes, a ROOT
TNamed.
"""

from __future__ import annotations

import importlib.metadata
import json
import os
import shlex
import sys
from collections.abc import Mapping, Sequence
from typing import Any

__all__ = ["as_text", "command_line", "source", "version"]


def version() -> str:
    try:
        return importlib.metadata.version("vorn")
    except importlib.metadata.PackageNotFoundError:  # a source tree on the path, not installed
        return "unknown"


def command_line(argv: Sequence[str] | None = None) -> str:
    """The command as typed, as far as the process knows: `vorn` and its arguments, quoted for a shell."""
    args = list(sys.argv if argv is None else argv)
    if not args:
        return ""
    return shlex.join([os.path.basename(args[0]) or "python", *args[1:]])


def source(path: str, bytes_read: int | None) -> dict[str, Any]:
    """A source file's entry: its name, its size now (None if it is gone) and the bytes read from it."""
    try:
        size: int | None = os.stat(path).st_size
    except OSError:
        size = None
    return {"name": path, "size": size, "bytes_read": bytes_read}


def as_text(metadata: Mapping[str, Any]) -> dict[str, str]:
    """Every value as text: strings as they are, anything else as JSON."""
    return {key: value if isinstance(value, str) else json.dumps(value) for key, value in metadata.items()}
