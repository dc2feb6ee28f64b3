"""The compiled package: every module loads nanobind's core and the binding
helpers from the shared libraries in the package's own wrapper/_lib, once,
wherever the package lies."""
import os
import shutil
import subprocess
import sys

import pytest

import wrapper

PACKAGE_DIR = os.path.dirname(wrapper.__file__)


@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="reads /proc/self/maps")
def test_a_moved_package_loads_its_own_helper_libraries(tmp_path):
    # A copy elsewhere must find its libraries by a path relative to itself:
    # one fixed at build time would load the originals (or nothing).
    copy = tmp_path / "wrapper"
    shutil.copytree(PACKAGE_DIR, copy, ignore=shutil.ignore_patterns("__pycache__"))
    code = ("import wrapper.Process, wrapper.core.TfidfFinder, wrapper.infra.Cleanser\n"
            "print(wrapper.__file__)\n"
            "print(open('/proc/self/maps').read())\n")
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         cwd=tmp_path, env=env, check=True).stdout
    first, maps = out.split("\n", 1)
    assert first == str(copy / "__init__.py")
    loaded = {line.split()[-1] for line in maps.splitlines() if "libwrapper_" in line}
    assert loaded == {str(copy / "_lib" / "libwrapper_nanobind.so"),
                      str(copy / "_lib" / "libwrapper_pyface.so")}
