#!/usr/bin/env bash
# The main job: set up, then index the sample documents and run queries.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export PATH=$PWD/.venv/bin:$PATH
cd /tmp  # import the installed package, not the source tree
exec python "$OLDPWD/examples/demo.py" "$@"
