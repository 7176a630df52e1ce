#!/usr/bin/env bash
# Prints the CPython interpreter of one minor version (e.g. 3.12, or 3.13t for
# the free-threaded build): pyenv's newest patch release of it, else the one
# scripts/build_cpython.sh built into its cache, else pythonX.Y on PATH;
# nothing if none.
set -euo pipefail
minor=${1%t} suffix=
[[ $1 == *t ]] && suffix=t
versions=${PYENV_ROOT:-$HOME/.pyenv}/versions
cache=${ZORVAT_CPYTHON_CACHE:-$HOME/.cache/zorvat-cpython}
best=$(ls "$versions" 2>/dev/null | grep -E "^${minor//./\\.}\.[0-9]+${suffix}\$" | sort -V | tail -n 1 || true)
if [ -n "$best" ] && [ -x "$versions/$best/bin/python$1" ]; then
  echo "$versions/$best/bin/python$1"
elif [ -x "$cache/$1/bin/python$1" ] && [ -f "$cache/$1/.complete" ]; then
  echo "$cache/$1/bin/python$1"
else
  command -v "python$1" || true
fi
