#!/usr/bin/env bash
# Builds a CPython 3.11 for x86_64 musl that runs on this glibc machine, so
# that the musllinux wheels' module can be imported and tested here (Debian
# has no musl interpreter). Everything comes from Debian's source packages,
# compiled by the project's pinned Zig (the wheels' compiler), into
# build/musl-python/; a second run reuses what is there and works (the
# interpreter, or musl and the libraries), and prints the interpreter's path
# last.
#
#   bash scripts/build_musl_python.sh
#
# Sources: `apt-get source --download-only` for python3.11, musl, zlib,
# xz-utils and bzip2, through an apt configuration of this script's own (a
# deb-src list and package lists under build/musl-python/apt/): the system's
# sources and lists are not touched, so it needs no root and no deb-src line
# in /etc/apt. Only the upstream tarballs (*.orig.tar.*) are built: Debian's
# patches fit its own layout (multiarch paths, dist-packages), not a plain
# interpreter; so Debian's security fixes are not applied either, which is
# fine for an interpreter that only runs the project's tests.
#
# How it runs on glibc: the module is a shared object that the interpreter
# loads with dlopen, which a statically linked musl program cannot do. So
# the interpreter is a dynamic musl executable, linked against Debian's musl
# 1.2.3 built here as libc.so, which is also musl's dynamic loader; the
# interpreter names it by absolute path (--dynamic-linker) as its program
# interpreter, so the kernel starts it without a system musl, and glibc's
# loader never sees it. Everything after musl is compiled against musl
# 1.2.3's own headers and crt files (ZIG_LIBC points Zig at them), not Zig's
# bundled musl, which is newer: configure would find functions there (statx)
# that this libc.so lacks. 1.2.3 is near the low end of what musllinux_1_2
# allows, a fair test of the wheel. zlib, bzip2 and liblzma are static,
# position-independent archives linked into the extension modules, so
# libc.so is the only shared library loaded from here.
#
# Left out, as the tests need none of them: ssl and OpenSSL's hashes (pip
# gets local wheels), ctypes (libffi), sqlite3, readline, curses, dbm, tkinter.
set -euo pipefail
shopt -s inherit_errexit  # a failing step inside $(...) fails the script
cd "$(dirname "$0")/.."
root=$PWD
tools=${ZORVAT_TOOLS_PYTHON:-$root/.venv/bin/python}
work=$root/build/musl-python
musl=$work/musl       # libc.so and its loader name
deps=$work/deps       # zlib, bzip2, liblzma: headers and static archives
prefix=$work/python   # the interpreter
python=$prefix/bin/python3.11
jobs=$(($(nproc) < 2 ? $(nproc) : 2))

# Reused when it starts and has the modules the tests need.
if [ -x "$python" ] && "$python" -c 'import zlib, bz2, lzma, _decimal, _testcapi' 2>/dev/null; then
  echo "$python"
  exit 0
fi

mkdir -p "$work"/{apt/lists/partial,apt/cache/archives/partial,src,logs}
rm -rf "$work/tree" "$prefix"
mkdir -p "$work/tree"
log() { echo "-- build_musl_python: $*" >&2; }

# The sources, with apt's state kept under build/.
cat >"$work/apt/sources.list" <<'EOF'
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main
EOF
apt_options=(-o "Dir::Etc::sourcelist=$work/apt/sources.list" -o Dir::Etc::sourceparts=/nonexistent
             -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache" -o Debug::NoLocking=1
             -o "APT::Sandbox::User=$(id -un)")
sources=(python3.11 musl zlib xz-utils bzip2)
missing=0
for package in "${sources[@]}"; do
  compgen -G "$work/src/${package}_*.orig.tar.*" >/dev/null || missing=1
done
if ((missing)); then
  log "downloading Debian's source packages: ${sources[*]}"
  apt-get "${apt_options[@]}" -qq update >"$work/logs/apt.log" 2>&1 \
    || { cat "$work/logs/apt.log" >&2; exit 1; }
  (cd "$work/src" && apt-get "${apt_options[@]}" -q source --download-only "${sources[@]}") >>"$work/logs/apt.log" 2>&1 \
    || { tail -n 20 "$work/logs/apt.log" >&2; exit 1; }
fi
unpack() {  # the upstream tarball of Debian source package $1, into tree/, printing its directory
  local tarball
  tarball=$(compgen -G "$work/src/${1}_*.orig.tar.*" | grep -v '\.asc$' | sed -n 1p)
  tar -xf "$tarball" -C "$work/tree"
  tar -tf "$tarball" | sed -n '1s,/.*,,p'  # reads it all: no SIGPIPE under pipefail
}
# Runs a build step with its output in logs/$1.log, shown in part if it fails.
step() {
  local name=$1
  shift
  if ! "$@" >"$work/logs/$name.log" 2>&1; then
    tail -n 40 "$work/logs/$name.log" >&2
    echo "build_musl_python: $name failed (log: build/musl-python/logs/$name.log)" >&2
    exit 1
  fi
}

