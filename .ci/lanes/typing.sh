#!/usr/bin/env bash
# The installed package as a type checker sees it: mypy --strict over the
# examples, tests/typing and the command's package, and stubtest comparing
# the stubs with the module.
source "$(dirname "$0")/common.sh"
venv="$work/typing"
python3 -m venv "$venv" &&
  "$venv/bin/pip" install -q -C cmake.define.VORN_WERROR=ON \
    -C build-dir="$work/build-typing" ".[examples,typing]" || exit 1

# The stubs must come from site-packages, as they do for users.
stubs=$("$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("vorn-stubs").submodule_search_locations[0])') || exit 1
case $stubs in "$venv"/*) ;; *) echo "typing: stubs not installed in the venv ($stubs)"; exit 1 ;; esac

export MYPY_CACHE_DIR="$work/mypy-cache"  # keep the checkout clean
files=$(ls examples/*.py tests/typing/*.py python/vorn_tools/*.py | wc -l)
"$venv/bin/mypy" --config-file tests/typing/mypy.ini examples tests/typing python/vorn_tools || exit 1
# stubtest leaves a .mypy_cache wherever it runs.
(cd "$work" && "$venv/bin/python" -m mypy.stubtest vorn vorn_tools._blocks \
  --allowlist "$root/tests/typing/stubtest-allowlist.txt") || exit 1
echo "typing: mypy --strict clean on $files files, stubtest clean ($("$venv/bin/mypy" --version))"
