#!/usr/bin/env bash
# Planted bugs. Each tests/mutants/*.patch is applied in turn to a scratch
# copy of the sources; the build it affects is rebuilt and the tests named on
# its "catch:" line must fail. Those tests first run once on the unpatched
# copy, where they must pass, so that every catch is the patch's doing.
#
#   catch: pytest ARGS...   pytest from the work tree against the scratch modules
#   catch: cli ARGS...      the same with the scratch copy installed with its
#                           command, for plants in python/vorn_tools
#   catch: native FILTER    the GoogleTest suites matching FILTER
#   catch: fuzz wd1|wd2     the fuzz target replaying its seed corpus
#   catch: leakcheck        tests/leakcheck.py's reference accounting
source "$(dirname "$0")/common.sh"
ensure_apt clang libclang-rt-14-dev libgtest-dev patch || exit 1
dir="$work/mutants"
rm -rf "$dir" && mkdir -p "$dir/src"
cp -r CMakeLists.txt pyproject.toml README.md LICENSE src python fuzz "$dir/src/" &&
  mkdir -p "$dir/src/tests" && cp -r tests/native "$dir/src/tests/" || exit 1

# Each build tree is configured and built on first use only.
declare -A built
build() {  # build SUITE [TARGET...]: brings that suite's tree up to date
  local suite=$1 tree
  shift
  case $suite in
    pytest | leakcheck)
      tree=ext
      if [ -z "${built[$tree]:-}" ]; then
        { python3 -m venv "$dir/venv" &&
            "$dir/venv/bin/pip" install -q numpy 'pytest>=8' 'hypothesis>=6' &&
            cmake -S "$dir/src" -B "$dir/ext" -G Ninja -DCMAKE_BUILD_TYPE=Release \
              -DVORN_WERROR=ON -DPython_EXECUTABLE="$dir/venv/bin/python"; } \
            >"$dir/configure-ext.log" 2>&1 || { cat "$dir/configure-ext.log"; return 1; }
      fi
      set -- vorn _features _blocks ;;
    cli)
      # An editable install: the extension is built once, and the console
      # script and `import vorn_tools` read the scratch python/ as patched.
      # A plant in the C++ sources would not reach it; those take pytest.
      if [ -z "${built[cli]:-}" ]; then
        { python3 -m venv "$dir/cli-venv" &&
            "$dir/cli-venv/bin/pip" install -q -C cmake.define.VORN_WERROR=ON \
              -C build-dir="$dir/cli-build" -e "$dir/src[test,cli,dask,root,parquet,hist,monitor,fit]"; } \
            >"$dir/install-cli.log" 2>&1 || { tail -n 30 "$dir/install-cli.log"; return 1; }
      fi
      built[cli]=1
      return 0 ;;
    native)
      tree=native
      [ -n "${built[$tree]:-}" ] ||
        cmake -S "$dir/src" -B "$dir/native" -G Ninja -DVORN_BUILD_EXTENSION=OFF \
          -DVORN_BUILD_TESTS=ON -DVORN_WERROR=ON >/dev/null || return 1
      set -- vorn_native_tests ;;
    fuzz)
      tree=fuzz
      [ -n "${built[$tree]:-}" ] ||
        CC=clang CXX=clang++ cmake -S "$dir/src" -B "$dir/fuzz" -G Ninja \
          -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_BUILD_EXTENSION=OFF \
          -DVORN_BUILD_FUZZERS=ON >/dev/null || return 1
      set -- "$1_fuzzer" ;;
    *) echo "unknown suite $suite"; return 1 ;;
  esac
  built[$tree]=1
  cmake --build "$dir/$tree" --target "$@" >"$dir/build.log" 2>&1 ||
    { tail -n 30 "$dir/build.log"; return 1; }
  if [ "$tree" = ext ]; then
    # vorn_tools._features and _blocks resolve to the scratch build through a
    # copy of the pure-Python package holding links to the modules.
    rm -rf "$dir/pkg" && mkdir -p "$dir/pkg" && cp -r python/vorn_tools "$dir/pkg/" &&
      ln -s "$dir/ext"/_features.*.so "$dir/ext"/_blocks.*.so "$dir/pkg/vorn_tools/" || return 1
  fi
}

catches() {  # catches SUITE ARGS...: the tests, quietly; non-zero when they fail
  local suite=$1
  shift
  case $suite in
    pytest)
      PYTHONPATH="$dir/ext:$dir/pkg" timeout 600 "$dir/venv/bin/python" -m pytest -q -x \
        -p no:cacheprovider "$@" ;;
    cli)
      VORN_CLI_TESTS=required timeout 900 "$dir/cli-venv/bin/python" -m pytest -q -x \
        -p no:cacheprovider "$@" ;;
    native) timeout 300 "$dir/native/tests/native/vorn_native_tests" --gtest_filter="$1" ;;
    fuzz) timeout 300 "$dir/fuzz/fuzz/$1_fuzzer" -runs=0 -artifact_prefix="$dir/" \
            "fuzz/corpus/$1" ;;
    leakcheck) PYTHONPATH="$dir/ext" timeout 300 "$dir/venv/bin/python" tests/leakcheck.py ;;
  esac >"$dir/run.log" 2>&1
}

catch_line() { sed -n 's/^catch: //p' "$1" | head -n 1; }

mutants=(tests/mutants/*.patch)
[ -e "${mutants[0]}" ] || { echo "mutants: none in tests/mutants"; exit 1; }

# The unpatched copy passes every test that is meant to catch a mutant.
declare -A baseline
started=$SECONDS
for patch in "${mutants[@]}"; do
  line=$(catch_line "$patch")
  [ -n "$line" ] || { echo "mutants: $patch has no catch: line"; exit 1; }
  [ -z "${baseline[$line]:-}" ] || continue
  # shellcheck disable=SC2086
  build $line || { echo "mutants: FAILED to build the unpatched copy"; exit 1; }
  # shellcheck disable=SC2086
  if ! catches $line; then
    tail -n 30 "$dir/run.log"
    echo "mutants: FAILED, '$line' fails without any mutant"
    exit 1
  fi
  baseline[$line]=1
done
echo "mutants: every catch passes on the unpatched copy ($((SECONDS - started)) s)"

planted=0
caught=0
for patch in "${mutants[@]}"; do
  name=$(basename "$patch" .patch)
  line=$(catch_line "$patch")
  planted=$((planted + 1))
  started=$SECONDS
  patch -s -p1 -d "$dir/src" <"$patch" || { echo "mutant $name: FAILED to apply"; exit 1; }
  # shellcheck disable=SC2086
  if ! build $line; then
    echo "mutant $name: FAILED to build"
    exit 1
  fi
  # shellcheck disable=SC2086
  if catches $line; then
    echo "mutant $name: SURVIVED $line ($((SECONDS - started)) s)"
  else
    caught=$((caught + 1))
    echo "mutant $name: caught by $line ($((SECONDS - started)) s)"
  fi
  patch -s -R -p1 -d "$dir/src" <"$patch" || exit 1
done
echo "mutants: $planted planted, $caught caught"
[ "$caught" -eq "$planted" ]
