"""What the installed distribution carries: the built modules, their stubs,
the Python package, and no C++ sources."""

import importlib.metadata as md
import os
import re
import sys

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


def _built_modules():
    return [f for f in md.files("zelkor-installer") if str(f).endswith(".so")]


@pytest.mark.skipif(sys.platform != "linux", reason="manylinux wheels are Linux's")
@pytest.mark.skipif(os.environ.get("ZELKOR_SANITIZE") == "1",
                    reason="a sanitizer build needs its runtime and is never published")
def test_installed_wheel_is_manylinux_and_needs_no_cxx_runtime():
    wheel = md.distribution("zelkor-installer").read_text("WHEEL")
    assert re.search(r"^Tag: cp313-cp313-manylinux_2_\d+_\w+$", wheel, re.M), wheel
    for so in _built_modules():
        # the dynamic section names every library the module needs
        assert b"libstdc++.so" not in so.locate().read_bytes(), so


def test_metadata_names_license_version_and_command():
    meta = md.metadata("zelkor-installer")
    import zelkor_installer

    assert meta["Version"] == zelkor_installer.__version__
    assert meta["License-Expression"]
    assert any(f.name == "LICENSE" for f in md.files("zelkor-installer"))
    assert meta.get_all("Project-URL")
    assert [ep.value for ep in md.entry_points(group="console_scripts", name="zelkor-installer")] \
        == ["zelkor_installer.__main__:main"]


@pytest.mark.parametrize("command", [
    [os.path.join(os.path.dirname(sys.executable), "zelkor-installer")],
    [sys.executable, "-m", "zelkor_installer"],
])
def test_version_from_either_command(command, tmp_path):
    import subprocess
    import zelkor_installer

    out = subprocess.run([*command, "--version"], capture_output=True, text=True, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split()[-1] == zelkor_installer.__version__
