#!/usr/bin/env bash
# GoogleTest suites of the byte stream and the readers, without Python.
source "$(dirname "$0")/common.sh"
ensure_apt libgtest-dev || exit 1
cmake -S . -B "$work/native" -G Ninja -DVORN_BUILD_EXTENSION=OFF \
  -DVORN_BUILD_TESTS=ON -DVORN_WERROR=ON >/dev/null || exit 1
cmake --build "$work/native" || exit 1
ctest --test-dir "$work/native" --output-on-failure | tail -n 3
exit "${PIPESTATUS[0]}"
