"""Shared installer constants: message tables, key codes, enumerations and limits.

The native modules bind these names when they are imported, so a name missing
here makes the importing module fail to load.
"""

from enum import Enum, IntEnum

from packaging.version import Version


class ExitCode(IntEnum):
    """Exit status of a pip subprocess; compares equal to the integer code."""

    SUCCESS = 0
    ERROR = 1


class ProductType(Enum):
    """Kind of a package of the private set."""

    BASE = "base"
    BUNDLE = "bundle"


# Outcome line of one finished package, by action.
ACTION_SUCCESS_MESSAGE = {
    "install": "Installed successfully.",
    "download": "Downloaded successfully.",
}
ACTION_SUCCESS_ALREADY_UPDATED = {
    "install": "Already up to date.",
    "download": "Already up to date.",
}
ACTION_SUCCESS_ALREADY_INSTALLED = {
    "install": "Already installed.",
    "download": "Already downloaded.",
}
ACTION_ERROR_MESSAGE = {
    "install": "Installation failed.",
    "download": "Download failed.",
}

# Closing verdict of a run, by action.
SUMMARY_SUCCESS_MESSAGE = {
    "install": "Zelkor Enterprise was installed successfully.",
    "download": "Zelkor Enterprise was downloaded successfully.",
}
SUMMARY_PARTIAL_SUCCESS_MESSAGE = {
    "install": "All requested packages were installed successfully.",
    "download": "All requested packages were downloaded successfully.",
}
SUMMARY_WARNING_MESSAGE = {
    "install": "Some packages could not be installed. Please check the messages above.",
    "download": "Some packages could not be downloaded. Please check the messages above.",
}

ADDITIONAL_DEPS_MESSAGE_PREFIX = "The following related packages were installed as dependencies"

# Keys as a raw POSIX terminal and msvcrt.getch deliver them.
BACKSPACE_KEYS = ("\x7f", "\x08")
ENTER_KEY = "\r"
NEWLINE_KEY = "\n"

# Every base package and bundle, spelled as their "Name" metadata spells them.
EXPECTED_PACKAGES = [
    "zelkor-enterprise",
    "zelkor-enterprise-core",
    "zelkor-bundle-analytics",
    "zelkor-bundle-connectors",
    "zelkor-bundle-reporting",
]

# Interpreter requirements, inclusive, at major.minor level.
MIN_PYTHON_VERSION = Version("3.9")
MAX_PYTHON_VERSION = Version("3.13")
REQUIRED_BITNESS = "64-bit"
