"""Fixed-input timings for tilwick; output goes to a sink that discards it."""

import sys

from run import Case
from zelkor_installer.utils import tilwick


import os

_saved = []


def _quiet():
    # a real text stream, as standard output is, writing to nowhere
    _saved.append(sys.stdout)
    sys.stdout = open(os.devnull, "w")


def _loud():
    sys.stdout.close()
    sys.stdout = _saved.pop()


def py_print_with_flush(text):
    sys.stdout.write(text)
    sys.stdout.flush()


def py_print_message(message):
    print(message)


def py_print_additional_dependencies_installed(additional_dependencies):
    if len(additional_dependencies) == 0:
        return
    prefix = "The following related packages were installed as dependencies"
    message = f"{prefix} ({', '.join(additional_dependencies)})."
    py_print_message("\n" + message)


CASES = [
    Case("print_with_flush", "f('abc')", tilwick.print_with_flush, py_print_with_flush,
         setup=_quiet, teardown=_loud),
    Case("print_message", "f('abc')", tilwick.print_message, py_print_message,
         setup=_quiet, teardown=_loud),
    Case("print_additional_dependencies_installed", "f(['a', 'b'])",
         tilwick.print_additional_dependencies_installed,
         py_print_additional_dependencies_installed, setup=_quiet, teardown=_loud),
    Case("print_additional_dependencies_installed(empty)", "f([])",
         tilwick.print_additional_dependencies_installed,
         py_print_additional_dependencies_installed),
]