# Zig as the C compiler for x86_64 musl: zig/musl-cc (Zig's own musl
# headers, for musl itself, which brings its own), then zig/cc: musl 1.2.3's
# headers, crt files and libc.so, linked dynamically (Zig links musl
# programs statically unless told) with this loader as the program
# interpreter, so that configure's test programs run here too. Without
# sanitizers: Zig's cc builds unoptimised code with its UBSan runtime, whose
# calls (statx) musl 1.2.3 lacks; and CPython's build stamp (__DATE__) a
# warning, not an error.
zig=$("$tools" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
bin=$work/zig && mkdir -p "$bin"
printf '#!/bin/sh\nexec "%s" cc -target x86_64-linux-musl "$@"\n' "$zig" >"$bin/musl-cc"
loader=$musl/lib/ld-musl-x86_64.so.1
printf '#!/bin/sh\nZIG_LIBC="%s" exec "%s" cc -target x86_64-linux-musl -fno-sanitize=all -Wno-error=date-time -dynamic -Wl,--dynamic-linker="%s" "$@"\n' \
  "$musl/zig-libc.txt" "$zig" "$loader" >"$bin/cc"
printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$zig" >"$bin/ar"
printf '#!/bin/sh\nexec "%s" ranlib "$@"\n' "$zig" >"$bin/ranlib"
chmod +x "$bin"/*
cross=(CC="$bin/cc" AR="$bin/ar" RANLIB="$bin/ranlib")

build_musl() {
  local dir
  dir=$work/tree/$(unpack musl)
  # No compiler runtime (LIBCC blank): the one Zig links for -lgcc also
  # defines memcpy, floor and other libc functions, hidden, and the linker
  # would then hide musl's own from every program. All musl on x86_64 wants
  # from it is complex multiplication, for cpow: done inline instead
  # (-fcx-limited-range: no special cases for infinities; Python's cmath
  # does not call libc's). libc.so is linked with --no-undefined.
  step musl-configure env -C "$dir" CC="$bin/musl-cc" AR="$bin/ar" RANLIB="$bin/ranlib" \
    CFLAGS="-fcx-limited-range" \
    ./configure --prefix="$musl" --syslibdir="$musl/lib" --target=x86_64-linux-musl --disable-static "LIBCC= "
  step musl-make make -C "$dir" -j "$jobs"
  step musl-install make -C "$dir" install
  # What a module needs from libc must be exported.
  if ! nm -D --defined-only "$musl/lib/libc.so" | awk '$3 == "memcpy" { found = 1 } END { exit !found }'; then
    echo "build_musl_python: musl's libc.so does not export memcpy" >&2
    exit 1
  fi
}

# The libc description Zig reads from ZIG_LIBC.
describe_musl() {
  # Zig asks a libc given to it for crtbegin*.o and crtend*.o, which are
  # the C compiler's on gcc systems; musl needs none. Empty ones, but for
  # __dso_handle, which crtbegin defines for C++'s atexit.
  mkdir -p "$musl/cc"
  echo 'void *__dso_handle __attribute__((visibility("hidden"))) = &__dso_handle;' >"$work/tree/crtbegin.c"
  : >"$work/tree/crtend.c"
  local part
  for part in begin end; do
    "$bin/musl-cc" -fPIC -c -o "$musl/cc/crt$part.o" "$work/tree/crt$part.c"
    cp "$musl/cc/crt$part.o" "$musl/cc/crt${part}S.o"
  done
  printf 'include_dir=%s\nsys_include_dir=%s\ncc_dir=%s\ncrt_dir=%s\nmsvc_lib_dir=\nkernel32_lib_dir=\ndarwin_sdk_dir=\n' \
    "$musl/include" "$musl/include" "$musl/cc" "$musl/lib" >"$musl/zig-libc.txt"
}

build_libraries() {
  local dir
  dir=$work/tree/$(unpack zlib)
  step zlib env -C "$dir" "${cross[@]}" CFLAGS="-O2 -fPIC" sh -c \
    "./configure --static --prefix='$deps' && make -j $jobs libz.a && make install"
  dir=$work/tree/$(unpack bzip2)
  step bzip2 make -C "$dir" -j "$jobs" "${cross[@]}" CFLAGS="-O2 -fPIC -D_FILE_OFFSET_BITS=64" libbz2.a
  install -D -m 644 "$dir/libbz2.a" "$deps/lib/libbz2.a"
  install -D -m 644 "$dir/bzlib.h" "$deps/include/bzlib.h"
  dir=$work/tree/$(unpack xz-utils)
  step xz env -C "$dir" "${cross[@]}" CFLAGS="-O2 -fPIC" sh -c \
    "./configure --prefix='$deps' --disable-shared --enable-static --with-pic --disable-xz --disable-xzdec \
       --disable-lzmadec --disable-lzmainfo --disable-lzma-links --disable-scripts --disable-doc --disable-nls \
     && make -j $jobs -C src/liblzma && make -C src/liblzma install"
}

if [ ! -x "$loader" ]; then
  log "musl 1.2.3 (libc.so, also the dynamic loader; headers and crt files)"
  rm -rf "$musl" "$deps"
  build_musl
fi
[ -f "$musl/zig-libc.txt" ] || describe_musl
if [ ! -f "$deps/lib/libz.a" ] || [ ! -f "$deps/lib/libbz2.a" ] || [ ! -f "$deps/lib/liblzma.a" ]; then
  log "zlib, bzip2, liblzma (static, PIC)"
  rm -rf "$deps"
  build_libraries
fi

log "CPython"
dir=$work/tree/$(unpack python3.11)
# A native build as far as configure knows: the musl programs it compiles
# run here, so its run-time checks see musl.
# pkg-config is kept to the libraries above (the host's .pc files describe glibc builds).
step python-configure env -C "$dir" "${cross[@]}" CPPFLAGS="-I$deps/include" \
  PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" PKG_CONFIG_PATH= \
  LDFLAGS="-L$deps/lib" \
  ./configure --prefix="$prefix" --without-ensurepip --with-pymalloc
step python-make make -C "$dir" -j "$jobs"
step python-install make -C "$dir" install
"$python" -c 'import zlib, bz2, lzma, _decimal, _testcapi' || {
  echo "build_musl_python: the interpreter lacks a module the tests need (log: build/musl-python/logs/python-make.log)" >&2
  exit 1
}
rm -rf "$work/tree"
log "built $("$python" -c 'import sys; print(sys.version.split()[0])') for musl; its program interpreter: $loader"
echo "$python"
