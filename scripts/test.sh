#!/usr/bin/env bash
# Every test: the native kernels' GoogleTest suite through ctest, then the
# Python suite through pytest, against the installed package.
# PYTHON=/path/to/python3.X tests on another interpreter (see setup.sh);
# NATIVE_TESTS=0 leaves the native kernels out (they use no interpreter).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
source scripts/interpreter.sh
export PATH=$venv/bin:$PATH
# No model hub is reachable here: models come from the local cache only
# (otherwise every load retries the network for minutes).
export HF_HUB_OFFLINE=1 TRANSFORMERS_OFFLINE=1

if [ "${NATIVE_TESTS:-1}" != 0 ]; then
  echo "== native kernels (ctest)"
  cmake -S native -B build/native-tests -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" -DWRAPPER_BUILD_TESTS=ON >/dev/null
  cmake --build build/native-tests -j 2 >/dev/null
  ctest --test-dir build/native-tests --output-on-failure -j 2
fi

echo "== Python package (pytest, $(python -V))"
# Run from the tests' own directory so the installed package is imported,
# never the source tree.
python -m pytest -p no:cacheprovider "$@"
