#!/usr/bin/env bash
# Inside the sid root: build with the distribution's CPython 3.14 and NumPy,
# then run the whole suite.
set -euo pipefail
python3 --version
python3 -m venv --system-site-packages /tmp/venv
/tmp/venv/bin/pip install -q --no-build-isolation \
  -C cmake.define.VORN_WERROR=ON -C build-dir=/tmp/build .
/tmp/venv/bin/python -m pytest -q -p no:cacheprovider
