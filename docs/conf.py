"""Sphinx configuration of vorn's documentation: Markdown pages (MyST), the furo theme,
the command reference from the command's own parser and the library's from its docstrings.

Build with ``sphinx-build docs docs/_build/html`` (add ``-W --keep-going`` as CI does).
The build first runs the code blocks of every page (see ``_ext/vorn_pages.py``):
the tutorials' pictures are what those blocks write.
"""

import importlib.metadata
import inspect
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

project = "vorn"
author = "the vorn developers"
copyright = "the vorn developers, MIT license"
try:
    release = importlib.metadata.version("vorn")
except importlib.metadata.PackageNotFoundError:
    release = "unknown"
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinxarg.ext",
    "vorn_pages",
]

source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "_generated", "_ext", "Thumbs.db", ".DS_Store"]

myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

autodoc_default_options = {"members": True, "member-order": "bysource"}
autodoc_typehints = "description"
autodoc_typehints_format = "short"
autodoc_preserve_defaults = True
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False

html_theme = "furo"
html_title = f"vorn {release}"
html_static_path = []

# A type in an annotation that autodoc cannot link (a NumPy alias, a
# library's class) is not a fault of the page.
nitpicky = False
suppress_warnings = ["myst.xref_missing"]


def join_wrapped_terms(app, what, name, obj, options, lines):
    """A definition-list term wrapped onto a second line (a list of column
    names too long for one) reads as a paragraph in reStructuredText, and
    the definition under it as a stray block quote: such terms are joined."""
    i = 0
    while i + 2 < len(lines):
        first, second, third = lines[i], lines[i + 1], lines[i + 2]
        if (first.startswith("``") and first.rstrip().endswith(",") and second.startswith("``")
                and third.startswith("    ")):
            lines[i:i + 2] = [f"{first.rstrip()} {second.strip()}"]
        else:
            i += 1


def comment_above(app, what, name, obj, options, lines):
    """A module's constant has no docstring of its own: autodoc shows its
    type's (int's, str's), so it shows the comment above its line instead,
    which is where the library says why the value is what it is."""
    if what != "data":
        return
    module_name, _, attr = name.rpartition(".")
    try:
        source = inspect.getsource(sys.modules[module_name]).splitlines()
    except (KeyError, OSError, TypeError):
        return
    type_doc = inspect.getdoc(type(obj)) or ""
    if " ".join(" ".join(lines).split()) == " ".join(type_doc.split()):
        lines[:] = []
    for i, line in enumerate(source):
        if re.match(rf"{re.escape(attr)}\s*(:[^=]*)?=", line):
            j = i
            while j > 0 and source[j - 1].startswith("# ") and not source[j - 1].startswith("# ---"):
                j -= 1
            if j < i:
                lines[:] = [text[2:] for text in source[j:i]]
            return


def setup(app):
    app.connect("autodoc-process-docstring", join_wrapped_terms)
    app.connect("autodoc-process-docstring", comment_above)
