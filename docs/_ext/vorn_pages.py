"""Runs the code blocks of the documentation's pages, so that what they show is what vorn does.

Every fenced block whose language is ``python``, ``sh`` or ``console`` runs,
page by page, in the order of the page, in a folder of its own under
``docs/_generated/<page>/`` where ``examples`` and ``src`` link to the
checkout's; the pictures a page shows are the files its blocks write there.

- ``python`` blocks of a page share one namespace, as cells of a notebook.
- ``sh`` blocks run in bash with ``-e -o pipefail``; ``python`` and ``vorn``
  are those of the interpreter that runs the build.
- ``console`` blocks run each ``$ command`` and compare what it prints
  (standard output and error, in order) with the lines shown under it;
  a line of ``...`` stands for any lines (or none), ``...`` within a line
  for any text. The command must exit
  with status 0, unless what it shows has a ``vorn: `` line (an error).

A block that cannot run here is skipped by a MyST comment on a line just
above it that gives the reason: ``% skip: serves a page until Ctrl-C``. A
block that needs a program or a module that not every machine has says so,
``% needs: chromium, playwright``: without them it is skipped, unless
``VORN_DOCS_NEEDS=required`` (as in CI), where that is a failure. A block of
any language under ``% file: NAME`` is not run but written to NAME, for the
blocks after it to use (a C++ source that a shell block compiles).

A page runs again only when it, the examples or the library's Python
changed since its last run (``docs/_generated/<page>/.stamp``); set
``VORN_DOCS_RERUN=1`` to run every page regardless. In Sphinx a block that
fails is a warning at its line, so ``sphinx-build -W`` fails on it.
From the shell, ``python docs/_ext/vorn_pages.py [PAGE.md ...]`` runs pages
and prints what failed.
"""

from __future__ import annotations

import hashlib
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

DOCS = Path(__file__).resolve().parents[1]
ROOT = DOCS.parent
GENERATED = DOCS / "_generated"
RUN = ("python", "sh", "console")
FENCE = re.compile(r"^(?P<indent> {0,3})(?P<fence>`{3,}|~{3,})\s*(?P<info>[^`\s]*)")
COMMENT = re.compile(r"^\s*%\s*(?P<key>skip|needs|file):\s*(?P<value>\S.*)$")
# The checkout's folders a page's blocks may name, as if run at its top.
LINKED = ("examples", "src")
# What a page's outcome depends on besides its own text.
DEPENDS = [ROOT / "examples", ROOT / "python" / "vorn_tools"]


@dataclass(frozen=True)
class Block:
    language: str
    code: str
    line: int  # of the opening fence, from 1
    skip: str | None
    needs: tuple[str, ...] = ()
    file: str | None = None


def blocks(text: str) -> Iterator[Block]:
    """The fenced blocks of a Markdown page that run, with the reason to skip each that has one."""
    lines = text.splitlines()
    i = 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if opening is None:
            i += 1
            continue
        fence, language = opening["fence"], opening["info"]
        said = {}
        k = i - 1
        while k >= 0 and (comment := COMMENT.match(lines[k])):
            said[comment["key"]] = comment["value"].strip()
            k -= 1
        needs = tuple(n.strip() for n in said.get("needs", "").split(",") if n.strip())
        body = []
        j = i + 1
        while j < len(lines) and not lines[j].strip().startswith(fence):
            body.append(lines[j][len(opening["indent"]):])
            j += 1
        if language in RUN or "file" in said:
            yield Block(language, "\n".join(body) + "\n", i + 1, said.get("skip"), needs, said.get("file"))
        i = j + 1


def runnable(path: Path) -> list[Block]:
    return list(blocks(path.read_text(encoding="utf-8")))


def folder_of(page: Path) -> Path:
    return GENERATED / page.relative_to(DOCS).with_suffix("")


def stamp(page: Path) -> str:
    digest = hashlib.sha256(page.read_bytes())
    digest.update(Path(__file__).read_bytes())
    for top in DEPENDS:
        for path in sorted(top.rglob("*.py")):
            digest.update(str(path.relative_to(ROOT)).encode())
            digest.update(path.read_bytes())
    return digest.hexdigest()


@dataclass
class Failure:
    page: Path
    line: int
    message: str


def run_page(page: Path, force: bool = False) -> Failure | None:
    """Runs a page's blocks in its folder, afresh; None when they all ran (or ran before, unchanged)."""
    folder = folder_of(page)
    mark = folder / ".stamp"
    key = stamp(page)
    if not force and mark.exists() and mark.read_text() == key:
        return None
    if folder.exists():
        shutil.rmtree(folder)
    folder.mkdir(parents=True)
    for name in LINKED:
        (folder / name).symlink_to(ROOT / name)
    todo = []
    for b in runnable(page):
        if b.skip is not None:
            continue
        missing = [n for n in b.needs if shutil.which(n) is None and importlib.util.find_spec(n) is None]
        if missing and os.environ.get("VORN_DOCS_NEEDS") == "required":
            return Failure(page, b.line, f"needs {', '.join(missing)}, which are missing"
                                         " (VORN_DOCS_NEEDS=required)")
        if not missing:
            todo.append({"language": "file" if b.file else b.language, "code": b.code, "line": b.line,
                         "file": b.file})
    bin_dir = os.path.dirname(sys.executable)
    env = {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}", "MPLBACKEND": "Agg",
           "PYTHONHASHSEED": "0", "PYTHONUNBUFFERED": "1", "COLUMNS": "100", "LC_ALL": "C.UTF-8", "VORN_DOCS_PAGE": str(page)}
    env.pop("PYTHONPATH", None)
    done = subprocess.run([sys.executable, "-c", DRIVER, json.dumps(todo)], cwd=folder, env=env,
                          capture_output=True, text=True)
    if done.returncode != 0:
        try:
            failed = json.loads(done.stdout.splitlines()[-1])
            return Failure(page, failed["line"], failed["message"])
        except (IndexError, ValueError, KeyError):
            return Failure(page, 1, f"the page's driver failed:\n{done.stdout}{done.stderr}")
    mark.write_text(key)
    return None


