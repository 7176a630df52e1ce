#!/usr/bin/env bash
# Every test of the project, from scratch: the C++ core tests (optimised and
# under AddressSanitizer + UndefinedBehaviorSanitizer), the fuzz corpora
# replayed, the Python module and command installed with pip and their pytest
# suite, the stub checked against the module, the suite again on every CPython
# from 3.11 up, and the sdist and wheel built and tested.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(($(nproc) < 2 ? $(nproc) : 2))  # the machines are shared

bash scripts/install_deps.sh

echo "== C++ core tests (Release)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

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

if [ -f pyproject.toml ]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT

  echo "== Python module and zorvat-columnarize (default python3)"
  start=$SECONDS
  python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore "$root"
  # From outside the tree: the installed module, not the source tree.
  (cd "$scratch" && python3 -m pytest -q -p no:cacheprovider "$root/tests/python")
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
fi
