#!/usr/bin/env bash
# The C++ sources must be exactly as clang-format leaves them.
source "$(dirname "$0")/common.sh"
ensure_apt clang-format || exit 1
git ls-files -- '*.cpp' '*.hpp' '*.cc' '*.h' | xargs -r clang-format -i
if git diff --exit-code --stat; then
  echo "format: clean"
else
  echo "format: files above differ from clang-format's output"
  git checkout -- .
  exit 1
fi
