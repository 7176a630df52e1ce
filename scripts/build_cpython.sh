#!/usr/bin/env bash
# Builds CPython from Debian's source packages (the upstream tarball inside
# them; Debian's own patches are not needed) into a cache outside the
# checkout, which later runs reuse: $ZORVAT_CPYTHON_CACHE (default
# ~/.cache/zorvat-cpython)/VARIANT, with bin/python3 in it.
#
#   bash scripts/build_cpython.sh VARIANT...
#
# VARIANT: 3.14, 3.14t (free-threaded), 3.13, 3.13t, and the same with
# -tsan (free-threaded ThreadSanitizer build, e.g. 3.13t-tsan). Prints the
# path of each interpreter on stdout, and how long each build took on stderr.
# 3.14 comes from sid's python3.14, 3.13 from trixie's python3.13. The deb-src
# lines live in an apt configuration of the script's own under the cache, so
# the system's sources are left alone. Root is needed only to install the
# build dependencies that are missing.
#
# Built with the machine's gcc at -j 2 under nice, without PGO or LTO.
# A -tsan variant also keeps CPython's own ThreadSanitizer suppressions (for
# its known benign races) as $prefix/tsan-suppressions.txt.
#
# With ZORVAT_CPYTHON_SKIP_UNAVAILABLE=1, a variant whose source package
# cannot be downloaded is reported and skipped instead of failing the run
# (a build that fails still fails it).
set -euo pipefail
cache=${ZORVAT_CPYTHON_CACHE:-$HOME/.cache/zorvat-cpython}
jobs=$(($(nproc) < 2 ? $(nproc) : 2))
[ $# -gt 0 ] || { echo "usage: build_cpython.sh VARIANT... (3.14 3.14t 3.13 3.13t 3.13t-tsan)" >&2; exit 2; }

# The stdlib modules pip, venv and the tests need: ssl (pip talks HTTPS),
# zlib (wheels), ctypes (libffi), bz2 and lzma (tarballs), sqlite3 (hypothesis'
# example database).
needs=(gcc make xz-utils pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev)
missing=()
for p in "${needs[@]}"; do
  dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok' || missing+=("$p")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "build_cpython: need root to install: ${missing[*]}" >&2
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The upstream tarball of SOURCE_PACKAGE from SUITE, downloaded once.
fetch() {
  local package=$1 suite=$2
  local apt=$cache/apt-$suite
  local tarball
  tarball=$(ls "$cache"/sources/"${package}"_*.orig.tar.xz 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -n "$tarball" ]; then
    echo "$tarball"
    return
  fi
  mkdir -p "$apt/lists/partial" "$cache/sources"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main" \
    >"$apt/sources.list"
  local opts=(-o "Dir::Etc::sourcelist=$apt/sources.list" -o Dir::Etc::sourceparts=- -o "Dir::State::Lists=$apt/lists"
              -o APT::Sandbox::User=root)
  apt-get "${opts[@]}" update -qq >&2 || return 1
  (cd "$cache/sources" && apt-get "${opts[@]}" source --download-only "$package" >&2) || return 1
  tarball=$(ls "$cache"/sources/"${package}"_*.orig.tar.xz | sort -V | tail -n 1)
  echo "$tarball"
}

for variant in "$@"; do
  prefix=$cache/$variant
  if [ -x "$prefix/bin/python3" ] && [ -f "$prefix/.complete" ]; then
    echo "$prefix/bin/python3"
    continue
  fi
  version=${variant%%[t-]*}
  configure=(--prefix="$prefix" --with-ensurepip=install --without-static-libpython)
  case $variant in
    *t|*t-*) configure+=(--disable-gil) ;;
  esac
  tsan_options=
  case $variant in
    # Not for venvs: only the stress script runs on it. The build runs the
    # new interpreter, whose own races are not this build's to report.
    *-tsan) configure=("${configure[@]/--with-ensurepip=install/--with-ensurepip=no}" --with-thread-sanitizer)
            tsan_options=report_bugs=0 ;;
    *-*) echo "build_cpython: unknown variant $variant" >&2; exit 2 ;;
  esac
  case $version in
    3.14) source=(python3.14 sid) ;;
    3.13) source=(python3.13 trixie) ;;
    *) echo "build_cpython: unknown version $version" >&2; exit 2 ;;
  esac
  if ! tarball=$(fetch "${source[@]}"); then
    echo "build_cpython: $variant: ${source[1]}'s source package ${source[0]} could not be downloaded" >&2
    [ "${ZORVAT_CPYTHON_SKIP_UNAVAILABLE:-0}" = 1 ] && continue
    exit 1
  fi
  start=$(date +%s)
  work=$cache/build/$variant
  rm -rf "$work" "$prefix" && mkdir -p "$work"
  tar -xf "$tarball" -C "$work" --strip-components=1
  log=$cache/build/$variant.log
  echo "build_cpython: building $variant from $(basename "$tarball") (log: $log)" >&2
  (
    cd "$work"
    [ -n "$tsan_options" ] && export TSAN_OPTIONS=$tsan_options
    nice -n 10 ./configure CC=gcc "${configure[@]}"
    nice -n 10 make -j "$jobs"
    nice -n 10 make install
  ) >"$log" 2>&1 || { tail -n 40 "$log" >&2; exit 1; }
  [ -x "$prefix/bin/python3" ] || ln -s "python$version"t "$prefix/bin/python3"
  if [[ $variant == *-tsan ]]; then
    cp "$work/Tools/tsan/suppressions_free_threading.txt" "$prefix/tsan-suppressions.txt"
  fi
  env ${tsan_options:+TSAN_OPTIONS=$tsan_options} "$prefix/bin/python3" -c 'import ssl, zlib, ctypes, bz2, lzma, sqlite3' || { echo "build_cpython: $variant lacks a stdlib module" >&2; exit 1; }
  touch "$prefix/.complete"
  rm -rf "$work"
  echo "build_cpython: $variant built in $(($(date +%s) - start)) s" >&2
  echo "$prefix/bin/python3"
done
