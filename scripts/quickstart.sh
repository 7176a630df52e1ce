#!/usr/bin/env bash
# The README's first command: installs what the build needs, makes the
# project's virtual environment .venv, pip-installs the module and its
# command-line tool into it, and columnarizes the example rows.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_deps.sh
.venv/bin/python -m pip install --quiet --disable-pip-version-check .

echo "\$ zorvat-columnarize examples/rows.json"
.venv/bin/zorvat-columnarize examples/rows.json
echo
echo
echo "Installed into .venv: run 'source .venv/bin/activate' to put python and zorvat-columnarize on PATH."
