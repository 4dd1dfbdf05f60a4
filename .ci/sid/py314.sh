#!/usr/bin/env bash
# Inside the sid root: build with the distribution's CPython 3.14 and NumPy,
# then run the whole suite.
set -euo pipefail
python3 --version
python3 -m venv --system-site-packages /tmp/venv
/tmp/venv/bin/pip install -q --no-build-isolation \
  -C cmake.define.VORN_WERROR=ON -C build-dir=/tmp/build .
/tmp/venv/bin/python -m pytest -q -p no:cacheprovider

# No free-threaded interpreter is packaged here; at least compile the binding
# the way such an interpreter's headers would see it.
include=$(python3 -c 'import sysconfig; print(sysconfig.get_path("include"))')
for f in src/python_support/*.cpp src/reader_binding/*.cpp src/*_module/*.cpp; do
  g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -DPy_GIL_DISABLED \
    -I"$include" -Isrc "$f"
done
echo "free-threaded headers: binding compiles"
