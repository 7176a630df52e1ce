#!/usr/bin/env bash
# Every test of the project, from scratch: the C++ core tests (optimised, on
# both paths, and under AddressSanitizer + UndefinedBehaviorSanitizer), the
# fuzz corpora replayed, the concurrency test under ThreadSanitizer, the
# Python module and command installed with pip and their pytest suite (on
# both paths: ZORVAT_EXACT_ONLY=1 turns the span pass off), the stub checked
# against the module, the suite again on every CPython from 3.11 up, the sdist
# and wheel built, the wheel repaired for manylinux and tested, and the suite
# against a sanitized build of the module, where leaks count as failures.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(($(nproc) < 2 ? $(nproc) : 2))  # the machines are shared

bash scripts/install_deps.sh

echo "== C++ core tests (Release)"
# Benchmarks are built too (not run), so that they keep compiling.
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORVAT_BUILD_BENCH=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"
# The exact path alone (the span pass off): same bytes and messages expected.
ZORVAT_EXACT_ONLY=1 ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== C++ core tests and fuzz corpus replay (ASan + UBSan)"
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

echo "== C++ concurrency test (TSan)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORVAT_TSAN=ON >/dev/null
cmake --build build/tsan -j "$jobs" --target zorvat_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/tsan/zorvat_tests --gtest_filter='ConcurrencyTest.*'

if [ -f pyproject.toml ]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT

  echo "== Python module and zorvat-columnarize (default python3)"
  start=$SECONDS
  python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore "$root"
  # From outside the tree: the installed module, not the source tree.
  (cd "$scratch" && python3 -m pytest -q -p no:cacheprovider "$root/tests/python")
  echo "-- $((SECONDS - start)) s"

  echo "== The same, on the exact path alone (ZORVAT_EXACT_ONLY=1)"
  start=$SECONDS
  (cd "$scratch" && ZORVAT_EXACT_ONLY=1 python3 -m pytest -q -p no:cacheprovider "$root/tests/python")
  echo "-- $((SECONDS - start)) s"

  echo "== Stub check: mypy stubtest against the installed module"
  start=$SECONDS
  (cd "$scratch" && python3 -m mypy.stubtest zorvat_codec)
  # The installed stubs must also reach a user's mypy run.
  cat >"$scratch/uses_stub.py" <<'PY'
from typing import assert_type

from zorvat_codec import columnarize

assert_type(columnarize(b"[]"), bytes)
assert_type(columnarize(payload=b"[]", min_rows=3), bytes)
columnarize("[]")  # type: ignore[arg-type]
PY
  (cd "$scratch" && python3 -m mypy --strict --warn-unused-ignores --no-incremental uses_stub.py)
  echo "-- $((SECONDS - start)) s"

  echo "== Every CPython from 3.11 up"
  start=$SECONDS
  bash scripts/test_versions.sh
  echo "-- $((SECONDS - start)) s"

  echo "== Source distribution and wheel"
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
    -DZORVAT_BUILD_PYTHON=ON -DZORVAT_BUILD_TESTS=OFF >/dev/null
  cmake --build build/asan-python -j "$jobs" --target zorvat_codec
  # The interpreter itself, not a wrapper script (pyenv's shim is bash, whose
  # own leaks the preloaded runtime would report).
  python=$(python3 -c 'import sys; print(sys.executable)')
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
