"""The `vorn` command line: inspect, convert to HDF5, plot and follow event files.

Pure Python on top of the `vorn` extension; run it as `vorn` or
`python -m vorn_tools`. The libraries beyond NumPy come with the `cli` extra
(and `dask` for --scheduler) and are imported only by the commands that use
them.

It is a library too: `iterate` reads files in blocks of arrays, `open_run`
reads the per-channel files of one acquisition in step, and the modules
`timing`, `histograms` and `outputs` unwrap time tags, fill histograms and
write tables.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .blocks import BadFile
    from .reading import EventBlock, iterate
    from .runs import open_run

__all__ = ["BadFile", "EventBlock", "iterate", "open_run"]

# The library's entry points, imported on first use: `import vorn_tools`
# (which every run of the command does) stays free of NumPy and the reader.
_LAZY = {"BadFile": "blocks", "EventBlock": "reading", "iterate": "reading", "open_run": "runs"}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib

        return getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
