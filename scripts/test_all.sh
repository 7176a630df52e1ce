#!/usr/bin/env bash
# Every test of the project, from scratch: the C++ core tests (optimised, on
# both paths, and under AddressSanitizer + UndefinedBehaviorSanitizer), the
# same tests as the aarch64 and musl wheels build them (portable code, no
# SSE2), the fuzz corpora replayed, the concurrency test under
# ThreadSanitizer, the Python module and command pip-installed into the
# project's virtual environment .venv and their pytest suite (on both paths:
# ZORVAT_EXACT_ONLY=1 turns the span pass off), the stub checked against the
# module, the sdist built and installed, the wheels for
# manylinux2014 (x86_64, aarch64) and musllinux_1_2 (x86_64) built and tested
# (scripts/test_wheel.sh), and the suite against a sanitized build of the
# module, where leaks count as failures. Nothing is installed into the
# system's Python; everything else it builds goes under build/.
#
#   bash scripts/test_all.sh             # one wheel per platform: CPython 3.11
#   bash scripts/test_all.sh --release   # the wheels of CPython 3.11, 3.12, 3.13 and 3.14 for
#                                        # each platform and of 3.13t and 3.14t for
#                                        # manylinux2014 x86_64, each x86_64 one under the
#                                        # suite; the free-threaded ones under a long thread
#                                        # stress, also with the module sanitized; and the
#                                        # cp311 musl one under the suite on a musl CPython
#                                        # built here
#
# The release matrix first builds the interpreters that the machine lacks
# (CPython 3.14 and the free-threaded 3.13t and 3.14t) from Debian's source
# packages, with scripts/build_cpython.sh, into a cache outside the checkout
# that later runs reuse; a source package that cannot be downloaded is reported and its
# interpreter left out.
#
# After the dependencies, the stages run in two lanes side by side (the
# machines have two cores): the sdist and the wheels, which Zig builds, and
# the aarch64 wheel under qemu (with --release, then a musl CPython built
# and the cp311 musl wheel under the suite) in one; the C++ and Python
# stages of the source tree, then the x86_64 and musl wheels' tests, in the
# other. Each stage's output is kept in build/test-logs/ and printed whole
# when the stage ends, followed by `-- STAGE: W s, CPU U+S s`. Any stage
# failing fails the command: the other lane is stopped, and the failed
# stage's log shown.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
release=0
case ${1:-} in
  --release) release=1 ;;
  "") ;;
  *) echo "usage: bash scripts/test_all.sh [--release]" >&2; exit 2 ;;
esac
jobs=$(($(nproc) < 2 ? $(nproc) : 2))  # the machines are shared
all_start=$SECONDS
logs=$root/build/test-logs
# shellcheck source=scripts/stages.sh
source scripts/stages.sh

bash scripts/install_deps.sh --tests
# The project's environment first: its python, pip, cmake and ninja.
export PATH=$root/.venv/bin:$PATH
python=$root/.venv/bin/python
export PYTHON=$python
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# pytest, from outside the tree (the installed module, not the source tree),
# with a directory of its own for each stage, as stages run at once.
pytest_in() {
  local dir=$scratch/$1
  shift
  mkdir -p "$dir"
  (cd "$dir" && "$python" -m pytest -q -p no:cacheprovider "--basetemp=$dir/tmp" "$@")
}

cpp_release() {
  echo "C++ core tests (Release), on both paths; benchmarks built (not run), so that they keep compiling"
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORVAT_BUILD_BENCH=ON >/dev/null
  cmake --build build/release -j "$jobs"
  ctest --test-dir build/release --output-on-failure -j "$jobs"
  # The exact path alone (the span pass off): same bytes and messages expected.
  ZORVAT_EXACT_ONLY=1 ctest --test-dir build/release --output-on-failure -j "$jobs"
}

cpp_portable() {
  echo "C++ core tests, portable build (as for aarch64 and musl: no SSE2, scalar float formatting)"
  # -U__SSE2__ turns off every SSE2 path of the sources (the compiler still
  # uses SSE2 registers for floating point, as the x86-64 ABI requires).
  cmake -S . -B build/portable -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORVAT_BUILD_CLI=OFF \
    "-DCMAKE_CXX_FLAGS=-DZORVAT_FLOAT_FORMAT_SCALAR -U__SSE2__" >/dev/null
  cmake --build build/portable -j "$jobs" --target zorvat_tests
  build/portable/zorvat_tests --gtest_brief=1
  ZORVAT_EXACT_ONLY=1 build/portable/zorvat_tests --gtest_brief=1
}

