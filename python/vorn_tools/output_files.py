"""Output files: named after their inputs, and appearing only when complete.

An output is written under a hidden name beside its target and renamed at the end.
"""

from __future__ import annotations

import contextlib
import os
import secrets
from collections.abc import Iterator, Sequence
from pathlib import Path


def temporary_beside(target: str) -> str:
    """A hidden name in the target's folder, so that the rename stays on one file system."""
    folder, name = os.path.split(os.path.abspath(target))
    return os.path.join(folder, f".{name}.{secrets.token_hex(4)}.partial")


@contextlib.contextmanager
def atomic_output(target: str) -> Iterator[str]:
    """A temporary path beside `target` that becomes `target` when the block ends without error.

    On an error, an interruption included, the temporary file goes away. If the
    process is killed outright, what is left is a hidden ".partial" file.
    """
    temporary = temporary_beside(target)
    # Created here rather than by mkstemp so that the finished file gets the
    # permissions the umask gives any new file, not mkstemp's 0600.
    os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
    try:
        yield temporary
        # No fsync: the rename protects against an interrupted or failed
        # conversion, which is the promise. Forcing a gigabyte to disk costs
        # seconds of system time per gigabyte here, and `cp` does not do it
        # either; after a machine crash the page cache's usual rules apply.
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def unique_names(paths: Sequence[str]) -> list[str]:
    """Each file's stem, with _2, _3, ... added where stems repeat."""
    names: list[str] = []
    taken: set[str] = set()
    for path in paths:
        stem = Path(path).stem or "events"
        name, n = stem, 1
        while name in taken:
            n += 1
            name = f"{stem}_{n}"
        taken.add(name)
        names.append(name)
    return names
