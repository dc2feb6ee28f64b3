#!/usr/bin/env bash
# The main job: set up, then index the sample documents and run queries.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export PATH=$PWD/.venv/bin:$PATH
# No model hub is reachable here: models come from the local cache only
# (otherwise every load retries the network for minutes).
export HF_HUB_OFFLINE=1 TRANSFORMERS_OFFLINE=1 HF_HUB_DISABLE_PROGRESS_BARS=1
cd /tmp  # import the installed package, not the source tree
exec python "$OLDPWD/examples/demo.py" "$@"
