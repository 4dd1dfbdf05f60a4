#!/usr/bin/env bash
# The wheel a user would install: built with `pip wheel .`, checked for the
# stubs, the command's package with its feature module and the license,
# installed into a fresh venv where the whole test suite (examples and
# command included) runs against it,
# then shown to auditwheel. A second fresh venv with only the cli extra runs
# the command as a user would.
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
required = ["vorn-stubs/__init__.pyi", "vorn_tools/__init__.py", "vorn_tools/py.typed", "vorn_cli/__main__.py",
            "vorn_tools/features.py", "vorn_tools/_features.pyi", "vorn_tools/_blocks.pyi",
            f"{info}/licenses/LICENSE", f"{info}/METADATA", f"{info}/entry_points.txt"]
missing = [n for n in required if n not in names]
if not any(n.startswith("vorn.cpython-") and n.endswith(".so") for n in names):
    missing.append("vorn.cpython-*.so")
if not any(n.startswith("vorn_tools/_features.cpython-") and n.endswith(".so") for n in names):
    missing.append("vorn_tools/_features.cpython-*.so")
if not any(n.startswith("vorn_tools/_blocks.cpython-") and n.endswith(".so") for n in names):
    missing.append("vorn_tools/_blocks.cpython-*.so")
if missing:
    sys.exit(f"wheel: missing {missing}; it holds {names}")
PY

venv="$work/wheel-venv"
rm -rf "$venv"
python3 -m venv "$venv" && "$venv/bin/pip" install -q "$wheel[test,cli,dask]" || exit 1
# The suite must import the installed module, not a build tree.
"$venv/bin/python" - <<'PY' || exit 1
import importlib.metadata, sys, tomllib, vorn
version = tomllib.load(open("pyproject.toml", "rb"))["project"]["version"]
assert vorn.__file__.startswith(sys.prefix), vorn.__file__
assert importlib.metadata.version("vorn") == version, importlib.metadata.version("vorn")
PY
"$venv/bin/python" -m pytest -q -p no:cacheprovider || exit 1

# Only the cli extra: every command that needs no cluster works.
cli="$work/wheel-cli-venv"
rm -rf "$cli" "$cli.run" && mkdir -p "$cli.run"
python3 -m venv "$cli" && "$cli/bin/pip" install -q "$wheel[cli]" || exit 1
(
  cd "$cli.run" &&
    "$cli/bin/python" "$root/examples/sample_files.py" . >/dev/null &&
    "$cli/bin/vorn" info --json sample.wd1 sample.wd2 >info.json &&
    "$cli/bin/vorn" convert sample.wd1 sample.wd2 -o samples.h5 >/dev/null &&
    "$cli/bin/vorn" plot sample.wd2 -o sample.png >/dev/null &&
    "$cli/bin/vorn" follow --idle 0.2 sample.wd1 >/dev/null &&
    "$cli/bin/python" -c 'import h5py, json; assert [d["events"] for d in json.load(open("info.json"))] == [8, 8]; assert len(h5py.File("samples.h5")) == 2'
) || { echo "wheel: the vorn command failed in a fresh venv with the cli extra"; exit 1; }

"$venv/bin/pip" install -q auditwheel || exit 1
shown=$("$venv/bin/auditwheel" show "$wheel") || { echo "$shown"; exit 1; }
tag=$(printf '%s\n' "$shown" | tr -d '\n' | grep -o 'platform tag:[[:space:]]*"[^"]*"' | head -n 1 | cut -d'"' -f2)
[ -n "$tag" ] || { echo "$shown"; echo "wheel: auditwheel named no platform tag"; exit 1; }
echo "wheel: $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB) passes the suite in a fresh venv; platform tag $tag"
