#!/usr/bin/env bash
# The archives users install, built and tested:
#
# - the sdist: checked for the sources and notices it must hold and the build
#   outputs it must not, then pip-installed into a fresh venv as on a machine
#   with a C++20 compiler and CMake only, and used once;
# - the wheels, built from that sdist by scripts/build_wheels.sh: by default
#   one per platform, CPython 3.11 for manylinux2014 x86_64 and aarch64 and
#   musllinux_1_2 x86_64; with --release, CPython 3.11, 3.12 and 3.13 for
#   each (nine). Each is checked by `auditwheel show` (it must name the
#   wheel's tag) and by scripts/check_wheel.py (contents, and every ELF file
#   read against the policy), then tested where this machine can run it:
#   - manylinux2014 x86_64: the whole Python suite, in a fresh venv of its
#     CPython, from outside the source tree (every CPython built);
#   - manylinux2014 aarch64, CPython 3.11: under qemu-user, in a venv of
#     Debian's arm64 CPython 3.11 (unpacked, not installed), the suite less
#     the tests marked heavy or thirdparty (minutes under emulation, or Dask
#     and pandas); the command too, through a qemu launcher. The 3.12 and 3.13
#     aarch64 wheels are checked only: Debian 12 has no arm64 interpreter
#     for them;
#   - musllinux_1_2 x86_64: the core's C++ tests built by the same compiler
#     for musl and linked statically, run here, and the wheel's command (also
#     static) against the module's output for the example;
#   - musllinux_1_2 x86_64, CPython 3.11 (step musl-python, --release only in
#     scripts/test_all.sh): the module imported by a musl CPython 3.11 built
#     here (scripts/build_musl_python.sh), the suite less the tests marked
#     heavy or thirdparty. The 3.12 and 3.13 musl wheels are checked only.
#
#   bash scripts/test_wheel.sh [--release] [STEP]
#
# STEP is one of build (the sdist, the wheels, their checks), x86_64,
# aarch64, musl, musl-python (the tests of the wheels already built);
# without one, all of them in that order (musl-python only with --release).
# scripts/test_all.sh runs the steps as separate stages, the tests side by
# side with other stages. ZORVAT_WHEEL_TARGETS and
# ZORVAT_WHEEL_PYTHONS (scripts/build_wheels.sh) still narrow the build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
release=0
step=all
for arg in "$@"; do
  case $arg in
    --release) release=1 ;;
    build | x86_64 | aarch64 | musl | musl-python | all) step=$arg ;;
    *) echo "usage: bash scripts/test_wheel.sh [--release] [build|x86_64|aarch64|musl|musl-python]" >&2; exit 2 ;;
  esac
done
python=${PYTHON:-$root/.venv/bin/python}
out=$root/build/dist-test
work=$root/build/wheels
pip_quiet=(--quiet --disable-pip-version-check)

stage() { echo "-- $1: $((SECONDS - stage_start)) s"; stage_start=$SECONDS; }
stage_start=$SECONDS

