#!/usr/bin/env bash
# Prints the CPython interpreter of one minor version (e.g. 3.12): pyenv's
# newest patch release of it, else pythonX.Y on PATH; nothing if neither.
set -euo pipefail
versions=${PYENV_ROOT:-$HOME/.pyenv}/versions
best=$(ls "$versions" 2>/dev/null | grep -E "^${1//./\\.}\.[0-9]+\$" | sort -V | tail -n 1 || true)
if [ -n "$best" ] && [ -x "$versions/$best/bin/python$1" ]; then
  echo "$versions/$best/bin/python$1"
else
  command -v "python$1" || true
fi
