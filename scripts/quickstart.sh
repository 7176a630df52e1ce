#!/usr/bin/env bash
# The main job on a fresh machine: install what the build needs, build and
# install the module with pip, and columnarize the example payload.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_deps.sh
python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore .
python3 - examples/rows.json <<'PY'
import sys
import zorvat_codec

with open(sys.argv[1], "rb") as f:
    sys.stdout.buffer.write(zorvat_codec.columnarize(f.read()) + b"\n")
PY
