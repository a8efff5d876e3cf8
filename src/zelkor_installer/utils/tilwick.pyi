"""Console interaction: output, masked secret input, progress and outcome lines."""

from collections.abc import Callable, Collection, Mapping
from typing import Any, Protocol

from zelkor_installer.constants import (
    ACTION_ERROR_MESSAGE as ACTION_ERROR_MESSAGE,
    ACTION_SUCCESS_ALREADY_INSTALLED as ACTION_SUCCESS_ALREADY_INSTALLED,
    ACTION_SUCCESS_ALREADY_UPDATED as ACTION_SUCCESS_ALREADY_UPDATED,
    ACTION_SUCCESS_MESSAGE as ACTION_SUCCESS_MESSAGE,
    ADDITIONAL_DEPS_MESSAGE_PREFIX as ADDITIONAL_DEPS_MESSAGE_PREFIX,
    BACKSPACE_KEYS as BACKSPACE_KEYS,
    ENTER_KEY as ENTER_KEY,
    NEWLINE_KEY as NEWLINE_KEY,
    SUMMARY_PARTIAL_SUCCESS_MESSAGE as SUMMARY_PARTIAL_SUCCESS_MESSAGE,
    SUMMARY_SUCCESS_MESSAGE as SUMMARY_SUCCESS_MESSAGE,
    SUMMARY_WARNING_MESSAGE as SUMMARY_WARNING_MESSAGE,
    ExitCode as ExitCode,
)
from zelkor_installer.utils.brenmoor import (
    is_version_bigger as is_version_bigger,
    is_version_equal as is_version_equal,
)

class _Finished(Protocol):
    returncode: int

class _Running(Protocol):
    returncode: int
    def poll(self) -> int | None: ...

def print_with_flush(text: Any) -> None: ...
def handle_keypress(character: str, password: str) -> str: ...
def get_password(prompt: Any, get_char_func: Callable[[], str | bytes]) -> str: ...
def get_char_win() -> bytes: ...
def get_char_unix() -> str: ...
def get_password_input(prompt: Any = "Password: ") -> str: ...
def print_message(message: object) -> None: ...
def handle_process_exit_code(
    process: _Finished,
    package: str,
    printable_package: str,
    version: str | None = None,
    action: str | None = None,
    installed_packages: Mapping[str, str] | None = None,
    upgrade: object = False,
) -> None: ...
def display_progress_animation(
    process: _Running,
    package: str,
    version: str | None = None,
    action: str | None = None,
    installed_packages: Mapping[str, str] | None = None,
    upgrade: object = False,
    show_version: object = False,
) -> None: ...
def print_warning_base_connector_package_installed() -> None: ...
def print_additional_dependencies_installed(additional_dependencies: Collection[str]) -> None: ...
def print_package_summary(
    action: str, package_status: Mapping[str, object], zelkor_included: object
) -> None: ...
def mask_license_key(url: str) -> str: ...
