# Sourced by the set-up and test scripts: which interpreter, which virtual
# environment, which pin set.
#   PYTHON  the interpreter (default: the machine's python3)
#   VENV    the environment (default: .venv for the machine's python3's
#           version, .venv-pyXY for any other, so each keeps its own)
# Sets: PYTHON, py_tag (py311, ...), venv (absolute), pins (requirements file).
machine_python=python3
PYTHON=${PYTHON:-$machine_python}
if ! command -v "$PYTHON" >/dev/null 2>&1; then
  echo "no interpreter '$PYTHON'" >&2; exit 1
fi
py_tag=$("$PYTHON" -c 'import sys; print("py%d%d" % sys.version_info[:2])')
default_tag=$("$machine_python" -c 'import sys; print("py%d%d" % sys.version_info[:2])')
if [ -n "${VENV:-}" ]; then
  venv=$(realpath -m "$VENV")
elif [ "$py_tag" = "$default_tag" ]; then
  venv=$PWD/.venv
else
  venv=$PWD/.venv-$py_tag
fi
pins=requirements/$py_tag.txt
if [ ! -f "$pins" ]; then
  echo "no pin set for $("$PYTHON" -V 2>&1) ($pins); supported:" \
    "$(cd requirements && ls py*.txt | sed 's/\.txt$//' | tr '\n' ' ')" >&2
  exit 1
fi
