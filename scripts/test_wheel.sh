#!/usr/bin/env bash
# Builds the source distribution, then the wheel from that sdist (so the sdist
# is proven to hold everything a build needs), repairs the wheel for a
# manylinux policy with auditwheel, checks what each archive holds and that
# every ELF file in the wheel (the module and the zorvat-columnarize
# executable) needs nothing outside that policy, installs the repaired wheel
# into a fresh venv and runs the Python test suite against it from outside the
# source tree.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-python3}
out=$root/build/dist-test
venv=$root/build/venv-wheel
# The oldest glibc that a build on Debian 12 can promise: its executables link
# __libc_start_main@GLIBC_2.34. The README names this policy; a build that
# needs more (or less) fails the repair or the tag check below.
policy=manylinux_2_34_$(uname -m)

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

# Retags the wheel and copies in the shared libraries outside the policy:
# libsimdjson, which the module and the command link, goes to
# zorvat_codec.libs/. The command, an executable in the scripts directory,
# moves to zorvat_codec.scripts/ and a small launcher takes its place.
"$python" -m auditwheel repair --plat "$policy" --wheel-dir "$out/repaired" "${wheels[0]}" \
  >"$root/build/auditwheel.log" 2>&1 || {
  cat "$root/build/auditwheel.log" >&2
  echo "test_wheel: auditwheel repair --plat $policy failed" >&2
  exit 1
}
repaired=("$out"/repaired/*.whl)
if ((${#repaired[@]} != 1)) || [[ ${repaired[0]} != *-"$policy".whl ]]; then
  echo "test_wheel: expected one $policy wheel, got: ${repaired[*]##*/}" >&2
  exit 1
fi
# auditwheel's own verdict on the repaired wheel (its text is wrapped: unwrap it).
shown=$("$python" -m auditwheel show "${repaired[0]}" 2>&1 | tr -s ' \n' '  ')
if [[ $shown != *"consistent with the following platform tag: \"$policy\""* ]]; then
  echo "$shown" >&2
  echo "test_wheel: auditwheel show does not find ${repaired[0]##*/} consistent with $policy" >&2
  exit 1
fi
echo "-- repaired: $(basename "${repaired[0]}")"

"$python" - "${sdists[0]}" "${repaired[0]}" <<'EOF'
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

# auditwheel examines every ELF file of the wheel, but only says so by its
# results; this checks each one against the policy's own tables, so that the
# native command cannot slip through unexamined. A library may be needed when
# the policy allows it or the wheel carries it (then it is checked too).
"$python" - "${repaired[0]}" "$policy" <<'EOF'
import io
import json
import re
import sys
import zipfile
from importlib import resources

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

wheel, tag = sys.argv[1:]
name, arch = re.fullmatch(r"(manylinux_\d+_\d+)_(\w+)", tag).groups()
policies = json.loads((resources.files("auditwheel.policy") / "manylinux-policy.json").read_text())
policy = next(p for p in policies if p["name"] == name)
libraries, versions = set(policy["lib_whitelist"]), policy["symbol_versions"][arch]

problems, checked = [], []
with zipfile.ZipFile(wheel) as whl:
    carried = {n.rsplit("/", 1)[1] for n in whl.namelist() if re.fullmatch(r"[^/]+\.libs/[^/]+", n)}
    for member in whl.namelist():
        data = whl.read(member)
        if not data.startswith(b"\x7fELF"):
            continue
        checked.append(member)
        glibc = []
        for section in ELFFile(io.BytesIO(data)).iter_sections():
            if isinstance(section, DynamicSection):
                for needed in (t.needed for t in section.iter_tags("DT_NEEDED")):
                    # The dynamic loader is the interpreter itself, outside the list.
                    if needed not in libraries and needed not in carried and not needed.startswith("ld-linux"):
                        problems.append(f"{member} needs {needed}, outside {tag}")
            elif isinstance(section, GNUVerNeedSection):
                for needed, aux in section.iter_versions():
                    for version in (a.name for a in aux):
                        prefix, _, number = version.partition("_")
                        if prefix in versions and number not in versions[prefix]:
                            problems.append(f"{member} needs {version} of {needed.name}, outside {tag}")
                        if prefix == "GLIBC" and re.fullmatch(r"[\d.]+", number):
                            glibc.append(tuple(map(int, number.split("."))))
        print(f"-- {member}: glibc {'.'.join(map(str, max(glibc, default=())))} or later")
for kind, pattern in (("extension module", r"zorvat_codec\..*\.so"),
                      ("executable", r"(.*/scripts|zorvat_codec\.scripts)/zorvat-columnarize")):
    if not any(re.fullmatch(pattern, m) for m in checked):
        problems.append(f"no ELF {kind} found in the wheel")

for p in problems:
    print("test_wheel:", p, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF

"$python" -m venv --clear "$venv"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore pytest hypothesis
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --no-index "${repaired[0]}"
cd "$venv"  # not the source tree: only the installed module can be imported
"$venv/bin/python" -c 'import sys, zorvat_codec
assert zorvat_codec.__file__.startswith(sys.prefix), zorvat_codec.__file__'
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python"
