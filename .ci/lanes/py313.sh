#!/usr/bin/env bash
# CPython 3.13 from Debian unstable, in the same cached root as the 3.14 lane.
source "$(dirname "$0")/common.sh"
bash .ci/in-sid.sh bash .ci/sid/py313.sh
