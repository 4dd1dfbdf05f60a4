#!/usr/bin/env bash
# Inside the sid root: build with the distribution's CPython 3.13, then run
# the whole suite. The distribution builds NumPy for its default interpreter
# only, so NumPy comes from the package index; the test tools are pure Python
# and come from the distribution.
set -euo pipefail
python3.13 --version
python3.13 -m venv --system-site-packages /tmp/venv
# The distribution's NumPy is visible, so pip would take it as installed.
/tmp/venv/bin/pip install -q --ignore-installed numpy
/tmp/venv/bin/pip install -q --no-build-isolation \
  -C cmake.define.VORN_WERROR=ON -C build-dir=/tmp/build .
/tmp/venv/bin/python -m pytest -q -p no:cacheprovider
