"""Fixed-input rows for ferrowen, each peer on a record of its own in a
temporary directory."""

import shutil
import tempfile

from run import Case

NAMES = "".join(f"zelkor-enterprise-package-{i}\n" for i in range(50))
_dirs = {}


def _record(content):
    """A setup putting the module's record in a new directory, holding ``content``."""

    def setup(module):
        directory = tempfile.mkdtemp(prefix="ferrowen-bench-")
        _dirs[module] = (directory, module.user_data_dir)
        module.user_data_dir = lambda name, author: directory
        if content is not None:
            with open(f"{directory}/installed_packages.txt", "w") as f:
                f.write(content)

    return setup


def _restore(module):
    directory, module.user_data_dir = _dirs.pop(module)
    shutil.rmtree(directory)


def _left(module):
    """The record's text after the call."""
    try:
        with open(f"{_dirs[module][0]}/installed_packages.txt") as f:
            return f.read()
    except FileNotFoundError:
        return None


def _case(name, call, content, **kw):
    return Case(name, call, setup=_record(content), teardown=_restore, observe=_left, **kw)


CASES = [
    _case("store_package_name", "f('zelkor-enterprise-base')", None),
    _case("read_stored_packages(50 names)", "f()", NAMES),
    _case("remove_package_name(absent, 50 names)", "f('not-recorded')", NAMES),
    # calls that fail
    _case("store_package_name(line break)", "f('zelkor\\nevil')", None, catch="ValueError"),
    _case("read_stored_packages(no record)", "f()", None, catch="FileNotFoundError"),
]
