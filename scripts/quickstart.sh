#!/usr/bin/env bash
# The README's first command: installs what the build needs, pip-installs the
# module and its command-line tool, and columnarizes the example rows.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_deps.sh
python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore .

# pip puts the command beside the interpreter; that directory may not be on
# PATH (a user install, or a version manager that has not rehashed yet).
command=$(command -v zorvat-columnarize || true)
if [ -z "$command" ]; then
  command="$(python3 -c 'import sysconfig; print(sysconfig.get_path("scripts"))')/zorvat-columnarize"
fi
echo "\$ zorvat-columnarize examples/rows.json"
"$command" examples/rows.json
echo
