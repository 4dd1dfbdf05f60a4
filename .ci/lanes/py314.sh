#!/usr/bin/env bash
# CPython 3.14 from Debian unstable, in a cached root laid by debootstrap.
source "$(dirname "$0")/common.sh"
bash .ci/in-sid.sh bash .ci/sid/py314.sh
