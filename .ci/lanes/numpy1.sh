#!/usr/bin/env bash
# The oldest NumPy we support, which keeps its core package at numpy.core.
source "$(dirname "$0")/common.sh"
venv_with_package "$work/numpy1" "$work/build-numpy1" "numpy==1.26.*" || exit 1
"$work/numpy1/bin/python" -m pytest -q -p no:cacheprovider
