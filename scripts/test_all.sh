#!/usr/bin/env bash
# Every test of the project, from scratch: the C++ core tests (optimised, on
# both paths, and under AddressSanitizer + UndefinedBehaviorSanitizer), the
# same tests as the aarch64 and musl wheels build them (portable code, no
# SSE2, no simdjson), the fuzz corpora replayed, the concurrency test under
# ThreadSanitizer, the Python module and command pip-installed into the
# project's virtual environment .venv and their pytest suite (on both paths:
# ZORVAT_EXACT_ONLY=1 turns the span pass off), the stub checked against the
# module, the sdist built and installed without simdjson, the wheels for
# manylinux2014 (x86_64, aarch64) and musllinux_1_2 (x86_64) built and tested
# (scripts/test_wheel.sh), and the suite against a sanitized build of the
# module, where leaks count as failures. Nothing is installed into the
# system's Python; everything else it builds goes under build/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(($(nproc) < 2 ? $(nproc) : 2))  # the machines are shared
all_start=$SECONDS

bash scripts/install_deps.sh --tests
# The project's environment first: its python, pip, cmake and ninja.
export PATH=$root/.venv/bin:$PATH
python=$root/.venv/bin/python
export PYTHON=$python

echo "== C++ core tests (Release)"
start=$SECONDS
# Benchmarks are built too (not run), so that they keep compiling.
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORVAT_BUILD_BENCH=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"
# The exact path alone (the span pass off): same bytes and messages expected.
ZORVAT_EXACT_ONLY=1 ctest --test-dir build/release --output-on-failure -j "$jobs"
echo "-- $((SECONDS - start)) s"

echo "== C++ core tests, portable build (as for aarch64 and musl: no SSE2, scalar float formatting, no simdjson)"
start=$SECONDS
# -U__SSE2__ turns off every SSE2 path of the sources (the compiler still
# uses SSE2 registers for floating point, as the x86-64 ABI requires).
cmake -S . -B build/portable -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORVAT_SIMDJSON=OFF -DZORVAT_BUILD_CLI=OFF \
  "-DCMAKE_CXX_FLAGS=-DZORVAT_FLOAT_FORMAT_SCALAR -U__SSE2__" >/dev/null
cmake --build build/portable -j "$jobs" --target zorvat_tests
build/portable/zorvat_tests --gtest_brief=1
ZORVAT_EXACT_ONLY=1 build/portable/zorvat_tests --gtest_brief=1
echo "-- $((SECONDS - start)) s"

echo "== C++ core tests and fuzz corpus replay (ASan + UBSan)"
start=$SECONDS
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZORVAT_SANITIZE=ON -DZORVAT_BUILD_FUZZ=ON >/dev/null
cmake --build build/asan -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/asan --output-on-failure -j "$jobs"
for target in build/asan/*_fuzz; do
  name=$(basename "$target" _fuzz)
  "$target" "fuzz/corpus/$name"
done
unset ASAN_OPTIONS UBSAN_OPTIONS
echo "-- $((SECONDS - start)) s"

echo "== C++ concurrency test (TSan)"
start=$SECONDS
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORVAT_TSAN=ON >/dev/null
cmake --build build/tsan -j "$jobs" --target zorvat_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/tsan/zorvat_tests --gtest_filter='ConcurrencyTest.*:PagesTest.*'
echo "-- $((SECONDS - start)) s"

if [ -f pyproject.toml ]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT

  echo "== Python module and zorvat-columnarize (the project's .venv)"
  start=$SECONDS
  "$python" -m pip install --quiet --disable-pip-version-check "$root"
  # From outside the tree: the installed module, not the source tree.
  (cd "$scratch" && "$python" -m pytest -q -p no:cacheprovider "$root/tests/python")
  echo "-- $((SECONDS - start)) s"

  echo "== The same, on the exact path alone (ZORVAT_EXACT_ONLY=1)"
  start=$SECONDS
  (cd "$scratch" && ZORVAT_EXACT_ONLY=1 "$python" -m pytest -q -p no:cacheprovider "$root/tests/python")
  echo "-- $((SECONDS - start)) s"

  echo "== Stub check: mypy stubtest against the installed module"
  start=$SECONDS
  (cd "$scratch" && "$python" -m mypy.stubtest zorvat_codec)
  # The installed stubs must also reach a user's mypy run.
  cat >"$scratch/uses_stub.py" <<'PY'
from typing import assert_type

from zorvat_codec import columnarize

assert_type(columnarize(b"[]"), bytes)
assert_type(columnarize(payload=b"[]", min_rows=3), bytes)
columnarize("[]")  # type: ignore[arg-type]
PY
  (cd "$scratch" && "$python" -m mypy --strict --warn-unused-ignores --no-incremental uses_stub.py)
  echo "-- $((SECONDS - start)) s"

  # CPython 3.11, 3.12 and 3.13 each run the whole suite against their
  # x86_64 wheel; scripts/test_versions.sh (not run here) builds from source
  # on every CPython found, 3.14 and free-threaded builds included.
  echo "== Source distribution and wheels"
  start=$SECONDS
  bash scripts/test_wheel.sh
  echo "-- $((SECONDS - start)) s"

  echo "== Python module under ASan + UBSan (leaks in the module fail)"
  start=$SECONDS
  # The interpreter is not sanitized, so the runtime is preloaded; its own
  # allocations go through malloc (PYTHONMALLOC) so that the leak check sees
  # them, and the suppressions cover only the interpreter's deliberate leaks.
  # Heavy tests (RSS, long multi-threaded runs) are left to the plain stage,
  # and so are those that drive Dask clusters or pandas (see conftest.py).
  cmake -S . -B build/asan-python -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORVAT_SANITIZE=ON \
    -DZORVAT_BUILD_PYTHON=ON -DZORVAT_BUILD_TESTS=OFF "-DPython_EXECUTABLE=$python" >/dev/null
  cmake --build build/asan-python -j "$jobs" --target zorvat_codec
  # .venv's python is a link to the interpreter itself, not a wrapper script
  # (pyenv's shim is bash, whose own leaks the preloaded runtime would report).
  (
    cd "$scratch"
    export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
    export PYTHONMALLOC=malloc PYTHONPATH="$root/build/asan-python"
    export ASAN_OPTIONS=detect_leaks=1
    export LSAN_OPTIONS="suppressions=$root/scripts/lsan-python.supp:print_suppressions=0"
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    "$python" -c 'import sys, zorvat_codec; assert zorvat_codec.__file__.startswith(sys.argv[1]), zorvat_codec.__file__' \
      "$root/build/asan-python"
    "$python" -m pytest -q -p no:cacheprovider -m "not heavy and not thirdparty" \
      "$root/tests/python"
  )
  echo "-- $((SECONDS - start)) s"
fi
echo "-- scripts/test_all.sh: $((SECONDS - all_start)) s in all; CPU time (user, system) of this shell, then of all it ran:"
times
