import io
import os
import subprocess
import sys
import textwrap
import types

import pytest

from index_server import IndexServer  # noqa: F401  (re-exported for the test modules)


def run_python(code, *args, env=None, timeout=120, **kw):
    """Run a snippet in a fresh interpreter of this environment."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        env=env,
        timeout=timeout,
        **kw,
    )


@pytest.fixture
def python():
    return run_python


class FakeSubprocess:
    """Stands in for the subprocess module: answers as the real commands would."""

    CalledProcessError = subprocess.CalledProcessError

    def run(self, args, **kw):
        if kw.get("shell"):
            out = 'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nID=debian\n'
        else:
            out = "Name: x\nAvailable versions: 2.0.0, 1.0.0\n"
        return types.SimpleNamespace(returncode=0, stdout=out, stderr="")

    def check_output(self, args, **kw):
        return "x86_64\n" if args[0] == "uname" else "14.2.1\n"


class NoSleep:
    def sleep(self, seconds):
        pass


@pytest.fixture
def sandbox(monkeypatch, tmp_path):
    """Every module may be called freely: output to nowhere, external commands
    and sleeps stood in for, the record in a temporary directory."""
    from zelkor_installer.utils import brenmoor, ferrowen, quastel, tilwick

    sink = open(os.devnull, "w")
    monkeypatch.setattr(sys, "stdout", sink)
    monkeypatch.setattr(sys, "stdin", io.StringIO(""))
    monkeypatch.setattr(brenmoor, "subprocess", FakeSubprocess())
    monkeypatch.setattr(quastel, "subprocess", FakeSubprocess())
    monkeypatch.setattr(tilwick, "time", NoSleep())
    monkeypatch.setattr(ferrowen, "user_data_dir", lambda *a: str(tmp_path))
    (tmp_path / "installed_packages.txt").write_text("pkg\nother\n")
    yield tmp_path
    sink.close()
