"""What the installed distribution carries: the built modules, their stubs,
the Python package, and no C++ sources."""

import importlib.metadata as md
import re

import pytest

MODULES = ["tilwick", "brenmoor", "quastel", "ferrowen", "hallorn"]


@pytest.fixture(scope="module")
def files():
    return [str(f) for f in md.files("zelkor-installer")]


@pytest.mark.parametrize("module", MODULES)
def test_each_module_ships_built_and_typed(files, module):
    assert any(re.fullmatch(rf"zelkor_installer/utils/{module}\.cpython-313[^/]*\.so", f)
               for f in files)
    assert f"zelkor_installer/utils/{module}.pyi" in files


def test_no_sources_ship_and_the_python_parts_do(files):
    assert not [f for f in files if f.endswith((".cpp", ".hpp", ".h"))]
    for f in ["zelkor_installer/__init__.py", "zelkor_installer/__main__.py",
              "zelkor_installer/constants.py", "zelkor_installer/py.typed",
              "zelkor_installer/utils/__init__.py"]:
        assert f in files


def test_runtime_dependencies_are_declared():
    names = {re.split(r"[ ;<>=\[]", r)[0].lower() for r in md.requires("zelkor-installer")
             if "extra ==" not in r}
    assert names == {"packaging", "platformdirs", "pip"}