cpp_asan() {
  echo "C++ core tests and fuzz corpus replay (ASan + UBSan); the sanitized Python module built"
  # The module is built in the same tree (python_asan runs the suite against
  # it), so that the core is compiled with the sanitizers once.
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZORVAT_SANITIZE=ON -DZORVAT_BUILD_FUZZ=ON \
    -DZORVAT_BUILD_PYTHON=ON "-DPython_EXECUTABLE=$python" >/dev/null
  cmake --build build/asan -j "$jobs"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  ctest --test-dir build/asan --output-on-failure -j "$jobs"
  local target name
  for target in build/asan/*_fuzz; do
    name=$(basename "$target" _fuzz)
    "$target" "fuzz/corpus/$name"
  done
}

cpp_tsan() {
  echo "C++ concurrency test (TSan)"
  cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORVAT_TSAN=ON >/dev/null
  cmake --build build/tsan -j "$jobs" --target zorvat_tests
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/tsan/zorvat_tests --gtest_filter='ConcurrencyTest.*:PagesTest.*'
}

python_venv() {
  echo "Python module and zorvat-columnarize pip-installed into .venv: the whole suite"
  "$python" -m pip install --quiet --disable-pip-version-check "$root"
  pytest_in venv "$root/tests/python"
}

python_exact() {
  echo "The suite on the exact path alone (ZORVAT_EXACT_ONLY=1)"
  # Less what would test nothing more here: test_paths.py compares this
  # process's answers with an exact-path worker's (here both are the exact
  # path); test_exit.py ends interpreters with calls still running, which
  # does not depend on the path; the thirdparty tests run the same call
  # inside Dask and pandas. All three ran in the previous stage.
  ZORVAT_EXACT_ONLY=1 pytest_in exact -m "not thirdparty" \
    "--ignore=$root/tests/python/test_paths.py" "--ignore=$root/tests/python/test_exit.py" "$root/tests/python"
}

python_stubs() {
  echo "Stub check: mypy stubtest against the installed module"
  local dir=$scratch/stubs
  mkdir -p "$dir"
  (cd "$dir" && "$python" -m mypy.stubtest zorvat_codec)
  # The installed stubs must also reach a user's mypy run.
  cat >"$dir/uses_stub.py" <<'PY'
from typing import assert_type

from zorvat_codec import columnarize

assert_type(columnarize(b"[]"), bytes)
assert_type(columnarize(payload=b"[]", min_rows=3), bytes)
columnarize("[]")  # type: ignore[arg-type]
PY
  (cd "$dir" && "$python" -m mypy --strict --warn-unused-ignores --no-incremental uses_stub.py)
}

python_asan() {
  echo "Python module under ASan + UBSan (leaks in the module fail)"
  # The module of cpp_asan's tree. The interpreter is not sanitized, so the
  # runtime is preloaded; its own allocations go through malloc
  # (PYTHONMALLOC) so that the leak check sees them, and the suppressions
  # cover only the interpreter's deliberate leaks. Heavy tests (RSS, long
  # multi-threaded runs) are left to the plain stage, and so are those that
  # drive Dask clusters or pandas (see conftest.py).
  # .venv's python is a link to the interpreter itself, not a wrapper script
  # (pyenv's shim is bash, whose own leaks the preloaded runtime would report).
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
  export LD_PRELOAD PYTHONMALLOC=malloc PYTHONPATH="$root/build/asan"
  export ASAN_OPTIONS=detect_leaks=1
  export LSAN_OPTIONS="suppressions=$root/scripts/lsan-python.supp:print_suppressions=0"
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  "$python" -c 'import sys, zorvat_codec; assert zorvat_codec.__file__.startswith(sys.argv[1]), zorvat_codec.__file__' \
    "$root/build/asan"
  pytest_in asan -m "not heavy and not thirdparty" "$root/tests/python"
}

wheel_flags=()
((release)) && wheel_flags=(--release)
cpython_cache=${ZORVAT_CPYTHON_CACHE:-$HOME/.cache/zorvat-cpython}

cpython_builds() {
  echo "CPython 3.14, 3.13t and 3.14t from Debian's source packages (cached)"
  ZORVAT_CPYTHON_SKIP_UNAVAILABLE=1 bash scripts/build_cpython.sh 3.14 3.13t 3.14t
}

# The free-threaded wheels (tested by the suite in wheel-x86_64) under many
# threads for longer, with the GIL checked off; then the module built with
# AddressSanitizer + UBSan on the newest free-threaded interpreter (not
# sanitized, the runtime preloaded; its objects come from its own mimalloc,
# which cannot be swapped for malloc on these builds). With a free-threaded
# ThreadSanitizer build of CPython in the cache (scripts/build_cpython.sh
# 3.14t-tsan: half an hour to over an hour of the shared cores, so built by
# hand), the module
# built with ThreadSanitizer runs the stress on it too.
free_threaded_stress() {
  echo "Thread stress on the free-threaded interpreters, then under ASan + UBSan (and TSan if built)"
  local venv python tsan_python
  for venv in "$root"/build/venv-wheel-3.*t; do
    [ -x "$venv/bin/python" ] || continue
    (cd "$venv" && bin/python -c 'import sys, zorvat_codec; print(sys.version.split()[0], "GIL enabled:", sys._is_gil_enabled())')
    (cd "$venv" && bin/python "$root/tests/python/thread_stress.py" --threads 8 --rounds 300)
  done
  python=$(bash scripts/find_python.sh 3.14t)
  [ -n "$python" ] || python=$(bash scripts/find_python.sh 3.13t)
  if [ -z "$python" ]; then
    echo "-- no free-threaded interpreter: the sanitized runs skipped"
    return
  fi
  cmake -S . -B build/asan-ft -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZORVAT_SANITIZE=ON \
    -DZORVAT_BUILD_PYTHON=ON -DZORVAT_BUILD_TESTS=OFF -DZORVAT_BUILD_CLI=OFF "-DPython_EXECUTABLE=$python" >/dev/null
  cmake --build build/asan-ft -j "$jobs" --target zorvat_codec
  (cd "$scratch" && PYTHONPATH="$root/build/asan-ft" \
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    LSAN_OPTIONS="suppressions=$root/scripts/lsan-python.supp:print_suppressions=0" \
    "$python" "$root/tests/python/thread_stress.py" --threads 8 --rounds 50)
  tsan_python=$(ls "$cpython_cache"/3.1[0-9]t-tsan/bin/python3 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -z "$tsan_python" ] || [ ! -f "$(dirname "$(dirname "$tsan_python")")/.complete" ]; then
    echo "-- no free-threaded ThreadSanitizer CPython in $cpython_cache: that run skipped"
    return
  fi
  cmake -S . -B build/tsan-python -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORVAT_TSAN=ON \
    -DZORVAT_BUILD_PYTHON=ON -DZORVAT_BUILD_TESTS=OFF -DZORVAT_BUILD_CLI=OFF "-DPython_EXECUTABLE=$tsan_python" >/dev/null
  cmake --build build/tsan-python -j "$jobs" --target zorvat_codec
  # CPython's own suppressions cover its known benign races; any report fails.
  (cd "$scratch" && PYTHONPATH="$root/build/tsan-python" \
    TSAN_OPTIONS="halt_on_error=1:exitcode=66:suppressions=$(dirname "$(dirname "$tsan_python")")/tsan-suppressions.txt" \
    "$tsan_python" "$root/tests/python/thread_stress.py" --threads 4 --rounds 20)
}

archives_lane() {
  ((release)) && stage cpython-builds cpython_builds
  stage archives-build bash scripts/test_wheel.sh "${wheel_flags[@]}" build
  stage wheel-aarch64 bash scripts/test_wheel.sh aarch64
  # A musl CPython built from source, minutes of CPU: before a release only.
  if ((release)); then
    stage musl-python-build bash scripts/build_musl_python.sh
    stage wheel-musl-python bash scripts/test_wheel.sh musl-python
  fi
}

source_lane() {
  stage cpp-release cpp_release
  stage python-venv python_venv
  stage python-exact python_exact
  stage python-stubs python_stubs
  stage cpp-portable cpp_portable
  stage cpp-asan cpp_asan
  stage python-asan python_asan
  stage cpp-tsan cpp_tsan
  after archives-build
  stage wheel-x86_64 bash scripts/test_wheel.sh "${wheel_flags[@]}" x86_64
  stage wheel-musl bash scripts/test_wheel.sh musl
  ((release)) && stage free-threaded-stress free_threaded_stress
  return 0
}

# Page faults per call, which other processes disturb: alone, at the end,
# against the module in .venv, on both paths.
python_quiet() {
  echo "Page faults per call in the steady state, with nothing else running"
  ZORVAT_QUIET_TESTS=1 pytest_in quiet -m quiet "$root/tests/python"
  ZORVAT_QUIET_TESTS=1 ZORVAT_EXACT_ONLY=1 pytest_in quiet-exact -m quiet "$root/tests/python"
}

rm -f "$logs/summary"
side_by_side archives_lane source_lane
stage python-quiet python_quiet
echo "-- the stages:"
cat "$logs/summary"
echo "-- scripts/test_all.sh: $((SECONDS - all_start)) s in all; CPU time (user, system) of this shell, then of all it ran:"
times
