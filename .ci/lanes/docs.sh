#!/usr/bin/env bash
# The documentation site: built as a user builds it (pip install '.[docs]'),
# with warnings as errors. The build runs every page's code blocks, the
# tutorials' commands included, and draws their pictures; the monitor's is
# taken in Debian's chromium, so here a block that needs it must run. The
# docstrings' examples then run as doctests.
source "$(dirname "$0")/common.sh"
ensure_apt chromium || exit 1
VORN_EXTRAS=all,docs venv_with_package "$work/docs" "$work/build-docs" || exit 1
# The pages run in docs/_generated of this checkout: start them afresh.
rm -rf docs/_generated
VORN_DOCS_NEEDS=required "$work/docs/bin/sphinx-build" -W --keep-going -q -b html docs "$work/docs-html" || exit 1
echo "site: $work/docs-html/index.html"
"$work/docs/bin/python" -m pytest -q -p no:cacheprovider tests/docs || exit 1
