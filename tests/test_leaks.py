"""Every function, called many times with typical arguments and with arguments
that make it fail, holds on to nothing: the arguments' reference counts and
the memory the interpreter has allocated do not grow."""

import gc
import sys
import tracemalloc

import pytest

from zelkor_installer.utils import brenmoor, ferrowen, hallorn, quastel, tilwick


class Done:
    """A finished process."""

    def __init__(self, returncode):
        self.returncode = returncode

    def poll(self):
        return self.returncode


class Response:
    def __init__(self, status, body=None, text="plain"):
        self.status_code = status
        self._body = body
        self.text = text

    def json(self):
        if self._body is None:
            raise ValueError("not json")
        return self._body


def keys(*seq):
    it = iter(seq)
    return lambda: next(it)


# (label, function, argument factory, exception the call raises or None)
CASES = [
    ("print_with_flush", tilwick.print_with_flush, lambda: ("abc",), None),
    ("print_with_flush/bad", tilwick.print_with_flush, lambda: (5,), TypeError),
    ("handle_keypress", tilwick.handle_keypress, lambda: ("a", "pw"), None),
    ("handle_keypress/back", tilwick.handle_keypress, lambda: ("\x7f", "pw"), None),
    ("handle_keypress/bad", tilwick.handle_keypress, lambda: ("a", None), TypeError),
    ("get_password", tilwick.get_password, lambda: ("P: ", keys("a", b"b", "\x7f", "c", "\r")), None),
    ("get_password/ctrl-c", tilwick.get_password, lambda: ("P: ", keys("a", "\x03")), KeyboardInterrupt),
    ("get_password/eof", tilwick.get_password, lambda: ("P: ", keys("a", "")), EOFError),
    ("get_password/raises", tilwick.get_password, lambda: ("P: ", keys()), StopIteration),
    ("print_message", tilwick.print_message, lambda: ("line",), None),
    ("handle_process_exit_code", tilwick.handle_process_exit_code,
     lambda: (Done(0), "p", "p (version 1.0)", "1.0", "install", {"p": "1.0"}, True), None),
    ("handle_process_exit_code/error", tilwick.handle_process_exit_code,
     lambda: (Done(1), "p", "p", None, "download"), None),
    ("handle_process_exit_code/bad", tilwick.handle_process_exit_code,
     lambda: (object(), "p", "p"), AttributeError),
    ("print_warning", tilwick.print_warning_base_connector_package_installed, lambda: (), None),
    ("print_additional", tilwick.print_additional_dependencies_installed, lambda: (["a", "b"],), None),
    ("print_additional/bad", tilwick.print_additional_dependencies_installed, lambda: ([1],), TypeError),
    ("print_additional/nolen", tilwick.print_additional_dependencies_installed, lambda: (5,), TypeError),
    ("print_package_summary", tilwick.print_package_summary, lambda: ("install", {"a": 1}, True), None),
    ("print_package_summary/bad", tilwick.print_package_summary, lambda: ("nope", {}, True), KeyError),
    ("mask_license_key", tilwick.mask_license_key, lambda: ("https://u:p@Host:8080/s?q#f",), None),
    ("mask_license_key/plain", tilwick.mask_license_key, lambda: ("https://host/",), None),
    ("mask_license_key/bad", tilwick.mask_license_key, lambda: ("http://[::1/",), ValueError),
    ("is_version_bigger", brenmoor.is_version_bigger, lambda: ("1.10", "1.9"), None),
    ("is_version_bigger/invalid", brenmoor.is_version_bigger, lambda: ("latest", "1.9"), None),
    ("is_version_equal", brenmoor.is_version_equal, lambda: ("1.0", "1.0.0"), None),
    ("is_version_equal/none", brenmoor.is_version_equal, lambda: (None, "1.0"), None),
    ("inventory", brenmoor.list_current_installed_packages, lambda: (), None),
    ("inventory/versions", brenmoor.list_current_installed_packages_with_their_version,
     lambda: (), None),
    ("clean_path", brenmoor.clean_path, lambda: ("  A/B.whl ",), None),
    ("clean_path/bad", brenmoor.clean_path, lambda: (None,), TypeError),
    ("get_package_name/wheel", brenmoor.get_package_name, lambda: (" Dist/Zelkor_Enterprise-1.2.0-py3-none-any.WHL",), None),
    ("get_package_name/sdist", brenmoor.get_package_name, lambda: ("dist/Zelkor-Bundle-X-0.3.0.tar.gz",), None),
    ("get_package_name/blank", brenmoor.get_package_name, lambda: ("   ",), None),
    ("get_package_name/badwheel", brenmoor.get_package_name, lambda: ("x.whl",), Exception),
    ("get_latest_package_version", brenmoor.get_latest_package_version, lambda: ("zelkor-enterprise", "https://u:p@h/simple"), None),
    ("split/product", brenmoor.split_base_and_bundles, lambda: ({"zelkor-enterprise": "base", "b": "bundle", "c": "x"},), None),
    ("split/name", brenmoor.split_base_and_bundles, lambda: ({"zelkor-enterprise-x": 1, "b": 2}, False), None),
    ("split/bad", brenmoor.split_base_and_bundles, lambda: ([],), TypeError),
    ("split/badkey", brenmoor.split_base_and_bundles, lambda: ({1: "x"}, False), AttributeError),
    ("convert_to_set", brenmoor.convert_to_set, lambda: (["a", "b"],), None),
    ("convert_to_set/dict", brenmoor.convert_to_set, lambda: ({"a": 1},), None),
    ("convert_to_set/unhashable", brenmoor.convert_to_set, lambda: ([[1]],), TypeError),
    ("get_requirement_name", brenmoor.get_requirement_name, lambda: ("zelkor-enterprise[extra]>=1.0; python_version>'3'",), None),
    ("get_requirement_name/bad", brenmoor.get_requirement_name, lambda: ("!!",), Exception),
    ("is_none_or_empty_iterate", brenmoor.is_none_or_empty_iterate, lambda: ([],), None),
    ("determine_additional", brenmoor.determine_additional_zelkor_enterprise_deps,
     lambda: (["a"], ["a", "zelkor-enterprise", "zelkor-bundle-analytics"], ["zelkor-enterprise>=1"]), None),
    ("determine_additional/bad", brenmoor.determine_additional_zelkor_enterprise_deps,
     lambda: ([], None, ["x"]), AttributeError),
    ("check_included", brenmoor.check_is_zelkor_enterprise_included, lambda: (["a", "zelkor-enterprise-x"],), None),
    ("check_included/bad", brenmoor.check_is_zelkor_enterprise_included, lambda: (None,), TypeError),
    ("get_os_info", quastel.get_os_info, lambda: (), None),
    ("get_architecture", quastel.get_architecture, lambda: (), None),
    ("get_current_platform_tag", quastel.get_current_platform_tag, lambda: (), None),
    ("get_python_version_code", quastel.get_python_version_code, lambda: (), None),
    ("get_system_info", quastel.get_system_info, lambda: (), None),
    ("validate_quastel", quastel.validate_quastel, lambda: ({"system_bit": "32-bit"},), None),
    ("validate_quastel/bad", quastel.validate_quastel, lambda: ({},), KeyError),
    ("print_check_results", quastel.print_check_results, lambda: (), SystemExit),
    ("store_package_name", ferrowen.store_package_name, lambda: ("pkg",), None),
    ("store_package_name/bad", ferrowen.store_package_name, lambda: ("a\nb",), ValueError),
    ("read_stored_packages", ferrowen.read_stored_packages, lambda: (), None),
    ("read_stored_packages/missing", ferrowen.read_stored_packages, lambda: (), FileNotFoundError),
    ("remove_package_name", ferrowen.remove_package_name, lambda: ("pkg",), None),
    ("handle_http_error_response/400", hallorn.handle_http_error_response, lambda: (Response(400, {"detail": "x"}),), ValueError),
    ("handle_http_error_response/404", hallorn.handle_http_error_response, lambda: (Response(404),), hallorn.NotFoundError),
    ("handle_http_error_response/503", hallorn.handle_http_error_response, lambda: (Response(503),), RuntimeError),
    ("handle_http_error_response/none", hallorn.handle_http_error_response, lambda: (Response(None),), TypeError),
    # binding errors
    ("binding/missing", brenmoor.is_version_bigger, lambda: ("1",), TypeError),
    ("binding/unexpected", tilwick.print_message, lambda: ("x", "y"), TypeError),
]


