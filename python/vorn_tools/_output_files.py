"""Output files: named after their inputs, and appearing only when complete.

An output is written under a hidden name beside its target and renamed at the end.
Errors about it name the target, as the user gave it, never the hidden name.
"""

from __future__ import annotations

import contextlib
import os
import secrets
from collections.abc import Iterator, Sequence
from pathlib import Path

__all__ = ["atomic_output", "cannot_create", "in_users_words", "temporary_beside", "unique_names", "writing"]


# Each temporary name handed out, and the target as its caller named it: an
# error that a library raises about the temporary file is then reported as
# one about the file the user asked for.
_TARGETS: dict[str, str] = {}


class OutputError(OSError):
    """An output that cannot be written, named as the user named it."""

    def __init__(self, target: str, reason: str) -> None:
        super().__init__(f"cannot write {target}: {reason}")
        self.target = target


def temporary_beside(target: str) -> str:
    """A hidden name in the target's folder, so that the rename stays on one file system."""
    folder, name = os.path.split(os.path.abspath(target))
    temporary = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.partial")
    _TARGETS[temporary] = target
    return temporary


def _reason(error: OSError) -> str:
    """What went wrong, in the system's words when it gave a number, never with a temporary name."""
    if isinstance(error.errno, int) and error.errno > 0:
        return os.strerror(error.errno)
    text = str(error) or type(error).__name__
    for temporary, target in _TARGETS.items():
        text = text.replace(temporary, target)
    return text


def in_users_words(error: OSError) -> OSError:
    """`error` itself, or when it concerns a temporary output, an OutputError naming its target."""
    if isinstance(error, OutputError):
        return error
    said = " ".join(str(part) for part in (error, error.filename, error.filename2) if part is not None)
    for temporary, target in _TARGETS.items():
        if temporary in said:
            return OutputError(target, _reason(error))
    return error


@contextlib.contextmanager
def writing(target: str) -> Iterator[None]:
    """Every OSError of the block concerns the output `target`, and says so."""
    try:
        yield
    except OutputError:
        raise
    except OSError as error:
        raise OutputError(target, _reason(error)) from error


def cannot_create(target: str, folder: bool = False) -> str | None:
    """Why the file `target` (with `folder`, the folder `target` and files in it) could not be created, or None.

    Asked of the file system itself, by creating and removing a hidden file
    where the output would go: permissions, read-only mounts, a file where a
    folder should be, and root's privileges then all count as they will later.
    """
    # Folders named as the user named them, for the message.
    where = os.path.normpath(target) if folder else os.path.dirname(os.path.normpath(target)) or os.curdir
    if folder:
        while not os.path.lexists(where) and (os.path.dirname(where) or os.curdir) != where:
            where = os.path.dirname(where) or os.curdir  # makedirs creates the rest
    elif not os.path.lexists(where):
        return f"the folder {where} does not exist"
    if not os.path.isdir(where):
        return f"{where} is not a folder"
    probe = os.path.join(where, f".vorn.{secrets.token_hex(4)}.partial")
    try:
        os.close(os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
    except OSError as error:
        return os.strerror(error.errno) if error.errno else str(error)
    os.unlink(probe)
    return None


@contextlib.contextmanager
def atomic_output(target: str) -> Iterator[str]:
    """A temporary path beside `target` that becomes `target` when the block ends without error.

    On an error, an interruption included, the temporary file goes away. If the
    process is killed outright, what is left is a hidden ".partial" file.
    """
    temporary = temporary_beside(target)
    # Created here rather than by mkstemp so that the finished file gets the
    # permissions the umask gives any new file, not mkstemp's 0600.
    with writing(target):
        os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
    try:
        yield temporary
        # No fsync: the rename protects against an interrupted or failed
        # conversion, which is the promise. Forcing a gigabyte to disk costs
        # seconds of system time per gigabyte here, and `cp` does not do it
        # either; after a machine crash the page cache's usual rules apply.
        os.replace(temporary, target)
    except BaseException as error:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        # The block also reads its inputs: only errors about the temporary
        # file are the output's.
        if isinstance(error, OSError) and in_users_words(error) is not error:
            raise in_users_words(error) from error
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
