#!/usr/bin/env bash
# Re-resolves one interpreter's pin set: every package named in the default
# pin set, unpinned, resolved by pip to the newest releases that interpreter
# can have, in a scratch environment. torch keeps the version of the default
# set (the CPU build where this machine has it, the registry's build
# elsewhere); the CUDA libraries the registry's torch pulls in are left to
# torch's own exact requirements rather than pinned here. requirements/caps.txt
# holds the upper bounds a release the project cannot use needs.
#
#   scripts/resolve_pins.sh /root/.pyenv/versions/3.10.13/bin/python3.10
#
# Where pip backtracks into an old source release that no longer builds
# (spaCy's thinc on 3.13), PIP_ONLY_BINARY=:all: keeps it to wheels.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:?usage: resolve_pins.sh PYTHON}
tag=py$("$python" -c 'import sys; print(f"{sys.version_info[0]}{sys.version_info[1]}")')
base=requirements/py311.txt
out=requirements/$tag.txt
scratch=$(mktemp -d /tmp/resolve-$tag.XXXX)
trap 'rm -rf "$scratch"' EXIT
"$python" -m venv "$scratch/venv"
pip=("$scratch/venv/bin/python" -m pip --disable-pip-version-check -q)
"${pip[@]}" install --upgrade pip
torch_pin=$(grep -E '^torch==' "$base")
names=$(grep -vE '^(#|-|torch==|$)' "$base" | sed -E 's/[=<>;[ ].*//')
# torch first, so that its exact version is what the rest resolves against:
# the CPU build where pip finds it, else the registry's build of that release.
if ! "${pip[@]}" install --no-deps --dry-run --ignore-installed "$torch_pin" >/dev/null 2>&1; then
  torch_pin=${torch_pin%%+*}
fi
"${pip[@]}" install "$torch_pin"
# shellcheck disable=SC2086
"${pip[@]}" install -c requirements/caps.txt $names
{
  echo "# $tag pin set: resolved by scripts/resolve_pins.sh on $(date -u +%Y-%m-%d)"
  "${pip[@]}" freeze --all --exclude-editable |
    grep -viE '^(pip|setuptools|wheel|nvidia-[a-z0-9-]+|triton|cuda-[a-z0-9-]+)=='
} > "$out"
echo "wrote $out ($(grep -c '==' "$out") pins)"
