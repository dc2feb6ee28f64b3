#!/usr/bin/env bash
# Incremental developer build into build/dev-<name>/python, importable with
#   PYTHONPATH=build/dev-<name>/python .venv/bin/python -m pytest ...
# Usage: scripts/dev-build.sh <name> [cmake target ...]   (no target: all)
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: scripts/dev-build.sh <name> [target ...]}
shift
dir=build/dev-$name
if [ ! -f "$dir/build.ninja" ]; then
  .venv/bin/cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
fi
if [ $# -gt 0 ]; then
  targets=()
  for t in "$@"; do targets+=(--target "$t"); done
  .venv/bin/cmake --build "$dir" -j 2 "${targets[@]}"
else
  .venv/bin/cmake --build "$dir" -j 2
fi
echo "PYTHONPATH=$dir/python"
