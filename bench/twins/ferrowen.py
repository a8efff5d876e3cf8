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


# The native module's file-system steps, which it takes as POSIX calls.  These
# helpers are the only names the twin binds beyond the module's own.


def _os_path(path):
    """The path as the system takes it, or "" for no file-system path (a
    stand-in object): such a path gets no lock or probe."""
    try:
        return os.fsdecode(path)
    except TypeError:
        return ""


def _lock_record(record_path):
    """A descriptor holding an exclusive lock on "<record>.lock", or None: a
    lock file that cannot be made or opened, or a file system without locks,
    leaves the record unlocked.  Closing the descriptor releases the lock."""
    if not record_path:
        return None
    import fcntl

    lock_path = record_path + ".lock"
    try:
        lock = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
    except OSError as error:
        import errno

        # a lock file someone else created read-only still serves for flock
        if error.errno not in (errno.EACCES, errno.EROFS, errno.EPERM):
            return None
        try:
            lock = os.open(lock_path, os.O_RDONLY | os.O_CLOEXEC)
        except OSError:
            return None
    try:
        # an interrupted wait is resumed after the signal handlers ran
        fcntl.flock(lock, fcntl.LOCK_EX)
    except OSError:
        os.close(lock)
        return None
    except BaseException:
        os.close(lock)  # a handler's exception ends the wait
        raise
    return lock


def _file_length(path):
    """The file's length: 0 for a file not yet made, -1 when it cannot be told."""
    if not path:
        return -1
    try:
        return os.stat(path).st_size
    except FileNotFoundError:
        return 0
    except OSError:
        return -1


def _cut_back(path, length):
    """Cuts the file back to ``length`` when something was added beyond it; a
    cut that fails leaves the file as it is."""
    if length < 0 or not path:
        return
    try:
        if os.stat(path).st_size > length:
            os.truncate(path, length)
    except OSError:
        pass


def _remove_stale_temporaries(directory):
    """Removes the temporary files ".installed_packages.txt.<pid>.tmp" that
    rewrites killed part-way left in ``directory``, whatever process made them.
    A directory that cannot be listed, or a file that cannot be removed, stays."""
    prefix = ".installed_packages.txt."
    suffix = ".tmp"
    try:
        names = os.listdir(directory)
    except OSError:
        return
    for name in names:
        if type(name) is not str or not name.startswith(prefix) or not name.endswith(suffix):
            continue
        if not name[len(prefix):len(name) - len(suffix)].isdigit():
            continue
        try:
            os.unlink(directory / name)
        except OSError:
            pass


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
        record_path = _os_path(package_file)
        lock = _lock_record(record_path)
        try:
            before = _file_length(record_path)
            try:
                with package_file.open("a") as file:
                    file.write(package + "\n")
            except BaseException:
                # a line cut short (a full disk) would run into the next name
                # stored: the record goes back to its length, still under the lock
                _cut_back(record_path, before)
                raise
        finally:
            if lock is not None:
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

    record_path = _os_path(package_file)
    lock = _lock_record(record_path)
    try:
        packages = []
        with package_file.open("r") as file:
            for line in file:
                name = line.strip()
                if name != package:
                    packages.append(name)

        record_stat = None
        if record_path:
            # a record its owner made read-only stays unchanged, as an in-place
            # rewrite would leave it
            if not os.access(record_path, os.W_OK):
                import errno

                # os.access keeps no errno: a read-only file system is the cause
                # told apart from a denied permission
                read_only = os.statvfs(record_path).f_flag & os.ST_RDONLY
                code = errno.EROFS if read_only else errno.EACCES
                raise OSError(code, os.strerror(code), record_path)
            try:
                record_stat = os.stat(record_path)
            except OSError:
                pass

        # a linked record is rewritten at its target: a rename over the link
        # would make it a copy, and leave the target with the removed name
        target = package_file
        directory = storage_dir
        if record_path:
            target = Path(os.path.realpath(package_file))
            directory = target.parent
        # under the lock no other rewrite runs: a temporary file is a dead one's
        if lock is not None:
            _remove_stale_temporaries(directory)

        # the new content goes to a file of its own and replaces the record in
        # one rename: readers and a failure part-way see the old record whole
        temp_file = directory / f".installed_packages.txt.{os.getpid()}.tmp"
        try:
            temp_stream = temp_file.open("w")
        except PermissionError:
            # no new file may be made beside a record that may be written: it
            # is rewritten in place instead
            with package_file.open("w") as file:
                file.write("\n".join(packages) + "\n" if len(packages) != 0 else "")
            return None
        try:
            with temp_stream as file:
                file.write("\n".join(packages) + "\n" if len(packages) != 0 else "")
            if record_stat is not None:
                temp_path = _os_path(temp_file)
                if temp_path:
                    # the owner is kept where we may set it (as root), the mode always
                    try:
                        os.chown(temp_path, record_stat.st_uid, record_stat.st_gid)
                    except OSError:
                        pass
                    os.chmod(temp_path, record_stat.st_mode & 0o7777)
            os.replace(temp_file, target)
        except BaseException:
            # leave no half-written file behind; the failure that got here is the one to report
            try:
                temp_path = _os_path(temp_file)
            except BaseException:
                temp_path = ""  # no path to remove: nothing to clean
            if temp_path:
                try:
                    os.remove(temp_path)
                except OSError:
                    pass
            raise
    finally:
        if lock is not None:
            os.close(lock)
    return None
