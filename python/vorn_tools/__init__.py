"""Analysis of digitizer event files beside the `vorn` reader, and the `vorn` command over it.

The library: `iterate` reads files in blocks of arrays, `open_run` reads the
per-channel files of one acquisition in step, `features` measures pulses
natively, and the modules `timing`, `histograms` and `outputs` unwrap time
tags, fill histograms and write tables. The command (`vorn`, or
`python -m vorn_tools`) inspects, converts, plots, measures, histograms,
follows and monitors event files. The libraries beyond NumPy come with the
extras (`cli`, `dask`, `root`, `parquet`, `hist`, `monitor`, or `all`) and
are imported only where they are used.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .blocks import BadFile
    from .pipeline import iterate
    from .reading import EventBlock
    from .runs import open_run

__all__ = ["BadFile", "EventBlock", "iterate", "open_run"]

# The library's entry points, imported on first use: `import vorn_tools`
# (which every run of the command does) stays free of NumPy and the reader.
_LAZY = {"BadFile": "blocks", "EventBlock": "reading", "iterate": "pipeline", "open_run": "runs"}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib

        return getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
