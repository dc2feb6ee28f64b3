# `python -m wrapper`: runpy needs a code object for __main__, which an
# extension module has not, so this stub hands over to the compiled CLI.
from wrapper.cli import main

if __name__ == "__main__":  # not when a worker process re-imports it
    raise SystemExit(main())
