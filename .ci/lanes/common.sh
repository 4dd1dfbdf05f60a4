# Sourced by the lane scripts. $VORN_CI_WORK is a scratch directory for the
# whole CI run; each lane keeps its venvs and build trees below it.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
work=${VORN_CI_WORK:?set by .ci/run}
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

# A fresh venv with the package installed the way a user installs it, plus
# the test requirements; VORN_EXTRAS names other extras to add (cli,dask).
venv_with_package() {  # venv_with_package DIR BUILD_DIR [EXTRA_REQUIREMENT...] [-C SETTING...]
  local dir=$1 build=$2; shift 2
  python3 -m venv "$dir" &&
    "$dir/bin/pip" install -q -C cmake.define.VORN_WERROR=ON \
      -C build-dir="$build" ".[test${VORN_EXTRAS:+,$VORN_EXTRAS}]" "$@"
}

ensure_apt() {  # ensure_apt PACKAGE...
  local missing=()
  for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}
