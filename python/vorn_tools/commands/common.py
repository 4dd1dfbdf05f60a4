"""What every verb of the command shares: exit statuses, errors, the inputs' layouts and the outputs' checks.

Exit status: 0 when everything went well, 1 when some input failed, 2 for a
usage error, a missing optional library included. Errors are one line on
standard error that names the file.
"""

from __future__ import annotations

import contextlib
import dataclasses
import importlib
import json
import math
import os
import signal
import sys
from collections.abc import Sequence
from typing import Any

from ..formats import Layout, Unclassified, detect_type, open_layout

__all__ = ["BROKEN_PIPE", "EXTRAS", "FAILED", "FIT_LIBRARIES", "Failed", "OK", "TABLE_LIBRARIES", "USAGE",
           "UsageError", "check_targets", "dump_json", "error", "finite", "forget_layouts", "hint_float32",
           "install_hint", "layouts", "left_out", "naming", "output_targets", "picture_and_csv", "picture_format",
           "plural", "refuse_repeats", "report_outcomes", "report_run", "require", "run_inputs", "run_name",
           "size_of", "spare_inputs", "unreadable_raw"]

OK, FAILED, USAGE = 0, 1, 2
# What a shell reports for a command ended by SIGPIPE, as Unix tools are when
# the reader of their output goes away.
BROKEN_PIPE = 128 + signal.SIGPIPE

# The optional libraries, by the extra that brings each.
EXTRAS = {"iminuit": "fit", "scipy": "fit", "h5py": "cli", "matplotlib": "cli", "dask": "dask", "distributed": "dask",
          "uproot": "root", "pyarrow": "parquet", "boost_histogram": "hist", "bokeh": "monitor"}
TABLE_LIBRARIES = {".h5": "h5py", ".hdf5": "h5py", ".parquet": "pyarrow", ".root": "uproot"}
FIT_LIBRARIES = ("iminuit", "scipy")


class UsageError(Exception):
    """A mistake in the command line; exit status 2."""


class Failed(Exception):
    """The command could not do its work; exit status 1."""


def install_hint(extra: str) -> str:
    return f"pip install 'vorn[{extra}]' (in a source checkout: pip install '.[{extra}]')"


def require(module: str, command: str) -> Any:
    """Import an optional library, or stop with the pip command that brings it."""
    try:
        return importlib.import_module(module)
    except ImportError as failure:
        top = module.partition(".")[0]
        raise UsageError(f"{command} needs {top}, which is not installed ({failure}): "
                         f"{install_hint(EXTRAS[top])}") from None


def error(message: str) -> None:
    print(f"vorn: {message}", file=sys.stderr)


