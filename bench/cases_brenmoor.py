"""Fixed-input timings for brenmoor, each beside a Python def doing the same work."""

import os
import pathlib
import types

from packaging.requirements import Requirement
from packaging.utils import parse_sdist_filename, parse_wheel_filename
from packaging.version import InvalidVersion, Version

from run import Case
from zelkor_installer.constants import EXPECTED_PACKAGES, ProductType
from zelkor_installer.utils import brenmoor

BASE_PREFIX = "zelkor-enterprise"


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


def py_clean_path(path: str):
    return path.strip().lower()


def py_get_package_name(file_path: str):
    if not file_path or not file_path.strip():
        return None
    file_path = py_clean_path(file_path)
    if file_path.endswith(".whl") or file_path.endswith(".tar.gz"):
        file_name = os.path.basename(file_path)
        if file_path.endswith(".whl"):
            return parse_wheel_filename(file_name)[0]
        return parse_sdist_filename(file_name)[0]
    return pathlib.PurePath(file_path).name


def py_get_requirement_name(requirement_name):
    if isinstance(requirement_name, str):
        return Requirement(requirement_name).name
    return requirement_name


def py_split_base_and_bundles(packages: dict, use_product_type=True):
    base, bundles = [], []
    if use_product_type:
        for name, product_type in packages.items():
            if product_type == ProductType.BASE.value:
                base.append(name)
            elif product_type == ProductType.BUNDLE.value:
                bundles.append(name)
    else:
        for name in packages:
            if name.startswith(BASE_PREFIX):
                base.append(name)
            else:
                bundles.append(name)
    return sorted(base), sorted(bundles)


def py_check_is_zelkor_enterprise_included(packages):
    for name in packages:
        if name.startswith(BASE_PREFIX):
            return True
    return False


def py_convert_to_set(obj):
    if isinstance(obj, (list, tuple)):
        return set(obj)
    if isinstance(obj, (str, int, float)):
        return {obj}
    if isinstance(obj, dict):
        return set(obj.keys())
    return obj


def py_is_none_or_empty_iterate(obj):
    if obj is None:
        return True
    if not hasattr(obj, "__len__"):
        return False
    return len(obj) == 0


def py_determine_additional_zelkor_enterprise_deps(before, after, requested,
                                                   related=EXPECTED_PACKAGES):
    if py_is_none_or_empty_iterate(requested):
        return set()
    before = py_convert_to_set(before)
    after = py_convert_to_set(after)
    requested = {py_get_requirement_name(p) for p in py_convert_to_set(requested)}
    related = py_convert_to_set(related)
    return after.difference(before).intersection(related).difference(requested)


def py_list_current_installed_packages():
    return [dist.metadata["Name"] for dist in brenmoor.distributions()]


# pip itself is not timed: a stand-in answers as `pip index versions` prints
_saved = {}


def _fake_pip():
    answer = types.SimpleNamespace(returncode=0, stderr="",
                                   stdout="zelkor (1.2.0)\nAvailable versions: 1.2.0, 1.1.0\n")
    _saved["subprocess"] = brenmoor.subprocess
    brenmoor.subprocess = types.SimpleNamespace(run=lambda *args, **kwargs: answer)


def _real_pip():
    brenmoor.subprocess = _saved.pop("subprocess")


BEFORE = [f"pkg-{i}" for i in range(60)]
AFTER = BEFORE + ["zelkor-enterprise", "zelkor-bundle-analytics", "numpy"]
TABLE = {"zelkor-enterprise": "base", "zelkor-bundle-analytics": "bundle",
         "zelkor-bundle-reporting": "bundle", "other": "plugin"}
ENV = {"BEFORE": BEFORE, "AFTER": AFTER, "TABLE": TABLE}

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
    Case("list_current_installed_packages: importlib", "f()",
         brenmoor.list_current_installed_packages, py_list_current_installed_packages),
    Case("clean_path", "f('  Dist/Zelkor_Enterprise.WHL ')", brenmoor.clean_path, py_clean_path),
    Case("get_package_name(plain name)", "f(' Zelkor-Enterprise ')", brenmoor.get_package_name,
         py_get_package_name),
    Case("get_package_name(path)", "f('some/dir/Archive.zip')", brenmoor.get_package_name,
         py_get_package_name),
    Case("get_package_name(blank)", "f('   ')", brenmoor.get_package_name, py_get_package_name),
    Case("get_package_name(wheel): packaging",
         "f('dist/zelkor_enterprise-1.2.0-py3-none-any.whl')", brenmoor.get_package_name,
         py_get_package_name),
    Case("get_latest_package_version: fake pip", "f('zelkor-enterprise', 'https://h/simple/')",
         brenmoor.get_latest_package_version, setup=_fake_pip, teardown=_real_pip),
    Case("split_base_and_bundles(product type)", "f(TABLE)", brenmoor.split_base_and_bundles,
         py_split_base_and_bundles, env=ENV),
    Case("split_base_and_bundles(name)", "f(TABLE, False)", brenmoor.split_base_and_bundles,
         py_split_base_and_bundles, env=ENV),
    Case("convert_to_set(list)", "f(['a', 'b', 'c'])", brenmoor.convert_to_set, py_convert_to_set),
    Case("convert_to_set(str)", "f('abc')", brenmoor.convert_to_set, py_convert_to_set),
    Case("convert_to_set(set)", "f(TABLE.keys())", brenmoor.convert_to_set, py_convert_to_set,
         env=ENV),
    Case("get_requirement_name(None)", "f(None)", brenmoor.get_requirement_name,
         py_get_requirement_name),
    Case("get_requirement_name(text): packaging", "f('zelkor-enterprise[x]>=1.0')",
         brenmoor.get_requirement_name, py_get_requirement_name),
    Case("is_none_or_empty_iterate(list)", "f([1])", brenmoor.is_none_or_empty_iterate,
         py_is_none_or_empty_iterate),
    Case("is_none_or_empty_iterate(int)", "f(5)", brenmoor.is_none_or_empty_iterate,
         py_is_none_or_empty_iterate),
    Case("determine_additional_zelkor_enterprise_deps(none requested)", "f(BEFORE, AFTER, [])",
         brenmoor.determine_additional_zelkor_enterprise_deps,
         py_determine_additional_zelkor_enterprise_deps, env=ENV),
    Case("determine_additional_zelkor_enterprise_deps(names)",
         "f(BEFORE, AFTER, {'zelkor-enterprise': 'base'}, TABLE)",
         brenmoor.determine_additional_zelkor_enterprise_deps,
         py_determine_additional_zelkor_enterprise_deps, env=ENV),
    Case("check_is_zelkor_enterprise_included", "f(BEFORE)",
         brenmoor.check_is_zelkor_enterprise_included, py_check_is_zelkor_enterprise_included,
         env=ENV),
]
