"""The module frame shared by every native module: import-time behaviour,
function objects, argument binding, traceback entries, global lookup."""

import copy
import gc
import inspect
import pickle
import pydoc
import traceback
import weakref

import pytest

from zelkor_installer.utils import brenmoor, tilwick

MODULES = ["tilwick", "brenmoor", "quastel", "ferrowen", "hallorn"]


# ------------------------------------------------------------------ import


@pytest.mark.parametrize("name", MODULES)
def test_second_module_object_is_refused_but_reload_is_not(python, name):
    out = python(f"""
        import importlib, sys
        import zelkor_installer.utils.{name} as m
        assert importlib.reload(m) is m
        del sys.modules['zelkor_installer.utils.{name}']
        try:
            import zelkor_installer.utils.{name}
        except RuntimeError as e:
            print(e)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout == (
        f"Module '{name}' has already been imported. Re-initialisation is not supported.\n"
    )


def test_second_interpreter_is_refused(python):
    out = python("""
        import _interpreters
        import zelkor_installer.utils.hallorn
        interp = _interpreters.create('legacy')
        err = _interpreters.run_string(interp, 'import zelkor_installer.utils.hallorn')
        print(err.type.__name__, err.msg, sep='|')
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout == (
        "ImportError|Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.\n"
    )


@pytest.mark.parametrize(
    "module, missing",
    [("brenmoor", "ProductType"), ("tilwick", "ENTER_KEY"), ("tilwick", "ExitCode")],
)
def test_missing_constant_fails_the_import_with_an_init_entry(python, module, missing):
    # A constants module without one name: the body fails at the import
    # statement, the traceback names the module's init, and once the name is
    # back a second import succeeds (the failed body left nothing behind).
    out = python(f"""
        import sys, traceback
        import zelkor_installer.constants as c
        saved = getattr(c, {missing!r})
        delattr(c, {missing!r})
        try:
            import zelkor_installer.utils.{module}
        except ImportError as e:
            print(type(e).__name__, e.name)
            print({missing!r} in str(e))
            entries = [(f.name, f.filename) for f in traceback.extract_tb(e.__traceback__)]
            print(entries[-1])
        setattr(c, {missing!r}, saved)
        import zelkor_installer.utils.{module} as m
        print(m.__name__)
    """)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == "ImportError zelkor_installer.constants"
    assert lines[1] == "True"
    assert lines[2] == str((f"init zelkor_installer.utils.{module}",
                            f"zelkor_installer/utils/{module}"))
    assert lines[3] == f"zelkor_installer.utils.{module}"


def test_importing_tilwick_imports_brenmoor(python):
    out = python("""
        import sys
        import zelkor_installer.utils.tilwick as t
        b = sys.modules['zelkor_installer.utils.brenmoor']
        print(t.is_version_bigger is b.is_version_bigger, t.is_version_equal is b.is_version_equal)
    """)
    assert out.stdout == "True True\n", out.stderr


# ------------------------------------------------------- function objects


def test_function_attributes_read_like_a_python_function():
    f = brenmoor.is_version_bigger
    assert f.__name__ == "is_version_bigger"
    assert f.__qualname__ == "is_version_bigger"
    assert f.__module__ == "zelkor_installer.utils.brenmoor"
    assert f.__doc__ == "Check if the installed version is greater than the requested version."
    assert f.__defaults__ is None
    assert f.__kwdefaults__ is None
    assert f.__annotations__ == {}
    assert f.__globals__ is vars(brenmoor)
    assert repr(f) == f"<function is_version_bigger at {id(f):#x}>"
    assert callable(f)


@pytest.mark.parametrize(
    "attr, value, error",
    [
        ("__name__", "renamed", None),
        ("__name__", 5, "__name__ must be set to a string object"),
        ("__qualname__", "Outer.renamed", None),
        ("__qualname__", None, "__qualname__ must be set to a string object"),
        ("__doc__", "new doc", None),
        ("__doc__", None, None),
        ("__module__", "elsewhere", None),
        ("__defaults__", ("x",), None),
        ("__defaults__", ["x"], "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", {"a": 1}, None),
        ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
        ("__annotations__", {"a": "int"}, None),
        ("__annotations__", "int", "__annotations__ must be set to a dict object"),
    ],
)
def test_attributes_are_writable_as_a_python_functions_are(attr, value, error):
    def ref():
        pass

    f = brenmoor.is_version_equal
    saved = getattr(f, attr)
    try:
        if error is None:
            setattr(f, attr, value)
            setattr(ref, attr, value)
            assert getattr(f, attr) == getattr(ref, attr) == value
        else:
            with pytest.raises(TypeError) as native:
                setattr(f, attr, value)
            with pytest.raises(TypeError) as python:
                setattr(ref, attr, value)
            assert str(native.value) == str(python.value) == error
    finally:
        setattr(f, attr, saved)
    assert getattr(f, attr) == saved


def test_deleting_defaults_and_annotations_resets_them():
    f = brenmoor.is_version_equal
    f.__annotations__ = {"a": 1}
    del f.__annotations__
    assert f.__annotations__ == {}
    f.__defaults__ = (1,)
    del f.__defaults__
    assert f.__defaults__ is None
    with pytest.raises(TypeError):
        f("1.0")


def test_arbitrary_attributes_and_weak_references():
    f = tilwick.print_message
    f.custom = 42
    try:
        assert f.__dict__["custom"] == 42
        assert weakref.ref(f)() is f
    finally:
        del f.custom
    assert "custom" not in f.__dict__


def test_signature_help_pickle_and_copy():
    f = brenmoor.is_version_bigger
    sig = inspect.signature(f)
    assert str(sig) == "(installed_version, requested_version)"
    assert list(sig.parameters) == ["installed_version", "requested_version"]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    text = pydoc.plain(pydoc.render_doc(f))
    assert "is_version_bigger(installed_version, requested_version)" in text
    assert "Check if the installed version is greater" in text
    assert pickle.loads(pickle.dumps(f)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


def test_signature_shows_defaults_and_annotations():
    f = brenmoor.split_base_and_bundles
    assert str(inspect.signature(f)) == (
        "(packages: 'Dict[str, str]', use_product_type: 'bool' = True) -> 'Tuple[str, list]'"
    )
    g = brenmoor.get_latest_package_version
    assert str(inspect.signature(g)) == "(package_name, index_url=None)"


def test_functions_bind_as_methods_like_python_functions():
    class Holder:
        check = brenmoor.is_version_equal

    assert Holder.check is brenmoor.is_version_equal
    assert Holder().check.__self__.__class__ is Holder
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(3 given\)"):
        Holder().check("1.0", "1.0")
    assert Holder().check("1.0") is False


# ---------------------------------------------------------------- binding

F2 = "is_version_bigger"


def _resolve(dotted):
    module, name = dotted.split(".")
    return getattr({"brenmoor": brenmoor, "tilwick": tilwick}[module], name)


@pytest.mark.parametrize(
    "func, args, kwargs, message",
    [
        # two required parameters
        ("brenmoor.is_version_bigger", (), {}, f"{F2}() takes exactly 2 positional arguments (0 given)"),
        ("brenmoor.is_version_bigger", ("1",), {}, f"{F2}() takes exactly 2 positional arguments (1 given)"),
        ("brenmoor.is_version_bigger", ("1", "2", "3"), {}, f"{F2}() takes exactly 2 positional arguments (3 given)"),
        ("brenmoor.is_version_bigger", ("1", "2", "3"), {"x": 1}, f"{F2}() takes exactly 2 positional arguments (3 given)"),
        ("brenmoor.is_version_bigger", (), {"requested_version": "1"}, f"{F2}() takes exactly 2 positional arguments (0 given)"),
        ("brenmoor.is_version_bigger", (), {"installed_version": "1"}, f"{F2}() takes exactly 2 positional arguments (1 given)"),
        ("brenmoor.is_version_bigger", ("1",), {"installed_version": "1"}, f"{F2}() takes exactly 2 positional arguments (1 given)"),
        ("brenmoor.is_version_bigger", ("1",), {"installed_version": "1", "requested_version": "2"}, f"{F2}() got multiple values for keyword argument 'installed_version'"),
        ("brenmoor.is_version_bigger", ("1", "2"), {"x": 1}, f"{F2}() got an unexpected keyword argument 'x'"),
        ("brenmoor.is_version_bigger", (), {"installed_version": "1", "requested_version": "2", "x": 3}, f"{F2}() got an unexpected keyword argument 'x'"),
        # one required parameter
        ("tilwick.print_message", (), {}, "print_message() takes exactly 1 positional argument (0 given)"),
        ("tilwick.print_message", (1, 2), {}, "print_message() takes exactly 1 positional argument (2 given)"),
        ("tilwick.print_message", (), {"msg": 1}, "print_message() takes exactly 1 positional argument (0 given)"),
        ("tilwick.print_message", (1,), {"message": 1}, "print_message() got multiple values for keyword argument 'message'"),
        # no parameters
        ("tilwick.print_warning_base_connector_package_installed", (1,), {}, "print_warning_base_connector_package_installed() takes no arguments (1 given)"),
        ("tilwick.print_warning_base_connector_package_installed", (), {"a": 1}, "print_warning_base_connector_package_installed() takes no keyword arguments"),
        # a required parameter and a default
        ("brenmoor.get_latest_package_version", (), {}, "get_latest_package_version() takes at least 1 positional argument (0 given)"),
        ("brenmoor.get_latest_package_version", (1, 2, 3), {}, "get_latest_package_version() takes at most 2 positional arguments (3 given)"),
        ("brenmoor.get_latest_package_version", (), {"index_url": "u"}, "get_latest_package_version() takes at least 1 positional argument (0 given)"),
        ("brenmoor.get_latest_package_version", ("p",), {"package_name": "q"}, "get_latest_package_version() got multiple values for keyword argument 'package_name'"),
        ("brenmoor.get_latest_package_version", ("p",), {"index": "u"}, "get_latest_package_version() got an unexpected keyword argument 'index'"),
    ],
)
def test_binding_errors_use_the_interpreters_texts(func, args, kwargs, message):
    func = _resolve(func)
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "func, arg, message",
    [
        ("brenmoor.clean_path", None, "Argument 'path' has incorrect type (expected str, got NoneType)"),
        ("brenmoor.clean_path", b"x", "Argument 'path' has incorrect type (expected str, got bytes)"),
        ("brenmoor.get_package_name", type("S", (str,), {})("x"), "Argument 'file_path' has incorrect type (expected str, got S)"),
        ("brenmoor.split_base_and_bundles", [], "Argument 'packages' has incorrect type (expected dict, got list)"),
        ("brenmoor.split_base_and_bundles", __import__("collections").OrderedDict(), "Argument 'packages' has incorrect type (expected dict, got collections.OrderedDict)"),
    ],
)
def test_annotated_parameters_accept_exactly_their_type(func, arg, message):
    func = _resolve(func)
    with pytest.raises(TypeError) as info:
        func(arg)
    assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        func(**{func.__code__.co_varnames[0]: arg})
    assert str(info.value) == message


def test_keywords_bind_in_any_order_and_defaults_fill_the_rest():
    f = brenmoor.is_version_bigger
    assert f(requested_version="1.0", installed_version="2.0") is True
    assert f("2.0", requested_version="1.0") is True
    assert f(*["1.0"], **{"requested_version": "2.0"}) is False


def test_a_default_replaced_during_the_call_stays_alive():
    # the body runs with the defaults bound at call time even if they go away
    f = brenmoor.split_base_and_bundles
    saved = f.__defaults__
    try:
        f.__defaults__ = (object(),)
        gc.collect()
        base, bundles = f({"zelkor-enterprise-x": "y"})
        assert base == [] and bundles == []
    finally:
        f.__defaults__ = saved


# --------------------------------------------------------- failure entries


def _entries(exc):
    return [(f.name, f.filename) for f in traceback.extract_tb(exc.__traceback__)]


def test_a_failing_function_adds_one_entry_with_its_line():
    with pytest.raises(TypeError) as info:
        tilwick.print_additional_dependencies_installed([1])
    entries = traceback.extract_tb(info.value.__traceback__)
    last = entries[-1]
    assert (last.name, last.filename) == (
        "zelkor_installer.utils.tilwick.print_additional_dependencies_installed",
        "zelkor_installer/utils/tilwick",
    )
    assert last.lineno > 0
    assert len(entries) == 2  # this test's frame, then the native function's


def test_binding_errors_add_the_entry_of_the_function():
    with pytest.raises(TypeError) as info:
        brenmoor.is_version_bigger()
    assert _entries(info.value)[-1] == (
        "zelkor_installer.utils.brenmoor.is_version_bigger",
        "zelkor_installer/utils/brenmoor",
    )


def test_an_exception_from_a_callee_keeps_its_own_entries():
    def boom(message):
        raise LookupError("from the callee")

    saved = tilwick.print_message
    tilwick.print_message = boom
    try:
        with pytest.raises(LookupError) as info:
            tilwick.print_warning_base_connector_package_installed()
    finally:
        tilwick.print_message = saved
    names = [n for n, _ in _entries(info.value)]
    assert names[-2:] == [
        "zelkor_installer.utils.tilwick.print_warning_base_connector_package_installed",
        "boom",
    ]


# --------------------------------------------------------- global lookup


def test_rebinding_a_module_global_takes_effect_at_once(monkeypatch):
    seen = []
    monkeypatch.setattr(tilwick, "print_message", seen.append)
    tilwick.print_warning_base_connector_package_installed()
    assert len(seen) == 1 and seen[0].startswith("\nWarning: ")


def test_module_names_shadow_builtins_and_missing_names_raise_name_error(monkeypatch, capsys):
    printed = []
    monkeypatch.setattr(tilwick, "print", lambda m: printed.append(m), raising=False)
    tilwick.print_message("x")
    assert printed == ["x"] and capsys.readouterr().out == ""
    monkeypatch.delattr(tilwick, "print")
    monkeypatch.delattr(tilwick, "sys")
    with pytest.raises(NameError) as info:
        tilwick.print_with_flush("x")
    assert str(info.value) == "name 'sys' is not defined"
    assert info.value.name == "sys"


def test_an_except_clause_looks_its_class_up_when_reached(monkeypatch):
    class Other(Exception):
        pass

    # InvalidVersion no longer names the parser's error: it propagates
    monkeypatch.setattr(brenmoor, "InvalidVersion", Other)
    with pytest.raises(Exception) as info:
        brenmoor.is_version_equal("latest", "1.0")
    assert type(info.value).__name__ == "InvalidVersion"
    monkeypatch.setattr(brenmoor, "InvalidVersion", "not a class")
    with pytest.raises(TypeError, match="catching classes that do not inherit"):
        brenmoor.is_version_equal("latest", "1.0")


def test_the_frame_is_a_vectorcall_type():
    t = type(tilwick.print_message)
    assert t.__flags__ & (1 << 11)  # Py_TPFLAGS_HAVE_VECTORCALL
    assert t is type(tilwick.print_with_flush)


@pytest.mark.parametrize("rebind", [
    lambda ns, v: ns.__setitem__("print_message", v),
    lambda ns, v: ns.update(print_message=v),
])
def test_every_way_of_changing_the_namespace_is_seen_at_the_next_call(rebind, capsys):
    # looked-up names may be remembered between calls only while nothing changed
    ns = vars(tilwick)
    original = ns["print_message"]
    seen = []
    try:
        tilwick.print_warning_base_connector_package_installed()  # found and remembered
        rebind(ns, seen.append)
        tilwick.print_warning_base_connector_package_installed()
    finally:
        ns["print_message"] = original
    assert len(seen) == 1
    tilwick.print_warning_base_connector_package_installed()
    assert capsys.readouterr().out.count("Warning:") == 2


def test_a_change_to_the_builtins_is_seen_at_the_next_call(monkeypatch, capsys):
    import builtins

    printed = []
    tilwick.print_message("first")
    monkeypatch.setattr(builtins, "print", printed.append)
    tilwick.print_message("second")
    monkeypatch.undo()
    tilwick.print_message("third")
    assert printed == ["second"]
    assert capsys.readouterr().out == "first\nthird\n"
