#!/usr/bin/env bash
# What this glibc machine can test of a musllinux wheel: the core's C++ tests
# built by the wheels' compiler for x86_64 musl, linked statically (so they
# run here without a musl system), and the wheel's own zorvat-columnarize
# (statically linked too) run on examples/rows.json, whose document must be
# byte for byte the one a host module returns. The module itself loads only
# into a musl CPython, which Debian does not have.
#
#   bash scripts/test_musl.sh WHEEL [PYTHON]   (PYTHON: one that imports zorvat_codec; default .venv's)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
wheel=$(realpath "$1")
python=${PYTHON:-$root/.venv/bin/python}
reference=${2:-$python}
work=$root/build/musl
jobs=$(($(nproc) < 2 ? $(nproc) : 2))
triple=x86_64-linux-musl
zig=$("$python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

bin=$work/zig && mkdir -p "$bin"
printf '#!/bin/sh\nexec "%s" cc -target %s "$@"\n' "$zig" "$triple" >"$bin/cc"
printf '#!/bin/sh\nexec "%s" c++ -target %s "$@"\n' "$zig" "$triple" >"$bin/c++"
printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$zig" >"$bin/ar"
printf '#!/bin/sh\nexec "%s" ranlib "$@"\n' "$zig" >"$bin/ranlib"
chmod +x "$bin"/*
toolchain=(-G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_TOOLCHAIN_FILE=$root/packaging/zig-toolchain.cmake"
           "-DZORVAT_ZIG_BIN=$bin" -DZORVAT_ZIG_ARCH=x86_64 -DCMAKE_EXE_LINKER_FLAGS=-static)

# GoogleTest from Debian's sources (package googletest), built for musl.
if [ ! -f "$work/gtest/lib/libgtest.a" ]; then
  cmake -S /usr/src/googletest -B "$work/gtest-build" "${toolchain[@]}" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
    "-DCMAKE_INSTALL_PREFIX=$work/gtest" >"$work/gtest.log" 2>&1
  cmake --build "$work/gtest-build" -j "$jobs" >>"$work/gtest.log" 2>&1
  cmake --install "$work/gtest-build" >>"$work/gtest.log" 2>&1
fi

# The wheels' configuration.
cmake -S . -B "$work/core" "${toolchain[@]}" -DZORVAT_BUILD_CLI=OFF \
  "-DCMAKE_FIND_ROOT_PATH=$work/gtest" >"$work/core.log" 2>&1 || { tail -n 30 "$work/core.log" >&2; exit 1; }
cmake --build "$work/core" -j "$jobs" --target zorvat_tests >>"$work/core.log" 2>&1 || { tail -n 30 "$work/core.log" >&2; exit 1; }
echo "== C++ core tests, x86_64 musl, static: $(file -b "$work/core/zorvat_tests" | cut -d, -f1-5)"
# The exact path alone too, as on the host.
"$work/core/zorvat_tests" --gtest_brief=1
ZORVAT_EXACT_ONLY=1 "$work/core/zorvat_tests" --gtest_brief=1

rm -rf "$work/wheel" && mkdir -p "$work/wheel"
(cd "$work/wheel" && "$python" -m zipfile -e "$wheel" .)
command=("$work"/wheel/zorvat_codec-*.data/scripts/zorvat-columnarize)
chmod +x "${command[0]}"
echo "== the wheel's zorvat-columnarize: $(file -b "${command[0]}" | cut -d, -f1-5)"
expected=$("$reference" -c 'import sys, zorvat_codec; sys.stdout.buffer.write(zorvat_codec.columnarize(open(sys.argv[1], "rb").read()))' \
  examples/rows.json | sha256sum)
got=$("${command[0]}" examples/rows.json | sha256sum)
if [ "$got" != "$expected" ]; then
  echo "test_musl: the musl command's document differs from the module's" >&2
  exit 1
fi
echo "-- the musl command writes the module's document for examples/rows.json"