build_step() {
  rm -rf "$out" && mkdir -p "$out"
  "$python" -m build --sdist --outdir "$out" "$root" >"$root/build/dist-test.log" 2>&1 || {
    tail -n 40 "$root/build/dist-test.log" >&2
    echo "test_wheel: python -m build --sdist failed (log: build/dist-test.log)" >&2
    exit 1
  }
  sdist=("$out"/*.tar.gz)
  "$python" - "${sdist[0]}" <<'EOF'
import re
import sys
import tarfile

with tarfile.open(sys.argv[1]) as tar:
    # Every member sits under one "<name>-<version>/" directory.
    names = [m.name.split("/", 1)[1] for m in tar.getmembers() if "/" in m.name]
    info = tar.extractfile(next(m for m in tar.getmembers() if m.name.endswith("/PKG-INFO"))).read().decode()
needed = [
    "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE",
    "packaging/licenses/libcxx-LICENSE.txt", "packaging/zig-toolchain.cmake",
    "src/lib.cpp", "src/zorvat_codec.pyi", "src/zorvat_codec.map",
    "src/cli/zorvat_columnarize.cpp", "src/transform/bulk_utf8.h", "src/json/utf8_blocks.h",
    "src/transform/pipeline.cpp", "src/json/reader.cpp", "src/json/writer.cpp",
    "src/json/pow10_table.inc", "src/json/unicode_tables.inc",
    "tests/python/test_cli.py", "examples/rows.json",
]
problems = [f"sdist lacks {n}" for n in needed if n not in names]
stray = re.compile(r"(^|/)(build[^/]*|dist|_skbuild|__pycache__|\.pytest_cache|\.hypothesis|\.git|\.venv)/"
                   r"|\.(so|o|a|pyc|whl)$")
problems += [f"sdist holds a build output: {n}" for n in names if stray.search(n)]
if "License-Expression: MIT" not in info.splitlines():
    problems.append("PKG-INFO lacks License-Expression: MIT")
for p in problems:
    print("test_wheel:", p, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF
  echo "-- built and checked $(basename "${sdist[0]}")"
  stage "sdist"

  # The sdist on a machine with a C++20 compiler and CMake only.
  venv=$root/build/venv-sdist
  "$python" -m venv --clear "$venv"
  "$venv/bin/python" -m pip install "${pip_quiet[@]}" \
    -C cmake.define.ZORVAT_BUILD_CLI=ON "${sdist[0]}" \
    >"$root/build/sdist-install.log" 2>&1 || {
    tail -n 40 "$root/build/sdist-install.log" >&2
    echo "test_wheel: pip install of the sdist failed" >&2
    exit 1
  }
  (cd "$venv" && "$venv/bin/python" - "$root/examples/rows.json" "$venv/bin/zorvat-columnarize" <<'EOF'
import subprocess
import sys

import zorvat_codec

payload = open(sys.argv[1], "rb").read()
document = zorvat_codec.columnarize(payload)
assert document.startswith(b'{"columns":'), document[:40]
assert subprocess.run([sys.argv[2], sys.argv[1]], capture_output=True, check=True).stdout == document
# Built with the system's compiler: its runtime is linked dynamically, so no
# runtime's notice comes with it.
from importlib.metadata import distribution
licenses = sorted(str(f) for f in distribution("zorvat_codec").files if "/licenses/" in str(f))
assert len(licenses) == 1 and licenses[0].endswith(".dist-info/licenses/LICENSE"), licenses
print("-- sdist installed: module and command agree on examples/rows.json; only the project's LICENSE")
EOF
  )
  stage "sdist installed"

  # By default one wheel per platform, for the CPython of .venv and of most
  # users; a release builds the whole matrix.
  if ((release)); then
    bash scripts/build_wheels.sh "${sdist[0]}" "$out/wheelhouse"
  else
    ZORVAT_WHEEL_PYTHONS="${ZORVAT_WHEEL_PYTHONS:-3.11}" bash scripts/build_wheels.sh "${sdist[0]}" "$out/wheelhouse"
  fi
  stage "wheels built"

  # The tag each wheel must carry, as auditwheel names the policy.
  policy_of() {
    case $1 in
      *manylinux_2_17_x86_64.whl) echo manylinux_2_17_x86_64 ;;
      *manylinux_2_17_aarch64.whl) echo manylinux_2_17_aarch64 ;;
      *musllinux_1_2_x86_64.whl) echo musllinux_1_2_x86_64 ;;
    esac
  }
  wheels=("$out"/wheelhouse/*.whl)
  for wheel in "${wheels[@]}"; do
    policy=$(policy_of "$wheel")
    [ -n "$policy" ] || { echo "test_wheel: unexpected wheel ${wheel##*/}" >&2; exit 1; }
    echo "-- ${wheel##*/} ($(du -k "$wheel" | cut -f1) KiB)"
    shown=$("$python" -m auditwheel show "$wheel" 2>&1)
    # auditwheel's text is wrapped: unwrap it.
    if [[ $(tr -s ' \n' '  ' <<<"$shown") != *"consistent with the following platform tag: \"$policy\""* ]]; then
      echo "$shown" >&2
      echo "test_wheel: auditwheel show does not find ${wheel##*/} consistent with $policy" >&2
      exit 1
    fi
    echo "   auditwheel show: consistent with \"$policy\""
    "$python" scripts/check_wheel.py "$wheel" "$policy" | sed 's/^/   /'
  done
  stage "wheels checked"
}

