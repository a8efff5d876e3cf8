"""Arbitrary Python objects handed to every function: each call returns or
raises an ordinary exception, never crashes the interpreter, and leaves the
module's namespace as it was."""

import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zelkor_installer.utils import brenmoor, ferrowen, hallorn, quastel, tilwick


class Boom(Exception):
    pass


def _raise(*_a, **_k):
    raise Boom("hostile")


def hostile(method):
    """An object whose one special method raises."""
    return type(f"Hostile_{method.strip('_')}", (), {method: _raise})()


class StrSub(str):
    pass


class DictSub(dict):
    pass


# (not __repr__: the test's own reports need to show the objects)
HOSTILE = [hostile(m) for m in ("__eq__", "__len__", "__iter__", "__str__", "__hash__",
                                "__bool__", "__format__")]

plain = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=True), st.binary(max_size=12),
    st.text(max_size=20), st.text(max_size=12).map(StrSub),
    st.sampled_from(["", " ", "zelkor-enterprise", "zelkor-enterprise-x", "1.0", "1.10", "latest",
                     "a.whl", "pkg-1.0.tar.gz", "https://u:p@h:1/p", "http://[::1/", "\r", "\n",
                     "\x03", "\x7f", "install", "download"]),
)
plain_objects = st.recursive(
    plain,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.lists(inner, max_size=4).map(tuple),
        st.dictionaries(st.text(max_size=8), inner, max_size=4),
        st.dictionaries(st.text(max_size=8), inner, max_size=3).map(DictSub),
        st.frozensets(st.text(max_size=6), max_size=3), st.sets(st.integers(), max_size=3),
        st.lists(inner, max_size=3).map(lambda xs: (x for x in xs)),
    ),
    max_leaves=8,
)
# Hostile objects are made after the draw (hypothesis itself compares and
# hashes what it draws), alone or inside the built-in containers.
_index = st.integers(0, len(HOSTILE) - 1)
hostile_objects = st.one_of(
    _index.map(lambda i: HOSTILE[i]),
    st.lists(_index, min_size=1, max_size=3).map(lambda ix: [HOSTILE[i] for i in ix]),
    st.lists(_index, min_size=1, max_size=3).map(lambda ix: tuple(HOSTILE[i] for i in ix)),
    st.lists(_index, min_size=1, max_size=3).map(
        lambda ix: {f"k{n}": HOSTILE[i] for n, i in enumerate(ix)}),
)
objects = st.one_of(plain_objects, hostile_objects)


def finite_keys(items):
    it = iter(list(items) + ["\r"])
    return lambda: next(it)


# The console readers block on a terminal and the report ends the process:
# they are driven with arguments of their own kind below or in their modules' tests.
FUNCTIONS = [
    (tilwick, "print_with_flush", 1), (tilwick, "handle_keypress", 2),
    (tilwick, "print_message", 1), (tilwick, "handle_process_exit_code", 7),
    (tilwick, "display_progress_animation", 7),
    (tilwick, "print_additional_dependencies_installed", 1),
    (tilwick, "print_package_summary", 3), (tilwick, "mask_license_key", 1),
    (brenmoor, "clean_path", 1), (brenmoor, "get_package_name", 1),
    (brenmoor, "get_latest_package_version", 2), (brenmoor, "split_base_and_bundles", 2),
    (brenmoor, "is_version_bigger", 2), (brenmoor, "is_version_equal", 2),
    (brenmoor, "convert_to_set", 1), (brenmoor, "get_requirement_name", 1),
    (brenmoor, "is_none_or_empty_iterate", 1),
    (brenmoor, "determine_additional_zelkor_enterprise_deps", 4),
    (brenmoor, "check_is_zelkor_enterprise_included", 1),
    (quastel, "validate_quastel", 1),
    (ferrowen, "store_package_name", 1), (ferrowen, "remove_package_name", 1),
    (hallorn, "handle_http_error_response", 1),
]

def check_call(module, fn, args):
    before = dict(vars(module))
    try:
        fn(*args)
    except Exception:
        pass
    assert vars(module).keys() == before.keys()
    assert all(vars(module)[k] is v for k, v in before.items())


@pytest.mark.parametrize("module, name, arity", FUNCTIONS, ids=[f[1] for f in FUNCTIONS])
@settings(max_examples=120, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(data=st.data())
def test_arbitrary_arguments(sandbox, module, name, arity, data):
    fn = getattr(module, name)
    args = [data.draw(objects) for _ in range(arity)]
    if name == "display_progress_animation":
        # the process must end: one whose poll gives an arbitrary non-None value
        # or raises, or an arbitrary object
        args[0] = data.draw(st.one_of(
            objects,
            st.builds(lambda rc: types.SimpleNamespace(poll=lambda: rc, returncode=rc),
                      objects.filter(lambda o: o is not None)),
        ))
    check_call(module, fn, args)


@settings(max_examples=120, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(prompt=objects, keys=st.lists(objects, max_size=6))
def test_masked_input_with_arbitrary_keys(sandbox, prompt, keys):
    before = dict(vars(tilwick))
    try:
        tilwick.get_password(prompt, finite_keys(keys))
    except (Exception, KeyboardInterrupt):
        pass
    assert vars(tilwick) == before


@pytest.mark.parametrize("fn", [
    quastel.get_os_info, quastel.get_architecture, quastel.get_current_platform_tag,
    quastel.get_python_version_code, quastel.get_system_info, quastel.get_user_supported_tags,
    brenmoor.list_current_installed_packages, ferrowen.read_stored_packages,
])
@given(args=st.lists(objects, min_size=1, max_size=3))
@settings(max_examples=30, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
def test_parameterless_functions_refuse_arguments(sandbox, fn, args):
    with pytest.raises(TypeError, match=r"takes no arguments"):
        fn(*args)
