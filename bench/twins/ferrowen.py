# cython: language_level=3
"""Twin of zelkor_installer.utils.ferrowen (the POSIX steps)."""

import logging
import os
from pathlib import Path

from platformdirs import user_data_dir

APP_NAME = "Zelkor-Installer"
APP_AUTHOR = "Quenvale"
LOGGER = logging.getLogger(__name__)
CONFIG_PATH = Path(__file__).resolve().parent


def store_package_name(package):
    # a line break would write a second record that no removal can name
    if isinstance(package, str) and ("\n" in package or "\r" in package):
        raise ValueError("Package name must not contain a line break: " + repr(package))

    storage_dir = Path(user_data_dir(APP_NAME, APP_AUTHOR))
    try:
        storage_dir.mkdir(parents=True, exist_ok=True)
    except PermissionError:
        # no per-user directory: the module's own one if it takes files
        if not os.access(CONFIG_PATH, os.W_OK):
            return None
        storage_dir = CONFIG_PATH
    except OSError:
        return None

    package_file = storage_dir / "installed_packages.txt"
    try:
        import fcntl

        # store and remove serialise on an advisory lock beside the record
        lock_path = os.fspath(package_file) + ".lock"
        try:
            lock = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        except PermissionError:
            lock = os.open(lock_path, os.O_RDONLY | os.O_CLOEXEC)
        try:
            fcntl.flock(lock, fcntl.LOCK_EX)
            with package_file.open("a") as file:
                file.write(package + "\n")
        finally:
            os.close(lock)
    except OSError as error:
        LOGGER.error(f"Failed to write installed package '{package!s}' to '{package_file!s}': "
                     f"{error!s}")
    return None


def read_stored_packages():
    package_file = Path(user_data_dir(APP_NAME, APP_AUTHOR)) / "installed_packages.txt"
    if not package_file.exists():
        raise FileNotFoundError("No stored package file found.")
    packages = set()
    with package_file.open("r") as file:
        for line in file:
            name = line.strip()
            if name:
                packages.add(name)
    return packages


def remove_package_name(package):
    storage_dir = Path(user_data_dir(APP_NAME, APP_AUTHOR))
    package_file = storage_dir / "installed_packages.txt"
    if not package_file.exists():
        return None

    import fcntl

    record_path = os.fspath(package_file)
    lock_path = record_path + ".lock"
    try:
        lock = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
    except PermissionError:
        lock = os.open(lock_path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        fcntl.flock(lock, fcntl.LOCK_EX)
        packages = []
        with package_file.open("r") as file:
            for line in file:
                name = line.strip()
                if name != package:
                    packages.append(name)

        # a record its owner made read-only stays unchanged, as an in-place
        # rewrite would leave it
        if not os.access(record_path, os.W_OK):
            import errno

            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), record_path)
        record_stat = os.stat(record_path)

        # the new content goes to a file of its own and replaces the record in
        # one rename: readers and a failure part-way see the old record whole
        temp_file = storage_dir / f".installed_packages.txt.{os.getpid()}.tmp"
        try:
            with temp_file.open("w") as file:
                file.write("\n".join(packages) + "\n" if len(packages) != 0 else "")
            try:
                os.chown(temp_file, record_stat.st_uid, record_stat.st_gid)
            except OSError:
                pass  # the owner is kept where we may set it, the mode always
            os.chmod(temp_file, record_stat.st_mode & 0o7777)
            os.replace(temp_file, package_file)
        except BaseException:
            try:
                os.remove(temp_file)
            except OSError:
                pass
            raise
    finally:
        os.close(lock)
    return None