# manylinux2014 x86_64: each CPython's wheel under the whole suite.
x86_64_step() {
  local wheel minor base venv
  for wheel in "$out"/wheelhouse/*manylinux_2_17_x86_64.whl; do
    # The ABI tag: cp313, or cp313t for the free-threaded build.
    minor=$(sed -E 's/.*-cp3[0-9]+-cp3([0-9]+t?)-.*/3.\1/' <<<"${wheel##*/}")
    base=$(bash scripts/find_python.sh "$minor")
    venv=$root/build/venv-wheel-$minor
    "$base" -m venv --clear "$venv"
    # hypothesis: the newest release with a wheel (its Rust part has none for
    # the free-threaded builds).
    "$venv/bin/python" -m pip install "${pip_quiet[@]}" --only-binary=hypothesis pytest hypothesis
    "$venv/bin/python" -m pip install "${pip_quiet[@]}" --no-index "$wheel"
    echo "== ${wheel##*/}: the Python suite on $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')"
    (
      cd "$venv"  # not the source tree: only the installed module can be imported
      "$venv/bin/python" -c 'import sys, zorvat_codec
assert zorvat_codec.__file__.startswith(sys.prefix), zorvat_codec.__file__'
      "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python"
    )
    stage "cp${minor/./} manylinux2014 x86_64 tested"
  done
}

# manylinux2014 aarch64 under qemu-user.
aarch64_step() {
  bash scripts/test_wheel_aarch64.sh "$out"/wheelhouse/*cp311-cp311-*manylinux_2_17_aarch64.whl
  stage "cp311 manylinux2014 aarch64 tested under qemu"
}

# musllinux_1_2 x86_64.
musl_step() {
  bash scripts/test_musl.sh "$out"/wheelhouse/*cp311-cp311-musllinux_1_2_x86_64.whl "$root/build/venv-sdist/bin/python"
  stage "musllinux_1_2 x86_64 tested"
}

# musllinux_1_2 x86_64, cp311, imported and run: the Python suite in a venv
# of a musl CPython 3.11 built here (scripts/build_musl_python.sh).
musl_python_step() {
  local base wheel venv wheels
  base=$(bash scripts/build_musl_python.sh | tail -n 1)
  stage "musl CPython built or reused"
  wheel=$(compgen -G "$out/wheelhouse/*-cp311-cp311-musllinux_1_2_x86_64.whl")
  venv=$root/build/venv-musl-python
  "$base" -m venv --clear "$venv"  # with the pip that CPython bundles
  # pytest and hypothesis (and what they need) are pure Python: .venv's pip
  # fetches them (the musl interpreter has no ssl), the venv's installs them
  # offline.
  wheels=$root/build/musl-python/wheels
  "$python" -m pip download "${pip_quiet[@]}" --only-binary=:all: --platform any --python-version 3.11 \
    --dest "$wheels" pytest hypothesis
  "$venv/bin/python" -m pip install "${pip_quiet[@]}" --no-index --find-links "$wheels" pytest hypothesis
  "$venv/bin/python" -m pip install "${pip_quiet[@]}" --no-index "$wheel"
  echo "== ${wheel##*/}: the Python suite on musl CPython $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')," \
    "less the tests marked heavy or thirdparty (left to the x86_64 wheels' run; no Dask or pandas for this interpreter)"
  (
    cd "$venv"  # not the source tree: only the installed module can be imported
    # The module loaded, used, and the interpreter finalized with it.
    timeout 120 "$venv/bin/python" -c 'import sys, zorvat_codec
assert zorvat_codec.__file__.startswith(sys.prefix), zorvat_codec.__file__
assert zorvat_codec.columnarize(b"[{\"a\":1}]").startswith(b"{\"columns\":")
print("-- imported and called", zorvat_codec.__file__.removeprefix(sys.prefix + "/"))'
    # This interpreter can hang in a futex at finalization after some of the
    # suite's hypothesis runs (test_reference.py; the same without the module
    # loaded), so pytest's process ends with os._exit once it has reported,
    # keeping its exit status.
    cat >"$venv/exit_after_report.py" <<'PY'
import os
import sys

_status = [1]


def pytest_sessionfinish(session, exitstatus):
    _status[0] = int(exitstatus)


def pytest_unconfigure(config):
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(_status[0])
PY
    timeout 1200 "$venv/bin/python" -m pytest -q -p no:cacheprovider -p exit_after_report \
      -m "not heavy and not thirdparty" "$root/tests/python"
  )
  stage "cp311 musllinux_1_2 x86_64 tested on musl CPython"
}

# The tests of the wheels need the build's outputs.
if [ "$step" != build ] && [ "$step" != all ] && [ ! -d "$out/wheelhouse" ]; then
  echo "test_wheel: no wheels in $out/wheelhouse: run bash scripts/test_wheel.sh build first" >&2
  exit 1
fi
case $step in
  build) build_step ;;
  x86_64) x86_64_step ;;
  aarch64) aarch64_step ;;
  musl) musl_step ;;
  musl-python) musl_python_step ;;
  all)
    build_step; x86_64_step; aarch64_step; musl_step
    if ((release)); then musl_python_step; fi ;;
esac
