import os
import pathlib
import subprocess
import sys
import types

import pytest
from hypothesis import given, settings, strategies as st
from packaging.requirements import InvalidRequirement
from packaging.utils import InvalidSdistFilename, InvalidWheelFilename
from packaging.version import Version

from index_server import IndexServer
from zelkor_installer.utils import brenmoor as b


def test_module_layout():
    names = list(vars(b))
    assert names[names.index("BASE_PREFIX"):] == [
        "BASE_PREFIX", "list_current_installed_packages",
        "list_current_installed_packages_with_their_version", "clean_path", "get_package_name",
        "get_latest_package_version", "split_base_and_bundles", "is_version_bigger",
        "is_version_equal", "convert_to_set", "get_requirement_name", "is_none_or_empty_iterate",
        "determine_additional_zelkor_enterprise_deps", "check_is_zelkor_enterprise_included"]
    assert b.split_base_and_bundles.__annotations__ == {
        "packages": "Dict[str, str]", "use_product_type": "bool", "return": "Tuple[str, list]"}
    assert (b.get_latest_package_version.__defaults__, b.split_base_and_bundles.__defaults__) == (
        (None,), (True,))


@pytest.mark.parametrize("installed, requested, bigger, equal", [
    ("1.10", "1.9", True, False), ("1.9", "1.10", False, False), ("2.0.0", "2.0.0", False, True),
    ("1.0", "1.0.0", False, True), ("2.0.0", "2.0.0rc1", True, False),
    ("latest", "1.0", False, False), ("1.0", "latest", False, False),
    (None, "1.0", False, False), (Version("2.0"), "1.0", False, False),
    (" 1.0\n", "1.0", False, True),
])
def test_version_comparison(installed, requested, bigger, equal):
    assert b.is_version_bigger(installed, requested) is bigger
    assert b.is_version_equal(installed, requested) is equal


