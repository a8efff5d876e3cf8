import subprocess
import sys
import textwrap

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
