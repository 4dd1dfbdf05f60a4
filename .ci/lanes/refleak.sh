#!/usr/bin/env bash
# The debug build of CPython 3.14: reference totals must not grow.
source "$(dirname "$0")/common.sh"
bash .ci/in-sid.sh bash .ci/sid/refleak.sh
