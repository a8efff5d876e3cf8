"""Fixed-input timings for quastel, each beside a Python def doing the same work.

The external commands are replaced by a stand-in that answers at once, so the
probes' own work is what is timed; the report prints to a sink."""

import os
import platform
import re
import sys
import sysconfig
import types

import pip
from packaging.version import Version

from run import Case
from zelkor_installer.utils import quastel

RELEASE = 'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nNAME="Debian GNU/Linux"\nID=debian\n'


class FakeSubprocess:
    def check_output(self, args, text=False):
        return "x86_64\n" if args[0] == "uname" else "14.2.1\n"

    def run(self, args, shell=False, capture_output=False, text=False):
        return types.SimpleNamespace(stdout=RELEASE, returncode=0)


subprocess = FakeSubprocess()
MIN_PYTHON_VERSION = Version("3.9")
MAX_PYTHON_VERSION = Version("3.13")
REQUIRED_BITNESS = "64-bit"
_saved = {}


def _fake():
    _saved["subprocess"] = quastel.subprocess
    quastel.subprocess = subprocess


def _real():
    quastel.subprocess = _saved.pop("subprocess")


def py_get_os_info():
    system = platform.system()
    version = platform.version()
    is_linux = sys.platform == "linux"
    linux_distro = None
    if sys.platform == "darwin":
        version = subprocess.check_output(["sw_vers", "-productVersion"], text=True).strip()
        system = "macOS"
    elif is_linux:
        version = platform.release()
        output = subprocess.run("cat /etc/*-release", shell=True, capture_output=True, text=True)
        match = re.search(r"""PRETTY_NAME=(['"])(.*)\1""", output.stdout.strip())
        linux_distro = match.group(2) if match else None
    return system, version.split(".")[0], linux_distro, is_linux


def py_get_architecture():
    if platform.system().lower() == "windows":
        return sysconfig.get_platform()
    return subprocess.check_output(["uname", "-m"], text=True).strip().lower()


def py_get_current_platform_tag():
    return sysconfig.get_platform().replace("-", "_").replace(".", "_")


def py_get_python_version_code():
    return Version(f"{sys.version_info.major}.{sys.version_info.minor}")


def py_get_system_info():
    os_system, os_version, linux_distro, is_linux = py_get_os_info()
    arch = py_get_architecture()
    python_version = platform.python_version()
    bitness = "64-bit" if sys.maxsize > 4294967296 else "32-bit"
    pip_version = pip.__version__
    processor = platform.processor()
    platform_tag = py_get_current_platform_tag()
    return {
        "os_system": os_system, "os_version": os_version, "linux_distro": linux_distro,
        "architecture": arch, "python_version": python_version, "system_bit": bitness,
        "pip_version": pip_version, "platform_tag": platform_tag, "processor": processor,
        "is_linux": is_linux,
    }


def py_validate_quastel(info):
    errors = []
    python_version = py_get_python_version_code()
    if python_version < MIN_PYTHON_VERSION or python_version > MAX_PYTHON_VERSION:
        errors.append("python_version")
    if info["system_bit"] != REQUIRED_BITNESS:
        errors.append("system_bit")
    return errors


def _quiet():
    _fake()
    _saved["stdout"] = sys.stdout
    sys.stdout = open(os.devnull, "w")


def _loud():
    sys.stdout.close()
    sys.stdout = _saved.pop("stdout")
    _real()


INFO = {"system_bit": "32-bit"}

CASES = [
    Case("get_os_info(fake shell)", "f()", quastel.get_os_info, py_get_os_info,
         setup=_fake, teardown=_real),
    Case("get_architecture(fake uname)", "f()", quastel.get_architecture, py_get_architecture,
         setup=_fake, teardown=_real),
    Case("get_current_platform_tag", "f()", quastel.get_current_platform_tag,
         py_get_current_platform_tag),
    Case("get_python_version_code", "f()", quastel.get_python_version_code,
         py_get_python_version_code),
    Case("get_system_info(fake commands)", "f()", quastel.get_system_info, py_get_system_info,
         setup=_fake, teardown=_real),
    Case("validate_quastel", "f(INFO)", quastel.validate_quastel, py_validate_quastel,
         env={"INFO": INFO}),
    Case("get_user_supported_tags", "f()", quastel.get_user_supported_tags),
    Case("print_check_results(fake commands)", "\ntry: f()\nexcept SystemExit: pass",
         quastel.print_check_results, setup=_quiet, teardown=_loud),
]
