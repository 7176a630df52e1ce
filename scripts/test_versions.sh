#!/usr/bin/env bash
# Builds the module and runs the whole Python test suite on every CPython from
# 3.11 up that this machine has: each in a fresh venv under build/, with the
# project pip-installed into it, tested from outside the source tree.
#
# Interpreters are found by scripts/find_python.sh: pyenv's (the newest patch
# release of each minor version, free-threaded "t" builds as their own entry),
# else those scripts/build_cpython.sh built, else python3.X on PATH. A
# version the machine lacks is skipped with a message, not failed.
# ZORVAT_PYTHONS="/path/to/python ..." tests exactly those interpreters.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

minors=(3.11 3.12 3.13 3.13t 3.14 3.14t)

pythons=()
if [ -n "${ZORVAT_PYTHONS:-}" ]; then
  read -r -a pythons <<<"$ZORVAT_PYTHONS"
else
  for want in "${minors[@]}"; do
    python=$(bash scripts/find_python.sh "$want")
    if [ -z "$python" ]; then
      echo "-- CPython $want: not on this machine, skipped"
      continue
    fi
    pythons+=("$python")
  done
fi

tested=()
for python in "${pythons[@]}"; do
  label=$("$python" -c 'import sys, sysconfig
print("%d.%d%s" % (sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "",)))')
  full=$("$python" -c 'import sys; print(sys.version.split()[0])')
  if ! "$python" -c 'import venv, ensurepip' 2>/dev/null; then
    echo "-- CPython $label ($python): no venv/ensurepip, skipped"
    continue
  fi
  echo "== CPython $full ($label): $python"
  venv="$root/build/venv-$label"
  start=$SECONDS
  "$python" -m venv --clear "$venv"
  # hypothesis' newest releases carry a Rust part with no wheel for every
  # interpreter (none for free-threaded ones): the newest one with a wheel.
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
    --only-binary=hypothesis pytest hypothesis
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore "$root"
  # From outside the tree, so that the installed module is the one imported.
  (cd "$venv" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python")
  echo "-- CPython $label: passed in $((SECONDS - start)) s"
  tested+=("$full")
done

if ((${#tested[@]} == 0)); then
  echo "test_versions: no CPython 3.11 or later found" >&2
  exit 1
fi
echo "-- tested on CPython ${tested[*]}"
