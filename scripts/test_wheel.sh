#!/usr/bin/env bash
# Builds the source distribution, then the wheel from that sdist (so the sdist
# is proven to hold everything a build needs), checks what each archive holds,
# installs the wheel into a fresh venv and runs the Python test suite against
# it from outside the source tree.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-python3}
out=$root/build/dist-test
venv=$root/build/venv-wheel

rm -rf "$out"
# Without --sdist/--wheel, build makes the sdist and then the wheel from it.
"$python" -m build --outdir "$out" "$root" >"$root/build/dist-test.log" 2>&1 || {
  tail -n 40 "$root/build/dist-test.log" >&2
  echo "test_wheel: python -m build failed (log: build/dist-test.log)" >&2
  exit 1
}

sdists=("$out"/*.tar.gz)
wheels=("$out"/*.whl)
if ((${#sdists[@]} != 1 || ${#wheels[@]} != 1)); then
  echo "test_wheel: expected one sdist and one wheel in $out" >&2
  exit 1
fi
echo "-- built $(basename "${sdists[0]}") and $(basename "${wheels[0]}")"

"$python" - "${sdists[0]}" "${wheels[0]}" <<'EOF'
import re
import sys
import tarfile
import zipfile

sdist, wheel = sys.argv[1:]
problems = []

with tarfile.open(sdist) as tar:
    # Every member sits under one "<name>-<version>/" directory.
    names = [m.name.split("/", 1)[1] for m in tar.getmembers() if "/" in m.name]
needed = [
    "pyproject.toml", "CMakeLists.txt", "README.md",
    "src/lib.cpp", "src/zorvat_codec.pyi", "src/zorvat_codec.map",
    "src/cli/zorvat_columnarize.cpp",
    "src/transform/pipeline.cpp", "src/json/reader.cpp", "src/json/writer.cpp",
    "src/json/pow10_table.inc", "src/json/unicode_tables.inc",
    "tests/python/test_cli.py", "examples/rows.json",
]
problems += [f"sdist lacks {n}" for n in needed if n not in names]
stray = re.compile(r"(^|/)(build[^/]*|dist|_skbuild|__pycache__|\.pytest_cache|\.hypothesis|\.git)/"
                   r"|\.(so|o|a|pyc|whl)$")
problems += [f"sdist holds a build output: {n}" for n in names if stray.search(n)]

with zipfile.ZipFile(wheel) as whl:
    names = whl.namelist()
modules = [n for n in names if "/" not in n]
if not any(re.fullmatch(r"zorvat_codec\..*\.so", n) for n in modules):
    problems.append("wheel lacks the extension module")
for stub in ("zorvat_codec.pyi", "zorvat_codec-stubs/__init__.pyi"):
    if stub not in names:
        problems.append(f"wheel lacks {stub}")
others = [n for n in modules if not n.startswith("zorvat_codec.")]
problems += [f"wheel installs an unexpected top-level file: {n}" for n in others]
if not any(re.fullmatch(r"zorvat_codec-[^/]+\.data/scripts/zorvat-columnarize", n) for n in names):
    problems.append("wheel lacks the zorvat-columnarize script")
problems += [f"wheel holds Python code: {n}" for n in names if n.endswith((".py", ".pyc"))]

for p in problems:
    print("test_wheel:", p, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF
echo "-- archive contents checked"

"$python" -m venv --clear "$venv"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore pytest hypothesis
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --no-index "${wheels[0]}"
cd "$venv"  # not the source tree: only the installed module can be imported
"$venv/bin/python" -c 'import sys, zorvat_codec
assert zorvat_codec.__file__.startswith(sys.prefix), zorvat_codec.__file__'
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python"
