# cython: language_level=3
"""Twin of zelkor_installer.utils.quastel."""

import platform
import re
import subprocess
import sys
import sysconfig

import pip
from packaging.tags import sys_tags
from packaging.version import Version

from zelkor_installer.constants import MAX_PYTHON_VERSION, MIN_PYTHON_VERSION, REQUIRED_BITNESS

from .tilwick import print_message


def get_os_info():
    system = platform.system()
    version = platform.version()
    is_linux = sys.platform == "linux"
    linux_distro = None
    if sys.platform == "darwin":
        printed = subprocess.check_output(["sw_vers", "-productVersion"], text=True)
        version = printed.strip()
        system = "macOS"
    elif is_linux:
        version = platform.release()
        # the shell expands the wildcard; a missing file only leaves no match
        output = subprocess.run("cat /etc/*-release", shell=True, capture_output=True, text=True)
        match = re.search(r"""PRETTY_NAME=(['"])(.*)\1""", output.stdout.strip())
        if match:
            linux_distro = match.group(2)
    return system, version.split(".")[0], linux_distro, is_linux


def get_architecture():
    system = platform.system()
    if system.lower() == "windows":
        return sysconfig.get_platform()
    printed = subprocess.check_output(["uname", "-m"], text=True)
    return printed.strip().lower()


def get_current_platform_tag():
    name = sysconfig.get_platform()
    return name.replace("-", "_").replace(".", "_")


def get_python_version_code():
    return Version(f"{sys.version_info.major}.{sys.version_info.minor}")


def get_system_info():
    os_system, os_version, linux_distro, is_linux = get_os_info()
    arch = get_architecture()
    python_version = platform.python_version()
    bitness = "64-bit" if sys.maxsize > 4294967296 else "32-bit"
    pip_version = pip.__version__
    processor = platform.processor()
    platform_tag = get_current_platform_tag()
    return {
        "os_system": os_system,
        "os_version": os_version,
        "linux_distro": linux_distro,
        "architecture": arch,
        "python_version": python_version,
        "system_bit": bitness,
        "pip_version": pip_version,
        "platform_tag": platform_tag,
        "processor": processor,
        "is_linux": is_linux,
    }


def get_user_supported_tags():
    supported = set()
    for tag in sys_tags():
        supported.add(tag.platform)
    return supported


def validate_quastel(info):
    errors = []
    python_version = get_python_version_code()
    if python_version < MIN_PYTHON_VERSION or python_version > MAX_PYTHON_VERSION:
        errors.append("python_version")
    if info["system_bit"] != REQUIRED_BITNESS:
        errors.append("system_bit")
    return errors


def print_check_results():
    print_message("Verifying system requirements for Zelkor Enterprise: \n")
    info = get_system_info()
    errors = validate_quastel(info)

    def mark(key):
        return " (!)" if key in errors else ""

    print_message(f"Operating system: {info['os_system']}")
    print_message(f"OS Version: {info['os_version']}")
    if info["is_linux"] and info["linux_distro"]:
        print_message(f"Linux Distribution: {info['linux_distro']}")
    print_message(f"Architecture: {info['architecture']}")
    print_message(f"Python Version: {info['python_version']}{mark('python_version')}")
    print_message(f"System bit: {info['system_bit']}{mark('system_bit')}")
    print_message(f"Pip version: {info['pip_version']}")

    print_message("\nResult: " + ("Failed" if errors else "Passed"))
    if errors:
        print_message(
            "Your system may not meet the technical requirements for Zelkor Enterprise. Please "
            "check the items marked by (!) and try updating the Zelkor Installer if something "
            "doesn't seem right."
        )
        print_message("The most up-to-date requirements are on the Zelkor Enterprise docs site.")
        sys.exit(1)
    else:
        print_message("Your system meets the technical requirements for Zelkor Enterprise.")
        sys.exit(0)
