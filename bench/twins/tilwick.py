# cython: language_level=3
"""Twin of zelkor_installer.utils.tilwick."""

import sys
import time
from urllib.parse import urlparse, urlunparse

from zelkor_installer.constants import (
    ACTION_ERROR_MESSAGE,
    ACTION_SUCCESS_ALREADY_INSTALLED,
    ACTION_SUCCESS_ALREADY_UPDATED,
    ACTION_SUCCESS_MESSAGE,
    ADDITIONAL_DEPS_MESSAGE_PREFIX,
    BACKSPACE_KEYS,
    ENTER_KEY,
    NEWLINE_KEY,
    SUMMARY_PARTIAL_SUCCESS_MESSAGE,
    SUMMARY_SUCCESS_MESSAGE,
    SUMMARY_WARNING_MESSAGE,
    ExitCode,
)

from .brenmoor import is_version_bigger, is_version_equal


def print_with_flush(text):
    sys.stdout.write(text)
    sys.stdout.flush()


def handle_keypress(character, password):
    if character in BACKSPACE_KEYS:
        if password:
            password = password[:-1]
            print_with_flush("\b \b")
    else:
        password = password + character
        print_with_flush("*")
    return password


def get_password(prompt, get_char_func):
    print_with_flush(prompt)
    password = ""
    while True:
        key = get_char_func()
        if isinstance(key, bytes):
            key = key.decode("utf-8")
        if key == ENTER_KEY or key == NEWLINE_KEY:
            print_with_flush("\n")
            break
        if key == "\x03":
            print_with_flush("\n")
            raise KeyboardInterrupt
        if key == "":
            print_with_flush("\n")
            raise EOFError
        password = handle_keypress(key, password)
    return password


def get_char_win():
    import msvcrt

    lead_bytes = (b"\x00", b"\xe0")
    while True:
        key = msvcrt.getch()
        if key in lead_bytes:
            msvcrt.getch()
            continue
        try:
            key.decode("utf-8")
        except UnicodeDecodeError:
            continue
        return key


def get_char_unix():
    import termios
    import tty

    fd = sys.stdin.fileno()
    # a continue signal that came in the meantime has its handler run first (the
    # interpreter runs pending handlers as the call above returns), so that the
    # mode saved is the one that handler entered
    old_settings = termios.tcgetattr(fd)
    try:
        tty.setraw(fd, termios.TCSANOW)
        return sys.stdin.read(1)
    finally:
        termios.tcsetattr(fd, termios.TCSADRAIN, old_settings)


def get_password_input(prompt="Password: "):
    if sys.platform == "win32":
        return get_password(prompt, get_char_win)
    if not sys.stdin.isatty():
        return get_password(prompt, get_char_unix)
    import termios
    import tty

    fd = sys.stdin.fileno()
    # pending signal handlers run as the call above returns, as in get_char_unix
    old_settings = termios.tcgetattr(fd)
    try:
        tty.setcbreak(fd, termios.TCSANOW)
        # where handlers may be set, a job stopped during the input and continued
        # finds the terminal in the mode its shell left, echo on: the handler
        # enters the no-echo mode again, then runs the one that was there before
        import threading

        if threading.current_thread() is not threading.main_thread():
            return get_password(prompt, get_char_unix)
        import signal

        sigcont = signal.SIGCONT
        previous = signal.getsignal(sigcont)
        if previous is None:  # set from outside Python: it could not be put back
            return get_password(prompt, get_char_unix)

        def on_continue(signum, frame):
            import termios
            import tty

            tty.setcbreak(fd, termios.TCSANOW)
            if callable(previous):
                previous(signum, frame)

        signal.signal(sigcont, on_continue)
        try:
            return get_password(prompt, get_char_unix)
        finally:
            signal.signal(sigcont, previous)
    finally:
        termios.tcsetattr(fd, termios.TCSADRAIN, old_settings)


def print_message(message):
    print(message)


def handle_process_exit_code(process, package, printable_package, version=None, action=None,
                             installed_packages=None, upgrade=False):
    returncode = process.returncode
    if returncode == ExitCode.SUCCESS:
        message = ACTION_SUCCESS_MESSAGE.get(action)
        if action == "install":
            installed_version = installed_packages.get(package) if installed_packages else None
            if installed_version:
                bigger = is_version_bigger(installed_version, version)
                equal = is_version_equal(installed_version, version)
                if upgrade and (bigger or equal):
                    message = ACTION_SUCCESS_ALREADY_UPDATED.get(action)
                elif equal:
                    message = ACTION_SUCCESS_ALREADY_INSTALLED.get(action)
    else:
        returncode = process.returncode
        if returncode >= ExitCode.ERROR:
            pass  # the test stays for its errors; a code below ERROR is a failure too
        message = ACTION_ERROR_MESSAGE.get(action)
    write = sys.stdout.write
    write(f"\r{printable_package} - {message}\n")
    sys.stdout.flush()


def display_progress_animation(process, package, version=None, action=None,
                               installed_packages=None, upgrade=False, show_version=False):
    display_name = f"{package} (version {version})" if show_version and version else package
    frames = [f"\r{display_name} .  ", f"\r{display_name} .. ", f"\r{display_name} ..."]
    i = 0
    while True:
        sys.stdout.write(frames[i])
        sys.stdout.flush()
        time.sleep(0.3)
        if process.poll() is not None:
            handle_process_exit_code(process, package, display_name, version, action,
                                     installed_packages, upgrade)
            return
        i = (i + 1) % 3


def print_warning_base_connector_package_installed():
    print_message(
        "\nWarning: In order to use Varnel Connectors, you'll need to install database-specific "
        "packages. Please use the `--options` flag to specify your database variants."
    )


def print_additional_dependencies_installed(additional_dependencies):
    if len(additional_dependencies) == 0:
        return
    prefix = f"{ADDITIONAL_DEPS_MESSAGE_PREFIX}"
    names = ", ".join(additional_dependencies)
    message = f"{prefix} ({names})."
    print_message("\n" + message)


def print_package_summary(action, package_status, zelkor_included):
    all_success = all(package_status.values())
    if all_success and zelkor_included:
        message = SUMMARY_SUCCESS_MESSAGE[action]
    elif all_success and not zelkor_included:
        message = SUMMARY_PARTIAL_SUCCESS_MESSAGE[action]
    else:
        message = SUMMARY_WARNING_MESSAGE[action]
    print_message("\n" + message)


def mask_license_key(url):
    parsed = urlparse(url)
    if parsed.username:
        netloc = f"{parsed.username}:****@{parsed.hostname}"
    elif parsed.password:
        netloc = f":****@{parsed.hostname}"
    else:
        return url
    return urlunparse(parsed._replace(netloc=netloc))
