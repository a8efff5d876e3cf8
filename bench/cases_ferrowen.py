"""Fixed-input timings for ferrowen on a record in a temporary directory.
The work is the file system's, so there is no Python twin."""

import shutil
import tempfile

from run import Case
from zelkor_installer.utils import ferrowen

NAMES = "".join(f"zelkor-enterprise-package-{i}\n" for i in range(50))
_state = {}


def _record(content):
    def setup():
        directory = tempfile.mkdtemp(prefix="ferrowen-bench-")
        _state["dir"], _state["saved"] = directory, ferrowen.user_data_dir
        ferrowen.user_data_dir = lambda name, author: directory
        if content is not None:
            with open(f"{directory}/installed_packages.txt", "w") as f:
                f.write(content)

    return setup


def _restore():
    ferrowen.user_data_dir = _state.pop("saved")
    shutil.rmtree(_state.pop("dir"))


CASES = [
    Case("store_package_name", "f('zelkor-enterprise-base')", ferrowen.store_package_name,
         setup=_record(None), teardown=_restore),
    Case("read_stored_packages(50 names)", "f()", ferrowen.read_stored_packages,
         setup=_record(NAMES), teardown=_restore),
    Case("remove_package_name(absent, 50 names)", "f('not-recorded')",
         ferrowen.remove_package_name, setup=_record(NAMES), teardown=_restore),
]
