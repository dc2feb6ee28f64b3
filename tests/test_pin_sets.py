"""The pin sets per interpreter and the ranges the package declares agree:
every declared dependency is pinned in every set, inside its range, so
`pip install .` accepts what the set-up installs."""
import glob
import os
import sys

import pytest
from packaging.requirements import Requirement
from packaging.utils import canonicalize_name
from packaging.version import Version

if sys.version_info >= (3, 11):
    import tomllib
else:
    tomllib = pytest.importorskip("tomli")

ROOT = os.path.join(os.path.dirname(__file__), "..")
PIN_SETS = sorted(glob.glob(os.path.join(ROOT, "requirements", "py3*.txt")))


def pins_of(path):
    pins = {}
    with open(path) as f:
        for line in f:
            line = line.split("#")[0].strip()
            if line:
                name, _, version = line.partition("==")
                assert version, f"{path}: not an exact pin: {line!r}"
                pins[canonicalize_name(name)] = version
    return pins


def test_every_supported_interpreter_has_a_pin_set():
    assert [os.path.basename(p) for p in PIN_SETS] == [
        "py310.txt", "py311.txt", "py312.txt", "py313.txt"]
    this = os.path.join(ROOT, "requirements", "py%d%d.txt" % sys.version_info[:2])
    assert os.path.exists(this)


@pytest.mark.parametrize("path", PIN_SETS, ids=os.path.basename)
def test_pins_satisfy_the_declared_ranges(path):
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)["project"]
    pins = pins_of(path)
    outside = []
    for dep in map(Requirement, project["dependencies"]):
        version = pins.get(canonicalize_name(dep.name))
        if version is None or not dep.specifier.contains(Version(version), prereleases=True):
            outside.append((str(dep), version))
    assert outside == []
