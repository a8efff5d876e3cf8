"""Fixed-input timings for brenmoor, each beside a Python def doing the same work."""

from packaging.version import InvalidVersion, Version

from run import Case
from zelkor_installer.utils import brenmoor


def py_is_version_bigger(installed_version, requested_version):
    if not isinstance(installed_version, str) or not isinstance(requested_version, str):
        return False
    try:
        return Version(installed_version) > Version(requested_version)
    except InvalidVersion:
        return False


def py_is_version_equal(installed_version, requested_version):
    if not isinstance(installed_version, str) or not isinstance(requested_version, str):
        return False
    try:
        return Version(installed_version) == Version(requested_version)
    except InvalidVersion:
        return False


CASES = [
    Case("is_version_bigger(valid)", "f('1.10', '1.9')", brenmoor.is_version_bigger,
         py_is_version_bigger),
    Case("is_version_bigger(invalid)", "f('latest', '1.9')", brenmoor.is_version_bigger,
         py_is_version_bigger),
    Case("is_version_bigger(None): frame", "f(None, None)", brenmoor.is_version_bigger,
         py_is_version_bigger),
    Case("is_version_bigger(keywords): frame",
         "f(installed_version=None, requested_version=None)", brenmoor.is_version_bigger,
         py_is_version_bigger),
    Case("is_version_equal(valid)", "f('1.0', '1.0.0')", brenmoor.is_version_equal,
         py_is_version_equal),
]
