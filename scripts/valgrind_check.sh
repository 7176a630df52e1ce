#!/usr/bin/env bash
# Memcheck over a small mixed workload of the Python module: every outcome
# (successes, each reader failure, the row check, argument errors) a few
# times. Passes with zero errors and zero definitely lost bytes.
#
#   bash scripts/valgrind_check.sh
#
# The module is built with debug information into build/valgrind and loaded
# from there. PYTHONMALLOC=malloc routes the interpreter's allocations through
# malloc, so memcheck sees them (and none of pymalloc's deliberate reads of
# uninitialised memory).
#
# CPython 3.11 reads the (absent) first digit of every zero-length int it
# builds from bytes or text, and importing a cached .pyc builds one (its flags
# word is 0), as does site's start-up: hundreds of "uninitialised value"
# reports before the module is even loaded. So the interpreter runs without
# site (-S; PYTHONPATH names all it imports) and with an empty bytecode cache
# (it compiles from source), which keeps it off that path; nothing is
# suppressed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

cmake -S . -B build/valgrind -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORVAT_BUILD_PYTHON=ON \
  -DZORVAT_BUILD_TESTS=OFF >/dev/null
cmake --build build/valgrind -j 2 --target zorvat_codec

log=build/valgrind/memcheck.log
# The interpreter itself: a wrapper script (pyenv's shim) would exec it
# outside memcheck.
python=$(python3 -c 'import sys; print(sys.executable)')
pycache=$(mktemp -d)
trap 'rm -rf "$pycache"' EXIT
PYTHONMALLOC=malloc PYTHONPATH="$root/build/valgrind:$root/tests/python" \
  PYTHONPYCACHEPREFIX="$pycache" PYTHONDONTWRITEBYTECODE=1 \
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --error-exitcode=99 --num-callers=30 --log-file="$log" \
  "$python" -S -c '
import sys, zorvat_codec, workload
assert zorvat_codec.__file__.startswith(sys.argv[1]), zorvat_codec.__file__
for _ in range(3):
    for p in workload.PAYLOADS:
        workload.outcome(p)
    for args, kwargs in workload.BAD_CALLS:
        workload.outcome(*args, **kwargs)
print("workload done")
' "$root/build/valgrind" || { echo "valgrind_check: memcheck reported errors, see $log" >&2; grep -E "ERROR SUMMARY|definitely lost" "$log" >&2; exit 1; }
grep -E "ERROR SUMMARY|definitely lost|indirectly lost|possibly lost" "$log"
