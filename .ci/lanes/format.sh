#!/usr/bin/env bash
# The C++ sources must be exactly as clang-format leaves them.
source "$(dirname "$0")/common.sh"
ensure_apt clang-format || exit 1
if git ls-files -- 'src/*.cpp' 'src/*.hpp' 'tests/*.cpp' 'tests/*.hpp' 'fuzz/*.cc' |
    xargs -r clang-format --dry-run --Werror; then
  echo "format: clean"
else
  echo "format: the files above differ from clang-format's output"
  exit 1
fi
