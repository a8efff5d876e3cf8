"""The installed-package record: real files in a temporary directory that
stands in for the per-user data directory; real permissions checked as an
unprivileged user; real concurrent processes."""

import errno
import json
import locale
import logging
import os
import pathlib
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import textwrap
import threading

import platformdirs
import pytest

from zelkor_installer.utils import ferrowen

RECORD = "installed_packages.txt"
LOGGER_NAME = "zelkor_installer.utils.ferrowen"


@pytest.fixture
def dir_calls():
    """The arguments of every user_data_dir call."""
    return []


@pytest.fixture
def record_dir(tmp_path, monkeypatch, dir_calls):
    """The record directory under tmp_path; the module's own directory is a
    temporary one too, so that no test writes beside the installed module."""
    calls = dir_calls

    def user_data_dir(appname, appauthor, /):
        calls.append((appname, appauthor))
        return str(tmp_path / "data" / appauthor / appname)

    monkeypatch.setattr(ferrowen, "user_data_dir", user_data_dir)
    monkeypatch.setattr(ferrowen, "CONFIG_PATH", tmp_path / "module")
    (tmp_path / "module").mkdir()
    return tmp_path / "data" / "Quenvale" / "Zelkor-Installer"


def leftovers(directory):
    """Files other than the record and its lock: a rewrite leaves none."""
    return sorted(p.name for p in directory.iterdir() if p.name not in (RECORD, RECORD + ".lock"))


def test_module_namespace():
    names = [n for n in vars(ferrowen) if not n.startswith("__")]
    assert names == [
        "logging", "os", "Path", "user_data_dir", "APP_NAME", "APP_AUTHOR", "LOGGER",
        "CONFIG_PATH", "store_package_name", "read_stored_packages", "remove_package_name",
    ]  # fmt: skip
    assert ferrowen.logging is logging and ferrowen.os is os
    assert ferrowen.Path is pathlib.Path
    assert ferrowen.user_data_dir is platformdirs.user_data_dir
    assert (ferrowen.APP_NAME, ferrowen.APP_AUTHOR) == ("Zelkor-Installer", "Quenvale")
    assert ferrowen.LOGGER is logging.getLogger(LOGGER_NAME)
    assert ferrowen.CONFIG_PATH == pathlib.Path(ferrowen.__file__).resolve().parent
    assert ferrowen.__doc__ == "Utilities to handle appdirs and store application data."


def test_store_then_read(record_dir, dir_calls):
    assert ferrowen.store_package_name("alpha") is None
    assert ferrowen.store_package_name(package="beta") is None
    assert (record_dir / RECORD).read_text() == "alpha\nbeta\n"
    assert ferrowen.read_stored_packages() == {"alpha", "beta"}
    # the directory is asked for afresh at every call, by position
    assert dir_calls == [("Zelkor-Installer", "Quenvale")] * 3


def test_rebound_names_are_honoured(record_dir, monkeypatch):
    monkeypatch.setattr(ferrowen, "APP_NAME", "Other")
    ferrowen.store_package_name("alpha")
    assert (record_dir.parent / "Other" / RECORD).read_text() == "alpha\n"
    assert not record_dir.exists()


@pytest.mark.parametrize(
    "content, expected",
    [
        ("alpha\nalpha\n", {"alpha"}),
        ("", set()),
        ("  alpha \n\n\t\nbeta", {"alpha", "beta"}),
        ("a\r\nb\rc\n", {"a", "b", "c"}),
        ("Alpha\nalpha\n", {"Alpha", "alpha"}),
    ],
)
def test_read(record_dir, content, expected):
    record_dir.mkdir(parents=True)
    (record_dir / RECORD).write_bytes(content.encode())
    result = ferrowen.read_stored_packages()
    assert type(result) is set and result == expected


@pytest.mark.parametrize(
    "content, name, expected",
    [
        ("alpha\nbeta\ngamma\n", "beta", "alpha\ngamma\n"),
        ("alpha\nalpha\n", "alpha", ""),
        ("alpha\n", "alpha", ""),
        ("", "alpha", ""),
        ("  alpha  \nbeta\n", "alpha", "beta\n"),
        ("  alpha  \n\nbeta", "gamma", "alpha\n\nbeta\n"),
        ("alpha\n\n  \nbeta\n", "", "alpha\nbeta\n"),
        ("Alpha\nalpha\n", "alpha", "Alpha\n"),
        ("alpha\n", " alpha", "alpha\n"),
        ("alpha\r\nbeta\r\n", "alpha", "beta\n"),
        ("a \nb\n", 5, "a\nb\n"),
    ],
)
def test_remove_then_store(record_dir, content, name, expected):
    record_dir.mkdir(parents=True)
    (record_dir / RECORD).write_bytes(content.encode())
    assert ferrowen.remove_package_name(name) is None
    assert (record_dir / RECORD).read_bytes() == expected.encode()
    ferrowen.store_package_name("delta")
    assert (record_dir / RECORD).read_bytes() == (expected + "delta\n").encode()
    assert leftovers(record_dir) == []


