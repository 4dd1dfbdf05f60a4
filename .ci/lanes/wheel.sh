#!/usr/bin/env bash
# The wheel a user would install: built with `pip wheel .`, checked for the
# stubs and the license, installed into a fresh venv where the whole test
# suite (examples included) runs against it, then shown to auditwheel.
source "$(dirname "$0")/common.sh"
dist="$work/dist"
rm -rf "$dist"
python3 -m pip wheel -q --no-deps -w "$dist" -C build-dir="$work/build-wheel" . || exit 1
wheels=("$dist"/vorn-*.whl)
[ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || { echo "wheel: expected one wheel in $dist"; exit 1; }
wheel=${wheels[0]}

python3 - "$wheel" <<'PY' || exit 1
import sys, tomllib, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
version = tomllib.load(open("pyproject.toml", "rb"))["project"]["version"]
info = f"vorn-{version}.dist-info"
required = ["vorn-stubs/__init__.pyi", f"{info}/licenses/LICENSE", f"{info}/METADATA"]
missing = [n for n in required if n not in names]
if not any(n.startswith("vorn.cpython-") and n.endswith(".so") for n in names):
    missing.append("vorn.cpython-*.so")
if missing:
    sys.exit(f"wheel: missing {missing}; it holds {names}")
PY

venv="$work/wheel-venv"
rm -rf "$venv"
python3 -m venv "$venv" && "$venv/bin/pip" install -q "$wheel[test,examples]" || exit 1
# The suite must import the installed module, not a build tree.
"$venv/bin/python" - <<'PY' || exit 1
import importlib.metadata, sys, tomllib, vorn
version = tomllib.load(open("pyproject.toml", "rb"))["project"]["version"]
assert vorn.__file__.startswith(sys.prefix), vorn.__file__
assert importlib.metadata.version("vorn") == version, importlib.metadata.version("vorn")
PY
"$venv/bin/python" -m pytest -q -p no:cacheprovider || exit 1

"$venv/bin/pip" install -q auditwheel || exit 1
shown=$("$venv/bin/auditwheel" show "$wheel") || { echo "$shown"; exit 1; }
tag=$(printf '%s\n' "$shown" | tr -d '\n' | grep -o 'platform tag:[[:space:]]*"[^"]*"' | head -n 1 | cut -d'"' -f2)
[ -n "$tag" ] || { echo "$shown"; echo "wheel: auditwheel named no platform tag"; exit 1; }
echo "wheel: $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB) passes the suite in a fresh venv; platform tag $tag"
