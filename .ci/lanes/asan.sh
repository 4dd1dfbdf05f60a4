#!/usr/bin/env bash
# The extension and the native suites built with AddressSanitizer and
# UndefinedBehaviorSanitizer. Python itself is not instrumented, so the ASan
# runtime is preloaded into the interpreter, and PYTHONMALLOC=malloc sends
# every object through the intercepted allocator. Leaks are the valgrind
# lane's job. Reports go to files as well as ending the process, so one
# raised in a child process or swallowed by a test still fails the lane.
source "$(dirname "$0")/common.sh"
build="$work/build-asan"
logs="$work/asan-reports"
rm -rf "$logs" && mkdir -p "$logs"

venv_with_package "$work/asan" "$build" -C cmake.define.VORN_SANITIZE=ON || exit 1

# The runtime must come from the compiler that built the module. The C++
# library is preloaded behind it: ASan looks up the real __cxa_throw when it
# starts, and the interpreter alone does not load libstdc++, so the first
# exception thrown in the module would otherwise abort.
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
if "$cxx" --version | grep -qi clang; then
  runtime=$("$cxx" -print-file-name=libclang_rt.asan-x86_64.so)
else
  runtime=$("$cxx" -print-file-name=libasan.so)
fi
cxx_library=$("$cxx" -print-file-name=libstdc++.so.6)
for lib in "$runtime" "$cxx_library"; do
  if [ ! -f "$lib" ]; then
    echo "asan: FAILED, $lib not found for $cxx"
    exit 1
  fi
done
preload="$runtime $cxx_library"

sanitizer_env=(
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$logs/asan"
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
)

# Prints the reports and fails when any were written.
check_reports() {  # check_reports WHAT
  local found
  found=$(find "$logs" -type f | wc -l)
  if [ "$found" -ne 0 ]; then
    cat "$logs"/* >&2
    echo "asan: FAILED, $found sanitizer report(s) from $1"
    return 1
  fi
}

py_log="$work/asan-pytest.log"
env "${sanitizer_env[@]}" PYTHONMALLOC=malloc LD_PRELOAD="$preload" \
  "$work/asan/bin/python" -m pytest -q -p no:cacheprovider 2>&1 | tee "$py_log" | tail -n 15
py_status=${PIPESTATUS[0]}
check_reports pytest || exit 1
py_summary=$(grep -E '^=*.*[0-9]+ (passed|failed|error)' "$py_log" | tail -n 1 | tr -d '=' | xargs)
if [ "$py_status" -ne 0 ]; then
  echo "asan: FAILED, pytest exited $py_status (${py_summary:-no summary})"
  exit 1
fi

native_summary="native suite skipped: tests/native/CMakeLists.txt missing"
if [ -f tests/native/CMakeLists.txt ]; then
  ensure_apt libgtest-dev || exit 1
  cmake -S . -B "$work/native-asan" -G Ninja -DVORN_BUILD_EXTENSION=OFF \
    -DVORN_BUILD_TESTS=ON -DVORN_SANITIZE=ON >/dev/null || exit 1
  cmake --build "$work/native-asan" || exit 1
  # No interpreter here: leak checking is on for the native suites.
  native_log="$work/asan-native.log"
  env ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$logs/asan" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan" \
    ctest --test-dir "$work/native-asan" --output-on-failure >"$native_log" 2>&1
  native_status=$?
  tail -n 3 "$native_log"
  check_reports "the native suites" || exit 1
  if [ "$native_status" -ne 0 ]; then
    cat "$native_log"
    echo "asan: FAILED, native suites under ASan/UBSan"
    exit 1
  fi
  native_summary="native: $(grep -E 'tests passed' "$native_log" | tail -n 1)"
fi

echo "asan: pytest ${py_summary}; ${native_summary}; 0 sanitizer reports"