def test_missing_record(record_dir):
    with pytest.raises(FileNotFoundError) as info:
        ferrowen.read_stored_packages()
    assert info.value.args == ("No stored package file found.",)
    assert ferrowen.remove_package_name("alpha") is None
    assert not record_dir.exists()


@pytest.mark.parametrize("name", ["alpha\nbeta", "alpha\n", "\r", "alpha\r\n", "\nalpha"])
def test_store_refuses_line_breaks(record_dir, dir_calls, name):
    with pytest.raises(ValueError, match="line break"):
        ferrowen.store_package_name(name)
    assert dir_calls == [] and not record_dir.parent.exists()


@pytest.mark.parametrize("before, name", [("", 5), ("alpha\n", b"alpha"), ("alpha\n", None)])
def test_store_of_a_non_str_fails_after_opening(record_dir, before, name):
    if before:
        ferrowen.store_package_name(before.strip())
    with pytest.raises(TypeError):
        ferrowen.store_package_name(name)
    assert (record_dir / RECORD).read_text() == before  # created, if missing, and left empty


def test_directory_that_cannot_be_made_is_silent(record_dir, tmp_path, monkeypatch, caplog):
    (tmp_path / "data").write_text("a file where the directory should be")
    with caplog.at_level(logging.DEBUG):
        assert ferrowen.store_package_name("alpha") is None
    assert caplog.records == []
    assert list((tmp_path / "module").iterdir()) == []


def test_failed_write_logs_one_error(record_dir, caplog):
    (record_dir / RECORD).mkdir(parents=True)  # a directory: no one can append to it
    path = record_dir / RECORD
    with caplog.at_level(logging.DEBUG):
        assert ferrowen.store_package_name("alpha") is None
    assert [(r.name, r.levelno, r.args) for r in caplog.records] == [
        (LOGGER_NAME, logging.ERROR, ())
    ]
    assert caplog.records[0].getMessage() == (
        f"Failed to write installed package 'alpha' to '{path}': "
        f"[Errno {errno.EISDIR}] {os.strerror(errno.EISDIR)}: '{path}'"
    )


class DenyingPath(type(pathlib.Path())):
    """A path whose directories cannot be made, as without permission."""

    def mkdir(self, *args, **kwargs):
        raise PermissionError(errno.EACCES, "Permission denied", str(self))


@pytest.mark.parametrize("writable", [True, False])
def test_fallback_to_module_directory(record_dir, tmp_path, monkeypatch, caplog, writable):
    access_calls = []

    class Os:
        W_OK = os.W_OK

        def access(self, path, mode):
            access_calls.append((path, mode))
            return writable

    monkeypatch.setattr(ferrowen, "Path", DenyingPath)
    monkeypatch.setattr(ferrowen, "os", Os())
    with caplog.at_level(logging.DEBUG):
        assert ferrowen.store_package_name("alpha") is None
    assert access_calls == [(tmp_path / "module", os.W_OK)]
    assert caplog.records == []
    fallback = tmp_path / "module" / RECORD
    assert fallback.exists() == writable
    if writable:
        assert fallback.read_text() == "alpha\n"
    # the readers never look there
    with pytest.raises(FileNotFoundError):
        ferrowen.read_stored_packages()


CHILD_PRELUDE = """
import json, logging, os, resource, signal, sys
from zelkor_installer.utils import ferrowen
records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append(record.getMessage())
ferrowen.LOGGER.addHandler(Keep())
ferrowen.user_data_dir = lambda name, author: sys.argv[1]
"""


def child_command(record_dir, code):
    """A child interpreter with the record in record_dir; `records` keeps its log."""
    return [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(code), str(record_dir)]


# -------------------------------------------------- real permissions

UNPRIVILEGED_PRELUDE = """
import json, logging, os, pathlib, sys
from zelkor_installer.utils import ferrowen
base = pathlib.Path(sys.argv[1])
if os.geteuid() == 0:
    import pwd
    nobody = pwd.getpwnam("nobody")
    os.setgroups([])
    os.setgid(nobody.pw_gid)
    os.setuid(nobody.pw_uid)
records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append([record.levelname, record.getMessage()])
ferrowen.LOGGER.addHandler(Keep())
ferrowen.user_data_dir = lambda name, author: str(base / "locked" / "data")
ferrowen.CONFIG_PATH = base / "module"
record = base / "locked" / "data" / "installed_packages.txt"
"""


