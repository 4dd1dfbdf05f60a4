#!/usr/bin/env bash
# The machine's CPython with the newest NumPy: the README's test command,
# with everything the command line's tests need. Here they must run: a
# missing library or console script fails them instead of skipping them.
source "$(dirname "$0")/common.sh"
# h5dump: converted files must read in the HDF5 library's own tools, not only h5py.
ensure_apt hdf5-tools || exit 1
VORN_EXTRAS=all venv_with_package "$work/main" "$work/build-main" || exit 1
VORN_CLI_TESTS=required "$work/main/bin/python" -m pytest -q -p no:cacheprovider || exit 1
"$work/main/bin/python" examples/summarize.py | tail -n 1
# The Quick start's first look, on samples written outside the checkout.
"$work/main/bin/python" examples/sample_files.py "$work/samples" >/dev/null || exit 1
"$work/main/bin/vorn" info "$work/samples/sample.wd1" "$work/samples/sample.wd2" | grep '^  ended' || exit 1