def finite(value: Any) -> Any:
    """`value` with every NaN and infinity, however deep in lists and dicts, made None (JSON's null)."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: finite(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [finite(item) for item in value]
    if hasattr(value, "item") and callable(value.item):  # a NumPy scalar
        return finite(value.item())
    return value


def dump_json(document: Any, stream: Any = None) -> None:
    """Write `document` as strict JSON (NaN and infinities as null), which every parser accepts."""
    json.dump(finite(document), sys.stdout if stream is None else stream, indent=2, allow_nan=False)
    (sys.stdout if stream is None else stream).write("\n")


def plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}{'' if count == 1 else 's'}"


def hint_float32(path: str) -> None:
    error(f"{path}: the samples look like the halves of 32-bit floats: pass --float32 to read them as floats")


# What each file was found to be, once per command: the checks made before
# any output is written and the reading then go by the same answer, even
# for a file that grows in between.
_classified: dict[tuple[str, str], Layout | str] = {}


def layouts(paths: Sequence[str], reader_type: str) -> list[Layout | str]:
    """The layout of each file, or the message saying why it cannot be read at all."""
    found: list[Layout | str] = []
    for path in paths:
        if (path, reader_type) not in _classified:
            _classified[path, reader_type] = _classify(path, reader_type)
        found.append(_classified[path, reader_type])
    return found


def forget_layouts() -> None:
    """Start a command afresh: files may have changed since an earlier command of this process looked."""
    _classified.clear()


def _classify(path: str, reader_type: str) -> Layout | str:
    try:
        kind = detect_type(path) if reader_type == "auto" else reader_type
        return open_layout(path, kind)
    except Unclassified as failure:
        return str(failure)
    except OSError as failure:
        return failure.strerror or str(failure)


def unreadable_raw(files: Sequence[str], reader_type: str, run: bool) -> bool:
    """Event files (not tables, not a run's folder) that cannot be classified, each named in the command's words."""
    from ..analysis.tables import is_table

    raw = [path for path in files if not is_table(path) and not (run and os.path.isdir(path))]
    bad = [(path, found) for path, found in zip(raw, layouts(raw, reader_type)) if isinstance(found, str)]
    for path, reason in bad:
        error(f"{path}: {reason}")
    return bool(bad)


def size_of(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0  # reported when the file is read


def run_inputs(files: Sequence[str]) -> list[str]:
    """The files of a run as given: those of its folder, or the files themselves."""
    if len(files) == 1 and os.path.isdir(files[0]):
        return [os.path.join(files[0], name) for name in os.listdir(files[0])]
    return list(files)


def run_name(files: Sequence[str]) -> str:
    if len(files) == 1:
        return os.path.basename(os.path.normpath(files[0])).rsplit(".", 1)[0] or "run"
    return os.path.basename(os.path.dirname(os.path.abspath(files[0]))) or "run"


def _identities(paths: Sequence[str]) -> dict[tuple[int, int], str]:
    found: dict[tuple[int, int], str] = {}
    for path in paths:
        with contextlib.suppress(OSError):  # a missing input is reported when it is read
            status = os.stat(path)
            found.setdefault((status.st_dev, status.st_ino), path)
    return found


def spare_inputs(targets: Sequence[str], inputs: Sequence[str]) -> None:
    """Refuse an output that is one of the inputs, whatever the spelling: links, relative paths."""
    identities = _identities(inputs)
    for identity, target in _identities(targets).items():
        if identity in identities:
            raise UsageError(f"{target} is the input {identities[identity]}: it is never replaced, --force or not")


def refuse_repeats(inputs: Sequence[str]) -> None:
    """Refuse one file given twice, whatever the spelling: links, relative paths."""
    seen: dict[tuple[int, int], str] = {}
    for path in inputs:
        try:
            found = os.stat(path)
        except OSError:
            continue  # reported when the file is read
        identity = (found.st_dev, found.st_ino)
        if identity in seen:
            raise UsageError(f"{path} is the same file as {seen[identity]}: give each input once")
        seen[identity] = path


def output_targets(output: str, folder: bool, names: Sequence[str], suffix: str, flags: str, single: str
                   ) -> list[str]:
    """What -o names: a folder for an output per input (`names` with `suffix`) with `flags`, else one `single`."""
    if folder:
        if os.path.exists(output) and not os.path.isdir(output):
            raise UsageError(f"{output} is not a folder (with {flags}, -o names a folder)")
        return [os.path.join(output, f"{name}{suffix}") for name in names]
    if os.path.isdir(output):
        raise UsageError(f"{output} is a folder; without {flags}, -o names {single}")
    return [output]


# What matplotlib writes from its own code, by extension; other formats need
# more (LaTeX for .pgf) or are raw buffers nobody opens as a picture.
PICTURE_FORMATS = {"png": "png", "pdf": "pdf", "svg": "svg", "svgz": "svgz", "eps": "eps", "ps": "ps", "jpg": "jpeg",
                   "jpeg": "jpeg", "tif": "tiff", "tiff": "tiff", "webp": "webp"}


def picture_format(output: str, option: str = "-o") -> str:
    """The format to write a picture named `output` in, from its extension; a usage error for any other name.

    The picture is then written under exactly that name, never with an extension added.
    """
    extension = os.path.splitext(output)[1].lstrip(".").lower()
    if extension not in PICTURE_FORMATS:
        known = ", ".join(f".{name}" for name in PICTURE_FORMATS)
        said = f"extension .{extension}" if extension else "no extension"
        raise UsageError(f"{option} {output}: a picture's name ends in one of {known}, not {said}")
    return PICTURE_FORMATS[extension]


def picture_and_csv(args: Any) -> list[tuple[str, bool]]:
    """A verb's outputs when it draws `-o` and writes `--csv` if asked: each with whether it is a folder (never)."""
    return [(args.output, False)] + ([(args.csv, False)] if args.csv else [])


def check_targets(targets: Sequence[str], force: bool) -> None:
    existing = [t for t in targets if os.path.lexists(t)]
    if existing and not force:
        raise UsageError(f"{existing[0]} exists: pass --force to replace it")


def report_outcomes(outcomes: Sequence[Any]) -> int:
    """Prints what became of each input; FAILED when one failed."""
    for outcome in outcomes:
        if outcome.output is not None:
            kept = ", the events before it kept (--salvage)" if outcome.salvaged else ""
            print(f"{outcome.path} -> {outcome.output}: {plural(outcome.events, 'event')}, {outcome.ending}{kept}")
        elif outcome.error is None:  # read, but its output was given up for another input's failure
            print(f"{outcome.path}: {plural(outcome.events, 'event')}, {outcome.ending}, not written")
    bad = [o for o in outcomes if o.error is not None]
    for outcome in bad:
        error(f"{outcome.path}: {outcome.error}")
    if bad:
        error(f"{len(bad)} of {plural(len(outcomes), 'file')} failed: {', '.join(o.path for o in bad)}")
        return FAILED
    return OK


def report_run(report: Any, files: Sequence[str], allow_gaps: bool) -> int:
    """Prints what a run's matching lost; FAILED for an event dropped or timestamps that differ."""
    from ..runs import report_lines

    if report is None:
        return OK
    # Named as the user named them, where tasks were given absolute paths.
    spelled = {os.path.abspath(path): path for path in run_inputs(files)}
    report = dataclasses.replace(report, channels=[dataclasses.replace(c, path=spelled.get(c.path, c.path))
                                                   for c in report.channels])
    for line in report_lines(report, ", ".join(files)):
        error(line)
    if report.aligned or allow_gaps:
        return OK
    error("events of the run were dropped or their timestamps differ: exit status 1 (--allow-gaps accepts it)")
    return FAILED


def naming(failure: BaseException, files: Sequence[str]) -> str:
    """The failure's line, with the inputs named where the library's message (a table library's) does not."""
    text = str(failure)
    return text if any(path in text for path in files) else f"{', '.join(files)}: {text}"


def left_out(counts: Sequence[Any], of: str | None, where: str | None) -> None:
    """Names the events that name@C left out for lack of a channel: a property of the data, not a failure."""
    from ..analysis.expressions import LeftOut

    total = LeftOut()
    for one in counts:
        total.add(one)
    line = total.line(" where ".join(filter(None, (of, where))))
    if line is not None:
        error(line)
