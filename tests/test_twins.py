"""The benchmark's Python twins do what the native functions do, on the
benchmark's own inputs and on inputs that take the native functions'
fallbacks, so that its comparison stays honest."""

import contextlib
import errno
import importlib
import logging
import os
import pathlib
import re
import signal
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import run  # noqa: E402

CASES = {m: importlib.import_module(f"cases_{m}").CASES for m in run.MODULES}
ROWS = [(m, case) for m, cases in CASES.items() for case in cases]
ferrowen_cases = sys.modules["cases_ferrowen"]
tilwick_cases = sys.modules["cases_tilwick"]


def _record_dir(module):
    return pathlib.Path(ferrowen_cases._dirs[module][0])


def _tree(module):
    """What is left in the record's directory: each entry's link target or text."""
    top = _record_dir(module)
    return sorted((str(p.relative_to(top)), "-> " + os.readlink(p) if p.is_symlink()
                   else p.read_text() if p.is_file() else "directory") for p in top.rglob("*"))


def _record_case(name, call, content, extra=lambda directory: None, **names):
    """A ferrowen row on a record holding ``content``, ``extra`` done to its
    directory, and these names bound on the module."""
    record, bound = ferrowen_cases._record(content), run.patch(**names)

    def setup(module):
        record(module)
        extra(_record_dir(module))
        bound["setup"](module)

    def teardown(module):
        bound["teardown"](module)
        ferrowen_cases._restore(module)

    return run.Case(name, call, setup=setup, teardown=teardown, observe=_tree)


def _linked_record(directory):
    (directory / "elsewhere").mkdir()
    (directory / "elsewhere" / "record.txt").write_text("alpha\nbeta\n")
    (directory / "installed_packages.txt").symlink_to("elsewhere/record.txt")
    # rewrites killed part-way, beside the target and beside the link; one not a rewrite's
    for stale in ["elsewhere/.installed_packages.txt.1.tmp", ".installed_packages.txt.2.tmp",
                  "elsewhere/.installed_packages.txt.x.tmp"]:
        (directory / stale).write_text("stale")


class _NoTemporaryPath(type(pathlib.Path())):
    """A path beside which no temporary file may be made, as in a directory
    that takes no new entries."""

    def open(self, mode="r", *args, **kwargs):
        if self.name.startswith(".installed_packages.txt."):
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), str(self))
        return super().open(mode, *args, **kwargs)


class _ContinuedTerminal(tilwick_cases._Terminal):
    """A terminal whose every key comes after a real continue signal."""

    def read(self, n):
        os.kill(os.getpid(), signal.SIGCONT)
        return super().read(n)


@contextlib.contextmanager
def _continued_input():
    """Keys after continue signals; the no-echo mode entered and the handler
    that was there before each leave a mark in the output."""
    tty = tilwick_cases._module("tty", setraw=lambda fd, when=2: None,
                                setcbreak=lambda fd, when=2: sys.stdout.write("<no echo>"))
    before = signal.signal(signal.SIGCONT, lambda signum, frame: sys.stdout.write("<previous>"))
    try:
        with tilwick_cases._stand_ins(stdin=_ContinuedTerminal("k\r"),
                                      termios=tilwick_cases.TERMIOS, tty=tty):
            yield
    finally:
        signal.signal(signal.SIGCONT, before)


# Inputs off the benchmark's paths, where the native functions take their
# fallbacks: a twin that misses one of their steps differs here.
FAULTS = [
    ("ferrowen", _record_case("store_package_name(lock path is a directory)", "f('gamma')",
                              "alpha\n", lambda d: (d / "installed_packages.txt.lock").mkdir())),
    ("ferrowen", _record_case("remove_package_name(linked record, stale temporaries)",
                              "f('alpha')", None, _linked_record)),
    ("ferrowen", _record_case("remove_package_name(no temporary file)", "f('alpha')",
                              "alpha\nbeta\n", Path=_NoTemporaryPath)),
    ("tilwick", run.Case("get_password_input(continued)", "f()", context=_continued_input,
                         quiet=True,
                         observe=lambda m: signal.getsignal(signal.SIGCONT).__qualname__)),
]


def observed(case, module, caplog):
    """The call's outcome and what it logged (each ferrowen peer's record in a
    directory of its own)."""
    caplog.clear()
    with caplog.at_level(logging.DEBUG):
        outcome = run.outcome(case, module)
    logged = [re.sub(r"ferrowen-bench-\w+", "*", r.getMessage()) for r in caplog.records]
    return outcome + (logged,)


@pytest.mark.parametrize("module, case", ROWS + FAULTS,
                         ids=[f"{m}.{c.name}" for m, c in ROWS + FAULTS])
def test_twin_agrees_with_native(module, case, caplog):
    peers = run.load_peers(module)
    native = observed(case, peers["native"], caplog)
    python = observed(case, peers["python"], caplog)
    assert run.disagreement(case, "python", native, python) is None


@pytest.mark.parametrize("module", run.MODULES)
def test_every_function_has_a_row(module):
    assert run.without_row(run.load_peers(module)["native"], CASES[module]) == []
