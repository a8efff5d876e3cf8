"""Fixed-input rows for brenmoor.  A tag after a colon names whose work
dominates where it is not the function's own (packaging, importlib)."""

import types

from run import Case, patch

# pip itself is not timed: a stand-in answers as `pip index versions` prints
_ANSWER = types.SimpleNamespace(returncode=0, stderr="",
                                stdout="zelkor (1.2.0)\nAvailable versions: 1.2.0, 1.1.0\n")
FAKE_PIP = patch(subprocess=types.SimpleNamespace(run=lambda *args, **kwargs: _ANSWER))

BEFORE = [f"pkg-{i}" for i in range(60)]
AFTER = BEFORE + ["zelkor-enterprise", "zelkor-bundle-analytics", "numpy"]
TABLE = {"zelkor-enterprise": "base", "zelkor-bundle-analytics": "bundle",
         "zelkor-bundle-reporting": "bundle", "other": "plugin"}
ENV = {"BEFORE": BEFORE, "AFTER": AFTER, "TABLE": TABLE}

CASES = [
    Case("list_current_installed_packages: importlib", "f()"),
    Case("list_current_installed_packages_with_their_version: importlib", "f()"),
    Case("clean_path", "f('  Dist/Zelkor_Enterprise.WHL ')"),
    Case("get_package_name(plain name)", "f(' Zelkor-Enterprise ')"),
    Case("get_package_name(path)", "f('some/dir/Archive.zip')"),
    Case("get_package_name(blank)", "f('   ')"),
    Case("get_package_name(wheel): packaging",
         "f('dist/zelkor_enterprise-1.2.0-py3-none-any.whl')"),
    Case("get_latest_package_version(default index)", "f('zelkor-enterprise')", **FAKE_PIP),
    Case("get_latest_package_version(index)", "f('zelkor-enterprise', 'https://h/simple/')",
         **FAKE_PIP),
    Case("get_latest_package_version(password in URL)",
         "f('zelkor-enterprise', 'https://u:secret@h/simple/')", **FAKE_PIP),
    Case("split_base_and_bundles(product type)", "f(TABLE)", env=ENV),
    Case("split_base_and_bundles(name)", "f(TABLE, False)", env=ENV),
    Case("is_version_bigger(valid)", "f('1.10', '1.9')"),
    Case("is_version_bigger(invalid)", "f('latest', '1.9')"),
    Case("is_version_bigger(None)", "f(None, None)"),
    Case("is_version_bigger(keywords)", "f(installed_version=None, requested_version=None)"),
    Case("is_version_equal(valid)", "f('1.0', '1.0.0')"),
    Case("convert_to_set(list)", "f(['a', 'b', 'c'])"),
    Case("convert_to_set(str)", "f('abc')"),
    Case("convert_to_set(keys view)", "f(TABLE.keys())", env=ENV),
    Case("get_requirement_name(None)", "f(None)"),
    Case("get_requirement_name(text): packaging", "f('zelkor-enterprise[x]>=1.0')"),
    Case("is_none_or_empty_iterate(list)", "f([1])"),
    Case("is_none_or_empty_iterate(int)", "f(5)"),
    Case("determine_additional_zelkor_enterprise_deps(none requested)", "f(BEFORE, AFTER, [])",
         env=ENV),
    Case("determine_additional_zelkor_enterprise_deps(names)",
         "f(BEFORE, AFTER, {'zelkor-enterprise': 'base'}, TABLE)", env=ENV),
    Case("check_is_zelkor_enterprise_included", "f(BEFORE)", env=ENV),
    # calls that fail
    Case("is_version_bigger(three arguments): binding", "f('1.0', '2.0', '3.0')",
         catch="TypeError", binding=True),
    Case("clean_path(None): wrong type", "f(None)", catch="TypeError"),
    Case("get_package_name(wheel without version): packaging", "f('dist/zelkor.whl')",
         catch="Exception"),
]
