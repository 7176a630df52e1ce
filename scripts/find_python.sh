#!/usr/bin/env bash
# Prints the CPython interpreter of one minor version (e.g. 3.12, or 3.13t for
# the free-threaded build): pyenv's newest patch release of it, else the one
# scripts/build_cpython.sh built into its cache, else pythonX.Y on PATH;
# nothing if none.
set -euo pipefail
want=$1 minor=${1%t} suffix=
[[ $want == *t ]] && suffix=t
# pyenv's versions need not be on PATH (its shims serve only the selected ones).
if command -v pyenv >/dev/null 2>&1; then
  versions="$(pyenv root)/versions"
else
  versions=${PYENV_ROOT:-$HOME/.pyenv}/versions
fi
cache=${ZORVAT_CPYTHON_CACHE:-$HOME/.cache/zorvat-cpython}
best=$(ls "$versions" 2>/dev/null | grep -E "^${minor//./\\.}\.[0-9]+${suffix}\$" | sort -V | tail -n 1 || true)
if [ -n "$best" ] && [ -x "$versions/$best/bin/python${minor}${suffix}" ]; then
  echo "$versions/$best/bin/python${minor}${suffix}"
elif [ -x "$cache/$want/bin/python$want" ] && [ -f "$cache/$want/.complete" ]; then
  echo "$cache/$want/bin/python$want"
else
  command -v "python${want}" || true
fi