def add_dist(root, name, version):
    (root / f"{name}-{version}.dist-info").mkdir(parents=True)
    (root / f"{name}-{version}.dist-info" / "METADATA").write_text(
        f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n")


def test_inventory_reads_the_search_path_afresh(tmp_path, monkeypatch):
    dirs = [tmp_path / d for d in ("one", "two", "three", "four")]
    for d, (name, version) in zip(dirs, [("Foo-Bar", "1.0"), ("baz", "2.1"), ("Foo-Bar", "1.5")]):
        add_dist(d, name, version)
    monkeypatch.setattr(sys, "path", [str(d) for d in dirs])
    names = b.list_current_installed_packages()
    versions = b.list_current_installed_packages_with_their_version()
    assert names == ["Foo-Bar", "baz", "Foo-Bar"]
    assert list(versions.items()) == [("Foo-Bar", "1.5"), ("baz", "2.1")]
    names.clear()
    add_dist(dirs[3], "zelkor_Enterprise", "3.0")
    assert b.list_current_installed_packages()[2:] == ["Foo-Bar", "zelkor_Enterprise"]
    assert b.list_current_installed_packages_with_their_version()["zelkor_Enterprise"] == "3.0"


@pytest.mark.parametrize("f, param, expected", [
    (b.clean_path, "path", "str"), (b.get_package_name, "file_path", "str"),
    (b.split_base_and_bundles, "packages", "dict")])
@pytest.mark.parametrize("bad", [None, type("Text", (str,), {})("a"), ["a"],
                                 type("Table", (dict,), {})()])
def test_argument_types_are_exact(f, param, expected, bad):
    with pytest.raises(TypeError) as e:
        f(bad)
    assert str(e.value) == (f"Argument '{param}' has incorrect type "
                            f"(expected {expected}, got {type(bad).__name__})")


@pytest.mark.parametrize("text, cleaned", [
    (" \tSome/Dir\n ", "some/dir"), ("\u2003ÄÖ İ\u3000", "äö i̇"),
    ("ΟΔΟΣ", "\u03bf\u03b4\u03bf\u03c2")])
def test_clean_path(text, cleaned):
    assert b.clean_path(text) == cleaned


@pytest.mark.parametrize("path, name", [
    ("", None), (" \t\n", None), ("\u3000", None), ("Zelkor-Enterprise", "zelkor-enterprise"),
    ("  DIST/Zelkor_Enterprise-1.2.0-PY3-none-any.WHL\t", "zelkor-enterprise"),
    ("dist/Zelkor-Bundle-X-0.3.0.tar.gz", "zelkor-bundle-x"),
    ("some/dir/archive.zip", "archive.zip"),
    ("/a/b/./", "b"), ("a/..", ".."), ("/", ""), ("a\\B.zip", "a\\b.zip"),
    ("zelkor_enterprise.whl", InvalidWheelFilename), ("zelkor.tar.gz", InvalidSdistFilename),
])
def test_get_package_name(path, name):
    if isinstance(name, type):
        with pytest.raises(name):
            b.get_package_name(path)
    else:
        assert b.get_package_name(path) == name


def reference_package_name(text):
    if not text.strip():
        return None
    text = text.strip().lower()
    if text.endswith(".whl"):
        return b.parse_wheel_filename(os.path.basename(text))[0]
    if text.endswith(".tar.gz"):
        return b.parse_sdist_filename(os.path.basename(text))[0]
    return pathlib.PurePath(text).name


@given(st.text(alphabet="aZ/.\\ \t-_é1", max_size=12))
@settings(deadline=None)
def test_get_package_name_matches_pathlib(text):
    try:
        expected = reference_package_name(text)
    except Exception as e:
        with pytest.raises(type(e)):
            b.get_package_name(text)
    else:
        assert b.get_package_name(text) == expected


def test_get_package_name_honours_module_names(monkeypatch):
    monkeypatch.setattr(os, "name", "nt")  # makes PurePath a Windows path
    assert b.get_package_name("C:\\Dist\\Archive.ZIP") == "archive.zip"
    monkeypatch.undo()
    monkeypatch.setattr(b, "pathlib", types.SimpleNamespace(PurePath=pathlib.PureWindowsPath))
    assert b.get_package_name("a\\b.zip") == "b.zip"
    monkeypatch.setattr(b, "clean_path", lambda path: 5)
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        b.get_package_name("a")
    monkeypatch.setattr(b, "clean_path", lambda path: None)
    with pytest.raises(AttributeError, match=r"^'NoneType' object has no attribute 'endswith'$"):
        b.get_package_name("a")


@pytest.mark.parametrize("requirement, name", [
    ('zelkor-enterprise[extra]>=1.0; python_version >= "3.9"', "zelkor-enterprise"),
    ("Zelkor_Enterprise==2.0", "Zelkor_Enterprise"), (None, None), (5, 5),
    ("not a requirement!", InvalidRequirement)])
def test_get_requirement_name(requirement, name):
    if isinstance(name, type):
        with pytest.raises(name):
            b.get_requirement_name(requirement)
    else:
        assert b.get_requirement_name(requirement) == name


class FakeSubprocess:
    """Stands in for the subprocess module: records each call, answers as told."""

    def __init__(self, stdout="", returncode=0, real=False):
        self.calls, self.stdout, self.returncode, self.real = [], stdout, returncode, real

    def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.real:
            return subprocess.run(*args, **kwargs)
        return types.SimpleNamespace(returncode=self.returncode, stdout=self.stdout, stderr="x")


@pytest.mark.parametrize("stdout, returncode, version", [
    ("zelkor (3.1.0)\nAvailable versions: 3.1.0, 3.0.2, 2.9.9\n", 0, "3.1.0"),
    ("Available versions: 1.0, 2.0\r\nAvailable versions: 9.0", 0, "1.0"),
    ("x\rAvailable versions: 4.0\x1cAvailable versions: 5.0", 0, "4.0"),
    ("Available versions: 1.2.0", 0, "1.2.0"), ("Available versions: ", 0, ""),
    ("Available versions: 3.1.0, 3.0.2", 1, None), ("zelkor (3.1.0)\n", 0, None),
    (" Available versions: 1.0\navailable versions: 2.0\nAvailable versions:3.0", 0, None),
])
def test_version_from_pip_output(monkeypatch, stdout, returncode, version):
    monkeypatch.setattr(b, "subprocess", FakeSubprocess(stdout, returncode))
    assert b.get_latest_package_version("zelkor") == version


@pytest.mark.parametrize("index_url, on_command_line, in_environment", [
    (None, False, False), ("", False, False), ("https://example.org/simple/", True, False),
    ("https://user:@example.org/simple/", True, False),
    ("https://user:pw@example.org/simple/", False, True),
    ("https://:pw@example.org/simple/", False, True),
    ("https://user:pw@[::1/simple/", False, True),  # cannot be taken apart, so not vetted
])
def test_index_query_command(monkeypatch, index_url, on_command_line, in_environment):
    fake = FakeSubprocess("Available versions: 1.0")
    monkeypatch.setattr(b, "subprocess", fake)
    monkeypatch.setattr(b.sys, "executable", "/opt/python")
    assert b.get_latest_package_version("zelkor-enterprise", index_url) == "1.0"
    [(args, kwargs)] = fake.calls
    command = ["/opt/python", "-m", "pip", "index", "versions", "zelkor-enterprise"]
    assert args == (command + ["--index-url", index_url] * on_command_line,)
    env = kwargs.pop("env", None)
    assert kwargs == {"capture_output": True, "text": True}
    assert env == ({**os.environ, "PIP_INDEX_URL": index_url} if in_environment else None)


@pytest.fixture
def index(tmp_path, monkeypatch):
    for f in ["zelkor_enterprise-1.2.0-py3-none-any.whl", "zelkor_enterprise-1.10.0.tar.gz",
              "zelkor_enterprise-1.9.0-py3-none-any.whl"]:
        (tmp_path / f).write_bytes(b"")
    # only the index under test: no configured indexes, links or prompts
    monkeypatch.setenv("PIP_CONFIG_FILE", os.devnull)
    monkeypatch.setenv("PIP_NO_INPUT", "1")
    for name in ("PIP_FIND_LINKS", "PIP_EXTRA_INDEX_URL", "PIP_INDEX_URL"):
        monkeypatch.delenv(name, raising=False)
    with IndexServer(tmp_path, auth=("zelkor user", "p@ss:word")) as server:
        yield server


@pytest.mark.parametrize("with_auth", [True, False])
def test_real_pip_query(index, monkeypatch, with_auth):
    recorder = FakeSubprocess(real=True)
    monkeypatch.setattr(b, "subprocess", recorder)
    url = index.url_with_auth if with_auth else index.url
    index.auth = index.auth if with_auth else None
    assert b.get_latest_package_version("Zelkor_Enterprise", url) == "1.10.0"
    assert b.get_latest_package_version("nothing-here", url) is None
    assert [path for path, _ in index.requests] == ["/simple/zelkor-enterprise/",
                                                    "/simple/nothing-here/"]
    for (args,), kwargs in recorder.calls:
        assert not any("word" in arg for arg in args)
        assert kwargs.get("env", {}).get("PIP_INDEX_URL") == (url if with_auth else None)
    if with_auth:
        assert {auth for _, auth in index.requests} == {"Basic emVsa29yIHVzZXI6cEBzczp3b3Jk"}


TABLE = {"zelkor-enterprise": "base", "zelkor-bundle-b": "bundle", "Zelkor-bundle-a": "bundle",
         "other-package": "plugin", "core": "base", "zelkor-enterprise-x": "bundle"}
BY_NAME = (["zelkor-enterprise", "zelkor-enterprise-x"],
           ["Zelkor-bundle-a", "core", "other-package", "zelkor-bundle-b"])


@pytest.mark.parametrize("use_product_type, split", [
    (True, (["core", "zelkor-enterprise"],
            ["Zelkor-bundle-a", "zelkor-bundle-b", "zelkor-enterprise-x"])),
    (False, BY_NAME), (0, BY_NAME), (None, BY_NAME), ("", BY_NAME)])
def test_split_base_and_bundles(use_product_type, split):
    table = dict(TABLE)
    result = b.split_base_and_bundles(table, use_product_type)
    assert type(result) is tuple and result == split
    result[0].append("changed")
    assert table == TABLE and b.split_base_and_bundles({}, use_product_type) == ([], [])


def test_split_reads_names_afresh(monkeypatch):
    reads = []

    class Types:
        def __getattr__(self, kind):
            reads.append(kind)
            return types.SimpleNamespace(value=kind.lower())

    monkeypatch.setattr(b, "ProductType", Types())
    assert b.split_base_and_bundles({"a": "base", "b": "bundle", "c": "x"}) == (["a"], ["b"])
    assert reads == ["BASE", "BASE", "BUNDLE", "BASE", "BUNDLE"]

    class Name(str):
        def startswith(self, prefix):  # rebinds the prefix in the middle of a walk
            monkeypatch.setattr(b, "BASE_PREFIX", "zelkor-bundle")
            return False

    names = ["zelkor-bundle-b", Name("z"), "zelkor-bundle-a"]
    assert b.split_base_and_bundles(dict.fromkeys(names), False) == (
        ["zelkor-bundle-a"], ["z", "zelkor-bundle-b"])
    for walked in (names, iter(names), tuple(names)):
        monkeypatch.undo()
        assert b.check_is_zelkor_enterprise_included(walked)
    monkeypatch.undo()
    assert not b.check_is_zelkor_enterprise_included(names[:2])


class Grows(str):
    """A product type whose comparison adds an entry to the table being walked."""

    def __eq__(self, other):
        GROWING["added"] = "base"
        return False

    __hash__ = str.__hash__


GROWING = {"a": Grows("x")}


class Swaps(str):
    """A product type whose comparison swaps one key of the table for another."""

    def __eq__(self, other):
        if "a" in SWAPPING:
            del SWAPPING["a"]
            SWAPPING["z"] = "bundle"
        return False

    __hash__ = str.__hash__


SWAPPING = {}


@pytest.mark.parametrize("table, use_product_type, error", [
    (GROWING, True, "dictionary changed size during iteration"),
    (SWAPPING, True, "dictionary keys changed during iteration"),
    ({5: "base"}, False, "'int' object has no attribute 'startswith'"),
    ({"a": "base", 5: "base"}, True, "'<' not supported between instances of 'int' and 'str'"),
])
def test_split_failures(table, use_product_type, error):
    GROWING.pop("added", None)
    SWAPPING.clear()
    SWAPPING.update({"a": Swaps("x"), "b": "bundle"})
    with pytest.raises((RuntimeError, AttributeError, TypeError), match=f"^{error}$"):
        b.split_base_and_bundles(table, use_product_type)


@pytest.mark.parametrize("packages, included", [
    ([], False), (["Zelkor-Enterprise"], False), (("a", "zelkor-enterprise-x"), True),
    ({"my-zelkor-enterprise"}, False), (iter(["zelkor-enterprise"]), True),
    (["zelkor-enterprise", 5], True), ("zelkor", False),
    (None, TypeError), ([5, "zelkor-enterprise"], AttributeError)])
def test_check_is_zelkor_enterprise_included(packages, included):
    if isinstance(included, type):
        with pytest.raises(included):
            b.check_is_zelkor_enterprise_included(packages)
    else:
        assert b.check_is_zelkor_enterprise_included(packages) is included


@pytest.mark.parametrize("obj, result", [
    (["a", "b", "a"], {"a", "b"}), (("a",), {"a"}), ("abc", {"abc"}), (5, {5}), (True, {True}),
    (1.5, {1.5}), ({"k": 1, "j": 2}, {"k", "j"}), ({"a"}, None), (frozenset("a"), None),
    (None, None), ((x for x in "a"), None), (b"ab", None)])
def test_convert_to_set(obj, result):
    converted = b.convert_to_set(obj)
    assert converted is obj if result is None else (type(converted), converted) == (set, result)


@pytest.mark.parametrize("obj, empty", [
    (None, True), ([], True), ((), True), ({}, True), (set(), True), ("", True), (b"", True),
    (0, False), ((1,), False), ("a", False), (iter([]), False), (object(), False)])
def test_is_none_or_empty_iterate(obj, empty):
    assert b.is_none_or_empty_iterate(obj) is empty


AFTER = ("a", "zelkor-enterprise", "zelkor-bundle-x", "zelkor-bundle-y", "numpy")
BOTH = {"zelkor-enterprise", "zelkor-bundle-x"}


@pytest.mark.parametrize("requested, extras", [
    ("zelkor-enterprise", {"zelkor-bundle-x"}),
    (["zelkor-enterprise[extra]>=1.0; python_version >= '3'"], {"zelkor-bundle-x"}),
    ({"zelkor-enterprise[extra]>=1.0": "base"}, {"zelkor-bundle-x"}),
    (frozenset({"zelkor-bundle-x"}), {"zelkor-enterprise"}), ("ZELKOR-ENTERPRISE", BOTH),
    (7, BOTH), ((x for x in []), BOTH), (None, set()), ([], set()), ({}, set()), ("", set())])
def test_determine_additional_deps(requested, extras):
    result = b.determine_additional_zelkor_enterprise_deps(
        ["a", "zelkor-bundle-y"], AFTER, requested, set(BOTH) | {"zelkor-bundle-y"})
    assert type(result) is set and result == extras


def test_determine_additional_deps_bindings(monkeypatch):
    assert b.determine_additional_zelkor_enterprise_deps.__defaults__[0] is b.EXPECTED_PACKAGES
    monkeypatch.setattr(b, "EXPECTED_PACKAGES", ["numpy"])  # the default stays as defined
    assert b.determine_additional_zelkor_enterprise_deps([], AFTER, "x") == {"zelkor-enterprise"}
    with pytest.raises(InvalidRequirement):
        b.determine_additional_zelkor_enterprise_deps([], [], ["not valid!"])
    with pytest.raises(AttributeError):
        b.determine_additional_zelkor_enterprise_deps([], None, ["a"], [])
    monkeypatch.setattr(b, "get_requirement_name", str.upper)
    assert b.determine_additional_zelkor_enterprise_deps([], "AB", ["ab"], ["AB"]) == set()
