#!/usr/bin/env bash
# Inside the sid root: build against the debug interpreter and check that
# reference totals stay flat. The distribution's NumPy is a release build,
# which does not keep the debug interpreter's reference total, so NumPy is
# built from source once and its wheel kept inside the cached root.
set -euo pipefail
wheels=/opt/vorn-dbg-wheels
python3.14-dbg -m venv --system-site-packages /tmp/dbg
if ! ls "$wheels"/numpy-*.whl >/dev/null 2>&1; then
  version=$(python3 -c 'import numpy; print(numpy.__version__)')
  echo "building NumPy $version for the debug interpreter (once per root)"
  mkdir -p "$wheels.partial"
  /tmp/dbg/bin/pip wheel -q --no-deps --no-binary numpy "numpy==$version" \
    -w "$wheels.partial"
  mv "$wheels.partial" "$wheels"
fi
/tmp/dbg/bin/pip install -q --no-deps "$wheels"/numpy-*.whl
# Debian's debug headers are symlinks to the release ones; without this flag
# GCC resolves them and compiles the module without Py_DEBUG.
CXXFLAGS=-fno-canonical-system-headers /tmp/dbg/bin/pip install -q \
  --no-build-isolation -C cmake.define.VORN_WERROR=ON -C build-dir=/tmp/build .
# The fault library lets the workload interrupt WD2 events with read errors.
gcc -shared -fPIC -O2 -o /tmp/libfault.so tests/faultinject/fault_preload.c -ldl
LD_PRELOAD=/tmp/libfault.so VORN_REQUIRE_FAULTS=1 /tmp/dbg/bin/python tests/refleak.py
