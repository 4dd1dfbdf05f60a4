#!/usr/bin/env bash
# The machine's CPython with the newest NumPy: the README's test command.
source "$(dirname "$0")/common.sh"
venv_with_package "$work/main" "$work/build-main" || exit 1
"$work/main/bin/python" -m pytest -q -p no:cacheprovider || exit 1
"$work/main/bin/python" examples/summarize.py | tail -n 1