def retained(run, calls):
    """Bytes still allocated after `calls` runs, and where the most was allocated.

    Measured over two windows in a row and the smaller taken: a leak grows in
    both, while a one-off growth of the interpreter's own tables (the interned
    strings' dict resizing, say) shows in one only."""
    windows = []
    gc.collect()
    tracemalloc.start(8)
    try:
        snapshots = [tracemalloc.take_snapshot()]
        for _ in range(2):
            for _ in range(calls):
                run()
            gc.collect()
            snapshots.append(tracemalloc.take_snapshot())
    finally:
        tracemalloc.stop()
    for first, last in zip(snapshots, snapshots[1:]):
        stats = last.compare_to(first, "traceback")
        where = "\n".join(f"{st.size_diff:+} B\n" + "\n".join(st.traceback.format()[-6:])
                          for st in stats[:3])
        windows.append((sum(st.size_diff for st in stats), where))
    return min(windows)


def call(fn, args, exc):
    if exc is None:
        fn(*args)
    else:
        try:
            fn(*args)
        except exc:
            pass
        else:
            raise AssertionError(f"{fn.__name__} did not raise {exc.__name__}")


@pytest.mark.parametrize("label, fn, make_args, exc", CASES, ids=[c[0] for c in CASES])
def test_no_reference_or_memory_growth(sandbox, monkeypatch, label, fn, make_args, exc):
    if label.endswith("/missing"):
        (sandbox / "installed_packages.txt").unlink()
    if label.startswith("inventory"):
        # a small environment of its own: importlib.metadata's caches of
        # sys.path entries then stop growing after the first call
        site = sandbox / "site"
        for name, version in [("Foo-Bar", "1.0"), ("baz", "2.1")]:
            info = site / f"{name}-{version}.dist-info"
            info.mkdir(parents=True)
            (info / "METADATA").write_text(f"Name: {name}\nVersion: {version}\n")
        monkeypatch.setattr(sys, "path", [str(site)])
    module = sys.modules[fn.__module__]
    namespace = dict(vars(module))
    args = make_args()
    for _ in range(20):  # warm caches (interned names, code objects of tracebacks)
        call(fn, make_args() if label.startswith("get_password") else args, exc)
    if label.startswith("get_password"):
        # the key function is consumed; count references of a fresh set
        args = make_args()
    counts = [sys.getrefcount(a) for a in args]
    if label.startswith("get_password"):
        growth, where = retained(lambda: call(fn, make_args(), exc), 300)
    else:
        growth, where = retained(lambda: call(fn, args, exc), 300)
        assert [sys.getrefcount(a) for a in args] == counts
    # a leak of one small object per call would show as about 300 * 50 bytes
    assert growth < 8_000, f"{label}: {growth} bytes retained over 300 calls, most at:\n{where}"
    # the module's namespace is as it was: nothing rebound, added or removed
    assert vars(module).keys() == namespace.keys()
    assert all(vars(module)[k] is v for k, v in namespace.items())
