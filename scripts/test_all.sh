#!/usr/bin/env bash
# Every test of the project, from scratch: the C++ core tests (optimised and
# under AddressSanitizer + UndefinedBehaviorSanitizer), the fuzz corpora
# replayed, the Python module installed with pip and its pytest suite.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

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
  echo "== Python module"
  python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore "$root"
  cd /tmp  # import the installed module, not the source tree
  python3 -m pytest -q "$root/tests/python"
fi
