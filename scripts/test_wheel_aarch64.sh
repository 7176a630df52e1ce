#!/usr/bin/env bash
# Tests an aarch64 wheel for CPython 3.11 on this x86_64 machine, under
# qemu-user: Debian 12's arm64 CPython 3.11 is unpacked (not installed: its
# packages would replace the host's own python3) into build/arm64-root, a
# venv of it gets pytest, hypothesis and the wheel, and the Python suite runs
# less the tests marked heavy (long multi-threaded runs, minutes under
# emulation) or thirdparty (Dask, pandas).
#
#   bash scripts/test_wheel_aarch64.sh WHEEL
#
# No binfmt handler is needed: the venv's python and the wheel's command are
# small launchers that start qemu-aarch64-static themselves, so the suite's
# subprocesses (sys.executable, zorvat-columnarize) run under it too.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
wheel=$(realpath "$1")
python=${PYTHON:-$root/.venv/bin/python}
sysroot=$root/build/arm64-root
venv=$root/build/venv-wheel-aarch64
qemu=$(command -v qemu-aarch64-static)

if [ ! -x "$sysroot/usr/bin/python3.11" ]; then
  rm -rf "$sysroot" && mkdir -p "$sysroot/debs"
  # CPython 3.11 and the libraries its standard library loads.
  packages=(libc6 libgcc-s1 gcc-12-base zlib1g libbz2-1.0 liblzma5 libzstd1 libexpat1 libffi8 libssl3
            libuuid1 libsqlite3-0 libncursesw6 libtinfo6 libreadline8 libdb5.3 libcrypt1 libnsl2 libtirpc3
            libgssapi-krb5-2 libk5crypto3 libkrb5-3 libkrb5support0 libkeyutils1 libcom-err2
            libpython3.11-minimal libpython3.11-stdlib python3.11-minimal)
  (cd "$sysroot/debs" && apt-get download -q "${packages[@]/%/:arm64}" >"$root/build/arm64-download.log" 2>&1) || {
    tail -n 5 "$root/build/arm64-download.log" >&2
    echo "test_wheel_aarch64: cannot download Debian's arm64 CPython (is arm64 a foreign architecture? scripts/install_deps.sh --tests)" >&2
    exit 1
  }
  for deb in "$sysroot"/debs/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
fi
target_python=$sysroot/usr/bin/python3.11

rm -rf "$venv"
"$qemu" -L "$sysroot" "$target_python" -m venv --without-pip "$venv"
for name in python python3 python3.11; do
  rm -f "$venv/bin/$name"
  # -0 hands the launcher's own path to the interpreter as argv[0], from
  # which it finds the venv.
  printf '#!/bin/sh\nexec "%s" -L "%s" -0 "$0" "%s" "$@"\n' "$qemu" "$sysroot" "$target_python" >"$venv/bin/$name"
  chmod +x "$venv/bin/$name"
done
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
# The host's pip installs into the venv for the target's tags (it refuses a
# wheel that an aarch64 CPython 3.11 could not install).
target_pip=(--quiet --disable-pip-version-check --only-binary=:all: --platform manylinux2014_aarch64
            --implementation cp --python-version 3.11 --abi cp311 --target "$site")
"$python" -m pip install "${target_pip[@]}" pytest hypothesis >/dev/null
rm -rf "$site/bin"  # their scripts would start the host's interpreter; python -m serves
"$python" -m pip install "${target_pip[@]}" --no-deps --no-index "$wheel" >/dev/null
# pip --target puts scripts in the target's bin/: the command goes where an
# install would put it, behind a launcher.
mv "$site/bin/zorvat-columnarize" "$venv/bin/zorvat-columnarize.aarch64"
rm -rf "$site/bin"
printf '#!/bin/sh\nexec "%s" -L "%s" "$0.aarch64" "$@"\n' "$qemu" "$sysroot" >"$venv/bin/zorvat-columnarize"
chmod +x "$venv/bin/zorvat-columnarize"

echo "== ${wheel##*/}: the Python suite on $("$venv/bin/python" -c 'import platform, sys; print(sys.version.split()[0], platform.machine())') under qemu, less heavy and thirdparty"
cd "$venv"
"$venv/bin/python" -c 'import platform, sys, zorvat_codec
assert zorvat_codec.__file__.startswith(sys.prefix) and platform.machine() == "aarch64", zorvat_codec.__file__'
file -b "$venv/bin/zorvat-columnarize.aarch64" | cut -d, -f1-2
# Two tests assume what emulation changes, not the module: a 32 KiB thread
# stack (aarch64 glibc's minimum is 128 KiB) and the command being an ELF
# file (here it is the launcher; its target was shown above). Node ids are
# relative to the repository root, pytest's rootdir.
"$venv/bin/python" -m pytest -q -p no:cacheprovider -m "not heavy and not thirdparty" "$root/tests/python" \
  --deselect tests/python/test_threads.py::test_nesting_limit_on_a_small_thread_stack \
  --deselect tests/python/test_cli.py::test_is_a_native_executable