@pytest.fixture
def shared_dir():
    """A directory that the unprivileged user can reach (tmp_path cannot be)."""
    if os.geteuid() == 0:
        try:
            import pwd

            pwd.getpwnam("nobody")
        except (ImportError, KeyError):
            pytest.skip("no unprivileged user to run permission checks as")
    base = pathlib.Path(tempfile.mkdtemp(prefix="ferrowen-"))
    os.chmod(base, 0o777)
    yield base
    for p in [base, *base.rglob("*")]:
        if p.is_dir():
            p.chmod(0o777)
    shutil.rmtree(base)


def run_unprivileged(base, code):
    result = subprocess.run(
        [sys.executable, "-c", UNPRIVILEGED_PRELUDE + textwrap.dedent(code), str(base)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def make_tree(base, record_text=None, record_mode=0o644, data=True, locked_mode=0o777,
              module_mode=0o777, data_mode=0o777):
    """base/locked/data holds the record; base/module stands for the module's directory."""
    (base / "locked").mkdir()
    (base / "module").mkdir()
    record = base / "locked" / "data" / RECORD
    if data:
        record.parent.mkdir()
    if record_text is not None:
        record.write_text(record_text)
        record.chmod(record_mode)
    if data:
        record.parent.chmod(data_mode)
    (base / "locked").chmod(locked_mode)
    (base / "module").chmod(module_mode)
    return record


def test_read_only_record_logs_on_store_and_refuses_removal(shared_dir):
    record = make_tree(shared_dir, "alpha\nbeta\n", record_mode=0o444)
    out = run_unprivileged(
        shared_dir,
        """
        stored = ferrowen.store_package_name("gamma")
        try:
            ferrowen.remove_package_name("alpha")
            removal = None
        except OSError as e:
            removal = [type(e).__name__, e.errno]
        print(json.dumps([stored, records, removal]))
        """,
    )
    stored, records, removal = out
    assert stored is None
    assert len(records) == 1 and records[0][0] == "ERROR"
    assert records[0][1] == (
        f"Failed to write installed package 'gamma' to '{record}': "
        f"[Errno {errno.EACCES}] {os.strerror(errno.EACCES)}: '{record}'"
    )
    assert removal == ["PermissionError", errno.EACCES]
    assert record.read_text() == "alpha\nbeta\n"
    assert stat.S_IMODE(record.stat().st_mode) == 0o444


@pytest.mark.parametrize("module_writable", [True, False])
def test_unwritable_data_directory_falls_back_to_module_directory(shared_dir, module_writable):
    # the record directory's parent takes no new entries
    make_tree(shared_dir, data=False, locked_mode=0o555,
              module_mode=0o777 if module_writable else 0o555)
    out = run_unprivileged(
        shared_dir,
        """
        stored = ferrowen.store_package_name("alpha")
        try:
            ferrowen.read_stored_packages()
            seen = True
        except FileNotFoundError:
            seen = False
        print(json.dumps([stored, records, seen]))
        """,
    )
    assert out == [None, [], False]
    fallback = shared_dir / "module" / RECORD
    assert fallback.exists() == module_writable
    if module_writable:
        assert fallback.read_text() == "alpha\n"
    assert not (shared_dir / "locked" / "data").exists()


@pytest.mark.parametrize("data_mode, lock_is_directory", [(0o555, False), (0o777, True)],
                         ids=["read-only directory", "lock path is a directory"])
def test_record_without_a_lock_file_loses_no_name(shared_dir, data_mode, lock_is_directory):
    # no lock file can be made beside the record, nor a temporary file when
    # the directory is read-only: the record is still written, in place
    record = make_tree(shared_dir, "alpha\nbeta\n", record_mode=0o666, data_mode=data_mode)
    if lock_is_directory:
        (record.parent / (RECORD + ".lock")).mkdir()
    out = run_unprivileged(
        shared_dir,
        """
        ferrowen.store_package_name("gamma")
        ferrowen.remove_package_name("alpha")
        print(json.dumps(records))
        """,
    )
    assert out == []
    assert record.read_text() == "beta\ngamma\n"
    assert leftovers(record.parent) == []


def test_read_only_file_system_reports_the_record(tmp_path):
    mount = tmp_path / "mount"
    mount.mkdir()
    record = mount / "data" / RECORD
    child = child_command(record.parent, """
        ferrowen.store_package_name("beta")
        try:
            ferrowen.remove_package_name("alpha")
            removal = None
        except OSError as e:
            removal = [type(e).__name__, e.errno, e.filename]
        print(json.dumps([records, removal]))
    """)
    # a tmpfs in a mount namespace of its own, made read-only once the record is in it
    script = (f'mount -t tmpfs tmpfs "$1" && mkdir "$1/data" && echo alpha > "$1/data/{RECORD}" '
              '&& mount -o remount,ro "$1" && shift && exec "$@"')
    unshare = ["unshare", "--user", "--map-root-user", "--mount"]
    if subprocess.run(unshare + ["true"], capture_output=True).returncode != 0:
        pytest.skip("no mount namespace to make a read-only file system in")
    result = subprocess.run(unshare + ["sh", "-c", script, "sh", str(mount), *child],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    text = os.strerror(errno.EROFS)
    assert json.loads(result.stdout) == [
        [f"Failed to write installed package 'beta' to '{record}': "
         f"[Errno {errno.EROFS}] {text}: '{record}'"],
        ["OSError", errno.EROFS, str(record)],
    ]  # fmt: skip


# -------------------------------------------------- atomic rewrite

def test_failed_replace_keeps_the_record_whole(record_dir, monkeypatch):
    record_dir.mkdir(parents=True)
    (record_dir / RECORD).write_text("alpha\nbeta\ngamma\n")

    class Os:
        def __getattr__(self, name):
            return getattr(os, name)

        def replace(self, src, dst):
            raise OSError(errno.EIO, "simulated failure")

    monkeypatch.setattr(ferrowen, "os", Os())
    with pytest.raises(OSError, match="simulated failure"):
        ferrowen.remove_package_name("beta")
    assert (record_dir / RECORD).read_text() == "alpha\nbeta\ngamma\n"
    assert leftovers(record_dir) == []


def test_write_failing_part_way_keeps_the_record_whole(record_dir):
    record_dir.mkdir(parents=True)
    names = [f"package-number-{i}" for i in range(2000)]
    content = "".join(n + "\n" for n in names)
    (record_dir / RECORD).write_text(content)
    # a file size limit makes the rewrite fail after its first few kilobytes
    code = f"""
    import errno, resource, signal
    from zelkor_installer.utils import ferrowen
    ferrowen.user_data_dir = lambda name, author: {str(record_dir)!r}
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
    try:
        ferrowen.remove_package_name("package-number-7")
    except OSError as e:
        print(errno.errorcode[e.errno])
    """
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert result.stdout.strip() == "EFBIG", result.stderr
    assert (record_dir / RECORD).read_text() == content
    assert leftovers(record_dir) == []


def test_failed_append_leaves_no_partial_line(record_dir):
    record_dir.mkdir(parents=True)
    record = record_dir / RECORD
    record.write_text("alpha\n")
    # a file size limit with room for "zel" only, lifted for the next store
    child = child_command(record_dir, f"""
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, ({len("alpha\nzel")}, hard))
        ferrowen.store_package_name("zelkor-enterprise")
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        ferrowen.store_package_name("other")
        print(json.dumps(records))
    """)
    result = subprocess.run(child, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == [
        f"Failed to write installed package 'zelkor-enterprise' to '{record}': "
        f"[Errno {errno.EFBIG}] {os.strerror(errno.EFBIG)}"
    ]
    assert record.read_text() == "alpha\nother\n"


@pytest.mark.parametrize("relative", [False, True])
def test_rewrite_of_a_linked_record_rewrites_its_target(record_dir, tmp_path, relative):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    target = elsewhere / "record.txt"
    target.write_text("alpha\nbeta\n")
    target.chmod(0o640)
    record_dir.mkdir(parents=True)
    link = record_dir / RECORD
    link.symlink_to(os.path.relpath(target, record_dir) if relative else target)
    ferrowen.remove_package_name("alpha")
    assert link.is_symlink() and link.read_text() == "beta\n"
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    assert leftovers(record_dir) == [] and leftovers(elsewhere) == ["record.txt"]


def test_temporary_file_of_a_killed_rewrite_is_removed_by_the_next(record_dir):
    record_dir.mkdir(parents=True)
    (record_dir / RECORD).write_text("alpha\nbeta\ngamma\n")
    # a rewrite killed just before its rename
    killed = subprocess.Popen(child_command(record_dir, """
        class Os:
            def __getattr__(self, name):
                return getattr(os, name)
            def replace(self, src, dst):
                os.kill(os.getpid(), signal.SIGKILL)
        ferrowen.os = Os()
        ferrowen.remove_package_name("alpha")
    """))
    assert killed.wait(timeout=120) == -signal.SIGKILL
    assert leftovers(record_dir) == [f".installed_packages.txt.{killed.pid}.tmp"]
    (record_dir / ".installed_packages.txt.x.tmp").write_text("not a rewrite's")
    ferrowen.remove_package_name("beta")
    assert (record_dir / RECORD).read_text() == "alpha\ngamma\n"
    assert leftovers(record_dir) == [".installed_packages.txt.x.tmp"]


def test_rewrite_keeps_mode_and_owner(record_dir):
    record_dir.mkdir(parents=True)
    record = record_dir / RECORD
    record.write_text("alpha\nbeta\n")
    record.chmod(0o604)
    owner = (65534, 65534) if os.geteuid() == 0 else (os.getuid(), os.getgid())
    if os.geteuid() == 0:
        os.chown(record, *owner)
    ferrowen.remove_package_name("alpha")
    st = record.stat()
    assert record.read_text() == "beta\n"
    assert stat.S_IMODE(st.st_mode) == 0o604
    assert (st.st_uid, st.st_gid) == owner


@pytest.mark.skipif(
    "utf" not in locale.getpreferredencoding(False).lower().replace("-", ""),
    reason="needs UTF-8 as the default text encoding",
)
def test_undecodable_record_is_left_unchanged(record_dir):
    record_dir.mkdir(parents=True)
    (record_dir / RECORD).write_bytes(b"alpha\n\xff\xfe\nbeta\n")
    with pytest.raises(UnicodeDecodeError):
        ferrowen.read_stored_packages()
    with pytest.raises(UnicodeDecodeError):
        ferrowen.remove_package_name("alpha")
    assert (record_dir / RECORD).read_bytes() == b"alpha\n\xff\xfe\nbeta\n"
    assert leftovers(record_dir) == []


# -------------------------------------------------- concurrency

WORKER = """
import os, pathlib, sys, time
from zelkor_installer.utils import ferrowen
directory, worker, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
ferrowen.user_data_dir = lambda name, author: directory
go = pathlib.Path(directory, "go")
while not go.exists():
    time.sleep(0.01)
for i in range(rounds):
    ferrowen.store_package_name(f"{worker}-{i}")
    ferrowen.store_package_name(f"{worker}-{i}-gone")
    ferrowen.remove_package_name(f"{worker}-{i}-gone")
"""

ROUNDS = 40


def run_in_processes(directory, workers):
    procs = [
        subprocess.Popen([sys.executable, "-c", WORKER, str(directory), w, str(ROUNDS)],
                         stderr=subprocess.PIPE, text=True)
        for w in workers
    ]  # fmt: skip
    (directory / "go").touch()  # all start together
    for p in procs:
        assert p.wait(timeout=300) == 0, p.stderr.read()
        p.stderr.close()
    (directory / "go").unlink()


def run_in_threads(directory, workers):
    errors = []

    def work(w):
        try:
            for i in range(ROUNDS):
                ferrowen.store_package_name(f"{w}-{i}")
                ferrowen.store_package_name(f"{w}-{i}-gone")
                ferrowen.remove_package_name(f"{w}-{i}-gone")
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


@pytest.mark.parametrize("run", [run_in_processes, run_in_threads])
def test_concurrent_stores_and_removals_lose_no_name(record_dir, run):
    record_dir.mkdir(parents=True)
    (record_dir / RECORD).write_text("keep-a\nkeep-b\n")
    workers = [f"w{n}" for n in range(4)]
    run(record_dir, workers)
    expected = ["keep-a", "keep-b"] + [f"{w}-{i}" for w in workers for i in range(ROUNDS)]
    assert sorted((record_dir / RECORD).read_text().splitlines()) == sorted(expected)
    assert leftovers(record_dir) == []


def test_no_reference_leaks(record_dir, caplog):
    name = "-".join(["leak", str(os.getpid())])  # made at run time: not immortal
    before = sys.getrefcount(name)
    for _ in range(50):
        ferrowen.store_package_name(name)
        ferrowen.remove_package_name(name)
        with pytest.raises(ValueError):
            ferrowen.store_package_name(name + "\n")
    (record_dir / RECORD).unlink()
    (record_dir / RECORD).mkdir()
    for _ in range(50):
        ferrowen.store_package_name(name)  # logged failure
    assert sys.getrefcount(name) == before
