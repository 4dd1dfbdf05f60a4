#!/usr/bin/env bash
# Memcheck over a release build of the extension, driven by tests/leakcheck.py
# through every way in and out of the module, error paths included. Any
# definite leak or memory error fails the lane; .ci/valgrind.supp says what
# of the interpreter's own behaviour is suppressed and why.
source "$(dirname "$0")/common.sh"
ensure_apt valgrind || exit 1

# Release flags as users get them, but unstripped and with line tables so
# that a report names vorn's functions.
venv_with_package "$work/valgrind" "$work/build-valgrind" \
  -C install.strip=false -C cmake.define.CMAKE_CXX_FLAGS=-g || exit 1

# The fault library lets the driver interrupt a WD2 event with a read error.
cc -shared -fPIC -O2 -o "$work/libfault.so" tests/faultinject/fault_preload.c -ldl || exit 1

log="$work/valgrind.log"
LD_PRELOAD="$work/libfault.so" VORN_REQUIRE_FAULTS=1 PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full \
  --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --error-exitcode=86 --num-callers=40 --track-origins=yes \
  --suppressions=.ci/valgrind.supp --log-file="$log" \
  "$work/valgrind/bin/python" tests/leakcheck.py
status=$?

errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$log" | tail -n 1)
lost=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -n 1)
suppressed=$(sed -n 's/.*(suppressed: \([0-9]*\) from.*/\1/p' "$log" | tail -n 1)
if [ "$status" -ne 0 ] || [ -z "$errors" ] || [ "$errors" != 0 ]; then
  cat "$log"
  echo "valgrind: FAILED (exit $status, ${errors:-?} errors, definitely lost ${lost:-?} bytes)"
  exit 1
fi
echo "valgrind: 0 errors, definitely lost ${lost:-0} bytes, ${suppressed:-0} interpreter reports suppressed"