def run_pages(pages: list[Path], force: bool = False, jobs: int = 2) -> list[Failure]:
    with ThreadPoolExecutor(jobs) as pool:
        return [f for f in pool.map(lambda p: run_page(p, force), pages) if f is not None]


def pages_with_blocks(root: Path = DOCS) -> list[Path]:
    found = []
    for page in sorted(root.rglob("*.md")):
        parts = page.relative_to(root).parts
        if parts[0].startswith("_"):
            continue
        if any(b.skip is None for b in runnable(page)):
            found.append(page)
    return found


# The driver runs in a fresh interpreter in the page's folder. On the first
# block that fails it prints, as its last line, the block's line and what
# went wrong, and exits 1.
DRIVER = r'''
import json, re, subprocess, sys, traceback

def console(code):
    """Each `$ command` with the lines shown under it, up to the next one."""
    steps = []
    for line in code.splitlines():
        if line.startswith("$ "):
            steps.append([line[2:], []])
        elif steps:
            steps[-1][1].append(line)
    return steps

def matches(expected, actual):
    """A line of "..." stands for any lines, none included; "..." within a line for any text."""
    shown = "\n".join(l.rstrip() for l in expected).strip("\n").split("\n")
    pattern = ""
    for line in shown:
        if line.strip() == "...":
            pattern += r"(?:[^\n]*\n)*?"
        else:
            pattern += ".*?".join(re.escape(part) for part in line.split("...")) + r"\n"
    got = "\n".join(l.rstrip() for l in actual.splitlines()).strip("\n") + "\n"
    return re.fullmatch(pattern, got) is not None

def shell(command):
    # A command that never ends (a server) would hold up the whole build.
    return subprocess.run(["bash", "-e", "-o", "pipefail", "-c", command], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=600)

namespace = {"__name__": "__main__"}
for block in json.loads(sys.argv[1]):
    line, code = block["line"], block["code"]
    try:
        if block["language"] == "file":
            with open(block["file"], "w") as out:
                out.write(code)
            continue
        if block["language"] == "python":
            exec(compile(code, f"<block at line {line}>", "exec"), namespace)
            continue
        if block["language"] == "sh":
            done = shell(code)
            if done.returncode != 0:
                raise RuntimeError(f"exit status {done.returncode}:\n{done.stdout}")
            continue
        for command, expected in console(code):
            done = shell(command)
            # A command shown failing shows its one-line error; any other must succeed.
            shown_failing = any(l.startswith("vorn: ") for l in expected)
            if not matches(expected, done.stdout) or (done.returncode != 0 and not shown_failing):
                raise RuntimeError(f"$ {command}\nexit status {done.returncode}; expected:\n"
                                   + "\n".join(expected) + f"\ngot:\n{done.stdout}")
    except BaseException:
        print(json.dumps({"line": line, "message": traceback.format_exc(limit=-3)}))
        sys.exit(1)
'''


# --- Sphinx ------------------------------------------------------------------------------

def builder_inited(app) -> None:  # type: ignore[no-untyped-def]
    from sphinx.util import logging

    logger = logging.getLogger(__name__)
    if not app.config.vorn_pages_run:
        logger.info("vorn_pages: not running the pages' blocks (vorn_pages_run is off)")
        return
    pages = pages_with_blocks(Path(app.srcdir))
    logger.info(f"vorn_pages: running the blocks of {len(pages)} pages")
    for failure in run_pages(pages, force=os.environ.get("VORN_DOCS_RERUN") == "1"):
        docname = str(failure.page.relative_to(app.srcdir).with_suffix(""))
        logger.warning(f"a block failed:\n{failure.message}", location=(docname, failure.line),
                       type="vorn_pages")


def setup(app):  # type: ignore[no-untyped-def]
    app.add_config_value("vorn_pages_run", True, "env", [bool])
    app.connect("builder-inited", builder_inited)
    return {"parallel_read_safe": True, "parallel_write_safe": True}


def main(argv: list[str]) -> int:
    pages = [Path(p).resolve() for p in argv] or pages_with_blocks()
    failures = run_pages(pages, force=True)
    for failure in failures:
        print(f"{failure.page.relative_to(DOCS)}:{failure.line}: a block failed\n{failure.message}")
    print(f"{len(pages) - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
