#!/usr/bin/env bash
# libFuzzer with ASan and UBSan on the WD1 and WD2 readers, the feature
# kernel and the pulse finder: each target runs
# for a minute from the seed corpus. The corpus is copied first so that what
# the run adds stays out of the work tree; a crash leaves its input in
# $VORN_CI_WORK/fuzz/artifacts.
source "$(dirname "$0")/common.sh"
ensure_apt clang libclang-rt-14-dev || exit 1
seconds=${VORN_FUZZ_SECONDS:-60}
dir="$work/fuzz"
rm -rf "$dir" && mkdir -p "$dir/artifacts"

CC=clang CXX=clang++ cmake -S . -B "$dir/build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_BUILD_EXTENSION=OFF \
  -DVORN_BUILD_FUZZERS=ON >"$dir/configure.log" 2>&1 ||
  { cat "$dir/configure.log"; echo "fuzz: FAILED to configure"; exit 1; }
grep -q 'VORN_HAVE_LIBFUZZER - Success' "$dir/configure.log" ||
  grep -q '^VORN_HAVE_LIBFUZZER:INTERNAL=1' "$dir/build/CMakeCache.txt" ||
  { echo "fuzz: FAILED, clang has no libFuzzer"; exit 1; }
cmake --build "$dir/build" --target wd1_fuzzer wd2_fuzzer features_fuzzer pulses_fuzzer || exit 1

failed=0
lines=()
for target in wd1 wd2 features pulses; do
  cp -r "fuzz/corpus/$target" "$dir/corpus-$target"
  log="$dir/$target.log"
  "$dir/build/fuzz/${target}_fuzzer" -max_total_time="$seconds" \
    -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/$target-" "$dir/corpus-$target" >"$log" 2>&1
  status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  coverage=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | grep -oE 'cov: [0-9]+ ft: [0-9]+' | tail -n 1)
  crashes=$(find "$dir/artifacts" -name "$target-*" -type f | wc -l)
  if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ] || [ -z "$execs" ]; then
    tail -n 60 "$log"
    lines+=("fuzz $target: FAILED (exit $status, ${execs:-0} execs, $crashes crashes, inputs in $dir/artifacts)")
    failed=1
  else
    lines+=("fuzz $target: $execs execs, 0 crashes ($coverage)")
  fi
done
printf '%s\n' "${lines[@]}"
exit $failed
