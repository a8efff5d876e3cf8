# cython: language_level=3
"""Twin of zelkor_installer.utils.brenmoor."""

import os
import pathlib
import subprocess
import sys
from importlib.metadata import distributions
from typing import Dict, Tuple

from packaging.requirements import Requirement
from packaging.utils import parse_sdist_filename, parse_wheel_filename
from packaging.version import InvalidVersion, Version

from zelkor_installer.constants import EXPECTED_PACKAGES, ProductType

BASE_PREFIX = "zelkor-enterprise"


def list_current_installed_packages():
    names = []
    for dist in distributions():
        names.append(dist.metadata["Name"])
    return names


def list_current_installed_packages_with_their_version():
    versions = {}
    for dist in distributions():
        name = dist.metadata["Name"]
        version = dist.metadata["Version"]
        versions[name] = version
    return versions


# The native functions accept exactly a str for an argument annotated "str"
# (and a dict for "Dict[str, str]"), refused before the body runs.
def clean_path(path):
    if type(path) is not str:
        raise TypeError(
            f"Argument 'path' has incorrect type (expected str, got {type(path).__name__})")
    return path.strip().lower()


def get_package_name(file_path):
    if type(file_path) is not str:
        raise TypeError(f"Argument 'file_path' has incorrect type (expected str, got "
                        f"{type(file_path).__name__})")
    if not file_path or not file_path.strip():
        return None
    file_path = clean_path(file_path)
    if file_path is not None and type(file_path) is not str:
        raise TypeError(f"Expected str, got {type(file_path).__name__}")
    if file_path.endswith(".whl") or file_path.endswith(".tar.gz"):
        file_name = os.path.basename(file_path)
        if file_path.endswith(".whl"):
            return parse_wheel_filename(file_name)[0]
        return parse_sdist_filename(file_name)[0]
    return pathlib.PurePath(file_path).name


def get_latest_package_version(package_name, index_url=None):
    args = [sys.executable, "-m", "pip", "index", "versions", package_name]
    # A URL that cannot be taken apart is treated as if it carried a password:
    # it stays off the command line, where every local user could read it.
    carries_password = False
    if index_url and isinstance(index_url, (str, bytes)):
        import urllib.parse

        try:
            carries_password = bool(urllib.parse.urlsplit(index_url).password)
        except ValueError:
            carries_password = True
    if carries_password:
        # pip reads the index from its environment just as from --index-url
        env = {}
        env.update(os.environ)
        env["PIP_INDEX_URL"] = index_url
        result = subprocess.run(args, capture_output=True, text=True, env=env)
    else:
        if index_url:
            args.append("--index-url")
            args.append(index_url)
        result = subprocess.run(args, capture_output=True, text=True)
    if result.returncode != 0:
        return None
    for line in result.stdout.splitlines():
        if not line.startswith("Available versions: "):
            continue
        listing = line.replace("Available versions: ", "")
        return listing.split(",")[0]
    return None


def split_base_and_bundles(packages, use_product_type=True):
    if type(packages) is not dict:
        raise TypeError(f"Argument 'packages' has incorrect type (expected dict, got "
                        f"{type(packages).__name__})")
    base = []
    bundles = []
    if use_product_type:
        for name, product_type in packages.items():
            if product_type == ProductType.BASE.value:
                base.append(name)
                continue
            if product_type == ProductType.BUNDLE.value:
                bundles.append(name)
    else:
        for name in packages:
            if name.startswith(BASE_PREFIX):
                base.append(name)
            else:
                bundles.append(name)
    base.sort()
    bundles.sort()
    return base, bundles


def is_version_bigger(installed_version, requested_version):
    if not isinstance(installed_version, str) or not isinstance(requested_version, str):
        return False
    try:
        return Version(installed_version) > Version(requested_version)
    except InvalidVersion:
        return False


def is_version_equal(installed_version, requested_version):
    if not isinstance(installed_version, str) or not isinstance(requested_version, str):
        return False
    try:
        return Version(installed_version) == Version(requested_version)
    except InvalidVersion:
        return False


def convert_to_set(obj):
    if isinstance(obj, (list, tuple)):
        return set(obj)
    if isinstance(obj, (str, int, float)):
        return {obj}
    if isinstance(obj, dict):
        return set(obj.keys())
    return obj


def get_requirement_name(requirement_name):
    if not isinstance(requirement_name, str):
        return requirement_name
    return Requirement(requirement_name).name


def is_none_or_empty_iterate(obj):
    if obj is None:
        return True
    if not hasattr(obj, "__len__"):
        return False
    return len(obj) == 0


def determine_additional_zelkor_enterprise_deps(
        packages_before_install, packages_after_install, user_requested_packages,
        all_zelkor_enterprise_related_pkgs=EXPECTED_PACKAGES):
    if is_none_or_empty_iterate(user_requested_packages):
        return set()
    before = convert_to_set(packages_before_install)
    after = convert_to_set(packages_after_install)
    requested_items = convert_to_set(user_requested_packages)
    requested = set()
    for p in requested_items:
        requested.add(get_requirement_name(p))
    related = convert_to_set(all_zelkor_enterprise_related_pkgs)
    installed = after.difference(before)
    installed_related = installed.intersection(related)
    return installed_related.difference(requested)


def check_is_zelkor_enterprise_included(packages):
    for name in packages:
        if name.startswith(BASE_PREFIX):
            return True
    return False
