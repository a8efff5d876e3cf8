"""The shared constants have the shapes the native modules rely on."""

import pytest
from packaging.version import Version

from zelkor_installer import constants as c


@pytest.mark.parametrize("code, success, error", [(0, True, False), (1, False, True),
                                                   (2, False, True), (-9, False, False)])
def test_exit_codes_compare_with_integer_return_codes(code, success, error):
    assert (code == c.ExitCode.SUCCESS) is success
    assert (code >= c.ExitCode.ERROR) is error


@pytest.mark.parametrize("table", [
    c.ACTION_SUCCESS_MESSAGE, c.ACTION_SUCCESS_ALREADY_UPDATED,
    c.ACTION_SUCCESS_ALREADY_INSTALLED, c.ACTION_ERROR_MESSAGE,
    c.SUMMARY_SUCCESS_MESSAGE, c.SUMMARY_PARTIAL_SUCCESS_MESSAGE, c.SUMMARY_WARNING_MESSAGE,
])
def test_message_tables_cover_both_actions_with_text(table):
    assert set(table) >= {"install", "download"}
    assert all(isinstance(v, str) and v for v in table.values())


def test_keys_are_what_a_raw_terminal_delivers():
    assert c.ENTER_KEY == "\r" and c.NEWLINE_KEY == "\n"
    assert "\x7f" in c.BACKSPACE_KEYS and "\x08" in c.BACKSPACE_KEYS
    assert all(len(k) == 1 for k in c.BACKSPACE_KEYS)


def test_product_types_and_package_names():
    assert c.ProductType.BASE.value != c.ProductType.BUNDLE.value
    assert "zelkor-enterprise" in c.EXPECTED_PACKAGES
    assert all(n == n.strip() and n for n in c.EXPECTED_PACKAGES)


def test_interpreter_requirements_admit_this_interpreter():
    assert isinstance(c.MIN_PYTHON_VERSION, Version) and isinstance(c.MAX_PYTHON_VERSION, Version)
    assert c.MIN_PYTHON_VERSION <= Version("3.13") <= c.MAX_PYTHON_VERSION
    assert c.REQUIRED_BITNESS in ("64-bit", "32-bit")
